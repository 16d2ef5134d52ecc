"""Namespaces and declared element names: reading by (URI, local name), writing
namespace-well-formed documents that lxml reads back with the same names."""

import re
from dataclasses import dataclass, field
from typing import Optional

import pytest
from lxml import etree
from pydantic import BaseModel, Field

import kestrix
from kestrix import deserialize, iterparse, serialize, xml_element

A = "urn:test:a"
B = "urn:test:b"
DOC = "urn:test:doc"
XSI = "http://www.w3.org/2001/XMLSchema-instance"
XS = "http://www.w3.org/2001/XMLSchema"
POM = "http://maven.apache.org/POM/4.0.0"


@dataclass
class Tagged:
    """Two attributes of the same local name in two namespaces, and one in none."""

    a_id: str = field(metadata={"type": "Attribute", "name": "id", "namespace": A})
    b_id: str = field(metadata={"type": "Attribute", "name": "id", "namespace": B})
    plain_id: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "id"})


@dataclass
class Para:
    lang: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "xml:lang"})
    text: str = field(default="", metadata={"type": "Text"})


@dataclass
class Extra:
    """No namespace of its own: its children are in the namespace it is read in."""

    kind: str = field(metadata={"type": "Attribute"})
    value: str


@xml_element("doc", namespace=DOC, prefixes={"a": A, "b": B})
@dataclass
class Doc:
    title: str
    tagged: list[Tagged] = field(default_factory=list)
    paras: list[Para] = field(default_factory=list, metadata={"name": "para"})
    extra: Optional[Extra] = field(default=None, metadata={"namespace": "urn:test:extra"})
    count: Optional[int] = None


@xml_element("wrapper", namespace=DOC)
@dataclass
class Wrapper:
    """A child in no namespace, whose child again declares the document's namespace."""

    local: Optional["Local"] = field(default=None, metadata={"namespace": ""})


@dataclass
class Local:
    name: str
    inner: Optional[Extra] = field(default=None, metadata={"namespace": DOC})


@xml_element("entry", namespace=A, prefixes={"b": B})
class Entry(BaseModel):
    key: str = Field(json_schema_extra={"type": "Attribute", "namespace": B})
    value: str


@dataclass
class Dependency:
    group_id: str = field(metadata={"name": "groupId"})
    version: Optional[str] = None


@xml_element("project", namespace=POM, prefixes={"xsi": XSI})
@dataclass
class Project:  # a real format, written from its public description
    schema_location: str = field(metadata={"type": "Attribute", "name": "xsi:schemaLocation"})
    group_id: str = field(metadata={"name": "groupId"})
    dependencies: list[Dependency] = field(default_factory=list, metadata={"name": "dependency"})


def qualified_names(document):
    """Clark names of every element and its attributes, in document order."""
    return [(element.tag, sorted(element.attrib)) for element in etree.fromstring(document).iter()]


@pytest.mark.parametrize("cls, document, exact", [
    # default namespace with nested classes; attributes with one local name in two
    # namespaces and in none
    (Doc, b'<doc xmlns="urn:test:doc" xmlns:a="urn:test:a" xmlns:b="urn:test:b"><title>T</title>'
     b'<tagged a:id="1" b:id="2" id="3"/><tagged a:id="4" b:id="5"/></doc>', False),
    # an element in a second namespace, given a prefix of its own; xml:lang needs no declaration
    (Doc, b'<doc xmlns="urn:test:doc" xmlns:a="urn:test:a" xmlns:b="urn:test:b" xmlns:ns0="urn:test:extra">'
     b'<title>T</title><tagged a:id="1" b:id="2"></tagged><para xml:lang="en">Hi</para><para>Plain</para>'
     b'<ns0:extra kind="k"><ns0:value>v</ns0:value></ns0:extra></doc>', True),
    # prefixes declared on inner elements, the same URI under two prefixes, and the
    # document's own namespace under a prefix instead of as default
    (Doc, b'<d:doc xmlns:d="urn:test:doc"><d:title>T</d:title>'
     b'<d:tagged xmlns:p="urn:test:a" xmlns:q="urn:test:a" xmlns:r="urn:test:b" p:id="1" r:id="2"/>'
     b'<e:tagged xmlns:e="urn:test:doc" xmlns:q="urn:test:a" q:id="3" xmlns:s="urn:test:b" s:id="4"/>'
     b"</d:doc>", False),
    (Wrapper, b'<wrapper xmlns="urn:test:doc"><local xmlns=""><name>n</name>'
     b'<inner xmlns="urn:test:doc" kind="k"><value>v</value></inner></local></wrapper>', True),
    (Entry, b'<entry xmlns="urn:test:a" xmlns:b="urn:test:b" b:key="k"><value>v</value></entry>', True),
    # an xsi attribute other than nil is an ordinary field
    (Project, b'<project xmlns="http://maven.apache.org/POM/4.0.0" xmlns:xsi="%s" xsi:schemaLocation="%s x.xsd">'
     b"<groupId>g</groupId><dependency><groupId>j</groupId><version>4</version></dependency>"
     b"<dependency><groupId>s</groupId></dependency></project>" % (XSI.encode(), POM.encode()), False),
])
def test_round_trip_keeps_every_qualified_name(cls, document, exact):
    obj = deserialize(document, cls)
    written = serialize(obj)
    assert written == document if exact else qualified_names(written) == qualified_names(document)
    indented = serialize(obj, indent=2)
    assert qualified_names(indented) == qualified_names(written)
    assert deserialize(written, cls) == deserialize(indented, cls) == obj


