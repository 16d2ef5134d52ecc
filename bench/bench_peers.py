# bench/bench_peers.py: times kestrix against ElementTree, lxml, xmltodict, pydantic-xml and plain construction.
"""kestrix against its peers, all in one process on one generated document.

Three sections (``--only`` picks one):

deserialize  bytes -> objects (and two untyped parsers for scale), the same
             objects built in Python from the document's texts, and two
             threads deserializing at once against one thread doing both
serialize    objects -> bytes
stream       iterparse of the Order records
order        a ledger of entries of three kinds interleaved (as many entries
             as records): a choice field and iterparse over the three classes

Every case runs once first and its result is checked against the objects
built from ready Python values (the floor); a case that fails its check is
reported and not timed. Then every case is timed ``--repeat`` times with the
garbage collector on (the interpreter's defaults), then again with it off,
with only its own inputs alive. Each sample starts after a full collection;
freeing the result is not timed. Cases that measure parallelism are timed on
the wall clock whatever ``--clock`` says (CPU time adds up the threads).
Output is Markdown on standard output, progress on standard error.
"""

import argparse
import gc
import io
import os
import pickle
import platform
import statistics
import sys
import threading
import time
import xml.etree.ElementTree as ET
from decimal import Decimal
from importlib import metadata

import lxml.etree as LET
import xmltodict

import models as M
from generate import generate_with_texts

try:
    import kestrix

    KESTRIX_MISSING = None
except Exception as exc:  # an unbuilt or half-built extension must not stop the peer rows
    kestrix = None  # type: ignore[assignment]
    KESTRIX_MISSING = f"kestrix not importable: {type(exc).__name__}: {exc}"


class Skip(Exception):
    """A case that cannot run in this build (for example a function not implemented yet)."""


def need_kestrix():
    if kestrix is None:
        raise Skip(KESTRIX_MISSING)
    return kestrix


# --- hand binders and tree builders: the straightforward code a user writes ---


def bind_order(e, Order=M.Order, Customer=M.Customer, Item=M.Item, Status=M.Status):
    """One <Order> element (ElementTree or lxml) into the dataclasses."""
    c = e.find("Customer")
    return Order(
        int(e.get("id")),
        Status(e.get("status")),
        Customer(c.get("vip") in ("true", "1"), c.findtext("Name"), c.findtext("Email")),
        [
            Item(i.get("sku"), int(i.get("qty")), float(i.findtext("Price")), Decimal(i.findtext("UnitPrice")))
            for i in e.iterfind("Item")
        ],
        Decimal(e.findtext("Total")),
        e.findtext("Note"),
        e.findtext("Placed"),
    )


def bind_orders(root):
    return M.Orders([bind_order(e) for e in root.iterfind("Order")])


def build_tree(orders, Element, SubElement):
    """The element tree of a dataclass Orders graph, for ElementTree or lxml."""
    root = Element("Orders")
    for o in orders.orders:
        oe = SubElement(root, "Order", id=str(o.id), status=o.status.value)
        c = o.customer
        ce = SubElement(oe, "Customer", vip="true" if c.vip else "false")
        SubElement(ce, "Name").text = c.name
        SubElement(ce, "Email").text = c.email
        for it in o.items:
            ie = SubElement(oe, "Item", sku=it.sku, qty=str(it.qty))
            SubElement(ie, "Price").text = repr(it.price)
            SubElement(ie, "UnitPrice").text = str(it.unit_price)
        SubElement(oe, "Total").text = str(o.total)
        SubElement(oe, "Note").text = o.note
        SubElement(oe, "Placed").text = o.placed
    return root


def et_stream(doc):
    out = []
    for _, el in ET.iterparse(io.BytesIO(doc), events=("end",)):
        if el.tag == "Order":
            out.append(bind_order(el))
            el.clear()
    return out


def lxml_stream(doc):
    out = []
    for _, el in LET.iterparse(io.BytesIO(doc), events=("end",), tag="Order"):
        out.append(bind_order(el))
        el.clear()
    return out


# --- checks: each takes the result and the reference objects --------------------


def short(x, n=300):
    s = repr(x)
    return s if len(s) <= n else s[:n] + "..."


