"""Run the Python test suite on every CPython 3.10+ found on this machine.

The extension is built once, against the stable ABI, by the interpreter of
.venv. This script copies that installed package aside and, for each other
interpreter, creates (once) a virtual environment .venv-X.Y with the test
requirements and runs the whole pytest suite there against the very same
_kestrix.abi3.so.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def interpreters() -> dict[str, str]:
    """Version "3.X" -> an interpreter of it, for every CPython 3.10 or later."""
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3")))
    candidates += [p for v in range(10, 20) if (p := shutil.which(f"python3.{v}"))]
    found: dict[str, str] = {}
    for exe in candidates:
        try:
            out = subprocess.run(
                [exe, "-c", "import sys; print('%d.%d' % sys.version_info[:2], "
                 "sys.implementation.name)"],
                capture_output=True, text=True, timeout=60, check=True,
            ).stdout.split()
        except (OSError, subprocess.SubprocessError):
            continue
        version, implementation = out[0], out[1]
        if implementation == "cpython" and tuple(map(int, version.split("."))) >= (3, 10):
            found.setdefault(version, exe)
    return dict(sorted(found.items(), key=lambda kv: tuple(map(int, kv[0].split(".")))))


def ensure_venv(version: str, exe: str) -> str:
    venv = os.path.join(ROOT, f".venv-{version}")
    python = os.path.join(venv, "bin", "python")
    stamp = os.path.join(venv, ".ready")
    requirements = os.path.join(ROOT, "requirements-test.txt")
    if not os.path.exists(stamp) or os.path.getmtime(stamp) < os.path.getmtime(requirements):
        subprocess.run([exe, "-m", "venv", "--clear", venv], check=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "-r", requirements], check=True)
        open(stamp, "w").close()
    return python


def main() -> int:
    import kestrix._kestrix as ext

    so = ext.__file__
    assert so.endswith("_kestrix.abi3.so"), so
    mine = "%d.%d" % sys.version_info[:2]
    pythons = interpreters()
    results: list[tuple[str, int]] = []
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copytree(os.path.dirname(so), os.path.join(tmp, "kestrix"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        for version, exe in pythons.items():
            if version == mine:
                continue  # the main suite already ran under this interpreter
            python = ensure_venv(version, exe)
            env = dict(os.environ, PYTHONPATH=tmp)
            print(f"=== CPython {version}: full test suite against {so}", flush=True)
            code = subprocess.run(
                [python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                 os.path.join(ROOT, "tests", "python")],
                env=env, cwd=tmp,
            ).returncode
            results.append((version, code))
    for version, code in results:
        print(f"CPython {version}: {'ok' if code == 0 else f'FAILED (exit {code})'}")
    failed = sum(code != 0 for _, code in results)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
