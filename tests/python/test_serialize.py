"""serialize: reading model instances field by field and the XML bytes written."""

from __future__ import annotations

import enum
from dataclasses import dataclass, field, make_dataclass
from decimal import Decimal
from typing import Optional

import pytest
from pydantic import BaseModel, Field

from kestrix import serialize

ATTR = {"type": "Attribute"}
Status = enum.Enum("Status", {"SHIPPED": "shipped"})
Level = enum.IntEnum("Level", {"HIGH": 3})


class Item(BaseModel):
    sku: str = Field(json_schema_extra=ATTR)
    qty: int = 1
    price: Optional[Decimal] = None


class Order(BaseModel):
    id: int = Field(json_schema_extra=ATTR)
    status: Status = Field(json_schema_extra=ATTR)
    note: Optional[str] = Field(None, json_schema_extra={"type": "Text"})
    customer: str = Field(json_schema_extra={"name": "Customer"})
    items: list[Item] = Field(json_schema_extra={"name": "Item"})


ORDER_INDENTED = """\
<Order id="42" status="shipped">Leave at door<Customer>Zoë &amp; Co</Customer>
  <Item sku="A-1">
    <qty>2</qty>
    <price>9.99</price>
  </Item>
  <Item sku="B&lt;2&gt;">
    <qty>1</qty>
  </Item>
</Order>"""


def test_realistic_document_exact_bytes():
    obj = Order(id=42, status=Status.SHIPPED, note="Leave at door", customer="Zoë & Co",
                items=[Item(sku="A-1", qty=2, price=Decimal("9.99")), Item(sku="B<2>")])
    assert serialize(obj, indent=2) == ORDER_INDENTED.encode()
    assert serialize(obj) == "".join(line.strip() for line in ORDER_INDENTED.splitlines()).encode()


class Point(BaseModel):
    x: int
    y: int


@pytest.mark.parametrize("indent, expected", [
    (0, "<Point>\n<x>1</x>\n<y>2</y>\n</Point>"),
    (True, "<Point>\n <x>1</x>\n <y>2</y>\n</Point>"),  # indent is read as an integer
])
def test_indent_forms(indent, expected):
    assert serialize(Point(x=1, y=2), indent=indent) == expected.encode()


@dataclass  # dataclasses do not validate: each field can hold whatever a test puts there
class Scalars:
    s: Optional[str] = None
    i: Optional[int] = None
    f: Optional[float] = None
    b: Optional[bool] = None
    ints: Optional[list[int]] = None
    words: Optional[list[str]] = None


FAILING_STR = type("FailingStr", (), {"__str__": lambda self: 1 / 0})()


# Floats, booleans, Decimals, None and empty lists: written alike as fields and as list
# items, in test_typed_values and test_roundtrip.
@pytest.mark.parametrize("values, content", [
    ({"s": ""}, "<s></s>"),
    ({"s": Status.SHIPPED}, "<s>shipped</s>"),  # an enum, or any object, writes its value
    ({"s": type("WithValue", (), {"value": "from-value"})()}, "<s>from-value</s>"),
    ({"s": type("BrokenValue", (), {"value": property(lambda s: 1 / 0),
                                    "__str__": lambda s: "own-str"})()}, "<s>own-str</s>"),
    ({"s": 12}, "<s>12</s>"),
    ({"i": type("IntWithValue", (int,), {"value": 9})(1)}, "<i>9</i>"),
    ({"i": -(2**63)}, "<i>-9223372036854775808</i>"),
    ({"b": type("bool_", (), {"__bool__": lambda s: True})()}, "<b>true</b>"),  # NumPy's
    ({"b": type("bool", (), {"__module__": "numpy", "__bool__": lambda s: False})()},
     "<b>false</b>"),
    ({"ints": [True, None, Level.HIGH]}, "<ints>1</ints><ints>3</ints>"),  # each as an int field
    ({"ints": (1, 2)}, ""),  # only real lists
    ({"ints": type("ListSubclass", (list,), {})([7])}, "<ints>7</ints>"),
])
def test_field_values(values, content):
    assert serialize(Scalars(**values)) == f"<Scalars>{content}</Scalars>".encode()


