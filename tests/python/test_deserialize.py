"""deserialize end to end: construction, defaults, nil, scalar conversion, errors."""

import datetime
import decimal
import enum
import importlib.util
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional  # List["X"]: 3.10 leaves a string in list[...] unresolved

import pytest
from pydantic import BaseModel, Field

from kestrix import deserialize

STUBS = str(Path(__file__).parent / "stubs")
ATTR = {"type": "Attribute"}
Level = enum.Enum("Level", {"LOW": 1, "HIGH": 2})
SmallInt = enum.IntEnum("int", {"ONE": 1, "TWO": 2})  # named "int": its text is parsed first
CALLS = []


def spied(cls):  # records the arguments of every constructor call in CALLS
    original = cls.__init__

    def init(self, *args, **kwargs):
        CALLS.append((args, kwargs))
        original(self, *args, **kwargs)

    cls.__init__ = init
    return cls


def holder(annotation):
    @dataclass
    class Holder:
        when: Optional[annotation] = None

    return Holder


class Item(BaseModel):
    sku: str = Field(json_schema_extra=ATTR)
    qty: int
    price: decimal.Decimal


@spied
class Order(BaseModel):
    id: int = Field(json_schema_extra={"type": "Attribute", "name": "order-id"})
    customer: Optional[str] = None
    note: str = "none"
    items: list[Item] = []


class Boom(Exception):
    pass


@spied
@dataclass
class Fragile:
    a: int

    def __post_init__(self):  # the first call always fails, later ones when a < 0
        if len(CALLS) == 1 or self.a < 0:
            raise Boom(f"run {len(CALLS)}")


@spied
@dataclass
class Point:
    x: int = field(metadata=ATTR)
    y: int = field(default=0, metadata=ATTR)
    label: str = "p"


@spied
@dataclass
class Opts:
    a: int
    b: int = field(kw_only=True)


@spied
class Plain:
    pass


@spied
@dataclass
class Stamped:
    name: str
    stamp: Optional[str] = field(default=None, init=False)

    def __post_init__(self):  # records the stamp: not set yet
        CALLS.append(self.stamp)


@spied
@dataclass
class Para:
    text: str = field(default="", metadata={"type": "Wildcard", "mixed": True})
    lang: str = field(default="", metadata=ATTR)
    em: Optional[str] = None


@dataclass
class Counter:
    count: int = field(metadata={"name": "n"})


@spied
@dataclass
class Outer:
    v: int

    def __post_init__(self):  # a constructor may itself deserialize
        self.inner = deserialize(b"<c><n>9</n></c>", Counter)


ITEMS = [Item(sku="a", qty=2, price=decimal.Decimal("1.50")), Item(sku="b", qty=3, price=10)]


@pytest.mark.parametrize("cls, doc, calls, values", [
    # pydantic: one keyword call by attribute names (never XML names), absent fields left out
    (Order, '<Order order-id="7"><items sku="a"><qty>2</qty><price>1.50</price></items>'
     '<customer>Ann</customer><items sku="b"><qty> 3 </qty><price>10</price></items></Order>',
     [((), {"id": 7, "customer": "Ann", "items": ITEMS})], (7, "Ann", "none", ITEMS)),
    # dataclasses: positional only when every field is present and may be passed so
    (Point, "<P x='1' y='2'><label>a</label></P>", [((1, 2, "a"), {})], (1, 2, "a")),
    (Point, "<P x='1'><label>a</label></P>", [((), {"x": 1, "label": "a"})], (1, 0, "a")),
    (Point, "<P x='1' y='2'><label xsi:nil='true'/></P>", [((1, 2, None), {})], (1, 2, None)),
    (Stamped, "<s><name>n</name><stamp>t</stamp></s>", [((), {"name": "n"}), None], ("n", "t")),
    (Para, '<p lang="en">Hello <em>big</em> world</p>', [(("Hello  world", "en", "big"), {})],
     ("Hello  world", "en", "big")),  # mixed content: the text around child elements
    (Opts, "<o><a>1</a><b>2</b></o>", [((), {"a": 1, "b": 2})], (1, 2)),
    (Fragile, "<f><a>5</a></f>", [((5,), {}), ((), {"a": 5})], (5,)),  # retried by keyword
    (Plain, "<x a='1'><b>2</b></x>", [((), {})], ()),  # a plain class gets no arguments
    (Outer, "<o><v>1</v></o>", [((1,), {})], (1, Counter(9))),  # a constructor may deserialize
])
def test_construction(cls, doc, calls, values):
    CALLS.clear()
    result = deserialize(doc.encode(), cls)
    assert (type(result), tuple(vars(result).values()), CALLS) == (cls, values, calls)


# Enum members by value, by name and unknown text, and Decimal text: see test_typed_values.
@pytest.mark.parametrize("annotation, text, expected", [
    (str, "<when x:nil='1'>v</when>", None),  # nil under any prefix
    (str, "<when xsi:nil='false'>v</when>", "v"),
    (bool, " 1 ", True),
    (float, "1e400", float("inf")),
    (Level, "+1", Level.LOW),  # by integer value
    (Level, "2.0", "2.0"),
    (SmallInt, "2", SmallInt.TWO),  # parsed int to member
    (SmallInt, "7", 7),  # no member: the plain int
    (type("Decimal", (), {}), "2.50", decimal.Decimal("2.50")),  # by name: decimal's own class
])
def test_scalar_conversion(annotation, text, expected):
    inner = text if text.startswith("<") else f"<when>{text}</when>"
    value = deserialize(f"<h>{inner}</h>".encode(), holder(annotation)).when
    assert (value, type(value), str(value)) == (expected, type(expected), str(expected))


