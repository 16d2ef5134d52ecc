from typing import Any, TypeVar, overload

from ._kestrix import XmlIterator

_T = TypeVar("_T")
_U = TypeVar("_U")
_V = TypeVar("_V")

def deserialize(source: bytes, target_type: type[_T], *, strict: bool = False) -> _T:
    """Build an instance of ``target_type`` from an XML document."""

@overload
def iterparse(
    source: bytes, target_type: type[_T], tag: str | None = None, *, strict: bool = False
) -> XmlIterator[_T]: ...
@overload
def iterparse(
    source: bytes,
    target_type: tuple[type[_T], type[_U]],
    tag: str | tuple[str | None, str | None] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[_T | _U]: ...
@overload
def iterparse(
    source: bytes,
    target_type: tuple[type[_T], type[_U], type[_V]],
    tag: str | tuple[str | None, str | None, str | None] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[_T | _U | _V]: ...
@overload
def iterparse(
    source: bytes,
    target_type: tuple[type[Any], ...],
    tag: str | tuple[str | None, ...] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[Any]: ...

def serialize(
    obj: object,
    indent: int | None = None,
    *,
    encoding: str | None = None,
    xml_declaration: bool | None = None,
    standalone: bool | None = None,
    doctype: str | None = None,
    short_empty_elements: bool = False,
) -> bytes:
    """Write a model instance as an XML document."""

def version() -> str:
    """Return the version of the native extension."""
