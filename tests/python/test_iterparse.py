"""iterparse: records streamed out of a document, one bound object per call."""

import ctypes
import gc
import io
import sys
from dataclasses import dataclass, field
from typing import List

import pytest

import kestrix


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""
    children: List["Item"] = field(default_factory=list, metadata={"name": "Item"})

    def __post_init__(self):
        if self.id < 0:
            raise LookupError(f"no negative ids: {self.id}")


def outcomes(records, limit=10_000):
    """Every outcome of the iterator, `limit` at most: ids, or (error type, message)."""
    out = []
    while len(out) < limit:
        try:
            out.append(next(records).id)
        except StopIteration:
            return out
        except Exception as error:
            out.append((type(error).__name__, *error.args))
    raise AssertionError(f"more than {limit} outcomes: {out[-3:]}")


PARSE = ("ValueError", "Scalar parse error for field 'id': expected integer, got 'x'")
EOF_ERROR = ("ValueError", "Schema error: Unexpected end of XML stream")
DEPTH_ERROR = ("ValueError", "Maximum XML recursion depth exceeded: current 257 >= limit 256")


# documents without records are warned about (see test_model_warnings.py)
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
@pytest.mark.parametrize("source, tag, expected", [
    # the default tag is the class name, matched on the local name only
    (b'<r><Item id="1"/><p:Item id="2"/><item id="3"/></r>', None, [1, 2]),
    # a tag with a colon is compared with each name's part after its first colon
    (b'<r><p:item id="1"/><x:p:item id="2"/></r>', "p:item", [2]),
    # at any depth; a match inside a match belongs to the outer record
    (b'<a><Item id="1"/><b><c><Item id="2"/></c></b></a>', None, [1, 2]),
    (b'<r><Item id="1"><Item id="2"/></Item><Item id="3"/></r>', None, [1, 3]),
    (b'<Item id="9"/>', None, [9]),
    (b"<r><other/></r>", None, []),
    (b'<r><Item id="1"/><wrapper>', None, [1, EOF_ERROR]),  # cut short outside any record
    (b"<w>" * 400 + b'<Item id="1"/>' + b"</w>" * 400, None, [1]),  # depth counts per record
    # an error stays with its record; the rest of that record is scanned on
    (b'<r><Item id="1"/><Item id="x"/><Item id="3"/></r>', None, [1, PARSE, 3]),
    (b'<r><Item id="x"><Item id="2"/></Item><Item id="3"/></r>', None, [PARSE, 2, 3]),
    (b'<r><Item id="1"/><Item id="2"><name>cut', None, [1, EOF_ERROR]),
    (b'<r><Item id="1">' + b'<Item id="2">' * 256 + b"</Item>" * 257 + b'<Item id="3"/></r>',
     None, [DEPTH_ERROR, 3]),
    # a constructor's exception passes through as it is, and iteration goes on
    (b'<r><Item id="1"/><Item id="-2"/><Item id="3"/></r>', None,
     [1, ("LookupError", "no negative ids: -2"), 3]),
    # malformed markup: raised once, at the record that reaches it, then the end
    (b'<r><Item id="1"/><Item id="2"></wrong><Item id="3"/></r>', None,
     [1, ("ValueError", "XML reader error at position 32: mismatched tag")]),
])
def test_records_and_errors(source, tag, expected):
    assert outcomes(kestrix.iterparse(source, Item, tag)) == expected


def test_records_bind_like_documents_then_stop_for_good():
    it = kestrix.iterparse(
        b'<r><Item id="1" name="attr-ignored"><junk><name>x</name></junk><name>kept</name>'
        b'<Item id="2"/></Item><Item id="3"/></r>', Item)
    assert iter(it) is it
    assert [(x.id, x.name, [c.id for c in x.children]) for x in it] == [(1, "kept", [2]), (3, "", [])]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_the_document_is_copied():
    source = bytes(b'<r><Item id="1"/><Item id="2"/></r>')
    it = kestrix.iterparse(source, Item)
    # Overwrite the bytes object's own buffer: the iterator must not see it.
    ctypes.memmove(id(source) + sys.getsizeof(b"") - 1, b'<r><Item id="7"/>', 17)
    assert b'id="7"' in source
    del source
    gc.collect()
    assert [x.id for x in it] == [1, 2]


def test_class_is_compiled_before_reading():
    class Broken:
        model_fields = ["not", "a", "dict"]

    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        kestrix.iterparse(b"<<< not xml", Broken)


@pytest.mark.parametrize("call, message", [(next, "Already borrowed"),
                                           (iter, "Already mutably borrowed")])
def test_reentry_from_a_constructor_is_refused(call, message):
    seen = []

    @dataclass
    class Node:
        id: int = field(metadata={"type": "Attribute"})

        def __post_init__(self):
            try:
                call(stream)
            except RuntimeError as error:
                seen.append(str(error))

    stream = kestrix.iterparse(b'<r><Node id="1"/><Node id="2"/></r>', Node)
    assert [n.id for n in stream] == [1, 2]
    assert seen == [message, message]


def test_outcomes_keep_their_order_over_many_records():
    # Enough records, bad ones among them, for the scan to run well ahead of the
    # records handed out; a reader error at the end stops it. iterload agrees.
    parts = [b'<Item id="x"/>' if n % 97 == 5 else b'<Item id="%d"><name>%s</name></Item>' % (n, b"n" * (n % 700))
             for n in range(3000)]
    document = b"<feed>" + b"".join(parts) + b'<Item id="1"></feed>'
    found = outcomes(kestrix.iterparse(document, Item))
    assert found[:-1] == [PARSE if n % 97 == 5 else n for n in range(3000)]
    assert found[-1][1].startswith("XML reader error")
    assert outcomes(kestrix.iterload(io.BytesIO(document), Item)) == found
