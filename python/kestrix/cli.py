"""The kestrix command line: parse, stream and round-trip XML files with a model.

    kestrix parse FILE --model package.module:Class
    kestrix iter FILE --model package.module:Class [--tag NAME]
    kestrix roundtrip FILE --model package.module:Class [--indent N]
    kestrix demo
    kestrix generate SCHEMA.xsd [MORE.xsd ...] -o OUTPUT [--package NAME] [--style S] [--catalog FILE]

FILE may be "-" for standard input. Errors name the file (and, for malformed
XML, the line and column) and end with a non-zero exit status. Quiet wrong
answers are avoided: `parse` notes a root element that is not the model's,
`iter` fails when it finds no record and lists the names it did see, and
--model must name a model class.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime
import decimal
import enum
import importlib
import json
import os
import re
import stat
import sys
import tempfile
import types
import warnings
from typing import Any, BinaryIO, Sequence
from xml.parsers import expat

from . import _kestrix
from ._diagnose import ModelWarning
from ._diagnose import no_records_message as _no_records_message
from .files import _as_declared, _declares_another_encoding, iterload

EXIT_ERROR = 1
EXIT_USAGE = 2

# Progress is shown for `iter` only when stderr is a terminal and the input is
# known to be at least this large.
PROGRESS_MIN_BYTES = 8 * 1024 * 1024
PROGRESS_EVERY = 5000

# How many element names an empty `iter` lists, read from at most this much of
# the document in chunks of NAMES_CHUNK bytes.
NAMES_SHOWN = 10
NAMES_SCAN_BYTES = 1024 * 1024
NAMES_CHUNK = 64 * 1024

# `iter` reads its input in chunks of this size, after the first bytes, which
# say how the document is encoded.
READ_CHUNK = 256 * 1024
HEAD_BYTES = 512

# The note kestrix puts on errors met while reading a document.
_LOCATION_NOTE = re.compile(r"^at line (\d+), column (\d+)")


_show_warning = warnings.showwarning


class CliError(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


def load_model(model_path: str) -> type:
    """Import "package.module:Class" (the class part may be dotted) and check it is a model."""
    module_name, sep, qualname = model_path.partition(":")
    if looks_like_a_file(module_name):
        raise CliError(file_path_hint(model_path, module_name, qualname), EXIT_USAGE)
    if not sep or not module_name or not qualname:
        raise CliError(f"--model must look like package.module:Class, got {model_path!r}", EXIT_USAGE)
    # Like `python -m`: modules in the current directory are importable, also when
    # kestrix runs as an installed script (whose own folder is sys.path[0]).
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        target: Any = importlib.import_module(module_name)
    except Exception as exc:  # noqa: BLE001 - any import failure is reported the same way
        message = f"cannot import model module {module_name!r}: {exc}"
        top = module_name.split(".")[0]
        if isinstance(exc, ModuleNotFoundError) and exc.name == top:
            message += (f" (modules are looked up in the current directory, {os.getcwd()},"
                        f" and on PYTHONPATH: run kestrix from the folder that contains"
                        f" {top!r}, or add that folder to PYTHONPATH)")
        raise CliError(message, EXIT_USAGE) from exc
    for part in qualname.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise CliError(f"module {module_name!r} has no attribute {qualname!r}",
                           EXIT_USAGE) from None
    if not is_model_class(target):
        raise CliError(f"--model {model_path} names {describe_object(target)}, not a model class:"
                       " give a dataclass or a pydantic-style model (a class with model_fields)",
                       EXIT_USAGE)
    model: type = target
    return model


def is_model_class(target: object) -> bool:
    return isinstance(target, type) and (
        hasattr(target, "__dataclass_fields__") or hasattr(target, "model_fields"))


def describe_object(target: object) -> str:
    """What a --model value turned out to be, for the error message."""
    if isinstance(target, type):
        if issubclass(target, enum.Enum):
            return f"an enum ({target.__name__})"
        return f"a class without dataclass fields or model_fields ({target.__name__})"
    if isinstance(target, types.ModuleType):
        return f"a module ({target.__name__})"
    if callable(target):
        return f"a function ({getattr(target, '__name__', type(target).__name__)})"
    return f"a {type(target).__name__} value"


def looks_like_a_file(module_name: str) -> bool:
    return "/" in module_name or "\\" in module_name or module_name.endswith(".py")


def file_path_hint(model_path: str, module_name: str, qualname: str) -> str:
    """The message for `--model a/b.py:C`: the module must be named with dots."""
    path = module_name[:-3] if module_name.endswith(".py") else module_name
    path = os.path.normpath(path.replace("\\", "/"))
    relative = os.path.relpath(path) if os.path.isabs(path) else path
    message = f"--model takes a module name with dots, not a file path ({model_path!r})"
    if relative.startswith(".."):
        folder, module = os.path.split(path)
        return f"{message}: add {folder} to PYTHONPATH and use --model {module}:{qualname or 'Class'}"
    return f"{message}: use --model {relative.replace(os.sep, '.')}:{qualname or 'Class'}"


def element_name(model: type) -> str:
    """The element name a model reads and writes: its declared name, else the class name.

    The declaration is the class's own (in its __dict__): subclasses do not inherit it.
    """
    declared = getattr(vars(model).get("__kestrix_element__"), "name", None)
    return declared if isinstance(declared, str) else model.__name__


def record_tag(model: type) -> str:
    """The tag iterparse looks for by default: "{uri}name" when the class declares a namespace."""
    namespace = getattr(vars(model).get("__kestrix_element__"), "namespace", None)
    name = element_name(model)
    return f"{{{namespace}}}{name}" if namespace else name


class _EnoughNames(Exception):
    pass


def element_names(data: bytes, limit: int) -> list[str]:
    """The first `limit` distinct element names of a document, in document order.

    Reads only as far as needed (and at most the first NAMES_SCAN_BYTES), so
    finding the root's name costs a few bytes whatever the document's size.
    Malformed XML ends the scan with the names found so far.
    """
    names: list[str] = []

    def start(name: str, attributes: Any) -> None:
        if name not in names:
            names.append(name)
            if len(names) >= limit:
                raise _EnoughNames

    parser = expat.ParserCreate()
    parser.StartElementHandler = start
    try:
        for offset in range(0, min(len(data), NAMES_SCAN_BYTES), NAMES_CHUNK):
            parser.Parse(data[offset:offset + NAMES_CHUNK], False)
    except (_EnoughNames, expat.ExpatError):
        pass
    return names


def local_name(name: str) -> str:
    return name.partition(":")[2] or name


def root_note(data: bytes, model: type) -> str | None:
    """A note when the document's root element is not the model's element."""
    roots = element_names(data, 1)
    expected = element_name(model)
    if not roots or local_name(roots[0]) == local_name(expected):
        return None
    shown = model.__name__ if expected == model.__name__ else f"{model.__name__} (<{expected}>)"
    return f"note: the document's root is <{roots[0]}>, the model is {shown}"


def read_source(path: str) -> bytes:
    with open_input(path) as stream:
        return read_or_fail(stream, path, -1)


def read_or_fail(stream: BinaryIO, path: str, size: int) -> bytes:
    """stream.read(size), a failure of which is reported as a CliError naming `path`."""
    try:
        return stream.read(size)
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from exc


def open_input(path: str) -> contextlib.AbstractContextManager[BinaryIO]:
    """The file at `path` opened for reading (closed by the context), or standard input."""
    if path == "-":
        return contextlib.nullcontext(sys.stdin.buffer)
    try:
        return open(path, "rb")
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from exc


def describe_error(name: str, exc: BaseException, suffix: str = "") -> str:
    """An exception raised while reading file `name`, for stderr: its message,
    prefixed with the first line and column noted on it (the reader's, or the
    start tag of the element a model failed on) and followed by `suffix`, then
    its other notes (the field path, what a required field looked for), one
    per line."""
    message = str(exc)
    notes = [note for note in getattr(exc, "__notes__", ()) if isinstance(note, str)]
    # Reader errors are ValueErrors whose message says what kind they are;
    # anything else (a model's own error) is named by its type.
    kind = "" if type(exc) is ValueError else f"{type(exc).__name__}: "
    first = f"{name}: {type(exc).__name__}: {message}"
    for index, note in enumerate(notes):
        found = _LOCATION_NOTE.match(note)
        if found:
            detail = note[found.end():]  # e.g. " (entity 'nbsp')"
            first = f"{name}:{found.group(1)}:{found.group(2)}: {kind}{message}{detail}"
            del notes[index]
            break
    return "\n".join([first + suffix, *(f"  {note}" for note in notes)])


def print_error(text: str) -> None:
    """Writes `text` to stderr with every line prefixed by "kestrix: "."""
    for line in text.splitlines() or [""]:
        print(f"kestrix: {line}", file=sys.stderr)


def show_model_warning(message: Any, category: Any, filename: str, lineno: int,
                       file: Any = None, line: Any = None) -> None:
    """Prints a ModelWarning as the command line's own "kestrix: warning: ..." line."""
    if issubclass(category, ModelWarning):
        print_error(f"warning: {message}")
    else:
        _show_warning(message, category, filename, lineno, file, line)


