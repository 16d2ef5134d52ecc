"""Declared encodings, and the line and column noted on errors met while reading."""

import io
import re
from dataclasses import dataclass, field

import pytest

import kestrix


@dataclass
class Note:
    lang: str = field(metadata={"type": "Attribute"})
    body: str = ""
    count: int = 0
    pages: int = field(default=0, metadata={"type": "Attribute"})


def every_way(source, stream=True):
    """The Note bound by every reading function, which must agree."""
    results = [kestrix.deserialize(source, Note), kestrix.load(source, Note),
               kestrix.load(bytearray(source), Note), *kestrix.iterparse(source, Note),
               *kestrix.iterload(memoryview(source), Note)]
    if stream:
        results += kestrix.iterload(io.BytesIO(source), Note)
    assert all(result == results[0] for result in results), results
    return results[0]


COMMON = "caf\u00e9 \u00a9 <&>"  # in every encoding below
ENCODINGS = [  # Python codec, name declared (None: the codec's), text it can hold beyond COMMON
    ("utf-8", "", "\u20ac \u65e5\U0001f600"),
    ("utf-8-sig", "UTF-8", "\u20ac"),
    ("utf-16-le", "UTF-16", "\u20ac"),  # no byte-order mark: the declaration says it
    ("utf-16-le", "", "\u20ac"),  # neither: its first bytes say it
    ("utf-16-be", "", "\u20ac"),
    ("latin-1", "latin1", "\u00e8"),  # a name only Python's codecs know
    ("cp1252", "windows-1252", "\u20ac\u201a\u2122\u0178\u2026"),  # bytes 0x80-0x9F, by a table
]


@pytest.mark.parametrize("codec, declared, extra", ENCODINGS, ids=[e[0] for e in ENCODINGS])
def test_declared_encodings_bind_equal_objects(codec, declared, extra):
    for text in (COMMON, COMMON + extra):
        xml = f'<Note lang="{text}"><body>{text}</body><count>7</count></Note>'
        xml = xml.replace("<&>", "&lt;&amp;&gt;")
        if declared:
            xml = f"<?xml version='1.0' encoding='{declared}'?>\n" + xml
        source = xml.encode(codec)
        if codec == "utf-16-be" and text is COMMON:
            source = b"\xfe\xff" + source  # and once with its byte-order mark
        assert every_way(source) == Note(lang=text, body=text, count=7)


def test_utf8_bytes_that_declare_another_encoding_read_as_utf8_in_memory():
    source = "<?xml version='1.0' encoding='ISO-8859-1'?><Note lang='\u00e9'/>".encode()
    assert every_way(source, stream=False).lang == "\u00e9"  # as every earlier release reads it
    # A stream cannot be scanned ahead: it is read as it declares.
    assert next(kestrix.iterload(io.BufferedReader(io.BytesIO(source)), Note)).lang == "\u00c3\u00a9"


@pytest.mark.parametrize("source, message, notes", [
    ("<?xml version='1.0' encoding='Shift_JIS'?><Note lang='\u65e5\u672c'/>".encode("shift_jis"),
     "encoding 'Shift_JIS'", None),
    (b"<?xml version='1.0' encoding='x-no-such'?><Note lang='\xe9'/>", "encoding 'x-no-such'", None),
    # a name that is not ASCII is no encoding (and was a UnicodeDecodeError)
    (b"<?xml version='1.0' encoding='lati\xffn1'?><Note lang='\xe9'/>", "unknown encoding 'lati\xffn1'", None),
    # a byte the encoding leaves undefined is a located reader error
    (b"<?xml version='1.0' encoding='windows-1252'?>\n<Note lang='a'>\n x\x81</Note>",
     "^XML reader error at position 64: not well-formed", ["at line 3, column 3"]),
])
def test_encodings_that_cannot_be_read(source, message, notes):
    for read in (lambda: kestrix.deserialize(source, Note), lambda: next(kestrix.iterload(io.BytesIO(source), Note))):
        with pytest.raises(ValueError, match=message) as info:
            read()
        assert notes is None or info.value.__notes__ == notes


def located(call):
    with pytest.raises(ValueError) as info:
        call()
    notes = info.value.__notes__
    assert len(notes) == 1 and type(info.value) is ValueError and len(info.value.args) == 1
    found = re.fullmatch(r"at line (\d+), column (\d+)(?: \(entity '(.*)'\))?", notes[0])
    return str(info.value), int(found[1]), int(found[2]), found[3]


# lxml reports where it stopped reading, after the offending token; kestrix
# where that token starts. Rows: document, message, entity, the token.
ERRORS = [
    ("<Note>\n  <body>x</bdy></Note>", "XML reader error at position 18: mismatched tag", None, "bdy>"),
    ("<Note>\n  <body>\u00e9\u00e9\u00e9</bdy></Note>", "XML reader error at position 23: mismatched tag", None, "bdy>"),
    ("<Note lang='a'>\n\n <body>\u00e9&#0;</body></Note>",
     "XML parsing error: reference to invalid character number", None, "&#0;"),
    ("<Note lang='\u00e9'>\n<body>\u00e9\u00e9&nbsp;</body></Note>", "XML unescape error: undefined entity", "nbsp", "&nbsp;"),
    ("<Note>\n" + "<body>\u00e9</body>\n" * 5000 + "<x>&caf\u00e9;</x></Note>",
     "XML unescape error: undefined entity", "caf\u00e9", "&caf\u00e9;"),
]


@pytest.mark.parametrize("text, message, entity, token", ERRORS)
def test_reader_errors_say_where_as_lxml_does(text, message, entity, token):
    etree = pytest.importorskip("lxml.etree")
    source = text.encode()
    with pytest.raises(etree.XMLSyntaxError) as theirs:
        etree.fromstring(source)
    line, column = theirs.value.position
    for read in (lambda: kestrix.deserialize(source, Note), lambda: next(kestrix.iterload(io.BytesIO(source), Note))):
        assert located(read) == (message, line, column - len(token), entity)
    # The same document in UTF-16 is located alike: columns count characters.
    utf16 = ("<?xml version='1.0' encoding='UTF-16'?>" + text).encode("utf-16")
    assert located(lambda: kestrix.deserialize(utf16, Note))[1:] == (line, column - len(token), entity)


@pytest.mark.parametrize("text, where", [
    # text that does not parse is judged at the end tag of its element
    ("<Note lang='a'>\n" + "  <body>\u00e9\u00e9</body>\n" * 300 + "  <count>\u00e9 12</count></Note>", (302, 14)),
    ("<Note lang='a'>\n  <count>1</count>\n  <Note lang='b' count='x'/></Note>", None),  # nothing binds Note inside Note
    ("<a>\n <Note lang='a' pages='\u00e9x'/></a>", (2, 2)),  # attributes at their tag
    ("<Note lang='a'>\n<body>", (2, 7)),  # the end of input
])
def test_binding_errors_say_where(text, where):
    if where is None:
        assert kestrix.deserialize(text.encode(), Note).count == 1
        return
    reads = [lambda: next(kestrix.iterparse(text.encode(), Note))]
    if text.startswith("<Note"):  # deserialize reads it as the document element too
        reads.append(lambda: kestrix.deserialize(text.encode(), Note))
    for read in reads:
        assert located(read)[1:3] == where
