"""deserialize end to end: construction, defaults, nil, scalar conversion, errors."""

import dataclasses
import datetime
import decimal
import enum
import importlib
import importlib.util
import math
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional

import pydantic
import pytest
from pydantic import BaseModel, Field

from kestrix import deserialize

STUBS = str(Path(__file__).parent / "stubs")
DATATYPE = "tarnwell.models.datatype"


def attribute(name=None, **kwargs):
    extra = {"type": "Attribute"} if name is None else {"type": "Attribute", "name": name}
    return Field(json_schema_extra=extra, **kwargs)


class Color(enum.Enum):
    RED = "red"
    GREEN = "green"


class Level(enum.Enum):
    LOW = 1
    HIGH = 2


# An int-valued enum whose __name__ is "int": its text is parsed as an integer,
# so conversion meets it with an int in hand.
SmallInt = enum.IntEnum("int", {"ONE": 1, "TWO": 2})


class Item(BaseModel):
    sku: str = attribute()
    qty: int
    price: decimal.Decimal


class Order(BaseModel):
    id: int = attribute("order-id")
    customer: Optional[str] = None
    note: str = "none"
    items: list[Item] = []


@dataclass
class Bag:
    colors: list[Color] = field(default_factory=list, metadata={"name": "color"})
    counts: List[int] = field(default_factory=list, metadata={"name": "n"})
    prices: list[decimal.Decimal] = field(default_factory=list, metadata={"name": "price"})


@dataclass
class Scalars:
    i: int = 0
    f: float = 0.0
    b: bool = False
    s: str = ""
    o: Optional[str] = "default"
    day: Optional[datetime.date] = None
    color: Optional[Color] = None
    level: Optional[Level] = None
    small: Optional[SmallInt] = None
    amount: Optional[decimal.Decimal] = None


# --- the datatype package, present and absent -------------------------------------


def _forget_datatype(monkeypatch):
    for name in list(sys.modules):
        if name == "tarnwell" or name.startswith("tarnwell."):
            monkeypatch.delitem(sys.modules, name)


@pytest.fixture
def datatype_present(monkeypatch):
    _forget_datatype(monkeypatch)
    monkeypatch.syspath_prepend(STUBS)
    yield importlib.import_module(DATATYPE)
    _forget_datatype(monkeypatch)


def _make_absent(monkeypatch):
    _forget_datatype(monkeypatch)
    monkeypatch.setattr(sys, "path", [p for p in sys.path if p != STUBS])
    importlib.invalidate_caches()
    assert importlib.util.find_spec("tarnwell") is None


@pytest.fixture
def datatype_absent(monkeypatch):
    _make_absent(monkeypatch)


def rejecting(name):
    """A class of the given name whose from_string and constructor reject all text."""

    def refuse(*args):
        raise ValueError("refused")

    return type(name, (), {"from_string": classmethod(refuse), "__init__": refuse})


def accepting(name):
    """A class of the given name without from_string whose constructor keeps the text."""

    def init(self, text):
        self.text = text

    return type(name, (), {"__init__": init})


def holder(annotation):
    return dataclasses.make_dataclass("Holder", [("when", Optional[annotation], None)])


def spy_init(cls):
    """Records the arguments of every constructor call of a dataclass."""
    calls = []
    original = cls.__init__

    def init(self, *args, **kwargs):
        calls.append((args, kwargs))
        original(self, *args, **kwargs)

    cls.__init__ = init
    return calls


# --- object building ---------------------------------------------------------------


def test_pydantic_order_with_defaults_nested_list_and_keyword_names():
    seen = []

    class Audited(Order):
        @pydantic.model_validator(mode="before")
        @classmethod
        def record(cls, data):
            seen.append(dict(data))
            return data

    doc = (
        b'<Order order-id="7"><customer>Ann</customer>'
        b'<items sku="a"><qty>2</qty><price>1.50</price></items>'
        b'<items sku="b"><qty> 3 </qty><price>10</price></items></Order>'
    )
    order = deserialize(doc, Audited)
    assert type(order) is Audited
    assert (order.id, order.customer, order.note) == (7, "Ann", "none")
    assert order.items == [
        Item(sku="a", qty=2, price=decimal.Decimal("1.50")),
        Item(sku="b", qty=3, price=decimal.Decimal("10")),
    ]
    assert str(order.items[0].price) == "1.50"
    # One keyword call, keyed by attribute names (never the XML names).
    assert len(seen) == 1 and set(seen[0]) == {"id", "customer", "items"}


