"""Code emission: the Python source of the resolved classes and enums.

The output is deterministic (classes in name order, each base before the
classes derived from it), fully annotated and formatted; with
``style="pydantic"`` the classes are pydantic models, else dataclasses.
"""

from __future__ import annotations

import json
import math
import textwrap
from dataclasses import replace

from .model import PyClass, PyEnum, PyField, namespace_word, snake

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
    if item.kind == "any_attributes":
        return item.type
    if item.many:
        return f"Optional[list[{item.type}]]" if item.wrapper and item.optional else f"list[{item.type}]"
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
    elif item.kind == "any_attributes":
        entries.append('"any_attributes": True')
    if item.wrapper:
        entries.append(f'"wrapper": {_string(item.wrapper)}')
    if item.kind == "choice":
        if item.ordered_mixed:
            entries.append('"mixed": True')
        if item.named_members:
            # Members by their type's name, which the field's annotation holds.
            names = ", ".join(f"{_string(m.xml_name)}: {_string(m.type.rpartition('.')[2])}" for m in item.members)
            entries.append(f'"choices": {{{names}}}')
        if item.namespace is not None:
            entries.append(f'"namespace": {_string(item.namespace)}')
    if item.kind == "element" and item.nillable:
        entries.append('"nillable": True')
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
            # The length of a list counts items, of binary data octets: no str constraint then.
            if facet in _LENGTHS and item.type == "str" and not item.held_as:
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
    if item.kind == "any_attributes":
        arguments.append("default_factory=dict")
    elif item.many:
        if item.optional:
            arguments.append("default=None" if item.wrapper else "default_factory=list")
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
        outer, close = ("list[", "]") if item.many else ("Optional[", "]")
        if item.many and item.wrapper and item.optional:
            outer, close = "Optional[list[", "]]"
        members = "".join(f"        {'| ' if n else ''}{t}\n" for n, t in enumerate(item.type.split(" | ")))
        head = f"    {item.name}: {outer}\n{members}    {close}"
    # A list a restriction narrows holds the narrower items only, which a list's
    # invariance cannot say.
    ignore = "  # type: ignore[assignment]" if item.overrides is not None and item.many else ""
    if not arguments:
        return head + ignore
    if len(arguments) == 1 and arguments[0].startswith("default="):
        return f"{head} = {arguments[0][len('default='):]}{ignore}"
    call = "Field" if pydantic else "field"
    line = f"{head} = {call}({', '.join(arguments)})"
    if len(line.rpartition("\n")[2]) <= WIDTH and not (ignore and "\n" in line):
        return line + ignore
    inner = ", ".join(arguments)
    if len(inner) + 8 <= WIDTH:
        return f"{head} = {call}({ignore}\n        {inner}\n    )"
    return f"{head} = {call}({ignore}\n" + "".join(f"        {a},\n" for a in arguments) + "    )"


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
            if item.overrides is not None:
                continue  # a narrowed field keeps its base's place and default
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
    elif cls.type_name is not None:
        # A named type: an xsi:type naming it reads a field of a base type as this class.
        namespace, name = cls.type_name
        where = f"namespace={_string(namespace)}, " if namespace else ""
        lines.append(f"@kestrix.xml_element({where}type_name={_string(name)})")
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
    ordered = _order(classes)
    return _module(ordered, enums, header, style, _keyword_only(ordered), [], rebuild=True)


def _module(ordered: list[PyClass], enums: dict[str, PyEnum], header: str, style: str,
            keyword_only: dict[str, bool], siblings: list[str], rebuild: bool, later: tuple[str, ...] = ()) -> str:
    if style not in STYLES:
        raise ValueError(f"style must be one of {', '.join(STYLES)}, not {style!r}")
    pydantic = style == "pydantic"
    types = {t for c in ordered for f in c.fields for t in f.type.split(" | ")} | {c.base or "" for c in ordered}
    optional = any(f.optional and (not f.many or f.wrapper) and f.default is None for c in ordered for f in c.fields)
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
    if siblings:
        # Under a private name: a field of the same name would shadow the module in its class.
        imports += ["", *(f"from . import {name} as _{name}" for name in siblings)]
    names = sorted([*(c.name for c in ordered), *enums])
    parts = [header.rstrip("\n") + "\n\n" + "\n".join(imports),
             "__all__ = [\n" + "".join(f'    "{n}",\n' for n in names) + "]"]
    parts += ["\n".join(_enum_source(enums[name])) for name in sorted(enums)]
    parts += ["\n".join(_class_source(cls, pydantic, keyword_only[cls.name])) for cls in ordered]
    if later:
        # Modules whose classes only annotations name, imported once this module's
        # classes exist: two modules may name each other's classes.
        parts.append("\n".join(f"from . import {name} as _{name}  # noqa: E402" for name in later))
    if pydantic and ordered and rebuild:
        parts.append(_rebuild([c.name for c in ordered]))
    return "\n\n\n".join(parts) + "\n"


