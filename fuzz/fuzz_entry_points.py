"""fuzz/fuzz_entry_points.py: atheris harness over deserialize, iterparse and serialize.

An input is a selector byte for the model, a mode byte and the document:

  byte 0   model: MODELS[byte % len(MODELS)]
  byte 1   bit 0: iterparse instead of deserialize
           bits 1-2: indent of the round trip (None, 0, 1, 2)
           bit 3: iterparse with the tag "item" instead of the class name
           bit 4: also iterload over a stream cut into pieces of 1 to 8
                  bytes (picked by bits 5-7), which must give what iterparse
                  gives; with bit 0 clear, load from a stream must give what
                  deserialize gives
  rest     the XML document

Whatever deserializes (or comes out of the iterator) goes through serialize,
and that output through deserialize again. Allowed out of the first pass are
ValueError (which includes pydantic's ValidationError), TypeError,
decimal.InvalidOperation (raised by the Decimal constructor of a Decimal field)
and the models' own ModelRejected; anything else propagates and is a finding.
The second pass reads what kestrix wrote itself, so there kestrix's own
ValueError is a finding too; only the models' validation may refuse it. A
document serialized without indentation must also serialize again to the same
bytes, unless a field holds None over a default that is not None (None is
written as nothing, so the default comes back). The same object written with
one of the writing options (an output encoding, the prolog, empty-element
tags; picked from the document's checksum) must read back to what the plain
output reads back to.

Run (see `make fuzz-python`) with the extension built under ASan/UBSan and
-fsanitize=fuzzer-no-link, so that libFuzzer sees the C++ coverage:

  python fuzz/fuzz_entry_points.py [libFuzzer flags] [CORPUS_DIR]

The first corpus directory receives the seed documents before the run. Given
files instead of directories, each is run once (reproducing a finding).
"""

import dataclasses
import decimal
import io
import os
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kestrix  # noqa: E402
from fuzz_models import MODELS, ModelRejected, seed_documents  # noqa: E402

ALLOWED = (ValueError, TypeError, decimal.InvalidOperation, ModelRejected)
INDENTS = (None, 0, 1, 2)
WRITE_OPTIONS = (
    {"encoding": "UTF-16"},
    {"encoding": "ISO-8859-1", "short_empty_elements": True},
    {"encoding": "windows-1252", "doctype": "<!DOCTYPE root>"},
    {"encoding": "US-ASCII", "standalone": True},
    {"xml_declaration": True, "short_empty_elements": True},
)


class Finding(AssertionError):
    """A property of the entry points that an input broke."""


def _check_value_error(error: BaseException) -> None:
    # kestrix raises plain ValueError with the message as its only argument.
    if type(error) is ValueError and not (len(error.args) == 1 and isinstance(error.args[0], str)):
        raise Finding(f"ValueError with arguments {error.args!r}") from error


def _fields(obj):
    """(value, default) of every field of a model instance; default is None when
    the field has none, or its default is None."""
    cls = type(obj)
    fields = getattr(cls, "model_fields", None)
    if isinstance(fields, dict):
        for name, info in fields.items():
            default = None if info.is_required() else info.get_default(call_default_factory=True)
            yield getattr(obj, name, None), default
    elif dataclasses.is_dataclass(obj):
        for f in dataclasses.fields(obj):
            if f.default is not dataclasses.MISSING:
                default = f.default
            elif f.default_factory is not dataclasses.MISSING:
                default = f.default_factory()
            else:
                default = None
            yield getattr(obj, f.name, None), default


def _walk(obj):
    """Every model instance in obj's tree, obj included, and the lists on the way."""
    stack = [obj]
    while stack:
        node = stack.pop()
        yield node
        for value, _ in _fields(node):
            if isinstance(value, list):
                yield value
                stack.extend(v for v in value if hasattr(type(v), "model_fields")
                             or dataclasses.is_dataclass(v))
            elif hasattr(type(value), "model_fields") or dataclasses.is_dataclass(value):
                stack.append(value)


def none_over_default(obj) -> bool:
    """A field set to None (by xsi:nil) whose default is not None: serialize
    writes nothing for None, so reading the output back gives the default."""
    return any(value is None and default is not None
               for node in _walk(obj) if not isinstance(node, list)
               for value, default in _fields(node))


