"""tools/xmlconf_cases.py: copies the XML 1.0 cases of the W3C XML Conformance
Test Suite that need no external entity into tests/xmlconf/, with a compact
index (cases.txt) that the test reads.

Run once, from a copy of the suite (its index xmlconf.xml resolves the index
files of each contributor through external entities, which lxml loads):

    python tools/xmlconf_cases.py /path/to/xmlconf tests/xmlconf

A case is taken when it belongs to XML 1.0 or one of its errata (not to
Namespaces or XML 1.1), is an XML 1.0 document, applies to the fifth edition
(cases of editions 1 to 4 only test rules the fifth edition dropped) and needs
no external entity (ENTITIES="none").
"""

import shutil
import sys
from pathlib import Path
from urllib.parse import urljoin

from lxml import etree

RECOMMENDATIONS = {"XML1.0", "XML1.0-errata2e", "XML1.0-errata3e", "XML1.0-errata4e"}
# The index names a folder for some files that the suite keeps elsewhere.
MOVED = {"eduni/namespaces/misc/": "eduni/misc/"}


def wanted(test) -> bool:
    a = test.attrib
    editions = a.get("EDITION")
    return (a.get("RECOMMENDATION", "XML1.0") in RECOMMENDATIONS
            and a.get("VERSION", "1.0") == "1.0"
            and (editions is None or "5" in editions.split())
            and a.get("ENTITIES") == "none")


def path_of(test) -> str:
    base = ""
    for holder in reversed(list(test.iterancestors())):
        base = urljoin(base, holder.get("{http://www.w3.org/XML/1998/namespace}base", ""))
    path = urljoin(base, test.get("URI"))
    for old, new in MOVED.items():
        if path.startswith(old):
            path = new + path[len(old):]
    return path


def main(suite: str, target: str) -> None:
    suite_dir, target_dir = Path(suite), Path(target)
    parser = etree.XMLParser(load_dtd=True, resolve_entities=True, no_network=True)
    index = etree.parse(str(suite_dir / "xmlconf.xml"), parser)
    lines, seen = [], set()
    for test in index.iter("TEST"):
        if not wanted(test):
            continue
        case_id, kind, path = test.get("ID"), test.get("TYPE"), path_of(test)
        if case_id in seen or any(c.isspace() for c in case_id + kind + path):
            raise SystemExit(f"unexpected id or path: {case_id!r} {path!r}")
        seen.add(case_id)
        copy = target_dir / path
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(suite_dir / path, copy)
        lines.append(f"{case_id}\t{kind}\t{path}\n")
    shutil.copyfile(suite_dir / "LICENSE", target_dir / "LICENSE")
    with open(target_dir / "cases.txt", "w", encoding="utf-8") as out:
        out.write("# id\ttype\tpath: written by tools/xmlconf_cases.py from the suite's index\n")
        out.writelines(lines)
    print(f"{len(lines)} cases")


if __name__ == "__main__":
    main(*sys.argv[1:])
