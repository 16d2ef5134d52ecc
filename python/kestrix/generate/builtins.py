"""The built-in XML Schema datatypes and the Python types their values are bound as.

Types kestrix does not bind to a Python type of their own yet (binary data,
durations, lists of values) are bound as their text, a ``str``.
"""

from __future__ import annotations

# Python annotation (as written in generated code) for each built-in type.
BUILT_IN: dict[str, str] = {}

for _name in ("string", "normalizedString", "token", "language", "Name", "NCName", "ID", "IDREF",
              "ENTITY", "NMTOKEN", "anyURI", "gYear", "gYearMonth", "gMonth", "gMonthDay", "gDay",
              "anySimpleType", "anyType", "anyAtomicType",
              # bound as text until kestrix binds them to types of their own:
              "base64Binary", "hexBinary", "NOTATION", "duration", "dayTimeDuration",
              "yearMonthDuration", "IDREFS", "ENTITIES", "NMTOKENS", "dateTimeStamp"):
    BUILT_IN[_name] = "str"
for _name in ("integer", "nonPositiveInteger", "negativeInteger", "long", "int", "short", "byte",
              "nonNegativeInteger", "unsignedLong", "unsignedInt", "unsignedShort", "unsignedByte",
              "positiveInteger"):
    BUILT_IN[_name] = "int"
BUILT_IN.update({
    "decimal": "Decimal",
    "float": "float",
    "double": "float",
    "boolean": "bool",
    "date": "datetime.date",
    "time": "datetime.time",
    "dateTime": "datetime.datetime",
    "QName": "kestrix.QName",
})

# Built-in types bound as text although their values are not plain text: the
# generated docstring names the schema type so that readers know.
AS_TEXT = frozenset({"base64Binary", "hexBinary", "NOTATION", "duration", "dayTimeDuration",
                     "yearMonthDuration", "IDREFS", "ENTITIES", "NMTOKENS", "anyType"})

FACETS = ("length", "minLength", "maxLength", "pattern", "minInclusive", "maxInclusive",
          "minExclusive", "maxExclusive", "totalDigits", "fractionDigits", "whiteSpace")
