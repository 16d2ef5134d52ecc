"""Typed values both ways, for dataclasses and pydantic models side by side: list
items by their item type, standard dates and times, empty numeric elements,
characters XML 1.0 cannot carry, and the notes that name the field at fault."""

import datetime as dt
import enum
from dataclasses import dataclass, field, make_dataclass
from decimal import Decimal, InvalidOperation
from typing import Optional

import pydantic
import pytest
from pydantic import BaseModel, Field, create_model

from kestrix import deserialize, iterparse, serialize

UTC = dt.timezone.utc
PLUS_0530 = dt.timezone(dt.timedelta(hours=5, minutes=30))
KINDS = ["dataclass", "pydantic"]
SAME = object()  # the pydantic model gets what the dataclass gets


class Color(enum.Enum):
    RED = "red"
    PADDED = " padded "  # a value with edge whitespace is read as written


class Level(enum.Enum):
    LOW = 1


def holder(kind, annotation, role=None):
    """A class named Holder with one optional field `v` of `annotation`."""
    meta = {"type": role} if role else {}
    if kind == "dataclass":
        return make_dataclass("Holder", [("v", Optional[annotation], field(default=None, metadata=meta))])
    return create_model("Holder", v=(Optional[annotation], Field(None, json_schema_extra=meta)))


