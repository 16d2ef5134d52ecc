"""Documents in UTF-16, ISO-8859-1, US-ASCII and table encodings: the values
their UTF-8 twins give, and errors where expat places them (asked live)."""

import pyexpat
from dataclasses import dataclass, field

import pytest
from test_files import PADDING, Trickle, outcomes

import kestrix


@kestrix.xml_element("Item")
@dataclass
class Entry:
    n: int = field(default=0, metadata={"type": "Attribute"})
    text: str = field(default="", metadata={"type": "Text"})


@dataclass
class Items:
    Item: list[Entry] = field(default_factory=list)


@kestrix.xml_element("Items", namespace="urn:x")
@dataclass
class SpacedItems:
    Item: list[Entry] = field(default_factory=list, metadata={"namespace": "urn:x"})


ENCODINGS = [  # Python codec, declared name (None: no declaration), byte-order mark
    ("utf-16-le", None, b"\xff\xfe"),
    ("utf-16-be", "UTF-16", b"\xfe\xff"),
    ("utf-16-le", "utf-16le", b""),
    ("utf-16-be", "UTF-16", b""),
    ("latin-1", "ISO-8859-1", b""),
    ("ascii", "US-ASCII", b""),
    ("cp1252", "windows-1252", b""),
]
IDS = ["utf16-bom", "utf16be-bom", "utf16le", "utf16be", "latin1", "ascii", "cp1252"]


def encode(text, codec, declared, mark):
    text = PADDING + text
    if declared:
        text = f'<?xml version="1.0" encoding="{declared}"?>\n' + text
    return mark + text.encode(codec, "xmlcharrefreplace")


def texts(records):
    """The texts of the records, and (message, notes) of each error."""
    return [r.text if isinstance(r, Entry) else r for r in outcomes(records)]


def every_way(data):
    """What every reading function gives for `data`: held and streamed, both name modes."""
    ways = {}
    for cls in (Items, SpacedItems):
        try:
            ways[cls.__name__] = [item.text for item in kestrix.deserialize(data, cls).Item]
        except ValueError as error:
            ways[cls.__name__] = [(str(error), error.__notes__)]
    ways["iterparse"] = texts(kestrix.iterparse(data, Entry))
    for seed in (None, 0, 1):  # one byte a read, or a few, past the first bytes (read whole)
        ways[f"trickle {seed}"] = texts(kestrix.iterload(Trickle(data, seed), Entry))
    return ways


BODY = ('<Items xmlns="urn:x">\n <Item n="1">caf\u00e9 \u20ac</Item>\r\n'
        '<Item n="2">\u00ff&#x1F600;\U0001F600</Item></Items>')


@pytest.mark.parametrize("codec, declared, mark", ENCODINGS, ids=IDS)
def test_values_are_those_of_the_utf8_twin(codec, declared, mark):
    twin = [item.text for item in kestrix.deserialize(BODY.encode(), Items).Item]
    for way, got in every_way(encode(BODY, codec, declared, mark)).items():
        assert got == twin, way


FAULTS = [  # a document whose reading fails; the records before the fault come out first
    '\n <Item n="1">caf\u00e9 \u20ac & x</Item></Items>',  # a bare ampersand
    '<Item>\u00e9</Item>\r\n<Item n="2">\u00ff\u00e9</Itm></Items>',  # mismatched tag
    '<Item>\u00e9\u00e9</Item></Items>\n<Item/>',  # after the document element
    '<Item n="\u00e9<">x</Item></Items>',  # '<' in an attribute value
    '\n\u00e9<Item>',  # the input ends inside the document element
]
OPEN = '<Items xmlns="urn:x">' 


@pytest.mark.parametrize("codec, declared, mark", ENCODINGS, ids=IDS)
@pytest.mark.parametrize("fault", range(len(FAULTS) + 3))
def test_errors_stand_where_expat_puts_them(codec, declared, mark, fault):
    if fault < len(FAULTS):
        data = encode(OPEN + FAULTS[fault], codec, declared, mark)
    else:  # bytes no decoding takes: cut after an odd byte, a lone trail, an undefined byte
        data = encode(OPEN + '<Item>\u00e9</Item>', codec, declared, mark)
        wide = codec.startswith("utf-16")
        if not wide and fault > len(FAULTS):
            data += b"\x81 </Items>" if codec != "latin-1" else b"&"
        else:
            tail = [b"<", b"\x00\xdc" if codec == "utf-16-le" else b"\xdc\x00", b"&"][fault - len(FAULTS)]
            data += tail + "</Items>".encode(codec) if fault > len(FAULTS) else b"<"
    parser = pyexpat.ParserCreate()
    with pytest.raises(pyexpat.ExpatError) as expat:
        parser.Parse(data, True)
    message = pyexpat.ErrorString(expat.value.code)
    if message == "no element found":
        error = ("Schema error: Unexpected end of XML stream", [])
    else:
        error = (f"XML reader error at position {parser.ErrorByteIndex}: {message}",
                 [f"at line {expat.value.lineno}, column {expat.value.offset + 1}"])
    for way, got in every_way(data).items():
        assert got[-1][0] == error[0], way
        if error[1] and got[-1][1]:  # a stream notes the line and column too
            assert got[-1][1][0] == error[1][0], way


@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be"])
def test_an_unpaired_lead_surrogate_is_an_invalid_token(codec):
    # expat takes it and the code unit after it as one character: here the
    # first letter of the end tag, leaving the element open.
    lead = b"\x00\xd8" if codec == "utf-16-le" else b"\xd8\x00"
    data = f"\ufeff{OPEN}<Item>\u00e9".encode(codec) + lead + "</Item></Items>".encode(codec)
    at = ("XML reader error at position 58: not well-formed (invalid token)",
          ["at line 1, column 30"])
    for way, got in every_way(data).items():
        assert got[-1] == at, way