def test_missing_required_field_is_the_models_own_error():
    with pytest.raises(pydantic.ValidationError, match="price"):
        deserialize(b'<Item sku="a"><qty>1</qty></Item>', Item)


@pytest.mark.parametrize(
    "doc, expected",
    [
        (b"<S><o xsi:nil='true'/></S>", None),  # nil passes None, not the default
        (b"<S><o x:nil='1'></o></S>", None),
        (b"<S><o xsi:nil='false'>v</o></S>", "v"),
        (b"<S/>", "default"),
    ],
)
def test_nil_and_missing(doc, expected):
    assert deserialize(doc, Scalars).o == expected


def test_lists_of_scalars_come_out_plain():
    doc = (
        b"<Bag><color>red</color><n>1</n><color>GREEN</color><n xsi:nil='true'/>"
        b"<color>blue</color><price>1.50</price></Bag>"
    )
    bag = deserialize(doc, Bag)
    assert bag.colors == ["red", "GREEN", "blue"]
    assert bag.counts == [1, None]
    assert bag.prices == ["1.50"] and type(bag.prices[0]) is str


@pytest.mark.parametrize(
    "doc, name, expected",
    [
        (b"<S><i>42</i></S>", "i", 42),
        (b"<S><i/></S>", "i", ""),  # self-closing: empty text, never an int
        (b"<S><b> 1 </b></S>", "b", True),
        (b"<S><f>1e400</f></S>", "f", math.inf),
        (b"<S><s>  x </s></S>", "s", "  x "),
        (b"<S><day>2024-01-31</day></S>", "day", "2024-01-31"),  # datetime.date: text
        (b"<S><color>red</color></S>", "color", Color.RED),  # by value
        (b"<S><color>GREEN</color></S>", "color", Color.GREEN),  # by name
        (b"<S><color>blue</color></S>", "color", "blue"),  # unknown: the text
        (b"<S><level> 2 </level></S>", "level", Level.HIGH),  # by integer value
        (b"<S><level>+1</level></S>", "level", Level.LOW),
        (b"<S><level>HIGH</level></S>", "level", Level.HIGH),
        (b"<S><level>2.0</level></S>", "level", "2.0"),
        (b"<S><small>2</small></S>", "small", SmallInt.TWO),  # int value to member
        (b"<S><small>7</small></S>", "small", 7),  # no member: the plain int
        (b"<S><amount> 1.50 </amount></S>", "amount", decimal.Decimal("1.50")),
    ],
)
def test_scalar_conversion(doc, name, expected):
    value = getattr(deserialize(doc, Scalars), name)
    assert value == expected
    assert type(value) is type(expected)
    if name == "amount":
        assert str(value) == "1.50"


def test_decimal_uses_the_decimal_module_and_passes_its_error():
    LookAlike = type("Decimal", (), {})
    result = deserialize(b"<H><when>2.50</when></H>", holder(LookAlike))
    assert type(result.when) is decimal.Decimal and str(result.when) == "2.50"
    with pytest.raises(decimal.InvalidOperation):
        deserialize(b"<S><amount>abc</amount></S>", Scalars)


# --- construction ---------------------------------------------------------------


@dataclass
class Point:
    x: int = field(metadata={"type": "Attribute"})
    y: int = field(default=0, metadata={"type": "Attribute"})
    label: str = "p"


@pytest.mark.parametrize(
    "doc, call",
    [
        (b"<P x='1' y='2'><label>a</label></P>", ((1, 2, "a"), {})),
        (b"<P x='1'><label>a</label></P>", ((), {"x": 1, "label": "a"})),
        (b"<P x='1' y='2'><label xsi:nil='true'/></P>", ((1, 2, None), {})),
    ],
)
def test_dataclass_positional_only_when_every_field_is_present(doc, call):
    cls = dataclasses.make_dataclass("Point", [], bases=(Point,))
    calls = spy_init(cls)
    assert type(deserialize(doc, cls)) is cls
    assert calls == [call]


