"""Reading and writing documents in files and streams: load, iterload and dump.

A source is a path (``str`` or ``os.PathLike``), a binary file object
(anything whose ``read(n)`` returns bytes: open files, ``sys.stdin.buffer``,
sockets' files, ``io.BytesIO``) or a bytes-like object (``bytes``,
``bytearray``, ``memoryview``, ``mmap``). A target is a path or a binary file
object.
"""

from __future__ import annotations

import codecs
import io
import os
from typing import Iterable

from . import _kestrix
from .api import serialize

# Bytes taken from a bytes-like object per step when streaming it, and
# examined at its start for an encoding declaration.
_SLICE = 256 * 1024
_HEAD = 512


def _text_mode_error(what: str) -> TypeError:
    return TypeError(f"{what} is a text stream: open the file in binary mode ('rb' or 'wb')")


def _kind(source: object, what: str) -> str:
    """'path', 'file' or 'buffer'; raises TypeError for anything else."""
    if isinstance(source, (str, os.PathLike)):
        return "path"
    if isinstance(source, io.TextIOBase):
        raise _text_mode_error(what)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "buffer"
    if hasattr(source, "read"):
        return "file"
    try:
        memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{what} must be a path, a binary file object or a bytes-like object, "
            f"not {type(source).__name__!r}") from None
    return "buffer"


def _open_for_reading(path: str | os.PathLike[str]):
    try:
        return open(path, "rb", buffering=0)  # noqa: SIM115 - the caller closes it
    except FileNotFoundError as error:
        if isinstance(path, str) and path.lstrip().startswith("<"):
            # Before 3.11 exceptions have no add_note; __notes__ is what it fills.
            notes = error.__dict__.setdefault("__notes__", [])
            notes.append("a str source is a path: to read XML held in a str, pass text.encode()")
        raise


def _read_all(source: object) -> bytes:
    kind = _kind(source, "source")
    if kind == "path":
        with _open_for_reading(source) as handle:  # type: ignore[arg-type]
            return handle.read()
    if kind == "buffer":
        return source if type(source) is bytes else bytes(memoryview(source))  # type: ignore
    pieces = []
    while True:
        piece = source.read(_SLICE)  # type: ignore[attr-defined]
        if isinstance(piece, str):
            raise _text_mode_error("source")
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)


def load(source, cls, *, strict=False):
    """Read a whole document from a file, a stream or bytes and bind it to ``cls``.

    The document is read into memory and bound as :func:`deserialize` binds
    ``bytes``: its bytes are read as UTF-8 whatever it declares, unless it
    declares another encoding (UTF-16, ISO-8859-1, windows-1252, KOI8-R or any
    other single-byte encoding that extends ASCII) and its bytes are not
    UTF-8. For documents larger than memory, stream their records with
    :func:`iterload`.

    Args:
        source: a path (``str`` or ``os.PathLike``), a binary file object
            (anything whose ``read(n)`` returns bytes) or a bytes-like object
            (``bytes``, ``bytearray``, ``memoryview``, ``mmap``).
        cls: a dataclass or a pydantic-style model class.
        strict: refuse, with a ``ValueError`` naming it and its line and
            column, what the classes do not model (see :func:`deserialize`).

    Returns:
        A new instance of ``cls``.

    Raises:
        OSError: the path cannot be opened or read (``FileNotFoundError``...).
        TypeError: ``source`` is a text-mode file (open it with ``'rb'``) or
            of no kind listed above, or ``cls`` is not a class.
        ValueError: as :func:`deserialize`; errors met while reading the
            document carry a note with their line and column. Also a
            document whose declared encoding cannot be read (Shift_JIS, an
            unknown name): the message names it.
        Exception: whatever the model's constructor or validation raises.

    Example:
        >>> import io
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Point:
        ...     x: int = field(metadata={"type": "Attribute"})
        >>> kestrix.load(io.BytesIO(b'<Point x="3"/>'), Point)
        Point(x=3)
    """
    return _kestrix.deserialize(_read_all(source), cls, strict=strict)


def _declares_another_encoding(head: bytes) -> bool:
    """True when the document starting with ``head`` (its first _HEAD bytes or
    more) declares, or marks with its byte-order mark, another encoding than UTF-8."""
    name = _kestrix._declared_encoding(head[:_HEAD])
    return bool(name) and name.lower() not in ("utf-8", "utf8")