def _rebuild(names: list[str]) -> str:
    return "for _model in (\n" + "".join(f"    {n},\n" for n in names) + "):\n    _model.model_rebuild()"


# -- a package of one module per target namespace ---------------------------------------


def module_names(namespaces: set[str]) -> dict[str, str]:
    """A module name for each target namespace: a word of it in snake case
    ("assertion" of urn:oasis:names:tc:SAML:2.0:assertion), numbered when two
    namespaces give the same word, in namespace order."""
    names: dict[str, str] = {}
    taken = {"__init__"}
    for namespace in sorted(namespaces):
        word = snake(namespace_word(namespace)).strip("_") if namespace else "no_namespace"
        name, number = word, 2
        while name in taken:
            name, number = f"{word}_{number}", number + 1
        taken.add(name)
        names[namespace] = name
    return names


def _modules(classes: dict[str, PyClass], enums: dict[str, PyEnum]) -> dict[str, str]:
    """The module of each class and enum. Namespaces whose classes derive from each
    other both ways (a class needs its base when it is created) share one module."""
    namespace_of = {**{n: e.namespace for n, e in enums.items()}, **{n: c.namespace for n, c in classes.items()}}
    needs: dict[str, set[str]] = {ns: set() for ns in namespace_of.values()}
    for cls in classes.values():
        for name in (cls.base, *(f.default.partition(".")[0] for f in cls.fields if f.default)):
            if name in namespace_of and namespace_of[name] != cls.namespace:
                needs[cls.namespace].add(namespace_of[name])
    reach = {ns: set(direct) for ns, direct in needs.items()}
    changed = True
    while changed:
        changed = False
        for ns, found in reach.items():
            more = set().union(*(reach[n] for n in found)) - found
            if more:
                found |= more
                changed = True
    home = {ns: min([ns] + [n for n in reach[ns] if ns in reach[n]]) for ns in needs}
    names = module_names(set(home.values()))
    return {name: names[home[ns]] for name, ns in namespace_of.items()}


def _qualified(cls: PyClass, module: str, modules: dict[str, str], needed: set[str], named: set[str]) -> PyClass:
    """A copy of a class whose names of other modules' classes and enums are written
    _module.Name; `needed` gathers the modules it needs when it is created (its base,
    its defaults), `named` those its annotations name."""

    def name(text: str, into: set[str]) -> str:
        head = text.partition(".")[0]
        if head in modules and modules[head] != module:
            into.add(modules[head])
            return f"_{modules[head]}.{text}"
        return text

    fields = [replace(f, type=" | ".join(name(t, named) for t in f.type.split(" | ")),
                      default=name(f.default, needed) if f.default else f.default) for f in cls.fields]
    return replace(cls, base=name(cls.base, needed) if cls.base else None, fields=fields)


def package_sources(classes: dict[str, PyClass], enums: dict[str, PyEnum], header: str,
                    style: str) -> dict[str, str]:
    """The files of a package: one module per target namespace (importing the
    others it names) and an ``__init__`` that re-exports every class and enum."""
    modules = _modules(classes, enums)
    keyword_only = _keyword_only(_order(classes))
    files: dict[str, str] = {}
    exported: list[tuple[str, list[str]]] = []
    for module in sorted(set(modules.values())):
        needed: set[str] = set()
        named: set[str] = set()
        own = {n: _qualified(c, module, modules, needed, named) for n, c in classes.items() if modules[n] == module}
        own_enums = {n: e for n, e in enums.items() if modules[n] == module}
        files[f"{module}.py"] = _module(_order(own), own_enums, header, style, keyword_only, sorted(needed),
                                        rebuild=False, later=tuple(sorted(named - needed)))
        exported.append((module, sorted([*own, *own_enums])))
    lines = [header.rstrip("\n"), "", "from __future__ import annotations", ""]
    for module, names in exported:
        lines += [f"from .{module} import (", *(f"    {n}," for n in names), ")"]
    lines += ["", "", "__all__ = [", *(f'    "{n}",' for _, names in exported for n in names), "]"]
    if style == "pydantic" and classes:
        # Once every module is loaded, each model's annotations resolve.
        lines += ["", "", _rebuild([c.name for c in _order(classes)])]
    files["__init__.py"] = "\n".join(lines) + "\n"
    return files
