"""Code emission: the Python source of the resolved classes and enums.

The output is deterministic (classes in name order, each base before the
classes derived from it), fully annotated and formatted; with
``style="pydantic"`` the classes are pydantic models, else dataclasses.
"""

from __future__ import annotations

import json
import math
import textwrap

from .model import PyClass, PyEnum, PyField

STYLES = ("dataclasses", "pydantic")
WIDTH = 99


def _docstring(text: str, indent: str) -> list[str]:
    if not text:
        return []
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines: list[str] = []
    for number, paragraph in enumerate(text.split("\n\n")):
        if number:
            lines.append("")
        lines.extend(textwrap.wrap(paragraph, WIDTH - len(indent) - 6, break_long_words=False,
                                   break_on_hyphens=False) or [""])
    if len(lines) == 1:
        # A quote just before the closing ones would end the string early.
        line = lines[0][:-1] + '\\"' if lines[0].endswith('"') else lines[0]
        return [f'{indent}"""{line}"""']
    body = [f"{indent}{line}" if line else "" for line in lines[1:]]
    return [f'{indent}"""{lines[0]}', *body, f'{indent}"""']


def _string(text: str) -> str:
    """A double-quoted Python string literal (JSON's escapes are Python's too)."""
    return json.dumps(text, ensure_ascii=False)


def _annotation(item: PyField) -> str:
    if item.many:
        return f"list[{item.type}]"
    if item.optional and item.default is None:
        return f"Optional[{item.type}]"
    return item.type


def _metadata(item: PyField) -> str:
    entries: list[str] = []
    if item.kind == "attribute":
        entries.append('"type": "Attribute"')
    elif item.kind == "text":
        entries.append('"type": "Text"')
    elif item.kind == "mixed":
        entries.append('"type": "Wildcard", "mixed": True')
    elif item.kind == "choice":
        if item.ordered_mixed:
            entries.append('"mixed": True')
        if item.named_members:
            # Members by their type's name, which the field's annotation holds.
            names = ", ".join(f"{_string(m.xml_name)}: {_string(m.type.rpartition('.')[2])}" for m in item.members)
            entries.append(f'"choices": {{{names}}}')
        if item.namespace is not None:
            entries.append(f'"namespace": {_string(item.namespace)}')
    if item.kind in ("attribute", "element") and item.xml_name != item.name:
        entries.append(f'"name": {_string(item.xml_name)}')
    if item.namespace is not None and item.kind in ("attribute", "element"):
        entries.append(f'"namespace": {_string(item.namespace)}')
    return "{" + ", ".join(entries) + "}"


_BOUNDS = {"minInclusive": "ge", "maxInclusive": "le", "minExclusive": "gt", "maxExclusive": "lt"}
_LENGTHS = {"length": ("min_length", "max_length"), "minLength": ("min_length",), "maxLength": ("max_length",)}
_NUMBERS = {"int": int, "float": float, "Decimal": str}


def _constraints(item: PyField) -> tuple[list[str], dict[str, str]]:
    """The pydantic constraints of a field's facets, and the facets left for its docstring."""
    arguments: list[str] = []
    rest: dict[str, str] = {}
    for facet, value in item.facets.items():
        value = value.strip()
        try:
            if item.many:
                raise ValueError  # the facets restrict each item, not the list
            if facet in _LENGTHS and item.type == "str":
                arguments += [f"{name}={int(value)}" for name in _LENGTHS[facet]]
            elif facet in _BOUNDS and item.type in _NUMBERS:
                number = _NUMBERS[item.type](value)
                literal = f"Decimal({_string(value)})" if item.type == "Decimal" else repr(number)
                if item.type == "float" and not math.isfinite(float(value)):
                    raise ValueError
                arguments.append(f"{_BOUNDS[facet]}={literal}")
            elif facet == "totalDigits" and item.type == "Decimal":
                arguments.append(f"max_digits={int(value)}")
            elif facet == "fractionDigits" and item.type == "Decimal":
                arguments.append(f"decimal_places={int(value)}")
            else:
                raise ValueError
        except ValueError:
            rest[facet] = value
    return arguments, rest


def _field_doc(item: PyField, facets: dict[str, str]) -> str:
    if not facets:
        return item.doc
    listed = ", ".join(f"{name}={value!r}" for name, value in facets.items())
    return (item.doc + "\n\n" if item.doc else "") + f"Facets: {listed}."


def _field_line(item: PyField, pydantic: bool) -> str:
    arguments: list[str] = []
    if item.many:
        if item.optional:
            arguments.append("default_factory=list")
    elif item.default is not None:
        arguments.append(f"default={item.default}")
    elif item.optional:
        arguments.append("default=None")
    if pydantic:
        arguments += _constraints(item)[0]
    metadata = _metadata(item)
    if metadata != "{}":
        arguments.append(("json_schema_extra=" if pydantic else "metadata=") + metadata)
    head = f"    {item.name}: {_annotation(item)}"
    if len(head) > WIDTH - 30 and " | " in item.type:
        # A long union, one member a line.
        outer = "list" if item.many else "Optional"
        members = "".join(f"        {'| ' if n else ''}{t}\n" for n, t in enumerate(item.type.split(" | ")))
        head = f"    {item.name}: {outer}[\n{members}    ]"
    if not arguments:
        return head
    if len(arguments) == 1 and arguments[0].startswith("default="):
        return f"{head} = {arguments[0][len('default='):]}"
    call = "Field" if pydantic else "field"
    line = f"{head} = {call}({', '.join(arguments)})"
    if len(line.rpartition("\n")[2]) <= WIDTH:
        return line
    inner = ", ".join(arguments)
    if len(inner) + 8 <= WIDTH:
        return f"{head} = {call}(\n        {inner}\n    )"
    return f"{head} = {call}(\n" + "".join(f"        {a},\n" for a in arguments) + "    )"


