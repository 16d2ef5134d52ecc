"""load, iterload and dump: every kind of source and target, streams of any size."""

import concurrent.futures
import functools
import io
import mmap
import os
import random
import re
import subprocess
import sys
import threading
from dataclasses import dataclass, field
from importlib import resources

import pytest

import kestrix
from kestrix.demo.models import Order, OrderFeed

SAMPLE = resources.files("kestrix.demo").joinpath("orders.xml").read_bytes()
FEED = kestrix.deserialize(SAMPLE, OrderFeed)


@pytest.fixture()
def sample(tmp_path):
    path = tmp_path / "orders.xml"
    path.write_bytes(SAMPLE)
    return path


def pipe_of(data):
    """The read end of a pipe that another process fills."""
    writer = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdout.buffer.write(sys.stdin.buffer.read())"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    threading.Thread(target=lambda: (writer.stdin.write(data), writer.stdin.close()), daemon=True).start()
    return writer.stdout


def mmap_of(path):
    with open(path, "rb") as handle:
        return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)


SOURCES = {
    "str path": lambda path: str(path),
    "PathLike": lambda path: path,
    "binary file": lambda path: open(path, "rb"),
    "BytesIO": lambda path: io.BytesIO(path.read_bytes()),
    "pipe": lambda path: pipe_of(path.read_bytes()),  # read() of any length, no seek
    "bytes": lambda path: path.read_bytes(),
    "bytearray": lambda path: bytearray(path.read_bytes()),
    "memoryview": lambda path: memoryview(path.read_bytes()),
    "mmap": mmap_of,
}


@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_kind(sample, kind):
    assert kestrix.load(SOURCES[kind](sample), OrderFeed) == FEED
    assert list(kestrix.iterload(SOURCES[kind](sample), Order)) == FEED.orders


def test_a_file_opened_from_a_path_is_closed_at_the_end(sample, monkeypatch):
    opened = []
    real_open = open
    monkeypatch.setattr("builtins.open", lambda *a, **k: opened.append(real_open(*a, **k)) or opened[-1])
    records = kestrix.iterload(sample, Order)
    next(records)
    assert not opened[0].closed
    list(records)
    assert opened[0].closed
    del records
    kestrix.iterload(str(sample), Order)  # released unread: closed on release
    assert opened[1].closed


class TextLike:
    def read(self, size):
        return "<Order/>"


@pytest.mark.parametrize("call, error, message", [
    (lambda path: kestrix.load(open(path), OrderFeed), TypeError, r"binary mode \('rb"),
    (lambda path: kestrix.iterload(open(path), Order), TypeError, r"binary mode \('rb"),
    (lambda path: kestrix.dump(FEED, open(path.with_suffix(".out"), "w")), TypeError, r"binary mode \('rb"),
    (lambda path: next(kestrix.iterload(TextLike(), Order)), TypeError, r"binary mode \('rb"),  # read() gives str
    (lambda path: kestrix.load(path.with_name("nope.xml"), OrderFeed), FileNotFoundError, "nope.xml"),
    (lambda path: kestrix.iterload(str(path.with_name("nope.xml")), Order), FileNotFoundError, "nope.xml"),
    (lambda path: kestrix.load("<OrderFeed/>", OrderFeed), FileNotFoundError, r"<OrderFeed/>.* text\.encode\(\)"),
    (lambda path: kestrix.load(42, OrderFeed), TypeError, "path, a binary file object or a bytes-like object"),
    (lambda path: next(kestrix.iterload(type("Bad", (), {"read": lambda self, n: 42})(), Order)), TypeError,
     r"read\(\) must return bytes"),
])
def test_wrong_sources_and_targets(sample, call, error, message):
    with pytest.raises(error) as info:
        call(sample)
    assert re.search(message, " ".join([str(info.value), *getattr(info.value, "__notes__", [])]))


@pytest.mark.parametrize("indent", [None, 2])
def test_dump_to_a_path(tmp_path, indent):  # to a file object: test_writing
    assert kestrix.dump(FEED, tmp_path / "out.xml", indent=indent) is None
    assert (tmp_path / "out.xml").read_bytes() == kestrix.serialize(FEED, indent)
    assert kestrix.load(tmp_path / "out.xml", OrderFeed) == FEED


def test_dump_leaves_the_target_untouched_when_writing_fails(tmp_path):
    path = tmp_path / "kept.xml"
    path.write_bytes(b"old")
    with pytest.raises(ValueError, match="indent"):
        kestrix.dump(FEED, path, indent=5000)
    assert path.read_bytes() == b"old"


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""


