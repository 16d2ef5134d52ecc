"""kestrix generate: golden modules, binding through generated modules, determinism, type checking,
offline resolution of imports and the command line."""

from __future__ import annotations

import datetime
import functools
import inspect
import os
import subprocess
import sys
import tempfile
from decimal import Decimal
from pathlib import Path

import pytest
from lxml import etree

import kestrix
from kestrix.cli import main
from kestrix.generate import GenerateError, generate, generate_source, load_module

HERE = Path(__file__).parent
SCHEMAS = HERE / "schemas"
GOLDEN = HERE / "golden"
# KESTRIX_UPDATE_GOLDEN=1 rewrites the golden modules from the generator's output.
UPDATE = os.environ.get("KESTRIX_UPDATE_GOLDEN") == "1"

CASES = [("shop.xsd", "dataclasses"), ("shop.xsd", "pydantic"), ("redefine.xsd", "dataclasses"),
         ("substitution.xsd", "dataclasses"), ("choices.xsd", "dataclasses"), ("types.xsd", "dataclasses")]
# The modules pinned word for word; the others are checked by what they bind and their docstrings.
GOLDEN_CASES = [("shop.xsd", "dataclasses"), ("types.xsd", "dataclasses")]


def golden_path(schema: str, style: str) -> Path:
    return GOLDEN / f"{Path(schema).stem}_{style}.py"


def generated(schema: str, style: str) -> str:
    result = generate_source([SCHEMAS / schema], style=style)
    assert result.reports == []  # each construct of these schemas is mapped
    return result.source.replace(f"kestrix {kestrix.version()} ", "kestrix VERSION ", 1)


OUTPUT = tempfile.TemporaryDirectory(prefix="kestrix-generated-")  # removed when the run ends


@functools.cache
def load_generated(schema: str, style: str):
    path = Path(OUTPUT.name) / golden_path(schema, style).name
    path.write_text(generated(schema, style), encoding="utf-8")
    return load_module(path, f"generated_{path.stem}")


def c14n(data: bytes) -> str:
    """The canonical form (C14N 2.0), with prefixes rewritten: the same for every choice of prefixes."""
    return etree.canonicalize(data.decode(), rewrite_prefixes=True)


@pytest.mark.parametrize("schema,style", GOLDEN_CASES)
def test_golden_module(schema, style):
    source = generated(schema, style)
    if UPDATE:
        golden_path(schema, style).write_text(source, encoding="utf-8")
    assert source == golden_path(schema, style).read_text(encoding="utf-8")


def test_output_does_not_depend_on_hash_seed():
    script = ("import sys; from kestrix.generate import generate_source;"
              " sys.stdout.write(generate_source(sys.argv[1:], style='pydantic').source)")
    runs = {subprocess.run([sys.executable, "-c", script, str(SCHEMAS / "shop.xsd"), str(SCHEMAS / "redefine.xsd"),
                            str(SCHEMAS / "choices.xsd")],
                           env={**os.environ, "PYTHONHASHSEED": seed}, capture_output=True, check=True).stdout
            for seed in ("0", "1", "2")}
    assert len(runs) == 1


@pytest.mark.parametrize("schema, cls, doc", [
    ("choices.xsd", "LabelLong", "A <long> element holding a value."),
    ("choices.xsd", "ShapeGroup", "A <group> element holding a Shape."),
    ("substitution.xsd", "CardCharge", "A restriction of Charge: the fields of Charge it leaves out, or the "
     "attributes it\nprohibits, stay empty when read."),
    ("substitution.xsd", "Fee", "Abstract in the schema: documents hold one of its derived types, named by xsi:type."),
])
def test_generated_docstrings(schema, cls, doc):
    assert inspect.getdoc(getattr(load_generated(schema, "dataclasses"), cls)) == doc


def test_generated_modules_pass_mypy_strict():
    pytest.importorskip("mypy")
    paths = sorted({load_generated(*case).__file__ for case in CASES})
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *paths],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout


