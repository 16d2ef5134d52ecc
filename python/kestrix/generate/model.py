"""The resolved component model: schema components in QName-keyed tables, and the
classes, fields and enums they map to.

:class:`Components` files every top-level component of every schema document
under its (namespace, name) in one table per kind. :class:`Resolver` walks them
and builds the :class:`PyClass` and :class:`PyEnum` descriptions the emitter
writes: one class per complex type (named from its context when anonymous), one
per global element (a subclass when its type is named), one enum per
enumerated simple type. Constructs that have no mapping yet become a
:class:`Report` (construct, file, line) and a documented fallback.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field, replace
from pathlib import Path

from .content import ContentModel, _ElementUse
from .builtins import AS_TEXT, BUILT_IN, FACETS
from .classes import (RESERVED, PyClass, PyEnum, PyField, PyMember, QName, Report, documentation,
                      enum_member, occurs, pascal, snake)
from .reader import XSD, GenerateError, Node, SchemaDocument, SchemaSet

KINDS = ("type", "element", "attribute", "group", "attributeGroup")
_TAG_KIND = {"simpleType": "type", "complexType": "type", "element": "element",
             "attribute": "attribute", "group": "group", "attributeGroup": "attributeGroup"}

@dataclass
class Component:
    node: Node
    document: SchemaDocument


def own_prefix(document: SchemaDocument) -> str | None:
    """The prefix a schema document binds its target namespace to, when it does not
    make it the default namespace: its elements are written with that prefix as the
    schema's own examples are (and no-namespace QName values stay writable)."""
    nsmap = document.root.nsmap
    if not document.namespace or nsmap.get("") == document.namespace:
        return None
    bound = sorted(p for p, uri in nsmap.items() if uri == document.namespace and p and p != "xml")
    return bound[0] if bound else None


def is_built_in(qname: QName) -> bool:
    """A built-in datatype (the schema for schemas defines more types in its namespace)."""
    return qname[0] == XSD and qname[1] in BUILT_IN


def namespace_word(namespace: str) -> str:
    """A word standing for a namespace, to tell same-named types apart: its last
    segment with a letter ("assertion" of urn:oasis:names:tc:SAML:2.0:assertion)."""
    for segment in reversed(re.split(r"[:/#]+", namespace)):
        if re.search("[A-Za-z]", segment):
            return pascal(segment)
    return "Ns"


class Components:
    """Every top-level component of a schema set, one QName-keyed table per kind."""

    def __init__(self, schemas: SchemaSet) -> None:
        self.tables: dict[str, dict[QName, Component]] = {kind: {} for kind in KINDS}
        # Components a <redefine> replaced, reachable from the replacement only.
        self.originals: dict[str, dict[QName, Component]] = {kind: {} for kind in KINDS}
        # id() of every node inside a redefining component -> (kind, its QName).
        self.redefining: dict[int, tuple[str, QName]] = {}
        self.reports: list[Report] = []
        # id() of every node of a schema included without a namespace of its own
        # -> the includer's: its unprefixed references name components there.
        self.chameleon: dict[int, str] = {}
        for document in schemas.documents:
            if document.namespace and "targetNamespace" not in document.root.attrib:
                stack = [document.root]
                while stack:
                    inner = stack.pop()
                    self.chameleon.setdefault(id(inner), document.namespace)
                    stack.extend(inner.children)
        for document in schemas.documents:
            for node in document.root.children:
                kind = _TAG_KIND.get(node.local) if node.tag.startswith(f"{{{XSD}}}") else None
                if kind and "name" in node.attrib:
                    self._file(kind, Component(node, document), replace=False)
        for document in schemas.documents:
            for node in document.redefines:
                kind = _TAG_KIND[node.local]
                qname = self._file(kind, Component(node, document), replace=True)
                stack = [node]
                while stack:
                    inner = stack.pop()
                    self.redefining[id(inner)] = (kind, qname)
                    stack.extend(inner.children)

    def _file(self, kind: str, component: Component, replace: bool) -> QName:
        qname = (component.document.namespace, component.node.attrib["name"])
        table = self.tables[kind]
        if replace:
            if qname in table:
                self.originals[kind][qname] = table[qname]
            table[qname] = component
        elif qname in table and table[qname].node is not component.node:
            first = table[qname]
            self.reports.append(Report(
                f"{component.node.local} {qname[1]!r}", component.document.path, component.node.line,
                f"declared again (first at {first.document.path}:{first.node.line}); the first is used"))
        else:
            table[qname] = component
        return qname

    def resolve(self, qname: QName, at: Node) -> QName:
        """The QName a reference at node `at` stands for (in a chameleon include, an
        unprefixed name is in the includer's namespace)."""
        if not qname[0] and id(at) in self.chameleon:
            return (self.chameleon[id(at)], qname[1])
        return qname

    def lookup(self, kind: str, qname: QName, at: Node) -> Component | None:
        """The component a reference at node `at` names (a redefinition's own name
        inside it names the component it redefines)."""
        qname = self.resolve(qname, at)
        if self.redefining.get(id(at)) == (kind, qname) and qname in self.originals[kind]:
            return self.originals[kind][qname]
        return self.tables[kind].get(qname)