def same_orders(got, want):
    """Raise AssertionError naming the first record that differs."""
    if got == want:
        return
    if type(got) is not type(want):
        raise AssertionError(f"result is {type(got).__name__}, expected {type(want).__name__}")
    g = got if isinstance(got, list) else got.orders
    w = want if isinstance(want, list) else want.orders
    if len(g) != len(w):
        raise AssertionError(f"{len(g)} records, expected {len(w)}")
    for k, (a, b) in enumerate(zip(g, w)):
        if a != b:
            raise AssertionError(f"record {k} differs:\n  got      {short(a)}\n  expected {short(b)}")
    raise AssertionError("results differ")


def is_dc(r, refs):
    same_orders(r, refs.dc)


def is_pd(r, refs):
    same_orders(r, refs.pd)


def is_dc_pair(r, refs):
    if len(r) != 2:
        raise AssertionError(f"{len(r)} results, expected 2")
    for one in r:
        same_orders(one, refs.dc)


def is_dc_list(r, refs):
    same_orders(r, refs.dc.orders)


def is_pd_list(r, refs):
    same_orders(r, refs.pd.orders)


def is_pd_plain(r, refs):
    same_orders(M.as_plain(r)["orders"], M.as_plain(refs.pd)["orders"])


def has_records(root, refs):
    if len(root) != len(refs.dc.orders):
        raise AssertionError(f"{len(root)} records, expected {len(refs.dc.orders)}")


def is_xml_of_dc(out, refs):
    """Serialized output read back with the hand binder must give the floor's objects."""
    if not isinstance(out, bytes):
        raise AssertionError(f"output is {type(out).__name__}, expected bytes")
    same_orders(bind_orders(ET.fromstring(out)), refs.dc)


class Refs:
    """The floor's objects, built on first use and dropped before any timing."""

    def __init__(self, data):
        self.data = data
        self._dc = self._pd = None

    @property
    def dc(self):
        if self._dc is None:
            self._dc = M.build_dataclasses(self.data.values())
        return self._dc

    @property
    def pd(self):
        if self._pd is None:
            self._pd = M.build_pydantic(self.data.values())
        return self._pd


# --- cases ----------------------------------------------------------------------
# A case's `make` builds its inputs and returns the callable to time. It runs
# once for the check and once for the timing, so that while a case is timed
# only its own inputs are alive: with the collector on, a full collection walks
# every live object, and other cases' object graphs would inflate every row.


class Data:
    """The document (bytes, invisible to the collector), its ready values and its texts, kept pickled."""

    def __init__(self, records, seed):
        doc, values, texts = generate_with_texts(records, seed)
        self.doc = doc
        self._values = pickle.dumps(values, protocol=pickle.HIGHEST_PROTOCOL)
        self._texts = pickle.dumps(texts, protocol=pickle.HIGHEST_PROTOCOL)

    def values(self):
        return pickle.loads(self._values)

    def texts(self):
        return pickle.loads(self._texts)


class Case:
    def __init__(self, key, label, make, check, clock=None):
        self.key, self.label, self.make, self.check = key, label, make, check
        self.clock = clock  # a key of CLOCKS that overrides --clock, or None
        self.status = None  # None when timed, else the reason it was not
        self.times = {}  # "on"/"off" -> list of seconds


def kestrix_call(name, *args, **kwargs):
    fn = getattr(need_kestrix(), name)
    return lambda: fn(*args, **kwargs)


def is_dc_namespaced(r, refs):
    if type(r) is not M.NsOrders:
        raise AssertionError(f"result is {type(r).__name__}, expected NsOrders")
    same_orders(M.Orders(r.orders), refs.dc)


def namespaced(doc):
    """The document with a default namespace on its root, and the class declared for it."""
    k = need_kestrix()
    if not hasattr(k, "xml_element"):
        raise Skip("kestrix.xml_element not in this build")
    cls = k.xml_element("Orders", namespace=M.NS_URI)(M.NsOrders)
    return doc.replace(b"<Orders>", b'<Orders xmlns="%s">' % M.NS_URI.encode(), 1), cls


def generated_orders():
    """The Orders class `kestrix generate` writes from bench/orders.xsd (dataclasses)."""
    need_kestrix()
    try:
        from kestrix.generate import generate, load_module
    except ImportError:
        raise Skip("kestrix.generate (with load_module) not in this build") from None
    import tempfile

    folder = tempfile.mkdtemp()
    path = generate([os.path.join(os.path.dirname(os.path.abspath(__file__)), "orders.xsd")],
                    os.path.join(folder, "generated_orders.py")).path
    return load_module(path).Orders


