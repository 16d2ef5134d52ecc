"""Choice fields: child elements of several kinds in one list, bound by element
name and kept in document order both ways; ordered mixed content; the names
a class claims twice."""

from dataclasses import dataclass, field
from typing import Optional, Union

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix import deserialize, serialize, xml_element

SVG = "http://www.w3.org/2000/svg"
XS = "http://www.w3.org/2001/XMLSchema"
ATTR = {"type": "Attribute"}


# Shapes: members of a choice named by their declared element names.
@xml_element("path", namespace=SVG)
@dataclass
class Path:
    d: str = field(metadata=ATTR)


@xml_element("rect", namespace=SVG)
@dataclass
class Rect:
    width: int = field(metadata=ATTR)


# An XML Schema model group: element, choice and group particles interleaved.
@dataclass
class XsElement:
    name: str = field(metadata=ATTR)


@dataclass
class XsGroupRef:
    ref: str = field(metadata=ATTR)


@dataclass
class XsChoice:
    particles: list[Union[XsElement, "XsSequence"]] = field(
        default_factory=list, metadata={"choices": {"element": XsElement, "sequence": "XsSequence"}})


@xml_element("sequence", namespace=XS)
@dataclass
class XsSequence:
    particles: list[XsElement | XsChoice | XsGroupRef] = field(
        default_factory=list,
        metadata={"choices": {"element": XsElement, "choice": XsChoice, "group": XsGroupRef}})


def test_schema_sequence_keeps_particle_order():
    document = (  # what no member names is skipped
        b'<xs:sequence xmlns:xs="http://www.w3.org/2001/XMLSchema">'
        b'<xs:element name="a"/><xs:choice><xs:element name="b"/><xs:annotation/>'
        b'<xs:sequence><xs:element name="c"/></xs:sequence></xs:choice>'
        b'<xs:group ref="g"/><other xmlns="urn:x"/><xs:element name="d"/></xs:sequence>'
    )
    sequence = deserialize(document, XsSequence)
    assert sequence.particles == [
        XsElement("a"),
        XsChoice([XsElement("b"), XsSequence([XsElement("c")])]),
        XsGroupRef("g"),
        XsElement("d"),
    ]
    assert serialize(sequence) == (
        b'<sequence xmlns="http://www.w3.org/2001/XMLSchema"><element name="a"></element>'
        b'<choice><element name="b"></element><sequence><element name="c"></element></sequence>'
        b'</choice><group ref="g"></group><element name="d"></element></sequence>'
    )


# Ordered mixed content: an XHTML paragraph.
@dataclass
class B:
    text: str = field(default="", metadata={"type": "Text"})


@dataclass
class I:  # noqa: E742
    text: str = field(default="", metadata={"type": "Text"})


@dataclass
class A:
    href: str = field(metadata=ATTR)
    content: list[Union[str, B, I]] = field(
        default_factory=list, metadata={"mixed": True, "choices": {"b": B, "i": I}})


@xml_element("p")
@dataclass
class Para:
    lang: Optional[str] = field(default=None, metadata=ATTR)
    content: list[str | B | I | A] = field(
        default_factory=list, metadata={"mixed": True, "choices": {"b": B, "i": I, "a": A}})


@pytest.mark.parametrize("cls, document, content", [
    (Para, b"<p>Hello <b>world</b>!</p>", ["Hello ", B("world"), "!"]),
    (Para, b"<p><b>x</b></p>", [B("x")]),
    (Para, b"<p>  only text\n\t</p>", ["  only text\n\t"]),
    (Para, b"<p> <i>1</i>  <i></i> </p>", [" ", I("1"), "  ", I(""), " "]),
    (Para, b'<p>see <a href="#n">the <b>note</b> here</a>.</p>',
     ["see ", A("#n", ["the ", B("note"), " here"]), "."]),
    (Para, b"<p>a &amp; b<![CDATA[<c>]]></p>", ["a & b<c>"]),
    (Para, b"<p></p>", []),
])
def test_mixed_content_runs_and_elements_in_order(cls, document, content):
    para = deserialize(document, cls)
    assert para.content == content
    assert deserialize(serialize(para), cls) == para
    if b"CDATA" not in document:
        assert serialize(para) == document


