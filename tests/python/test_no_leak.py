"""Repeated deserialize calls, succeeding or failing, keep memory and reference counts flat."""

import decimal
import enum
import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import List, Optional

import pytest
from pydantic import BaseModel, Field

from kestrix import deserialize

ROUNDS = 10_000


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


@dataclass
class Line:
    sku: str = field(metadata={"type": "Attribute"})
    qty: int
    price: decimal.Decimal
    color: Color


@dataclass
class Order:
    id: int = field(metadata={"type": "Attribute"})
    paid: bool
    total: float
    note: Optional[str] = None
    lines: list[Line] = field(default_factory=list, metadata={"name": "line"})
    tags: list[Color] = field(default_factory=list, metadata={"name": "tag"})


class ModelLine(BaseModel):
    sku: str = Field(json_schema_extra={"type": "Attribute"})
    qty: int
    color: Color


class ModelOrder(BaseModel):
    id: int = Field(json_schema_extra={"type": "Attribute"})
    lines: list[ModelLine] = Field(default=[], json_schema_extra={"name": "line"})


@dataclass
class Node:
    children: List["Node"] = field(default_factory=list, metadata={"name": "n"})


class Refused(Exception):
    pass


@dataclass
class Fragile:
    a: int

    def __post_init__(self):
        raise Refused("no")


ORDER_DOC = (
    b'<Order id="1"><paid>true</paid><total>9.5</total><note xsi:nil="true"/>'
    b'<line sku="a"><qty>2</qty><price>1.50</price><color>red</color></line>'
    b'<line sku="b"><qty>1</qty><price>3</price><color>BLUE</color></line>'
    b"<tag>red</tag><tag>green</tag></Order>"
)
MODEL_DOC = b'<o id="3"><line sku="a"><qty>2</qty><color>red</color></line></o>'

CASES = {
    "dataclass": (ORDER_DOC, Order, None),
    "model": (MODEL_DOC, ModelOrder, None),
    "reader error": (b"<Order><paid>1</total></Order>", Order, ValueError),
    "scalar error": (b'<Order id="x"/>', Order, ValueError),
    "decimal error": (b'<l sku="a"><qty>1</qty><price>?</price><color>red</color></l>', Line,
                      decimal.InvalidOperation),
    "depth error": (b"<n>" * 300 + b"</n>" * 300, Node, ValueError),
    "constructor error": (b"<f><a>1</a></f>", Fragile, Refused),
    "model error": (b'<o id="3"><line><qty>2</qty></line></o>', ModelOrder, Exception),
}

# Held only by this module and the compiled classes: their counts must not move.
SHARED = [Order, Line, ModelOrder, ModelLine, Node, Fragile, Color, Color.RED, Color.BLUE]
# Used by the whole interpreter, whose caches may take or drop a reference or two;
# a leak in a call would move them by thousands.
SINGLETONS = [None, True, False]


def run(doc, cls, error, rounds):
    for _ in range(rounds):
        try:
            deserialize(doc, cls)
        except error or ():
            pass


# Under AddressSanitizer freed memory is held in quarantine, so the resident size
# grows by design; only the reference counts and traced memory say anything there.
CHECK_RSS = os.path.exists("/proc/self/statm") and "ASAN_OPTIONS" not in os.environ


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("case", CASES)
def test_reference_counts_and_rss_stay_flat(case):
    doc, cls, error = CASES[case]
    run(doc, cls, error, 500)
    gc.collect()
    counts = [sys.getrefcount(o) for o in SHARED]
    singletons = [sys.getrefcount(o) for o in SINGLETONS]
    rss = rss_bytes() if CHECK_RSS else None
    run(doc, cls, error, ROUNDS)
    gc.collect()
    assert [sys.getrefcount(o) for o in SHARED] == counts
    if rss is not None:
        assert rss_bytes() - rss < 2 * 1024 * 1024
    if sys.version_info < (3, 12):  # immortal later: stable-ABI code moves their counts freely
        for obj, count in zip(SINGLETONS, singletons):
            assert abs(sys.getrefcount(obj) - count) < 10, obj


@pytest.mark.parametrize("case", CASES)
def test_traced_python_memory_stays_flat(case):
    doc, cls, error = CASES[case]
    tracemalloc.start()
    try:
        run(doc, cls, error, 500)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        run(doc, cls, error, ROUNDS)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024
