"""Install the built wheel into a fresh environment under every CPython 3.10+
on this machine and run the whole Python suite against that installed copy.

For each interpreter: a new virtual environment in a temporary folder outside
the source tree; the wheel from dist/ installed with `pip install --no-index`
(it must need nothing from an index), then only the test requirements; checks
that `kestrix` is imported from that environment, that its extension needs no
shared libexpat (`ldd`) and that the `kestrix` command runs; then pytest, run
from the temporary folder on the repository's tests/python. Python runs
isolated (-I): neither PYTHONPATH nor the current directory can put the source
tree's python/ in front of the installed package.

Usage: python tools/check_wheel.py [DIST_DIR]   (default: dist)
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.join(ROOT, "tests", "python")
REQUIREMENTS = os.path.join(ROOT, "requirements-test.txt")
# Installed without dependencies: see the file.
REQUIREMENTS_SAML = os.path.join(ROOT, "requirements-saml.txt")


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


def check(version: str, exe: str, wheel: str) -> str | None:
    """Runs every check under one interpreter; returns what failed, or None."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    with tempfile.TemporaryDirectory(prefix=f"kestrix-wheel-{version}-") as tmp:
        if os.path.commonpath([os.path.realpath(tmp), ROOT]) == ROOT:
            return f"temporary folder {tmp} lies inside the source tree"
        venv = os.path.join(tmp, "venv")
        python = os.path.join(venv, "bin", "python")
        subprocess.run([exe, "-m", "venv", venv], check=True, env=env)
        pip = [python, "-I", "-m", "pip", "install", "-q", "--disable-pip-version-check"]
        if subprocess.run([*pip, "--no-index", wheel], env=env).returncode:
            return "pip install --no-index of the wheel failed"
        if subprocess.run([*pip, "-r", REQUIREMENTS], env=env).returncode:
            return "installing the test requirements failed"
        if subprocess.run([*pip, "--no-deps", "-r", REQUIREMENTS_SAML], env=env).returncode:
            return "installing the SAML test requirements failed"

        where = subprocess.run(
            [python, "-I", "-c", "import kestrix._kestrix as m; print(m.__file__)"],
            capture_output=True, text=True, cwd=tmp, env=env,
        )
        extension = where.stdout.strip()
        if where.returncode or not extension.startswith(venv + os.sep):
            return f"kestrix was not imported from the new environment: {where.stdout}{where.stderr}"
        ldd = subprocess.run(["ldd", extension], capture_output=True, text=True)
        print(f"ldd {extension}\n{ldd.stdout}", end="", flush=True)
        if ldd.returncode or "libexpat" in ldd.stdout or "not found" in ldd.stdout:
            return "the installed extension needs a shared library it must not (see ldd above)"

        # The console script the wheel's entry points install.
        command = subprocess.run(
            [os.path.join(venv, "bin", "kestrix"), "--version"],
            capture_output=True, text=True, cwd=tmp, env=env,
        )
        wheel_version = os.path.basename(wheel).split("-")[1]
        if command.returncode or wheel_version not in command.stdout:
            return f"the installed kestrix command failed: {command.stdout}{command.stderr}"

        print(f"=== CPython {version}: full test suite against the installed wheel", flush=True)
        suite = subprocess.run(
            [python, "-I", "-m", "pytest", "-q", "-p", "no:cacheprovider", TESTS],
            cwd=tmp, env=env,
        )
        if suite.returncode:
            return f"the test suite failed (exit {suite.returncode})"
    return None


def main() -> int:
    dist = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist"))
    wheels = glob.glob(os.path.join(dist, "kestrix-*.whl"))
    if len(wheels) != 1:
        print(f"expected exactly one kestrix wheel in {dist}, found {wheels}", file=sys.stderr)
        return 1
    pythons = interpreters()
    if not pythons:
        print("no CPython 3.10 or later found", file=sys.stderr)
        return 1
    print(f"checking {os.path.basename(wheels[0])} under CPython {', '.join(pythons)}", flush=True)
    results = {version: check(version, exe, wheels[0]) for version, exe in pythons.items()}
    for version, failure in results.items():
        print(f"CPython {version}: {failure or 'ok'}")
    failed = sum(failure is not None for failure in results.values())
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