# annotation, content of <Holder>, what the dataclass gets, what the pydantic model gets
READ = [
    (list[Color], "<v>red</v><v>RED</v><v> padded </v><v> red </v>",
     [Color.RED, Color.RED, Color.PADDED, Color.RED], SAME),
    (list[Color], "<v>blue</v>", ["blue"], pydantic.ValidationError),  # no member: the text
    (list[Level], "<v> 1 </v>", [Level.LOW], SAME),
    (list[Decimal], "<v>1.50</v><v> 2 </v>", [Decimal("1.50"), Decimal("2")], SAME),
    (list[Optional[int]], "<v>1</v><v xsi:nil='true'/>", [1, None], SAME),
    (list[dt.date], "<v>2024-02-29</v>", [dt.date(2024, 2, 29)], SAME),
    (dt.date, "<v>2024-02-29Z</v>", "2024-02-29Z", pydantic.ValidationError),  # no zone in a date
    (dt.date, "<v>29/02/2024</v>", "29/02/2024", pydantic.ValidationError),
    (dt.datetime, "<v>2024-02-29T10:00:00Z</v>", dt.datetime(2024, 2, 29, 10, tzinfo=UTC), SAME),
    (dt.datetime, "<v>2024-02-29T10:00:00.5+05:30</v>",
     dt.datetime(2024, 2, 29, 10, 0, 0, 500000, tzinfo=PLUS_0530), SAME),
    (dt.datetime, "<v>2024-02-29T10:00:00.1234567</v>",  # cut to microseconds
     dt.datetime(2024, 2, 29, 10, 0, 0, 123456), SAME),
    (dt.time, "<v>10:30:00.25Z</v>", dt.time(10, 30, 0, 250000, tzinfo=UTC), SAME),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("annotation, content, expected, pd_expected", READ)
def test_values_are_read_by_their_type(kind, annotation, content, expected, pd_expected):
    cls = holder(kind, annotation)
    doc = f"<Holder>{content}</Holder>".encode()
    if kind == "pydantic" and pd_expected is not SAME:
        with pytest.raises(pd_expected):
            deserialize(doc, cls)
        return
    value = deserialize(doc, cls).v
    assert (value, [type(x) for x in value] if isinstance(value, list) else type(value)) == (
        expected, [type(x) for x in expected] if isinstance(expected, list) else type(expected))
    if isinstance(expected, (dt.datetime, dt.time)):
        assert value.utcoffset() == expected.utcoffset()


# annotation, value, XML content of <Holder>
WRITE = [
    (list[bool], [True, False], "<v>true</v><v>false</v>"),
    (list[float], [1e10, 0.1, 5], "<v>1.0e10</v><v>0.1</v><v>5.0</v>"),
    (list[Optional[int]], [1, None, 3], "<v>1</v><v>3</v>"),  # None writes nothing
    (list[Color], [Color.RED, Color.PADDED], "<v>red</v><v> padded </v>"),
    (list[Decimal], [Decimal("1.10")], "<v>1.10</v>"),
    (list[dt.date], [dt.date(2024, 2, 29)], "<v>2024-02-29</v>"),
    (dt.datetime, dt.datetime(2024, 2, 29, 10, tzinfo=UTC), "<v>2024-02-29T10:00:00+00:00</v>"),
    (dt.time, dt.time(10, 30, 0, 5), "<v>10:30:00.000005</v>"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("annotation, value, content", WRITE)
def test_values_are_written_by_their_type_and_read_back(kind, annotation, value, content):
    cls = holder(kind, annotation)
    xml = serialize(cls(v=value))
    assert xml == f"<Holder>{content}</Holder>".encode()
    kept = [x for x in value if x is not None] if isinstance(value, list) else value
    assert deserialize(xml, cls).v == kept


def test_text_kept_in_a_date_field_is_written_back_as_it_is():
    cls = holder("dataclass", dt.date)
    assert serialize(deserialize(b"<Holder><v>someday</v></Holder>", cls)) == (
        b"<Holder><v>someday</v></Holder>")


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("annotation, expected", [
    (int, "integer"), (float, "float"), (bool, "boolean ('true', 'false', '1', '0')"),
    (list[int], "integer"),
])
@pytest.mark.parametrize("element", ["<v/>", "<v></v>", "<v />"])
def test_an_empty_number_or_boolean_is_an_error_however_it_is_spelled(kind, annotation, expected,
                                                                      element):
    cls = holder(kind, annotation)
    message = f"Scalar parse error for field 'v': expected {expected}, got ''"
    with pytest.raises(ValueError) as info:
        deserialize(f"<Holder>{element}</Holder>".encode(), cls)
    assert info.value.args == (message,)
    records = iterparse(f"<feed><Holder>{element}</Holder><Holder/></feed>".encode(), cls)
    with pytest.raises(ValueError) as info:
        next(records)
    assert info.value.args == (message,)
    assert next(records).v is None  # the next record still binds


@pytest.mark.parametrize("kind", KINDS)
def test_an_empty_text_field_stays_empty_text(kind):
    assert deserialize(b"<Holder><v/></Holder>", holder(kind, str)).v == ""


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("role, annotation", [
    (None, str), ("Attribute", str), ("Text", str), (None, list[str]), ("Text", list[str]),
])
@pytest.mark.parametrize("char", ["\x00", "\x01", "\x0b", "\x1f", "\ufffe", "\uffff"])
def test_characters_xml_cannot_carry_are_refused(kind, role, annotation, char):
    cls = holder(kind, annotation, role)
    text = f"a{char}b"
    with pytest.raises(ValueError) as info:
        serialize(cls(v=[text] if annotation == list[str] else text))
    assert info.value.args == (
        f"Serialization error: character U+{ord(char):04X} in field 'v' of Holder "
        "cannot be written in XML 1.0",)


@pytest.mark.parametrize("kind", KINDS)
def test_characters_xml_carries_pass_unchanged(kind):
    text = "tab\tlf\ncr\r \ufffd\uffef\ue000 😀"  # near U+FFFE in UTF-8, yet allowed
    cls = holder(kind, str)
    assert deserialize(serialize(cls(v=text)), cls).v == text


@dataclass
class DLine:
    price: Decimal
    qty: int = 1

    def __post_init__(self):
        if self.qty < 1:
            raise ValueError(f"quantity {self.qty} is below 1")


@dataclass
class DInvoice:
    number: int = 0
    lines: list[DLine] = field(default_factory=list, metadata={"name": "line"})


class PLine(BaseModel):
    price: Decimal
    qty: int = Field(1, ge=1)


class PInvoice(BaseModel):
    number: int = 0
    lines: list[PLine] = Field(default_factory=list, json_schema_extra={"name": "line"})


MODELS = {"dataclass": (DInvoice, DLine), "pydantic": (PInvoice, PLine)}
LINES = "<line><price>1</price></line><line><price>{price}</price><qty>{qty}</qty></line>"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("price, qty, error, notes", [
    # a conversion: the innermost field first, then each level up to the root
    ("abc", 1, InvalidOperation, ["while binding field 'price' of {Line}",
                                  "while binding field 'lines' of {Invoice} (item 1)"]),
    # a constructor: the field that holds the object
    ("2", 0, (ValueError, pydantic.ValidationError),
     ["while binding field 'lines' of {Invoice} (item 1)"]),
])
def test_binding_errors_keep_their_type_and_gain_notes(kind, price, qty, error, notes):
    invoice, line = MODELS[kind]
    names = {"Invoice": invoice.__name__, "Line": line.__name__}
    lines = LINES.format(price=price, qty=qty)
    expected = [note.format(**names) for note in notes]
    with pytest.raises(error) as info:
        deserialize(f"<{invoice.__name__}>{lines}</{invoice.__name__}>".encode(), invoice)
    assert info.value.__notes__ == expected
    records = iterparse(f"<I>{lines}</I>".encode(), line, tag="line")
    next(records)
    with pytest.raises(error) as info:  # a record of iterparse: notes of its own fields only
        next(records)
    assert getattr(info.value, "__notes__", []) == expected[:-1]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("change, error, message, notes", [
    (lambda inv: setattr(inv, "number", "x"), TypeError,
     "'str' object cannot be interpreted as an integer", ["while writing field 'number' of {Invoice}"]),
    (lambda inv: setattr(inv.lines[1], "qty", 2.5), TypeError,
     "'float' object cannot be interpreted as an integer",
     ["while writing field 'qty' of {Line}", "while writing field 'lines' of {Invoice} (item 1)"]),
    (lambda inv: setattr(inv.lines[0], "price", "\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
     ["while writing field 'price' of {Line}", "while writing field 'lines' of {Invoice} (item 0)"]),
])
def test_writing_errors_keep_their_type_and_gain_notes(kind, change, error, message, notes):
    invoice, line = MODELS[kind]
    obj = invoice(lines=[line(price=Decimal(1)), line(price=Decimal(2))])
    change(obj)  # pydantic models do not validate assignments unless asked to
    with pytest.raises(error) as info:
        serialize(obj)
    names = {"Invoice": invoice.__name__, "Line": line.__name__}
    assert (str(info.value), info.value.__notes__) == (
        message, [note.format(**names) for note in notes])


class Shade(enum.Enum):
    LIGHT = "light"
    DARK = "dark"

    @classmethod
    def _missing_(cls, value):  # any capitalisation of a value
        return cls._value2member_map_.get(value.lower()) if isinstance(value, str) else None


class Perm(enum.IntFlag):
    X = 1
    W = 2
    R = 4


class Recording(enum.EnumMeta):
    seen = []

    def __call__(cls, value, *args, **kwargs):
        Recording.seen.append(value)
        return super().__call__(value, *args, **kwargs)


class Size(enum.Enum, metaclass=Recording):
    SMALL = "small"


@pytest.mark.parametrize("annotation, texts, expected", [
    (Shade, ["dark", "Light", "DARK", "dim"], [Shade.DARK, Shade.LIGHT, Shade.DARK, "dim"]),
    (Perm, ["4", "6", "X", "8"], [Perm.R, Perm.R | Perm.W, Perm.X, Perm(8)]),  # composites
    (Size, ["small", "SMALL", "big"], [Size.SMALL, Size.SMALL, "big"]),
])
def test_enum_classes_that_change_the_lookup_are_called_as_they_are(annotation, texts, expected):
    Recording.seen.clear()
    Holder = make_dataclass("Holder", [("v", list[annotation], field(default_factory=list))])
    content = "".join(f"<v>{t}</v>" for t in texts).encode()
    assert deserialize(b"<Holder>" + content + b"</Holder>", Holder).v == expected
    if annotation is Size:  # its own metaclass call sees every text
        assert Recording.seen == ["small", "SMALL", "big"]
