"""QName values: prefixes resolved through the declarations in scope when reading, declared
when writing, so that documents which name things by prefix (XML Schema, SAML) come back
meaning the same."""

import pickle
from dataclasses import dataclass, field
from typing import Optional, Union

import pytest
from lxml import etree
from pydantic import BaseModel, Field

from kestrix import QName, deserialize, iterparse, serialize, xml_element


def attr(name, default=None):
    return field(default=default, metadata={"type": "Attribute", "name": name})


def canonical(document, qname_attributes=("type", "ref", "base")):
    """C14N 2.0 after normalising what may change: QName values resolved to their
    `{uri}local` form, prefixes rewritten, whitespace-only text between elements dropped."""
    root = etree.fromstring(document)
    for element in root.iter():
        for name in qname_attributes:
            if (value := element.get(name)) is not None:
                prefix, _, local = value.rpartition(":")
                element.set(name, "{%s}%s" % (element.nsmap.get(prefix or None, ""), local))
    return etree.canonicalize(root, rewrite_prefixes=True, strip_text=True)


@dataclass
class Ref:  # declares no namespace: prefixes resolve through the xmlns attributes seen
    to: Optional[QName] = attr("to")
    names: list[QName] = field(default_factory=list, metadata={"name": "name"})


@pytest.mark.parametrize("document, expected", [
    (b'<Ref xmlns:a="urn:a" to="a:x"><name xmlns:a="urn:b">a:y</name><name> z </name></Ref>',
     Ref(QName("urn:a", "x"), [QName("urn:b", "y"), QName("", "z")])),
    # the default namespace in scope, undeclared again inside
    (b'<Ref xmlns="urn:d" to="x"><name xmlns="">y</name><name>xml:lang</name></Ref>',
     Ref(QName("urn:d", "x"), [QName("y"), QName("{http://www.w3.org/XML/1998/namespace}lang")])),
])
def test_prefixes_resolve_through_the_declarations_in_scope(document, expected):
    assert deserialize(document, Ref) == expected
    written = serialize(expected)
    assert deserialize(written, Ref) == expected
    # a record resolves through declarations made outside it, too
    wrapped = b'<feed xmlns:a="urn:a" xmlns="urn:d"><Ref to="a:x"/><Ref to="x"/></feed>'
    assert [r.to for r in iterparse(wrapped, Ref)] == [QName("urn:a", "x"), QName("urn:d", "x")]


@pytest.mark.parametrize("obj, document", [
    # a namespace nobody declares gets a prefix of its own on the root; xsi its usual one
    (Ref(QName("urn:a", "x"), [QName("urn:a", "y"), QName("urn:b", "z")]),
     b'<Ref xmlns:ns0="urn:a" xmlns:ns1="urn:b" to="ns0:x"><name>ns0:y</name><name>ns1:z</name></Ref>'),
    (Ref(names=[QName("http://www.w3.org/2001/XMLSchema-instance", "nil"), QName("p")]),
     b'<Ref xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><name>xsi:nil</name><name>p</name></Ref>'),
    (Ref("{urn:a}x"), b'<Ref xmlns:ns0="urn:a" to="ns0:x"></Ref>'),  # the text form is taken too
    # a namespace may hold braces: the local name follows the last one
    (Ref(QName("{urn:{a}}x")), b'<Ref xmlns:ns0="urn:{a}" to="ns0:x"></Ref>'),
    # (a value named by a preferred prefix of the root: test_namespaces)
])
def test_written_values_have_their_prefixes_declared(obj, document):
    assert serialize(obj) == document
    assert deserialize(document, type(obj)) == deserialize(serialize(obj, indent=2), type(obj))


@xml_element("codes", namespace="urn:d")
@dataclass
class Codes:
    items: list[Union[QName, str]] = field(
        default_factory=list, metadata={"choices": {"code": QName, "label": str}})


def test_qnames_as_choice_members():  # they were read without the declarations in scope
    document = b'<codes xmlns="urn:d" xmlns:o="urn:o"><code>o:x</code><label>l</label><code>y</code></codes>'
    codes = Codes([QName("urn:o", "x"), "l", QName("urn:d", "y")])
    assert deserialize(document, Codes) == codes
    assert serialize(codes) == (b'<codes xmlns:ns0="urn:o" xmlns="urn:d"><code>ns0:x</code>'
                                b'<label>l</label><code>y</code></codes>')


@xml_element("root", namespace="urn:d")
@dataclass
class InDefault:
    to: QName = attr("to")


@pytest.mark.parametrize("make, message", [
    (lambda: deserialize(b'<Ref to="q:x"/>', Ref),
     "Scalar parse error for field 'to': expected a QName whose prefix is declared, got 'q:x'"),
    (lambda: deserialize(b'<Ref to="a b"/>', Ref), "expected a QName, got 'a b'"),
    (lambda: deserialize(b"<Ref><name></name></Ref>", Ref), "expected a QName, got ''"),
    (lambda: serialize(InDefault(QName("x"))), "the QName 'x' in no namespace cannot be written "
     "where the default namespace is urn:d"),
    (lambda: serialize(Ref("a:b")), "'a:b' is not a QName"),
    (lambda: QName("{urn:a"), "is not a name in the form"),
    (lambda: QName("urn:a", "p:x"), "is not a local name"),
])
def test_errors(make, message):
    with pytest.raises(ValueError, match=message):
        make()


class Status(BaseModel):
    value: QName = Field(json_schema_extra={"type": "Attribute", "name": "Value"})


# Read and written in pydantic models generated from a schema: generate/test_generate.
def test_qnames_as_pydantic_fields_and_as_values():
    assert Status(value="{urn:x}y").value == QName("urn:x", "y")
    name = QName("urn:x", "y")
    assert (str(name), repr(name), pickle.loads(pickle.dumps(name))) == (
        "{urn:x}y", "QName('urn:x', 'y')", name)
    assert name == ("urn:x", "y") and QName("y").namespace == ""
