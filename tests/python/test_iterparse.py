"""iterparse: records streamed out of a document, one bound object per call."""

import ctypes
import gc
import sys
from dataclasses import dataclass, field
from typing import List, Optional

import pytest

import kestrix


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    children: List["Item"] = field(default_factory=list, metadata={"name": "Item"})


def ids(source, cls=Item, tag=None):
    return [item.id for item in kestrix.iterparse(source, cls, tag)]


def drain(iterator):
    """Every outcome of the iterator: objects, or ('error', message)."""
    out = []
    while True:
        try:
            out.append(next(iterator))
        except StopIteration:
            return out
        except ValueError as error:
            out.append(("error", str(error)))


def test_records_in_order_then_stop_for_good():
    it = kestrix.iterparse(
        b'<feed><Item id="1"><name>a</name></Item><Item id="2"/><Item id="3"/></feed>', Item)
    assert iter(it) is it
    assert [(x.id, x.name) for x in it] == [(1, "a"), (2, ""), (3, "")]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize(
    "source, tag, expected",
    [
        # the default tag is the class name, matched on the local name only
        (b'<r><Item id="1"/><p:Item id="2"/><item id="3"/></r>', None, [1, 2]),
        # a tag with a colon is compared with each name's part after its first colon
        (b'<r><p:item id="1"/><x:p:item id="2"/></r>', "p:item", [2]),
        (b'<r><rec id="1"/><Item id="2"/></r>', "rec", [1]),
        # at any depth, inside wrappers of any name
        (b'<a><Item id="1"/><b><c><Item id="2"/></c></b><Item id="3"/></a>', None, [1, 2, 3]),
        # a match inside a match belongs to the outer record
        (b'<r><Item id="1"><Item id="2"/></Item><Item id="3"/></r>', None, [1, 3]),
        # the root itself may be the record
        (b'<Item id="9"/>', None, [9]),
        (b'<r><other/></r>', None, []),
        (b"", None, []),
        (b"   \n", None, []),
    ],
)
def test_which_elements_are_records(source, tag, expected):
    assert ids(source, tag=tag) == expected


def test_nested_match_is_bound_to_the_outer_record():
    (outer,) = kestrix.iterparse(b'<r><Item id="1"><Item id="2"/></Item></r>', Item)
    assert [child.id for child in outer.children] == [2]


def test_self_closing_record_holds_only_its_attributes():
    assert drain(kestrix.iterparse(b'<r><Item id="5" name="ignored"/></r>', Item)) == [
        Item(id=5)]


def test_unknown_elements_inside_a_record_are_skipped_whole():
    source = b'<r><Item id="1"><junk><name>x</name></junk><name>kept</name></Item></r>'
    assert [x.name for x in kestrix.iterparse(source, Item)] == ["kept"]


def test_an_error_stays_with_its_record():
    source = b'<r><Item id="1"/><Item id="x"/><Item id="3"><name>c</name></Item></r>'
    assert drain(kestrix.iterparse(source, Item)) == [
        Item(id=1),
        ("error", "Scalar parse error for field 'id': expected integer, got 'x'"),
        Item(id=3, name="c"),
    ]


def test_error_inside_a_record_scans_on_into_its_content():
    source = b'<r><Item id="bad"><Item id="2"/></Item><Item id="3"/></r>'
    outcomes = drain(kestrix.iterparse(source, Item, "Item"))
    assert outcomes[0][0] == "error"
    # the rest of the failed record is scanned like any other content
    assert [x.id for x in outcomes[1:]] == [2, 3]


def test_malformed_markup_raises_at_the_record_that_reaches_it_once():
    it = kestrix.iterparse(b'<r><Item id="1"/><Item id="2"></wrong><Item id="3"/></r>', Item)
    assert next(it).id == 1
    with pytest.raises(ValueError, match=r"^XML reader error at position \d+: "):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_document_ending_inside_a_record():
    it = kestrix.iterparse(b'<r><Item id="1"/><Item id="2"><name>cut', Item)
    assert next(it).id == 1
    with pytest.raises(ValueError) as info:
        next(it)
    assert str(info.value) == "Schema error: Unexpected end of XML stream"
    assert info.value.args == ("Schema error: Unexpected end of XML stream",)