@pytest.mark.parametrize("style", ["dataclasses", "pydantic"])
def test_documents_bind_namespace_aware(style):
    models = load_generated("shop.xsd", style)
    document = (HERE / "order.xml").read_bytes()
    order = kestrix.deserialize(document, models.Order)
    assert isinstance(order, models.ShopOrder)
    assert (order.id, order.status, order.checked) == (7, models.Status.ON_HOLD, True)
    assert order.rule == kestrix.QName("urn:shop", "strict")
    assert order.placed == datetime.datetime(2024, 2, 29, 8, 30, tzinfo=datetime.timezone.utc)
    assert (order.address.country, order.address.city, order.address.order.ref) == ("UK", "London", "x")
    assert [(line.sku, line.qty, line.price.value, line.price.currency, line.unit) for line in order.line] == [
        ("A-1", 2, Decimal("9.90"), "EUR", models.ShopOrderLineUnit.KG), ("B", 1, Decimal("1"), "USD", None)]
    assert (order.note, order.paid_by_or_due_days) == (["n1", "n2"], 5)
    assert order.child[0].id == 8 and order.child[0].status is models.Status.OPEN
    assert c14n(kestrix.serialize(order)) == c14n(document)
    # An extension is a subclass; a mixed type keeps its text.
    gift = kestrix.deserialize(
        b'<gift xmlns="urn:shop" id="1"><placed>2024-01-01T00:00:00</placed>'
        b'<line sku="A"><qty>1</qty><price currency="EUR">1</price></line><message>Hi</message></gift>',
        models.Gift)
    assert (gift.message, gift.id, gift.status) == ("Hi", 1, models.Status.OPEN)
    comment = kestrix.deserialize(b'<comment xmlns="urn:shop">a<b>x</b>c</comment>', models.Comment)
    assert comment.content == ["a", models.CommentB(value="x"), "c"]


def test_pydantic_style_checks_lengths_and_bounds():
    models = load_generated("shop.xsd", "pydantic")
    price = models.Money(currency="EUR", value=Decimal(1))
    with pytest.raises(ValueError) as error:
        models.ShopOrderLine(sku="", qty=1000, price=price)
    assert {e["loc"][0] for e in error.value.errors()} == {"sku", "qty"}


def test_pydantic_lengths_of_binary_values_count_octets(tmp_path):
    models = load_module(generate([SCHEMAS / "types.xsd"], tmp_path / "types_pydantic.py", style="pydantic").path)
    digest = "A" * 88  # 64 octets, the most its maxLength allows
    document = f'<blob xmlns="urn:types" digest="{digest}">00</blob>'.encode()
    assert kestrix.deserialize(document, models.Blob).digest == digest


def test_redefined_type_extends_its_original():
    models = load_generated("redefine.xsd", "dataclasses")
    people = kestrix.deserialize(b'<people><person id="p1"><name>Ann</name><age>7</age></person>'
                                 b'<size>1.5</size><tag k="t"/></people>', models.People)
    assert people.person == [models.Person(id="p1", name="Ann", age=7)]
    assert issubclass(models.Person, models.PersonOriginal) and people.size == Decimal("1.5")
    assert inspect.getdoc(models.People) == 'Everyone, "as listed"'
    assert b'<size xsi:nil="true"/>' in kestrix.serialize(models.People(person=[]))
    # a group's anonymous type is one class wherever the group is used; a subclass's
    # attribute is named apart from its base's element of the same name
    box = kestrix.deserialize(b'<Box><note note="n"><tag k="1"/></note><tag k="2"/></Box>', models.Box)
    assert (people.tag, box) == (models.BoxTag("t"), models.Box(
        note=models.Note(tag=models.BoxTag("1"), note_attribute="n"), tag=models.BoxTag("2")))


def test_substitution_groups_and_xsi_type():
    models = load_generated("substitution.xsd", "dataclasses")
    document = (b'<payments xmlns="urn:pay" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'
                b'<card amount="1"><number>42</number></card><instant amount="2"/><transfer amount="3"/>'
                b'<fee xsi:type="FlatFee" amount="5"/><charge amount="1"><memo>m</memo></charge>'
                b'<charge xsi:type="CardCharge" amount="6"><by amount="7"><number>8</number></by>'
                b'<item amount="9"><number>10</number></item></charge></payments>')
    payments = kestrix.deserialize(document, models.Payments)
    # One list in document order; an abstract head never appears itself.
    assert payments.payment == [models.Card(amount=Decimal(1), number="42"), models.Instant(amount=Decimal(2)),
                                models.Transfer(amount=Decimal(3))]
    # The abstract type of <fee> is read as the derived type xsi:type names, and written with it.
    assert payments.fee == models.FlatFee(amount=Decimal(5))
    # A restriction is a subclass of its base, its narrowed fields holding the narrower class.
    card = models.CardType(amount=Decimal(7), number="8")
    assert payments.charge == [models.Charge(amount=Decimal(1), memo="m"), models.CardCharge(
        amount=Decimal(6), by=card, item=[models.CardType(amount=Decimal(9), number="10")])]
    assert c14n(kestrix.serialize(payments)) == c14n(document)


