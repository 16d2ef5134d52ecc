"""Load the installed abi3 extension under every CPython 3.10+ found here.

The extension is built once against the stable ABI; this proves that the same
file imports and answers under each interpreter, not only the one that built it.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import tempfile

import kestrix._kestrix as ext

PROBE = (
    "import sys; sys.path.insert(0, sys.argv[1]); import kestrix._kestrix as m; "
    "assert m.__file__.endswith('_kestrix.abi3.so'), m.__file__; "
    "assert m.version() == '0.7.0'; print(sys.version.split()[0], m.version())"
)


def interpreters() -> list[str]:
    found: dict[str, str] = {}
    candidates = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
    candidates += [p for v in range(10, 16) if (p := shutil.which(f"python3.{v}"))]
    candidates.append(sys.executable)
    for exe in candidates:
        try:
            out = subprocess.run(
                [exe, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                capture_output=True, text=True, timeout=30, check=True,
            ).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            continue
        major, minor = (int(x) for x in out.split("."))
        if (major, minor) >= (3, 10):
            found.setdefault(out, exe)
    return [found[k] for k in sorted(found, key=lambda v: tuple(map(int, v.split("."))))]


def main() -> int:
    assert ext.__file__.endswith("_kestrix.abi3.so"), ext.__file__
    package_dir = os.path.dirname(ext.__file__)
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copytree(package_dir, os.path.join(tmp, "kestrix"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        failures = 0
        exes = interpreters()
        for exe in exes:
            result = subprocess.run([exe, "-c", PROBE, tmp], capture_output=True, text=True)
            status = "ok" if result.returncode == 0 else "FAILED"
            print(f"abi3 check {status}: {exe}: {result.stdout.strip() or result.stderr.strip()}")
            failures += result.returncode != 0
    print(f"{len(exes) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
