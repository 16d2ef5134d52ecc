"""What a schema resolves to on the Python side: the classes, fields and enums
of the generated module, the reports of what was not mapped, and the naming
rules that turn XML names into Python ones."""

from __future__ import annotations

import keyword
import re
from dataclasses import dataclass, field
from pathlib import Path

from .reader import Node

QName = tuple[str, str]  # (namespace URI, local name)

# Names the generated module uses itself, and Python builtins whose shadowing in
# a class body would change what an annotation means.
RESERVED = frozenset({"annotations", "dataclass", "field", "datetime", "enum", "Decimal", "Optional",
                      "kestrix", "xml_element", "BaseModel", "Field", "str", "int", "float", "bool",
                      "bytes", "list", "dict", "object", "type", "Enum",
                      # "choices" names a scalar member by its type's short name, and a
                      # member class of that name would take its place (date, time and
                      # datetime are lower case, which class names never are)
                      "QName",
                      # attributes of pydantic's BaseModel a field must not shadow
                      "model_config", "model_fields", "model_computed_fields", "model_extra",
                      "model_fields_set", "model_construct", "model_copy", "model_dump", "model_dump_json",
                      "model_json_schema", "model_parametrized_name", "model_post_init", "model_rebuild",
                      "model_validate", "model_validate_json", "model_validate_strings", "copy", "json",
                      "schema", "schema_json", "construct", "validate", "parse_obj", "parse_raw",
                      "parse_file", "from_orm", "update_forward_refs", "fields"})


@dataclass
class Report:
    """A construct generation could not map as such, and what it did instead."""

    construct: str
    path: Path
    line: int
    message: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.construct}: {self.message}"


@dataclass
class PyMember:
    """One element a choice field takes: its name, namespace and the annotation of its value."""

    xml_name: str
    namespace: str | None
    type: str


@dataclass
class PyField:
    name: str
    # "element", "attribute", "text", "mixed" (text only) or "choice" (several
    # elements in one field, in document order; with ordered_mixed, text runs too)
    kind: str
    xml_name: str
    namespace: str | None  # None: no "namespace" metadata
    type: str  # the Python annotation of one value
    optional: bool = False
    many: bool = False
    default: str | None = None  # Python source of the default value
    doc: str = ""
    facets: dict[str, str] = field(default_factory=dict)  # facet name -> value, of its simple type
    members: list[PyMember] = field(default_factory=list)  # of a choice field
    named_members: bool = False  # a choice field whose members are listed in "choices"
    ordered_mixed: bool = False  # a choice field that takes the text runs too
    held_as: str = ""  # why a str field is the text of a value that is more (xs:list, xs:base64Binary...)
    wrapper: str = ""  # a list whose items stand inside one element of this name (optional: the wrapper)
    nillable: bool = False  # a required scalar element whose None is written as xsi:nil="true"
    overrides: PyField | None = None  # the base's field a restriction narrows (named as it is)


@dataclass
class PyClass:
    name: str
    base: str | None
    fields: list[PyField]
    element: QName | None = None  # the global element it is declared as
    doc: str = ""
    notes: list[str] = field(default_factory=list)
    prefix: str | None = None  # the prefix its element is written with, if not the default namespace
    namespace: str = ""  # the target namespace of the schema that defines it (its module in a package)
    type_name: QName | None = None  # the named type it stands for, which xsi:type names
    catch_elements: bool = False  # its content allows any element (xs:any) outside a choice field
    catch_attributes: bool = False  # it allows any attribute (xs:anyAttribute)

    def note(self, text: str) -> None:
        if text not in self.notes:
            self.notes.append(text)


@dataclass
class PyEnum:
    name: str
    members: list[tuple[str, str]]
    doc: str = ""
    namespace: str = ""


def documentation(node: Node) -> str:
    """The xs:documentation texts of a component, whitespace normalised per paragraph."""
    texts: list[str] = []
    for annotation in node.xsd_children("annotation"):
        for doc in annotation.xsd_children("documentation"):
            paragraphs = re.split(r"\n\s*\n", doc.text.strip())
            texts.extend(" ".join(p.split()) for p in paragraphs if p.strip())
    return "\n\n".join(texts)


def pascal(name: str) -> str:
    parts = re.split(r"[^0-9A-Za-z]+", name)
    result = "".join(p[:1].upper() + p[1:] for p in parts if p)
    if not result or result[0].isdigit():
        result = "T" + result
    return result


def snake(name: str) -> str:
    name = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", name)
    name = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", name)
    name = re.sub(r"[^0-9A-Za-z]+", "_", name).strip("_").lower()
    if not name or name[0].isdigit():
        name = "f_" + name
    if keyword.iskeyword(name) or name in RESERVED or keyword.issoftkeyword(name):
        name += "_"
    return name


def enum_member(value: str) -> str:
    name = re.sub(r"[^0-9A-Za-z]+", "_", value).strip("_").upper()
    if not name:
        return "EMPTY"
    if name[0].isdigit():
        name = "V_" + name
    return name + "_" if keyword.iskeyword(name.lower()) and name.islower() else name


def occurs(node: Node) -> tuple[int, bool]:
    """(minOccurs, whether maxOccurs allows more than one)."""
    low = int(node.attrib.get("minOccurs", "1"))
    high = node.attrib.get("maxOccurs", "1")
    return low, high == "unbounded" or int(high) > 1