class Trickle(io.RawIOBase):
    """A stream that returns at most a few bytes per read, at random lengths (seed None: one byte)."""

    def __init__(self, data, seed):
        self.data, self.at, self.random = data, 0, seed is not None and random.Random(seed)

    def readable(self):
        return True

    def read(self, size=-1):
        n = min(size, self.random.randint(1, 7) if self.random else 1)
        piece = self.data[self.at:self.at + n]
        self.at += len(piece)
        return piece


def outcomes(records, limit=100_000):
    """The records, and (message, notes) of each ValueError, until the iterator stops."""
    out = []
    while len(out) <= limit:
        try:
            out.append(next(records))
        except StopIteration:
            return out
        except ValueError as error:
            out.append((str(error), error.__notes__))
    raise AssertionError("the iterator never stopped")


PADDING = "<!--" + "." * 600 + "-->"  # past the first bytes, which are read whole


@pytest.mark.parametrize("document", [
    b'<w><Item id="1"><name>a&amp;b</name></Item>\n<Item id="x"/><Item id="3"/></w>',
    b'<w><Item id="1"/><Item id="2"><name>cut',
    b'<w><Item id="1"/></x><Item id="3"/></w>',
    b'<!DOCTYPE w [<!ENTITY e "<Item id=\'9\'/>">]><w>&e;<Item id="1"><Item id="2"/></Item></w>',
    # line ends, references, sections and characters of several bytes cut anywhere
    "<w>\r\n<Item id='1'><name>\u00e9&#x20AC;\r\n]]<![CDATA[\U0001F600\r]]></name></Item>\r\n"
    "<Item id='2' id='3'/></w>".encode(),
    b'<w><Item id="1"/></w>\r\n<?pi ok?><w/>',
    b'<w><Item id="1"/><![CDATA[</w>',
])
def test_streams_give_what_iterparse_gives_at_any_chunk_boundary(document):
    start = document.index(b"<w")  # (documents in UTF-16: test_encoded_reading)
    document = document[:start] + PADDING.encode() + document[start:]
    expected = outcomes(kestrix.iterparse(document, Item))
    for seed in (None, 0, 1, 2):
        assert outcomes(kestrix.iterload(Trickle(document, seed), Item)) == expected


def test_many_files_with_a_process_pool(tmp_path):
    paths = [tmp_path / f"feed-{i:02}.xml" for i in range(12)]
    for i, path in enumerate(paths):
        path.write_bytes(SAMPLE.replace(b"shop.example", b"shop-%d" % i))
    load = functools.partial(kestrix.load, cls=OrderFeed)  # one file in, one bound feed out
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        assert list(pool.map(load, paths, chunksize=3)) == list(map(load, paths))


@dataclass
class Reading:
    sensor: int = field(metadata={"type": "Attribute"})
    value: float = 0.0
    comment: str = ""


class GeneratedFeed(io.RawIOBase):
    """A document of `size` bytes made on the fly: never held whole anywhere."""

    RECORD = (b'<Reading sensor="7"><value>21.5</value><comment>' + b"ok " * 3000
              + b'</comment><skipped>' + b"<x>y</x>" * 200 + b"</skipped></Reading>\n")

    def __init__(self, size, on_read):
        self.left, self.on_read = size, on_read
        self.head, self.tail = b"<feed>", b"</feed>"
        self.block = self.RECORD * (256 * 1024 // len(self.RECORD) + 1)

    def readable(self):
        return True

    def read(self, size=-1):
        self.on_read()
        if self.head:
            out, self.head = self.head, b""
            return out
        if self.left <= 0:
            out, self.tail = self.tail, b""
            return out
        out = self.block[:size] if size < len(self.block) else self.block
        out = out[:out.rfind(b"\n") + 1] or out  # whole records only, to count them
        self.left -= len(out)
        return out


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="AddressSanitizer holds freed memory in quarantine")
def test_a_stream_larger_than_memory_allows_stays_small():
    peak = [0]
    source = GeneratedFeed(500 * 1024 * 1024, lambda: peak.__setitem__(0, max(peak[0], rss_bytes())))
    records = kestrix.iterload(source, Reading)
    first = next(records)
    before = rss_bytes()
    count = 1 + sum(1 for _ in records)
    assert first.value == 21.5 and len(first.comment) == 9000
    assert count * len(GeneratedFeed.RECORD) >= 500 * 1024 * 1024
    assert peak[0] - before < 64 * 1024 * 1024, (before, peak[0])
