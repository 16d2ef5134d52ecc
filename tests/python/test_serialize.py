"""serialize: reading model instances field by field and the XML bytes written."""

from __future__ import annotations

import datetime
import enum
from dataclasses import dataclass, field, make_dataclass
from decimal import Decimal
from typing import Optional

import pytest
from pydantic import BaseModel, Field

from kestrix import serialize


def meta(role: str | None = None, name: str | None = None) -> dict:
    return {k: v for k, v in (("type", role), ("name", name)) if v is not None}


class Status(enum.Enum):
    SHIPPED = "shipped"


class Level(enum.IntEnum):
    HIGH = 3


# A realistic document.


class Address(BaseModel):
    street: str
    city: str


class Item(BaseModel):
    sku: str = Field(json_schema_extra=meta("Attribute"))
    qty: int = 1
    price: Optional[Decimal] = None


class Order(BaseModel):
    id: int = Field(json_schema_extra=meta("Attribute"))
    status: Status = Field(json_schema_extra=meta("Attribute"))
    note: Optional[str] = Field(None, json_schema_extra=meta("Text"))
    customer: str = Field(json_schema_extra=meta(name="Customer"))
    ship_to: Address = Field(json_schema_extra=meta(name="ShipTo"))
    items: list[Item] = Field(json_schema_extra=meta(name="Item"))
    tags: list[str] = Field(default_factory=list, json_schema_extra=meta(name="Tag"))
    paid: bool = False
    total: float = 0.0


ORDER_INDENTED = """\
<Order id="42" status="shipped">Leave at door<Customer>Ada &amp; Co</Customer>
  <ShipTo>
    <street>1 Main St</street>
    <city>Zürich</city>
  </ShipTo>
  <Item sku="A-1">
    <qty>2</qty>
    <price>9.99</price>
  </Item>
  <Item sku="B&lt;2&gt;">
    <qty>1</qty>
  </Item>
  <Tag>fragile</Tag>
  <Tag>gift</Tag>
  <paid>true</paid>
  <total>21.5</total>
</Order>"""


def test_realistic_document_exact_bytes():
    obj = Order(
        id=42,
        status=Status.SHIPPED,
        note="Leave at door",
        customer="Ada & Co",
        ship_to=Address(street="1 Main St", city="Zürich"),
        items=[Item(sku="A-1", qty=2, price=Decimal("9.99")), Item(sku="B<2>")],
        tags=["fragile", "gift"],
        paid=True,
        total=21.5,
    )
    indented = serialize(obj, indent=2)
    assert type(indented) is bytes
    assert indented == ORDER_INDENTED.encode()
    one_line = "".join(line.strip() for line in ORDER_INDENTED.splitlines())
    assert serialize(obj) == one_line.encode()


class Point(BaseModel):
    x: int
    y: int


@pytest.mark.parametrize(
    "indent, expected",
    [
        (None, "<Point><x>1</x><y>2</y></Point>"),
        (0, "<Point>\n<x>1</x>\n<y>2</y>\n</Point>"),
        (False, "<Point>\n<x>1</x>\n<y>2</y>\n</Point>"),
        (True, "<Point>\n <x>1</x>\n <y>2</y>\n</Point>"),
        (2, "<Point>\n  <x>1</x>\n  <y>2</y>\n</Point>"),
    ],
)
def test_indent_forms(indent, expected):
    assert serialize(Point(x=1, y=2), indent=indent) == expected.encode()


# One dataclass with a field of every kind: dataclasses do not validate, so
# each field can hold whatever a test puts there.


@dataclass
class Scalars:
    s: Optional[str] = None
    i: Optional[int] = None
    f: Optional[float] = None
    b: Optional[bool] = None
    d: Optional[Decimal] = None
    when: Optional[datetime.datetime] = None
    ints: Optional[list[int]] = None
    floats: Optional[list[float]] = None


class WithValue:
    value = "from-value"


class BrokenValue:
    @property
    def value(self):
        raise ValueError("unreadable")

    def __str__(self):
        return "own-str"


