"""Writing options: the prolog, encodings, empty elements, nil, CDATA and record streams."""

import io
import os
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import Optional

import pytest
from lxml import etree

import kestrix

XSI_NIL = "{http://www.w3.org/2001/XMLSchema-instance}nil"


@dataclass
class Note:
    id: int = field(metadata={"type": "Attribute"})
    title: str = ""
    body: Optional[str] = field(default=None, metadata={"cdata": True})
    due: Optional[int] = field(default=None, metadata={"nillable": True})
    tags: list[Optional[str]] = field(default_factory=list, metadata={"nillable": True})


@dataclass
class Sample:
    a: str = field(metadata={"type": "Attribute"})
    e: str = ""
    c: str = field(default="", metadata={"cdata": True})


@dataclass
class Named:
    café: str = "x"


@dataclass
class Outer:
    inner: Optional[Sample] = field(default=None, metadata={"nillable": True})


def note(i=1):
    return Note(id=i, title="", body=f"<b>{i}</b> ]]> \r end", due=None, tags=["a", None, ""])


@pytest.mark.parametrize(("options", "start", "inside"), [
    ({}, b"<", b"<title></title>"),
    ({"xml_declaration": True}, b'<?xml version="1.0" encoding="UTF-8"?>\n<', b""),
    ({"standalone": False}, b'<?xml version="1.0" encoding="UTF-8" standalone="no"?>\n<', b""),
    ({"doctype": '<!DOCTYPE Note SYSTEM "note.dtd">'}, b'<!DOCTYPE Note SYSTEM "note.dtd">\n<', b""),
    ({"short_empty_elements": True, "indent": 2}, b"<", b"\n  <title/>\n"),
    ({"encoding": "ISO-8859-1"}, b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<', b""),
    ({"encoding": "UTF-16"}, "\ufeff".encode("utf-16-le" if sys.byteorder == "little" else "utf-16-be"), b""),
])
def test_each_option_is_read_back_equal(options, start, inside):
    obj = note()
    data = kestrix.serialize(obj, **options)
    assert data.startswith(start) and inside in data
    etree.fromstring(data)
    assert kestrix.deserialize(data, Note) == obj
    out = io.BytesIO()
    kestrix.dump(obj, out, **options)
    assert out.getvalue() == data


def test_nil_and_cdata_forms():
    data = kestrix.serialize(note())
    assert data == (b'<Note xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" id="1"><title></title>'
                    b'<body><![CDATA[<b>1</b> ]]]]><![CDATA[> ]]>&#xD;<![CDATA[ end]]></body>'
                    b'<due xsi:nil="true"/><tags>a</tags><tags xsi:nil="true"/><tags></tags></Note>')
    root = etree.fromstring(data)
    assert root.findtext("body") == "<b>1</b> ]]> \r end"
    assert [t.get(XSI_NIL) for t in root.iter("due", "tags")] == ["true", None, "true", None]
    # xsi is declared only when a nil is written
    assert kestrix.serialize(Note(id=1, due=3)) == b'<Note id="1"><title></title><due>3</due></Note>'


# Every character of a sample of all seventeen planes, and those with a meaning in markup.
PLANES = "".join(chr(c) for c in range(0x20, 0x110000, 0xFF1)
                 if not 0xD800 <= c < 0xE000 and c & 0xFFFE != 0xFFFE) + "é€ж\t\n\r<&>\"']]>"


@pytest.mark.parametrize("encoding", ["UTF-8", "UTF-16", "utf-16-be", "ISO-8859-1", "windows-1252",
                                      "US-ASCII", "KOI8-R", "ISO-8859-5"])
def test_encodings_carry_every_character(encoding):
    obj = Sample(a=PLANES, e=PLANES, c=PLANES)
    data = kestrix.serialize(obj, encoding=encoding)
    root = etree.fromstring(data)
    assert [root.get("a"), root.findtext("e"), root.findtext("c")] == [PLANES] * 3
    assert kestrix.deserialize(data, Sample) == obj
    assert kestrix.load(io.BytesIO(data), Sample) == obj
    if encoding not in ("UTF-8", "UTF-16", "utf-16-be"):
        data.decode(encoding)  # nothing beyond the encoding, references included


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda: kestrix.serialize(Outer()), TypeError, "field 'inner' cannot be nillable"),
    (lambda: kestrix.serialize(Named(), encoding="ascii"), ValueError, "the name 'café' cannot be written in US-ASCII"),
    (lambda: kestrix.serialize(Named(), encoding="shift_jis"), ValueError, "cannot write the encoding 'shift_jis'"),
    (lambda: kestrix.serialize(Named(), encoding="nope"), ValueError, "unknown encoding 'nope'"),
    (lambda: kestrix.serialize(Named(), encoding=8), TypeError, "encoding must be a str"),
    (lambda: kestrix.serialize(Named(), xml_declaration=False, standalone=True), ValueError, "standalone"),
    (lambda: kestrix.serialize(Named(), xml_declaration=False, encoding="latin-1"), ValueError,
     "must declare its encoding"),
    (lambda: kestrix.serialize(Named(), standalone="yes"), TypeError, "standalone must be a bool"),
    (lambda: kestrix.serialize(Named(), doctype="<Named>"), ValueError, "doctype must be"),
    (lambda: kestrix.serialize(Named(), doctype="<!DOCTYPE né>", encoding="ascii"), ValueError,
     "doctype cannot be written in US-ASCII"),
    (lambda: kestrix.serialize(Named(), indent=-1, short_empty_elements=True), OverflowError, "negative"),
    (lambda: kestrix.dump_records([], io.BytesIO(), "1root"), ValueError, "root '1root' is not an XML name"),
    (lambda: kestrix.dump_records([], io.BytesIO(), "r", attributes={"a": 1}), TypeError, "attribute 'a'"),
    (lambda: kestrix.dump_records([], io.StringIO(), "r"), TypeError, "text stream"),
])
def test_option_errors(call, error, match):
    with pytest.raises(error, match=match):
        call()


