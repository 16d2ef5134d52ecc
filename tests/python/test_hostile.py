"""Hostile documents end in a clean exception or a correct result, within bounds."""

import socket
import threading
from dataclasses import dataclass, field
from typing import Optional

import pytest

import kestrix


@dataclass
class Leaf:
    id: int = field(default=0, metadata={"type": "Attribute"})
    note: str = field(default="", metadata={"type": "Attribute"})
    name: str = ""


@dataclass
class Node:
    child: Optional["Node"] = None
    leaves: list[Leaf] = field(default_factory=list, metadata={"name": "leaf"})
    name: str = ""


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * 4096


def outcome(source, cls=Leaf):
    """The result of deserialize, or the ValueError's message."""
    try:
        return kestrix.deserialize(source, cls)
    except ValueError as error:
        return str(error)


BILLION_LAUGHS = b"""<?xml version="1.0"?>
<!DOCTYPE lolz [
 <!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
 <!ENTITY lol4 "&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;">
 <!ENTITY lol5 "&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;">
 <!ENTITY lol6 "&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;">
 <!ENTITY lol7 "&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;">
 <!ENTITY lol8 "&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;">
 <!ENTITY lol9 "&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;">
]>
<Leaf><name>&lol9;</name></Leaf>"""


def quadratic_blowup():
    entity = b"x" * 100_000
    return (b'<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "' + entity + b'">]><Leaf><name>'
            + b"&a;" * 100_000 + b"</name></Leaf>")


@pytest.mark.parametrize("source", [BILLION_LAUGHS, quadratic_blowup()],
                         ids=["billion-laughs", "quadratic-blowup"])
@pytest.mark.parametrize("api", ["deserialize", "iterparse"])
def test_entity_expansion_bombs_are_refused(source, api):
    before = rss_bytes()
    with pytest.raises(ValueError, match="^XML reader error at position"):
        if api == "deserialize":
            kestrix.deserialize(source, Leaf)
        else:
            list(kestrix.iterparse(source, Leaf))
    assert rss_bytes() - before < 256 * 1024 * 1024


def test_external_entity_is_never_loaded(tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET-CONTENT")
    source = (f'<?xml version="1.0"?><!DOCTYPE Leaf [<!ENTITY xxe SYSTEM "file://{secret}">]>'
              f'<Leaf note="a"><name>before&xxe;after</name></Leaf>').encode()
    result = outcome(source)
    assert "TOP-SECRET" not in repr(result)
    parameter = (f'<?xml version="1.0"?><!DOCTYPE Leaf [<!ENTITY % ext SYSTEM "file://{secret}">'
                 f"%ext;]><Leaf/>").encode()
    assert "TOP-SECRET" not in repr(outcome(parameter))


def test_remote_dtd_is_never_fetched():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(0.5)
    port = listener.getsockname()[1]
    connections = []

    def accept():
        try:
            connections.append(listener.accept())
        except OSError:
            pass

    thread = threading.Thread(target=accept)
    thread.start()
    source = (f'<?xml version="1.0"?><!DOCTYPE Leaf SYSTEM "http://127.0.0.1:{port}/evil.dtd">'
              f'<Leaf id="3"><name>n</name></Leaf>').encode()
    try:
        assert outcome(source) == Leaf(id=3, name="n")
        assert [x.id for x in kestrix.iterparse(source, Leaf)] == [3]
    finally:
        thread.join()
        listener.close()
    assert connections == []


def test_a_million_nested_unknown_elements():
    depth = 1_000_000
    source = b'<Leaf id="1">' + b"<u>" * depth + b"</u>" * depth + b"<name>n</name></Leaf>"
    before = rss_bytes()
    assert outcome(source) == Leaf(id=1, name="n")
    assert rss_bytes() - before < 512 * 1024 * 1024


def test_300_nested_class_elements_hit_the_depth_limit():
    source = b"<Node>" + b"<child>" * 299 + b"</child>" * 299 + b"</Node>"
    assert outcome(source, Node) == (
        "Maximum XML recursion depth exceeded: current 257 >= limit 256")


def test_a_100_mb_text_node():
    size = 100 * 1024 * 1024
    source = b"<Leaf><name>" + b"a" * size + b"</name></Leaf>"
    before = rss_bytes()
    leaf = kestrix.deserialize(source, Leaf)
    assert len(leaf.name) == size
    # the document, the gathered text and the str: a few copies, not more
    assert rss_bytes() - before < 6 * size
    del leaf


def test_an_attribute_of_a_million_characters():
    note = "é" * 1_000_000
    leaf = kestrix.deserialize(f'<Leaf note="{note}"/>'.encode(), Leaf)
    assert leaf.note == note


@pytest.mark.parametrize(
    "source",
    [
        b"<Le\xffaf/>",
        b'<Leaf bad\xfe="1"/>',
        b"<Leaf><name>a\xc3</name></Leaf>",
        b"<Leaf><name>\xed\xa0\x80</name></Leaf>",  # an encoded surrogate
        b'<Leaf note="\x80"/>',
        b"<Leaf><name>a\x00b</name></Leaf>",
        b"<Leaf>\x00</Leaf>",
        b'<Leaf note="a\x01"/>',
    ],
)
def test_invalid_bytes_are_reader_errors(source):
    assert outcome(source).startswith("XML reader error at position ")
    with pytest.raises(ValueError):
        list(kestrix.iterparse(source, Leaf))


SMALL = (b'<?xml version="1.0"?><!-- c --><Node><name>n &amp; m</name>'
         b'<leaf id="1" note="x&#65;"><name><![CDATA[<raw>]]></name></leaf>'
         b"<child><leaf id=\"2\"/></child></Node>")


def test_truncated_at_every_offset_ends_cleanly():
    full = kestrix.deserialize(SMALL, Node)
    assert full.leaves[0].note == "xA" and full.leaves[0].name == "<raw>"
    for end in range(len(SMALL)):
        result = outcome(SMALL[:end], Node)
        assert isinstance(result, str), (end, result)
        list_outcome = []
        it = kestrix.iterparse(SMALL[:end], Leaf, "leaf")
        while True:
            try:
                list_outcome.append(next(it))
            except StopIteration:
                break
            except ValueError:
                continue
