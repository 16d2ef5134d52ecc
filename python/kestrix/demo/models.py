"""Sample models of the demo: an order feed, as dataclasses.

Field metadata tells kestrix where each value stands in the XML: "type" is
"Attribute", "Text" or (the default) an element; "name" is the XML name when
it differs from the Python attribute name.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Optional


class Status(enum.Enum):
    PENDING = "pending"
    SHIPPED = "shipped"
    DELIVERED = "delivered"


@dataclass
class Customer:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    email: str = ""
    vip: bool = field(default=False, metadata={"type": "Attribute"})


@dataclass
class Line:
    sku: str = field(metadata={"type": "Attribute"})
    quantity: int = field(metadata={"name": "qty"})
    unit_price: Decimal = field(metadata={"name": "price"})
    description: str = ""


@dataclass
class Order:
    id: int = field(metadata={"type": "Attribute"})
    status: Status = field(metadata={"type": "Attribute"})
    placed: str = ""
    customer: Optional[Customer] = None
    lines: list[Line] = field(default_factory=list, metadata={"name": "line"})
    total: Decimal = Decimal("0")
    note: Optional[str] = None


@dataclass
class OrderFeed:
    source: str = field(default="", metadata={"type": "Attribute"})
    orders: list[Order] = field(default_factory=list, metadata={"name": "Order"})