def to_jsonable(value: Any) -> Any:
    """Plain JSON data for a bound object: models, dataclasses, enums, decimals, dates."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and value not in (float("inf"), float("-inf")) else str(value)
    if isinstance(value, enum.Enum):
        return to_jsonable(value.value)
    if isinstance(value, decimal.Decimal):
        return str(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (list, tuple)):
        return [to_jsonable(item) for item in value]
    if isinstance(value, dict):
        return {str(key): to_jsonable(item) for key, item in value.items()}
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: to_jsonable(getattr(value, f.name, None)) for f in dataclasses.fields(value)}
    model_fields = getattr(type(value), "model_fields", None)
    if isinstance(model_fields, dict):
        return {name: to_jsonable(getattr(value, name, None)) for name in model_fields}
    return str(value)


def dump_json(value: Any) -> str:
    return json.dumps(to_jsonable(value), ensure_ascii=False)


def bind_document(name: str, data: bytes, model: type) -> Any:
    """Deserialize `data`; say on stderr when its root is not the model's element."""
    note = root_note(data, model)
    try:
        obj: Any = _kestrix.deserialize(data, model)
    except Exception as exc:
        message = describe_error(name, exc)
        if note and "the document's root element is <" in message:
            note = None  # the extension's own note says it already
        raise CliError(f"{message}\n{note}" if note else message) from exc
    if note:
        print_error(note)
    return obj


