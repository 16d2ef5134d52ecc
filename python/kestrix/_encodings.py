"""Byte tables of single-byte encodings, computed from Python's codecs.

The extension reads UTF-8, UTF-16, ISO-8859-1 and US-ASCII itself. For any
other encoding a document declares, it asks :func:`byte_table` for the code
point of every byte and hands that table to the XML reader.
"""

from __future__ import annotations

import codecs
import functools
import re

# What an encoding declaration may name: other text is no encoding, whatever
# Python's codec lookup would make of it.
_NAME = re.compile(r"[A-Za-z][A-Za-z0-9._-]*")

# Bytes that the XML reader requires to mean themselves in any encoding it is
# given a table for: tab, line feed, carriage return and printable ASCII.
_ASCII = (0x09, 0x0A, 0x0D, *range(0x20, 0x7F))


@functools.lru_cache(maxsize=32)
def byte_table(name: str) -> tuple[int, ...]:
    """The code point of each of the 256 bytes in encoding ``name``, -1 where undefined.

    Raises:
        ValueError: ``name`` is not an encoding Python knows, or not one that
            reads every character from one byte and keeps ASCII as it is
            (Shift_JIS, UTF-32 or EBCDIC, for instance).
    """
    try:
        if not _NAME.fullmatch(name):
            raise LookupError(name)
        info = codecs.lookup(name)
    except LookupError:
        raise ValueError(f"unknown encoding {name!r} declared by the document") from None
    table = []
    for byte in range(256):
        try:
            text = info.incrementaldecoder().decode(bytes((byte,)), final=False)
        except UnicodeDecodeError:
            text = None
        except Exception:  # noqa: BLE001 - not a text codec at all
            text = ""
        if text is None:
            table.append(-1)
        elif isinstance(text, str) and len(text) == 1:
            # A byte above ASCII standing for an ASCII character would change
            # the markup, which the reader does not allow.
            table.append(ord(text) if byte < 0x80 or ord(text) >= 0x80 else -1)
        else:  # a byte that begins a longer sequence, or not text
            table.append(-2)
    if -2 in table or any(table[byte] != byte for byte in _ASCII):
        raise ValueError(
            f"cannot read the encoding {name!r} declared by the document: kestrix reads "
            "UTF-8, UTF-16 and the single-byte encodings that extend ASCII")
    return tuple(table)
