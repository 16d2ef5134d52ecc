"""The package's entry points: documented front doors to the native functions.

Each function passes its arguments unchanged to the function of the same name
in ``kestrix._kestrix``, so argument checking, exceptions and messages are the
extension's own (``deserialize() missing 1 required positional argument ...``)
on every Python version; these wrappers add only the documentation that
``help()`` shows. ``__wrapped__`` points at the native function, whose text
signature ``inspect.signature`` and ``help()`` then show. ``serialize`` has
a signature of its own: called without its writing options it passes ``obj``
and ``indent`` to the native function as before; with them it goes through
``kestrix._writing`` (imported then). Types are in api.pyi; nothing here
imports ``typing``, which would slow down ``import kestrix``.
"""

from . import _kestrix

# Bound once so that a call costs one global lookup, not a module attribute read.
_deserialize = _kestrix.deserialize
_iterparse = _kestrix.iterparse
_serialize = _kestrix.serialize
_version = _kestrix.version


def deserialize(*args, **kwargs):
    """Build an instance of ``target_type`` from an XML document.

    The root element is bound to ``target_type`` whatever its name, unless the
    class declares its element name or namespace (see :func:`xml_element`):
    then the root element must match. Field metadata says where each value
    stands: ``"type"`` is ``"Attribute"``, ``"Text"`` or (the default) a child
    element, ``"name"`` the XML name when it differs from the attribute name.
    Nested model classes, lists, optional fields and scalars (``str``,
    ``int``, ``float``, ``bool``, ``Decimal``, enums) are filled in from the
    document; elements and attributes that match no field are ignored, and
    absent ones leave the field's default.

    Args:
        source: the document, as ``bytes`` (encode a ``str`` first).
        target_type: a dataclass or a pydantic-style model class (one with
            ``model_fields``).
        strict: ``True`` refuses what the classes do not model instead of
            ignoring it: an element or attribute no field takes (namespace
            declarations and ``xsi:nil`` aside), a child element in another
            namespace than its field's, text other than white space in a
            class without a text field. Each raises ``ValueError`` naming
            it, with its line and column in a note.

    Returns:
        A new instance of ``target_type``.

    Raises:
        ValueError: the document is not well-formed, ends early, has a root
            element other than the one the class declares, nests more
            than 256 model elements, or holds text that does not fit a
            field's type (the message names the field).
        TypeError: ``source`` is not ``bytes`` or ``target_type`` is not a
            class (a note names the argument), or the arguments do not match
            the signature.
        Exception: whatever the model's own constructor or validation raises
            (for example pydantic's ``ValidationError``) passes through, with
            notes giving the line and column of the element's start tag and
            what a required field that nothing filled looked for.

    Warns:
        ModelWarning: ``target_type`` is no model class or misspells its
            metadata, or the document element fills no field of it although
            it has attributes or children.

    Example:
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Point:
        ...     x: int = field(metadata={"type": "Attribute"})
        ...     label: str = ""
        >>> kestrix.deserialize(b'<Point x="3"><label>start</label></Point>', Point)
        Point(x=3, label='start')
    """
    return _deserialize(*args, **kwargs)


deserialize.__wrapped__ = _deserialize


def iterparse(*args, **kwargs):
    """Yield one instance of ``target_type`` per element named ``tag``.

    The document is copied once and then read lazily: each ``next()`` scans
    to the following element whose local name is ``tag``, at any depth, and
    binds it as :func:`deserialize` would. Memory stays bounded by the
    largest record. An error in one record raises for that record only; the
    next ``next()`` goes on with the following record (after malformed XML
    the iteration stops).

    Args:
        source: the document, as ``bytes``.
        target_type: the model class of one record, or a tuple of classes:
            records of every class then come in document order, each element
            bound to the first class whose tag selects it.
        tag: the element name of a record; ``None`` (the default) means the
            class's element name, which is its ``__name__`` unless declared
            (in the declared namespace, if any). ``"{uri}local"`` selects
            elements of that namespace URI and local name. Beside a tuple of
            classes, a tuple of as many tags (``None`` for a class's own).
        strict: refuse, inside records, what the classes do not model (see
            :func:`deserialize`); such a record raises, the next goes on.

    Returns:
        An :class:`XmlIterator` over the bound records.

    Raises:
        TypeError: ``source`` is not ``bytes``, ``target_type`` is not a
            class or ``tag`` is not a ``str`` (at the call).
        ValueError: from ``next()``, for a record that cannot be bound or a
            document that is not well-formed.

    Warns:
        ModelWarning: from ``next()``, when the iteration ends without having
            found any element named ``tag`` (the message lists the names near
            the top of the document and the likely tag).

    Example:
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Item:
        ...     n: int = field(metadata={"type": "Attribute"})
        >>> [item.n for item in kestrix.iterparse(b'<list><Item n="1"/><Item n="2"/></list>', Item)]
        [1, 2]
    """
    return _iterparse(*args, **kwargs)


