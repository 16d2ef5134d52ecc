"""Models generated from the schemas of xmlschema's own test cases (copied in
xmlschema_cases/, see its README) read every instance document of each case
with nothing left unmodelled and write it back canonically equal."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

import kestrix
from kestrix.generate import generate, load_module

CASES_DIR = Path(__file__).parent / "xmlschema_cases"
XSI = "http://www.w3.org/2001/XMLSchema-instance"
HINTS = (f"{{{XSI}}}schemaLocation", f"{{{XSI}}}noNamespaceSchemaLocation")

# (folder, schema, class of the documents' root element): the documents of a
# case are those of its folder whose location hint names its schema (all of
# them where no hint is given).
CASES = [
    ("vehicles", "vehicles.xsd", "Vehicles"),  # includes, substitution by derived types
    ("collection", "collection.xsd", "Collection"),
    ("collection", "collection3.xsd", "Collection"),
    ("mixed", "mixed-content.xsd", "Data"),
    ("lists", "list_types.xsd", "Values"),
    ("patterns", "patterns.xsd", "Patterns"),
    ("issue_026", "issue_026.xsd", "Foo"),  # fixed values
    ("issue_208", "issue_208.xsd", "Dll32Answer"),  # extensions, xs:all
    ("issue_243", "issue_243.xsd", "Manifest"),  # nil elements
    ("issue_298", "issue_298.xsd", "Root"),  # mixed content with xs:any
    ("issue_314", "issue_314.xsd", "RootElement"),  # abstract type, xsi:type
    ("issue_322", "issue_322.xsd", "Note"),
    ("issue_334", "issue_334.xsd", "DemonstrativeExamples"),  # xs:any in mixed choices
    ("issue_437", "issue_437.xsd", "PlexilPlan"),  # xs:anyAttribute, derivations
]


def documents(folder: str, schema: str) -> list[Path]:
    found = []
    for path in sorted((CASES_DIR / folder).glob("*.xml")):
        root = etree.parse(str(path)).getroot()
        hint = next((root.get(h) for h in HINTS if root.get(h)), None)
        if hint is None or hint.split()[-1].rpartition("/")[2] == schema:
            found.append(path)
    return found


def without_hints(path: Path) -> bytes:
    """The document without its schema location hints, which say where a validator
    finds the schema and which models do not hold."""
    root = etree.parse(str(path)).getroot()
    for element in root.iter():
        for hint in HINTS:
            element.attrib.pop(hint, None)
    return etree.tostring(root, encoding="utf-8")


def canonical(document: bytes) -> str:
    """C14N 2.0 with prefixes rewritten, xsi:type values resolved to {uri}local and
    whitespace-only text dropped."""
    root = etree.fromstring(document)
    for element in root.iter():
        value = element.get(f"{{{XSI}}}type")
        if value is not None:
            prefix, _, local = value.rpartition(":")
            element.set(f"{{{XSI}}}type", "{%s}%s" % (element.nsmap.get(prefix or None, ""), local))
    return etree.canonicalize(root, rewrite_prefixes=True, strip_text=True)


@pytest.mark.parametrize("style", ["dataclasses", "pydantic"])
@pytest.mark.parametrize("folder,schema,root", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_case_documents_round_trip(tmp_path, folder, schema, root, style):
    result = generate([CASES_DIR / folder / schema], tmp_path / "models.py", style=style)
    assert result.reports == []
    models = load_module(result.path, f"xmlschema_case_{Path(schema).stem}_{style}".replace("-", "_"))
    paths = documents(folder, schema)
    assert paths
    for path in paths:
        document = without_hints(path)
        bound = kestrix.deserialize(document, getattr(models, root), strict=True)
        written = kestrix.serialize(bound)
        assert canonical(written) == canonical(document), path.name
        assert kestrix.deserialize(written, type(bound), strict=True) == bound, path.name


@pytest.mark.parametrize("style", ["dataclasses", "pydantic"])
def test_case_models_pass_mypy_strict(tmp_path, style):
    pytest.importorskip("mypy")
    paths = [str(generate([CASES_DIR / folder / schema], tmp_path / f"case{number}.py", style=style).path)
             for number, (folder, schema, _) in enumerate(CASES)]
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *paths],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout
