"""Hostile documents end in a clean exception or a correct result, within bounds."""

import socket
from dataclasses import dataclass, field
from typing import Optional

import pytest
from test_files import outcomes, rss_bytes

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


def outcome(source, cls=Leaf):
    """The result of deserialize, or the ValueError's message."""
    try:
        return kestrix.deserialize(source, cls)
    except ValueError as error:
        return str(error)


def billion_laughs():  # nine levels of ten references each: 10**9 "lol"s
    levels = b"".join(b'<!ENTITY lol%d "%s">' % (i, b"&lol%s;" % (b"%d" % (i - 1) if i > 1 else b"") * 10)
                      for i in range(1, 10))
    return b'<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">' + levels + b"]><Leaf><name>&lol9;</name></Leaf>"


def quadratic_blowup():
    entity = b"x" * 100_000
    return (b'<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "' + entity + b'">]><Leaf><name>'
            + b"&a;" * 100_000 + b"</name></Leaf>")


@pytest.mark.parametrize("source", [billion_laughs, quadratic_blowup],
                         ids=["billion-laughs", "quadratic-blowup"])
@pytest.mark.parametrize("api", ["deserialize", "iterparse"])
def test_entity_expansion_bombs_are_refused(source, api):
    source = source()
    before = rss_bytes()
    with pytest.raises(ValueError, match="^XML reader error at position"):
        if api == "deserialize":
            kestrix.deserialize(source, Leaf)
        else:
            list(kestrix.iterparse(source, Leaf))
    assert rss_bytes() - before < 256 * 1024 * 1024


def test_external_entities_and_dtds_are_never_loaded(tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET-CONTENT")
    for subset in (f'<!ENTITY xxe SYSTEM "file://{secret}">', f'<!ENTITY % ext SYSTEM "file://{secret}">%ext;'):
        source = f'<!DOCTYPE Leaf [{subset}]><Leaf note="a"><name>before&xxe;after</name></Leaf>'.encode()
        assert "TOP-SECRET" not in repr(outcome(source))
    listener = socket.socket()  # a DTD on a server that would see any connection
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.setblocking(False)
    source = (f'<?xml version="1.0"?><!DOCTYPE Leaf SYSTEM "http://127.0.0.1:{listener.getsockname()[1]}/evil.dtd">'
              f'<Leaf id="3"><name>n</name></Leaf>').encode()
    try:
        assert outcome(source) == Leaf(id=3, name="n")
        assert [x.id for x in kestrix.iterparse(source, Leaf)] == [3]
        with pytest.raises(BlockingIOError):
            listener.accept()
    finally:
        listener.close()


# Built when run, not held for the whole session.
@pytest.mark.parametrize("source, cls, expected, megabytes", [
    (lambda: b'<Leaf id="1">' + b"<u>" * 1_000_000 + b"</u>" * 1_000_000 + b"<name>n</name></Leaf>", Leaf,
     lambda: Leaf(id=1, name="n"), 512),
    # the document, the gathered text and the str: a few copies, not more
    (lambda: b"<Leaf><name>" + b"a" * (100 << 20) + b"</name></Leaf>", Leaf, lambda: Leaf(name="a" * (100 << 20)),
     600),
    (lambda: f'<Leaf note="{"é" * 1_000_000}"/>'.encode(), Leaf, lambda: Leaf(note="é" * 1_000_000), 64),
], ids=["million-unknown-nested", "100-MB-text", "million-character-attribute"])
def test_huge_and_deep_documents(source, cls, expected, megabytes):
    source = source()
    before = rss_bytes()
    result = outcome(source, cls)
    assert rss_bytes() - before < megabytes * 1024 * 1024
    del source
    assert result == expected()


@pytest.mark.parametrize("source", [
    # each kind of byte the core's reader refuses is in its own tests
    b"<Le\xffaf/>", b'<Leaf note="\x80"/>', b"<Leaf><name>a\x00b</name></Leaf>", b'<Leaf note="a\x01"/>',
])
def test_invalid_bytes_are_reader_errors(source):
    assert outcome(source).startswith("XML reader error at position ")
    with pytest.raises(ValueError):
        list(kestrix.iterparse(source, Leaf))


SMALL = (b'<?xml version="1.0"?><!-- c --><Node><name>n &amp; m</name>'
         b'<leaf id="1" note="x&#65;"><name><![CDATA[<raw>]]></name></leaf>'
         b"<child><leaf id=\"2\"/></child></Node>")


# most cut documents hold no record, which a warning says
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
def test_truncated_at_every_offset_ends_cleanly():
    full = kestrix.deserialize(SMALL, Node)
    assert full.leaves[0].note == "xA" and full.leaves[0].name == "<raw>"
    for end in range(len(SMALL)):
        result = outcome(SMALL[:end], Node)
        assert isinstance(result, str), (end, result)
        outcomes(kestrix.iterparse(SMALL[:end], Leaf, "leaf"))  # ends, whatever each record gives
