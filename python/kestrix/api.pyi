from typing import TypeVar

from ._kestrix import XmlIterator

_T = TypeVar("_T")

def deserialize(source: bytes, target_type: type[_T], *, strict: bool = False) -> _T:
    """Build an instance of ``target_type`` from an XML document."""

def iterparse(
    source: bytes, target_type: type[_T], tag: str | None = None, *, strict: bool = False
) -> XmlIterator[_T]:
    """Yield one instance of ``target_type`` per element named ``tag``."""

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