@pytest.mark.parametrize("schema,element,document,field,expected", [
    # a repeated choice; the local <group> is read as its element subclass
    ("choices.xsd", "Picture",
     b'<picture xmlns="urn:draw"><circle id="1"/><group id="2"/><rect id="3"/><circle id="4"/></picture>',
     "rect_or_circle_or_group", lambda m: [m.Circle("1"), m.ShapeGroup("2"), m.Rect("3"), m.Circle("4")]),
    # a single choice; a <title> met twice makes one list of what lies between
    ("choices.xsd", "Frame",
     b'<frame xmlns="urn:draw"><circle id="c"/><title>a</title><size>2</size><title>b</title></frame>',
     "content", lambda m: ["a", 2, "b"]),
    ("choices.xsd", "Frame", b'<frame xmlns="urn:draw"><rect/><title>a</title></frame>', "rect_or_circle",
     lambda m: m.Rect()),
    ("choices.xsd", "Caption", b'<caption xmlns="urn:draw">one <rect id="r"/> two <count>3</count>.</caption>',
     "content", lambda m: ["one ", m.Rect("r"), " two ", 3, "."]),
    ("choices.xsd", "Em", b'<em xmlns="urn:draw" lang="en">a <em>b</em> c<rect/></em>', "content",
     lambda m: ["a ", m.Em(["b"]), " c", m.Rect()]),
    # a global element called QName among QName values: its class is named apart
    ("choices.xsd", "Names", b'<names xmlns="urn:draw"><QName local="x"/><ref>rect</ref></names>',
     "q_name_or_ref", lambda m: [m.QNameElement("x"), kestrix.QName("urn:draw", "rect")]),
    # alternatives of one scalar type: a class each holding the value
    ("choices.xsd", "Label", b'<label xmlns="urn:draw"><long>l</long><short>s</short><long/></label>',
     "short_or_long", lambda m: [m.LabelLong("l"), m.LabelShort("s"), m.LabelLong()]),
    ("choices.xsd", "Folder", b'<folder xmlns="urn:draw"><rect/><items><circle/><circle/></items><rect/></folder>',
     "rect_or_items", lambda m: [m.Rect(), m.FolderItems([m.Circle(), m.Circle()]), m.Rect()]),
    # elements that only hold a list are wrapped lists: no class, None when absent
    ("choices.xsd", "Album",
     b'<album xmlns="urn:draw"><tags><tag>a</tag><tag>b</tag></tags><shapes><circle/><rect id="r"/></shapes></album>',
     "shapes", lambda m: [m.Circle(), m.Rect("r")]),
    ("choices.xsd", "Album", b'<album xmlns="urn:draw"><shapes/></album>', "tags", lambda m: None),
    # what xs:any and xs:anyAttribute allow is kept and written back
    ("shop.xsd", "Order", b'<order xmlns="urn:shop" xmlns:x="urn:x" id="1" status="open" checked="false" x:flag="y">'
     b'<placed>2024-01-01T00:00:00</placed><line sku="A"><qty>1</qty><price currency="EUR">1</price></line><x:extra>e</x:extra></order>',
     "other_elements", lambda m: [kestrix.Element("{urn:x}extra", text="e")]),
    # values kestrix has no type for are their text, written back as read
    ("types.xsd", "Blob", b'<blob xmlns="urn:types" wait="PT1M" sizes="1 2" width="auto" digest="AAE=">00ff</blob>',
     "sizes", lambda m: "1 2"),
])
def test_documents_read_in_order_and_write_back(schema, element, document, field, expected):
    models = load_generated(schema, "dataclasses")
    bound = kestrix.deserialize(document, getattr(models, element))
    assert getattr(bound, field) == expected(models)
    assert c14n(kestrix.serialize(bound)) == c14n(document)


UNMAPPED = """<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="free"><xs:complexType><xs:attribute name="a" type="missing"/></xs:complexType></xs:element>
  <xs:complexType name="T"><xs:sequence><xs:group ref="missing"/></xs:sequence></xs:complexType>
  <xs:element name="lost" type="missing"/>
</xs:schema>"""


def test_unmapped_constructs_are_reported_with_file_and_line(tmp_path):
    (tmp_path / "unmapped.xsd").write_text(UNMAPPED)
    reports = generate_source([tmp_path / "unmapped.xsd"]).reports
    assert [(r.path.name, r.line, r.construct) for r in reports] == [
        ("unmapped.xsd", 2, "type 'missing'"), ("unmapped.xsd", 3, "group"), ("unmapped.xsd", 4, "element 'lost'")]


REMOTE = """<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:r" xmlns:a="urn:addr">
  <xs:import namespace="urn:addr" schemaLocation="http://example.com/addr.xsd"/>
  <xs:element name="r"><xs:complexType><xs:sequence><xs:element ref="a:address"/></xs:sequence></xs:complexType>
  </xs:element>
</xs:schema>"""


