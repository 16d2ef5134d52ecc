"""Warnings about models and documents that do not fit together.

kestrix reads what it can and leaves the rest, so a misspelt metadata value,
a forgotten ``@dataclass`` or a document meant for another model would give
quietly empty results. The checks here say so with a :class:`ModelWarning`:
the extension calls them when it compiles a class, when a document's root
binds no field, and when a record iterator ends without a record. Results are
never changed; ``warnings.simplefilter("error", kestrix.ModelWarning)`` (or
``-W error::kestrix.ModelWarning``) turns each warning into an exception.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Iterable, Mapping

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# What a field's metadata may hold, and the values of its "type".
KNOWN_KEYS = ("type", "name", "namespace", "mixed", "nillable", "cdata", "choices", "wrapper",
              "any_attributes")
KNOWN_TYPES = ("Attribute", "Text", "Element", "Wildcard")


class ModelWarning(UserWarning):
    """A model or a document that kestrix reads, but most likely not as meant.

    Raised as an exception under ``-W error::kestrix.ModelWarning``.
    """


def _caller_stacklevel() -> int:
    """The stacklevel of the first frame outside this package (the caller's code)."""
    frame = sys._getframe(1)
    level = 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) \
            .startswith(_PACKAGE_DIR):
        frame = frame.f_back  # type: ignore[assignment]
        level += 1
    return level


def _warn(message: str) -> None:
    warnings.warn(message, ModelWarning, stacklevel=_caller_stacklevel())


def folded(name: str) -> str:
    """A name without case, hyphens, underscores and dots: "MimeType" and "mime-type" fold alike."""
    return "".join(c for c in name.lower() if c not in "-_.")


def local(name: str) -> str:
    """The local part of "prefix:local", "{uri}local" or "local"."""
    if name.startswith("{") and "}" in name:
        return name.rpartition("}")[2]
    return name.partition(":")[2] or name


def suggestion(wanted: str, seen: Iterable[str]) -> str | None:
    """The seen name that `wanted` most likely means: equal but for case and
    hyphenation (local parts compared), else one close in spelling."""
    names = list(seen)
    for name in names:
        if local(name) != local(wanted) and folded(local(name)) == folded(local(wanted)):
            return local(name)
    import difflib  # only when a warning is being made

    close = difflib.get_close_matches(local(wanted), [local(n) for n in names], n=1, cutoff=0.8)
    return close[0] if close and close[0] != local(wanted) else None


def _nearest(word: str, known: Iterable[str]) -> str | None:
    choices = list(known)
    for choice in choices:
        if folded(choice) == folded(word):
            return choice
    import difflib

    close = difflib.get_close_matches(word, choices, n=1, cutoff=0.6)
    if not close:  # "Attrib" is a prefix of "Attribute"
        close = [c for c in choices if folded(c).startswith(folded(word)) and len(word) >= 3]
    return close[0] if close else None


def _field_metadata(cls: type) -> list[tuple[str, Mapping[Any, Any]]]:
    """(field name, metadata) for each field, read as the extension reads them."""
    found = []
    model_fields = getattr(cls, "model_fields", None)
    if isinstance(model_fields, dict):
        for name, info in model_fields.items():
            metadata = getattr(info, "ferrun_metadata", None)
            if metadata is None:
                metadata = getattr(info, "json_schema_extra", None)
            if isinstance(metadata, Mapping):
                found.append((name, metadata))
        return found
    for name, info in (getattr(cls, "__dataclass_fields__", None) or {}).items():
        metadata = getattr(info, "metadata", None)
        if isinstance(metadata, Mapping):
            found.append((name, metadata))
    return found


def check_model(cls: type, fields: list[tuple[str, Any]]) -> None:
    """Warn about what a class's declaration holds that kestrix cannot use.

    `fields` are (name, metadata) as the class was compiled with them. A
    metadata mapping that fails to be read is left to compilation: the check
    itself only ever raises the warnings it gives.
    """
    try:
        _check_model(cls, fields)
    except ModelWarning:
        raise
    except Exception:  # noqa: BLE001 - a check never fails a class on its own account
        pass


