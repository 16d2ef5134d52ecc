"""fuzz/fuzz_models.py: the model classes and seed documents of the entry-point fuzzer.

Every shape comes twice, as a pydantic model (prefix P) and as a dataclass
(prefix D), so that a finding names the form it came from.
"""

import dataclasses
import datetime as dt
import enum
from dataclasses import dataclass, field
from decimal import Decimal
from typing import List, Optional, Union

from pydantic import BaseModel, Field, model_validator

from kestrix import Comment, Element, ProcessingInstruction, QName, xml_element


class Color(enum.Enum):
    RED = "red"
    GREEN = "green"
    BLUE = "blue"


class Level(enum.IntEnum):
    LOW = 1
    MID = 2
    HIGH = 3


class ModelRejected(Exception):
    """Raised by the models' own checks; it must reach the caller unchanged."""


def meta(role: Optional[str] = None, name: Optional[str] = None, **extra) -> dict:
    out = {k: v for k, v in (("type", role), ("name", name)) if v is not None}
    out.update(extra)
    return out


def pf(default=..., role=None, name=None, **extra):
    """A pydantic field carrying XML metadata."""
    if callable(default):
        return Field(default_factory=default, json_schema_extra=meta(role, name, **extra))
    return Field(default, json_schema_extra=meta(role, name, **extra))


def df(default=dataclasses.MISSING, role=None, name=None, **extra):
    """A dataclass field carrying XML metadata."""
    if callable(default):
        return field(default_factory=default, metadata=meta(role, name, **extra))
    return field(default=default, metadata=meta(role, name, **extra))


# --- flat: every scalar kind, as attributes and as elements -------------------------


class PScalars(BaseModel):
    id: int = pf(0, "Attribute")
    code: str = pf("", "Attribute", "code-name")
    on: bool = pf(False, "Attribute")
    s: str = ""
    i: int = 0
    f: float = 0.0
    b: bool = False
    d: Decimal = Decimal("0")
    color: Color = Color.RED
    level: Optional[Level] = None
    maybe: Optional[int] = None
    note: Optional[str] = None
    ratio: Optional[float] = None
    cost: Optional[Decimal] = pf(None, "Attribute")
    day: Optional[dt.date] = pf(None, "Attribute")
    at: Optional[dt.datetime] = None


@dataclass
class DScalars:
    id: int = df(0, "Attribute")
    code: str = df("", "Attribute", "code-name")
    on: bool = df(False, "Attribute")
    s: str = ""
    i: int = 0
    f: float = 0.0
    b: bool = False
    d: Decimal = Decimal("0")
    color: Color = Color.RED
    level: Optional[Level] = None
    maybe: Optional[int] = None
    note: Optional[str] = None
    ratio: Optional[float] = None
    cost: Optional[Decimal] = df(None, "Attribute")
    day: Optional[dt.date] = df(None, "Attribute")
    at: Optional[dt.datetime] = None


# --- nested ----------------------------------------------------------------------------


class PAddress(BaseModel):
    zip: Optional[str] = pf(None, "Attribute")
    street: str = ""
    city: str


class PPerson(BaseModel):
    name: str = pf(..., "Attribute")
    age: int = 0
    home: PAddress
    work: Optional[PAddress] = pf(None, name="Work")


@dataclass
class DAddress:
    city: str
    zip: Optional[str] = df(None, "Attribute")
    street: str = ""


@dataclass
class DPerson:
    name: str = df(role="Attribute")
    home: DAddress = df()
    age: int = 0
    work: Optional[DAddress] = df(None, name="Work")


# --- lists of models and of scalars ---------------------------------------------------


class PItem(BaseModel):
    sku: str = pf(..., "Attribute")
    qty: int = 1
    price: Optional[Decimal] = None

    @model_validator(mode="after")
    def _no_negative(self):
        if self.qty < 0:
            raise ModelRejected(f"negative quantity {self.qty}")
        return self


class PCatalog(BaseModel):
    items: list[PItem] = pf(list, name="item")
    tags: list[str] = pf(list, name="tag")
    counts: List[int] = pf(list, name="n")
    prices: list[Decimal] = pf(list, name="price")
    colors: list[Color] = pf(list, name="color")
    flags: list[bool] = pf(list, name="flag")
    weights: List[float] = pf(list, name="w")
    days: list[dt.date] = pf(list, name="day")
    stamps: list[Optional[dt.datetime]] = pf(list, name="at")
    extra: Optional[List[PItem]] = None


@dataclass
class DItem:
    sku: str = df(role="Attribute")
    qty: int = 1
    price: Optional[Decimal] = None

    def __post_init__(self):
        if isinstance(self.qty, int) and self.qty < 0:
            raise ModelRejected(f"negative quantity {self.qty}")