def is_dc_generated(r, refs):
    """Generated classes hold the same values as the hand-written ones."""
    orders = [M.Order(o.id, M.Status(o.status.value), M.Customer(o.customer.vip, o.customer.name, o.customer.email),
                      [M.Item(i.sku, i.qty, i.price, i.unit_price) for i in o.item], o.total, o.note, o.placed)
              for o in r.order]
    same_orders(M.Orders(orders), refs.dc)


def in_threads(calls):
    """Runs each call in a thread of its own, all at once; their results in order."""
    results = [None] * len(calls)
    errors = []

    def run(k, call):
        try:
            results[k] = call()
        except BaseException as exc:  # noqa: BLE001 - raised again below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(k, c)) for k, c in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def deserialize_cases(data):
    doc = data.doc

    def kxns():
        ns_doc, cls = namespaced(doc)
        return kestrix_call("deserialize", ns_doc, cls)

    def floor():
        v = data.values()
        return lambda: M.build_dataclasses(v)

    def pfloor():
        v = data.values()
        return lambda: M.build_pydantic(v)

    def loop():
        t = data.texts()
        return lambda: M.build_from_texts(t)

    def kx2seq():
        fn = need_kestrix().deserialize
        return lambda: [fn(doc, M.Orders), fn(doc, M.Orders)]

    def kx2thr():
        fn = need_kestrix().deserialize
        call = lambda: fn(doc, M.Orders)  # noqa: E731
        return lambda: in_threads([call, call])

    return [
        Case("floor", "floor: dataclasses from ready values", floor, is_dc),
        Case("pfloor", "floor: pydantic `Model(**kwargs)` from ready values", pfloor, is_pd),
        Case("loop", "Python loop from the document's texts (no XML reading)", loop, is_dc),
        Case("et", "ElementTree `fromstring` (untyped)", lambda: lambda: ET.fromstring(doc), has_records),
        Case("etbind", "ElementTree `fromstring` + hand binder", lambda: lambda: bind_orders(ET.fromstring(doc)),
             is_dc),
        Case("xtd", "xmltodict `parse` (untyped)", lambda: lambda: xmltodict.parse(doc)["Orders"]["Order"],
             has_records),
        Case("lxml", "lxml `fromstring` (untyped)", lambda: lambda: LET.fromstring(doc), has_records),
        Case("lxmlbind", "lxml `fromstring` + hand binder", lambda: lambda: bind_orders(LET.fromstring(doc)),
             is_dc),
        Case("pxml", "pydantic-xml `from_xml`", lambda: lambda: M.XOrders.from_xml(doc), is_pd_plain),
        Case("kx", "**kestrix `deserialize` -> dataclasses**", lambda: kestrix_call("deserialize", doc, M.Orders),
             is_dc),
        Case("kxp", "**kestrix `deserialize` -> pydantic**", lambda: kestrix_call("deserialize", doc, M.POrders),
             is_pd),
        Case("kxns", "kestrix `deserialize`, default namespace -> dataclasses", kxns, is_dc_namespaced),
        Case("kxgen", "kestrix `deserialize` -> dataclasses generated from orders.xsd",
             lambda: kestrix_call("deserialize", doc, generated_orders()), is_dc_generated),
        Case("kx2seq", "kestrix `deserialize` twice, one thread (wall clock)", kx2seq, is_dc_pair, "wall"),
        Case("kx2thr", "kestrix `deserialize` once in each of two threads at once (wall clock)", kx2thr,
             is_dc_pair, "wall"),
    ]


DESERIALIZE_RATIOS = [
    # label, numerator, denominator, target operator, target: a number (judged
    # with the collector on) or {mode: number} for the modes it is judged in
    ("kestrix / floor (dataclasses)", "kx", "floor", "<=", 2.5),
    ("kestrix / Python loop from texts (dataclasses)", "kx", "loop", "<=", {"on": 1.0, "off": 1.5}),
    ("kestrix / ElementTree `fromstring` (dataclasses)", "kx", "et", "<=", 0.5),
    ("kestrix / lxml `fromstring` (dataclasses)", "kx", "lxml", "<=", 1.0),
    ("(ElementTree + binder) / kestrix (dataclasses)", "etbind", "kx", ">=", 5.0),
    ("(lxml + binder) / kestrix (dataclasses)", "lxmlbind", "kx", ">=", 4.0),
    ("kestrix / pydantic floor (pydantic)", "kxp", "pfloor", "<=", 1.3),
    ("pydantic-xml / kestrix (pydantic)", "pxml", "kxp", ">=", 10.0),
    ("kestrix namespaced / kestrix plain (dataclasses)", "kxns", "kx", "<=", 1.15),
    ("generated / hand-written models (dataclasses)", "kxgen", "kx", "<=", 1.1),
    ("two threads' throughput / one thread's (dataclasses)", "kx2seq", "kx2thr", ">=", 1.25),
]


