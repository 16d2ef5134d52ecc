"""Strict reading: what the classes do not model raises ValueError naming it and where it
stands; the default stays tolerant."""

import io
import re
from dataclasses import dataclass, field
from typing import Optional

import pytest
from test_files import outcomes

import kestrix
from kestrix import deserialize, iterparse, xml_element


@dataclass
class Line:
    sku: str = field(metadata={"type": "Attribute"})
    qty: int = 0


@xml_element("order", namespace="urn:o")
@dataclass
class Order:
    id: str = field(metadata={"type": "Attribute"})
    lines: list[Line] = field(default_factory=list, metadata={"name": "line"})
    note: Optional[str] = None


@dataclass
class Plain:  # declares no namespace
    id: str = field(metadata={"type": "Attribute"})
    lines: list[Line] = field(default_factory=list, metadata={"name": "line"})


# class, document, message, line and column of the surprise (a start tag or the first
# character of a text)
CASES = [
    (Order, '<order xmlns="urn:o" id="1">\n  <line sku="a"><qty>1</qty></line>\n  <colour>red</colour>\n</order>',
     "unexpected element <colour> (namespace urn:o) in Order", (3, 3)),
    (Order, '<order xmlns="urn:o" xmlns:x="urn:x" id="1">\n  <x:line sku="a"/>\n</order>',
     "unexpected element <x:line> (namespace urn:x) in Order (field 'lines' takes <line> in "
     "namespace urn:o)", (2, 3)),
    (Order, '\n<order xmlns="urn:o" id="1" extra="2"/>', "unexpected attribute 'extra' in Order", (2, 1)),
    (Order, '<order xmlns="urn:o" id="1">\n  <line sku="a"><qty unit="kg">1</qty></line></order>',
     "unexpected attribute 'unit' in field 'qty'", (2, 17)),
    (Plain, '<Plain id="1">\n <line sku="a" x:bad="x" xmlns:x="urn:x"/></Plain>',
     "unexpected attribute 'x:bad' in Line", (2, 2)),
    (Order, '<order xmlns="urn:o" id="1">\n  <line sku="a">oops<qty>1</qty></line></order>',
     "unexpected text 'oops' in Line, which has no text field", (2, 17)),
    (Plain, '<Plain id="1"><line sku="a"/>\n  tail text</Plain>',
     "unexpected text 'tail text' in Plain, which has no text field", (2, 3)),
    (Order, '<order xmlns="urn:o" id="1">\n<note>a<b/>c</note></order>',
     "unexpected element <b> (namespace urn:o) inside field 'note', which holds text", (2, 8)),
]


@pytest.mark.parametrize("cls, document, message, where", CASES)
def test_each_surprise_raises_with_its_position(cls, document, message, where):
    data = document.encode()
    deserialize(data, cls)  # the default skips it
    with pytest.raises(ValueError) as info:
        deserialize(data, cls, strict=True)
    assert str(info.value) == "Schema error: " + message
    assert info.value.__notes__ == ["at line %d, column %d" % where]
    with pytest.raises(ValueError, match=re.escape(message)):
        kestrix.load(io.BytesIO(data), cls, strict=True)


def test_what_is_modeled_or_declares_reads_the_same_strictly():
    document = (b'<Plain xmlns:x="urn:x" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" id="1">\n'
                b'  <line sku="a" xsi:nil="false"/> <line sku="b"><qty>2</qty></line>\n</Plain>')
    assert deserialize(document, Plain, strict=True) == deserialize(document, Plain)


def test_records_fail_one_by_one():
    document = b'<feed><Line sku="1"/><Line sku="2" x="1"/><other/><Line sku="3"/></feed>'
    for records in (iterparse(document, Line, strict=True),
                    kestrix.iterload(io.BytesIO(document), Line, strict=True)):
        assert [x.sku if isinstance(x, Line) else x[0] for x in outcomes(records)] == [
            "1", "Schema error: unexpected attribute 'x' in Line", "3"]