@pytest.mark.parametrize("values, error, message", [
    ({"b": 1}, TypeError, "'int' object is not an instance of 'bool'"),
    ({"i": 2**63}, OverflowError, "int too big to convert"),
    ({"i": Status.SHIPPED}, TypeError, "'str' object cannot be interpreted as an integer"),
    ({"f": "1.5"}, TypeError, "must be real number, not str"),
    ({"s": FAILING_STR}, ZeroDivisionError, "division by zero"),
    ({"words": ["a", FAILING_STR]}, ZeroDivisionError, "division by zero"),
    ({"ints": [1, "2"]}, TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_conversion_errors_propagate(values, error, message):
    with pytest.raises(error) as info:
        serialize(Scalars(**values))
    assert (type(info.value), str(info.value)) == (error, message)


def test_unreadable_attributes_are_left_out():
    class Flaky(Item):
        def __getattribute__(self, name):  # any failing read leaves the field out
            if name in ("sku", "qty"):
                raise (KeyError if name == "sku" else AttributeError)(name)
            return super().__getattribute__(name)

    assert serialize(Flaky(sku="x", price=2)) == b"<Flaky><price>2</price></Flaky>"


@pytest.mark.parametrize("change, expected", [
    (list.clear, b"<words>m</words>"),
    (lambda items: items.append(99), b"<words>m</words><words>0</words><words>1</words>"),
])
def test_list_changed_during_walk_is_bounded_by_its_starting_length(change, expected):
    items = [type("Mutating", (), {"__str__": lambda self: change(items) or "m"})(), 0, 1]
    assert serialize(Scalars(words=items)) == b"<Scalars>" + expected + b"</Scalars>"


@dataclass
class Shape:
    at: Optional[Point] = None
    corners: Optional[list[Point]] = field(default=None, metadata={"name": "corner"})


def test_nested_values_are_read_by_the_declared_fields():
    not_a_point = type("NotAPoint", (), {"x": 5, "z": 6})()
    obj = Shape(at=not_a_point, corners=[Point(x=1, y=2), not_a_point])
    assert serialize(obj) == (b"<Shape><at><x>5</x></at>"
                              b"<corner><x>1</x><y>2</y></corner><corner><x>5</x></corner></Shape>")


def test_classes_sharing_a_name_keep_their_own_fields():
    part_a, part_b = (make_dataclass("Part", [(name, Optional[int], None)]) for name in "ab")
    outer_a = make_dataclass("OuterA", [("p", Optional[part_a], None)])
    outer_b = make_dataclass("OuterB", [("p", Optional[list[part_b]], None)])
    # outer_b is compiled last, so its Part is the most recent class of that name.
    objects = [outer_a(part_a(1)), outer_b([part_b(2)]), outer_a(part_a(3)), part_a(4), part_b(5)]
    assert [serialize(x) for x in objects] == [
        b"<OuterA><p><a>1</a></p></OuterA>", b"<OuterB><p><b>2</b></p></OuterB>",
        b"<OuterA><p><a>3</a></p></OuterA>", b"<Part><a>4</a></Part>", b"<Part><b>5</b></Part>"]


@dataclass
class Node:
    next: Optional[Node] = None
    kids: Optional[list[Node]] = None


class PNode(BaseModel):
    next: Optional[PNode] = None
    kids: Optional[list[PNode]] = None


@pytest.mark.parametrize("cls", [Node, PNode])
def test_depth_limit(cls):
    chain = [cls()]
    for _ in range(299):
        chain.append(cls(next=chain[-1]))
    assert serialize(chain[255]).count(b"<next>") == 255  # 256 levels
    looped, in_list = cls(), cls()
    looped.next, in_list.kids = looped, [cls(), in_list]  # objects that contain themselves
    for deep in (chain[256], chain[299], looped, in_list):
        with pytest.raises(ValueError) as info:
            serialize(deep)
        assert str(info.value) == "Maximum XML recursion depth exceeded: current 257 >= limit 256"
        assert not hasattr(info.value, "__notes__")  # no field is at fault