def serialize_cases(data):
    def et():
        obj = M.build_dataclasses(data.values())
        return lambda: ET.tostring(build_tree(obj, ET.Element, ET.SubElement), encoding="utf-8",
                                   xml_declaration=False)

    def lxml():
        obj = M.build_dataclasses(data.values())
        return lambda: LET.tostring(build_tree(obj, LET.Element, LET.SubElement), encoding="utf-8")

    def pxml():
        obj = M.build_pydantic_xml(data.values())
        return lambda: obj.to_xml()

    def kx():
        return kestrix_call("serialize", M.build_dataclasses(data.values()))

    def kxp():
        return kestrix_call("serialize", M.build_pydantic(data.values()))

    return [
        Case("et", "ElementTree: tree built by hand + `tostring`", et, is_xml_of_dc),
        Case("lxml", "lxml: tree built by hand + `tostring`", lxml, is_xml_of_dc),
        Case("pxml", "pydantic-xml `to_xml`", pxml, is_xml_of_dc),
        Case("kx", "**kestrix `serialize` <- dataclasses**", kx, is_xml_of_dc),
        Case("kxp", "**kestrix `serialize` <- pydantic**", kxp, is_xml_of_dc),
    ]


SERIALIZE_RATIOS = [
    ("ElementTree route / kestrix (dataclasses)", "et", "kx", ">=", 6.0),
    ("lxml route / kestrix (dataclasses)", "lxml", "kx", None, None),
    ("pydantic-xml / kestrix (pydantic)", "pxml", "kxp", ">=", 10.0),
]


def stream_cases(data):
    doc = data.doc

    def kx():
        it = need_kestrix().iterparse
        return lambda: list(it(doc, M.Order))

    def kxp():
        it = need_kestrix().iterparse
        return lambda: list(it(doc, M.POrder, tag="Order"))

    return [
        Case("et", "ElementTree `iterparse` + hand binder + `clear()`", lambda: lambda: et_stream(doc), is_dc_list),
        Case("lxml", "lxml `iterparse` + hand binder + `clear()`", lambda: lambda: lxml_stream(doc), is_dc_list),
        Case("kx", "**kestrix `iterparse` -> dataclasses**", kx, is_dc_list),
        Case("kxp", "**kestrix `iterparse` -> pydantic**", kxp, is_pd_list),
    ]


STREAM_RATIOS = [
    ("ElementTree route / kestrix (dataclasses)", "et", "kx", ">=", 2.5),
    ("lxml route / kestrix (dataclasses)", "lxml", "kx", None, None),
    ("kestrix pydantic / kestrix dataclasses", "kxp", "kx", None, None),
]


def bind_ledger(root, Ledger=M.Ledger, Credit=M.Credit, Debit=M.Debit, Note=M.LedgerNote):
    """A <ledger> element (lxml) into the dataclasses, each entry by its tag, in order."""
    entries = []
    for e in root:
        tag = e.tag
        if tag == "credit":
            entries.append(Credit(int(e.get("id")), Decimal(e.findtext("amount")), e.findtext("memo")))
        elif tag == "debit":
            entries.append(Debit(int(e.get("id")), e.get("account"), Decimal(e.findtext("amount"))))
        elif tag == "note":
            entries.append(Note(int(e.get("id")), e.text or ""))
    return Ledger(entries)


def lxml_ledger_stream(doc, Credit=M.Credit, Debit=M.Debit, Note=M.LedgerNote):
    out = []
    for _, e in LET.iterparse(io.BytesIO(doc), events=("end",), tag=("credit", "debit", "note")):
        tag = e.tag
        if tag == "credit":
            out.append(Credit(int(e.get("id")), Decimal(e.findtext("amount")), e.findtext("memo")))
        elif tag == "debit":
            out.append(Debit(int(e.get("id")), e.get("account"), Decimal(e.findtext("amount"))))
        else:
            out.append(Note(int(e.get("id")), e.text or ""))
        e.clear()
    return out


