"""Generic XML nodes: what a catch-all field holds of the content its class does not model."""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported at run time

if TYPE_CHECKING:
    from typing import Any, Union

    Node = Union["Element", "Comment", "ProcessingInstruction"]

__all__ = ["Comment", "Element", "ProcessingInstruction"]


def _pydantic_schema(cls: type) -> Any:
    # pydantic takes these nodes as they are, checking only their class.
    from pydantic_core import core_schema

    return core_schema.is_instance_schema(cls)


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


class Element:
    """An element as read: its name, attributes, text, children and tail.

    ``tag`` is ``{namespace}local`` for an element in a namespace, else the
    plain local name; ``attributes`` maps names of the same form to values;
    ``text`` is the text before the first child; ``children`` holds the child
    elements, comments and processing instructions in document order; ``tail``
    is the text that follows the element inside its parent.

    ``namespaces`` maps prefixes (``""`` for the default namespace) to the
    namespace URIs declared where the element was read: for an element a
    catch-all field received, every declaration in scope; for the elements
    inside it, those made on them. Writing declares them again where the
    output binds the prefix otherwise, so that values naming things by prefix
    (``type="xs:string"``) still resolve. They do not take part in equality.

    Example:
        >>> Element("{urn:x}item", {"id": "7"}, "hi")
        Element('{urn:x}item', {'id': '7'}, 'hi')
    """

    __slots__ = ("tag", "attributes", "text", "children", "tail", "namespaces")

    tag: str
    attributes: dict[str, str]
    text: str
    children: list[Node]
    tail: str
    namespaces: dict[str, str]

    def __init__(
        self,
        tag: str,
        attributes: dict[str, str] | None = None,
        text: str = "",
        children: list[Node] | None = None,
        tail: str = "",
        namespaces: dict[str, str] | None = None,
    ) -> None:
        self.tag = _text(tag, "an Element's tag")
        self.attributes = {} if attributes is None else attributes
        self.text = _text(text, "an Element's text")
        self.children = [] if children is None else children
        self.tail = _text(tail, "an Element's tail")
        self.namespaces = {} if namespaces is None else namespaces

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, Element)
        return (self.tag, self.attributes, self.text, self.children, self.tail) == (
            other.tag,
            other.attributes,
            other.text,
            other.children,
            other.tail,
        )

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        parts = [repr(self.tag)]
        if self.attributes or self.text or self.children or self.tail:
            parts.append(repr(self.attributes))
        if self.text or self.children or self.tail:
            parts.append(repr(self.text))
        if self.children:
            parts.append(repr(self.children))
        if self.tail:
            parts.append(f"tail={self.tail!r}")
        return f"Element({', '.join(parts)})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            Element,
            (self.tag, self.attributes, self.text, self.children, self.tail, self.namespaces),
        )

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> Any:
        return _pydantic_schema(cls)


class Comment:
    """A comment inside an element a catch-all field holds, with the text after it."""

    __slots__ = ("text", "tail")

    text: str
    tail: str

    def __init__(self, text: str, tail: str = "") -> None:
        self.text = _text(text, "a Comment's text")
        self.tail = _text(tail, "a Comment's tail")

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, Comment)
        return (self.text, self.tail) == (other.text, other.tail)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        tail = f", tail={self.tail!r}" if self.tail else ""
        return f"Comment({self.text!r}{tail})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Comment, (self.text, self.tail))

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> Any:
        return _pydantic_schema(cls)


class ProcessingInstruction:
    """A processing instruction (``<?target text?>``) inside an element a
    catch-all field holds, with the text after it."""

    __slots__ = ("target", "text", "tail")

    target: str
    text: str
    tail: str

    def __init__(self, target: str, text: str = "", tail: str = "") -> None:
        self.target = _text(target, "a ProcessingInstruction's target")
        self.text = _text(text, "a ProcessingInstruction's text")
        self.tail = _text(tail, "a ProcessingInstruction's tail")

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, ProcessingInstruction)
        return (self.target, self.text, self.tail) == (other.target, other.text, other.tail)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        tail = f", tail={self.tail!r}" if self.tail else ""
        return f"ProcessingInstruction({self.target!r}, {self.text!r}{tail})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (ProcessingInstruction, (self.target, self.text, self.tail))

    @classmethod
    def __get_pydantic_core_schema__(cls, source: Any, handler: Any) -> Any:
        return _pydantic_schema(cls)