@dataclass
class DCatalog:
    items: list[DItem] = df(list, name="item")
    tags: list[str] = df(list, name="tag")
    counts: List[int] = df(list, name="n")
    prices: list[Decimal] = df(list, name="price")
    colors: list[Color] = df(list, name="color")
    flags: list[bool] = df(list, name="flag")
    weights: List[float] = df(list, name="w")
    days: list[dt.date] = df(list, name="day")
    stamps: list[Optional[dt.datetime]] = df(list, name="at")
    extra: Optional[List[DItem]] = None


# --- text content mixed with child elements ------------------------------------------


class PLink(BaseModel):
    href: str = pf("", "Attribute")
    text: str = pf("", "Text")


class PPara(BaseModel):
    lang: Optional[str] = pf(None, "Attribute")
    text: Optional[str] = pf(None, "Text")
    em: list[str] = []
    link: Optional[PLink] = pf(None, name="a")


@dataclass
class DLink:
    href: str = df("", "Attribute")
    text: str = df("", "Wildcard", mixed=True)


@dataclass
class DPara:
    lang: Optional[str] = df(None, "Attribute")
    text: Optional[str] = df(None, "Wildcard", mixed=True)
    em: list[str] = df(list)
    link: Optional[DLink] = df(None, name="a")


# --- recursive -----------------------------------------------------------------------


class PTree(BaseModel):
    id: int = pf(0, "Attribute")
    label: Optional[str] = None
    children: List["PTree"] = pf(list, name="node")
    next: Optional["PTree"] = None


@dataclass
class DTree:
    id: int = df(0, "Attribute")
    label: Optional[str] = None
    children: List["DTree"] = df(list, name="node")
    next: Optional["DTree"] = None


# --- namespaced: read by (URI, local name), written with declarations -----------------

NS_A = "urn:fuzz:a"
NS_B = "urn:fuzz:b"


class PNsEntry(BaseModel):
    a_id: str = pf("", "Attribute", "id", namespace=NS_A)
    b_id: str = pf("", "Attribute", "id", namespace=NS_B)
    lang: Optional[str] = pf(None, "Attribute", "xml:lang")
    n: int = 0


@xml_element("feed", namespace=NS_A, prefixes={"b": NS_B})
class PNsFeed(BaseModel):
    title: str = ""
    entries: list[PNsEntry] = pf(list, name="entry")
    other: Optional[PNsEntry] = pf(None, namespace=NS_B)
    plain: Optional[str] = pf(None, namespace="")


@dataclass
class DNsEntry:
    a_id: str = df("", "Attribute", "id", namespace=NS_A)
    b_id: str = df("", "Attribute", "id", namespace=NS_B)
    lang: Optional[str] = df(None, "Attribute", "xml:lang")
    n: int = 0


@xml_element("feed", namespace=NS_A, prefixes={"b": NS_B})
@dataclass
class DNsFeed:
    title: str = ""
    entries: list[DNsEntry] = df(list, name="entry")
    other: Optional[DNsEntry] = df(None, namespace=NS_B)
    plain: Optional[str] = df(None, namespace="")


# --- document order: elements of several kinds, ordered mixed content; QName values ---


@xml_element("circle")
class PCircle(BaseModel):
    r: float = pf(0.0, "Attribute")


@xml_element("label")
class PLabel(BaseModel):
    text: str = pf("", "Text")


class PDrawing(BaseModel):
    id: int = pf(0, "Attribute")
    kind: Optional[QName] = pf(None, "Attribute")
    title: str = ""
    shapes: list[Union[PCircle, PLabel]] = []
    values: list[Union[int, str, PCircle]] = pf(list, choices={"int": int, "s": str, "c": PCircle})
    refs: list[QName] = pf(list, name="ref")


class PRich(BaseModel):
    content: list[Union[str, PLabel, PCircle]] = pf(list, mixed=True)


@xml_element("circle")
@dataclass
class DCircle:
    r: float = df(0.0, "Attribute")


@xml_element("label")
@dataclass
class DLabel:
    text: str = df("", "Text")


@dataclass
class DDrawing:
    id: int = df(0, "Attribute")
    kind: Optional[QName] = df(None, "Attribute")
    title: str = ""
    shapes: list[Union[DCircle, DLabel]] = df(list)
    values: list[Union[int, str, DCircle]] = df(list, choices={"int": int, "s": str, "c": DCircle})
    refs: list[QName] = df(list, name="ref")


@dataclass
class DRich:
    content: list[Union[str, DLabel, DCircle]] = df(list, mixed=True)