class BoolScalar:
    """Stands in for numpy's boolean scalar, recognised by its type name."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


bool_ = type("bool_", (BoolScalar,), {})
numpy_bool = type("bool", (BoolScalar,), {"__module__": "numpy"})


class ListSubclass(list):
    pass


class DecimalWithValue(Decimal):
    value = "decimal-value"


class IntWithValue(int):
    value = 9


@pytest.mark.parametrize(
    "values, content",
    [
        ({}, ""),
        ({"s": ""}, "<s></s>"),
        ({"s": Status.SHIPPED}, "<s>shipped</s>"),
        ({"s": Level.HIGH}, "<s>3</s>"),
        ({"s": WithValue()}, "<s>from-value</s>"),
        ({"s": BrokenValue()}, "<s>own-str</s>"),
        ({"s": 12}, "<s>12</s>"),
        ({"i": Level.HIGH}, "<i>3</i>"),
        ({"i": True}, "<i>1</i>"),
        ({"i": IntWithValue(1)}, "<i>9</i>"),
        ({"i": -(2**63)}, "<i>-9223372036854775808</i>"),
        ({"f": 5}, "<f>5.0</f>"),
        ({"f": 1e10}, "<f>1.0e10</f>"),
        ({"f": Decimal("0.5")}, "<f>0.5</f>"),
        ({"b": False}, "<b>false</b>"),
        ({"b": bool_(True)}, "<b>true</b>"),
        ({"b": numpy_bool(False)}, "<b>false</b>"),
        ({"d": Decimal("1.10")}, "<d>1.10</d>"),
        ({"d": DecimalWithValue("1")}, "<d>decimal-value</d>"),
        ({"when": datetime.datetime(2024, 1, 2, 3, 4, 5)}, "<when>2024-01-02 03:04:05</when>"),
        ({"ints": [1, 2]}, "<ints>1</ints><ints>2</ints>"),
        ({"ints": [True, None, Level.HIGH]}, "<ints>True</ints><ints>None</ints><ints>3</ints>"),
        ({"floats": [1e10, 0.1]}, "<floats>10000000000.0</floats><floats>0.1</floats>"),
        ({"ints": (1, 2)}, ""),
        ({"ints": ListSubclass([7])}, "<ints>7</ints>"),
        ({"ints": []}, ""),
    ],
)
def test_field_values(values, content):
    assert serialize(Scalars(**values)) == f"<Scalars>{content}</Scalars>".encode()


class FailingStr:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "values, error, message",
    [
        ({"b": 1}, TypeError, "'int' object is not an instance of 'bool'"),
        ({"b": "true"}, TypeError, "'str' object is not an instance of 'bool'"),
        ({"i": 2**63}, OverflowError, None),
        ({"i": "5"}, TypeError, None),
        ({"i": Status.SHIPPED}, TypeError, None),
        ({"f": "1.5"}, TypeError, None),
        ({"s": FailingStr()}, RuntimeError, "no text"),
        ({"s": "\ud800"}, UnicodeEncodeError, None),
        ({"ints": [1, FailingStr()]}, RuntimeError, "no text"),
    ],
)
def test_conversion_errors_propagate(values, error, message):
    with pytest.raises(error) as info:
        serialize(Scalars(**values))
    if message is not None:
        assert str(info.value) == message


@dataclass
class Flaky:
    a: Optional[str] = field(default=None, metadata=meta("Attribute"))
    b: Optional[str] = None
    c: Optional[str] = None

    def __getattribute__(self, name):
        if name == "a":
            raise KeyError(name)  # any failing read leaves the field out
        if name == "b":
            raise AttributeError(name)
        return object.__getattribute__(self, name)


def test_unreadable_attributes_are_left_out():
    assert serialize(Flaky("x", "y", "z")) == b"<Flaky><c>z</c></Flaky>"


class Mutating:
    """An item whose str() changes the list being walked."""

    def __init__(self, target, grow):
        self.target, self.grow = target, grow

    def __str__(self):
        if self.grow:
            self.target.append(99)
        else:
            self.target.clear()
        return "m"


@pytest.mark.parametrize("grow", [False, True])
def test_list_changed_during_walk_is_bounded(grow):
    items: list = [0, 1]
    items.insert(0, Mutating(items, grow))
    expected = b"<ints>m</ints><ints>0</ints><ints>1</ints>" if grow else b"<ints>m</ints>"
    assert serialize(Scalars(ints=items)) == b"<Scalars>" + expected + b"</Scalars>"


# Nested classes.


@dataclass
class Shape:
    at: Optional[Point] = None
    corners: Optional[list[Point]] = field(default=None, metadata=meta(name="corner"))


class NotAPoint:
    x = 5
    z = 6


def test_nested_values_are_read_by_the_declared_fields():
    obj = Shape(at=NotAPoint(), corners=[Point(x=1, y=2), NotAPoint()])
    assert serialize(obj) == (
        b"<Shape><at><x>5</x></at>"
        b"<corner><x>1</x><y>2</y></corner><corner><x>5</x></corner></Shape>"
    )


PartA = make_dataclass("Part", [("a", Optional[int], field(default=None))])
PartB = make_dataclass("Part", [("b", Optional[int], field(default=None))])
OuterA = make_dataclass("OuterA", [("p", Optional[PartA], field(default=None))])
OuterB = make_dataclass("OuterB", [("p", Optional[list[PartB]], field(default=None))])


def test_classes_sharing_a_name_keep_their_own_fields():
    # OuterB is compiled last, so its Part is the most recent class of that name.
    assert serialize(OuterA(PartA(1))) == b"<OuterA><p><a>1</a></p></OuterA>"
    assert serialize(OuterB([PartB(2)])) == b"<OuterB><p><b>2</b></p></OuterB>"
    assert serialize(OuterA(PartA(3))) == b"<OuterA><p><a>3</a></p></OuterA>"
    assert serialize(PartA(4)) == b"<Part><a>4</a></Part>"
    assert serialize(PartB(5)) == b"<Part><b>5</b></Part>"


# The walk is bounded: deep graphs and cycles fail instead of exhausting the stack.


@dataclass
class Node:
    next: Optional[Node] = None
    kids: Optional[list[Node]] = None


class PNode(BaseModel):
    next: Optional[PNode] = None
    kids: Optional[list[PNode]] = None


DEPTH_MESSAGE = "Maximum XML recursion depth exceeded: current 257 >= limit 256"


def chain(cls, levels):
    node = cls()
    for _ in range(levels - 1):
        node = cls(next=node)
    return node


def self_next(cls):
    node = cls()
    node.next = node
    return node


def self_kid(cls):
    node = cls()
    node.kids = [cls(), node]
    return node


@pytest.mark.parametrize("cls", [Node, PNode])
def test_depth_limit_accepts_256_levels(cls):
    text = serialize(chain(cls, 256))
    assert text.count(b"<next>") == 255


@pytest.mark.parametrize("cls", [Node, PNode])
@pytest.mark.parametrize(
    "build", [lambda c: chain(c, 257), lambda c: chain(c, 300), self_next, self_kid],
    ids=["257-deep", "300-deep", "self-next", "self-in-list"],
)
def test_depth_limit_rejects_deeper_graphs_and_cycles(cls, build):
    with pytest.raises(ValueError) as info:
        serialize(build(cls))
    assert str(info.value) == DEPTH_MESSAGE
