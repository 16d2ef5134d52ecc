"""Class compilation: kinds, metadata, annotations, the cache, recursive models."""

import dataclasses
import datetime
import enum
import gc
import threading
import time
import weakref
from dataclasses import dataclass, field
from decimal import Decimal
from typing import List, Optional, Union

import pytest
from pydantic import BaseModel, ConfigDict, Field, create_model

from kestrix import PanicException
from kestrix._kestrix import _schema_description as describe


class FakeField:
    """A field object of a hand-built model class; `on_read` runs on each metadata read."""

    def __init__(self, annotation, extra=None, on_read=None):
        self.annotation = annotation
        self._extra = extra
        self._on_read = on_read

    @property
    def json_schema_extra(self):
        if self._on_read is not None:
            self._on_read()
        return self._extra


def fake_model(name, **fields):
    return type(name, (), {"model_fields": dict(fields)})


def fields_of(cls):
    return {f["name"]: f for f in describe(cls)["fields"]}


def shape(description):
    """A description without record identities, comparable across compilations."""
    def typ(t):
        if isinstance(t, list):
            return ("Nested", t[1]) if t[0] == "Nested" else ("List", typ(t[1]))
        return t
    return repr([(f["name"], f["xml_name"], f["role"], typ(f["type"]), f["init"],
                  f["kw_only"], f["annotation"]) for f in description["fields"]])


class Color(enum.Enum):
    RED = 1


class XmlDuration:
    """Any class of this name is the duration scalar."""


@dataclass
class Leaf:
    value: int = 0


class LeafModel(BaseModel):
    value: int = 0


@pytest.mark.parametrize(
    "annotation, expected, stripped",
    [
        (Optional[int], "Int", int),
        (int | None, "Int", int),
        (Union[None, int], "Int", int),
        (Union[int, str], "Int", int),
        (Union[str, int], "Str", str),
        (float, "Float", float),
        (bool, "Bool", bool),
        (list[int], ["List", "Int"], list[int]),
        (List[int], ["List", "Int"], List[int]),
        (list[list[int]], ["List", ["List", "Int"]], list[list[int]]),
        (Optional[list[int]], ["List", "Int"], list[int]),
        (List, ["List", "Str"], List),
        (list, "Other", list),
        (dict[str, int], "Other", dict[str, int]),
        (tuple[int, ...], "Other", tuple[int, ...]),
        (set[int], "Other", set[int]),
        (Decimal, "Decimal", Decimal),
        (datetime.date, "Other", datetime.date),
        (datetime.time, "Other", datetime.time),
        (datetime.datetime, "Other", datetime.datetime),
        (Color, "Other", Color),
        (XmlDuration, "XmlDuration", XmlDuration),
        (Leaf(), "Other", None),  # an instance of a model class is no class
    ],
)
def test_annotation_analysis(annotation, expected, stripped):
    f = fields_of(dataclasses.make_dataclass("Case", [("f", annotation)]))["f"]
    assert f["type"] == expected
    if stripped is not None:
        assert f["annotation"] == stripped


@pytest.mark.parametrize(
    "metadata, role, xml_name",
    [
        (None, "Element", "f"),
        ({"type": "Attribute", "name": "id"}, "Attribute", "id"),
        ({"type": "attribute"}, "Element", "f"),
        ({"type": "Text"}, "Text", "f"),
        ({"type": "Text "}, "Element", "f"),
        ({"type": "Wildcard", "mixed": True}, "Text", "f"),
        ({"type": "Wildcard", "mixed": False}, "Element", "f"),
        ({"type": "Wildcard"}, "Element", "f"),
        ({"type": "Wildcard", "mixed": 1}, "Element", "f"),
        ({"type": "Wildcard", "mixed": type("bool_", (), {"__bool__": lambda s: True})()},
         "Text", "f"),
        ({"type": 5, "name": 5}, "Element", "f"),
        ({"name": "ns:code"}, "Element", "ns:code"),
    ],
)
@pytest.mark.parametrize("kind", ["model", "dataclass"])
def test_metadata_roles_and_names(kind, metadata, role, xml_name):
    if kind == "model":
        cls = create_model("M", f=(int, Field(0, json_schema_extra=metadata)))
    else:
        cls = dataclasses.make_dataclass("D", [("f", int, field(metadata=metadata))])
    d = describe(cls)
    assert (d["fields"][0]["role"], d["fields"][0]["xml_name"]) == (role, xml_name)
    if role != "Text":
        index = d["element_index"] if role == "Element" else d["attribute_index"]
        local = xml_name.split(":", 1)[-1]
        assert index == {xml_name: 0, local: 0}
    assert d["text_field"] == (0 if role == "Text" else None)


@pytest.mark.parametrize(
    "field_object, role",
    [
        (FakeField(int, extra=lambda schema: None), "Element"),  # callable extra
        (FakeField(int, extra=["type"]), "Element"),  # not a mapping
        (type("F", (), {"annotation": int})(), "Element"),  # no metadata at all
        (type("F", (), {"annotation": int, "ferrun_metadata": {"type": "Text"},
                        "json_schema_extra": {"type": "Attribute"}})(), "Text"),
    ],
)
def test_model_metadata_sources(field_object, role):
    assert fields_of(fake_model("M", f=field_object))["f"]["role"] == role


