from typing import Callable, Generic, TypeVar

_T = TypeVar("_T")

class PanicException(BaseException):
    """An internal fault that no input should reach."""

class XmlIterator(Generic[_T]):
    """Iterator returned by :func:`iterparse`; yields one bound object per record."""

    def __iter__(self) -> XmlIterator[_T]: ...
    def __next__(self) -> _T: ...

def deserialize(source: bytes, target_type: type[_T]) -> _T:
    """Build an instance of ``target_type`` from the XML document ``source``."""

def iterparse(source: bytes, target_type: type[_T], tag: str | None = None) -> XmlIterator[_T]:
    """Iterate over the elements named ``tag`` (default: the class name), bound to ``target_type``."""

def serialize(obj: object, indent: int | None = None) -> bytes:
    """Write ``obj`` as an XML document; ``indent`` spaces per level when given."""

def version() -> str:
    """The version of the extension module, "0.7.0"."""

def _iterstream(
    read: Callable[[int], bytes],
    target_type: type[_T],
    tag: str | None = None,
    close: Callable[[], object] | None = None,
    follow: bool | None = None,
) -> XmlIterator[_T]:
    """Records read from a stream through ``read(n)``; ``close()`` is called at the end.
    ``follow``: None decodes as the stream declares, False as UTF-8, True as declared."""