def round_trip(obj, cls, indent) -> None:
    """serialize obj, read the output back, and check the second pass."""
    try:
        first = kestrix.serialize(obj, indent)
    except ALLOWED as error:
        _check_value_error(error)
        return
    if type(first) is not bytes:
        raise Finding(f"serialize returned {type(first).__name__}")
    try:
        again = kestrix.deserialize(first, cls)
    except ALLOWED as error:
        if type(error) is ValueError:
            raise Finding(f"kestrix cannot read its own output {first!r}: {error}") from error
        return
    if type(again) is not cls:
        raise Finding(f"deserialize returned {type(again).__name__}, not {cls.__name__}")
    with_options(obj, cls, indent, again, first)
    # Indentation adds whitespace to text content on every pass.
    if indent is not None or none_over_default(obj):
        return
    try:
        second = kestrix.serialize(again)
    except ALLOWED:
        return
    if second != first:
        raise Finding(f"round trip changed the document:\n  {first!r}\n  {second!r}")


def with_options(obj, cls, indent, plain, first: bytes) -> None:
    """obj written with writing options reads back as its plain output does."""
    options = WRITE_OPTIONS[zlib.crc32(first) % len(WRITE_OPTIONS)]
    try:
        written = kestrix.serialize(obj, indent, **options)
    except ALLOWED as error:
        _check_value_error(error)
        return
    try:
        back = kestrix.deserialize(written, cls)
    except ALLOWED as error:
        if type(error) is ValueError:
            raise Finding(f"kestrix cannot read its output {written!r} ({options}): {error}") from error
        return
    try:
        expected, got = kestrix.serialize(plain), kestrix.serialize(back)
    except ALLOWED:
        return
    if got != expected:
        raise Finding(f"writing with {options} changed the document:\n  {expected!r}\n  {got!r}")


def run_deserialize(doc: bytes, cls, indent) -> None:
    try:
        obj = kestrix.deserialize(doc, cls)
    except ALLOWED as error:
        _check_value_error(error)
        return
    if type(obj) is not cls:
        raise Finding(f"deserialize returned {type(obj).__name__}, not {cls.__name__}")
    round_trip(obj, cls, indent)


def run_iterparse(doc: bytes, cls, indent, tag) -> None:
    try:
        iterator = kestrix.iterparse(doc, cls, tag)
    except ALLOWED as error:
        _check_value_error(error)
        return
    if iter(iterator) is not iterator:
        raise Finding("iter() of an XmlIterator is another object")
    # Every call consumes input or ends the stream, so a document of n bytes
    # cannot yield much more than n outcomes.
    for _ in range(len(doc) + 2):
        try:
            obj = next(iterator)
        except StopIteration:
            for _ in range(2):
                try:
                    next(iterator)
                except StopIteration:
                    continue
                raise Finding("an exhausted iterator yielded again")
            return
        except ALLOWED as error:
            _check_value_error(error)
            continue
        if type(obj) is not cls:
            raise Finding(f"iterparse yielded {type(obj).__name__}, not {cls.__name__}")
        round_trip(obj, cls, indent)
    raise Finding("iterparse never stopped")


class Pieces(io.RawIOBase):
    """A stream that returns at most `size` bytes per read."""

    def __init__(self, data: bytes, size: int) -> None:
        self.data, self.at, self.size = data, 0, size

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> bytes:
        piece = self.data[self.at:self.at + min(n, self.size)]
        self.at += len(piece)
        return piece


def failure(error: BaseException) -> tuple:
    """An error as compared between readings. Where markup is not well-formed,
    expat may name another reason or position when the bad token is cut by a
    chunk boundary: only the kind of such an error is compared. A stream keeps
    no copy of the document, so its notes give no element's name or contents,
    and a value's position only as that of the element holding it: notes are
    compared without positions and contents."""
    if str(error).startswith("XML reader error"):
        return ("not well-formed",)
    notes = [n.split("; <", 1)[0] for n in getattr(error, "__notes__", None) or ()
             if not n.startswith("at line ")]
    return (type(error), str(error), notes)


def comparable(outcome):
    """An outcome as compared: an object by the document it writes (where a NaN
    field equals itself, and deep trees cost no Python recursion)."""
    if isinstance(outcome, tuple):
        return outcome
    try:
        return kestrix.serialize(outcome)
    except ALLOWED as error:
        return ("cannot serialize", type(error))


def outcomes(records, limit: int) -> list:
    """What an iterator gives: objects, or errors."""
    out = []
    for _ in range(limit):
        try:
            out.append(next(records))
        except StopIteration:
            return out
        except ALLOWED as error:
            out.append(failure(error))
    raise Finding("the iterator never stopped")