@dataclass
class Box:
    width: int = field(metadata=ATTR)


@dataclass
class Line:
    d: str = field(metadata=ATTR)


@dataclass
class Values:
    items: list[Union[int, str, Box]] = field(
        default_factory=list, metadata={"choices": {"int": int, "label": str, "shape": Box}})
    one: Optional[Union[Line, Box]] = None


def test_scalar_members_and_a_single_choice():
    document = (b'<Values><int>3</int><label> a </label><shape width="4"/><int>-5</int>'
                b'<Box width="9"/></Values>')
    values = deserialize(document, Values)
    assert values == Values(items=[3, " a ", Box(4), -5], one=Box(9))
    assert deserialize(serialize(values), Values) == values


def test_writing_an_item_of_no_member_raises():
    with pytest.raises(TypeError, match=r"a float is none of the members of field 'items'") as e:
        serialize(Values(items=[1, 2.5]))
    assert e.value.__notes__ == ["while writing field 'items' of Values (item 1)"]


@dataclass
class ClaimedByField:
    rect: int
    shapes: list[Path | Rect] = field(default_factory=list)


@dataclass
class ClaimedByMembers:
    one: Optional[Path | Rect] = None
    two: list[int] = field(default_factory=list, metadata={"choices": {"path": int}})


@pytest.mark.parametrize("cls, message", [
    (ClaimedByField, "the element name 'rect' of ClaimedByField is claimed twice: "
                     "by field 'rect' and by member Rect of field 'shapes'"),
    (ClaimedByMembers, "the element name 'path' of ClaimedByMembers is claimed twice: "
                       "by member Path of field 'one' and by member int of field 'two'"),
])
def test_a_name_claimed_twice_fails_at_compile(cls, message):
    with pytest.raises(TypeError) as e:
        deserialize(b"<x/>", cls)
    assert str(e.value) == message


@dataclass
class Named:
    """An explicit name or a single class is no choice: bound as before."""

    shape: Optional[Line | Box] = field(default=None, metadata={"name": "shape"})
    only: Optional[Box] = None


def test_explicit_name_and_single_class_bind_as_before():
    named = deserialize(b'<Named><shape d="x"/><only width="2"/><Box width="3"/></Named>', Named)
    assert named == Named(shape=Line("x"), only=Box(2))


# Random interleavings survive a round trip in order.
item = st.one_of(
    st.builds(Path, st.text(st.characters(blacklist_categories=["Cs", "Cc"]), max_size=5)),
    st.builds(Rect, st.integers(-5, 5)),
    st.builds(B, st.text("ab <&>", min_size=1, max_size=4)),
)
text_run = st.text(st.characters(blacklist_categories=["Cs", "Cc"]) | st.sampled_from("\n\t"),
                   min_size=1, max_size=6)


@dataclass
class Mixed:
    content: list[Union[str, Path, Rect, B]] = field(
        default_factory=list, metadata={"mixed": True, "choices": {"path": Path, "rect": Rect, "b": B}})


def no_adjacent_runs(items):
    return all(not (isinstance(a, str) and isinstance(b, str)) for a, b in zip(items, items[1:]))


@settings(max_examples=150, deadline=None)
@given(st.lists(item | text_run, max_size=12).filter(no_adjacent_runs), st.sampled_from([None, 2]))
def test_random_interleavings_round_trip(items, indent):
    items = [i.replace("\r", "") if isinstance(i, str) else i for i in items]
    items = [i for i in items if i != ""]
    if not no_adjacent_runs(items):
        return
    value = Mixed(items)
    assert deserialize(serialize(value, indent=indent), Mixed) == value