# --- wrapped lists; type substitution by xsi:type -----------------------------------


class PBox(BaseModel):
    items: Optional[list[PCircle]] = pf(None, name="circle", wrapper="circles")
    codes: list[int] = pf(list, name="code", wrapper="codes")
    parts: list[Union[PCircle, PLabel]] = pf(list, wrapper="parts")


@dataclass
class DBox:
    items: Optional[list[DCircle]] = df(None, name="circle", wrapper="circles")
    codes: list[int] = df(list, name="code", wrapper="codes")
    parts: list[Union[DCircle, DLabel]] = df(list, wrapper="parts")


@xml_element("shape", namespace=NS_A, type_name="Shape")
class PShape(BaseModel):
    name: str = ""


@xml_element(namespace=NS_A, type_name="Square")
class PSquare(PShape):
    side: float = pf(0.0, "Attribute")


@xml_element(namespace=NS_B, type_name="Dot")
class PDot(PShape):
    at: list[int] = pf(list, name="x")


@xml_element("canvas", namespace=NS_A)
class PCanvas(BaseModel):
    main: Optional[PShape] = None
    shapes: list[PShape] = pf(list, name="shape")


@xml_element("shape", namespace=NS_A, type_name="Shape")
@dataclass
class DShape:
    name: str = ""


@xml_element(namespace=NS_A, type_name="Square")
@dataclass
class DSquare(DShape):
    side: float = df(0.0, "Attribute")


@xml_element(namespace=NS_B, type_name="Dot")
@dataclass
class DDot(DShape):
    at: list[int] = df(list, name="x")


@dataclass
class DCanvas:
    main: Optional[DShape] = None
    shapes: list[DShape] = df(list, name="shape")


# --- catch-all content: unmodelled elements, attributes, comments and PIs kept ---


class PCaught(BaseModel):
    name: str = ""
    other: List[Element] = pf(list)
    extra: dict[str, str] = pf(dict, any_attributes=True)


@dataclass
class DCaught:
    name: Optional[QName] = None
    other: List[Element] = df(list)
    extra: dict[str, str] = df(dict, any_attributes=True)


@xml_element("doc", namespace=NS_A, prefixes={"b": NS_B})
class PNsCaught(BaseModel):
    items: List[Union[PCircle, Element]] = pf(list)
    extra: dict[str, str] = pf(dict, any_attributes=True)


@xml_element("doc", namespace=NS_A)
@dataclass
class DNsCaught:
    content: List[Union[str, DLabel, Element]] = df(list, mixed=True)
    extra: dict[str, str] = df(dict, any_attributes=True)


MODELS: list[type] = [
    PScalars,
    DScalars,
    PPerson,
    DPerson,
    PCatalog,
    DCatalog,
    PPara,
    DPara,
    PTree,
    DTree,
    PItem,
    DItem,
    PNsFeed,
    DNsFeed,
    PDrawing,
    DDrawing,
    PRich,
    DRich,
    PBox,
    DBox,
    PCanvas,
    DCanvas,
    PCaught,
    DCaught,
    PNsCaught,
    DNsCaught,
]


