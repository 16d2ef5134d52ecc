"""Many Python threads using the same classes at once: correct results, no crash."""

import io
import threading
from dataclasses import dataclass, field, make_dataclass

import pytest
from pydantic import BaseModel, Field

import kestrix


@dataclass
class Part:
    sku: str = field(metadata={"type": "Attribute"})
    qty: int = 0


@dataclass
class Box:
    id: int = field(metadata={"type": "Attribute"})
    parts: list[Part] = field(default_factory=list, metadata={"name": "part"})


class Crate(BaseModel):
    id: int = Field(json_schema_extra={"type": "Attribute"})
    label: str = ""


def run_threads(count, target):
    errors = []
    barrier = threading.Barrier(count)

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_deserialize_serialize_and_iterate_concurrently():
    def work(index):
        for round_ in range(200):
            box = Box(id=index * 1000 + round_, parts=[Part("a", round_), Part("b", index)])
            text = kestrix.serialize(box)
            assert kestrix.deserialize(text, Box) == box
            crate = kestrix.deserialize(b'<Crate id="%d"><label>x</label></Crate>' % round_, Crate)
            assert crate == Crate(id=round_, label="x")
            feed = b"<feed>" + text * 3 + b"</feed>"
            assert list(kestrix.iterparse(feed, Box)) == [box] * 3

    run_threads(8, work)


def test_first_compilation_races():
    # Fresh classes, compiled for the first time by many threads at once.
    for round_ in range(20):
        Inner = make_dataclass(
            "Inner", [("v", int, field(default=0, metadata={"type": "Attribute"}))])
        Outer = make_dataclass(
            "Outer", [("inner", Inner), ("items", list[Inner], field(default_factory=list,
                                                                    metadata={"name": "i"}))])
        source = b'<Outer><inner v="1"/><i v="2"/><i v="3"/></Outer>'
        results = []

        def work(index):
            results.append(kestrix.deserialize(source, Outer))

        run_threads(8, work)
        expected = Outer(inner=Inner(1), items=[Inner(2), Inner(3)])
        assert results == [expected] * 8


READERS = {
    "deserialize": lambda document: kestrix.deserialize(document, Box),
    "iterparse": lambda document: list(kestrix.iterparse(document, Part)),
    "iterload": lambda document: list(kestrix.iterload(io.BytesIO(document), Part)),
}


@pytest.mark.parametrize("read", READERS)
def test_large_documents_read_in_parallel_threads_give_what_one_thread_gives(read):
    # Documents well above the size from which they are read with the
    # interpreter lock released, different in each thread.
    read = READERS[read]
    documents = [kestrix.serialize(Box(id=k, parts=[Part(f"k{k}-{i}", i * k) for i in range(9000)]))
                 for k in range(4)]
    assert min(len(d) for d in documents) > 300 * 1024
    expected = [read(d) for d in documents]
    broken = documents[0][:-5000]  # cut inside a tag: a reader error, not a result
    with pytest.raises(ValueError, match="unclosed token"):
        read(broken)
    results = {}

    def work(index):
        for round_ in range(5):
            results[index, round_] = read(documents[index])
            with pytest.raises(ValueError, match="unclosed token"):
                read(broken)

    run_threads(4, work)
    assert all(results[k, r] == expected[k] for k in range(4) for r in range(5))


def test_an_iterator_advanced_from_two_threads_at_once():
    building, waited = threading.Event(), []

    @dataclass
    class Slow:
        n: int = field(metadata={"type": "Attribute"})

        def __post_init__(self):
            building.set()
            waited.append(done.wait(10))  # releases the interpreter lock

    done = threading.Event()
    records = kestrix.iterparse(b'<r><Slow n="1"/><Slow n="2"/></r>', Slow)

    def other():
        assert building.wait(10)
        with pytest.raises(RuntimeError, match="Already borrowed"):
            next(records)
        done.set()

    thread = threading.Thread(target=other)
    thread.start()
    first = next(records)
    thread.join()
    rest = list(records)
    assert waited == [True, True]  # before the comparison builds Slows of its own
    assert (first, rest) == (Slow(1), [Slow(2)])
