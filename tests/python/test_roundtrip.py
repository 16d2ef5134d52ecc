"""Round trip: deserialize(serialize(x)) == x for generated dataclass and pydantic instances."""

import dataclasses
import datetime as dt
import enum
from decimal import Decimal
from types import FunctionType
from typing import Optional

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel, Field, create_model

from kestrix import deserialize, iterparse, serialize

# Every class here carries an Rt prefix, so failures name this module's classes.


class RtColor(enum.Enum):
    RED = "red"
    GREEN = "green"
    DARK = "dark blue"
    PADDED = " padded\t"  # enum text is read as written before it is trimmed
    EMPTY = ""


class RtLevel(enum.IntEnum):
    LOW = 1
    HIGH = 20


REQUIRED = object()


def meta(role=None, name=None, default=REQUIRED):
    """One field: its XML role and name, and its default (REQUIRED for none)."""
    meta = {k: v for k, v in (("type", role), ("name", name)) if v is not None}
    return meta, default


# Field lists shared by both families; an annotation given as a function receives the
# family's classes made so far, so nested fields refer to their own family.
LEAF = {
    "key": (str, meta("Attribute", "k")),
    "num": (int, meta("Attribute")),
    "real": (float, meta("Attribute", "r")),
    "flag": (bool, meta("Attribute")),
    "price": (Decimal, meta("Attribute")),
    "color": (RtColor, meta("Attribute")),
    "maybe": (Optional[int], meta("Attribute", default=None)),
    "day": (Optional[dt.date], meta("Attribute", default=None)),
    "clock": (Optional[dt.time], meta("Attribute", default=None)),
    "body": (str, meta("Text", default="")),
}
NODE = {
    "id": (int, meta("Attribute")),
    "name": (str, meta(name="Name")),
    "count": (int, meta()),
    "ratio": (float, meta()),
    "on": (bool, meta()),
    "amount": (Decimal, meta()),
    "color": (RtColor, meta()),
    "level": (RtLevel, meta()),
    "note": (Optional[str], meta(default=None)),
    "leaf": (lambda c: Optional[c["L"]], meta(default=None)),
    "leaves": (lambda c: list[c["L"]], meta(name="Leaf", default=list)),
    "words": (list[str], meta(name="x:word", default=list)),
    "nums": (list[int], meta(name="n", default=list)),
    "reals": (list[float], meta(default=list)),
    "flags": (list[bool], meta(name="flag", default=list)),
    "amounts": (list[Decimal], meta(default=list)),
    "colors": (list[RtColor], meta(default=list)),
    "days": (list[dt.date], meta(default=list)),
    "stamps": (list[dt.datetime], meta(default=list)),
    "maybes": (list[Optional[int]], meta(default=list)),
}
MIXED = {
    "label": (str, meta("Attribute")),
    "text": (str, meta("Text", default="")),
    "first": (Optional[int], meta(default=None)),
    "sub": (lambda c: Optional[c["L"]], meta(default=None)),
    "items": (lambda c: list[c["N"]], meta(name="item", default=list)),
}


def build_family(kind):
    """The three classes, as dataclasses ("dc") or as pydantic models ("pd")."""
    made = {}
    for short, fields in (("L", LEAF), ("N", NODE), ("M", MIXED)):
        name = f"Rt{short}{kind}"
        typed = {
            f: (t(made) if isinstance(t, FunctionType) else t, s) for f, (t, s) in fields.items()
        }
        if kind == "dc":
            # Required fields first, as dataclasses ask.
            order = sorted(typed, key=lambda f: typed[f][1][1] is not REQUIRED)
            made[short] = dataclasses.make_dataclass(
                name, [(f, typed[f][0], field_of(kind, *typed[f][1])) for f in order])
        else:
            made[short] = create_model(
                name, **{f: (t, field_of(kind, *s)) for f, (t, s) in typed.items()})
    return made


def field_of(kind, meta, default):
    """A dataclass field or a pydantic Field with this metadata and default."""
    args = {"metadata" if kind == "dc" else "json_schema_extra": meta}
    if default is list:
        args["default_factory"] = list
    elif default is not REQUIRED:
        args["default"] = default
    return dataclasses.field(**args) if kind == "dc" else Field(**args)


FAMILIES = {kind: build_family(kind) for kind in ("dc", "pd")}
ROOTS = {"leaf": "L", "node": "N", "mixed": "M"}

# --- what the format carries back --------------------------------------------------

# No characters XML 1.0 forbids (controls other than TAB/LF/CR, surrogates,
# U+FFFE/U+FFFF): serialize refuses them.
# TAB, LF and CR stay in: CR is written as &#13; everywhere and TAB/LF as &#9;/&#10;
# in attribute values, so neither line-end nor attribute normalisation touches them.
CHAR = st.one_of(
    st.sampled_from("<>&\"' \t\n\r]"),
    st.characters(
        blacklist_categories=("Cs",),
        blacklist_characters=[chr(c) for c in range(32) if c not in b"\t\n\r"]
        + ["\ufffe", "\uffff"],
    ),
)
TEXT = st.text(CHAR, max_size=12)
# Integers within int64: the writer takes Int fields as signed 64-bit and the reader
# parses them into the same range.
INT = st.integers(-(2**63), 2**63 - 1)
# No NaN: it is carried back, but NaN != NaN. Infinities and -0.0 round-trip.
FLOAT = st.floats(allow_nan=False)


