"""Documents with an internal DTD subset: deserialize reads them with kestrix's
own reader, iterparse with libexpat; both must bind the same values, or fail
with the same message at the same place. (The two readers' events and faults are
compared document by document in the core's XmlReader tests; these check the binding.)"""

from dataclasses import dataclass, field

import pytest

import kestrix


@dataclass
class Item:
    id: int = field(default=0, metadata={"type": "Attribute"})
    kind: str = field(default="", metadata={"type": "Attribute"})
    tokens: str = field(default="", metadata={"type": "Attribute"})
    name: str = ""


@dataclass
class Spaced:
    class Meta:
        namespace = "urn:s"

    id: int = field(default=0, metadata={"type": "Attribute"})
    name: str = field(default="", metadata={"namespace": "urn:s"})


def outcome(read):
    try:
        return read()
    except ValueError as error:
        return str(error)


DTD = ("<!DOCTYPE Item [<!ELEMENT Item (name?)><!ATTLIST Item id CDATA '7' kind (a|b) 'b'"
       " tokens NMTOKENS '  x   y '><!ENTITY who 'A &amp; &more;'><!ENTITY more '&#66;'>]>")


@pytest.mark.parametrize("document, cls, expected", [
    (DTD + "<Item><name>&who;</name></Item>", Item, Item(id=7, kind="b", tokens="x y", name="A & B")),
    ("<!DOCTYPE s:Item [<!ATTLIST s:Item xmlns:s CDATA 'urn:s' id CDATA '2'>]><s:Item><s:name>n</s:name></s:Item>",
     Spaced, Spaced(id=2, name="n")),
    ("<!DOCTYPE Item [<!ENTITY e '<name>'>]><Item>&e;</name></Item>", Item, None),
], ids=["entities-and-defaults", "defaulted-namespace", "unbalanced-entity"])
def test_own_reader_and_expat_agree(document, cls, expected):
    source = document.encode()
    ours = outcome(lambda: kestrix.deserialize(source, cls))
    theirs = outcome(lambda: list(kestrix.iterparse(source, cls, "{urn:s}Item" if cls is Spaced else None)))
    if expected is None:
        assert isinstance(ours, str) and ours == theirs
    else:
        assert ours == expected and theirs == [expected]
