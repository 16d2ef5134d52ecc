from typing import Any, Callable, Generic, Iterable, Sequence, TypeVar, overload

_T = TypeVar("_T")
_U = TypeVar("_U")
_V = TypeVar("_V")

class PanicException(BaseException):
    """An internal fault that no input should reach."""

class XmlIterator(Generic[_T]):
    """Iterator returned by :func:`iterparse`; yields one bound object per record."""

    def __iter__(self) -> XmlIterator[_T]: ...
    def __next__(self) -> _T: ...

def deserialize(source: bytes, target_type: type[_T], *, strict: bool = False) -> _T:
    """Build an instance of ``target_type`` from the XML document ``source``."""

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

def serialize(obj: object, indent: int | None = None) -> bytes:
    """Write ``obj`` as an XML document; ``indent`` spaces per level when given."""

def _serialize_with(
    obj: object, indent: int | None, short_empty_elements: bool, encodable: Iterable[int] | None, /
) -> bytes:
    """serialize with the writing options; ``encodable``: the code points beyond
    ASCII the output encoding carries (None: all)."""

def _write_records(
    records: Iterable[object],
    write: Callable[[bytes], object],
    root: str,
    attributes: Sequence[tuple[str, str]],
    indent: int | None,
    short_empty_elements: bool,
    encodable: Iterable[int] | None,
    chunk_size: int,
    /,
) -> int:
    """Writes each record inside ``root``, passing chunks of about ``chunk_size`` bytes to ``write``."""

def version() -> str:
    """The version of the extension module, "0.7.0"."""

def _iterstream(
    read: Callable[[int], bytes],
    target_type: type[_T] | tuple[type[Any], ...],
    tag: str | tuple[str | None, ...] | None = None,
    close: Callable[[], object] | None = None,
    follow: bool | None = None,
    strict: bool = False,
) -> XmlIterator[_T]:
    """Records read from a stream through ``read(n)``; ``close()`` is called at the end.
    ``follow``: None decodes as the stream declares, False as UTF-8, True as declared."""
