"""The type stubs give precise types: a typed example passes mypy --strict."""

import os
import subprocess
import sys

import pytest

mypy = pytest.importorskip("mypy", reason="mypy is installed only in the main environment")

EXAMPLE = os.path.join(os.path.dirname(__file__), "typing_example.py")


def mypy_strict(path, cache):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                           str(cache), str(path)], capture_output=True, text=True)


def test_typed_example_passes_mypy_strict(tmp_path):
    result = mypy_strict(EXAMPLE, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_types_are_reported(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        "import kestrix\n"
        "class A: ...\n"
        "a: A = kestrix.deserialize('text', A)\n"   # str is not bytes
        "n: int = kestrix.deserialize(b'', A)\n"    # returns A, not int
    )
    result = mypy_strict(bad, tmp_path / "cache")
    assert result.returncode == 1
    assert "bad.py:3" in result.stdout and "bad.py:4" in result.stdout
