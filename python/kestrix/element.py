"""Declaring the element a model class is written as: its name and namespace."""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported at run time

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping
    from typing import TypeVar

    _C = TypeVar("_C", bound=type)

__all__ = ["ElementDeclaration", "xml_element"]

_RESERVED_PREFIXES = ("xml", "xmlns")


class ElementDeclaration:
    """What :func:`xml_element` records on a class, under ``__kestrix_element__``.

    Attributes:
        name: the element's local name, or None for the class's own name.
        namespace: the namespace URI of the class's element, or None.
        prefixes: preferred prefixes for namespace URIs (prefix -> URI).
        prefix: the prefix the class's element is written with, or None for
            the default namespace; bound to ``namespace`` in ``prefixes``.
        type_name: the type name an ``xsi:type`` gives to choose the class in
            place of a base class (in ``namespace``), or None.
    """

    # A plain class rather than a dataclass: importing dataclasses (and with it
    # inspect) would multiply the time `import kestrix` takes.
    __slots__ = ("name", "namespace", "prefixes", "prefix", "type_name")

    name: str | None
    namespace: str | None
    prefixes: dict[str, str]
    prefix: str | None
    type_name: str | None

    def __init__(
        self,
        name: str | None = None,
        namespace: str | None = None,
        prefixes: dict[str, str] | None = None,
        prefix: str | None = None,
        type_name: str | None = None,
    ) -> None:
        object.__setattr__(self, "name", name)
        object.__setattr__(self, "namespace", namespace)
        object.__setattr__(self, "prefixes", dict(prefixes or {}))
        object.__setattr__(self, "prefix", prefix)
        object.__setattr__(self, "type_name", type_name)

    def __setattr__(self, key: str, value: object) -> None:
        raise AttributeError(f"ElementDeclaration is read-only; cannot set {key!r}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ElementDeclaration):
            return NotImplemented
        return (self.name, self.namespace, self.prefixes, self.prefix, self.type_name) == (
            other.name,
            other.namespace,
            other.prefixes,
            other.prefix,
            other.type_name,
        )

    def __hash__(self) -> int:
        return hash((self.name, self.namespace, tuple(self.prefixes.items()), self.prefix,
                     self.type_name))

    def __repr__(self) -> str:
        own = "" if self.prefix is None else f", prefix={self.prefix!r}"
        if self.type_name is not None:
            own += f", type_name={self.type_name!r}"
        return (
            f"ElementDeclaration(name={self.name!r}, namespace={self.namespace!r}, "
            f"prefixes={self.prefixes!r}{own})"
        )


def _check_name(value: object, what: str) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if not value or ":" in value or any(c.isspace() for c in value) or value[0] in "-.0123456789":
        raise ValueError(f"{what} must be an XML name without a prefix, got {value!r}")


def _check_prefix(prefix: object) -> None:
    _check_name(prefix, "a prefix")
    if prefix.lower().startswith("xml"):  # type: ignore[attr-defined]
        raise ValueError(f"the prefix {prefix!r} is reserved")


def xml_element(
    name: str | None = None,
    *,
    namespace: str | None = None,
    prefixes: Mapping[str, str] | None = None,
    prefix: str | None = None,
    type_name: str | None = None,
) -> Callable[[_C], _C]:
    """Declare the XML element a model class is written as and read from.

    A class decorator for dataclasses and pydantic-style models alike (one
    mechanism for both, checked when the class is defined, and visible to
    type checkers). It records an :class:`ElementDeclaration` on the class as
    ``__kestrix_element__``; the class itself is returned unchanged.

    - ``name``: the class is written under this element name instead of its
      class name; ``deserialize`` accepts only a document element of that name
      and ``iterparse`` looks for it by default.
    - ``namespace``: the namespace URI of the class's element. Child elements
      of a class are in the namespace of the class's element unless their
      field's metadata gives a ``"namespace"``; a class without a namespace of
      its own takes the namespace of the element it is read in.
    - ``prefixes``: preferred prefixes for namespace URIs when writing, also
      used to resolve prefixed field names such as ``"xlink:href"``. Every
      preferred prefix of a class tree is declared on the root element of a
      written document, whether a name uses it or not (values may).
    - ``prefix``: the class's element is written with this prefix, bound to
      ``namespace`` (``<xs:schema xmlns:xs="...">``), instead of in the
      default namespace; reading is unchanged (namespaces are matched by URI).
    - ``type_name``: the class's type name, in ``namespace``: a field typed
      with a base class of it also takes this class, chosen by an element's
      ``xsi:type="p:TypeName"`` (the prefix resolved through the document's
      declarations); an instance of it in such a field is written with its
      ``xsi:type``. The subclasses are found when the base class is first used.

    A class tree in which some class declares a namespace or prefixes (or some
    field a ``"namespace"``) is read namespace-aware, matching elements and
    attributes by namespace URI and local name, and written with the
    namespace declarations it needs. A class tree that declares none is read
    and written as before. The declaration belongs to the class it decorates:
    subclasses do not inherit it.

    Args:
        name: the element's local name (no prefix); None keeps the class name.
        namespace: the namespace URI of the element; None for no namespace.
        prefixes: prefix -> namespace URI, in order of preference.
        prefix: the prefix of the class's own element; needs ``namespace``.
        type_name: the class's type name (no prefix), or None.

    Returns:
        The decorator, which returns the class it is applied to.

    Raises:
        TypeError: an argument has the wrong type, or the decorator is applied
            to something that is not a class.
        ValueError: the name is empty or prefixed, the namespace is empty, a
            prefix is not an XML name or is reserved ("xml", "xmlns"), or
            ``prefix`` is given without a namespace or bound to another URI
            in ``prefixes``.

    Example:
        >>> from dataclasses import dataclass
        >>> import kestrix
        >>> @kestrix.xml_element("note", namespace="urn:example:notes")
        ... @dataclass
        ... class Note:
        ...     text: str
        >>> kestrix.serialize(Note("hello"))
        b'<note xmlns="urn:example:notes"><text>hello</text></note>'
        >>> kestrix.deserialize(b'<n:note xmlns:n="urn:example:notes"><n:text>hi</n:text></n:note>', Note)
        Note(text='hi')
    """
    if name is not None:
        _check_name(name, "the element name")
    if namespace is not None:
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        if not namespace:
            raise ValueError("namespace must not be empty; leave it out for no namespace")
    bound: dict[str, str] = {}
    if prefixes is not None:
        # Imported here: collections costs `import kestrix` more than the rest of it.
        from collections.abc import Mapping

        if not isinstance(prefixes, Mapping):
            raise TypeError(f"prefixes must be a mapping, not {type(prefixes).__name__}")
        for given, uri in prefixes.items():
            _check_prefix(given)
            if not isinstance(uri, str):
                raise TypeError(f"the URI of prefix {given!r} must be a str, not {type(uri).__name__}")
            if not uri:
                raise ValueError(f"the URI of prefix {given!r} must not be empty")
            bound[given] = uri
    if prefix is not None:
        _check_prefix(prefix)
        if namespace is None:
            raise ValueError("prefix needs a namespace to stand for")
        if bound.get(prefix, namespace) != namespace:
            raise ValueError(f"the prefix {prefix!r} is bound to another URI in prefixes")
        bound = {prefix: namespace, **bound}
    if type_name is not None:
        _check_name(type_name, "the type name")
    declaration = ElementDeclaration(name, namespace, bound, prefix, type_name)

    def decorate(cls: _C) -> _C:
        if not isinstance(cls, type):
            raise TypeError(f"xml_element decorates a class, not {type(cls).__name__}")
        cls.__kestrix_element__ = declaration  # type: ignore[attr-defined]
        return cls

    return decorate