def test_document_ending_outside_any_record_just_stops():
    assert ids(b'<r><Item id="1"/><wrapper>') == [1]


def test_depth_counts_from_the_record():
    deep_wrappers = b"<w>" * 400 + b'<Item id="1"/>' + b"</w>" * 400
    assert ids(deep_wrappers) == [1]
    too_deep = b'<r><Item id="1">' + b'<Item id="2">' * 256 + b"</Item>" * 257 + b"</r>"
    with pytest.raises(ValueError, match="current 257 >= limit 256"):
        ids(too_deep)


def test_the_document_is_copied():
    source = bytes(b'<r><Item id="1"/><Item id="2"/></r>')
    it = kestrix.iterparse(source, Item)
    # Overwrite the bytes object's own buffer: the iterator must not see it.
    buffer = ctypes.c_char.from_address(id(source) + sys.getsizeof(b"") - 1)
    ctypes.memmove(ctypes.addressof(buffer), b"<r><Item id=\"7\"/>", 17)
    assert b'id="7"' in source
    del source
    gc.collect()
    assert [x.id for x in it] == [1, 2]


def test_class_is_compiled_before_reading():
    class Broken:
        __dataclass_fields__ = property(lambda self: 1)  # a plain attribute lookup works
        model_fields = ["not", "a", "dict"]

    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        kestrix.iterparse(b"<<< not xml", Broken)


class TestReentry:
    def test_next_from_a_constructor_is_refused(self):
        seen = []

        @dataclass
        class Node:
            id: int = field(metadata={"type": "Attribute"})

            def __post_init__(self):
                try:
                    next(stream)
                except RuntimeError as error:
                    seen.append(str(error))

        stream = kestrix.iterparse(b'<r><Node id="1"/><Node id="2"/></r>', Node)
        assert [n.id for n in stream] == [1, 2]
        assert seen == ["Already borrowed", "Already borrowed"]

    def test_iter_from_a_constructor_is_refused(self):
        seen = []

        @dataclass
        class Node:
            id: int = field(metadata={"type": "Attribute"})

            def __post_init__(self):
                try:
                    iter(stream)
                except RuntimeError as error:
                    seen.append(str(error))

        stream = kestrix.iterparse(b'<r><Node id="1"/></r>', Node)
        assert [n.id for n in stream] == [1]
        assert seen == ["Already mutably borrowed"]


def test_constructor_errors_pass_through_and_iteration_goes_on():
    @dataclass
    class Picky:
        id: int = field(metadata={"type": "Attribute"})

        def __post_init__(self):
            if self.id == 2:
                raise LookupError("no twos")

    it = kestrix.iterparse(b'<r><Picky id="1"/><Picky id="2"/><Picky id="3"/></r>', Picky)
    assert next(it).id == 1
    with pytest.raises(LookupError, match="no twos"):
        next(it)
    assert next(it).id == 3


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * 4096


@dataclass
class Record:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    score: float = 0.0
    tags: list[str] = field(default_factory=list, metadata={"name": "tag"})
    parent: Optional[Item] = None


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_memory_is_bounded_by_one_record():
    count = 200_000
    source = b"<feed>" + b"".join(
        b'<Record id="%d"><name>record number %d</name><score>%d.5</score>'
        b"<tag>a</tag><tag>b</tag><parent id=\"1\"/></Record>" % (i, i, i)
        for i in range(count)) + b"</feed>"
    it = kestrix.iterparse(source, Record)
    next(it)
    gc.collect()
    before = rss_bytes()
    seen = 1
    peak = before
    for record in it:
        seen += 1
        if seen % 20_000 == 0:
            peak = max(peak, rss_bytes())
    assert seen == count
    # All records held at once would take hundreds of MB; one at a time, the
    # growth stays at allocator noise.
    assert peak - before < 32 * 1024 * 1024, (before, peak)
