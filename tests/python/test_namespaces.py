"""Namespaces and declared element names: reading by (URI, local name), writing
namespace-well-formed documents that lxml reads back with the same names."""

from dataclasses import dataclass, field
from typing import Optional

import pytest
from lxml import etree
from pydantic import BaseModel, Field, ValidationError

import kestrix
from kestrix import deserialize, iterparse, serialize, xml_element

A = "urn:test:a"
B = "urn:test:b"
DOC = "urn:test:doc"
EXTRA = "urn:test:extra"
XML = "http://www.w3.org/XML/1998/namespace"
XSI = "http://www.w3.org/2001/XMLSchema-instance"


def qualified_names(document):
    """Clark names of every element and its attributes, in document order."""
    root = etree.fromstring(document)
    return [(element.tag, sorted(element.attrib)) for element in root.iter()]


def assert_round_trip(document, cls):
    """Reads, writes and reads again: equal objects, and lxml finds the very
    element and attribute names of the input in the output."""
    obj = deserialize(document, cls)
    written = serialize(obj)
    assert qualified_names(written) == qualified_names(document)
    assert deserialize(written, cls) == obj
    assert deserialize(serialize(obj, indent=2), cls) == obj
    return obj, written


# --- Models of the documents below -------------------------------------------------


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
    extra: Optional[Extra] = field(default=None, metadata={"namespace": EXTRA})
    count: Optional[int] = None


# --- Round trips through lxml ----------------------------------------------------------


@pytest.mark.parametrize("document", [
    # default namespace with nested classes; attributes with one local name in two
    # namespaces and in none
    b'<doc xmlns="urn:test:doc" xmlns:a="urn:test:a" xmlns:b="urn:test:b"><title>T</title>'
    b'<tagged a:id="1" b:id="2" id="3"/><tagged a:id="4" b:id="5"/></doc>',
    # an element in a second namespace inside the default-namespaced document;
    # xml:lang needs no declaration
    b'<doc xmlns="urn:test:doc"><title>T</title><para xml:lang="en">Hi</para><para>Plain</para>'
    b'<x:extra xmlns:x="urn:test:extra" kind="k"><x:value>v</x:value></x:extra></doc>',
    # prefixes declared on inner elements, the same URI under two prefixes, and the
    # document's own namespace under a prefix instead of as default
    b'<d:doc xmlns:d="urn:test:doc"><d:title>T</d:title>'
    b'<d:tagged xmlns:p="urn:test:a" xmlns:q="urn:test:a" xmlns:r="urn:test:b" p:id="1" r:id="2"/>'
    b'<e:tagged xmlns:e="urn:test:doc" xmlns:q="urn:test:a" q:id="3" xmlns:s="urn:test:b" s:id="4"/>'
    b"</d:doc>",
], ids=["default-and-attributes", "second-namespace-and-xml-lang", "inner-prefixes"])
def test_round_trip_keeps_every_qualified_name(document):
    assert_round_trip(document, Doc)


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


def test_written_declarations():
    doc = Doc(title="T", tagged=[Tagged(a_id="1", b_id="2")], paras=[Para(lang="en", text="x")],
              extra=Extra(kind="k", value="v"))  # count None: left out
    assert serialize(doc) == (
        b'<doc xmlns="urn:test:doc" xmlns:a="urn:test:a" xmlns:b="urn:test:b" xmlns:ns0="urn:test:extra">'
        b'<title>T</title><tagged a:id="1" b:id="2"></tagged><para xml:lang="en">x</para>'
        b'<ns0:extra kind="k"><ns0:value>v</ns0:value></ns0:extra></doc>')


@xml_element("wrapper", namespace=DOC)
@dataclass
class Wrapper:
    """A child in no namespace, whose child again declares the document's namespace."""

    local: Optional["Local"] = field(default=None, metadata={"namespace": ""})


@dataclass
class Local:
    name: str
    inner: Optional[Extra] = field(default=None, metadata={"namespace": DOC})


def test_no_namespace_inside_a_default_namespace():
    obj = Wrapper(local=Local(name="n", inner=Extra(kind="k", value="v")))
    written = serialize(obj)
    assert written == (b'<wrapper xmlns="urn:test:doc"><local xmlns=""><name>n</name>'
                       b'<inner xmlns="urn:test:doc" kind="k"><value>v</value></inner></local></wrapper>')
    assert deserialize(written, Wrapper) == obj


# --- The document element ----------------------------------------------------------------


