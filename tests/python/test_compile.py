"""Class compilation: kinds, metadata, annotations, the cache, recursive models."""

import datetime
import enum
import gc
import threading
import time
import weakref
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field, make_dataclass
from decimal import Decimal
from typing import List, Optional, Union

import pytest
from pydantic import BaseModel, Field, create_model

from kestrix import PanicException
from kestrix._kestrix import _schema_description as describe


class FakeField:  # a hand-built model class's field; `on_read` runs on each metadata read
    def __init__(self, annotation, on_read=lambda: None):
        self.annotation, self.on_read = annotation, on_read

    json_schema_extra = property(lambda self: (self.on_read(), None)[1])


def fake_model(name, **fields):
    return type(name, (), {"model_fields": dict(fields)})


def attrs(**attributes):  # an object with just these attributes
    return type("Odd", (), attributes)()


LeafModel = create_model("LeafModel", value=(int, 0))

DecimalNamedEnum = enum.Enum("Decimal", {"ONE": "1"})
LocalDate = type("LocalDate", (datetime.date,), {})


# Plain lists, Decimal, dates, enums and classes known by name (alone and as list items) are read
# by their type in test_binding and test_roundtrip; these rows are the spellings and edge cases
# seen only here.
@pytest.mark.parametrize("annotation, expected, stripped, conversion", [
    (Optional[int], "Int", int, "Plain"),
    (int | None, "Int", int, "Plain"),
    (Union[None, int], "Int", int, "Plain"),
    (Union[str, int], "Str", str, "Plain"),  # the first member that is not None
    (list[list[int]], ["List", ["List", "Int"]], list[list[int]], "Plain"),
    (List, ["List", "Str"], List, "Plain"),
    (list, "Other", list, "Plain"),
    (dict[str, int], "Other", dict[str, int], "Plain"),
    (LocalDate, "Other", LocalDate, "IsoDate"),  # by descent
    (DecimalNamedEnum, "Decimal", DecimalNamedEnum, "Enum+Decimal"),
    # list items: by the item annotation, Optional stripped
    (Optional[list[Optional[Decimal]]], ["List", "Decimal"], list[Optional[Decimal]], "Decimal"),
    (make_dataclass("Leaf", [])(), "Other", None, "Plain"),  # an instance of a model class
])
def test_annotation_analysis(annotation, expected, stripped, conversion):
    f = describe(make_dataclass("Case", [("f", annotation)]))["fields"][0]
    assert (f["type"], f["annotation"], f["conversion"]) == (
        expected, stripped or annotation, conversion)


def test_fallbacks_for_hints_and_metadata():
    a, b = describe(make_dataclass("Unresolved", [("a", "Missing"), ("b", int, 0)]))["fields"]
    assert (a["type"], a["annotation"], b["type"]) == ("Other", "Missing", "Int")  # field types
    cls = fake_model("M", a=attrs(annotation=int), b=attrs(  # no metadata; ferrun_metadata first
        annotation=int, ferrun_metadata={"type": "Text"}, json_schema_extra={"type": "Attribute"}))
    assert [f["role"] for f in describe(cls)["fields"]] == ["Element", "Text"]


@dataclass
class EarlyList:  # names its item class before that class exists, inside builtin generics
    items: list["LateItem"] = field(default_factory=list)
    groups: Optional[dict[str, list["LateItem"]]] = None


@dataclass
class LateItem:
    n: int = 0


def test_strings_inside_builtin_generics_resolve():  # Python 3.10's get_type_hints leaves them
    items, groups = describe(EarlyList)["fields"]
    assert (items["annotation"], groups["annotation"]) == (
        list[LateItem], dict[str, list[LateItem]])