@pytest.mark.parametrize("catalog,error", [
    (None, r"namespace 'urn:addr' at location 'http://example.com/addr.xsd', asked for by .*remote\.xsd:2"),
    ("# namespaces and locations\nurn:addr {addr}\n", None),
    ("http://example.com/addr.xsd {addr}\n", None),
    ('<catalog><uri name="urn:addr" uri="{addr}"/></catalog>', None),
    ("urn:addr {shop}\n", r"import of namespace 'urn:addr' found .*shop\.xsd, whose targetNamespace is 'urn:shop'"),
    ("urn:addr\n", r"a catalog line is KEY PATH"),
])
def test_imports_resolve_offline_through_the_catalog(tmp_path, catalog, error):
    (tmp_path / "remote.xsd").write_text(REMOTE)
    path = None
    if catalog is not None:
        path = tmp_path / "catalog.txt"
        path.write_text(catalog.format(addr=SCHEMAS / "addr.xsd", shop=SCHEMAS / "shop.xsd"))
    if error is None:
        assert "class Address" in generate_source([tmp_path / "remote.xsd"], catalog=path).source
    else:
        with pytest.raises(GenerateError, match=error):
            generate_source([tmp_path / "remote.xsd"], catalog=path)


CYCLE = {
    # a and b derive from each other's types: one module; c and a name each other's types only
    "a.xsd": """<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:a="urn:a" xmlns:b="urn:b" xmlns:c="urn:c"
                  targetNamespace="urn:a" elementFormDefault="qualified">
  <xs:import namespace="urn:b" schemaLocation="b.xsd"/><xs:import namespace="urn:c" schemaLocation="c.xsd"/>
  <xs:complexType name="A1"><xs:complexContent><xs:extension base="b:B1">
    <xs:sequence><xs:element name="note" type="c:C" minOccurs="0"/></xs:sequence>
  </xs:extension></xs:complexContent></xs:complexType>
  <xs:complexType name="A2"><xs:attribute name="id" type="xs:int"/></xs:complexType>
  <xs:element name="a" type="a:A1"/>
</xs:schema>""",
    "b.xsd": """<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:a="urn:a" targetNamespace="urn:b">
  <xs:import namespace="urn:a" schemaLocation="a.xsd"/>
  <xs:complexType name="B1"><xs:attribute name="kind" type="xs:string"/></xs:complexType>
  <xs:complexType name="B2"><xs:complexContent><xs:extension base="a:A2"/></xs:complexContent></xs:complexType>
</xs:schema>""",
    "c.xsd": """<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:a="urn:a" targetNamespace="urn:c"
                  elementFormDefault="qualified">
  <xs:import namespace="urn:a" schemaLocation="a.xsd"/>
  <xs:complexType name="C"><xs:sequence><xs:element ref="a:a" minOccurs="0"/></xs:sequence></xs:complexType>
</xs:schema>""",
}


@pytest.mark.parametrize("style", ["dataclasses", "pydantic"])
def test_package_modules_import_each_other(tmp_path, style):
    for name, text in CYCLE.items():
        (tmp_path / name).write_text(text)
    folder = generate([tmp_path / "a.xsd"], tmp_path / "out", package="cyc", style=style).path
    assert sorted(p.name for p in folder.glob("*.py")) == ["__init__.py", "a.py", "c.py"]
    models = load_module(folder, f"cyc_{style}")
    document = b'<a xmlns="urn:a" kind="k"><note><a kind="inner"/></note></a>'
    bound = kestrix.deserialize(document, models.A)
    assert bound.note.a.kind == "inner" and issubclass(models.B2, models.A2)
    assert c14n(kestrix.serialize(bound)) == c14n(document)


def test_command_line_writes_a_module_per_namespace_and_lists_reports(tmp_path, capsys):
    assert main(["generate", str(SCHEMAS / "shop.xsd"), "-o", str(tmp_path), "--package", "shop",
                 "--style", "pydantic"]) == 0
    folder = tmp_path / "shop"
    assert sorted(p.name for p in folder.iterdir()) == ["__init__.py", "addr.py", "shop.py"]
    assert "from . import addr as _addr  # noqa: E402" in (folder / "shop.py").read_text()
    assert f"wrote {folder}" in capsys.readouterr().err
    shop = load_module(folder, "cli_shop")
    document = (HERE / "order.xml").read_bytes()
    assert c14n(kestrix.serialize(kestrix.deserialize(document, shop.Order))) == c14n(document)
    assert main(["generate", str(tmp_path / "absent.xsd"), "-o", str(tmp_path / "x.py")]) == 1
    assert "no schema file" in capsys.readouterr().err
