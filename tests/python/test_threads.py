"""Many Python threads using the same classes at once: correct results, no crash."""

import io
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import pytest

import kestrix


@dataclass
class Part:
    sku: str = field(metadata={"type": "Attribute"})
    qty: int = 0


@dataclass
class Box:
    id: int = field(metadata={"type": "Attribute"})
    parts: list[Part] = field(default_factory=list, metadata={"name": "part"})


READERS = {
    "deserialize": lambda document: kestrix.deserialize(document, Box),
    "iterparse": lambda document: list(kestrix.iterparse(document, Part, tag="part")),
    "iterload": lambda document: list(kestrix.iterload(io.BytesIO(document), Part, tag="part")),
}


@pytest.mark.parametrize("read", READERS)
def test_threads_give_what_one_thread_gives(read):
    # Each thread writes and reads its own large document (read with the
    # interpreter lock released), a small one (read holding it) and a broken one.
    read = READERS[read]
    boxes = [Box(id=k, parts=[Part(f"k{k}-{i}", i * k) for i in range(9000)]) for k in range(4)]
    documents = [kestrix.serialize(box) for box in boxes]
    assert min(len(d) for d in documents) > 300 * 1024
    small = [kestrix.serialize(Box(id=k, parts=[Part("a", k)])) for k in range(4)]
    expected = [(read(documents[k]), read(small[k])) for k in range(4)]
    broken = documents[0][:-5000]  # cut inside a tag: a reader error, not a result
    results, barrier = {}, threading.Barrier(4)

    def work(index):
        barrier.wait()
        for round_ in range(5):
            assert kestrix.serialize(boxes[index]) == documents[index]
            results[index, round_] = (read(documents[index]), read(small[index]))
            with pytest.raises(ValueError, match="unclosed token"):
                read(broken)

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(work, range(4)))  # raises what a thread raised
    assert all(results[k, r] == expected[k] for k in range(4) for r in range(5))

