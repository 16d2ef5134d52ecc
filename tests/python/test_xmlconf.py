"""The W3C XML Conformance Test Suite: its XML 1.0 cases that need no external
entity (tests/xmlconf/, copied by tools/xmlconf_cases.py), each read by
deserialize into a class with no fields. A valid or invalid document (validity
is not checked) must be accepted, a not-well-formed one refused with a
ValueError, unless tests/xmlconf/differences.txt lists the case with the
reason we read it otherwise. The suite's `error` cases hold errors a reader
may report or not: either answer is right, as long as it is an instance or a
ValueError."""

from dataclasses import dataclass
from pathlib import Path

import pytest

import kestrix

SUITE = Path(__file__).resolve().parent.parent / "xmlconf"


@dataclass
class Empty:
    pass


def read_cases():
    """(id, type, path) of every case, from the compact index."""
    with open(SUITE / "cases.txt", encoding="utf-8") as index:
        return [tuple(line.rstrip("\n").split("\t")) for line in index if not line.startswith("#")]


def read_differences():
    """{case id: reason} from the list of cases read otherwise on purpose."""
    differences, reason, previous = {}, "", ""
    for line in (SUITE / "differences.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith("="):  # a reason goes on over consecutive lines
            reason = (reason + " " if previous.startswith("=") else "") + line[1:].strip()
        elif line.strip() and not line.startswith("#"):
            differences[line.strip()] = reason
        previous = line
    return differences


CASES = read_cases()
DIFFERENCES = read_differences()


def outcome(path):
    """None when the document is accepted, the error's message when refused."""
    try:
        kestrix.deserialize((SUITE / path).read_bytes(), Empty)
    except ValueError as error:
        return str(error)
    return None


@pytest.mark.parametrize("kind", ["valid", "invalid", "not-wf", "error"])
def test_cases_are_read_right_or_listed(kind):
    wrong, stale = [], []
    for case_id, case_kind, path in CASES:
        if case_kind != kind:
            continue
        refused = outcome(path)
        if kind == "error":
            continue  # either answer is right
        right = (refused is None) == (kind != "not-wf")
        if not right and case_id not in DIFFERENCES:
            wrong.append(f"{case_id} ({path}): {refused or 'accepted'}")
        elif right and case_id in DIFFERENCES:
            stale.append(f"{case_id}: read right now, listed as: {DIFFERENCES[case_id]}")
    assert not wrong and not stale, "\n".join(wrong + stale)


def test_differences_name_cases_that_run():
    judged = {case_id for case_id, kind, _ in CASES if kind != "error"}
    assert set(DIFFERENCES) - judged == set()
    assert all(DIFFERENCES.values())