def test_dataclass_init_and_kw_only():
    @dataclass
    class D:
        a: int
        b: int = field(default=0, init=False)
        c: int = field(default=0, kw_only=True)

    flags = {n: (f["init"], f["kw_only"]) for n, f in fields_of(D).items()}
    assert flags == {"a": (True, False), "b": (False, False), "c": (True, True)}
    odd = type("F", (), {"type": int, "metadata": {}, "init": "no", "kw_only": 1})()
    hand_made = type("H", (), {"__dataclass_fields__": {"x": odd}})
    d = describe(hand_made)
    assert (d["is_dataclass"], d["fields"][0]["init"], d["fields"][0]["kw_only"]) == (
        True, True, False)
    pydantic_flags = {(f["init"], f["kw_only"]) for f in fields_of(LeafModel).values()}
    assert pydantic_flags == {(True, False)}


@dataclass
class Both:
    x: int = 0
    model_fields = {"m": FakeField(str)}


class Plain:
    x: int = 0


class OrderedModel(BaseModel):
    zeta: int = 0
    alpha: str = ""


@pytest.mark.parametrize(
    "cls, is_dataclass, names",
    [
        (Plain, False, []),
        (Leaf, True, ["value"]),
        (OrderedModel, False, ["zeta", "alpha"]),
        (Both, False, ["m"]),
    ],
)
def test_class_kinds(cls, is_dataclass, names):
    d = describe(cls)
    assert (d["name"], d["is_dataclass"], [f["name"] for f in d["fields"]]) == (
        cls.__name__, is_dataclass, names)
    assert d["cls"] is cls and describe(cls)["id"] == d["id"]


@dataclass
class Unresolved:
    a: "Missing"  # noqa: F821
    b: int = 0


def test_unresolvable_forward_reference_falls_back_to_field_types():
    f = fields_of(Unresolved)
    assert (f["a"]["type"], f["a"]["annotation"]) == ("Other", "Missing")
    assert f["b"]["type"] == "Int"


class RaisingMeta(type):
    @property
    def __dataclass_fields__(cls):
        raise RuntimeError("probe failed")


class Odd:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


@pytest.mark.parametrize(
    "cls, error, message",
    [
        (type("M", (), {"model_fields": []}), TypeError,
         "'list' object is not an instance of 'dict'"),
        (type("M", (), {"model_fields": {1: FakeField(int)}}), TypeError,
         "'int' object is not an instance of 'str'"),
        (Odd(__name__=5), TypeError, "'int' object is not an instance of 'str'"),
        (Odd(), AttributeError, "__name__"),
        (RaisingMeta("R", (), {}), RuntimeError, "probe failed"),
        (fake_model("M", f=Odd()), AttributeError, "annotation"),
        (fake_model("M", f=FakeField(Odd(__origin__=list, __args__=5))), TypeError,
         "'int' object is not an instance of 'tuple'"),
        (fake_model("M", f=FakeField(RaisingMeta("R", (), {}))), RuntimeError, "probe failed"),
    ],
)
def test_compile_errors_propagate(cls, error, message):
    for _ in range(2):  # nothing is cached by a failure
        with pytest.raises(error, match=message):
            describe(cls)


@pytest.mark.parametrize(
    "mutate, message",
    [
        (lambda fields: fields.__setitem__("extra", FakeField(int)),
         "dictionary changed size during iteration"),
        (lambda fields: (fields.pop("a"), fields.__setitem__("d", FakeField(int))),
         "dictionary keys changed during iteration"),
        (lambda fields: (fields.pop("c"), fields.__setitem__("d", FakeField(int))),
         "dictionary keys changed during iteration"),
    ],
)
def test_field_mapping_changed_during_iteration(mutate, message):
    cls = fake_model("M", a=FakeField(int), b=FakeField(int), c=FakeField(int))
    cls.model_fields["a"]._on_read = lambda: mutate(cls.model_fields)
    with pytest.raises(PanicException, match=message):
        describe(cls)


class Node(BaseModel):
    children: List["Node"] = []
    parent: Optional["Node"] = None
    name: str = Field("", json_schema_extra={"type": "Attribute"})


@dataclass
class Tree:
    left: "Tree | None" = None
    right: Optional["Tree"] = None


@dataclass
class Ping:
    pong: Optional["Pong"] = None


@dataclass
class Pong:
    pings: list[Ping] = field(default_factory=list)


class Cyc1(BaseModel):
    two: Optional["Cyc2"] = None


class Cyc2(BaseModel):
    three: Optional["Cyc3"] = None
    one: Optional[Cyc1] = None


class Cyc3(BaseModel):
    two: Optional[Cyc2] = None
    leaf: Optional[LeafModel] = None


