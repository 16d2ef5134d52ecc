"""The README's examples run as written."""

import contextlib
import io
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
README = os.path.join(ROOT, "README.md")
TEXT = open(README, encoding="utf-8").read()


def test_readme_examples_run_and_print_what_it_shows():
    blocks = re.findall(r"```python\n(.*?)```", TEXT, re.S)
    assert blocks
    namespace: dict = {"__name__": "readme"}
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        for block in blocks:
            exec(compile(block, README, "exec"), namespace)
    shown = re.search(r"prints\n\n```xml\n(.*?)```", TEXT, re.S).group(1)
    assert output.getvalue() == shown


def command_line_examples():
    """(command, error text or None) for each command of the command-line section."""
    section = TEXT[TEXT.index("## Command line\n"):]
    section = section[:section.index("\n## ")]
    found = re.findall(r"```sh\n(.*?)```\n\n(?:fails and says on standard error:\n\n"
                       r"```text\n(.*?)```)?", section, re.S)
    return [(line, error or None) for block, error in found for line in block.splitlines()]


@pytest.mark.parametrize("command, error", command_line_examples())
def test_readme_command_lines_run(command, error):
    # `kestrix` stands for the command this interpreter would install.
    script = f'kestrix() {{ "{sys.executable}" -m kestrix "$@"; }}\n{command}'
    result = subprocess.run(["bash", "-c", script], cwd=ROOT, capture_output=True, text=True)
    if error is None:
        assert result.returncode == 0 and result.stderr == "", result.stderr
        assert result.stdout
    else:
        assert result.returncode == 1
        assert result.stderr == error