# misspelt roles are warned about (see test_model_warnings.py); here only their effect counts
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
@pytest.mark.parametrize("metadata, role, xml_name", [
    ({"type": "Attribute", "name": "id"}, "Attribute", "id"),
    ({"type": "attribute"}, "Element", "f"),
    ({"type": "Text"}, "Text", "f"),
    ({"type": "Wildcard", "mixed": True}, "Text", "f"),
    ({"type": "Wildcard"}, "Element", "f"),
    ({"type": "Wildcard", "mixed": 1}, "Element", "f"),
    ({"type": "Wildcard", "mixed": type("bool_", (), {"__bool__": lambda s: True})()}, "Text",
     "f"),  # a NumPy boolean
    ({"type": 5, "name": 5}, "Element", "f"),
    ({"name": "ns:code"}, "Element", "ns:code"),
    (lambda schema: None, "Element", "f"),  # a callable extra (models only)
    (["type"], "Element", "f"),  # not a mapping (models only)
])
def test_metadata_roles_and_names(metadata, role, xml_name):
    classes = [create_model("M", f=(int, Field(0, json_schema_extra=metadata)))]
    if metadata is None or isinstance(metadata, dict):
        classes.append(make_dataclass("D", [("f", int, field(metadata=metadata))]))
    index = {xml_name: 0, xml_name.split(":")[-1]: 0}  # by qualified and by local name
    for d in map(describe, classes):
        assert (d["fields"][0]["role"], d["fields"][0]["xml_name"], d["text_field"]) == (
            role, xml_name, 0 if role == "Text" else None)
        assert (d["element_index"], d["attribute_index"]) == (
            index if role == "Element" else {}, index if role == "Attribute" else {})


# a plain class is warned about; here only how it compiles counts
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
@pytest.mark.parametrize("cls, is_dataclass, fields", [
    (type("Plain", (), {"x": 0}), False, []),
    (make_dataclass("D", [("a", int), ("b", int, field(default=0, init=False)),
                          ("c", int, field(default=0, kw_only=True))]), True,
     [("a", True, False), ("b", False, False), ("c", True, True)]),
    (type("H", (), {"__dataclass_fields__": {"x": attrs(type=int, metadata={}, init="no",
     kw_only=1)}}), True, [("x", True, False)]),  # only real booleans count as flags
    (make_dataclass("Both", [("x", int, 0)], namespace={"model_fields": {"m": FakeField(str)}}),
     False, [("m", True, False)]),  # model_fields comes first
])
def test_class_kinds_and_the_cache(cls, is_dataclass, fields):
    d = describe(cls)
    flags = [(f["name"], f["init"], f["kw_only"]) for f in d["fields"]]
    assert (d["name"], d["is_dataclass"], flags) == (cls.__name__, is_dataclass, fields)
    assert d["cls"] is cls and describe(cls)["id"] == d["id"]  # compiled once


class RaisingMeta(type):
    __dataclass_fields__ = property(lambda cls: 1 / 0)


@pytest.mark.parametrize("cls, error, message", [
    (type("M", (), {"model_fields": []}), TypeError, "'list' object is not an instance of 'dict'"),
    (type("M", (), {"model_fields": {1: FakeField(int)}}), TypeError,
     "'int' object is not an instance of 'str'"),
    (attrs(__name__=5), TypeError, "'int' object is not an instance of 'str'"),
    (attrs(), AttributeError, "__name__"),
    (RaisingMeta("R", (), {}), ZeroDivisionError, "division by zero"),
    (fake_model("M", f=attrs()), AttributeError, "annotation"),
    (fake_model("M", f=FakeField(attrs(__origin__=list, __args__=5))), TypeError,
     "'int' object is not an instance of 'tuple'"),
])
def test_compile_errors_propagate(cls, error, message):
    for _ in range(2):  # nothing is cached by a failure
        with pytest.raises(error, match=message):
            describe(cls)


@pytest.mark.parametrize("removed, message", [
    (None, "dictionary changed size during iteration"),
    ("a", "dictionary keys changed during iteration"),  # a key already visited
    ("c", "dictionary keys changed during iteration"),  # a key not reached yet
])
def test_field_mapping_changed_during_iteration(removed, message):
    cls = fake_model("M", a=FakeField(int), b=FakeField(int), c=FakeField(int))
    fields = cls.model_fields
    fields["a"].on_read = lambda: (removed and fields.pop(removed), fields.update(d=FakeField(int)))
    with pytest.raises(PanicException, match=message):
        describe(cls)


