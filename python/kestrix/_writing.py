"""The writing options shared by serialize, dump and dump_records.

The extension writes UTF-8, referencing every character of a text or
attribute value that the output encoding cannot carry; this module adds the
XML declaration and the document type, and transcodes to the output encoding
(where only a name can still hold such a character).
"""

from __future__ import annotations

import codecs
import functools
import re
import sys

from . import _kestrix
from ._encodings import byte_table

# The names the declaration gives the encodings, where Python's differ.
_DECLARED = {"utf-8": "UTF-8", "ascii": "US-ASCII", "latin-1": "ISO-8859-1", "iso8859-1": "ISO-8859-1"}
_UTF16 = {"utf-16": sys.byteorder, "utf-16-le": "little", "utf-16-be": "big"}

# An XML name (letters, digits, '.', '-', '_', ':' and the characters beyond
# ASCII that names may hold), for the root element and its attributes.
_NAME_START = (":A-Z_a-z\xc0-\xd6\xd8-\xf6\xf8-\u02ff\u0370-\u037d\u037f-\u1fff\u200c-\u200d"
               "\u2070-\u218f\u2c00-\u2fef\u3001-\ud7ff\uf900-\ufdcf\ufdf0-\ufffd\U00010000-\U000effff")
_NAME = re.compile(f"[{_NAME_START}][{_NAME_START}\\-.0-9\xb7\u0300-\u036f\u203f-\u2040]*")


class Encoding:
    """How a document is written in one encoding."""

    __slots__ = ("declared", "codec", "bom", "encodable")

    def __init__(self, declared: str, codec: str | None, bom: str, encodable: tuple[int, ...] | None):
        self.declared = declared  # the name the declaration gives
        self.codec = codec  # Python's codec, None for UTF-8 (written as it comes)
        self.bom = bom  # text written before everything
        self.encodable = encodable  # the code points beyond ASCII it carries, None: all

    def encode(self, text: bytes) -> bytes:
        """``text`` (UTF-8 from the writer) in this encoding; a character it
        cannot carry can only be in a name, which the ValueError names."""
        if self.codec is None:
            return text
        decoded = text.decode("utf-8")
        try:
            return decoded.encode(self.codec)
        except UnicodeEncodeError as error:
            name = _name_around(decoded, error.start)
            raise ValueError(f"the name {name!r} cannot be written in {self.declared}") from None


def _name_around(text: str, at: int) -> str:
    start = at
    while start > 0 and text[start - 1] not in "<>/ \t\n=\"'":
        start -= 1
    end = at
    while end < len(text) and text[end] not in "<>/ \t\n=\"'":
        end += 1
    return text[start:end]


def _declared_name(codec: str) -> str:
    if codec in _DECLARED:
        return _DECLARED[codec]
    if codec.startswith("cp125") and len(codec) == 6:
        return "windows-" + codec[2:]
    if codec.startswith("iso8859-"):
        return "ISO-8859-" + codec[8:]
    return codec.upper()


@functools.lru_cache(maxsize=32)
def encoding_of(name: str | None) -> Encoding:
    """The Encoding for ``name`` (None: UTF-8). Raises TypeError for a name
    that is not a str, ValueError for one kestrix cannot write."""
    if name is None:
        return Encoding("UTF-8", None, "", None)
    if not isinstance(name, str):
        raise TypeError(f"encoding must be a str or None, not {type(name).__name__!r}")
    try:
        codec = codecs.lookup(name).name
    except LookupError:
        raise ValueError(f"unknown encoding {name!r}") from None
    if codec == "utf-8":
        return Encoding("UTF-8", None, "", None)
    if codec in _UTF16:
        order = _UTF16[codec]
        return Encoding("UTF-16", "utf-16-le" if order == "little" else "utf-16-be", "\ufeff", None)
    try:
        table = byte_table(codec)
    except ValueError:
        raise ValueError(
            f"cannot write the encoding {name!r}: kestrix writes UTF-8, UTF-16 and the "
            "single-byte encodings that extend ASCII") from None
    encodable = tuple(code for code in table if code >= 0x80)
    return Encoding(_declared_name(codec), codec, "", encodable)


class Options:
    """The checked writing options of one call."""

    __slots__ = ("encoding", "prolog", "short_empty_elements")

    def __init__(self, encoding, xml_declaration, standalone, doctype, short_empty_elements):
        self.encoding = encoding_of(encoding)
        self.short_empty_elements = bool(short_empty_elements)
        if standalone is not None and not isinstance(standalone, bool):
            raise TypeError(f"standalone must be a bool or None, not {type(standalone).__name__!r}")
        if xml_declaration is None:
            # Needed when the encoding is not UTF-8 (or standalone is asked for).
            xml_declaration = self.encoding.declared != "UTF-8" or standalone is not None
        elif xml_declaration is False and standalone is not None:
            raise ValueError("standalone is written in the XML declaration: "
                             "it cannot be given with xml_declaration=False")
        elif xml_declaration is False and self.encoding.codec not in (None, "utf-16-le", "utf-16-be"):
            raise ValueError(f"a document in {self.encoding.declared} must declare its encoding: "
                             "xml_declaration cannot be False")
        prolog = self.encoding.bom
        if xml_declaration:
            prolog += f'<?xml version="1.0" encoding="{self.encoding.declared}"'
            if standalone is not None:
                prolog += ' standalone="yes"' if standalone else ' standalone="no"'
            prolog += "?>\n"
        if doctype is not None:
            if not isinstance(doctype, str):
                raise TypeError(f"doctype must be a str or None, not {type(doctype).__name__!r}")
            if not (doctype.startswith("<!DOCTYPE") and doctype.endswith(">")) or "\0" in doctype:
                raise ValueError(f"doctype must be a document type declaration "
                                 f"('<!DOCTYPE ...>'), not {doctype!r}")
            prolog += doctype + "\n"
        codec = self.encoding.codec
        try:
            self.prolog = prolog.encode(codec or "utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"the doctype cannot be written in {self.encoding.declared}") from None

    def document(self, obj, indent) -> bytes:
        """``obj`` as a whole document."""
        body = _kestrix._serialize_with(obj, indent, self.short_empty_elements, self.encoding.encodable)
        return self.prolog + self.encoding.encode(body)


def check_name(name: object, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, not {type(name).__name__!r}")
    if _NAME.fullmatch(name) is None:
        raise ValueError(f"{what} {name!r} is not an XML name")
    return name


def root_attributes(attributes, namespaces) -> list[tuple[str, str]]:
    """The (name, value) pairs of a record stream's root: the namespace
    declarations (prefix "" for the default namespace), then the attributes."""
    pairs = []
    for prefix, uri in (namespaces or {}).items():
        if prefix:
            check_name(prefix, "namespace prefix")
        if not isinstance(uri, str):
            raise TypeError(f"namespace URI must be a str, not {type(uri).__name__!r}")
        pairs.append(("xmlns:" + prefix if prefix else "xmlns", uri))
    for name, value in (attributes or {}).items():
        check_name(name, "attribute name")
        if not isinstance(value, str):
            raise TypeError(f"the value of attribute {name!r} must be a str, not {type(value).__name__!r}")
        pairs.append((name, value))
    if len({name for name, _ in pairs}) != len(pairs):
        raise ValueError("the root element's attributes and namespace declarations repeat a name")
    return pairs
