# bench/bench_stream.py: streaming a file larger than is comfortable to hold, kestrix against lxml.
"""Stream the Order records of a large generated file: time and peak memory.

The file (``--megabytes``, default 1024) repeats the benchmark's generated
orders; it is written once to ``--file`` (default: a file in the temporary
directory, reused when it already has the right size). Each route runs in a
fresh interpreter that reads the file, binds every record to the benchmark's
dataclasses and drops it, and reports its wall time, its resident size once
its imports are done and its peak resident size (``VmHWM``):

kestrix  ``kestrix.iterload(path, Order)``
lxml     ``lxml.etree.iterparse(path, tag="Order")`` + the hand binder, clearing
         each element and the ones before it (the usual idiom)

Output is a Markdown table on standard output.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def write_file(path, megabytes):
    from generate import generate

    doc, _ = generate(20000)
    start = doc.index(b"<Orders>\n") + len(b"<Orders>\n")
    head, body, tail = doc[:start], doc[start:doc.rindex(b"</Orders>")], b"</Orders>\n"
    copies = max(1, megabytes * 1024 * 1024 // len(body))
    size = len(head) + copies * len(body) + len(tail)
    if os.path.exists(path) and os.path.getsize(path) == size:
        return copies
    with open(path, "wb") as out:
        out.write(head)
        for _ in range(copies):
            out.write(body)
        out.write(tail)
    return copies


def run_kestrix(path):
    import kestrix
    from models import Order

    count = 0
    for order in kestrix.iterload(path, Order):
        count += len(order.items)
    return count


def run_lxml(path):
    import lxml.etree as LET
    from bench_peers import bind_order

    count = 0
    for _, element in LET.iterparse(path, events=("end",), tag="Order"):
        count += len(bind_order(element).items)
        element.clear()
        while element.getprevious() is not None:
            del element.getparent()[0]
    return count


ROUTES = {
    "kestrix": ("**kestrix `iterload(path, Order)`**", run_kestrix),
    "lxml": ("lxml `iterparse(path)` + hand binder + `clear()`", run_lxml),
}


def rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1024 / 1024


def child(route, path):
    sys.path.insert(0, HERE)
    import bench_peers  # noqa: F401 - both routes start from the same imports

    before = rss_mib()
    start = time.perf_counter()
    count = ROUTES[route][1](path)
    seconds = time.perf_counter() - start
    # VmHWM, not ru_maxrss: the latter keeps the parent's peak across exec.
    with open("/proc/self/status") as status:
        peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    print(json.dumps({"seconds": seconds, "before_mib": before, "peak_mib": peak_kib / 1024,
                      "items": count}))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=int, default=1024)
    ap.add_argument("--file", default=os.path.join(tempfile.gettempdir(), "kestrix-stream-bench.xml"))
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        return child(args.child, args.file)
    sys.path.insert(0, HERE)
    print(f"writing {args.file} ...", file=sys.stderr)
    copies = write_file(args.file, args.megabytes)
    size = os.path.getsize(args.file) / 1024 / 1024
    rows = []
    for route, (label, _) in ROUTES.items():
        print(f"running {route} ...", file=sys.stderr)
        out = subprocess.run([sys.executable, __file__, "--child", route, "--file", args.file],
                             capture_output=True, text=True, check=True).stdout
        rows.append((label, json.loads(out)))
    if len({r["items"] for _, r in rows}) != 1:
        raise SystemExit(f"the routes disagree: {rows}")
    print(f"| stream a {size:,.0f} MB file ({copies * 20000:,} orders) | s | MB/s "
          "| RSS before MB | peak RSS MB |")
    print("|---|---:|---:|---:|---:|")
    for label, r in rows:
        print(f"| {label} | {r['seconds']:.1f} | {size / r['seconds']:.0f} "
              f"| {r['before_mib']:.0f} | {r['peak_mib']:.0f} |")


if __name__ == "__main__":
    main()
