# bench/models.py: the order models of the benchmark, as dataclasses, pydantic models and pydantic-xml models.
"""One shape of data, three ways of declaring it.

The document holds ``<Orders>`` with one ``<Order>`` per record::

    <Order id="17" status="paid">
      <Customer vip="false"><Name>..</Name><Email>..</Email></Customer>
      <Item sku="SKU-00042" qty="3"><Price>12.51</Price><UnitPrice>4.17</UnitPrice></Item>  (1 to 5 of them)
      <Total>12.51</Total><Note>..</Note><Placed>2024-05-01</Placed>
    </Order>

The dataclasses and the pydantic models carry kestrix's field metadata (role
under "type", XML name under "name"). The three families use different class
names so that each table row names the family it measures.
"""

import dataclasses
import enum
from dataclasses import dataclass, field
from decimal import Decimal

from pydantic import BaseModel, Field
from pydantic_xml import BaseXmlModel, attr, element


class Status(enum.Enum):
    """Order state, written as its value."""

    PENDING = "pending"
    PAID = "paid"
    SHIPPED = "shipped"
    DELIVERED = "delivered"
    CANCELLED = "cancelled"


def _attr(name):
    return field(metadata={"type": "Attribute", "name": name})


def _elem(name):
    return field(metadata={"name": name})


# --- dataclasses -----------------------------------------------------------


@dataclass
class Customer:
    vip: bool = _attr("vip")
    name: str = _elem("Name")
    email: str = _elem("Email")


@dataclass
class Item:
    sku: str = _attr("sku")
    qty: int = _attr("qty")
    price: float = _elem("Price")
    unit_price: Decimal = _elem("UnitPrice")


@dataclass
class Order:
    id: int = _attr("id")
    status: Status = _attr("status")
    customer: Customer = _elem("Customer")
    items: list[Item] = _elem("Item")
    total: Decimal = _elem("Total")
    note: str = _elem("Note")
    placed: str = _elem("Placed")


@dataclass
class Orders:
    orders: list[Order] = _elem("Order")


# The same document with a default namespace on <Orders>. bench_peers declares
# the namespace on this class with kestrix.xml_element; the nested classes
# above take it from the element they are read in, so they serve both rows.
NS_URI = "urn:example:kestrix-bench:orders"


@dataclass
class NsOrders:
    orders: list[Order] = _elem("Order")


# --- pydantic v2 models (kestrix metadata in json_schema_extra) --------------


def _pattr(name):
    return Field(json_schema_extra={"type": "Attribute", "name": name})


def _pelem(name):
    return Field(json_schema_extra={"name": name})


class PCustomer(BaseModel):
    vip: bool = _pattr("vip")
    name: str = _pelem("Name")
    email: str = _pelem("Email")


class PItem(BaseModel):
    sku: str = _pattr("sku")
    qty: int = _pattr("qty")
    price: float = _pelem("Price")
    unit_price: Decimal = _pelem("UnitPrice")


class POrder(BaseModel):
    id: int = _pattr("id")
    status: Status = _pattr("status")
    customer: PCustomer = _pelem("Customer")
    items: list[PItem] = _pelem("Item")
    total: Decimal = _pelem("Total")
    note: str = _pelem("Note")
    placed: str = _pelem("Placed")


class POrders(BaseModel):
    orders: list[POrder] = _pelem("Order")


# --- pydantic-xml models of the same document ------------------------------


class XCustomer(BaseXmlModel, tag="Customer"):
    vip: bool = attr(name="vip")
    name: str = element(tag="Name")
    email: str = element(tag="Email")


class XItem(BaseXmlModel, tag="Item"):
    sku: str = attr(name="sku")
    qty: int = attr(name="qty")
    price: float = element(tag="Price")
    unit_price: Decimal = element(tag="UnitPrice")


class XOrder(BaseXmlModel, tag="Order"):
    id: int = attr(name="id")
    status: Status = attr(name="status")
    customer: XCustomer
    items: list[XItem]
    total: Decimal = element(tag="Total")
    note: str = element(tag="Note")
    placed: str = element(tag="Placed")


class XOrders(BaseXmlModel, tag="Orders"):
    orders: list[XOrder]


# --- the floors: the same object graphs from ready Python values -------------
# A record is the tuple (id, status, (vip, name, email), [(sku, qty, price,
# unit_price), ...], total, note, placed) with every value already of its
# final Python type (see generate.py).


def build_dataclasses(records):
    """Dataclass graph from ready values, positional construction."""
    return Orders(
        [
            Order(i, s, Customer(*c), [Item(*it) for it in items], t, n, p)
            for i, s, c, items, t, n, p in records
        ]
    )