iterparse.__wrapped__ = _iterparse


def serialize(obj, indent=None, *, encoding=None, xml_declaration=None, standalone=None,
              doctype=None, short_empty_elements=False):
    """Write a model instance as an XML document.

    The root element bears the class's element name (its ``__name__`` unless
    declared); fields are written as attributes, text or child elements as
    their metadata says, ``None`` fields are left out (or written as
    ``xsi:nil="true"`` when their metadata says ``"nillable": True``) and
    special characters are escaped (or, with ``"cdata": True``, text is
    written as CDATA sections). With no option given the output is UTF-8
    without an XML declaration.

    Args:
        obj: a dataclass or pydantic-style model instance.
        indent: ``None`` (the default) writes everything on one line; a
            number puts each element on its own line, indented by that many
            spaces per level (at most 1024).
        encoding: ``None`` (UTF-8, the default) or the name of an encoding
            kestrix reads: ``"UTF-16"`` (written with a byte-order mark),
            ``"ISO-8859-1"``, ``"windows-1252"`` or another single-byte
            encoding that extends ASCII. Characters it cannot carry are
            written as character references.
        xml_declaration: ``True`` writes ``<?xml version="1.0"
            encoding="..."?>``, ``False`` never; ``None`` (the default)
            writes it when the encoding is not UTF-8 or ``standalone`` is given.
        standalone: ``True`` or ``False`` adds ``standalone="yes"`` or
            ``"no"`` to the declaration; ``None`` (the default) leaves it out.
        doctype: a document type declaration written verbatim before the
            root element, such as ``'<!DOCTYPE note SYSTEM "note.dtd">'``.
        short_empty_elements: ``True`` writes an element with no content as
            ``<a/>`` instead of ``<a></a>``.

    Returns:
        The document as ``bytes``.

    Raises:
        ValueError: a model graph nested deeper than 256 levels (or cyclic),
            an ``indent`` above 1024, a value that cannot be written, an
            encoding kestrix cannot write, a name the encoding cannot carry
            (the message names it), or options that contradict each other.
        TypeError: a field holds a value of the wrong kind, or an option is
            of the wrong type.
        OverflowError: a negative ``indent``.

    Example:
        >>> from dataclasses import dataclass, field
        >>> @dataclass
        ... class Point:
        ...     x: int = field(metadata={"type": "Attribute"})
        ...     label: str = ""
        >>> kestrix.serialize(Point(x=3, label="a < b"))
        b'<Point x="3"><label>a &lt; b</label></Point>'
        >>> kestrix.serialize(Point(x=3), encoding="ISO-8859-1", short_empty_elements=True)
        b'<?xml version="1.0" encoding="ISO-8859-1"?>\\n<Point x="3"><label/></Point>'
    """
    if (encoding is None and xml_declaration is None and standalone is None and doctype is None
            and short_empty_elements is False):
        return _serialize(obj, indent)
    from ._writing import Options

    return Options(encoding, xml_declaration, standalone, doctype,
                   short_empty_elements).document(obj, indent)


def version(*args, **kwargs):
    """Return the version of the native extension.

    Returns:
        The version text, the same as ``kestrix.__version__``.

    Raises:
        TypeError: when called with any argument.

    Example:
        >>> kestrix.version()
        '0.7.0'
    """
    return _version(*args, **kwargs)


version.__wrapped__ = _version