def same_as_streamed(doc: bytes, cls, tag, piece: int, whole: bool) -> None:
    """A stream cut into pieces reads as the document held in memory, unless the
    document names another encoding and memory reads it as UTF-8 (a stream
    follows the declaration; memory does when UTF-8 cannot read the bytes)."""
    if kestrix._kestrix._declared_encoding(doc[:512]).lower() not in ("", "utf-8", "utf8"):
        try:
            if b"\0" not in doc and doc.decode("utf-8"):
                return
        except UnicodeDecodeError:
            pass
    if whole:
        try:
            expected = [kestrix.deserialize(doc, cls)]
        except ALLOWED as error:
            expected = [failure(error)]
        try:
            got = [kestrix.load(Pieces(doc, piece), cls)]
        except ALLOWED as error:
            got = [failure(error)]
    else:
        try:
            expected = outcomes(kestrix.iterparse(doc, cls, tag), len(doc) + 2)
        except TypeError:
            return
        except ValueError as error:  # an encoding that cannot be read
            expected = [failure(error)]
        got = outcomes(kestrix.iterload(Pieces(doc, piece), cls, tag), len(doc) + 2)
    if [comparable(x) for x in got] != [comparable(x) for x in expected]:
        raise Finding(f"a stream read in pieces of {piece} differs from the document in memory")


def check(data: bytes) -> None:
    """One fuzzer input; raises on a finding."""
    if len(data) < 2:
        return
    cls = MODELS[data[0] % len(MODELS)]
    mode = data[1]
    indent = INDENTS[(mode >> 1) & 3]
    doc = bytes(data[2:])
    tag = "item" if mode & 8 else None
    if mode & 1:
        run_iterparse(doc, cls, indent, tag)
    else:
        run_deserialize(doc, cls, indent)
    if mode & 16:
        same_as_streamed(doc, cls, tag, (mode >> 5) + 1, not mode & 1)


def write_seeds(directory: str) -> None:
    """Each seed document under every API choice, named after its model."""
    os.makedirs(directory, exist_ok=True)
    for cls, docs in seed_documents().items():
        model = bytes([MODELS.index(cls)])
        for n, doc in enumerate(docs):
            wrapped = b"<feed>" + doc + b"<other/>" + doc + b"</feed>"
            for mode, body in ((0, doc), (1, wrapped), (4, doc), (0x31, wrapped), (0xF0, doc)):
                name = os.path.join(directory, f"seed-{cls.__name__}-{n}-{mode}")
                with open(name, "wb") as out:
                    out.write(model + bytes([mode]) + body)


DICTIONARY = [
    "<", "</", "/>", ">", "=", "'", '"', "xsi:nil=\"true\"", "xsi:nil='1'", "<![CDATA[", "]]>",
    "<!--", "-->", "<?xml version=\"1.0\"?>", "encoding=\"UTF-16\"", "encoding='latin1'",
    "encoding='windows-1252'", "encoding='KOI8-R'", "encoding='Shift_JIS'", "\xfe\xff", "\xff\xfe", "<!DOCTYPE a [", "]>",
    "<!ENTITY e \"", "&e;", "&amp;", "&lt;", "&#x", "&#", ";", "xmlns:p=\"urn:p\"", "p:",
    "true", "false", "1", "0", "-", "+", "NaN", "inf", "INF", "1e400", "-0", "9223372036854775808",
    "1E+3", "sNaN", "red", "GREEN", "HIGH", "\xc3\xa9", "\xff", "\x00", "2024-02-29", "T10:00:00",
    ":00", ".5", "Z", "+05:30", "-14:00",
]


def write_dictionary(path: str) -> None:
    names = set()
    for cls in MODELS:
        names.add(cls.__name__)
        for field in getattr(cls, "model_fields", None) or getattr(cls, "__dataclass_fields__"):
            names.add(field)
    names |= {"item", "tag", "n", "price", "color", "flag", "w", "day", "at", "a", "em", "node",
              "Work"}
    names.add("code-name")
    with open(path, "w", encoding="latin-1") as out:
        for token in DICTIONARY + sorted(names):
            escaped = "".join(c if 32 <= ord(c) < 127 and c not in '"\\' else f"\\x{ord(c):02x}"
                              for c in token)
            out.write(f'"{escaped}"\n')


def main() -> None:
    import atheris  # only here: the regression tests import this module without it

    argv = list(sys.argv)
    corpora = [a for a in argv[1:] if not a.startswith("-")]
    if not corpora:
        corpora = [tempfile.mkdtemp(prefix="kestrix-fuzz-")]
        argv.append(corpora[0])
    if not os.path.isfile(corpora[0]):
        write_seeds(corpora[0])
        if not any(a.startswith("-dict=") for a in argv):
            dictionary = os.path.join(corpora[0], os.pardir, "fuzz_entry_points.dict")
            write_dictionary(dictionary)
            argv.insert(1, "-dict=" + os.path.normpath(dictionary))
    atheris.Setup(argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
