"""Reading schema documents: parse XSD files and follow include, import and redefine offline.

Each file is parsed with expat into a small tree of :class:`Node` objects that
keep the line of every element and the namespace prefixes in scope there (the
values of ``type``, ``ref`` and ``base`` are QNames that need them). Nothing is
ever fetched from the network: a schemaLocation is looked up in the catalog (by
location, then by namespace), then as a path relative to the file that names it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from xml.parsers import expat

XSD = "http://www.w3.org/2001/XMLSchema"
XML_NS = "http://www.w3.org/XML/1998/namespace"


class GenerateError(Exception):
    """A schema set that cannot be read: a missing or malformed file, a broken reference."""


@dataclass
class Node:
    """One element of a schema document."""

    tag: str  # "{uri}local"
    attrib: dict[str, str]
    line: int
    nsmap: dict[str, str]  # prefix ("" for the default) -> URI, in scope here
    children: list[Node] = field(default_factory=list)
    text: str = ""

    @property
    def local(self) -> str:
        return self.tag.rpartition("}")[2]

    def is_xsd(self, local: str) -> bool:
        return self.tag == f"{{{XSD}}}{local}"

    def xsd_children(self, *locals_: str) -> list[Node]:
        return [c for c in self.children if c.tag.startswith(f"{{{XSD}}}") and (not locals_ or c.local in locals_)]

    def first(self, *locals_: str) -> Node | None:
        found = self.xsd_children(*locals_)
        return found[0] if found else None

    def qname(self, attribute: str) -> tuple[str, str] | None:
        """The value of a QName-valued attribute as (namespace URI, local name)."""
        value = self.attrib.get(attribute)
        if value is None:
            return None
        prefix, _, local = value.strip().rpartition(":")
        if prefix == "xml":
            return (XML_NS, local)
        if prefix not in self.nsmap and prefix:
            raise GenerateError(f"unbound prefix {prefix!r} in {attribute}={value!r}")
        return (self.nsmap.get(prefix, ""), local)


def parse_file(path: Path) -> Node:
    """Parse one XML file into a Node tree, with lines and in-scope prefixes."""
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise GenerateError(f"cannot read {path}: {exc.strerror or exc}") from None
    parser = expat.ParserCreate(namespace_separator="}")
    stack: list[Node] = []
    scopes: list[dict[str, str]] = [{"xml": XML_NS}]
    pending: dict[str, str] = {}
    root: list[Node] = []

    def ns_start(prefix: str | None, uri: str | None) -> None:
        pending[prefix or ""] = uri or ""

    def start(name: str, attrs: dict[str, str]) -> None:
        scope = scopes[-1]
        if pending:
            scope = {**scope, **pending}
            pending.clear()
        scopes.append(scope)
        tag = "{" + name if "}" in name else name
        attrib = {("{" + k if "}" in k else k): v for k, v in attrs.items()}
        node = Node(tag, attrib, parser.CurrentLineNumber, scope)
        if stack:
            stack[-1].children.append(node)
        else:
            root.append(node)
        stack.append(node)

    def end(name: str) -> None:
        stack.pop()
        scopes.pop()

    def text(data: str) -> None:
        if stack:
            stack[-1].text += data

    parser.StartNamespaceDeclHandler = ns_start
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = text
    try:
        parser.Parse(data, True)
    except expat.ExpatError as exc:
        raise GenerateError(f"{path}:{exc.lineno}: not well-formed XML: {expat.ErrorString(exc.code)}") from None
    if not root or not root[0].is_xsd("schema"):
        raise GenerateError(f"{path}: the document element is not <xs:schema>")
    return root[0]


class Catalog:
    """Maps namespaces and schema locations to local files.

    A catalog file is either plain text, one mapping a line (``KEY PATH``), or an XML catalog whose ``<uri name= uri=>`` and
    ``<system systemId= uri=>`` entries are read. A line that starts with
    ``#`` is a comment. KEY is a namespace URI or a
    schemaLocation as schemas write it; a relative PATH is relative to the
    catalog file.
    """

    def __init__(self, entries: dict[str, Path] | None = None) -> None:
        # Resolved, so that files found through the catalog and beside a schema compare alike.
        self.entries: dict[str, Path] = {key: Path(path).resolve() for key, path in (entries or {}).items()}

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Catalog:
        path = Path(path)
        try:
            text = path.read_text(encoding="utf-8")
        except OSError as exc:
            raise GenerateError(f"cannot read the catalog {path}: {exc.strerror or exc}") from None
        entries: dict[str, Path] = {}
        if text.lstrip().startswith("<"):
            def walk(node: Node) -> None:
                key = node.attrib.get("name") or node.attrib.get("systemId")
                target = node.attrib.get("uri")
                if node.local in ("uri", "system") and key and target:
                    entries[key] = (path.parent / target).resolve()
                for child in node.children:
                    walk(child)

            walk(_parse_any(path))
        else:
            for number, line in enumerate(text.splitlines(), 1):
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                parts = line.split()
                if len(parts) != 2:
                    raise GenerateError(f"{path}:{number}: a catalog line is KEY PATH, got {line!r}")
                entries[parts[0]] = (path.parent / parts[1]).resolve()
        return cls(entries)

    def find(self, namespace: str | None, location: str | None) -> Path | None:
        for key in (location, namespace):
            if key and key in self.entries:
                return self.entries[key]
        return None


def _parse_any(path: Path) -> Node:
    parser = expat.ParserCreate(namespace_separator="}")
    stack: list[Node] = [Node("", {}, 0, {})]

    def start(name: str, attrs: dict[str, str]) -> None:
        node = Node("{" + name if "}" in name else name, dict(attrs), parser.CurrentLineNumber, {})
        stack[-1].children.append(node)
        stack.append(node)

    parser.StartElementHandler = start
    parser.EndElementHandler = lambda name: stack.pop()
    try:
        parser.Parse(path.read_bytes(), True)
    except expat.ExpatError as exc:
        raise GenerateError(f"{path}:{exc.lineno}: not well-formed XML: {expat.ErrorString(exc.code)}") from None
    return stack[0]


@dataclass
class SchemaDocument:
    """A parsed schema file, read under the target namespace it contributes to.

    ``namespace`` is the file's own targetNamespace, or for a chameleon include
    (a file without one, included by a file with one) the includer's.
    """

    path: Path
    root: Node
    namespace: str
    # Components this document brings in from <redefine>: they replace the
    # redefined file's components of the same name.
    redefines: list[Node] = field(default_factory=list)
    redefined: bool = False  # read through a <redefine>: its components may be replaced

    @property
    def element_qualified(self) -> bool:
        return self.root.attrib.get("elementFormDefault") == "qualified"

    @property
    def attribute_qualified(self) -> bool:
        return self.root.attrib.get("attributeFormDefault") == "qualified"


# The locations well-known schemas are given by that need no file: the XML
# namespace's attributes (xml:lang, xml:space, ...) are built in.
_BUILT_IN_NAMESPACES = {XML_NS}


class SchemaSet:
    """Every schema document reachable from the given files, each read once."""

    def __init__(self, catalog: Catalog | None = None) -> None:
        self.catalog = catalog or Catalog()
        self.documents: list[SchemaDocument] = []
        self._seen: dict[tuple[Path, str], SchemaDocument] = {}
        self._trees: dict[Path, Node] = {}

    def add(self, path: str | os.PathLike[str]) -> SchemaDocument:
        resolved = Path(path).resolve()
        if not resolved.is_file():
            raise GenerateError(f"no schema file {path}")
        root = self._tree(resolved)
        return self._read(resolved, root.attrib.get("targetNamespace", ""))

    def _tree(self, path: Path) -> Node:
        if path not in self._trees:
            self._trees[path] = parse_file(path)
        return self._trees[path]

    def _read(self, path: Path, namespace: str) -> SchemaDocument:
        key = (path, namespace)
        if key in self._seen:
            return self._seen[key]
        document = SchemaDocument(path, self._tree(path), namespace)
        self._seen[key] = document
        self.documents.append(document)
        for child in document.root.xsd_children("include", "import", "redefine"):
            location = child.attrib.get("schemaLocation")
            if child.local == "import":
                imported = child.attrib.get("namespace", "")
                if imported in _BUILT_IN_NAMESPACES and not self.catalog.find(imported, location):
                    continue
                target = self._locate(imported, location, document, child)
                if target is None:
                    continue  # an import without a location names a namespace others provide
                found = self._tree(target).attrib.get("targetNamespace", "")
                if found != imported:
                    raise GenerateError(
                        f"{path}:{child.line}: import of namespace {imported!r} found {target},"
                        f" whose targetNamespace is {found!r}")
                self._read(target, imported)
            else:
                target = self._locate(None, location, document, child)
                if target is None:
                    raise GenerateError(f"{path}:{child.line}: <{child.local}> without a schemaLocation")
                own = self._tree(target).attrib.get("targetNamespace")
                if own is not None and own != namespace:
                    raise GenerateError(
                        f"{path}:{child.line}: {child.local}d {target} has targetNamespace {own!r},"
                        f" expected {namespace!r}")
                included = self._read(target, namespace)
                if child.local == "redefine":
                    included.redefined = True
                    document.redefines.extend(child.xsd_children("simpleType", "complexType", "group",
                                                                 "attributeGroup"))
        return document

    def _locate(self, namespace: str | None, location: str | None, document: SchemaDocument,
                node: Node) -> Path | None:
        found = self.catalog.find(namespace, location)
        if found is not None:
            if not found.is_file():
                raise GenerateError(f"the catalog maps {location or namespace!r} to {found}, which does not exist")
            return found
        if location and "://" not in location:
            candidate = (document.path.parent / location).resolve()
            if candidate.is_file():
                return candidate
        if location is None and namespace is not None:
            if any(d.namespace == namespace for d in self.documents):
                return None
            return None
        raise GenerateError(
            f"cannot find the schema for namespace {namespace!r} at location {location!r},"
            f" asked for by {document.path}:{node.line} (give it in a catalog with --catalog)"
            if namespace is not None else
            f"cannot find the schema at location {location!r}, included by {document.path}:{node.line}"
            " (give it in a catalog with --catalog)")
