"""Round trip of generated instances: deserialize(serialize(x, indent=n)) == x, with and
without indentation, and iterparse over a batch of serialized records gives them back. (Both kinds of model class, dataclasses and pydantic
models, are read and written value by value in test_binding.)"""

import dataclasses
import datetime as dt
import enum
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Optional

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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


ATTR = {"type": "Attribute"}
TEXT = {"type": "Text"}


@dataclass
class RtLeaf:  # everything as attributes, and text
    key: str = field(metadata={"type": "Attribute", "name": "k"})
    num: int = field(metadata=ATTR)
    real: float = field(metadata={"type": "Attribute", "name": "r"})
    flag: bool = field(metadata=ATTR)
    price: Decimal = field(metadata=ATTR)
    color: RtColor = field(metadata=ATTR)
    maybe: Optional[int] = field(default=None, metadata=ATTR)
    day: Optional[dt.date] = field(default=None, metadata=ATTR)
    clock: Optional[dt.time] = field(default=None, metadata=ATTR)
    body: str = field(default="", metadata=TEXT)


@dataclass
class RtMixed:  # text content beside child elements: indentation must not touch it
    body: str = field(default="", metadata={"type": "Wildcard", "mixed": True})
    leaf: Optional[RtLeaf] = None
    nums: list[int] = field(default_factory=list, metadata={"name": "n"})


@dataclass
class RtNode:  # everything as elements; more fields than are looked up by a scan
    id: int = field(metadata=ATTR)
    name: str = field(metadata={"name": "Name"})
    count: int
    ratio: float
    on: bool
    amount: Decimal
    color: RtColor
    level: RtLevel
    note: Optional[str] = None
    leaf: Optional[RtLeaf] = None
    leaves: list[RtLeaf] = field(default_factory=list, metadata={"name": "Leaf"})
    words: list[str] = field(default_factory=list, metadata={"name": "x:word"})
    nums: list[int] = field(default_factory=list, metadata={"name": "n"})
    flags: list[bool] = field(default_factory=list, metadata={"name": "flag"})
    colors: list[RtColor] = field(default_factory=list)
    stamps: list[dt.datetime] = field(default_factory=list)
    maybes: list[Optional[int]] = field(default_factory=list)
    mixed: list[RtMixed] = field(default_factory=list)


# No characters XML 1.0 forbids (controls other than TAB/LF/CR, surrogates,
# U+FFFE/U+FFFF): serialize refuses them. TAB, LF and CR stay in: CR is written as
# &#13; everywhere and TAB/LF as &#9;/&#10; in attribute values, so neither line-end
# nor attribute normalisation touches them.
CHAR = st.one_of(
    st.sampled_from("<>&\"' \t\n\r]"),
    st.characters(blacklist_categories=("Cs",), blacklist_characters=[
        chr(c) for c in range(32) if c not in b"\t\n\r"] + ["\ufffe", "\uffff"]),
)
TEXTS = st.text(CHAR, max_size=12)
INT = st.integers(-(2**63), 2**63 - 1)  # Int fields are signed 64-bit both ways
FLOAT = st.floats(allow_nan=False)  # NaN is carried back, but NaN != NaN
# Dates and times: years whose offset arithmetic stays in range, and fixed UTC
# offsets within the +-14:00 that XML Schema allows (a named zone is written as
# its offset at that moment, and comparing across zones treats folds apart).
ZONE = st.none() | st.integers(-840, 840).map(lambda m: dt.timezone(dt.timedelta(minutes=m)))
DATE = st.dates(dt.date(2, 1, 1), dt.date(9998, 12, 31))
STAMP = st.datetimes(dt.datetime(2, 1, 1), dt.datetime(9998, 12, 31), timezones=ZONE)


def strategies():
    decimals = st.decimals(allow_nan=False)
    colors = st.sampled_from(RtColor)
    leaf = st.builds(
        RtLeaf, key=TEXTS, num=INT, real=FLOAT, flag=st.booleans(), price=decimals,
        color=colors, maybe=st.none() | INT, day=st.none() | DATE,
        clock=st.none() | st.times(timezones=ZONE), body=TEXTS)
    mixed = st.builds(RtMixed, body=TEXTS, leaf=st.none() | leaf, nums=st.lists(INT, max_size=2))
    # An empty list writes nothing and reads back as the default []; so does None.
    node = st.builds(
        RtNode, id=INT, name=TEXTS, count=INT, ratio=FLOAT, on=st.booleans(), amount=decimals,
        color=colors, level=st.sampled_from(RtLevel), note=st.none() | TEXTS,
        leaf=st.none() | leaf, leaves=st.lists(leaf, max_size=3), words=st.lists(TEXTS, max_size=3),
        nums=st.lists(INT, max_size=3), flags=st.lists(st.booleans(), max_size=3),
        colors=st.lists(colors, max_size=3), stamps=st.lists(STAMP, max_size=3),
        maybes=st.lists(st.none() | INT, max_size=3), mixed=st.lists(mixed, max_size=2))
    return {RtLeaf: leaf, RtNode: node, RtMixed: mixed}


def as_read_back(x):
    """`x` as the document carries it back: without the None items of its lists."""
    if isinstance(x, list):
        return [as_read_back(item) for item in x if item is not None]
    if dataclasses.is_dataclass(x):
        return dataclasses.replace(
            x, **{f.name: as_read_back(getattr(x, f.name)) for f in dataclasses.fields(x)})
    return x


CASES = [(root, indent) for root in (RtLeaf, RtNode, RtMixed) for indent in (None, 0, 2)]
SETTINGS = settings(max_examples=30, derandomize=True, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("root, indent", CASES, ids=lambda x: getattr(x, "__name__", repr(x)))
@SETTINGS
@given(data=st.data())
def test_each_record_and_a_batch_of_them_read_back_as_written(root, indent, data):
    xs = data.draw(st.lists(strategies()[root], min_size=1, max_size=4))
    written = [serialize(x, indent=indent) for x in xs]
    expected = [as_read_back(x) for x in xs]
    assert [deserialize(xml, root) for xml in written] == expected, written
    batch = b"<batch>" + b"".join(written) + b"</batch>"
    assert list(iterparse(batch, root)) == expected, batch