def _order(classes: dict[str, PyClass]) -> list[PyClass]:
    done: set[str] = set()
    ordered: list[PyClass] = []

    def visit(name: str) -> None:
        if name in done:
            return
        done.add(name)
        base = classes[name].base
        if base is not None and base in classes:
            visit(base)
        ordered.append(classes[name])

    for name in sorted(classes):
        visit(name)
    return ordered


def _has_default(item: PyField) -> bool:
    return item.optional or item.default is not None


def _keyword_only(ordered: list[PyClass]) -> dict[str, bool]:
    """Which dataclasses need keyword-only fields: those in which a field without
    a default would follow one with a default among the positional ones. The
    others stay positional, which kestrix builds faster."""
    keyword_only: dict[str, bool] = {}
    defaulted: dict[str, bool] = {}  # whether a positional field with a default precedes
    for cls in ordered:
        seen = defaulted.get(cls.base or "", False)
        after = seen
        fits = True
        for item in cls.fields:
            if _has_default(item):
                after = True
            elif after:
                fits = False
        keyword_only[cls.name] = not fits
        defaulted[cls.name] = after if fits else seen
    return keyword_only


def _class_source(cls: PyClass, pydantic: bool, keyword_only: bool = False) -> list[str]:
    lines: list[str] = []
    if cls.element is not None:
        namespace, name = cls.element
        prefix = f", prefix={_string(cls.prefix)}" if cls.prefix else ""
        lines.append(f"@kestrix.xml_element({_string(name)}, namespace={_string(namespace)}{prefix})" if namespace
                     else f"@kestrix.xml_element({_string(name)})")
    if not pydantic:
        lines.append("@dataclass(kw_only=True)" if keyword_only else "@dataclass")
    base = cls.base or ("BaseModel" if pydantic else "")
    lines.append(f"class {cls.name}({base}):" if base else f"class {cls.name}:")
    doc = "\n\n".join(part for part in (cls.doc, *cls.notes) if part)
    body = _docstring(doc, "    ")
    if body and cls.fields:
        body.append("")
    for item in cls.fields:
        doc = _field_doc(item, _constraints(item)[1] if pydantic else item.facets)
        if doc and body and body[-1]:
            body.append("")
        body.append(_field_line(item, pydantic))
        if doc:
            body.extend(_docstring(doc, "    "))
            body.append("")
    while body and not body[-1]:
        body.pop()
    if not body:
        body = ["    pass"]
    return lines + body


def _enum_source(item: PyEnum) -> list[str]:
    lines = [f"class {item.name}(enum.Enum):"]
    lines.extend(_docstring(item.doc, "    "))
    if item.doc:
        lines.append("")
    for member, value in item.members:
        lines.append(f"    {member} = {_string(value)}")
    return lines


def module_source(classes: dict[str, PyClass], enums: dict[str, PyEnum], header: str, style: str) -> str:
    """The whole module: header, imports, enums, classes (and model rebuilds for pydantic)."""
    if style not in STYLES:
        raise ValueError(f"style must be one of {', '.join(STYLES)}, not {style!r}")
    pydantic = style == "pydantic"
    ordered = _order(classes)
    types = {t for c in ordered for f in c.fields for t in f.type.split(" | ")} | {c.base or "" for c in ordered}
    optional = any(f.optional and not f.many and f.default is None for c in ordered for f in c.fields)
    decimal = "Decimal" in types or any("Decimal(" in (f.default or "") for c in ordered for f in c.fields)
    decimal = decimal or (pydantic and any("Decimal(" in a for c in ordered for f in c.fields
                                           for a in _constraints(f)[0]))
    imports = ["from __future__ import annotations", ""]
    if any(t.startswith("datetime.") for t in types):
        imports.append("import datetime")
    if enums:
        imports.append("import enum")
    if not pydantic and ordered:
        imports.append("from dataclasses import dataclass, field")
    if decimal:
        imports.append("from decimal import Decimal")
    if optional:
        imports.append("from typing import Optional")
    if imports[-1] != "":
        imports.append("")
    if pydantic and ordered:
        imports += ["from pydantic import BaseModel, Field", ""]
    imports.append("import kestrix")
    names = sorted([*classes, *enums])
    parts = [header.rstrip("\n") + "\n\n" + "\n".join(imports),
             "__all__ = [\n" + "".join(f'    "{n}",\n' for n in names) + "]"]
    parts += ["\n".join(_enum_source(enums[name])) for name in sorted(enums)]
    keyword_only = _keyword_only(ordered)
    parts += ["\n".join(_class_source(cls, pydantic, keyword_only[cls.name])) for cls in ordered]
    if pydantic and ordered:
        parts.append("for _model in (\n" + "".join(f"    {c.name},\n" for c in ordered)
                     + "):\n    _model.model_rebuild()")
    return "\n\n\n".join(parts) + "\n"