@xml_element("mime-info")
@dataclass
class NamedOnly:
    """An element name without a namespace: read and written as before otherwise."""

    comment: str = ""


@pytest.mark.parametrize("cls, document, message", [
    (Doc, b'<doc xmlns="urn:test:other"><title>T</title></doc>', "Schema error: the document "
     "element is <doc> in namespace urn:test:other, expected <doc> in namespace urn:test:doc"),
    (Doc, b"<feed><title>T</title></feed>", "Schema error: the document element is <feed> in no "
     "namespace, expected <doc> in namespace urn:test:doc"),
    (NamedOnly, b"<p:mime-type xmlns:p='urn:x'/>",
     "Schema error: the document element is <p:mime-type>, expected <mime-info>"),
    # an undeclared prefix in a namespace-aware read
    (Doc, b"<doc xmlns='urn:test:doc'><t:title>T</t:title></doc>", "unbound prefix"),
])
def test_document_element_and_prefix_errors(cls, document, message):
    with pytest.raises(ValueError, match="^" + message if message[0] == "S" else message) as info:
        deserialize(document, cls)
    assert type(info.value) is ValueError


def test_declared_name_without_namespace_keeps_the_plain_reading():
    # unbound prefixes are no error, and the root matches on its local name
    assert deserialize(b"<x:mime-info><y:comment>c</y:comment></x:mime-info>", NamedOnly) == NamedOnly("c")
    assert serialize(NamedOnly("c")) == b"<mime-info><comment>c</comment></mime-info>"


@pytest.mark.parametrize("tag, expected", [
    (None, ["1", "3"]),  # the declared element name, in the declared namespace
    ("{urn:test:a}item", ["2"]), ("a:item", ["2"]), ("item", ["1", "2", "3"]),
])
def test_iterparse_tags(tag, expected):
    @xml_element("item", namespace=DOC, prefixes={"a": A})
    @dataclass
    class Item:
        n: str = field(metadata={"type": "Attribute"})

    document = b'<list xmlns="urn:test:doc" xmlns:a="urn:test:a"><item n="1"/><a:item n="2"/><item n="3"/></list>'
    assert [item.n for item in iterparse(document, Item, tag)] == expected


def test_clark_tag_for_a_class_that_declares_nothing():
    @dataclass
    class Value:
        v: str = field(metadata={"type": "Text"})

    document = (b'<r xmlns:a="urn:test:a"><a:value>1</a:value><value>2</value>'
                b'<b:value xmlns:b="urn:test:b">3</b:value></r>')
    assert [x.v for x in iterparse(document, Value, "{urn:test:a}value")] == ["1"]
    assert [x.v for x in iterparse(document, Value, "{}value")] == ["2"]


# --- Notes naming the document element (dataclass and pydantic) --------------------------


@dataclass
class LineItem:
    sku: str
    quantity: int


class LineModel(BaseModel):
    sku: str
    quantity: int


@pytest.mark.parametrize("cls, error", [(LineItem, TypeError), (LineModel, ValidationError)])
def test_constructor_failure_names_a_foreign_document_element(cls, error):
    with pytest.raises(error) as info:
        deserialize(b"<Invoice><number>7</number></Invoice>", cls)
    assert info.value.__notes__ == [f"the document's root element is <Invoice>, not <{cls.__name__}>"]
    # a document element named after the class gets no note
    with pytest.raises(error) as info:
        deserialize(f"<{cls.__name__}/>".encode(), cls)
    assert not getattr(info.value, "__notes__", [])


# --- The declaration itself --------------------------------------------------------------


def test_pydantic_model_and_subclasses():
    @xml_element("entry", namespace=A, prefixes={"b": B})
    class Entry(BaseModel):
        key: str = Field(json_schema_extra={"type": "Attribute", "namespace": B})
        value: str

    class Derived(Entry):
        pass

    entry = Entry(key="k", value="v")
    written = serialize(entry)
    assert written == b'<entry xmlns="urn:test:a" xmlns:b="urn:test:b" b:key="k"><value>v</value></entry>'
    assert deserialize(written, Entry) == entry
    assert Entry.__kestrix_element__ == kestrix.ElementDeclaration("entry", A, {"b": B})
    # the declaration is the class's own: a subclass is written under its own name,
    # though its fields keep their namespaces
    assert "__kestrix_element__" not in Derived.__dict__
    assert serialize(Derived(key="k", value="v")).startswith(b'<Derived xmlns:ns0="urn:test:b" ns0:key="k">')


