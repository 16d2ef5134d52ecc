"""The module surface: version, argument errors and their notes, documentation."""

import doctest
import pydoc
from importlib import metadata

import pytest

import kestrix
from kestrix import _kestrix


class Plain:
    pass


def test_version_build_and_panic_exception():
    # The extension and the installed package metadata carry the same version.
    assert _kestrix.version() == "0.7.0" == kestrix.__version__ == metadata.version("kestrix")
    assert _kestrix.__file__.endswith("_kestrix.abi3.so")
    # Not an Exception: `except Exception` must not swallow an internal failure.
    assert issubclass(kestrix.PanicException, BaseException)
    assert not issubclass(kestrix.PanicException, Exception)
    with pytest.raises(TypeError):
        _kestrix.XmlIterator()


@pytest.mark.parametrize("call, message, note", [
    (lambda k: k.deserialize(b"<a/>"), "deserialize() missing 1 required positional argument: 'target_type'", None),
    (lambda k: k.deserialize(),
     "deserialize() missing 2 required positional arguments: 'source' and 'target_type'", None),
    (lambda k: k.deserialize(target_type=Plain), "deserialize() missing 1 required positional argument: 'source'",
     None),
    (lambda k: k.deserialize(b"", Plain, 3), "deserialize() takes 2 positional arguments but 3 were given", None),
    (lambda k: k.iterparse(b"", Plain, None, 4),
     "iterparse() takes from 2 to 3 positional arguments but 4 were given", None),
    (lambda k: k.serialize(1, 2, 3), "serialize() takes from 1 to 2 positional arguments but 3 were given", None),
    (lambda k: k.serialize(), "serialize() missing 1 required positional argument: 'obj'", None),
    (lambda k: k.deserialize(b"", Plain, source=b""), "deserialize() got multiple values for argument 'source'",
     None),
    (lambda k: k.serialize(1, indent=None, obj=2), "serialize() got multiple values for argument 'obj'", None),
    (lambda k: k.deserialize(b"", Plain, bogus=1), "deserialize() got an unexpected keyword argument 'bogus'", None),
    (lambda k: k.iterparse(source=b"", target_type=Plain, tags="x"),
     "iterparse() got an unexpected keyword argument 'tags'", None),
    # type checks name the argument in a note (on 3.10 too, as __notes__)
    (lambda k: k.deserialize("<a/>", Plain), "'str' object is not an instance of 'bytes'", "source"),
    (lambda k: k.deserialize(bytearray(b"<a/>"), Plain), "'bytearray' object is not an instance of 'bytes'",
     "source"),
    (lambda k: k.deserialize(b"<a/>", Plain()), "'Plain' object is not an instance of 'type'", "target_type"),
    (lambda k: k.iterparse("<a/>", Plain), "'str' object is not an instance of 'bytes'", "source"),
    (lambda k: k.iterparse(b"<a/>", 5), "'int' object is not an instance of 'type'", "target_type"),
    (lambda k: k.iterparse(b"<a/>", Plain, tag=b"a"), "'bytes' object is not an instance of 'str'", "tag"),
    (lambda k: k.deserialize(b"<a/>", Plain, strict=1), "argument 'strict' must be a bool, not int", None),
])
@pytest.mark.parametrize("entry_points", [_kestrix, kestrix], ids=["_kestrix", "kestrix"])
def test_argument_errors(entry_points, call, message, note):
    with pytest.raises(TypeError) as info:
        call(entry_points)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


# Plain is no model class, which a warning says
@pytest.mark.filterwarnings("ignore::kestrix.ModelWarning")
def test_keyword_call_with_a_bytes_subclass():
    Bytes = type("Bytes", (bytes,), {})
    assert type(_kestrix.deserialize(target_type=Plain, source=Bytes(b"<Plain/>"))) is Plain


@pytest.mark.parametrize("indent, error, message", [
    ("2", TypeError, "argument 'indent': 'str' object cannot be interpreted as an integer"),
    (2.0, TypeError, "argument 'indent': 'float' object cannot be interpreted as an integer"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (1025, ValueError, "indent must be at most 1024, got 1025"),
])
def test_indent_errors(indent, error, message):
    with pytest.raises(error) as info:
        _kestrix.serialize(Plain(), indent=indent)
    assert message is None or str(info.value) == message


PUBLIC_FUNCTIONS = sorted(
    name for name in kestrix.__all__ if callable(getattr(kestrix, name))
    and not isinstance(getattr(kestrix, name), type)
)


@pytest.mark.parametrize("name", PUBLIC_FUNCTIONS)
def test_help_shows_signature_sections_and_an_example_that_runs(name):
    function = getattr(kestrix, name)
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert f"{name}(*args, **kwargs)" not in text  # the real parameters are shown
    assert "Returns:" in text and "Raises:" in text and "Example:" in text
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in doctest.DocTestFinder(recurse=False).find(function, name, globs={"kestrix": kestrix}):
        runner.run(test)
    assert runner.tries and not runner.failures
