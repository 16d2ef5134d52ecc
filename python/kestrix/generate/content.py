"""The content model of a complex type: its particles as fields.

A particle tree (sequence, choice, all, group references, elements and the
members of substitution groups) becomes a run of *slots*, each one field:

- an element on its own is a plain field (``Optional`` when it may be absent,
  a ``list`` when it may repeat);
- a choice, sequence or group that repeats and holds elements of several names,
  whose order in a document therefore carries meaning, is one choice field:
  a list of items in document order, each item's class (or the "choices"
  mapping) telling which element it is;
- a choice that does not repeat, between single elements, is one optional
  choice field holding the alternative present;
- an element that appears at two places of the content joins the slots between
  them into one choice field, so that writing keeps the document's order.

Mixed content is one choice field that takes the text runs as ``str`` items
beside the elements. A choice field needs each member told apart on writing:
class members are element classes (a local element of a complex type gets a
subclass that declares its element); scalar members are named in "choices"
and told apart by their Python type, so those that share one (or lie in
different namespaces) get a small element class holding the value as text.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING

from .classes import PyClass, PyField, PyMember, QName, occurs, pascal, snake
from .reader import XSD, Node, SchemaDocument

if TYPE_CHECKING:
    from .model import Resolver

_PARTICLES = ("element", "sequence", "choice", "group", "any")
_SCALARS_WRITTEN = {"str", "int", "float", "bool", "Decimal", "datetime.date", "datetime.time",
                    "datetime.datetime", "kestrix.QName"}


@dataclass
class _ElementUse:
    node: Node
    document: SchemaDocument
    optional: bool
    many: bool
    in_choice: bool


@dataclass
class _Slot:
    """Element uses that make one field."""

    uses: list[_ElementUse]
    node: Node  # the particle it comes from, for reports
    choice: bool = False  # several elements in one field
    ordered: bool = False  # a list of them in document order (else one optional item)
    name: str = ""  # what the field is called, when its particle says (a group, a substitution head)
    keys: list[QName] = field(default_factory=list)


class ContentModel:
    """The particle half of :class:`~.model.Resolver`: content models to fields."""

    def _content(self: Resolver, node: Node, document: SchemaDocument, cls: PyClass,
                 mixed: bool = False) -> list[PyField]:
        if mixed and not self._base_content(node):
            ordered = self._mixed_content(node, document, cls)
            if ordered is not None:
                return [ordered]
        slots: list[_Slot] = []
        for particle in node.xsd_children("sequence", "choice", "all", "group"):
            self._slots(particle, document, False, False, slots, cls)
        fields: list[PyField] = []
        for slot in self._merge_slots(slots):
            fields.extend(self._slot_fields(slot, cls))
        return self._merge_plain(fields, cls)

    def _mixed_content(self: Resolver, node: Node, document: SchemaDocument, cls: PyClass) -> PyField | None:
        """The one field of mixed content: text runs and elements in document order."""
        uses: list[_ElementUse] = []
        for particle in node.xsd_children("sequence", "choice", "all", "group"):
            self._flatten(particle, document, True, True, uses, cls)
        slot = _Slot(self._with_substitutes(uses, cls), node, choice=True, ordered=True)
        built = self._choice_field(slot, cls, mixed=True)
        if built is not None:
            built.name, built.xml_name = "content", "content"
        return built

    # -- particles to slots ---------------------------------------------------------

    def _use_key(self: Resolver, use: _ElementUse) -> QName:
        if use.node.local == "any":
            return ("", "*")  # any element: caught as kestrix.Element
        ref = use.node.qname("ref")
        if ref is not None:
            return self.components.resolve(ref, use.node)
        form = use.node.attrib.get("form")
        qualified = form == "qualified" if form else use.document.element_qualified
        return (use.document.namespace if qualified else "", use.node.attrib.get("name", ""))

    def _slots(self: Resolver, node: Node, document: SchemaDocument, optional: bool, many: bool,
               out: list[_Slot], cls: PyClass, name: str = "") -> None:
        low, more = occurs(node)
        optional, many = optional or low == 0, many or more
        if node.local == "element":
            use = _ElementUse(node, document, optional, many, False)
            uses = self._with_substitutes([use], cls)
            out.append(_Slot(uses, node, choice=len(uses) > 1, ordered=many,
                             name=self._use_key(use)[1] if len(uses) > 1 else ""))
        elif node.local == "any":
            cls.catch_elements = True
        elif node.local == "group":
            group = self._group(node, document)
            if group is None:
                return
            component, ref = group
            for child in component.node.xsd_children("sequence", "choice", "all"):
                self._slots(child, component.document, optional, many, out, cls, ref[1])
        else:
            children = node.xsd_children(*_PARTICLES)
            alternatives = node.local == "choice" and len(children) > 1
            if many or alternatives:
                uses: list[_ElementUse] = []
                for child in children:
                    self._flatten(child, document, optional or alternatives, many, uses, cls)
                uses = self._with_substitutes(uses, cls)
                if len({self._use_key(u) for u in uses}) > 1:
                    single = not many and all(c.local == "element" and not occurs(c)[1] for c in children)
                    out.append(_Slot(uses, node, choice=True, ordered=not single, name=name))
                    return
            for child in children:
                self._slots(child, document, optional or alternatives, many, out, cls)

    def _group(self: Resolver, node: Node, document: SchemaDocument):
        """The group a `group ref` names with that name, or None (reported)."""
        ref = node.qname("ref")
        component = self.components.lookup("group", ref, node) if ref else None
        if component is None:
            self._report("group", document, node, f"no such group {ref}; skipped")
            return None
        return component, ref

    def _flatten(self: Resolver, node: Node, document: SchemaDocument, optional: bool, many: bool,
                 out: list[_ElementUse], cls: PyClass) -> None:
        """Every element use inside a particle, in schema order."""
        low, more = occurs(node)
        optional, many = optional or low == 0, many or more
        if node.local == "element":
            out.append(_ElementUse(node, document, optional, many, False))
        elif node.local in ("sequence", "all", "choice"):
            children = node.xsd_children(*_PARTICLES)
            alternatives = node.local == "choice" and len(children) > 1
            for child in children:
                self._flatten(child, document, optional or alternatives, many, out, cls)
        elif node.local == "group":
            group = self._group(node, document)
            if group is None:
                return
            component = group[0]
            for child in component.node.xsd_children("sequence", "choice", "all"):
                self._flatten(child, component.document, optional, many, out, cls)
        elif node.local == "any":
            out.append(_ElementUse(node, document, optional, many, False))

    def _merge_slots(self: Resolver, slots: list[_Slot]) -> list[_Slot]:
        """Join the slots from one appearance of an element to the next into one
        ordered choice slot, until no element has two slots."""
        for slot in slots:
            slot.keys = list(dict.fromkeys(self._use_key(u) for u in slot.uses))
        merged = True
        while merged:
            merged = False
            first: dict[QName, int] = {}
            for index, slot in enumerate(slots):
                again = next((first[k] for k in slot.keys if k in first), None)
                if again is not None:
                    span = slots[again:index + 1]
                    names = {s.name for s in span}
                    joined = _Slot([u for s in span for u in s.uses], span[0].node, choice=True, ordered=True,
                                   name=names.pop() if len(names) == 1 and "" not in names else "content")
                    joined.keys = list(dict.fromkeys(k for s in span for k in s.keys))
                    slots[again:index + 1] = [joined]
                    merged = True
                    break
                for key in slot.keys:
                    first.setdefault(key, index)
        return slots

    # -- slots to fields ------------------------------------------------------------

    def _slot_fields(self: Resolver, slot: _Slot, cls: PyClass) -> list[PyField]:
        if slot.choice and len(slot.keys) > 1:
            built = self._choice_field(slot, cls)
            return [built] if built is not None else []
        fields = [f for f in (self._element_field(u, cls, wrap=not slot.choice) for u in slot.uses) if f is not None]
        if slot.choice:  # one element, met several times in the slot
            for item in fields:
                item.many = item.many or slot.ordered
                item.optional = True
        return fields

    def _merge_plain(self: Resolver, fields: list[PyField], cls: PyClass) -> list[PyField]:
        """The same element in two plain fields (a fallback) is one list keeping them all."""
        result: list[PyField] = []
        index: dict[tuple[str | None, str, str], PyField] = {}
        for built in fields:
            key = (built.namespace, built.xml_name, built.wrapper)
            if built.kind != "element":
                result.append(built)
                continue
            if key in index:
                index[key].many = True
                index[key].optional = index[key].optional and built.optional
                index[key].default = None
                cls.note(f"<{built.xml_name}> appears at several places of the content;"
                         " its field holds them all, in document order.")
                continue
            index[key] = built
            result.append(built)
        return result

    def _choice_field(self: Resolver, slot: _Slot, cls: PyClass, mixed: bool = False) -> PyField | None:
        members: list[PyMember] = []
        values: list[tuple[_ElementUse, PyField]] = []  # the scalar members' uses and fields
        seen: set[QName] = set()
        docs: list[str] = []
        wildcard = False
        for use in slot.uses:
            key = self._use_key(use)
            if key in seen:
                continue
            seen.add(key)
            if use.node.local == "any":
                wildcard = True
                continue
            built = self._element_field(use, cls, wrap=False)
            if built is None:
                continue
            annotation = built.type
            if annotation in self.classes:
                annotation = self._member_class(use, annotation, key)
            else:
                values.append((use, built))
            members.append(PyMember(key[1], key[0], annotation))
            if built.doc:
                docs.append(f"<{key[1]}>: {built.doc}")
        if not members and not mixed:
            cls.catch_elements = cls.catch_elements or wildcard
            return None
        # Scalar members are told apart by their Python type, and named in one
        # namespace: those that share a type (with each other, or with the text of
        # mixed content), or all of them when their namespaces differ, get a class
        # that holds the value and declares the element.
        scalar_types = [m.type for m in members if m.type not in self.classes] + (["str"] if mixed else [])
        apart = len({m.namespace for m in members if m.type not in self.classes}) > 1
        for use, built in values:
            member = next(m for m in members if m.xml_name == built.xml_name and m.type == built.type)
            if apart or scalar_types.count(built.type) > 1:
                member.type = self._value_class(use, built, (member.namespace or "", member.xml_name), cls)
        scalars = [m for m in members if m.type not in self.classes]
        types = (["str"] if mixed else []) + [m.type for m in members]
        if wildcard and scalars:
            cls.catch_elements = True  # a field of its own catches the elements no member takes
        elif wildcard:
            types.append("kestrix.Element")  # caught in place, among the members
        name = slot.name or ("_or_".join(m.xml_name for m in members) if len(members) <= 3 else "choice")
        built = PyField(snake(name), "choice", name, None, " | ".join(types), optional=True, many=slot.ordered,
                        doc="\n\n".join(docs), members=members, ordered_mixed=mixed)
        built.named_members = bool(scalars)
        if built.named_members and self.namespace_aware:
            built.namespace = scalars[0].namespace
        return built

    def _value_class(self: Resolver, use: _ElementUse, built: PyField, key: QName, cls: PyClass) -> str:
        """A class holding the value of a scalar choice member as its text, declaring its element."""
        element = key if self.namespace_aware else ("", key[1])
        cached = self._member_classes.get((built.type, element))
        if cached is None:
            # A global element's class is named after it; a local one's from its context.
            own = (pascal(key[1]),) if use.node.qname("ref") is not None else ()
            cached = self.names.allocate(*own, cls.name + pascal(key[1]))
            text = replace(built, name="value", kind="text", xml_name="", namespace=None, optional=False,
                           many=False, nillable=False, default='""' if built.type == "str" else None, doc=built.held_as and
                           f"Held as its text: its schema type is {built.held_as}, which kestrix binds to no"
                           " type of its own.")
            self.classes[cached] = PyClass(cached, None, [text], element, f"A <{key[1]}> element holding a value.",
                                           prefix=self._prefix_for(use.document), namespace=use.document.namespace)
            self._member_classes[(built.type, element)] = cached
        return cached

    def _member_class(self: Resolver, use: _ElementUse, annotation: str, key: QName) -> str:
        """The element class standing for a class member of a choice: the class
        itself when it declares that element, else (a local element of a complex
        type) a subclass declaring it, one per element and type."""
        held = self.classes[annotation]
        element = key if self.namespace_aware else ("", key[1])
        if held.element == element:
            return annotation
        inline = use.node.first("complexType")
        if held.element is None and inline is not None and self._built.get(id(inline)) == annotation:
            held.element, held.prefix = element, self._prefix_for(use.document)
            return annotation
        cached = self._member_classes.get((annotation, element))
        if cached is None:
            cached = self.names.allocate(annotation + pascal(key[1]))
            self.classes[cached] = PyClass(cached, annotation, [], element,
                                           f"A <{key[1]}> element holding a {annotation}.",
                                           prefix=self._prefix_for(use.document), namespace=use.document.namespace)
            self._member_classes[(annotation, element)] = cached
        return cached

    # -- substitution groups --------------------------------------------------------

    def _substitutes(self: Resolver, head: QName) -> list[QName]:
        """The global elements that may stand for `head`, transitively, in QName order."""
        if self._members is None:
            self._members = {}
            for qname, component in sorted(self.components.tables["element"].items()):
                group = component.node.qname("substitutionGroup")
                if group is not None:
                    group = self.components.resolve(group, component.node)
                    self._members.setdefault(group, []).append(qname)
        found: list[QName] = []
        pending = list(self._members.get(head, []))
        while pending:
            member = pending.pop(0)
            if member not in found and member != head:
                found.append(member)
                pending.extend(self._members.get(member, []))
        return sorted(found)

    def _with_substitutes(self: Resolver, uses: list[_ElementUse], cls: PyClass) -> list[_ElementUse]:
        """The element uses with each reference to the head of a substitution group
        followed by one use per member (the head's own left out when abstract)."""
        result: list[_ElementUse] = []
        for use in uses:
            ref = use.node.qname("ref")
            if ref is not None:
                ref = self.components.resolve(ref, use.node)
            members = self._substitutes(ref) if ref is not None else []
            if not members:
                result.append(use)
                continue
            head = self.components.lookup("element", ref, use.node) if ref is not None else None
            if head is not None and head.node.attrib.get("abstract") != "true":
                result.append(_ElementUse(use.node, use.document, True, use.many, True))
            for member in members:
                node = Node(f"{{{XSD}}}element", {"ref": f"m:{member[1]}"}, use.node.line, {"m": member[0]})
                self._keep.append(node)
                result.append(_ElementUse(node, use.document, True, use.many, True))
        return result
