# bench/bench_dump_records.py: writing a stream of records, kestrix.dump_records against lxml.
"""Write a large document of Order records from a generator: time and peak memory.

Both routes take the same records from the same generator, which cycles over
a pool of generated orders (the benchmark's Order shape: attributes, a
customer, one to five items, decimals and a date) until the document reaches
``--megabytes`` (default 1024). Each route runs in a fresh interpreter and
reports its wall time and its peak resident size (``VmHWM``) above its size
once the pool is built:

kestrix  ``kestrix.dump_records(records, path, "Orders")``
lxml     ``lxml.etree.xmlfile(path)`` with ``xf.write(element)`` per record,
         the element built by a hand-written walker over the record

Then the kestrix file is read back with ``kestrix.iterload`` and compared
with the records, one by one (``--no-verify`` skips it). Output is a Markdown
table on standard output.
"""

import argparse
import datetime
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from decimal import Decimal

# The benchmark's dataclass models (models.py also declares the peers' models,
# which this script leaves unused).
from models import Customer, Item, Order, Status

POOL = 20000
NOTES = ["", "leave at the door", "gift wrap & card <urgent>", "call before delivery"]


def pool():
    rng = random.Random(20240501)
    orders = []
    for n in range(POOL):
        items = []
        for _ in range(rng.randint(1, 5)):
            qty, unit = rng.randint(1, 20), rng.randrange(50, 50000)
            items.append(Item(f"SKU-{rng.randrange(100000):05d}", qty, round(qty * unit / 100, 2),
                              Decimal(unit) / 100))
        name = rng.choice(["Ada", "Linus", "Grace", "Émile"]) + " " + rng.choice(["Lovelace", "Hopper"])
        orders.append(Order(n + 1, rng.choice(list(Status)),
                            Customer(rng.random() < 0.2, name, name.lower().replace(" ", ".") + "@example.com"),
                            items, sum((i.unit_price * i.qty for i in items), Decimal(0)), rng.choice(NOTES),
                            (datetime.date(2024, 1, 1)
                             + datetime.timedelta(days=rng.randrange(730))).isoformat()))
    return orders


def records(orders, count):
    for n in range(count):
        yield orders[n % POOL]


def run_kestrix(path, stream):
    import kestrix

    return kestrix.dump_records(stream, path, "Orders")


def run_lxml(path, stream):
    from lxml import etree

    element, sub = etree.Element, etree.SubElement
    count = 0
    with etree.xmlfile(path, encoding="utf-8") as xf, xf.element("Orders"):
        for order in stream:
            o = element("Order", id=str(order.id), status=order.status.value)
            c = sub(o, "Customer", vip="true" if order.customer.vip else "false")
            sub(c, "Name").text = order.customer.name
            sub(c, "Email").text = order.customer.email
            for item in order.items:
                i = sub(o, "Item", sku=item.sku, qty=str(item.qty))
                sub(i, "Price").text = repr(item.price)
                sub(i, "UnitPrice").text = str(item.unit_price)
            sub(o, "Total").text = str(order.total)
            sub(o, "Note").text = order.note
            sub(o, "Placed").text = order.placed
            xf.write(o)
            count += 1
    return count


ROUTES = {
    "kestrix": ("**kestrix `dump_records(records, path, \"Orders\")`**", run_kestrix),
    "lxml": ("lxml `etree.xmlfile` + hand-written walker", run_lxml),
}


def rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1024 / 1024


def child(route, path, count, verify):
    orders = pool()
    before = rss_mib()
    start = time.perf_counter()
    written = ROUTES[route][1](path, records(orders, count))
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as status:
        peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    result = {"seconds": seconds, "growth_mib": peak_kib / 1024 - before, "records": written,
              "bytes": os.path.getsize(path)}
    if verify:
        import kestrix

        start = time.perf_counter()
        read = 0
        for read, (got, want) in enumerate(zip(kestrix.iterload(path, Order), records(orders, count),
                                               strict=True), 1):
            if got != want:
                raise SystemExit(f"record {read - 1} differs: {got} != {want}")
        result["verified"] = read
        result["verify_seconds"] = time.perf_counter() - start
    print(json.dumps(result))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=int, default=1024)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--no-verify", action="store_true")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        path = os.path.join(args.dir, f"kestrix-dump-bench-{args.child}.xml")
        return child(args.child, path, args.count, args.child == "kestrix" and not args.no_verify)
    # The count of records that makes the document the size asked for.
    import kestrix

    probe = os.path.join(args.dir, "kestrix-dump-bench-probe.xml")
    orders = pool()
    kestrix.dump_records(orders, probe, "Orders")
    per_record = os.path.getsize(probe) / POOL
    os.unlink(probe)
    count = int(args.megabytes * 1024 * 1024 / per_record)
    del orders
    rows = []
    for route, (label, _) in ROUTES.items():
        print(f"running {route} ...", file=sys.stderr)
        command = [sys.executable, __file__, "--child", route, "--count", str(count), "--dir", args.dir]
        if args.no_verify:
            command.append("--no-verify")
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        rows.append((label, json.loads(out)))
        os.unlink(os.path.join(args.dir, f"kestrix-dump-bench-{route}.xml"))
    base = rows[1][1]["seconds"]
    print(f"| write {count:,} orders from a generator | MB | s | MB/s | x lxml | peak RSS growth MB |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, r in rows:
        mb = r["bytes"] / 1024 / 1024
        print(f"| {label} | {mb:,.0f} | {r['seconds']:.1f} | {mb / r['seconds']:.0f} "
              f"| {base / r['seconds']:.1f} | {r['growth_mib']:.1f} |")
    verified = rows[0][1].get("verified")
    if verified is not None:
        print(f"\nRead back with `kestrix.iterload`: {verified:,} records equal, one by one "
              f"({rows[0][1]['verify_seconds']:.1f} s).")


if __name__ == "__main__":
    main()
