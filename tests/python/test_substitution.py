"""Type substitution: a field typed with a class takes the subclass that an
element's xsi:type names, resolved through the document's prefixes, and
writes a subclass instance with its xsi:type."""

from dataclasses import dataclass, field

import pytest
from lxml import etree

from kestrix import deserialize, iterparse, serialize, xml_element

NS = "urn:example:addresses"
XSI = "http://www.w3.org/2001/XMLSchema-instance"


@xml_element("address", namespace=NS, type_name="Address")
@dataclass
class Address:
    street: str


@xml_element(namespace=NS, type_name="USAddress")
@dataclass
class USAddress(Address):
    zip: str = ""


@xml_element(namespace=NS, type_name="UKAddress")
@dataclass
class UKAddress(Address):
    postcode: str = ""


@xml_element(namespace=NS, type_name="MilitaryAddress")
@dataclass
class MilitaryAddress(USAddress):
    unit: str = ""


@xml_element("order", namespace=NS)
@dataclass
class Order:
    ship: Address
    bill: list[Address] = field(default_factory=list)


HEAD = b'<a:order xmlns:a="urn:example:addresses" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'


@pytest.mark.parametrize("ship, bill, expected", [
    (b'<a:ship xsi:type="a:USAddress"><a:street>1 Main</a:street><a:zip>10001</a:zip></a:ship>', b"",
     Order(USAddress("1 Main", "10001"))),
    # the type's prefix bound differently, on the element itself
    (b'<a:ship xmlns:t="urn:example:addresses" xsi:type="t:UKAddress"><a:street>2 High</a:street>'
     b"<a:postcode>SW1</a:postcode></a:ship>", b"", Order(UKAddress("2 High", "SW1"))),
    # a grandchild class; no xsi:type and the base's own type name give the base
    (b'<a:ship xsi:type=" a:MilitaryAddress "><a:street>s</a:street><a:unit>7</a:unit></a:ship>',
     b'<a:bill><a:street>b</a:street></a:bill><a:bill xsi:type="a:Address"><a:street>c</a:street></a:bill>',
     Order(MilitaryAddress("s", unit="7"), [Address("b"), Address("c")])),
])
def test_read_picks_the_subclass_and_writes_it_back(ship, bill, expected):
    order = deserialize(HEAD + ship + bill + b"</a:order>", Order)
    types = [type(a) for a in [expected.ship, *expected.bill]]
    assert order == expected and [type(a) for a in [order.ship, *order.bill]] == types
    written = serialize(order)
    again = deserialize(written, Order)
    assert again == order and type(again.ship) is type(order.ship)
    # the written type name resolves to the subclass's type in lxml's reading too
    root = etree.fromstring(written)
    ship_type = root.find(f"{{{NS}}}ship").get(f"{{{XSI}}}type")
    prefix, _, local = ship_type.rpartition(":")
    assert (root.nsmap[prefix or None], local) == (NS, type(order.ship).__kestrix_element__.type_name)
    assert [b.get(f"{{{XSI}}}type") for b in root.iter(f"{{{NS}}}bill")] == [None] * len(order.bill)


@pytest.mark.parametrize("xsi_type, shown", [
    (b"a:CAAddress", "unknown xsi:type 'a:CAAddress' ({urn:example:addresses}CAAddress)"),
    (b"USAddress", "unknown xsi:type 'USAddress' (USAddress)"),  # no default namespace here
    (b"q:USAddress", "expected a QName whose prefix is declared, got 'q:USAddress'"),
])
def test_unknown_type_names_fail_with_their_place(xsi_type, shown):
    document = HEAD + b'\n<a:ship xsi:type="' + xsi_type + b'"><a:street>s</a:street></a:ship></a:order>'
    with pytest.raises(ValueError) as caught:
        deserialize(document, Order)
    assert shown in str(caught.value)
    assert caught.value.__notes__[0].startswith("at line 2, column 1")


def test_a_record_stream_and_a_root_element_substitute_too():
    addresses = (b'<list xmlns:a="urn:example:addresses" xmlns:i="http://www.w3.org/2001/XMLSchema-instance">'
                 b'<a:address i:type="a:UKAddress"><a:street>x</a:street></a:address>'
                 b"<a:address><a:street>y</a:street></a:address></list>")
    assert [type(a) for a in iterparse(addresses, Address)] == [UKAddress, Address]
    root = b'<address xmlns="urn:example:addresses" xmlns:i="http://www.w3.org/2001/XMLSchema-instance" ' \
           b'i:type="USAddress"><street>z</street></address>'
    assert deserialize(root, Address) == USAddress("z")


def test_a_plain_tree_writes_and_reads_xsi_type():
    @dataclass
    class Shipment:
        to: Address

    written = serialize(Shipment(UKAddress("s", "p")))
    assert b'xsi:type="ns0:UKAddress"' in written
    assert deserialize(written, Shipment) == Shipment(UKAddress("s", "p"))


def test_a_type_name_declared_twice_fails_when_compiled():
    @xml_element(namespace=NS, type_name="Base")
    @dataclass
    class Base:
        a: str = ""

    @xml_element(namespace=NS, type_name="Base")
    @dataclass
    class Clash(Base):
        b: str = ""

    with pytest.raises(TypeError, match="the type name 'Base' in namespace urn:example:addresses is declared twice"):
        serialize(Base())


@xml_element(type_name="Pet")
@dataclass
class Pet:
    name: str = ""


@xml_element(type_name="Dog")
@dataclass
class Dog(Pet):
    breed: str = ""


@dataclass
class Puppy(Dog):  # declares no type name: written as its nearest ancestor that does
    age: int = 0


@dataclass
class Home:
    pets: list[Pet] = field(default_factory=list, metadata={"name": "pet"})


def test_a_tree_without_namespaces_writes_the_nearest_declared_type_and_reads_any_prefix():
    written = serialize(Home([Puppy("Bo", "pug", 1), Pet("Cat")]))
    assert written == (b'<Home xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><pet xsi:type="Dog">'
                       b"<name>Bo</name><breed>pug</breed></pet><pet><name>Cat</name></pet></Home>")
    for document in (written, written.replace(b"xsi", b"i")):
        assert deserialize(document, Home, strict=True) == Home([Dog("Bo", "pug"), Pet("Cat")])