class Meta(type):
    def __getattr__(cls, name):
        raise RuntimeError(f"no {name}")


class Weird(metaclass=Meta):
    pass


@dataclass
class Uses:
    w: Weird


@pytest.mark.parametrize("cls, doc, error, message", [
    (Counter, b"<c><n>abc</n></c>", ValueError,
     "Scalar parse error for field 'count': expected integer, got 'abc'"),
    (Counter, b"<c><n>1</n>", ValueError, "Schema error: Unexpected end of XML stream"),
    (Counter, b"", ValueError, "Schema error: Unexpected end of XML stream"),
    (Fragile, b"<f><a>-1</a></f>", Boom, "run 2"),  # the keyword retry's own exception
    # the class is compiled before the document is read
    (Uses, b"<not xml", RuntimeError,
     "no __dataclass_fields__"),
])
def test_errors(cls, doc, error, message):
    CALLS.clear()
    with pytest.raises(error) as info:
        deserialize(doc, cls)
    assert (type(info.value), info.value.args) == (error, (message,))
    assert deserialize(b"<c><n>3</n></c>", Counter) == Counter(3)  # still usable afterwards


class Node(BaseModel):
    name: str = Field(json_schema_extra=ATTR)
    children: List["Node"] = Field(default_factory=list, json_schema_extra={"name": "node"})


@dataclass
class DataNode:
    name: str = field(metadata=ATTR)
    children: List["DataNode"] = field(default_factory=list, metadata={"name": "node"})


def nested(levels):
    return "".join(f'<node name="{i}">' for i in range(levels)).encode() + b"</node>" * levels


@pytest.mark.parametrize("cls", [Node, DataNode])
def test_recursive_models_200_levels_deep(cls):  # deeper: test_hostile
    node = deserialize(nested(200), cls)
    for _ in range(199):
        (node,) = node.children
    assert (node.name, node.children) == ("199", [])


def test_classes_named_alike_each_get_their_own_class():
    @dataclass
    class Item:
        code: str

    first = Item

    @dataclass
    class Item:  # the same name, in another module
        label: str

    second = Item
    first.__module__, second.__module__ = "shop.a", "shop.b"

    @dataclass
    class Pair:
        a: first
        b: list[second]

    doc = b"<p><a><code>x</code></a><b><label>y</label></b><b><label>z</label></b></p>"
    pair = deserialize(doc, Pair)
    assert [(type(x), vars(x)) for x in (pair.a, *pair.b)] == [
        (first, {"code": "x"}), (second, {"label": "y"}), (second, {"label": "z"})]


def refuse(*args):
    raise ValueError("refused")


def refusing(name):  # a class called `name` whose from_string and constructor reject all text
    return type(name, (), {"from_string": classmethod(refuse), "__init__": refuse})


KeepsText = type("XmlDate", (str,), {})  # no from_string; its constructor takes any text


def forget_package(monkeypatch):
    for name in [n for n in sys.modules if n.split(".")[0] == "tarnwell"]:
        monkeypatch.delitem(sys.modules, name)


@pytest.mark.parametrize("annotation, text, present, absent", [
    ("XmlDate", " 2024-01-31 ", "XmlDate", "XmlDate"),  # the package's own classes
    ("XmlDuration", "P1D", "XmlDuration", "XmlDuration"),
    (refusing("XmlDate"), "2024-01-31", "XmlDate", datetime.date(2024, 1, 31)),
    (refusing("XmlTime"), "10:30:00", "XmlTime", datetime.time(10, 30)),
    (refusing("XmlDateTime"), "2024-01-31T10:30", "XmlDateTime",
     datetime.datetime(2024, 1, 31, 10, 30)),
    (refusing("XmlDate"), "31/01/2024", "31/01/2024", "31/01/2024"),
    (refusing("XmlDuration"), "P1D", "XmlDuration", "P1D"),
    (refusing("XmlDuration"), "1 day", "1 day", "1 day"),
    (KeepsText, "someday", KeepsText("someday"), KeepsText("someday")),
])
def test_date_time_chains(monkeypatch, annotation, text, present, absent):
    """An expected value named like a package class is that class holding the text."""
    forget_package(monkeypatch)
    monkeypatch.syspath_prepend(STUBS)
    package = importlib.import_module("tarnwell.models.datatype")
    cls = holder(vars(package).get(annotation, annotation))
    doc = f"<h><when>{text}</when></h>".encode()

    def check(expected):
        if type(expected) is str and expected.startswith("Xml"):
            made = getattr(package, expected)
            expected = made(text) if expected == "XmlDuration" else made.from_string(text.strip())
        result = deserialize(doc, cls).when
        assert (type(result), result) == (type(expected), expected)

    check(present)
    # Removed later: looked up again on every conversion, so the change is seen.
    forget_package(monkeypatch)
    monkeypatch.setattr(sys, "path", [p for p in sys.path if p != STUBS])
    importlib.invalidate_caches()
    assert importlib.util.find_spec("tarnwell") is None
    check(absent)