def _as_declared(head: bytes, pieces: Iterable[bytes]) -> bool:
    """The rule for documents held in memory, applied to a document given as
    its first bytes (``head``) and then all of it in ``pieces``: decode as
    declared only when the document names another encoding than UTF-8 and
    UTF-8 cannot read its bytes. ``pieces`` is consumed only when the
    declaration asks for it, and only as far as needed."""
    if not _declares_another_encoding(head):
        return False
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        for piece in pieces:
            if b"\0" in piece:
                return True
            decoder.decode(piece)
        decoder.decode(b"", final=True)
    except UnicodeDecodeError:
        return True
    return False


def _streams_as_declared(view: memoryview) -> bool:
    """_as_declared over a bytes-like object, slice by slice."""
    slices = (bytes(view[start:start + _SLICE]) for start in range(0, len(view), _SLICE))
    return _as_declared(bytes(view[:_HEAD]), slices)


class _Slices:
    """read(n) over a bytes-like object, one bounded copy at a time."""

    def __init__(self, view: memoryview) -> None:
        self._view = view
        self._at = 0

    def read(self, size: int) -> bytes:
        piece = bytes(self._view[self._at:self._at + size])
        self._at += len(piece)
        return piece

    def close(self) -> None:
        self._view.release()


def iterload(source, cls, tag=None, *, strict=False):
    """Yield one instance of ``cls`` per element named ``tag``, reading as it goes.

    The source is read in chunks of 256 KiB and fed to the same streaming
    reader :func:`iterparse` uses, so memory stays bounded by the largest
    record plus a chunk, whatever the size of the file; records, errors that
    stay with their record and the scan that goes on after them are those of
    :func:`iterparse`. A file opened from a path is closed when the records
    end or the iterator is released.

    A stream is decoded as its XML declaration or byte-order mark says (it
    cannot be looked at whole first); a bytes-like object is decoded as
    :func:`load` decodes it.

    Args:
        source: a path, a binary file object or a bytes-like object (see
            :func:`load`).
        cls: the model class of one record, or a tuple of classes (see
            :func:`iterparse`).
        tag: the element name of a record; ``None`` (the default) means the
            class's element name; a tuple of as many beside a tuple of classes.
        strict: refuse, inside records, what the classes do not model (see
            :func:`deserialize`).

    Returns:
        An :class:`XmlIterator` over the bound records.

    Raises:
        OSError: the path cannot be opened; from ``next()``, a failed read.
        TypeError: a text-mode file, a source of no known kind, ``cls`` not a
            class or ``tag`` not a ``str``.
        ValueError: from ``next()``, for a record that cannot be bound, a
            document that is not well-formed or an encoding that cannot be
            read; errors met while reading carry a note with their line and
            column.

    Example:
        >>> import io
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Item:
        ...     n: int = field(metadata={"type": "Attribute"})
        >>> feed = io.BytesIO(b'<list><Item n="1"/><Item n="2"/></list>')
        >>> [item.n for item in kestrix.iterload(feed, Item)]
        [1, 2]
    """
    kind = _kind(source, "source")
    if kind == "path":
        handle = _open_for_reading(source)
        try:
            return _kestrix._iterstream(handle.read, cls, tag, handle.close, None, strict)
        except BaseException:
            handle.close()
            raise
    if kind == "file":
        return _kestrix._iterstream(source.read, cls, tag, None, None, strict)
    if type(source) is bytes:
        return _kestrix.iterparse(source, cls, tag, strict=strict)
    view = memoryview(source).cast("B")
    slices = _Slices(view)
    return _kestrix._iterstream(
        slices.read, cls, tag, slices.close, _streams_as_declared(view), strict
    )


def _check_target(target) -> None:
    if isinstance(target, io.TextIOBase):
        raise _text_mode_error("target")
    if not hasattr(target, "write"):
        raise TypeError(f"target must be a path or a binary file object, "
                        f"not {type(target).__name__!r}")


