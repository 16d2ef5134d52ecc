import mmap
import os
from typing import Iterable, Mapping, Protocol, TypeVar

from ._kestrix import XmlIterator

_T = TypeVar("_T")

class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...

class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...

_Source = str | os.PathLike[str] | _Readable | bytes | bytearray | memoryview | mmap.mmap

def load(source: _Source, cls: type[_T], *, strict: bool = False) -> _T:
    """Read a whole document from a file, a stream or bytes and bind it to ``cls``."""

def iterload(
    source: _Source, cls: type[_T], tag: str | None = None, *, strict: bool = False
) -> XmlIterator[_T]:
    """Yield one instance of ``cls`` per element named ``tag``, reading as it goes."""

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