def test_init_false_fields_are_set_after_a_keyword_call():
    calls = []

    @dataclass
    class Stamped:
        name: str
        stamp: Optional[str] = field(default=None, init=False)

        def __post_init__(self):
            calls.append(self.stamp)

    init_calls = spy_init(Stamped)
    result = deserialize(b"<s><name>n</name><stamp>t</stamp></s>", Stamped)
    assert (result.name, result.stamp) == ("n", "t")
    assert calls == [None]  # not yet set while the constructor ran
    assert init_calls == [((), {"name": "n"})]


def test_kw_only_fields_force_keywords():
    @dataclass
    class Opts:
        a: int
        b: int = field(kw_only=True)

    calls = spy_init(Opts)
    result = deserialize(b"<o><a>1</a><b>2</b></o>", Opts)
    assert (result.a, result.b) == (1, 2)
    assert calls == [((), {"a": 1, "b": 2})]


def test_failed_positional_call_is_retried_with_keywords():
    @dataclass
    class KeywordsOnly:
        a: int

    original = KeywordsOnly.__init__

    def init(self, *args, **kwargs):
        if args:
            raise TypeError("positional refused")
        original(self, **kwargs)

    KeywordsOnly.__init__ = init
    assert deserialize(b"<k><a>5</a></k>", KeywordsOnly).a == 5


class Boom(Exception):
    pass


def test_constructor_errors_pass_through_after_the_retry():
    runs = []

    @dataclass
    class Fragile:
        a: int

        def __post_init__(self):
            runs.append(self.a)
            raise Boom(f"run {len(runs)}")

    with pytest.raises(Boom) as info:
        deserialize(b"<f><a>1</a></f>", Fragile)
    assert info.value.args == ("run 2",)  # the keyword retry's own exception
    assert runs == [1, 1]


def test_validator_errors_pass_through_unchanged():
    class Checked(BaseModel):
        n: int

        @pydantic.field_validator("n")
        @classmethod
        def positive(cls, v):
            if v <= 0:
                raise ValueError("must be positive")
            return v

    with pytest.raises(pydantic.ValidationError, match="must be positive"):
        deserialize(b"<c><n>-1</n></c>", Checked)


def test_plain_class_is_called_without_arguments():
    calls = []

    class Plain:
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))

    assert type(deserialize(b"<x a='1'><b>2</b></x>", Plain)) is Plain
    assert calls == [((), {})]


def test_constructor_may_deserialize_again():
    @dataclass
    class Inner:
        v: int

    @dataclass
    class Outer:
        v: int

        def __post_init__(self):
            self.inner = deserialize(b"<i><v>9</v></i>", Inner)

    assert deserialize(b"<o><v>1</v></o>", Outer).inner == Inner(9)


@dataclass
class Para:
    text: str = field(default="", metadata={"type": "Wildcard", "mixed": True})
    lang: str = field(default="", metadata={"type": "Attribute"})
    em: Optional[str] = None


def test_mixed_content_text_field():
    para = deserialize(b'<p lang="en">Hello <em>big</em> world</p>', Para)
    assert para == Para(text="Hello  world", lang="en", em="big")


# --- recursion and classes named alike ------------------------------------------


class Node(BaseModel):
    name: str = attribute()
    # typing.List: Python 3.10 leaves a string inside list[...] unresolved.
    children: List["Node"] = Field(default_factory=list, json_schema_extra={"name": "node"})


@dataclass
class DataNode:
    name: str = field(metadata={"type": "Attribute"})
    children: List["DataNode"] = field(default_factory=list, metadata={"name": "node"})


def nested_doc(levels):
    return "".join(f'<node name="{i}">' for i in range(levels)).encode() + b"</node>" * levels


@pytest.mark.parametrize("cls", [Node, DataNode])
def test_recursive_models_up_to_the_depth_limit(cls):
    node = deserialize(nested_doc(200), cls)
    depth = 1
    while node.children:
        (node,) = node.children
        depth += 1
    assert (depth, node.name) == (200, "199")
    with pytest.raises(ValueError) as info:
        deserialize(nested_doc(300), cls)
    assert info.value.args == ("Maximum XML recursion depth exceeded: current 257 >= limit 256",)