def order_cases(doc, ledger):
    """Entries of three kinds interleaved: a choice field keeps their order."""

    def same(r, refs):
        got = r if isinstance(r, list) else r.entries
        if got != ledger.entries:
            raise AssertionError("entries differ from the generated ledger")

    kinds = (M.Credit, M.Debit, M.LedgerNote)
    tags = ("credit", "debit", "note")
    return [
        Case("lxmlbind", "lxml `fromstring` + hand binder by tag", lambda: lambda: bind_ledger(LET.fromstring(doc)),
             same),
        Case("kx", "**kestrix `deserialize` -> choice field**", lambda: kestrix_call("deserialize", doc, M.Ledger),
             same),
        Case("lxmlstream", "lxml `iterparse` (three tags) + hand binder + `clear()`",
             lambda: lambda: lxml_ledger_stream(doc), same),
        Case("kxstream", "**kestrix `iterparse` over the three classes**",
             lambda: lambda: list(need_kestrix().iterparse(doc, kinds, tags)), same),
    ]


ORDER_RATIOS = [
    ("(lxml + binder) / kestrix (interleaved kinds)", "lxmlbind", "kx", ">=", 4.0),
    ("(lxml iterparse + binder) / kestrix iterparse (interleaved kinds)", "lxmlstream", "kxstream", None, None),
]


# --- running and reporting ------------------------------------------------------


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def check_case(case, refs):
    try:
        result = case.make()()
        case.check(result, refs)
    except Skip as exc:
        case.status = f"skipped: {exc}"
    except NotImplementedError as exc:
        case.status = f"skipped: not implemented in this build ({exc})"
    except AssertionError as exc:
        case.status = f"FAILED check: {exc}"
    except Exception as exc:
        case.status = f"FAILED: {type(exc).__name__}: {exc}"
    log(f"  check {case.key:9} {case.status or 'ok'}")


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCKS["wall"]


def time_case(fn, repeat, collector_on, clock):
    times = []
    for _ in range(repeat):
        gc.collect()
        if not collector_on:
            gc.disable()
        try:
            t0 = clock()
            result = fn()
            t1 = clock()
        finally:
            gc.enable()
        del result
        times.append(t1 - t0)
    return times


def fmt_ms(seconds):
    return f"{seconds * 1000:,.1f}"


def stats(case, mode):
    t = case.times.get(mode)
    return (min(t), statistics.median(t)) if t else None


def case_table(cases, mode, base_key):
    base = next((c for c in cases if c.key == base_key), None)
    base_stats = stats(base, mode) if base else None
    if base is None:
        lines = ["| case | best ms | median ms |", "|---|---:|---:|"]
    else:
        lines = ["| case | best ms | median ms | best / floor |", "|---|---:|---:|---:|"]
    notes = []
    for c in cases:
        s = stats(c, mode)
        if s is None:
            word = "failed" if c.status.startswith("FAILED") else "skipped"
            notes.append(f"{len(notes) + 1}. {c.label}: {c.status}")
            lines.append(f"| {c.label} | {word} [{len(notes)}] | – |" + (" – |" if base else ""))
            continue
        row = f"| {c.label} | {fmt_ms(s[0])} | {fmt_ms(s[1])} |"
        if base is not None:
            row += f" {s[0] / base_stats[0]:.2f}x |" if base_stats else " – |"
        lines.append(row)
    if notes:
        lines += [""] + notes
    return lines


def ratio_table(cases, mode, ratios):
    by_key = {c.key: c for c in cases}
    lines = ["| ratio | best | median | target | met (best / median) |", "|---|---:|---:|---:|---|"]
    verdicts = []
    for label, num, den, op, targets in ratios:
        target = targets.get(mode) if isinstance(targets, dict) else targets
        judged = op is not None and target is not None and (isinstance(targets, dict) or mode == "on")
        a, b = stats(by_key[num], mode), stats(by_key[den], mode)
        tgt = f"{op} {target:g}" if op and target is not None else "–"
        if a is None or b is None:
            lines.append(f"| {label} | n/a | n/a | {tgt} | n/a |")
            continue
        r_best, r_med = a[0] / b[0], a[1] / b[1]
        met = "–"
        if op and target is not None:
            ok = [(r <= target) if op == "<=" else (r >= target) for r in (r_best, r_med)]
            met = " / ".join("yes" if x else "**no**" for x in ok)
            if judged:
                verdicts.append((label if mode == "on" else f"{label}, collector off", ok[0]))
        lines.append(f"| {label} | {r_best:.2f}x | {r_med:.2f}x | {tgt} | {met} |")
    return lines, verdicts


