"""Mistakes in models and documents: ModelWarning, and the notes on model errors."""

import io
import types
import warnings
from dataclasses import dataclass, field
from decimal import Decimal

import pydantic
import pytest

import kestrix
from kestrix import ModelWarning


@dataclass
class Line:
    sku: str = field(metadata={"type": "Attribute"})
    quantity: int = field(metadata={"name": "qty"})
    price: Decimal = Decimal(0)


@dataclass
class Prices:
    amounts: list[Decimal] = field(default_factory=list, metadata={"name": "amount"})
    unit: Decimal = field(default=Decimal(1), metadata={"type": "Attribute"})


class Checked(pydantic.BaseModel):
    n: int = pydantic.Field(json_schema_extra={"type": "Attribute"})
    # keys of the JSON schema share the mapping and are no mistake
    label: str = pydantic.Field("", json_schema_extra={"examples": ["a"], "title": "Label"})

    @pydantic.field_validator("n")
    @classmethod
    def positive(cls, value):
        if value < 1:
            raise ValueError("n must be positive")
        return value


# Each class below is compiled by one row only: a class warns when first compiled.
class Forgotten:  # no @dataclass
    x: int


@dataclass
class Misspelt:
    sku: str = field(default="", metadata={"type": "Attrib"})


@dataclass
class Miskeyed:
    quantity: int = field(default=0, metadata={"nmae": "qty"})


@dataclass
class Media:
    mime_type: str = field(default="", metadata={"name": "MimeType"})


FEED = b'<feed>\n  <line sku="A"><qty>1</qty></line>\n</feed>'
NO_LINE = ("no <Line> element found; elements near the top of the document: <feed>, <line>, <qty>"
           " (did you mean tag=line?)")


@pytest.mark.parametrize("call, result, message", [
    (lambda: kestrix.deserialize(b'<Forgotten x="1"/>', Forgotten), Forgotten,
     "Forgotten is neither a dataclass nor a pydantic-style model (it has no"
     " __dataclass_fields__ or model_fields): it binds no field and is written as an empty"
     " element; did you forget @dataclass?"),
    (lambda: kestrix.deserialize(b'<Misspelt><sku>A</sku></Misspelt>', Misspelt), Misspelt("A"),
     "Misspelt.sku: metadata \"type\" is 'Attrib', which is none of 'Attribute', 'Text',"
     " 'Element', 'Wildcard': the field is read and written as a child element;"
     " did you mean 'Attribute'?"),
    (lambda: kestrix.deserialize(b"<Miskeyed/>", Miskeyed), Miskeyed(0),
     "Miskeyed.quantity: metadata key 'nmae' is not one kestrix reads; did you mean 'name'?"),
    (lambda: kestrix.deserialize(b"<Media><mime-type>a/b</mime-type></Media>", Media), Media(),
     "the document element <Media> filled no field of Media, though it has child elements"
     " <mime-type>; Media reads <MimeType> (did you mean 'mime-type' for 'MimeType'? set the"
     " field's metadata \"name\")"),
    (lambda: list(kestrix.iterparse(FEED, Line)), [], NO_LINE),
    (lambda: list(kestrix.iterload(io.BytesIO(FEED), Line)), [], NO_LINE),
    (lambda: list(kestrix.iterparse(b"", Line)), [],
     "no <Line> element found; the document holds no elements"),
])
def test_mistakes_warn_without_changing_results(call, result, message):
    with pytest.raises(ModelWarning) as info:  # the suite runs with -W error::ModelWarning
        call()
    assert str(info.value) == message
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = call()
    assert [str(w.message) for w in caught] == [message]
    assert caught[0].filename == __file__  # attributed to the caller's line
    assert isinstance(got, result) if isinstance(result, type) else got == result


@pytest.mark.parametrize("call", [
    lambda: kestrix.deserialize(b'<Checked n="2"><label>x</label></Checked>', Checked),
    lambda: list(kestrix.iterparse(b'<r><Line sku="A"><qty>x</qty></Line></r>', Line)),  # a failed record
    lambda: kestrix.deserialize(b"<Prices/>", Prices),  # an element with nothing to bind
])
def test_correct_use_gives_no_warning(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            call()
        except ValueError:
            pass


DOC_TYPO = b'<Line sku="B">\n  <qyt>2</qyt><price>2</price></Line>'
TYPO_NOTES = ["required field 'quantity' of Line: no element <qty> was found;"
              " <Line> has attributes sku and child elements <qyt>, <price>",
              "at line 1, column 1 (start tag of <Line>)"]


def records(source, cls, tag=None, stream=False):
    it = kestrix.iterload(io.BytesIO(source), cls, tag) if stream else kestrix.iterparse(
        source, cls, tag)
    return next(it)


@pytest.mark.parametrize("call, error, notes", [
    # a required field no element filled: what it looked for, what the element had
    (lambda: kestrix.deserialize(DOC_TYPO, Line), TypeError, TYPO_NOTES),
    (lambda: records(b"<r>\n" + DOC_TYPO + b"</r>", Line), TypeError,
     [TYPO_NOTES[0], "at line 2, column 1 (start tag of <Line>)"]),
    # a stream is not held: the place is known, the element's other names are not
    (lambda: records(b"<r>\n" + DOC_TYPO + b"</r>", Line, stream=True), TypeError,
     ["required field 'quantity' of Line: no element <qty> was found",
      "at line 2, column 1 (start tag of the element)"]),
    # a validator's error: where the element starts
    (lambda: kestrix.deserialize(b'<Checked>\n <x/></Checked>\n', Checked),
     pydantic.ValidationError,
     ["required field 'n' of Checked: no attribute n was found; <Checked> has no attributes and"
      " child elements <x>", "at line 1, column 1 (start tag of <Checked>)"]),
    # a Decimal's own error: the text and where it stands (an item, an attribute)
    (lambda: kestrix.deserialize(b"<Prices><amount>1</amount>\n<amount>1,5</amount></Prices>",
                                 Prices), Exception,
     ["cannot convert the text '1,5' to Decimal", "at line 2, column 1",
      "while binding field 'amounts' of Prices (item 1)"]),
    (lambda: kestrix.deserialize(b'<Prices unit="' + b"9" * 50 + b'x"/>', Prices), Exception,
     ["cannot convert the text '" + "9" * 40 + "...' to Decimal", "at line 1, column 1",
      "while binding field 'unit' of Prices"]),
])
def test_model_errors_say_where_and_what_was_looked_for(call, error, notes):
    with pytest.raises(error) as info:
        call()
    assert info.value.__notes__ == notes


def test_iterator_is_subscriptable_as_its_stub_says():
    alias = kestrix.XmlIterator[Line]
    assert isinstance(alias, types.GenericAlias)
    assert (alias.__origin__, alias.__args__) == (kestrix.XmlIterator, (Line,))
