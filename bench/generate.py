# bench/generate.py: deterministic order documents for the benchmark, with the same data as ready Python values.
"""Generate the benchmark document.

``generate(records, seed)`` returns ``(document, values)``: the XML bytes and
the same records as ready Python values (the tuples that ``models.build_*``
take), so the floors never depend on any parser. ``generate_with_texts`` adds
the records' texts: the same tuples holding, in place of each value, the UTF-8
bytes of its text as the document carries it once unescaped (what any XML
reader hands a binder), for the floor that converts texts without reading XML.
The same arguments always give the same bytes.

Run as a script to write a document to a file::

    python bench/generate.py --records 20000 -o orders.xml
"""

import argparse
import datetime
import random
import sys
from decimal import Decimal

from models import Status

_FIRST = ["Ada", "Bruno", "Chloé", "Dmitri", "Eve", "Farah", "Grégoire", "Hana", "Ivo", "Józef", "Kai", "Lena"]
_LAST = ["Lovelace", "Martin", "Nakamura", "O'Brien", "Petrov", "Quinn", "Rossi", "Søndergaard", "Tanaka", "Ueda"]
_NOTES = [
    "Leave at the front door",
    "Fragile & heavy: two people needed",
    "Use the <rear> entrance",
    'Ring "twice", then wait',
    "Gift wrap, no invoice in the box",
    "Deliver after 18:00 — ask for Zoë",
    "   padded with spaces   ",
    "Call ahead; dog on premises",
]
_STATUSES = list(Status)
_EPOCH = datetime.date(2023, 1, 1)


def _esc_text(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _esc_attr(s):
    return _esc_text(s).replace('"', "&quot;")


def _cents(c):
    return Decimal(f"{c // 100}.{c % 100:02d}")


def generate(records=20000, seed=20240501):
    """Return ``(document bytes, list of record tuples)``."""
    doc, values, _ = generate_with_texts(records, seed)
    return doc, values


def _b(s):
    return s.encode("utf-8")


def generate_with_texts(records=20000, seed=20240501):
    """Return ``(document bytes, list of record tuples, list of record text tuples)``."""
    rng = random.Random(seed)
    values = []
    texts = []
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<Orders>\n']
    out = parts.append
    for n in range(records):
        oid = n + 1
        status = rng.choice(_STATUSES)
        first, last = rng.choice(_FIRST), rng.choice(_LAST)
        name = f"{first} {last}"
        email = f"{first}.{last}{rng.randrange(1000)}@example.com".lower().replace("'", "")
        vip = rng.random() < 0.2
        items = []
        total_cents = 0
        for _ in range(rng.randint(1, 5)):
            sku = f"SKU-{rng.randrange(100000):05d}"
            qty = rng.randint(1, 20)
            unit_cents = rng.randrange(50, 50000)
            total_cents += qty * unit_cents
            # the line price as a float of two decimals; repr gives back its text
            price = round(qty * unit_cents / 100, 2)
            items.append((sku, qty, price, _cents(unit_cents)))
        total = _cents(total_cents)
        note = rng.choice(_NOTES)
        placed = (_EPOCH + datetime.timedelta(days=rng.randrange(730))).isoformat()
        values.append((oid, status, (vip, name, email), items, total, note, placed))
        texts.append((
            _b(str(oid)), _b(status.value), (b"true" if vip else b"false", _b(name), _b(email)),
            [(_b(sku), _b(str(qty)), _b(repr(price)), _b(str(unit))) for sku, qty, price, unit in items],
            _b(str(total)), _b(note), _b(placed),
        ))

        out(f'<Order id="{oid}" status="{_esc_attr(status.value)}">')
        out(f'<Customer vip="{"true" if vip else "false"}">')
        out(f"<Name>{_esc_text(name)}</Name><Email>{_esc_text(email)}</Email></Customer>")
        for sku, qty, price, unit in items:
            out(f'<Item sku="{_esc_attr(sku)}" qty="{qty}">')
            out(f"<Price>{price!r}</Price><UnitPrice>{unit}</UnitPrice></Item>")
        out(f"<Total>{total}</Total><Note>{_esc_text(note)}</Note><Placed>{placed}</Placed>")
        out("</Order>\n")
    out("</Orders>\n")
    return "".join(parts).encode("utf-8"), values, texts


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=20240501)
    ap.add_argument("-o", "--output", default="-", help="file to write, - for standard output")
    args = ap.parse_args(argv)
    doc, _ = generate(args.records, args.seed)
    if args.output == "-":
        sys.stdout.buffer.write(doc)
    else:
        with open(args.output, "wb") as f:
            f.write(doc)


if __name__ == "__main__":
    main()