def run_section(title, cases, ratios, base_key, repeat, data):
    log(f"{title}: checking")
    refs = Refs(data)
    for c in cases:
        check_case(c, refs)
    del refs
    for c in cases:
        if c.status is not None:
            continue
        fn = c.make()
        for mode, on in (("on", True), ("off", False)):
            c.times[mode] = time_case(fn, repeat, on, CLOCKS[c.clock] if c.clock else clock)
            log(f"  {title} {c.key:9} collector {mode:3}: best {fmt_ms(min(c.times[mode]))} ms")
        del fn
    out = [f"## {title}", ""]
    all_verdicts = []
    for mode, name in (("on", "garbage collector on (default settings)"), ("off", "garbage collector disabled")):
        out += [f"### {title}, {name}", ""]
        out += case_table(cases, mode, base_key)
        if ratios:
            lines, verdicts = ratio_table(cases, mode, ratios)
            out += [""] + lines
            all_verdicts += verdicts
        out.append("")
    failed = [c for c in cases if c.status and c.status.startswith("FAILED")]
    return out, all_verdicts, failed


def versions():
    names = ["lxml", "xmltodict", "pydantic", "pydantic-core", "pydantic-xml"]
    parts = []
    for n in names:
        try:
            parts.append(f"{n} {metadata.version(n)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{n} ?")
    kx = f"kestrix {kestrix.version()} from {kestrix.__file__}" if kestrix is not None else "kestrix (not importable)"
    return f"Python {platform.python_version()} ({platform.machine()}), {kx}, " + ", ".join(parts)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Benchmark kestrix against its peers (Markdown on stdout).")
    ap.add_argument("--records", type=int, default=20000, help="order records in the document (default 20000)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per case and collector mode (default 5)")
    ap.add_argument("--only", choices=["deserialize", "serialize", "stream", "order"],
                    help="run one section only")
    ap.add_argument("--cases", help="comma-separated case keys to run (default: all), e.g. kx,kxns")
    ap.add_argument("--seed", type=int, default=20240501, help="seed of the document generator")
    ap.add_argument("--clock", choices=sorted(CLOCKS), default="wall",
                    help="wall time (default), or the process's CPU time, steadier on a busy machine")
    args = ap.parse_args(argv)
    global clock
    clock = CLOCKS[args.clock]
    if args.repeat < 1 or args.records < 1:
        ap.error("--records and --repeat must be at least 1")

    log(f"generating {args.records} records")
    data = Data(args.records, args.seed)
    gc.collect()

    print(f"# kestrix peer benchmark: {args.records:,} order records, {len(data.doc) / 1e6:.1f} MB of XML")
    print()
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"{versions()}.")
    print()
    print(f"Best and median of {args.repeat} runs per case ({args.clock} clock), each after a full collection, "
          f"with only the case's own inputs alive; {os.cpu_count()} CPUs, load average {load} at start.")
    if KESTRIX_MISSING:
        print()
        print(f"Note: {KESTRIX_MISSING}")
    print()

    sections = []
    if args.only in (None, "deserialize"):
        sections.append(("Deserialize", deserialize_cases(data), DESERIALIZE_RATIOS, "floor"))
    if args.only in (None, "serialize"):
        sections.append(("Serialize", serialize_cases(data), SERIALIZE_RATIOS, None))
    if args.only in (None, "stream"):
        sections.append(("Stream", stream_cases(data), STREAM_RATIOS, None))
    if args.only in (None, "order"):
        ledger_doc, ledger = M.interleaved_ledger(args.records, args.seed)
        sections.append(("Document order", order_cases(ledger_doc, ledger), ORDER_RATIOS, None))

    if args.cases:
        keep = set(args.cases.split(","))
        sections = [(title, [c for c in cases if c.key in keep],
                     [r for r in ratios if r[1] in keep and r[2] in keep], base if base in keep else None)
                    for title, cases, ratios, base in sections]

    verdicts, failures = [], []
    for title, cases, ratios, base in sections:
        lines, v, f = run_section(title, cases, ratios, base, args.repeat, data)
        print("\n".join(lines), flush=True)
        verdicts += [(f"{title}: {label}", ok) for label, ok in v]
        failures += [(title, c) for c in f]

    if verdicts:
        print("## Targets (garbage collector on unless said, best of runs)")
        print()
        for label, ok in verdicts:
            print(f"- {'met' if ok else '**missed**'}: {label}")
        print()
    for title, c in failures:
        print(f"- {title}: {c.label}: {c.status}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