def command_parse(args: argparse.Namespace) -> int:
    model = load_model(args.model)
    data = read_source(args.file)
    obj = bind_document(display_name(args.file), data, model)
    print(json.dumps(to_jsonable(obj), ensure_ascii=False, indent=2))
    return 0


class Input:
    """The input of `iter`, read in chunks: read(n) hands out its bytes (first
    those put back in `pending`), keeps the first NAMES_SCAN_BYTES of them for
    the messages that list the document's first elements, and turns a failed
    read into a CliError."""

    def __init__(self, stream: BinaryIO, path: str) -> None:
        self.stream = stream
        self.path = path
        self.head = bytearray()
        self.pending = b""
        self.size: int | None = None  # the input's size, when it is a regular file
        self.consumed = 0  # bytes read from the stream so far
        try:
            status = os.fstat(stream.fileno())
        except (OSError, ValueError):
            pass
        else:
            if stat.S_ISREG(status.st_mode):
                self.size = status.st_size

    def read(self, size: int) -> bytes:
        if self.pending:
            data, self.pending = self.pending[:size], self.pending[size:]
            return data
        data = read_or_fail(self.stream, self.path, size)
        self.consumed += len(data)
        if len(self.head) < NAMES_SCAN_BYTES:
            self.head += data[:NAMES_SCAN_BYTES - len(self.head)]
        return data


def open_records(source: Input, model: type, tag: str | None) -> Any:
    """An iterator over the records of `source`.

    The document is streamed and decoded as a document held in memory is, as
    `iter` has always read it: as UTF-8 whatever it declares, unless it
    declares another encoding and is not UTF-8. Only such a declaration needs
    the whole input looked at first: it is copied to a temporary file, which
    is looked through and then read.
    """
    first = source.read(HEAD_BYTES)
    if not _declares_another_encoding(first):
        source.pending = first
        return iterload(source, model, tag)
    copy = tempfile.TemporaryFile()  # noqa: SIM115 - closed by the iterator
    try:
        data = first
        while data:
            copy.write(data)
            data = source.read(READ_CHUNK)
        copy.seek(0)
        follow = _as_declared(first, iter(lambda: copy.read(READ_CHUNK), b""))
        copy.seek(0)
        return _kestrix._iterstream(copy.read, model, tag, copy.close, follow)
    except BaseException:
        copy.close()
        raise