def build_from_texts(texts, Orders=Orders, Order=Order, Customer=Customer, Item=Item, Status=Status,
                     Decimal=Decimal):
    """Dataclass graph from the document's texts (bytes), converted in plain Python.

    What any binder has to do once an XML reader has found the texts: decode
    them, ``int()``, ``float()``, ``Decimal()``, the enum member by value,
    ``bool`` by its spelling, and the constructors; no XML is read. A binder
    slower than this loop spends its time somewhere else than in the objects.
    """
    return Orders(
        [
            Order(
                int(i),
                Status(s.decode()),
                Customer(v == b"true" or v == b"1", n.decode(), e.decode()),
                [Item(a.decode(), int(q), float(p), Decimal(u.decode())) for a, q, p, u in items],
                Decimal(t.decode()),
                no.decode(),
                pl.decode(),
            )
            for i, s, (v, n, e), items, t, no, pl in texts
        ]
    )


def build_pydantic(records, Orders=POrders, Order=POrder, Customer=PCustomer, Item=PItem):
    """Pydantic graph from ready values, validated keyword construction.

    The same code builds the pydantic-xml graph when given those classes.
    """
    return Orders(
        orders=[
            Order(
                id=i,
                status=s,
                customer=Customer(vip=c[0], name=c[1], email=c[2]),
                items=[Item(sku=a, qty=q, price=pr, unit_price=u) for a, q, pr, u in items],
                total=t,
                note=n,
                placed=p,
            )
            for i, s, c, items, t, n, p in records
        ]
    )


def build_pydantic_xml(records):
    """The pydantic-xml graph from ready values."""
    return build_pydantic(records, XOrders, XOrder, XCustomer, XItem)


def as_plain(obj):
    """Nested dicts/lists of field values of a dataclass or pydantic graph.

    Lets a pydantic-xml result be compared with the pydantic floor, whose
    classes differ but whose field names and values are the same.
    """
    if isinstance(obj, BaseModel):
        return {k: as_plain(getattr(obj, k)) for k in type(obj).model_fields}
    if dataclasses.is_dataclass(obj):
        return {f.name: as_plain(getattr(obj, f.name)) for f in dataclasses.fields(obj)}
    if isinstance(obj, list):
        return [as_plain(x) for x in obj]
    return obj


# --- document order: a ledger of interleaved entries of three kinds ---------------
#
#     <ledger>
#       <credit id="1"><amount>12.50</amount><memo>..</memo></credit>
#       <note id="2">..</note>
#       <debit id="3" account="ACC-0042"><amount>4.17</amount></debit>
#       ...
#     </ledger>


@dataclass
class Credit:
    id: int = _attr("id")
    amount: Decimal = _elem("amount")
    memo: str = _elem("memo")


@dataclass
class Debit:
    id: int = _attr("id")
    account: str = _attr("account")
    amount: Decimal = _elem("amount")


@dataclass
class LedgerNote:
    id: int = _attr("id")
    text: str = field(metadata={"type": "Text"})


@dataclass
class Ledger:
    entries: list[Credit | Debit | LedgerNote] = field(
        default_factory=list,
        metadata={"choices": {"credit": Credit, "debit": Debit, "note": LedgerNote}},
    )


def interleaved_ledger(records, seed):
    """A ledger document of `records` entries of the three kinds in random
    order, and the Ledger it holds."""
    import random
    from xml.sax.saxutils import escape

    rng = random.Random(seed)
    parts, entries = [b"<ledger>"], []
    for i in range(1, records + 1):
        kind = rng.random()
        amount = Decimal(rng.randint(1, 999_999)) / 100
        if kind < 0.45:
            memo = rng.choice(["rent", "refund & fee", "salary", "interest <Q2>"])
            entries.append(Credit(i, amount, memo))
            parts.append(b'<credit id="%d"><amount>%s</amount><memo>%s</memo></credit>'
                         % (i, str(amount).encode(), escape(memo).encode()))
        elif kind < 0.9:
            account = f"ACC-{rng.randint(0, 9999):04d}"
            entries.append(Debit(i, account, amount))
            parts.append(b'<debit id="%d" account="%s"><amount>%s</amount></debit>'
                         % (i, account.encode(), str(amount).encode()))
        else:
            text = rng.choice(["checked", "month end", "see attachment"])
            entries.append(LedgerNote(i, text))
            parts.append(b'<note id="%d">%s</note>' % (i, text.encode()))
    parts.append(b"</ledger>")
    return b"".join(parts), Ledger(entries)
