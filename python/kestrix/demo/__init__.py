"""A short tour of kestrix on a bundled order feed (``python -m kestrix demo``)."""

from __future__ import annotations

import textwrap
import time
import xml.etree.ElementTree as ElementTree
from importlib import resources

from .. import _kestrix
from .models import Order, OrderFeed

BROKEN_FEED = b"""<OrderFeed>
  <Order id="1" status="pending"><line sku="A"><qty>1</qty><price>1.00</price></line></Order>
  <Order id="2" status="pending"><line sku="B"><qty>two</qty><price>2.00</price></line></Order>
  <Order id="3" status="shipped"><line sku="C"><qty>3</qty><price>3.00</price></line></Order>
</OrderFeed>"""


def sample() -> bytes:
    return resources.files(__package__).joinpath("orders.xml").read_bytes()


def big_feed(document: bytes, copies: int) -> bytes:
    """The sample's orders repeated `copies` times inside one feed."""
    start = document.index(b"<Order ")
    end = document.rindex(b"</OrderFeed>")
    return b'<OrderFeed source="bench">' + document[start:end] * copies + b"</OrderFeed>"


def best_of(repeat: int, function, *args) -> float:  # type: ignore[no-untyped-def]
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        function(*args)
        best = min(best, time.perf_counter() - started)
    return best


def run() -> int:
    document = sample()
    say = print

    say(f"kestrix {_kestrix.version()} demo\n")
    say(f"1. deserialize(orders.xml, OrderFeed): {len(document)} bytes")
    feed = _kestrix.deserialize(document, OrderFeed)
    say(f"   source={feed.source!r}, {len(feed.orders)} orders")
    for order in feed.orders[:2]:
        say(textwrap.indent(textwrap.fill(repr(order), 100), "   "))
    first = feed.orders[0]
    say(f"   first order: status {first.status}, total {first.total!r}, "
        f"{sum(line.quantity for line in first.lines)} items, customer VIP: {first.customer.vip}")

    say("\n2. serialize(order, indent=2):")
    say(textwrap.indent(_kestrix.serialize(feed.orders[1], indent=2).decode(), "   "))

    say("\n3. iterparse(orders.xml, Order): one object per <Order>, however large the file")
    for order in _kestrix.iterparse(document, Order):
        say(f"   order {order.id}: {order.status.value:<9} {len(order.lines)} lines, total {order.total}")

    say("\n4. A broken record raises a clear error, and the stream goes on:")
    stream = _kestrix.iterparse(BROKEN_FEED, Order)
    while True:
        try:
            order = next(stream)
        except StopIteration:
            break
        except ValueError as error:
            say(f"   ValueError: {error}")
            continue
        say(f"   order {order.id}: ok")

    copies = 3000
    big = big_feed(document, copies)
    say(f"\n5. Speed on a {len(big) / 1e6:.1f} MB feed of {3 * copies} orders (best of 5):")
    kestrix_time = best_of(5, _kestrix.deserialize, big, OrderFeed)
    etree_time = best_of(5, ElementTree.fromstring, big)
    say(f"   kestrix.deserialize into typed dataclasses: {kestrix_time * 1e3:8.1f} ms")
    say(f"   ElementTree.fromstring, untyped tree only:  {etree_time * 1e3:8.1f} ms")
    say(f"   kestrix takes {kestrix_time / etree_time:.2f}x the time ElementTree needs "
        "just to build its tree")
    return 0