def test_values_are_matched_by_uri_and_local_name():
    doc = deserialize(
        b'<doc xmlns="urn:test:doc" xmlns:a="urn:test:b" xmlns:b="urn:test:a">'
        # swapped prefixes: the URI decides
        b'<title>T</title><tagged a:id="from-b" b:id="from-a"/>'
        # an element of the right local name in another namespace is not the field
        b'<other:title xmlns:other="urn:test:a">wrong</other:title>'
        # nil by the schema-instance URI, under a prefix of the document's choosing
        b'<para xml:lang="de">Hallo</para><count i:nil="true" '
        b'xmlns:i="http://www.w3.org/2001/XMLSchema-instance"/></doc>', Doc)
    assert (doc.title, doc.tagged, doc.paras, doc.count) == (
        "T", [Tagged(a_id="from-a", b_id="from-b")], [Para(lang="de", text="Hallo")], None)


@xml_element("mime-info")
@dataclass
class NamedOnly:
    """An element name without a namespace: read and written as before otherwise."""

    comment: str = ""


def test_declarations():
    # a name without a namespace: unbound prefixes are no error, the root matches on its local name
    assert deserialize(b"<x:mime-info><y:comment>c</y:comment></x:mime-info>", NamedOnly) == NamedOnly("c")
    assert serialize(NamedOnly("c")) == b"<mime-info><comment>c</comment></mime-info>"
    assert Entry.__kestrix_element__ == kestrix.ElementDeclaration("entry", A, {"b": B})

    class Derived(Entry):  # written under its own name; its fields keep their namespaces
        pass

    assert "__kestrix_element__" not in Derived.__dict__
    assert serialize(Derived(key="k", value="v")).startswith(b'<Derived xmlns:ns0="urn:test:b" ns0:key="k">')


@xml_element("item", namespace=DOC, prefixes={"a": A})
@dataclass
class Item:
    n: str = field(metadata={"type": "Attribute"})


@dataclass
class Value:  # declares nothing
    n: str = field(metadata={"type": "Text"})


@pytest.mark.parametrize("cls, tag, expected", [
    (Item, None, ["1", "3"]),  # the declared element name, in the declared namespace
    (Item, "{urn:test:a}item", ["2"]), (Item, "a:item", ["2"]), (Item, "item", ["1", "2", "3"]),
    (Value, "{urn:test:a}value", ["4"]), (Value, "{}value", ["5"]),
])
def test_iterparse_tags(cls, tag, expected):
    document = (b'<list xmlns="urn:test:doc" xmlns:a="urn:test:a"><item n="1"/><a:item n="2"/>'
                b'<item n="3"/><a:value>4</a:value><value xmlns="">5</value><b:value xmlns:b="urn:test:b">6'
                b"</b:value></list>")
    assert [x.n for x in iterparse(document, cls, tag)] == expected


@dataclass
class Link:
    href: str = field(metadata={"type": "Attribute", "name": "zz:href"})


@xml_element(namespace=DOC)
@dataclass
class Page:
    link: Link


@dataclass
class BadNamespace:
    x: str = field(metadata={"namespace": 3})


def read(document, cls=Doc):
    return lambda: deserialize(document, cls)


@pytest.mark.parametrize("make, error, message", [
    (read(b'<doc xmlns="urn:test:other"><title>T</title></doc>'), ValueError, "Schema error: the document "
     "element is <doc> in namespace urn:test:other, expected <doc> in namespace urn:test:doc"),
    (read(b"<feed><title>T</title></feed>"), ValueError, "Schema error: the document element is <feed> "
     "in no namespace, expected <doc> in namespace urn:test:doc"),
    (read(b"<p:mime-type xmlns:p='urn:x'/>", NamedOnly), ValueError,
     "Schema error: the document element is <p:mime-type>, expected <mime-info>"),
    # an undeclared prefix in a namespace-aware read
    (read(b"<doc xmlns='urn:test:doc'><t:title>T</t:title></doc>"), ValueError,
     "XML reader error at position 26: unbound prefix"),
    (lambda: xml_element(1), TypeError, "the element name must be a str, not int"),
    (lambda: xml_element("a:b"), ValueError, "an XML name without a prefix"),
    (lambda: xml_element(namespace=b"urn:x"), TypeError, "namespace must be a str"),
    (lambda: xml_element(namespace=""), ValueError, "namespace must not be empty"),
    (lambda: xml_element(prefixes={"xml": "urn:x"}), ValueError, "the prefix 'xml' is reserved"),
    (lambda: xml_element(prefixes={"p": 1}), TypeError, "the URI of prefix 'p' must be a str"),
    (lambda: xml_element("x", prefix="xs"), ValueError, "prefix needs a namespace"),
    (lambda: xml_element("x", namespace=XS, prefix="xmlns"), ValueError, "the prefix 'xmlns' is reserved"),
    (lambda: xml_element("x", namespace=XS, prefix="a:b"), ValueError, "a prefix must be an XML name"),
    (lambda: xml_element("x", namespace=XS, prefix="xs", prefixes={"xs": "urn:other"}), ValueError,
     "bound to another URI"),
    (lambda: serialize(BadNamespace("1")), TypeError, "\"namespace\" metadata of field 'x' must be a str"),
    # read by local name in any namespace, but not writable without a URI
    (lambda: serialize(read(b'<Page xmlns="urn:test:doc" xmlns:q="urn:q"><link q:href="x"/></Page>', Page)()),
     ValueError, "Serialization error: the prefix 'zz' of field 'href' of Link is bound to no namespace URI"),
])
def test_errors(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert type(info.value) is error and message in str(info.value)


XLINK = "http://www.w3.org/1999/xlink"


@dataclass
class PlainRef:  # declares no namespace
    href: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "xlink:href"})
    other: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "foo:bar"})