def test_classes_named_alike_each_get_their_own_class():
    first = dataclasses.make_dataclass("Item", [("code", str)])
    second = dataclasses.make_dataclass("Item", [("label", str)])
    first.__module__, second.__module__ = "shop.a", "shop.b"
    Pair = dataclasses.make_dataclass("Pair", [("a", first), ("b", list[second])])
    doc = b"<p><a><code>x</code></a><b><label>y</label></b><b><label>z</label></b></p>"
    pair = deserialize(doc, Pair)
    assert type(pair.a) is first and pair.a.code == "x"
    assert [type(b) for b in pair.b] == [second, second]
    assert [b.label for b in pair.b] == ["y", "z"]


# --- date, time and duration chains -------------------------------------------------


def test_datatype_classes_convert_through_their_own_from_string(datatype_present):
    for name, text, value in [
        ("XmlDate", "2024-01-31", datetime.date(2024, 1, 31)),
        ("XmlTime", "10:30:00", datetime.time(10, 30)),
        ("XmlDateTime", "2024-01-31T10:30:00", datetime.datetime(2024, 1, 31, 10, 30)),
    ]:
        cls = getattr(datatype_present, name)
        result = deserialize(f"<h><when> {text} </when></h>".encode(), holder(cls))
        assert result.when == cls(value)
    duration = deserialize(b"<h><when>P1D</when></h>", holder(datatype_present.XmlDuration))
    assert duration.when == datatype_present.XmlDuration("P1D")


@pytest.mark.parametrize(
    "annotation, text, present, absent",
    [
        (rejecting("XmlDate"), "2024-01-31", "XmlDate", datetime.date(2024, 1, 31)),
        (rejecting("XmlTime"), "10:30:00", "XmlTime", datetime.time(10, 30)),
        (rejecting("XmlDateTime"), "2024-01-31T10:30", "XmlDateTime",
         datetime.datetime(2024, 1, 31, 10, 30)),
        (rejecting("XmlDate"), "31/01/2024", "31/01/2024", "31/01/2024"),
        (rejecting("XmlDuration"), "P1D", "XmlDuration", "P1D"),
        (rejecting("XmlDuration"), "1 day", "1 day", "1 day"),
        (datetime.date, "2024-01-31", "2024-01-31", "2024-01-31"),
    ],
)
def test_date_time_chains(monkeypatch, annotation, text, present, absent):
    """`present`/`absent` is the expected value; a name stands for the package's
    class of that name holding the parsed text."""
    doc = f"<h><when>{text}</when></h>".encode()
    cls = holder(annotation)

    _forget_datatype(monkeypatch)
    monkeypatch.syspath_prepend(STUBS)
    datatype = importlib.import_module(DATATYPE)
    if present in ("XmlDate", "XmlTime", "XmlDateTime", "XmlDuration"):
        stub = getattr(datatype, present)
        present = stub(text) if present == "XmlDuration" else stub.from_string(text)
    assert deserialize(doc, cls).when == present

    # Removed later: looked up again on every conversion, so the change is seen.
    _make_absent(monkeypatch)
    assert deserialize(doc, cls).when == absent


def test_constructor_of_a_date_class_follows_the_package(datatype_absent):
    cls = accepting("XmlDate")
    result = deserialize(b"<h><when>someday</when></h>", holder(cls))
    assert type(result.when) is cls and result.when.text == "someday"


# --- errors of the core and of compilation ------------------------------------------


@dataclass
class Counter:
    count: int = field(metadata={"name": "n"})


@pytest.mark.parametrize(
    "doc, message",
    [
        (b"<c><n>abc</n></c>", "Scalar parse error for field 'count': expected integer, got 'abc'"),
        (b"<c><n>1</n>", "Schema error: Unexpected end of XML stream"),
        (b"", "Schema error: Unexpected end of XML stream"),
        (b"<c><n>1</m></c>", "XML reader error at position "),
    ],
)
def test_core_errors_are_plain_value_errors(doc, message):
    with pytest.raises(ValueError) as info:
        deserialize(doc, Counter)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1 and info.value.args[0].startswith(message)
    # The class stays usable after a failure.
    assert deserialize(b"<c><n>3</n></c>", Counter) == Counter(3)


def test_class_errors_come_before_the_document_is_read():
    class Meta(type):
        def __getattr__(cls, name):
            raise RuntimeError(f"no {name}")

    class Weird(metaclass=Meta):
        pass

    Uses = dataclasses.make_dataclass("Uses", [("w", Weird)])
    with pytest.raises(RuntimeError, match="__dataclass_fields__"):
        deserialize(b"<not xml", Uses)
