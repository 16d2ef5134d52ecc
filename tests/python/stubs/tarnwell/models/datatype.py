"""A small stand-in for the companion date/time package, used by the tests.

Each class keeps the parsed value; ``from_string`` (or the constructor, for
durations) rejects text of the wrong form with ``ValueError``.
"""

import datetime


class _Wrapped:
    _parse = staticmethod(str)

    def __init__(self, value):
        self.value = value

    @classmethod
    def from_string(cls, text: str):
        return cls(cls._parse(text))

    def __eq__(self, other):
        return type(other) is type(self) and other.value == self.value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class XmlDate(_Wrapped):
    _parse = staticmethod(datetime.date.fromisoformat)


class XmlTime(_Wrapped):
    _parse = staticmethod(datetime.time.fromisoformat)


class XmlDateTime(_Wrapped):
    _parse = staticmethod(datetime.datetime.fromisoformat)


class XmlDuration:
    def __init__(self, text: str):
        if not text.startswith("P"):
            raise ValueError(f"not a duration: {text!r}")
        self.value = text

    def __eq__(self, other):
        return type(other) is type(self) and other.value == self.value

    def __repr__(self):
        return f"XmlDuration({self.value!r})"
