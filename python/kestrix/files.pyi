import mmap
import os
from typing import Any, Iterable, Mapping, Protocol, TypeVar, overload

from ._kestrix import XmlIterator

_T = TypeVar("_T")
_U = TypeVar("_U")
_V = TypeVar("_V")

class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...

class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...

_Source = str | os.PathLike[str] | _Readable | bytes | bytearray | memoryview | mmap.mmap

def load(source: _Source, cls: type[_T], *, strict: bool = False) -> _T:
    """Read a whole document from a file, a stream or bytes and bind it to ``cls``."""

@overload
def iterload(
    source: _Source, cls: type[_T], tag: str | None = None, *, strict: bool = False
) -> XmlIterator[_T]: ...
@overload
def iterload(
    source: _Source,
    cls: tuple[type[_T], type[_U]],
    tag: str | tuple[str | None, str | None] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[_T | _U]: ...
@overload
def iterload(
    source: _Source,
    cls: tuple[type[_T], type[_U], type[_V]],
    tag: str | tuple[str | None, str | None, str | None] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[_T | _U | _V]: ...
@overload
def iterload(
    source: _Source,
    cls: tuple[type[Any], ...],
    tag: str | tuple[str | None, ...] | None = None,
    *,
    strict: bool = False,
) -> XmlIterator[Any]: ...

def dump(
    obj: object,
    target: str | os.PathLike[str] | _Writable,
    indent: int | None = None,
    *,
    encoding: str | None = None,
    xml_declaration: bool | None = None,
    standalone: bool | None = None,
    doctype: str | None = None,
    short_empty_elements: bool = False,
) -> None:
    """Write a model instance as an XML document to a file or a stream."""

def dump_records(
    records: Iterable[object],
    target: str | os.PathLike[str] | _Writable,
    root: str,
    *,
    attributes: Mapping[str, str] | None = None,
    namespaces: Mapping[str, str] | None = None,
    indent: int | None = None,
    encoding: str | None = None,
    xml_declaration: bool | None = None,
    standalone: bool | None = None,
    doctype: str | None = None,
    short_empty_elements: bool = False,
) -> int:
    """Write a stream of model instances inside one root element, in bounded memory."""

def _declares_another_encoding(head: bytes) -> bool: ...
def _as_declared(head: bytes, pieces: Iterable[bytes]) -> bool: ...