@pytest.mark.parametrize("arguments, keywords, error, message", [
    ((1,), {}, TypeError, "the element name must be a str, not int"),
    (("a:b",), {}, ValueError, "an XML name without a prefix"),
    ((), {"namespace": b"urn:x"}, TypeError, "namespace must be a str"),
    ((), {"namespace": ""}, ValueError, "namespace must not be empty"),
    ((), {"prefixes": {"xml": XML}}, ValueError, "the prefix 'xml' is reserved"),
    ((), {"prefixes": {"p": 1}}, TypeError, "the URI of prefix 'p' must be a str"),
])
def test_declaration_errors(arguments, keywords, error, message):
    with pytest.raises(error, match=message):
        xml_element(*arguments, **keywords)


def test_field_namespace_must_be_a_string():
    @dataclass
    class Bad:
        x: str = field(metadata={"namespace": 3})

    with pytest.raises(TypeError, match="\"namespace\" metadata of field 'x' must be a str"):
        serialize(Bad("1"))


def test_prefix_bound_nowhere_cannot_be_written():
    @dataclass
    class Link:
        href: str = field(metadata={"type": "Attribute", "name": "zz:href"})

    @xml_element(namespace=DOC)
    @dataclass
    class Page:
        link: Link

    # read by local name in any namespace, but not writable without a URI
    page = deserialize(b'<Page xmlns="urn:test:doc" xmlns:q="urn:q"><link q:href="x"/></Page>', Page)
    assert page.link.href == "x"
    with pytest.raises(ValueError, match="the prefix 'zz' of field 'href' of Link is bound to no namespace URI"):
        serialize(page)


@pytest.mark.parametrize("doc, where", [
    (Doc(title="t\x0b"), "U+000B in field 'title' of Doc"),
    (Doc(title="t", tagged=[Tagged("a", "b\x01")]), "U+0001 in field 'b_id' of Tagged"),
    (Doc(title="t", paras=[Para(text="\uffff")]), "U+FFFF in field 'text' of Para"),
])
def test_characters_xml_cannot_carry_are_refused(doc, where):
    with pytest.raises(ValueError) as info:
        serialize(doc)
    assert info.value.args == (f"Serialization error: character {where} cannot be written in XML 1.0",)


# --- A real format, written from its public description ---------------------------------

POM = "http://maven.apache.org/POM/4.0.0"


@dataclass
class Dependency:
    group_id: str = field(metadata={"name": "groupId"})
    artifact_id: str = field(metadata={"name": "artifactId"})
    version: Optional[str] = None
    scope: Optional[str] = None


@dataclass
class Dependencies:
    items: list[Dependency] = field(default_factory=list, metadata={"name": "dependency"})


@xml_element("project", namespace=POM, prefixes={"xsi": XSI})
@dataclass
class Project:
    schema_location: str = field(metadata={"type": "Attribute", "name": "xsi:schemaLocation"})
    model_version: str = field(metadata={"name": "modelVersion"})
    group_id: str = field(metadata={"name": "groupId"})
    artifact_id: str = field(metadata={"name": "artifactId"})
    version: str
    packaging: Optional[str] = None
    dependencies: Optional[Dependencies] = None


POM_DOCUMENT = b"""<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0"
         xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
         xsi:schemaLocation="http://maven.apache.org/POM/4.0.0 https://maven.apache.org/xsd/maven-4.0.0.xsd">
  <modelVersion>4.0.0</modelVersion>
  <groupId>org.example.kestrel</groupId>
  <artifactId>feeder</artifactId>
  <version>1.2.0</version>
  <packaging>jar</packaging>
  <dependencies>
    <dependency>
      <groupId>junit</groupId>
      <artifactId>junit</artifactId>
      <version>4.13.2</version>
      <scope>test</scope>
    </dependency>
    <dependency>
      <groupId>org.slf4j</groupId>
      <artifactId>slf4j-api</artifactId>
      <version>2.0.9</version>
    </dependency>
  </dependencies>
</project>
"""


def test_maven_pom():
    project, written = assert_round_trip(POM_DOCUMENT, Project)
    assert written.startswith(b'<project xmlns="http://maven.apache.org/POM/4.0.0" xmlns:xsi=')
    etree.fromstring(serialize(project, indent=2))  # the indented form is accepted too
    # an xsi attribute other than nil is an ordinary field
    assert project.schema_location.startswith(POM + " ")
    assert [d.artifact_id for d in project.dependencies.items] == ["junit", "slf4j-api"]
    assert project.dependencies.items[1].scope is None
