"""The README's Python examples run as written."""

import contextlib
import io
import os
import re

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def test_readme_examples_run_and_print_what_it_shows():
    text = open(README, encoding="utf-8").read()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks
    namespace: dict = {"__name__": "readme"}
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        for block in blocks:
            exec(compile(block, README, "exec"), namespace)
    shown = re.search(r"prints\n\n```xml\n(.*?)```", text, re.S).group(1)
    assert output.getvalue() == shown
