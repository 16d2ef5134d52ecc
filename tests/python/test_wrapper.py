"""Wrapped lists: the items of a list field inside one wrapper element of their
own, with no class for the wrapper; absent, empty, None and [] each keep their
meaning both ways."""

from dataclasses import dataclass, field
from typing import Optional, Union

import pytest

from kestrix import deserialize, serialize, xml_element

ATTR = {"type": "Attribute"}
SHOP = "urn:example:shop"


@dataclass
class Item:
    sku: str = field(metadata=ATTR)


@dataclass
class Order:
    items: Optional[list[Item]] = field(default=None, metadata={"wrapper": "items", "name": "item"})
    tags: list[int] = field(default_factory=list, metadata={"wrapper": "tags", "name": "tag"})
    note: str = ""


@xml_element("order", namespace=SHOP)
@dataclass
class NsOrder:
    items: list[Item] = field(default_factory=list, metadata={"wrapper": "items", "name": "item"})


@dataclass
class Label:
    text: str = field(default="", metadata={"type": "Text"})


@dataclass
class Parts:
    parts: list[Union[Item, Label]] = field(
        default_factory=list, metadata={"wrapper": "parts", "choices": {"item": Item, "label": Label}})


# an empty wrapper reads as [], an absent one as the default: each round trip below
@pytest.mark.parametrize("items, tags, written", [
    (None, [], b"<Order><tags></tags><note></note></Order>"),  # None: no wrapper
    ([], [7, 8], b"<Order><items></items><tags><tag>7</tag><tag>8</tag></tags><note></note></Order>"),
    (["a", "b"], [], b'<Order><items><item sku="a"></item><item sku="b"></item></items><tags></tags>'
                     b"<note></note></Order>"),
])
def test_write_and_back(items, tags, written):
    obj = Order(items=None if items is None else [Item(s) for s in items], tags=tags)
    assert serialize(obj) == written
    assert deserialize(serialize(obj, indent=2), Order) == obj
    # items outside their wrapper are not the field's; a self-closing wrapper is empty
    assert deserialize(b'<Order><item sku="a"/><tag>1</tag><note>n</note></Order>', Order) == Order(note="n")
    assert deserialize(b"<Order><items/></Order>", Order) == Order(items=[])


@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
@pytest.mark.parametrize("document", [
    b'<s:order xmlns:s="urn:example:shop"><s:items><s:item sku="a"/></s:items></s:order>',
    b'<order xmlns="urn:example:shop"><items><item sku="a"/></items></order>',
])
def test_namespace_aware(document):
    assert deserialize(document, NsOrder) == NsOrder([Item("a")])
    # a wrapper or items in another namespace are not the field's
    assert deserialize(b'<order xmlns="urn:example:shop"><x:items xmlns:x="urn:other">'
                       b'<item sku="a"/></x:items></order>', NsOrder) == NsOrder([])
    assert serialize(NsOrder([Item("a")])) == (
        b'<order xmlns="urn:example:shop"><items><item sku="a"></item></items></order>')


def test_choices_inside_a_wrapper_keep_their_order():
    document = b'<Parts><parts><label>x</label><item sku="a"/><label>y</label></parts></Parts>'
    parts = deserialize(document, Parts)
    assert parts.parts == [Label("x"), Item("a"), Label("y")]
    assert serialize(parts) == (
        b'<Parts><parts><label>x</label><item sku="a"></item><label>y</label></parts></Parts>')


def test_errors_name_the_field_and_the_item():
    with pytest.raises(ValueError) as caught:
        deserialize(b"<Order><tags><tag>1</tag>\n<tag>two</tag></tags></Order>", Order)
    assert caught.value.__notes__ == ["at line 2, column 9"]
    with pytest.raises(TypeError) as caught:
        deserialize(b'<Order><items><item sku="a"/>\n<item/></items></Order>', Order)
    assert caught.value.__notes__[-2:] == ["at line 2, column 1 (start tag of <item>)",
                                           "while binding field 'items' of Order (item 1)"]
    with pytest.raises(TypeError) as caught:
        serialize(Order(tags=[1, "x"]))
    assert caught.value.__notes__[-1] == "while writing field 'tags' of Order (item 1)"
    with pytest.raises(ValueError, match=r"unexpected element <x> in Order\.items"):
        deserialize(b"<Order><items><x/></items></Order>", Order, strict=True)


class BadWrapper:
    @dataclass
    class NotAList:
        item: Item = field(metadata={"wrapper": "items"})

    @dataclass
    class NotAName:
        items: list[Item] = field(default_factory=list, metadata={"wrapper": 3})

    @dataclass
    class ClaimedTwice:
        parts: list[Union[Item, Label]] = field(
            default_factory=list, metadata={"wrapper": "parts", "choices": {"x": Item, "x:x": Label}})


@pytest.mark.parametrize("cls, message", [
    (BadWrapper.NotAList, "field 'item' has a \"wrapper\" but is no list"),
    (BadWrapper.NotAName, "\"wrapper\" metadata of field 'items' must be a non-empty str"),
    (BadWrapper.ClaimedTwice, "the element name 'x' of ClaimedTwice is claimed twice"),
])
def test_malformed_wrappers_fail_when_compiled(cls, message):
    with pytest.raises(TypeError, match=message):
        deserialize(b"<a/>", cls)
