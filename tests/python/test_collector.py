"""The cyclic collector is paused while a result graph is built, and left as the caller had it."""

import gc
import io
import threading
from dataclasses import dataclass, field

import pytest

import kestrix

ATTR = {"type": "Attribute"}
seen = []  # gc.isenabled() as constructors saw it


@pytest.fixture(autouse=True)
def collector_enabled():
    seen.clear()
    gc.enable()
    yield
    gc.enable()


@dataclass
class Probe:
    n: int = field(metadata=ATTR)

    def __post_init__(self):
        seen.append(gc.isenabled())
        if self.n < 0:
            raise RuntimeError("refused")


@dataclass
class Feed:
    probes: list[Probe] = field(default_factory=list, metadata={"name": "Probe"})


GOOD = b'<Feed><Probe n="1"/><Probe n="2"/></Feed>'
READS = {
    "deserialize": lambda doc: kestrix.deserialize(doc, Feed),
    "iterparse": lambda doc: list(kestrix.iterparse(doc, Probe)),
    "iterload": lambda doc: list(kestrix.iterload(io.BytesIO(doc), Probe)),
}
OUTCOMES = {  # document, exception
    "success": (GOOD, None),
    "malformed document": (b'<Feed><Probe n="1"/><Probe n="2"></Feed>', ValueError),
    "bad scalar": (b'<Feed><Probe n="1"/><Probe n="x"/></Feed>', ValueError),
    "raising constructor": (b'<Feed><Probe n="1"/><Probe n="-1"/></Feed>', RuntimeError),
}


def read(how, doc, error=None):
    if error is None:
        return READS[how](doc)
    with pytest.raises(error):
        READS[how](doc)


@pytest.mark.parametrize("outcome", OUTCOMES)
@pytest.mark.parametrize("how", READS)
@pytest.mark.parametrize("enabled", [True, False])
def test_paused_during_build_and_restored_on_every_path(how, outcome, enabled):
    if not enabled:
        gc.disable()
    read(how, *OUTCOMES[outcome])
    assert not any(seen)  # paused, and never enabled while building
    assert gc.isenabled() is enabled


@pytest.mark.parametrize("calls, left_enabled", [((gc.enable,), True), ((gc.enable, gc.disable), False)])
def test_a_constructor_that_changes_the_collector_has_the_last_word(calls, left_enabled):
    @dataclass
    class Switch:
        n: int = field(metadata=ATTR)

        def __post_init__(self):
            for call in calls:
                call()

    gc.disable()
    kestrix.deserialize(b'<Switch n="1"/>', Switch)
    assert gc.isenabled() is left_enabled


@dataclass
class Outer:
    inner: Feed = field(metadata={"name": "Feed"})

    def __post_init__(self):
        # A constructor that reads a document of its own.
        self.extra = kestrix.deserialize(GOOD, Feed)
        seen.append(gc.isenabled())


def test_reentrant_build_keeps_the_pause_until_the_outer_build_ends():
    outer = kestrix.deserialize(b"<Outer>" + GOOD + b"</Outer>", Outer)
    assert outer.extra == outer.inner
    assert seen and not any(seen)
    assert gc.isenabled()


def test_overlapping_builds_in_two_threads():
    first_building, second_done = threading.Event(), threading.Event()
    outcome = {}

    @dataclass
    class Slow:
        n: int = field(metadata=ATTR)

        def __post_init__(self):
            first_building.set()
            outcome["waited"] = second_done.wait(10)  # releases the interpreter lock

    def first():
        outcome["first"] = kestrix.deserialize(b'<Slow n="1"/>', Slow)

    def second():
        assert first_building.wait(10)
        outcome["second"] = kestrix.deserialize(GOOD, Feed)
        outcome["during first"] = gc.isenabled()  # the first build is still running
        second_done.set()

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == [False, False] and gc.isenabled()  # before the comparison's own Probes
    assert outcome == {"first": Slow(1), "second": Feed([Probe(1), Probe(2)]), "waited": True,
                       "during first": False}