def cycle_of_three():
    """Fresh hand-built classes: One -> Two <-> Three, Two -> One, One -> Three."""
    one, two, three = fake_model("One"), fake_model("Two"), fake_model("Three")
    one.model_fields.update(two=FakeField(two), three=FakeField(Optional[three]))
    two.model_fields.update(three=FakeField(list[three]), one=FakeField(one))
    three.model_fields.update(two=FakeField(two), leaf=FakeField(LeafModel))
    return [one, two, three]


@pytest.mark.parametrize(
    "make, start",
    [(lambda: [Node], 0), (lambda: [Tree], 0), (lambda: [Ping, Pong], 1),
     (lambda: [Cyc1, Cyc2, Cyc3], 2), (cycle_of_three, 0), (cycle_of_three, 1),
     (cycle_of_three, 2)],
    ids=["Node", "Tree", "Ping-Pong", "Cyc", "cycle-from-1", "cycle-from-2", "cycle-from-3"],
)
def test_recursive_models_point_at_their_cached_records(make, start):
    classes = make()
    first = describe(classes[start])  # compiles and publishes the whole cycle
    descriptions = [describe(c) for c in classes]
    assert descriptions[start]["id"] == first["id"]
    ids = {d["name"]: d["id"] for d in descriptions}
    ids["LeafModel"] = describe(LeafModel)["id"]
    for d in descriptions:
        for f in d["fields"]:
            if f["type"] == "Str":
                continue
            t = f["type"][1] if f["type"][0] == "List" else f["type"]
            assert t[0] == "Nested" and t[2] == ids[t[1]], f


@pytest.mark.parametrize("depth", [200, 3000])
def test_deep_class_chains_compile_or_raise_recursion_error(depth):
    chain = [fake_model(f"C{i}") for i in range(depth)]
    for parent, child in zip(chain, chain[1:]):
        parent.model_fields["next"] = FakeField(child)
    try:
        assert fields_of(chain[0])["next"]["type"][1] == "C1"
    except RecursionError:
        assert depth > 200


@pytest.mark.parametrize("failing_class", ["A", "C"])
def test_failed_cycle_leaves_no_partial_entries(failing_class):
    # A -> B <-> C -> A: B and C finish while A is still open, then a failure
    # in A (or in C itself) must throw all of them away.
    reads = {"Sibling": 0, "B": 0}

    def counted(name):
        return lambda: reads.__setitem__(name, reads[name] + 1)

    bad = type("Bad", (), {"model_fields": "not a dict"})
    sibling = fake_model("Sibling", x=FakeField(int, on_read=counted("Sibling")))
    a, b, c = fake_model("A"), fake_model("B"), fake_model("C")
    a.model_fields.update(sibling=FakeField(sibling), b=FakeField(b))
    b.model_fields.update(c=FakeField(c, on_read=counted("B")))
    c.model_fields.update(b=FakeField(b), a=FakeField(a))
    (a if failing_class == "A" else c).model_fields["bad"] = FakeField(bad)

    for expected_b_reads, cls in [(1, a), (2, b), (3, c), (4, a)]:
        with pytest.raises(TypeError, match="'str' object is not an instance of 'dict'"):
            describe(cls)
        assert reads == {"Sibling": 1, "B": expected_b_reads}
    describe(sibling)
    assert reads["Sibling"] == 1

    # The discarded records hold no references: the classes can be collected.
    refs = [weakref.ref(x) for x in (a, b, c)]
    del a, b, c, cls
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def make_item(module, value_type):
    @dataclass
    class Item:
        value: value_type = None

    Item.__module__ = module
    return Item


def test_classes_sharing_a_name_keep_their_own_records():
    first, second = make_item("shop.a", int), make_item("shop.b", str)
    holder = dataclasses.make_dataclass("Holder", [("a", first), ("b", list[second])])
    f = fields_of(holder)
    assert f["a"]["type"] == ["Nested", "Item", describe(first)["id"]]
    assert f["b"]["type"] == ["List", ["Nested", "Item", describe(second)["id"]]]
    assert describe(first)["id"] != describe(second)["id"]
    assert fields_of(first)["value"]["type"] == "Int"
    assert fields_of(second)["value"]["type"] == "Str"


def test_concurrent_first_compilation():
    def slow():
        time.sleep(0.0005)  # lets other threads run in the middle of a compilation

    def fresh_classes():
        a, b = fake_model("A"), fake_model("B")
        a.model_fields.update(b=FakeField(Optional[b], on_read=slow), n=FakeField(int))
        b.model_fields.update(a=FakeField(list[a], on_read=slow), leaf=FakeField(Leaf))
        model = create_model("Fresh", __config__=ConfigDict(arbitrary_types_allowed=True),
                             a=(Optional[a], None), x=(int, 0))
        return model, a, b

    for _ in range(3):
        model, a, b = fresh_classes()
        barrier = threading.Barrier(8)
        results, errors = [], []

        def work():
            barrier.wait()
            try:
                results.append([describe(c) for c in (model, b, a)])
            except BaseException as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == [] and len(results) == 8
        assert len({tuple(shape(d) for d in r) for r in results}) == 1
        settled = [describe(c)["id"] for c in (model, a, b)]
        assert settled == [describe(c)["id"] for c in (model, a, b)]
