"""iterparse: records streamed out of a document, one bound object per call."""

import ctypes
import io
import gc
import os
import sys
from dataclasses import dataclass, field
from typing import List, Optional

import pytest

import kestrix


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    children: List["Item"] = field(default_factory=list, metadata={"name": "Item"})


def drain(iterator):
    """Every outcome of the iterator: objects, or ('error', message)."""
    out = []
    while True:
        try:
            out.append(next(iterator))
        except StopIteration:
            return out
        except ValueError as error:
            out.append(("error", str(error)))


def ids(source, tag=None):
    return [x if isinstance(x, tuple) else x.id for x in drain(kestrix.iterparse(source, Item, tag))]


def test_records_in_order_then_stop_for_good():
    it = kestrix.iterparse(b'<feed><Item id="1"><name>a</name></Item><Item id="2"/></feed>', Item)
    assert iter(it) is it
    assert [(x.id, x.name) for x in it] == [(1, "a"), (2, "")]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


PARSE = "Scalar parse error for field 'id': expected integer, got 'x'"
EOF_ERROR = ("error", "Schema error: Unexpected end of XML stream")
DEPTH_ERROR = ("error", "Maximum XML recursion depth exceeded: current 257 >= limit 256")


@pytest.mark.parametrize("source, tag, expected", [
    # the default tag is the class name, matched on the local name only
    (b'<r><Item id="1"/><p:Item id="2"/><item id="3"/></r>', None, [1, 2]),
    # a tag with a colon is compared with each name's part after its first colon
    (b'<r><p:item id="1"/><x:p:item id="2"/></r>', "p:item", [2]),
    # at any depth; a match inside a match belongs to the outer record
    (b'<a><Item id="1"/><b><c><Item id="2"/></c></b></a>', None, [1, 2]),
    (b'<r><Item id="1"><Item id="2"/></Item><Item id="3"/></r>', None, [1, 3]),
    (b'<Item id="9"/>', None, [9]),
    (b"<r><other/></r>", None, []),
    (b"", None, []),
    (b'<r><Item id="1"/><wrapper>', None, [1]),  # ends outside any record
    (b"<w>" * 400 + b'<Item id="1"/>' + b"</w>" * 400, None, [1]),  # depth counts per record
    # an error stays with its record; the rest of that record is scanned on
    (b'<r><Item id="1"/><Item id="x"/><Item id="3"/></r>', None, [1, ("error", PARSE), 3]),
    (b'<r><Item id="x"><Item id="2"/></Item><Item id="3"/></r>', None, [("error", PARSE), 2, 3]),
    (b'<r><Item id="1"/><Item id="2"><name>cut', None, [1, EOF_ERROR]),
    (b'<r><Item id="1">' + b'<Item id="2">' * 256 + b"</Item>" * 257 + b'<Item id="3"/></r>',
     None, [DEPTH_ERROR, 3]),
])
def test_records_and_errors(source, tag, expected):
    assert ids(source, tag) == expected


def test_record_content_binds_like_a_document():
    (outer,) = kestrix.iterparse(
        b'<r><Item id="1" name="attr-ignored"><junk><name>x</name></junk><name>kept</name>'
        b'<Item id="2"/></Item></r>', Item)
    assert (outer.name, [c.id for c in outer.children]) == ("kept", [2])


def test_malformed_markup_raises_once_at_the_record_that_reaches_it():
    it = kestrix.iterparse(b'<r><Item id="1"/><Item id="2"></wrong><Item id="3"/></r>', Item)
    assert next(it).id == 1
    with pytest.raises(ValueError, match=r"^XML reader error at position \d+: ") as info:
        next(it)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    with pytest.raises(StopIteration):
        next(it)


def test_the_document_is_copied():
    source = bytes(b'<r><Item id="1"/><Item id="2"/></r>')
    it = kestrix.iterparse(source, Item)
    # Overwrite the bytes object's own buffer: the iterator must not see it.
    ctypes.memmove(id(source) + sys.getsizeof(b"") - 1, b'<r><Item id="7"/>', 17)
    assert b'id="7"' in source
    del source
    gc.collect()
    assert [x.id for x in it] == [1, 2]


def test_class_is_compiled_before_reading():
    class Broken:
        model_fields = ["not", "a", "dict"]

    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        kestrix.iterparse(b"<<< not xml", Broken)


def test_constructor_errors_pass_through_and_iteration_goes_on():
    @dataclass
    class Picky:
        id: int = field(metadata={"type": "Attribute"})

        def __post_init__(self):
            if self.id == 2:
                raise LookupError("no twos")

    it = kestrix.iterparse(b'<r><Picky id="1"/><Picky id="2"/><Picky id="3"/></r>', Picky)
    assert next(it).id == 1
    with pytest.raises(LookupError, match="no twos"):
        next(it)
    assert next(it).id == 3


@pytest.mark.parametrize("call, message", [(next, "Already borrowed"),
                                           (iter, "Already mutably borrowed")])
def test_reentry_from_a_constructor_is_refused(call, message):
    seen = []

    @dataclass
    class Node:
        id: int = field(metadata={"type": "Attribute"})

        def __post_init__(self):
            try:
                call(stream)
            except RuntimeError as error:
                seen.append(str(error))

    stream = kestrix.iterparse(b'<r><Node id="1"/><Node id="2"/></r>', Node)
    assert [n.id for n in stream] == [1, 2]
    assert seen == [message, message]


@dataclass
class Record:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    score: float = 0.0
    tags: List[str] = field(default_factory=list, metadata={"name": "tag"})
    parent: Optional[Item] = None


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="AddressSanitizer holds freed memory in quarantine")
def test_memory_is_bounded_by_one_record():
    count = 200_000
    source = b"<feed>" + b"".join(
        b'<Record id="%d"><name>record number %d</name><score>%d.5</score>'
        b'<tag>a</tag><tag>b</tag><parent id="1"/></Record>' % (i, i, i)
        for i in range(count)) + b"</feed>"
    it = kestrix.iterparse(source, Record)
    next(it)
    gc.collect()
    before = peak = rss_bytes()
    for seen, _ in enumerate(it, start=2):
        if seen % 20_000 == 0:
            peak = max(peak, rss_bytes())
    assert seen == count
    # All records at once would take hundreds of MB; one at a time stays flat.
    assert peak - before < 32 * 1024 * 1024, (before, peak)


def test_outcomes_keep_their_order_over_many_records():
    # Enough records, bad ones among them, for the scan to run well ahead of
    # the records handed out; a reader error at the end stops it.
    parts, expected = [], []
    for n in range(3000):
        if n % 97 == 5:
            parts.append(b'<Item id="x"/>')
            expected.append(("error", PARSE))
        else:
            parts.append(b'<Item id="%d"><name>%s</name></Item>' % (n, b"n" * (n % 700)))
            expected.append(n)
    document = b"<feed>" + b"".join(parts) + b'<Item id="1"></feed>'
    outcomes = drain(kestrix.iterparse(document, Item))
    assert [x if isinstance(x, tuple) else x.id for x in outcomes[:-1]] == expected
    assert outcomes[-1][1].startswith("XML reader error")
    assert drain(kestrix.iterload(io.BytesIO(document), Item)) == outcomes