def mixed_records(count):
    for i in range(count):
        yield note(i) if i % 2 else Note(id=i, title="t é€", tags=[str(i)])


@pytest.mark.parametrize("options", [
    {},
    {"encoding": "windows-1252", "indent": 2},
    {"attributes": {"version": "2", "xml:lang": "fr"}, "namespaces": {"": "urn:n", "p": "urn:p"}},
    {"short_empty_elements": True, "standalone": True, "encoding": "UTF-16"},
])
def test_record_stream_reads_back_record_by_record(tmp_path, options):
    path = tmp_path / "notes.xml"
    assert kestrix.dump_records(mixed_records(3000), path, "notes", **options) == 3000
    data = path.read_bytes()
    root = etree.fromstring(data)
    assert root.tag.endswith("notes") and len(root) == 3000
    assert dict(root.attrib).get("version") == options.get("attributes", {}).get("version")
    assert all(a == b for a, b in zip(kestrix.iterload(path, Note), mixed_records(3000), strict=True))
    out = io.BytesIO()
    kestrix.dump_records(mixed_records(3000), out, "notes", **options)
    assert out.getvalue() == data


def test_failed_record_stream_leaves_the_path_as_it_was(tmp_path):
    path = tmp_path / "notes.xml"
    path.write_bytes(b"<old/>")

    def records():
        yield Note(id=1)
        yield Note(id="not a number")

    with pytest.raises(Exception) as caught:
        kestrix.dump_records(records(), path, "notes")
    assert "while writing record 1" in getattr(caught.value, "__notes__", [])
    assert path.read_bytes() == b"<old/>" and os.listdir(tmp_path) == ["notes.xml"]


def test_record_stream_memory_stays_bounded():
    class Sink:
        size = 0

        def write(self, data):
            self.size += len(data)

    sink = Sink()
    tracemalloc.start()
    try:
        kestrix.dump_records((Note(id=i, title="x" * 100) for i in range(40000)), sink, "notes")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert sink.size > 5_000_000 and peak < 2_000_000


def test_repeated_writes_succeeding_or_failing_keep_memory_flat():
    def once():
        kestrix.serialize(note(), encoding="windows-1252", short_empty_elements=True)
        with pytest.raises(TypeError):
            kestrix.dump_records([note(), Note(id="x")], io.BytesIO(), "r", attributes={"a": "é"},
                                 encoding="ISO-8859-1", indent=1)

    for _ in range(200):
        once()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            once()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 100_000