def _instances() -> dict[type, list]:
    """A few valid instances per model; their serialized forms seed the fuzzer."""
    d = Decimal
    return {
        PScalars: [
            PScalars(),
            PScalars(id=7, code="a&b", on=True, s=" x<y ", i=-42, f=2.5e-300, b=True,
                     d=d("1.50"), color=Color.BLUE, level=Level.HIGH, maybe=3,
                     note="", ratio=float("inf"), cost=d("-0.001"), day=dt.date(2024, 2, 29),
                     at=dt.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=dt.timezone.utc)),
        ],
        DScalars: [
            DScalars(),
            DScalars(id=-1, code="\u00e9\u4e2d", on=True, s="\"'", i=2**62, f=-0.0, b=False,
                     d=d("1E+3"), color=Color.GREEN, level=Level.LOW, maybe=0,
                     note="n", ratio=1e16, cost=d("12345678901234567890.5"),
                     at=dt.datetime(1, 1, 1)),
        ],
        PPerson: [
            PPerson(name="Ann", age=40, home=PAddress(city="Bern", street="Gasse 1", zip="3000"),
                    work=PAddress(city="Basel")),
        ],
        DPerson: [
            DPerson(name="Bo", home=DAddress(city="Rome"), age=3),
            DPerson(name="Cy", home=DAddress(city="Oslo", zip="0150", street="Gate"),
                    work=DAddress(city="Oslo")),
        ],
        PCatalog: [
            PCatalog(items=[PItem(sku="a", qty=2, price=d("9.99")), PItem(sku="b")],
                     tags=["x", "y"], counts=[1, 2, 3], prices=[d("0.5")],
                     colors=[Color.RED, Color.BLUE], flags=[True, False],
                     weights=[0.25, -1e-5], days=[dt.date(1999, 12, 31)],
                     stamps=[dt.datetime(2000, 1, 1, 12, tzinfo=dt.timezone(-dt.timedelta(hours=14)))],
                     extra=[PItem(sku="z", qty=0)]),
        ],
        DCatalog: [
            DCatalog(items=[DItem(sku="a", qty=2, price=d("9.99")), DItem(sku="b")],
                     tags=["x"], counts=[7], prices=[d("1"), d("2.25")], colors=[Color.GREEN],
                     weights=[3.0], days=[dt.date(2024, 1, 1), dt.date(9999, 12, 31)],
                     stamps=[dt.datetime(2024, 1, 1, 0, 0, 0, 1)]),
        ],
        PPara: [
            PPara(lang="en", text="Hello world", em=["big"], link=PLink(href="/x", text="here")),
        ],
        DPara: [
            DPara(lang="de", text="Hallo", em=["a", "b"], link=DLink(href="#", text="dort")),
        ],
        PTree: [
            PTree(id=1, label="root", children=[PTree(id=2), PTree(id=3, children=[PTree(id=4)])],
                  next=PTree(id=5, next=PTree(id=6))),
        ],
        DTree: [
            DTree(id=1, label="r", children=[DTree(id=2, children=[DTree(id=3)])],
                  next=DTree(id=4)),
        ],
        PItem: [PItem(sku="s", qty=5, price=d("3.14"))],
        PNsFeed: [PNsFeed(title="t", entries=[PNsEntry(a_id="1", b_id="2", lang="en", n=3)],
                          other=PNsEntry(b_id="4"), plain="p")],
        DNsFeed: [DNsFeed(title="t", entries=[DNsEntry(a_id="1", lang="de")],
                          other=DNsEntry(a_id="5", n=-1), plain="")],
        DItem: [DItem(sku="t", qty=0)],
        PDrawing: [PDrawing(id=1, kind=QName("urn:k", "line"), title="t",
                            shapes=[PLabel(text="a"), PCircle(r=1.5), PLabel(text="")],
                            values=[3, "x", PCircle(r=0.0), -1], refs=[QName("", "r")])],
        DDrawing: [DDrawing(id=2, kind=QName("x"), shapes=[DCircle(r=2.0), DLabel(text="b<")],
                            values=["", 7], refs=[QName("urn:k", "a"), QName("urn:l", "b")])],
        PRich: [PRich(content=["Hello ", PLabel(text="w"), " & ", PCircle(r=1.0), "!"])],
        DRich: [DRich(content=[DLabel(text="x"), "\n  y ", DCircle(r=-2.0)])],
        PBox: [PBox(items=[PCircle(r=1.0)], codes=[1, 2], parts=[PLabel(text="l"), PCircle(r=2.0)]),
               PBox(items=[])],
        DBox: [DBox(codes=[3], parts=[DCircle(r=0.5)]), DBox(items=[DCircle(r=4.0)])],
        PCanvas: [PCanvas(main=PSquare(name="s", side=2.0),
                          shapes=[PShape(name="p"), PDot(at=[1, 2]), PSquare(side=1.5)])],
        DCanvas: [DCanvas(main=DDot(name="d", at=[3]), shapes=[DSquare(side=0.25), DShape()])],
        PCaught: [PCaught(name="n", other=[
            Element("{urn:x}a", {"k": "v", "{urn:y}m": "<&>"}, "t",
                    [Comment(" c "), ProcessingInstruction("pi", "x y"), Element("b", tail=" z ")]),
            Element("c", namespaces={"q": "urn:q"})], extra={"{urn:x}k": "1", "plain": "2"})],
        DCaught: [DCaught(QName("urn:q", "v"), [Element("{urn:q}w", text="q:v")],
                          {"{http://www.w3.org/XML/1998/namespace}lang": "en"})],
        PNsCaught: [PNsCaught(items=[Element("{urn:fuzz:b}x"), PCircle(r=1.0), Element("y")],
                              extra={"{urn:fuzz:b}k": "v"})],
        DNsCaught: [DNsCaught(content=["a", Element("{urn:fuzz:a}z", text="1"), DLabel(text="l"), "b"])],
    }


def _chain(name: bytes, depth: int) -> bytes:
    """A chain of `depth` open class elements, the root included."""
    return b"<%s>" % name + b"<next>" * (depth - 1) + b"</next>" * (depth - 1) + b"</%s>" % name


