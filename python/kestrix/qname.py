"""QName: a name in a namespace, for field values that name things by prefix."""

from __future__ import annotations

__all__ = ["QName"]


class QName(tuple[str, str]):
    """A qualified name held as its namespace URI and local name.

    A field annotated ``QName`` holds values such as XML Schema's
    ``type="xs:string"``: reading resolves the prefix through the namespace
    declarations in scope where the value stands (an unprefixed value takes
    the default namespace in scope), writing picks the prefix declared for the
    namespace and declares one on the root element when there is none.

    ``QName(namespace, local)`` or ``QName("{namespace}local")``; a name in no
    namespace is ``QName("", local)`` or ``QName("local")``. ``str()`` gives
    the ``{namespace}local`` form (just ``local`` in no namespace). A QName is
    an immutable pair: equal to, and hashed as, ``(namespace, local)``.

    Example:
        >>> QName("{http://www.w3.org/2001/XMLSchema}string").local
        'string'
        >>> str(QName("urn:example", "item"))
        '{urn:example}item'
    """

    __slots__ = ()

    def __new__(cls, namespace: str, local: str | None = None) -> QName:
        if not isinstance(namespace, str):
            raise TypeError(f"a QName's namespace must be a str, not {type(namespace).__name__}")
        if local is None:
            text = namespace
            namespace = ""
            local = text
            if text.startswith("{"):
                close = text.rfind("}")
                if close < 0:
                    raise ValueError(f"{text!r} is not a name in the form '{{namespace}}local'")
                namespace, local = text[1:close], text[close + 1 :]
        elif not isinstance(local, str):
            raise TypeError(f"a QName's local name must be a str, not {type(local).__name__}")
        if not local or ":" in local or "{" in local or "}" in local:
            raise ValueError(f"{local!r} is not a local name (non-empty, no colon or braces)")
        return tuple.__new__(cls, (namespace, local))

    @property
    def namespace(self) -> str:
        """The namespace URI; empty for a name in no namespace."""
        return self[0]

    @property
    def local(self) -> str:
        """The local name."""
        return self[1]

    def __getnewargs__(self) -> tuple[str, str]:
        return (self[0], self[1])

    def __str__(self) -> str:
        return f"{{{self[0]}}}{self[1]}" if self[0] else self[1]

    def __repr__(self) -> str:
        return f"QName({self[0]!r}, {self[1]!r})"

    @classmethod
    def __get_pydantic_core_schema__(cls, source: object, handler: object) -> object:
        # Called by pydantic only: a QName field of a pydantic model takes a
        # QName, a (namespace, local) pair or the "{namespace}local" text, and
        # dumps to the text.
        from pydantic_core import core_schema

        def validate(value: object) -> QName:
            if isinstance(value, QName):
                return value
            if isinstance(value, str):
                return cls(value)
            if isinstance(value, tuple) and len(value) == 2:
                return cls(*value)
            raise ValueError(f"expected a QName, not {type(value).__name__}")

        return core_schema.no_info_plain_validator_function(
            validate, serialization=core_schema.plain_serializer_function_ser_schema(str)
        )