def decimals(kind):
    # No Decimal NaN (never equal to itself); pydantic's Decimal validation also
    # refuses infinities, a rule of the model class rather than of the format.
    return st.decimals(allow_nan=False, allow_infinity=kind == "dc")


# Dates and times: years whose offset arithmetic stays in range, and fixed UTC
# offsets within the +-14:00 that XML Schema allows (a named zone is written as
# its offset at that moment, and comparing across zones treats folds apart).
ZONE = st.none() | st.integers(-840, 840).map(lambda m: dt.timezone(dt.timedelta(minutes=m)))
DATE = st.dates(dt.date(2, 1, 1), dt.date(9998, 12, 31))
TIME = st.times(timezones=ZONE)
STAMP = st.datetimes(dt.datetime(2, 1, 1), dt.datetime(9998, 12, 31), timezones=ZONE)


def strategies(kind, indented):
    c = FAMILIES[kind]
    # With indentation the end tag of an element that received no text goes on a new
    # line, and that line break is character data of the element: a text field then
    # reads it back, so under indentation a text field holds at least one character.
    body = st.text(CHAR, min_size=1, max_size=12) if indented else TEXT
    leaf = st.builds(
        c["L"], key=TEXT, num=INT, real=FLOAT, flag=st.booleans(), price=decimals(kind),
        color=st.sampled_from(RtColor), maybe=st.none() | INT, day=st.none() | DATE,
        clock=st.none() | TIME, body=body,
    )  # fmt: skip
    # An empty list writes nothing and reads back as the default, so defaults are [];
    # a None item writes nothing either (see `as_read_back`).
    node = st.builds(
        c["N"], id=INT, name=TEXT, count=INT, ratio=FLOAT, on=st.booleans(),
        amount=decimals(kind), color=st.sampled_from(RtColor), level=st.sampled_from(RtLevel),
        note=st.none() | TEXT, leaf=st.none() | leaf, leaves=st.lists(leaf, max_size=3),
        words=st.lists(TEXT, max_size=3), nums=st.lists(INT, max_size=3),
        reals=st.lists(FLOAT, max_size=3), flags=st.lists(st.booleans(), max_size=3),
        amounts=st.lists(decimals(kind), max_size=3),
        colors=st.lists(st.sampled_from(RtColor), max_size=3), days=st.lists(DATE, max_size=3),
        stamps=st.lists(STAMP, max_size=3), maybes=st.lists(st.none() | INT, max_size=3),
    )  # fmt: skip
    # None is written as nothing and read back as the default, so Optional defaults
    # are None. A text field holding "" is written as nothing too: its default is "".
    mixed = st.builds(
        c["M"], label=TEXT, text=TEXT, first=st.none() | INT, sub=st.none() | leaf,
        items=st.lists(node, max_size=2),
    )  # fmt: skip
    return {"leaf": leaf, "node": node, "mixed": mixed}


def as_read_back(x):
    """`x` as the document carries it back: without the None items of its lists."""
    if isinstance(x, list):
        return [as_read_back(item) for item in x if item is not None]
    if dataclasses.is_dataclass(x):
        return dataclasses.replace(
            x, **{f.name: as_read_back(getattr(x, f.name)) for f in dataclasses.fields(x)})
    if isinstance(x, BaseModel):
        return x.model_copy(update={f: as_read_back(getattr(x, f)) for f in type(x).model_fields})
    return x


# Text of an element that also has child elements is gathered around the children,
# so with indentation the line breaks between them join the text: the class with text
# and children (mixed) is checked without indentation only.
CASES = [
    (kind, root, indent)
    for kind in ("dc", "pd")
    for root, indents in (("leaf", (None, 0, 2)), ("node", (None, 0, 2)), ("mixed", (None,)))
    for indent in indents
]
SETTINGS = settings(
    max_examples=30,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@pytest.mark.parametrize("kind,root,indent", CASES)
@SETTINGS
@given(data=st.data())
def test_deserialize_of_serialize_is_identity(kind, root, indent, data):
    x = data.draw(strategies(kind, indent is not None)[root])
    xml = serialize(x, indent=indent)
    assert deserialize(xml, type(x)) == as_read_back(x), xml


@pytest.mark.parametrize("kind,root,indent", CASES)
@SETTINGS
@given(data=st.data())
def test_iterparse_of_serialized_records_is_identity(kind, root, indent, data):
    xs = data.draw(st.lists(strategies(kind, indent is not None)[root], max_size=4))
    doc = b"<batch>" + b"".join(serialize(x, indent=indent) for x in xs) + b"</batch>"
    assert list(iterparse(doc, FAMILIES[kind][ROOTS[root]])) == [as_read_back(x) for x in xs], doc
