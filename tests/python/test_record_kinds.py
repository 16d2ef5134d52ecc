"""iterparse and iterload over several classes at once: the records of every
kind come in document order, each bound to the class whose tag selects it."""

from dataclasses import dataclass, field

import pytest
from test_files import PADDING, Trickle

import kestrix
from kestrix import iterload, iterparse, xml_element

ATTR = {"type": "Attribute"}
FEED = "urn:example:feed"


@dataclass
class Credit:
    amount: int = field(metadata=ATTR)


@xml_element("debit")
@dataclass
class Debit:
    amount: int = field(metadata=ATTR)
    memo: str = ""


@xml_element("note", namespace=FEED)
@dataclass
class Note:
    text: str = field(default="", metadata={"type": "Text"})


LEDGER = (b'<ledger><Credit amount="1"/><batch><debit amount="2"><memo>rent</memo></debit>'
          b'<Credit amount="3"/></batch><other amount="9"/><debit amount="4"/></ledger>')
EXPECTED = [("Credit", 1), ("debit", 2), ("Credit", 3), ("debit", 4)]


def kinds(records):
    return [("Credit" if isinstance(r, Credit) else "debit", r.amount) for r in records]


@pytest.mark.parametrize("read", [
    lambda classes, tag: iterparse(LEDGER, classes, tag),
    lambda classes, tag: iterload(Trickle(PADDING.encode() + LEDGER, 0), classes, tag),  # records cross reads
], ids=["iterparse", "iterload"])
def test_records_of_every_kind_in_document_order(read):
    records = list(read((Credit, Debit), ("Credit", None)))
    assert [type(r) for r in records] == [Credit, Debit, Credit, Debit]
    assert kinds(records) == EXPECTED and records[1].memo == "rent"
    # the order of the classes does not change the order of the records
    assert kinds(read((Debit, Credit), (None, "Credit"))) == EXPECTED


@pytest.mark.parametrize("classes, tag, expected", [
    # one tag for every class: the first class takes what it selects
    ((Debit, Credit), "debit", [("debit", 2), ("debit", 4)]),
    # a tag that selects an element holding others: those belong to its record
    ((Credit, Debit), ("batch", "debit"), [("Credit", None), ("debit", 4)]),
])
def test_tags_choose_the_records(classes, tag, expected):
    records = list(iterparse(LEDGER.replace(b"<batch>", b'<batch amount="0">'), classes, tag))
    got = kinds(records)
    assert [k for k, _ in got] == [k for k, _ in expected]
    assert got[-1] == expected[-1]


def test_namespace_aware_and_plain_kinds_mix():
    document = (b'<f:feed xmlns:f="urn:example:feed"><f:note>a</f:note><Credit amount="5"/>'
                b'<note>not in the namespace</note><f:note>b</f:note></f:feed>')
    assert list(iterparse(document, (Note, Credit))) == [Note("a"), Credit(5), Note("b")]


def test_a_failing_record_leaves_the_others():
    records = iterparse(b'<l><Credit amount="x"/><debit amount="2"/></l>', (Credit, Debit))
    with pytest.raises(ValueError, match="amount"):
        next(records)
    assert list(records) == [Debit(2)]


@pytest.mark.parametrize("classes, tag, error, message", [
    ((), None, TypeError, "at least one class"),
    ((Credit, "Debit"), None, TypeError, "'str' object is not an instance of 'type'"),
    ((Credit, Debit), ("Credit",), ValueError, "tag gives 1 tags for 2 classes"),
    ((Credit, Debit), ("Credit", 3), TypeError, "'int' object is not an instance of 'str'"),
    (Credit, ("Credit",), TypeError, "'tuple' object is not an instance of 'str'"),
])
def test_malformed_arguments_fail_at_the_call(classes, tag, error, message):
    with pytest.raises(error, match=message):
        iterparse(LEDGER, classes, tag)


def test_no_record_warns_with_every_tag():
    with pytest.warns(kestrix.ModelWarning, match="no <Credit> or <debit> element found"):
        assert list(iterparse(b"<ledger><x/></ledger>", (Credit, Debit))) == []
