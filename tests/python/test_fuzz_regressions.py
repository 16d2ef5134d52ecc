"""Inputs found by the entry-point fuzzer (fuzz/fuzz_entry_points.py), kept as tests."""

import sys
from pathlib import Path

import pytest

from kestrix import deserialize

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "fuzz"))

import fuzz_entry_points as harness  # noqa: E402
import fuzz_models as models  # noqa: E402


def case(model, mode, doc):
    return bytes([models.MODELS.index(model), mode]) + doc


# the seeds hold documents meant for other models
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
def test_every_seed_passes_the_harness_under_every_mode():
    # deserialize; iterparse with the class name and with the tag "item"; indents
    for cls, docs in models.seed_documents().items():
        for doc in docs:
            for mode in (0, 1, 2, 6, 9):
                harness.check(case(cls, mode, doc))


@pytest.mark.parametrize(
    "data",
    [
        # nil on a bool field with a default: None is written as nothing and the
        # default comes back, which the round trip must accept
        case(models.DScalars, 1, b"<feed><x:DScalars xmlns:x='urn:x'><b xsi:nil='5'></b>"
             b"<ratio>-INF</ratio></x:DScalars></feed>"),
        # an int list item from a self-closing element, in a document of another root
        case(models.DCatalog, 4, b"<PNode id='1'><node ><no id='3'/></node><n tEid='4'/></PNode>"),
        # the record tag with a prefix, a record cut short, then one more record
        case(models.PItem, 9, b"<r><p:item sku='a'><qty>2</qty></p:item><item sku='b'><qty>"),
    ],
)
def test_found_inputs_keep_passing(data):
    harness.check(data)


# A negative quantity: the models' own ModelRejected passes through unchanged.
@pytest.mark.parametrize("cls, mode, doc", [
    (models.DItem, 0, b"<DItem sku='x'><qty>-1</qty></DItem>"),
    (models.PCatalog, 1, b"<PCatalog><item sku='x'><qty>-1</qty></item></PCatalog>"),
])
def test_model_errors_pass_through_unchanged(cls, mode, doc):
    harness.check(case(cls, mode, doc))
    with pytest.raises(models.ModelRejected, match="negative quantity -1"):
        deserialize(doc, cls)