# Hand-written documents the serializer never writes: nil markers, namespace
# prefixes, entities, character references, CDATA, comments and mixed content.
HANDWRITTEN: dict[type, list[bytes]] = {
    PScalars: [
        b'<?xml version="1.0" encoding="UTF-8"?><PScalars id=" 3 " on="1">'
        b"<note xsi:nil='true'/><f>NaN</f><b> 0 </b><d>-1.5e3</d><level>MID</level>"
        b"<!-- c --><s><![CDATA[<raw>]]>&amp;&#x41;</s></PScalars>",
    ],
    DScalars: [
        b"<x:DScalars xmlns:x='urn:x' x:id='4'><x:i>+12</x:i><color>GREEN</color>"
        b"<maybe xsi:nil='1'></maybe><ratio>-INF</ratio></x:DScalars>",
        b"<DScalars day='2024-02-29Z'><at>2024-02-29T10:00:00.1234567-05:00</at></DScalars>",
    ],
    DCatalog: [
        b"<DCatalog><flag>1</flag><flag xsi:nil='true'/><color> red </color><price> 1e-3 </price>"
        b"<day>2024-13-01</day><at>2024-02-29T24:00:00Z</at><at>2024-02-29T10:00Z</at></DCatalog>",
    ],
    PPara: [b"<PPara lang='fr'>Un <em>deux</em> trois <a href='/'>quatre</a> cinq</PPara>"],
    DPara: [b"<DPara>one<em>two</em>&lt;three&gt;<a>four</a>five</DPara>"],
    # the recursive ones also at the nesting limit of 256 class elements and one past it
    PTree: [
        b"<PTree id='1'><node id='2'><node id='3'/></node><next id='4'/></PTree>",
        _chain(b"PTree", 256),
        _chain(b"PTree", 257),
    ],
    PNsFeed: [
        b"<x:feed xmlns:x='urn:fuzz:a' xmlns:y='urn:fuzz:b'><x:entry x:id='1' y:id='2' id='3'>"
        b"<n>4</n></x:entry><y:other y:id='5'><y:n>6</y:n></y:other><plain>p</plain></x:feed>",
    ],
    DNsFeed: [
        b"<feed xmlns='urn:fuzz:a'><entry xmlns:q='urn:fuzz:b' q:id='1' xml:lang='fr'/>"
        b"<u:title>unbound</u:title></feed>",
    ],
    PCanvas: [
        b"<c:canvas xmlns:c='urn:fuzz:a' xmlns:i='http://www.w3.org/2001/XMLSchema-instance'>"
        b"<c:main i:type='c:Square' side='3'/><c:shape xmlns:q='urn:fuzz:a' i:type=' q:Square '/>"
        b"<c:shape xmlns:d='urn:fuzz:b' i:type='d:Dot'><c:x>1</c:x></c:shape><c:shape i:type='Dot'/><c:shape i:type='c:Nope'/></c:canvas>",
    ],
    DBox: [b"<DBox><circles/><codes><code>1</code><code>x</code></codes><parts><label>a</label>"
           b"</parts><circle r='1'/></DBox>"],
    PCaught: [
        b"<PCaught xmlns:p='urn:p' p:k='1' xml:space='preserve'><p:x a='1'>t<!--c--><?go now?>"
        b"<y xmlns='urn:d'><z xmlns=''/>tail</y><![CDATA[<&>]]></p:x><name>n</name><q:u/></PCaught>",
        b"<PCaught><a>" + b"<a>" * 300 + b"</a>" * 300 + b"</a></PCaught>",
    ],
    PNsCaught: [
        b"<d:doc xmlns:d='urn:fuzz:a' xmlns:e='urn:fuzz:b' e:k='v'><e:x><d:y e:z='1'/></e:x>"
        b"<circle r='2'/><d:circle r='3'/><!-- c --></d:doc>",
    ],
    DTree: [
        b"<DTree><next><next><next id='9'/></next></next></DTree>",
        _chain(b"DTree", 256),
        _chain(b"DTree", 257),
    ],
}


def seed_documents() -> dict[type, list[bytes]]:
    """Valid documents per model: serialized instances, indented and not, and the
    hand-written ones."""
    from kestrix import serialize

    out: dict[type, list[bytes]] = {cls: list(HANDWRITTEN.get(cls, [])) for cls in MODELS}
    for cls, objs in _instances().items():
        for obj in objs:
            out[cls].append(serialize(obj))
            out[cls].append(serialize(obj, indent=2))
    return out


__all__ = ["MODELS", "ModelRejected", "seed_documents"]
