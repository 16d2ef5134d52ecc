"""What may follow the document element: comments, processing instructions and
white space; anything else is a reader error, raised by every reading entry
point (by an iterator, once its records are out)."""

import io
from dataclasses import dataclass

import pytest
from test_files import outcomes

import kestrix


@dataclass
class doc:
    pass


@dataclass
class r:
    pass


# Records many and long enough to cross iterload's read chunks (256 KiB) and
# the iterator's batches (1024 records) before the document element ends. The
# other documents' one record is the document element itself.
MANY = 2100
LONG = b"<doc>" + (b"<r/><!--" + b"." * 120 + b"-->\n") * MANY + b"</doc>"


def records_of(data):
    """The class and tag an iterator reads `data` with, and what it yields."""
    return (r, "r", [r()] * MANY) if data.startswith(LONG) else (doc, None, [doc()])


def whole(read, data):
    try:
        return [read(data, doc)]
    except ValueError as error:
        return [(str(error), error.__notes__)]


def streamed(read, data):
    cls, tag, _ = records_of(data)
    return outcomes(read(data, cls, tag))


READERS = {
    "deserialize": lambda data: whole(kestrix.deserialize, data),
    "load": lambda data: whole(lambda d, cls: kestrix.load(io.BytesIO(d), cls), data),
    "iterparse": lambda data: streamed(kestrix.iterparse, data),
    "iterload": lambda data: streamed(lambda d, *a: kestrix.iterload(io.BytesIO(d), *a), data),
}

# (document, libexpat's error text, line and column of the error; None: accepted)
CASES = [
    (b"<doc/><doc/>", "junk after document element", (1, 7)),
    (b"<doc/>\n<?xml version='1.0'?>", "junk after document element", (2, 1)),
    (b"<doc/><!-- c -->&#32;", "not well-formed (invalid token)", (1, 17)),
    (b"<doc/>\n<!-- c", "unclosed token", (2, 1)),
    (LONG + b" <doc/>", "junk after document element", (MANY + 1, 8)),
    (b"<doc/>\n \t\r\n", None, None),
    (b"<doc/>\n<!-- a --> <?b?>\n", None, None),
    (LONG + b"\n<!-- end -->\n", None, None),
]


def byte_offset(data, line, column):
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1
    return start + column - 1


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("data, text, at", CASES)
def test_refused_once_the_records_are_out_or_accepted(reader, data, text, at):
    expected = records_of(data)[2] if reader.startswith("iter") else [] if text else [doc()]
    if text:
        expected.append((f"XML reader error at position {byte_offset(data, *at)}: {text}",
                         [f"at line {at[0]}, column {at[1]}"]))
    assert READERS[reader](data) == expected