class Names:
    """Unique Python class names, handed out in a deterministic order."""

    def __init__(self) -> None:
        self.taken: set[str] = set(RESERVED)

    def allocate(self, *candidates: str) -> str:
        for candidate in candidates:
            if candidate not in self.taken:
                self.taken.add(candidate)
                return candidate
        base, number = candidates[0], 2
        while f"{base}{number}" in self.taken:
            number += 1
        self.taken.add(f"{base}{number}")
        return f"{base}{number}"


class Resolver(ContentModel):
    """Maps the components of a schema set to Python classes and enums."""

    def __init__(self, schemas: SchemaSet) -> None:
        self.components = Components(schemas)
        self.reports = self.components.reports
        self.namespace_aware = any(d.namespace for d in schemas.documents)
        self.names = Names()
        self.classes: dict[str, PyClass] = {}
        self.enums: dict[str, PyEnum] = {}
        # Class or enum name of each named type and global element, by QName.
        self._type_names: dict[QName, str] = {}
        self._element_names: dict[QName, str] = {}
        self._built: dict[int, str] = {}  # id(complexType node) -> its class
        self._simple: dict[int, str] = {}  # id(simpleType node) -> annotation
        self._keep: list[Node] = []
        self._members: dict[QName, list[QName]] | None = None  # substitution group head -> members
        self._original_names: dict[int, str] = {}  # id(node) of a redefined type -> class name
        self._restrictions: dict[str, tuple[str, set[str]]] = {}  # class -> (base, prohibited attributes)
        self._member_classes: dict[tuple[str, QName], str] = {}  # (type class, element) -> element class
        self._any_type: str | None = None  # the class of content of type anyType, once needed

    # -- naming -----------------------------------------------------------------------

    def _name_everything(self) -> None:
        types = self.components.tables["type"]
        elements = self.components.tables["element"]
        # Global elements first: their names are what documents show.
        for qname in sorted(elements):
            if self._element_class_needed(elements[qname]):
                self._element_names[qname] = self.names.allocate(pascal(qname[1]), pascal(qname[1]) + "Element")
        for qname in sorted(types):
            node = types[qname].node
            if node.local == "complexType" or self._enumeration(node) is not None:
                own = pascal(qname[1])
                self._type_names[qname] = self.names.allocate(own, own + "Type", namespace_word(qname[0]) + own)

    def _element_class_needed(self, component: Component) -> bool:
        node = component.node
        if node.first("complexType") is not None:
            return True
        type_name = node.qname("type")
        if type_name is None:
            return node.first("simpleType") is None and "substitutionGroup" not in node.attrib
        if is_built_in(type_name):
            return type_name[1] == "anyType"
        found = self.components.lookup("type", type_name, node)
        if found is None:
            self._report(f"element {node.attrib['name']!r}", component.document, node,
                         f"no such type {{{type_name[0]}}}{type_name[1]}; no class for it")
        return found is not None and found.node.local == "complexType"

    # -- the whole set ----------------------------------------------------------------

    def resolve(self) -> None:
        self._name_everything()
        types = self.components.tables["type"]
        elements = self.components.tables["element"]
        for qname in sorted(types):
            component = types[qname]
            if component.node.local == "complexType":
                self._complex_class(component.node, component.document, self._type_names[qname])
            else:
                self._simple_annotation(component.node, component.document,
                                        self._type_names.get(qname, pascal(qname[1])))
        for qname in sorted(elements):
            if qname in self._element_names:
                self._element_class(qname, elements[qname])
        for qname, name in self._type_names.items():
            if name in self.classes:  # a complex type: documents may name it with xsi:type
                self.classes[name].type_name = qname
        self._derive_restrictions()
        self._catch_all()
        self._name_all_fields()

    def _catch_all(self) -> None:
        """Give each class whose content allows any element or attribute the field
        that keeps what its other fields do not take, unless a class it derives
        from has it already (or a choice field of its own catches the elements)."""
        for name in sorted(self.classes):
            cls = self.classes[name]
            bases = self._bases(cls.base)
            caught = any(f.kind == "choice" and "kestrix.Element" in f.type.split(" | ")
                         for c in [cls, *bases] for f in c.fields)
            if cls.catch_elements and not caught and not any(b.catch_elements for b in bases):
                cls.fields.append(PyField("other_elements", "elements", "", None, "kestrix.Element", optional=True,
                                          many=True))
            if cls.catch_attributes and not any(b.catch_attributes for b in bases):
                cls.fields.append(PyField("other_attributes", "any_attributes", "", None, "dict[str, str]",
                                          optional=True))

    def _bases(self, base: str | None) -> list[PyClass]:
        """The classes a class derives from, nearest first."""
        found: list[PyClass] = []
        while base is not None and base in self.classes and len(found) <= len(self.classes):
            found.append(self.classes[base])
            base = self.classes[base].base
        return found

    def _derive_restrictions(self) -> None:
        """Make each complex content restriction a subclass of its base's class, once
        every class has its fields (a recursive schema restricts a base whose fields
        are still being built), so that an xsi:type naming it reads where its base
        is expected. See :meth:`_narrowed` for when that is sound; where it is not,
        the class stays apart and gets the base's attributes it does not restate
        or prohibit."""
        done: set[str] = set()

        def visit(name: str) -> None:
            if name in done or name not in self._restrictions:
                return
            done.add(name)
            base, prohibited = self._restrictions[name]
            bases = self._bases(base)
            for walk in bases:
                visit(walk.name)
            bases = self._bases(base)  # a visited base may have become a subclass
            cls = self.classes[name]
            chain = [f for c in reversed(bases) for f in c.fields]
            narrowed = None if cls in bases else self._narrowed(cls, chain)
            if narrowed is not None:
                cls.base, cls.fields = base, narrowed
                cls.note(f"A restriction of {base}: the fields of {base} it leaves out, or the"
                         " attributes it prohibits, stay empty when read.")
                return
            names = {(f.namespace, f.xml_name) for f in cls.fields if f.kind == "attribute"}
            cls.fields += [replace(f) for f in chain if f.kind == "attribute" and f.xml_name not in prohibited
                           and (f.namespace, f.xml_name) not in names]

        for name in sorted(self._restrictions):
            visit(name)

    @staticmethod
    def _field_key(item: PyField) -> tuple[str | None, ...]:
        if item.kind in ("element", "attribute"):
            return (item.kind, item.namespace, item.xml_name, item.wrapper)
        return (item.kind, item.xml_name)

    def _narrowed(self, cls: PyClass, chain: list[PyField]) -> list[PyField] | None:
        """The fields a restriction restates as a subclass of the classes whose
        fields are `chain`, or None where it cannot be one.

        Each of its fields must be a field of the base (same kind and XML name; a
        choice field's members among the base's), as one or as many as the base
        holds, of the base's type or (a class) of a class derived from it. Only the
        fields whose class it narrows are restated, keeping the base's name and
        default: reading needs the narrower class, while a narrower simple type
        still reads as the base's. What the restriction leaves out (which the base
        allows absent) and the attributes it prohibits stay inherited."""
        found: dict[tuple[str | None, ...], PyField] = {self._field_key(f): f for f in chain}
        restated: list[PyField] = []
        for item in cls.fields:
            held = found.get(self._field_key(item))
            if item.kind == "choice":
                held = next((f for f in reversed(chain) if f.kind == "choice"
                             and {(m.namespace, m.xml_name, m.type) for m in item.members}
                             <= {(m.namespace, m.xml_name, m.type) for m in f.members}), None)
                if held is None or (item.many and not held.many):
                    return None
                continue
            if held is None or (item.many and not held.many):
                return None
            if item.type == held.type:
                continue
            narrower, wider = item.type in self.classes, held.type in self.classes
            if narrower != wider:
                return None
            if narrower:
                if held.type not in {c.name for c in self._bases(item.type)}:
                    return None
                restated.append(replace(held, type=item.type, doc=item.doc or held.doc, overrides=held))
        return restated

    def _name_all_fields(self) -> None:
        """Give every field a Python name unique in its class and the classes it
        derives from (bases first: a recursive schema builds a subclass before
        its base has its fields)."""
        done: set[str] = set()

        def visit(name: str) -> None:
            if name in done or name not in self.classes:
                return
            done.add(name)
            cls = self.classes[name]
            if cls.base is not None:
                visit(cls.base)
            cls.fields = self._name_fields(cls.fields, self._inherited_names(cls.base))

        for name in sorted(self.classes):
            visit(name)

    def _prefix_for(self, document: SchemaDocument) -> str | None:
        return own_prefix(document)

    def _report(self, construct: str, document: SchemaDocument, node: Node, message: str) -> None:
        self.reports.append(Report(construct, document.path, node.line, message))

    # -- simple types -----------------------------------------------------------------

    def _enumeration(self, node: Node) -> list[str] | None:
        restriction = node.first("restriction")
        if restriction is None:
            return None
        values = [e.attrib.get("value", "") for e in restriction.xsd_children("enumeration")]
        return values or None

    def type_annotation(self, qname: QName, at: Node, document: SchemaDocument) -> str:
        """The annotation of a value of the named type (a scalar, an enum or a class)."""
        if is_built_in(qname):
            return BUILT_IN[qname[1]]
        component = self.components.lookup("type", qname, at)
        if component is None:
            self._report(f"type {qname[1]!r}", document, at,
                         f"no such type in namespace {qname[0]!r}; bound as str")
            return "str"
        qname = self.components.resolve(qname, at)
        if component.node is not self.components.tables["type"][qname].node:
            # The original of a redefined type, which only its redefinition names.
            key = id(component.node)
            if key not in self._original_names:
                self._original_names[key] = self.names.allocate(pascal(qname[1]) + "Original")
            name = self._original_names[key]
        else:
            name = self._type_names.get(qname, pascal(qname[1]))
        if component.node.local == "complexType":
            return self._complex_class(component.node, component.document, name)
        return self._simple_annotation(component.node, component.document, name)

    def _simple_annotation(self, node: Node, document: SchemaDocument, context: str) -> str:
        key = id(node)
        if key in self._simple:
            return self._simple[key]
        self._simple[key] = "str"  # a type derived from itself ends here
        values = self._enumeration(node)
        if values is not None:
            name = context if "name" in node.attrib else self.names.allocate(context, context + "Enum")
            members: list[tuple[str, str]] = []
            used: set[str] = set()
            for value in values:
                member = enum_member(value)
                while member in used:
                    member += "_"
                used.add(member)
                members.append((member, value))
            self.enums[name] = PyEnum(name, members, documentation(node), document.namespace)
            self._simple[key] = name
            return name
        restriction = node.first("restriction")
        if restriction is not None:
            base = restriction.qname("base")
            if base is not None:
                result = self.type_annotation(base, restriction, document)
            elif (inner := restriction.first("simpleType")) is not None:
                result = self._simple_annotation(inner, document, context)
            else:
                result = "str"
        else:
            # xs:list and xs:union: bound as their text until kestrix binds them.
            result = "str"
        self._simple[key] = result
        return result

    def facets(self, node: Node | None, document: SchemaDocument, at: Node | None = None) -> dict[str, str]:
        """The facets that restrict a simple type (its own over those of its bases).

        `node` is a simpleType (or a restriction) node; with `at`, the type is
        the one named by at's type attribute instead.
        """
        found: dict[str, str] = {}
        seen: set[int] = set()
        while node is not None and id(node) not in seen:
            seen.add(id(node))
            restriction = node if node.local == "restriction" else node.first("restriction")
            if restriction is None:
                break
            for facet in restriction.xsd_children(*FACETS):
                if facet.local == "pattern" and "pattern" in found:
                    continue  # a derived type's pattern holds on top of its base's: keep the narrowest
                found.setdefault(facet.local, facet.attrib.get("value", ""))
            base = restriction.qname("base")
            inner = restriction.first("simpleType")
            if inner is not None:
                node = inner
                continue
            component = self.components.lookup("type", base, restriction) if base and not is_built_in(base) else None
            node = component.node if component is not None and component.node.local == "simpleType" else None
        found.pop("whiteSpace", None)
        return found

    def _declared_facets(self, declaration: Node, document: SchemaDocument) -> dict[str, str]:
        """The facets of the simple type of an element or attribute declaration."""
        type_name = declaration.qname("type")
        if type_name is not None:
            if is_built_in(type_name):
                return {}
            component = self.components.lookup("type", type_name, declaration)
            if component is None or component.node.local != "simpleType":
                return {}
            return self.facets(component.node, component.document)
        return self.facets(declaration.first("simpleType"), document)

    def _held_as_text(self, declaration: Node, attribute: str = "type") -> str | None:
        """Why a value bound as ``str`` is text although its schema type is not plain
        text (a built-in type kestrix has no Python type for, a list, a union), or
        None. `declaration` gives its type by `attribute` or by an inline simpleType."""
        type_name = declaration.qname(attribute)
        simple = declaration.first("simpleType") if type_name is None else None
        at, seen = declaration, set()
        while True:
            if type_name is not None:
                if is_built_in(type_name):
                    return f"xs:{type_name[1]}" if type_name[1] in AS_TEXT - {"anyType"} else None
                component = self.components.lookup("type", type_name, at)
                if component is None or component.node.local != "simpleType":
                    return None
                simple = component.node
            if simple is None or id(simple) in seen:
                return None
            seen.add(id(simple))
            if simple.first("list") is not None:
                return "a list of values (xs:list)"
            if simple.first("union") is not None:
                return "a union of types (xs:union)"
            restriction = simple.first("restriction")
            if restriction is None:
                return None
            type_name, at = restriction.qname("base"), restriction
            simple = restriction.first("simpleType") if type_name is None else None

    def _note_text(self, built: PyField, declaration: Node, attribute: str = "type") -> None:
        """Say in a str field's docstring that its value is kept as text, when its type is more."""
        if built.type != "str":
            return
        reason = self._held_as_text(declaration, attribute)
        if reason is not None:
            built.held_as = reason
            note = f"Held as its text: its schema type is {reason}, which kestrix binds to no type of its own."
            built.doc = f"{built.doc}\n\n{note}" if built.doc else note

    # -- complex types ----------------------------------------------------------------

    def _element_class(self, qname: QName, component: Component) -> None:
        node, document = component.node, component.document
        name = self._element_names[qname]
        if name in self.classes:
            return
        self._build_element_class(qname, component, name)
        self.classes[name].prefix = own_prefix(document)

    def _build_element_class(self, qname: QName, component: Component, name: str) -> None:
        node, document = component.node, component.document
        inline = node.first("complexType")
        if inline is not None:
            self._complex_class(inline, document, name, element=qname, doc_node=node)
            return
        type_name = node.qname("type")
        if type_name is None or type_name == (XSD, "anyType"):
            base = self._any_type_class(document)
        else:
            base = self.type_annotation(type_name, node, document)
        self.classes[name] = PyClass(name, base, [], qname, documentation(node), namespace=document.namespace)

    def _any_type_class(self, document: SchemaDocument) -> str:
        """The class of content of type anyType (an element declared so, or with no
        type at all): its attributes, and its text and elements in document order,
        kept as read. One class serves every such element; an element class of
        that type derives from it."""
        if self._any_type is None:
            self._any_type = self.names.allocate("AnyType")
            content = PyField("content", "choice", "content", None, "str | kestrix.Element", optional=True,
                              many=True, ordered_mixed=True)
            cls = PyClass(self._any_type, None, [content], doc="Content of any type (xs:anyType).",
                          namespace=document.namespace, catch_attributes=True)
            cls.note("Its attributes are kept in other_attributes; its text and elements in content, in"
                     " document order, the elements as kestrix.Element.")
            self.classes[self._any_type] = cls
        return self._any_type

    def _mixed_field(self) -> PyField:
        return PyField("text", "mixed", "", None, "str", default='""')

    def _complex_class(self, node: Node, document: SchemaDocument, name: str,
                       element: QName | None = None, doc_node: Node | None = None) -> str:
        if id(node) in self._built:
            return self._built[id(node)]  # met again (a group used twice): one class serves
        self._built[id(node)] = name
        cls = PyClass(name, None, [], element, documentation(doc_node or node), namespace=document.namespace)
        self.classes[name] = cls
        if node.attrib.get("abstract") == "true":
            cls.note("Abstract in the schema: documents hold one of its derived types, named by xsi:type.")
        mixed = node.attrib.get("mixed") == "true"
        simple = node.first("simpleContent")
        complex_ = node.first("complexContent")
        fields: list[PyField] = []
        if simple is not None:
            fields = self._simple_content(simple, document, cls)
        elif complex_ is not None:
            mixed = mixed or complex_.attrib.get("mixed") == "true"
            fields = self._complex_content(complex_, document, cls, mixed)
        else:
            fields = self._content(node, document, cls, mixed) + self._attributes(node, document, cls)
        extension = complex_.first("extension") if complex_ is not None else None
        if (mixed and not any(f.kind == "mixed" or f.ordered_mixed for f in fields)
                and not (extension is not None and self._base_content(extension))):
            fields.append(self._mixed_field())
            cls.note("Mixed content: the text between its elements is kept as one string"
                             " (its position among the elements is not).")
        cls.fields = fields  # named once every class is built (see _name_all_fields)
        return name

    def _base_content(self, derivation: Node) -> bool:
        """Whether the base of a complex content extension has content of its own
        (elements, or mixed text), which its class holds: read from the schema,
        since in a recursive schema that class may still be being built."""
        seen: set[int] = set()
        node: Node | None = derivation
        while node is not None and node.local == "extension" and id(node) not in seen:
            seen.add(id(node))
            base = node.qname("base")
            component = self.components.lookup("type", base, node) if base and not is_built_in(base) else None
            if component is None or component.node.local != "complexType":
                return False
            held = component.node
            complex_ = held.first("complexContent")
            if held.attrib.get("mixed") == "true" or held.xsd_children("sequence", "choice", "all", "group"):
                return True
            if complex_ is None:
                return False
            node = complex_.first("extension", "restriction")
            if complex_.attrib.get("mixed") == "true" or (
                    node is not None and node.xsd_children("sequence", "choice", "all", "group")):
                return True
        return False

    def _inherited_names(self, base: str | None) -> set[str]:
        names: set[str] = set()
        while base is not None and base in self.classes:
            names.update(f.name for f in self.classes[base].fields)
            base = self.classes[base].base
        return names

    def _base_class(self, derivation: Node, document: SchemaDocument) -> tuple[str | None, Component | None]:
        base = derivation.qname("base")
        if base is None or is_built_in(base):
            return None, None
        component = self.components.lookup("type", base, derivation)
        if component is None or component.node.local != "complexType":
            return None, component
        return self.type_annotation(base, derivation, document), component

    def _simple_content(self, simple: Node, document: SchemaDocument, cls: PyClass) -> list[PyField]:
        derivation = simple.first("extension", "restriction")
        if derivation is None:
            return []
        base_class, component = self._base_class(derivation, document)
        fields: list[PyField] = []
        if base_class is not None:
            cls.base = base_class
            inherited: set[tuple[str | None, str]] = set()
            walk: str | None = base_class
            while walk is not None and walk in self.classes:
                inherited.update((f.namespace, f.xml_name) for f in self.classes[walk].fields)
                walk = self.classes[walk].base
            # An attribute the base declares already is restated, not added.
            fields = [f for f in self._attributes(derivation, document, cls)
                      if (f.namespace, f.xml_name) not in inherited]
            if derivation.local == "restriction" and derivation.first("enumeration") is not None:
                cls.note("Its text is restricted to: "
                                 + ", ".join(repr(e.attrib.get("value", ""))
                                             for e in derivation.xsd_children("enumeration")))
            return fields
        base = derivation.qname("base")
        text_type = "str"
        wrapper = Node(f"{{{XSD}}}simpleType", {}, derivation.line, derivation.nsmap, [derivation])
        if derivation.local == "restriction" and self._enumeration(wrapper) is not None:
            self._keep.append(wrapper)  # its id keys the cache of simple types
            text_type = self._simple_annotation(wrapper, document, cls.name + "Value")
        elif base is not None:
            text_type = self.type_annotation(base, derivation, document)
        text = PyField("value", "text", "", None, text_type, facets=self.facets(derivation, document))
        self._note_text(text, derivation, "base")
        if text_type == "str" and derivation.local == "extension":
            text.default = '""'
        return [text] + self._attributes(derivation, document, cls)

    def _complex_content(self, complex_: Node, document: SchemaDocument, cls: PyClass,
                         mixed: bool) -> list[PyField]:
        derivation = complex_.first("extension", "restriction")
        if derivation is None:
            return []
        base_class, _ = self._base_class(derivation, document)
        if derivation.local == "extension":
            cls.base = base_class
            return self._content(derivation, document, cls, mixed) + self._attributes(derivation, document, cls)
        # A restriction restates the content it keeps; the base's attributes stay
        # unless prohibited (added once every class is built).
        prohibited = {a.attrib.get("name") or (a.qname("ref") or ("", ""))[1]
                      for a in derivation.xsd_children("attribute") if a.attrib.get("use") == "prohibited"}
        if base_class is not None:
            self._restrictions[cls.name] = (base_class, prohibited)
        return self._content(derivation, document, cls, mixed) + self._attributes(derivation, document, cls)

    def _element_field(self, use: _ElementUse, cls: PyClass, wrap: bool = True) -> PyField | None:
        """The field of one element use; with `wrap`, an element that only holds a
        list is a wrapped list (a member of a choice field holds its own class)."""
        node, document = use.node, use.document
        if node.local == "any":  # caught by a field of its own (see _catch_all)
            cls.catch_elements = True
            return None
        ref = node.qname("ref")
        doc = documentation(node)
        declaration, declared_in = node, document  # where its type is given
        if ref is not None:
            component = self.components.lookup("element", ref, node)
            if component is None:
                self._report("element ref", document, node, f"no such element {{{ref[0]}}}{ref[1]}; skipped")
                return None
            target = component.node
            declaration, declared_in = target, component.document
            ref = self.components.resolve(ref, node)
            namespace, name = ref
            annotation = self._global_element_annotation(ref, component)
            doc = doc or documentation(target)
            nillable = target.attrib.get("nillable") == "true"
            default = target.attrib.get("default") or target.attrib.get("fixed")
        else:
            name = node.attrib.get("name", "")
            form = node.attrib.get("form")
            qualified = form == "qualified" if form else document.element_qualified
            namespace = document.namespace if qualified else ""
            wrapped = None if use.many or not wrap else self._wrapped_list(node, document, cls, name, namespace)
            if wrapped is not None:
                wrapped.optional, wrapped.doc = use.optional, doc or wrapped.doc
                return wrapped
            annotation = self._local_type(node, document, cls.name + pascal(name))
            nillable = node.attrib.get("nillable") == "true"
            default = node.attrib.get("default") or node.attrib.get("fixed")
        if default is not None:
            doc = (doc + "\n\n" if doc else "") + f"Default in the schema (for an empty element): {default!r}."
        facets = {} if annotation in self.classes else self._declared_facets(declaration, declared_in)
        built = PyField(snake(name), "element", name, namespace if self.namespace_aware else None, annotation,
                        optional=use.optional or nillable, many=use.many, doc=doc, facets=facets)
        # A required element that is nil must be written back nil, not left out (the
        # document would lack it). Where it may be absent, None stays absence.
        built.nillable = nillable and not use.optional and not use.many and annotation not in self.classes
        self._note_text(built, declaration)
        return built

    def _wrapped_list(self, node: Node, document: SchemaDocument, cls: PyClass, name: str,
                      namespace: str) -> PyField | None:
        """A local element whose anonymous type holds nothing but a list of items of
        its own namespace (no attributes, no text) as a wrapped list field, with no
        class for the wrapper; None for any other element."""
        inline = node.first("complexType")
        if (inline is None or id(inline) in self._built or inline.attrib.get("mixed") == "true"
                or inline.xsd_children("attribute", "attributeGroup", "anyAttribute", "simpleContent",
                                       "complexContent")
                or any(key in node.attrib for key in ("nillable", "default", "fixed"))):
            return None
        holder = PyClass(cls.name + pascal(name), None, [])
        fields = self._content(inline, document, holder)
        if (len(fields) != 1 or holder.notes or holder.catch_elements or not fields[0].many
                or fields[0].ordered_mixed):
            return None
        item = fields[0]
        if item.kind == "element" and item.namespace not in (None, namespace):
            return None
        if item.kind == "choice" and any(m.namespace != namespace for m in item.members):
            return None
        if item.kind not in ("element", "choice"):
            return None
        wrapped = replace(item, name=snake(name), wrapper=name, default=None)
        if item.kind == "choice" and self.namespace_aware:
            wrapped.namespace = namespace
        return wrapped

    def _global_element_annotation(self, qname: QName, component: Component) -> str:
        if qname in self._element_names:
            self._element_class(qname, component)
            return self._element_names[qname]
        return self._local_type(component.node, component.document, pascal(qname[1]))

    def _local_type(self, node: Node, document: SchemaDocument, context: str) -> str:
        type_name = node.qname("type")
        if type_name is not None:
            if type_name == (XSD, "anyType"):
                return self._any_type_class(document)
            return self.type_annotation(type_name, node, document)
        inline = node.first("complexType")
        if inline is not None:
            if id(inline) in self._built:
                return self._built[id(inline)]
            return self._complex_class(inline, document, self.names.allocate(context), doc_node=node)
        simple = node.first("simpleType")
        if simple is not None:
            return self._simple_annotation(simple, document, context)
        if "substitutionGroup" in node.attrib:
            return "str"
        return self._any_type_class(document)  # an element without a type is of type anyType

    # -- attributes ---------------------------------------------------------------------

    def _attributes(self, node: Node, document: SchemaDocument, cls: PyClass) -> list[PyField]:
        fields: list[PyField] = []
        for child in node.xsd_children("attribute", "attributeGroup", "anyAttribute"):
            if child.local == "attribute":
                built = self._attribute_field(child, document, cls)
                if built is not None:
                    fields.append(built)
            elif child.local == "attributeGroup":
                ref = child.qname("ref")
                component = self.components.lookup("attributeGroup", ref, child) if ref else None
                if component is None:
                    self._report("attributeGroup", document, child, f"no such attribute group {ref}; skipped")
                    continue
                fields.extend(self._attributes(component.node, component.document, cls))
            else:
                cls.catch_attributes = True
        return fields

    def _attribute_field(self, node: Node, document: SchemaDocument, cls: PyClass) -> PyField | None:
        if node.attrib.get("use") == "prohibited":
            return None
        ref = node.qname("ref")
        target, target_document = node, document
        if ref is not None:
            if ref[0] == XSD_XML:
                namespace, name = ref
                annotation = "str"
                default = node.attrib.get("default") or node.attrib.get("fixed")
                return self._finish_attribute(node, name, namespace, annotation, default, document, cls, "")
            component = self.components.lookup("attribute", ref, node)
            if component is None:
                self._report("attribute ref", document, node, f"no such attribute {{{ref[0]}}}{ref[1]}; skipped")
                return None
            target, target_document = component.node, component.document
            namespace, name = self.components.resolve(ref, node)
        else:
            name = node.attrib.get("name", "")
            form = node.attrib.get("form")
            qualified = form == "qualified" if form else document.attribute_qualified
            namespace = document.namespace if qualified else ""
        type_name = target.qname("type")
        if type_name is not None:
            annotation = self.type_annotation(type_name, target, target_document)
        elif (simple := target.first("simpleType")) is not None:
            annotation = self._simple_annotation(simple, target_document, cls.name + pascal(name))
        else:
            annotation = "str"
        default = (node.attrib.get("default") or node.attrib.get("fixed")
                   or target.attrib.get("default") or target.attrib.get("fixed"))
        built = self._finish_attribute(node, name, namespace, annotation, default, document, cls,
                                       documentation(node) or documentation(target))
        built.facets = self._declared_facets(target, target_document)
        self._note_text(built, target)
        return built

    def _finish_attribute(self, node: Node, name: str, namespace: str, annotation: str, default: str | None,
                          document: SchemaDocument, cls: PyClass, doc: str) -> PyField:
        built = PyField(snake(name), "attribute", name, namespace or None, annotation, doc=doc)
        if default is not None:
            literal = self.literal(default, annotation)
            if literal is None:
                self._report(f"attribute {name!r}", document, node,
                             f"default {default!r} cannot be written as a {annotation}; left out")
                built.optional = True
            else:
                built.default = literal
        elif node.attrib.get("use") != "required":
            built.optional = True
        return built

    def literal(self, value: str, annotation: str) -> str | None:
        """Python source for a schema value of the given annotation, or None."""
        text = value.strip()
        try:
            if annotation == "str":
                return repr(value)
            if annotation == "int":
                return repr(int(text))
            if annotation == "float":
                number = float(text.replace("INF", "inf"))
                return repr(number) if number == number and abs(number) != float("inf") else f"float({text!r})"
            if annotation == "bool":
                return {"true": "True", "1": "True", "false": "False", "0": "False"}.get(text)
            if annotation == "Decimal":
                from decimal import Decimal

                Decimal(text)
                return f"Decimal({text!r})"
        except ValueError:
            return None
        if annotation in self.enums:
            for member, member_value in self.enums[annotation].members:
                if member_value == value or member_value == text:
                    return f"{annotation}.{member}"
        return None

    # -- field names --------------------------------------------------------------------

    @staticmethod
    def _name_fields(fields: list[PyField], inherited: set[str]) -> list[PyField]:
        used = set(inherited)
        # Attributes first, then the elements in content order, then the text.
        # The catch-all fields last: they have defaults, and caught elements are written after the others.
        order = {"attribute": 0, "element": 1, "choice": 1, "text": 2, "mixed": 2, "any_attributes": 3, "elements": 3}
        fields = sorted(fields, key=lambda f: order[f.kind])
        for item in fields:
            if item.overrides is not None:  # a restriction narrows its base's field
                item.name = item.overrides.name
                continue
            name = item.name
            if name in used:
                name = name + ("_attribute" if item.kind == "attribute" else "_element")
            number = 2
            while name in used:
                name = f"{item.name}_{number}"
                number += 1
            item.name = name
            used.add(name)
        return fields


XSD_XML = "http://www.w3.org/XML/1998/namespace"


def check_names(schemas: SchemaSet) -> None:
    if not schemas.documents:
        raise GenerateError("no schema given")