def _check_model(cls: type, fields: list[tuple[str, Any]]) -> None:
    if not (hasattr(cls, "__dataclass_fields__") or hasattr(cls, "model_fields")):
        _warn(f"{cls.__name__} is neither a dataclass nor a pydantic-style model (it has no"
              f" __dataclass_fields__ or model_fields): it binds no field and is written as an"
              f" empty element; did you forget @dataclass?")
        return
    for field, metadata in fields:
        if not isinstance(metadata, Mapping):
            continue
        for key in metadata:
            if not isinstance(key, str) or key in KNOWN_KEYS:
                continue
            # Metadata dicts are shared with other libraries (pydantic's
            # json_schema_extra feeds the JSON schema): only a key that looks
            # like a slip of one of ours is reported.
            near = _nearest(key, KNOWN_KEYS)
            if near is not None:
                _warn(f"{cls.__name__}.{field}: metadata key {key!r} is not one kestrix reads;"
                      f" did you mean {near!r}?")
        kind = metadata.get("type")
        if kind is not None and kind not in KNOWN_TYPES:
            near = _nearest(str(kind), KNOWN_TYPES)
            hint = f"; did you mean {near!r}?" if near else ""
            _warn(f"{cls.__name__}.{field}: metadata \"type\" is {kind!r}, which is none of "
                  f"{', '.join(repr(t) for t in KNOWN_TYPES)}: the field is read and written as a"
                  f" child element{hint}")


def _xml_names(cls: type) -> list[tuple[str, str]]:
    """(XML name, "attribute" or "element") of each field a document element could fill."""
    names = []
    metadata = dict(_field_metadata(cls))
    fields = getattr(cls, "model_fields", None)
    if not isinstance(fields, dict):
        fields = getattr(cls, "__dataclass_fields__", None) or {}
    for field in fields:
        meta = metadata.get(field, {})
        kind = meta.get("type")
        if kind == "Text" or (kind == "Wildcard" and meta.get("mixed") is True):
            continue
        name = meta.get("wrapper") or meta.get("name")  # a wrapped list's element is its wrapper
        names.append((name if isinstance(name, str) else field,
                      "attribute" if kind == "Attribute" else "element"))
    return names


def _listed(names: list[str], brackets: bool) -> str:
    shown = [f"<{n}>" if brackets else n for n in names[:10]]
    more = f" and {len(names) - 10} more" if len(names) > 10 else ""
    return ", ".join(shown) + more


def warn_root_unbound(cls: type, element: str, attributes: list[str], children: list[str]) -> None:
    """The document element filled no field of `cls` though it has content."""
    has = []
    if attributes:
        has.append(f"attributes {_listed(attributes, False)}")
    if children:
        has.append(f"child elements {_listed(children, True)}")
    wanted = _xml_names(cls)
    message = (f"the document element <{element}> filled no field of {cls.__name__}, though it has"
               f" {' and '.join(has)}; {cls.__name__} reads "
               + ", ".join(f"<{n}>" if k == "element" else f"attribute {n}" for n, k in wanted[:10]))
    hints = []
    for name, kind in wanted:
        near = suggestion(name, attributes if kind == "attribute" else children)
        if near is not None:
            hints.append(f"{near!r} for {name!r}")
    if hints:
        message += f" (did you mean {', '.join(hints)}? set the field's metadata \"name\")"
    _warn(message)


def warn_no_records(cls: type, tag: str, seen: list[str]) -> None:
    """A record iterator over `cls` ended without finding an element named `tag`."""
    _warn(no_records_message(tag, seen, "tag="))


def no_records_message(tag: str, seen: list[str], option: str) -> str:
    """Why no record was found: the tag looked for, the names seen near the top
    of the document and, when one of them looks meant, `option` with it."""
    if not seen:
        return f"no <{tag}> element found; the document holds no elements"
    message = (f"no <{tag}> element found; elements near the top of the document: "
               + ", ".join(f"<{name}>" for name in seen))
    near = suggestion(tag, seen)
    if near is not None:
        if tag.startswith("{"):
            near = tag[:tag.rindex("}") + 1] + near
        message += f" (did you mean {option}{near}?)"
    return message