@dataclass
class PlainPom:
    declared: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "xmlns:xsi"})
    location: Optional[str] = field(default=None, metadata={"type": "Attribute", "name": "xsi:schemaLocation"})
    refs: list[PlainRef] = field(default_factory=list, metadata={"name": "ref"})


@pytest.mark.parametrize("obj, document", [
    (PlainPom(), "<PlainPom></PlainPom>"),  # nothing written, nothing declared
    (PlainPom(location="a b"), f'<PlainPom xmlns:xsi="{XSI}" xsi:schemaLocation="a b"></PlainPom>'),
    # a prefix used only deep down is declared on the root, each once
    (PlainPom(refs=[PlainRef(href="#a"), PlainRef(href="#b")]),
     f'<PlainPom xmlns:xlink="{XLINK}"><ref xlink:href="#a"></ref><ref xlink:href="#b"></ref></PlainPom>'),
    # other prefixes are written as given, undeclared
    (PlainPom(refs=[PlainRef(other="x")]), '<PlainPom><ref foo:bar="x"></ref></PlainPom>'),
    # a root that declares the prefix itself is not given a second declaration
    (PlainPom(declared="urn:mine", location="l"),
     '<PlainPom xmlns:xsi="urn:mine" xsi:schemaLocation="l"></PlainPom>'),
])
def test_plain_trees_declare_the_well_known_prefixes_they_write(obj, document):
    for indent in (None, 2):
        written = serialize(obj, indent=indent)
        assert written.replace(b"\n", b"").replace(b" " * 2, b"") == document.encode()
        if "foo:" not in document:
            etree.fromstring(written)  # namespace-well-formed
        back = deserialize(written, PlainPom)
        assert (back.location, back.refs) == (obj.location, obj.refs)


@dataclass
class Use:
    href: str = field(metadata={"type": "Attribute", "name": "xlink:href"})


@xml_element("svg", namespace="http://www.w3.org/2000/svg")
@dataclass
class Svg:  # xlink bound by no class: written under its usual URI
    use: Use



@dataclass
class XsElement:
    name: str = field(metadata={"type": "Attribute"})
    type: kestrix.QName = field(metadata={"type": "Attribute"})


@xml_element("schema", namespace=XS, prefix="xs", prefixes={"tns": "urn:t", "xsd": XS})
@dataclass
class MiniSchema:  # written as <xs:schema>; tns names a value only, xsd nothing
    target: str = field(metadata={"type": "Attribute", "name": "targetNamespace"})
    elements: list[XsElement] = field(default_factory=list, metadata={"name": "element"})


@xml_element("note", namespace=A, prefix="a")
@dataclass
class PrefixedNote:
    text: str


@xml_element("notes", namespace=A)
@dataclass
class Notes:  # a prefixed class inside the default namespace it is in
    notes: list[PrefixedNote] = field(default_factory=list, metadata={"name": "note"})


@pytest.mark.parametrize("obj, document", [
    (MiniSchema("urn:t", [XsElement("a", kestrix.QName("urn:t", "T"))]),
     f'<xs:schema xmlns:xs="{XS}" xmlns:tns="urn:t" xmlns:xsd="{XS}" targetNamespace="urn:t">'
     '<xs:element name="a" type="tns:T"></xs:element></xs:schema>'),
    (PrefixedNote("n"), '<a:note xmlns:a="urn:test:a"><a:text>n</a:text></a:note>'),
    (Notes([PrefixedNote("n")]),
     '<notes xmlns="urn:test:a" xmlns:a="urn:test:a"><a:note><text>n</text></a:note></notes>'),
    # xlink is well known in namespace-aware trees too
    (Svg(Use(href="#a")),
     f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="{XLINK}"><use xlink:href="#a"></use></svg>'),
])
def test_preferred_prefixes_are_declared_and_a_class_may_ask_for_its_own(obj, document):
    assert serialize(obj) == document.encode()
    assert qualified_names(serialize(obj, indent=2)) == qualified_names(document.encode())
    assert deserialize(document.encode(), type(obj)) == obj
