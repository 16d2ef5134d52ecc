import mmap
import os
from typing import Iterable, Protocol, TypeVar

from ._kestrix import XmlIterator

_T = TypeVar("_T")

class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...

class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...

_Source = str | os.PathLike[str] | _Readable | bytes | bytearray | memoryview | mmap.mmap

def load(source: _Source, cls: type[_T]) -> _T:
    """Read a whole document from a file, a stream or bytes and bind it to ``cls``."""

def iterload(source: _Source, cls: type[_T], tag: str | None = None) -> XmlIterator[_T]:
    """Yield one instance of ``cls`` per element named ``tag``, reading as it goes."""

def dump(obj: object, target: str | os.PathLike[str] | _Writable, indent: int | None = None) -> None:
    """Write a model instance as an XML document to a file or a stream."""

def _declares_another_encoding(head: bytes) -> bool: ...
def _as_declared(head: bytes, pieces: Iterable[bytes]) -> bool: ...