def dump(obj, target, indent=None, *, encoding=None, xml_declaration=None, standalone=None,
         doctype=None, short_empty_elements=False):
    """Write a model instance as an XML document to a file or a stream.

    The document is made whole first, as :func:`serialize` makes it, so a
    failure leaves the target untouched. The options are those of
    :func:`serialize`, with the same defaults: a UTF-8 document needs no
    declaration, so none is written unless asked for (or needed by another
    encoding), and files written before these options existed stay the same.

    Args:
        obj: a dataclass or pydantic-style model instance.
        target: a path (``str`` or ``os.PathLike``), created or replaced, or a
            binary file object (anything with ``write(bytes)``).
        indent: ``None`` (the default) for one line, or the number of spaces
            per level.
        encoding, xml_declaration, standalone, doctype, short_empty_elements:
            as for :func:`serialize`.

    Returns:
        None.

    Raises:
        OSError: the path cannot be written.
        TypeError: ``target`` is a text-mode file or of no known kind, or as
            :func:`serialize`.
        ValueError: as :func:`serialize`.

    Example:
        >>> import io
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Point:
        ...     x: int = field(metadata={"type": "Attribute"})
        >>> out = io.BytesIO()
        >>> kestrix.dump(Point(x=3), out)
        >>> out.getvalue()
        b'<Point x="3"></Point>'
    """
    to_path = isinstance(target, (str, os.PathLike))
    if not to_path:
        _check_target(target)
    data = serialize(obj, indent, encoding=encoding, xml_declaration=xml_declaration,
                     standalone=standalone, doctype=doctype,
                     short_empty_elements=short_empty_elements)
    if to_path:
        with open(target, "wb") as handle:
            handle.write(data)
    else:
        target.write(data)


def _umask() -> int:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


# Bytes gathered before each write of dump_records.
_CHUNK = 256 * 1024


def dump_records(records, target, root, *, attributes=None, namespaces=None, indent=None,
                 encoding=None, xml_declaration=None, standalone=None, doctype=None,
                 short_empty_elements=False):
    """Write a stream of model instances inside one root element, in bounded memory.

    The counterpart of :func:`iterload`: each object of ``records`` (any
    iterable, such as a generator of millions) is written as its class's
    element, as :func:`serialize` writes it, one after the other inside the
    element ``root``. Objects are taken one at a time and the output is
    written in chunks of about 256 KiB, so memory stays bounded by the
    largest record plus a chunk. A path is written to a temporary file beside
    it, which replaces the path once every record is written: a failure
    leaves the path as it was. A stream receives the chunks as they fill.

    Args:
        records: an iterable of dataclass or pydantic-style model instances
            (of one class or several).
        target: a path (``str`` or ``os.PathLike``) or a binary file object.
        root: the name of the root element.
        attributes: a mapping of the root's attribute names to ``str`` values.
        namespaces: a mapping of prefixes to namespace URIs declared on the
            root; the prefix ``""`` declares the default namespace.
        indent, encoding, xml_declaration, standalone, doctype,
        short_empty_elements: as for :func:`serialize`.

    Returns:
        The number of records written.

    Raises:
        OSError: the path cannot be written.
        TypeError: ``target`` is a text-mode file or of no known kind, or a
            name, value or option is of the wrong type.
        ValueError: ``root``, an attribute name or a prefix is not an XML
            name, or as :func:`serialize`; a record that cannot be written
            carries a note with its position.

    Example:
        >>> import io
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Item:
        ...     n: int = field(metadata={"type": "Attribute"})
        >>> out = io.BytesIO()
        >>> kestrix.dump_records((Item(n) for n in range(2)), out, "list", attributes={"v": "1"})
        2
        >>> out.getvalue()
        b'<list v="1"><Item n="0"></Item><Item n="1"></Item></list>'
    """
    from ._writing import Options, check_name, root_attributes

    options = Options(encoding, xml_declaration, standalone, doctype, short_empty_elements)
    check_name(root, "root")
    pairs = root_attributes(attributes, namespaces)
    encoding_ = options.encoding

    def run(handle) -> int:
        write = handle.write
        if encoding_.codec is not None:
            def write(chunk, put=handle.write, encode=encoding_.encode):  # noqa: E306
                put(encode(chunk))
        if options.prolog:
            handle.write(options.prolog)
        return _kestrix._write_records(records, write, root, pairs, indent,
                                       options.short_empty_elements, encoding_.encodable, _CHUNK)

    if not isinstance(target, (str, os.PathLike)):
        _check_target(target)
        return run(target)
    import tempfile

    directory = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".kestrix-", suffix=".tmp")
    try:
        # The file gets the mode a newly created file gets, not mkstemp's 0600.
        os.chmod(temporary, 0o666 & ~_umask())
        with open(fd, "wb") as handle:
            count = run(handle)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return count