def command_iter(args: argparse.Namespace) -> int:
    model = load_model(args.model)
    name = display_name(args.file)
    with open_input(args.file) as stream, warnings.catch_warnings():
        # An iteration that finds nothing fails below with the same facts.
        warnings.filterwarnings("ignore", "no <", ModelWarning)
        source = Input(stream, args.file)
        iterator = open_records(source, model, args.tag)
        size = source.size
        progress = sys.stderr.isatty() and (size is None or size >= PROGRESS_MIN_BYTES)
        records = failures = 0
        out = sys.stdout
        while True:
            try:
                obj = next(iterator)
            except StopIteration:
                break
            except CliError:  # the input cannot be read
                raise
            except Exception as exc:  # one bad record: report it and go on
                failures += 1
                if progress:
                    print(file=sys.stderr)  # off the progress line
                print_error(describe_error(name, exc, f" (after record {records})"))
                continue
            records += 1
            out.write(dump_json(obj))
            out.write("\n")
            if progress and records % PROGRESS_EVERY == 0:
                print(f"\r{progress_text(records, source)}", end="", file=sys.stderr, flush=True)
    if progress:
        print("\r", end="", file=sys.stderr)
    if progress or failures:
        print_error(f"{name}: {records} records, {failures} failed")
    if records == 0 and failures == 0:
        raise CliError(no_records_message(name, bytes(source.head), args.tag or record_tag(model)))
    return EXIT_ERROR if failures else 0


def progress_text(records: int, source: Input) -> str:
    """"20000 records", with the share of the input read when its size is known."""
    if not source.size:
        return f"{records} records"
    return f"{records} records ({min(100, 100 * source.consumed // source.size)}%)"


def no_records_message(name: str, data: bytes, tag: str) -> str:
    """Why `iter` found nothing: the tag it looked for and the names the document has."""
    return f"{name}: {_no_records_message(tag, element_names(data, NAMES_SHOWN), '--tag ')}"


def command_roundtrip(args: argparse.Namespace) -> int:
    model = load_model(args.model)
    data = read_source(args.file)
    name = display_name(args.file)
    obj = bind_document(name, data, model)
    try:
        text = _kestrix.serialize(obj, indent=args.indent)
    except Exception as exc:
        raise CliError(f"{name}: cannot serialize: {type(exc).__name__}: {exc}") from exc
    sys.stdout.buffer.write(text)
    if args.indent is not None:
        sys.stdout.buffer.write(b"\n")
    sys.stdout.flush()
    return 0


def command_demo(args: argparse.Namespace) -> int:
    from .demo import run

    return run()


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrix", description="Bind XML documents to typed Python models and back.")
    parser.add_argument("--version", action="version", version=f"kestrix {_kestrix.version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def with_file_and_model(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("file", metavar="FILE", help='XML file, or "-" for standard input')
        sub.add_argument("--model", "-m", required=True, metavar="MODULE:CLASS",
                         help="model class to bind to, e.g. kestrix.demo.models:OrderFeed")

    sub = commands.add_parser("parse", help="bind a document and print it as JSON")
    with_file_and_model(sub)
    sub.set_defaults(run=command_parse)

    sub = commands.add_parser("iter", help="stream matching elements as JSON Lines")
    with_file_and_model(sub)
    sub.add_argument("--tag", help="element name to extract (default: the class name)")
    sub.set_defaults(run=command_iter)

    sub = commands.add_parser("roundtrip", help="bind a document and write it back as XML")
    with_file_and_model(sub)
    sub.add_argument("--indent", type=int, default=None, metavar="N",
                     help="indent nested elements by N spaces")
    sub.set_defaults(run=command_roundtrip)

    sub = commands.add_parser("demo", help="a tour of kestrix on a bundled sample")
    sub.set_defaults(run=command_demo)

    from .generate.command import add_command as add_generate

    add_generate(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_model_warning
            status: int = args.run(args)
    except CliError as exc:
        print_error(str(exc))
        return exc.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    return status