class Node(BaseModel):  # refers to itself through a list and directly, and to Peer
    children: List["Node"] = []
    parent: Optional["Node"] = None
    peer: Optional["Peer"] = None


class Peer(BaseModel):  # refers back to Node
    nodes: List[Node] = []


def cycle_of_three(on_read=lambda: None):  # One -> Two <-> Three, Two -> One, One -> Three
    one, two, three = fake_model("One"), fake_model("Two"), fake_model("Three")
    one.model_fields.update(two=FakeField(two, on_read), three=FakeField(Optional[three]))
    two.model_fields.update(three=FakeField(list[three], on_read), one=FakeField(one))
    three.model_fields.update(two=FakeField(two), leaf=FakeField(LeafModel))
    return [one, two, three]


@pytest.mark.parametrize("start", [0, 1, 2])
def test_recursive_models_point_at_their_cached_records(start):
    classes = cycle_of_three() + [Node, Peer]
    first = describe(classes[start])  # compiles and publishes the whole cycle
    ids = {d["name"]: d["id"] for d in map(describe, classes + [LeafModel])}
    assert ids[first["name"]] == first["id"]
    for f in (f for c in classes for f in describe(c)["fields"]):
        t = f["type"][1] if f["type"][0] == "List" else f["type"]
        assert t[0] == "Nested" and t[2] == ids[t[1]], f


@pytest.mark.parametrize("depth", [200, 10_000])
def test_deep_class_chains_compile_or_raise_recursion_error(depth):
    chain = [fake_model(f"C{i}") for i in range(depth)]
    for parent, child in zip(chain, chain[1:]):
        parent.model_fields["next"] = FakeField(child)
    try:
        assert describe(chain[0])["fields"][0]["type"][1] == "C1"
    except RecursionError:
        assert depth > 200


@pytest.mark.parametrize("failing", [0, 2], ids=["A", "C"])
def test_failed_cycle_leaves_no_partial_entries(failing):
    # A -> B <-> C -> A, A -> Sibling: a failure in A or C discards A, B and C, not Sibling.
    reads = []
    sibling = fake_model("Sibling", x=FakeField(int, on_read=lambda: reads.append("S")))
    a, b, c = fake_model("A"), fake_model("B"), fake_model("C")
    a.model_fields.update(sibling=FakeField(sibling), b=FakeField(b))
    b.model_fields.update(c=FakeField(c, on_read=lambda: reads.append("B")))
    c.model_fields.update(b=FakeField(b), a=FakeField(a))
    (a, b, c)[failing].model_fields["bad"] = FakeField(type("Bad", (), {"model_fields": ""}))
    for b_reads, cls in [(1, a), (2, b), (3, c), (4, a)]:
        with pytest.raises(TypeError, match="'str' object is not an instance of 'dict'"):
            describe(cls)
        assert (reads.count("S"), reads.count("B")) == (1, b_reads)
    assert describe(sibling) and reads.count("S") == 1
    refs = [weakref.ref(x) for x in (a, b, c)]  # discarded records hold no references
    del a, b, c, cls
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_concurrent_first_compilation():
    for _ in range(3):  # sleeping in metadata reads lets the threads meet mid-compilation
        classes, barrier = cycle_of_three(on_read=lambda: time.sleep(0.0005)), threading.Barrier(8)

        def work(_):
            barrier.wait()
            return [[(f["name"], f["role"]) for f in describe(c)["fields"]] for c in classes[::-1]]

        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(work, range(8)))
        settled = [describe(c)["id"] for c in classes]  # a racing record may be retired, once
        assert results == [results[0]] * 8 and settled == [describe(c)["id"] for c in classes]
