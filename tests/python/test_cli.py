"""The command line, run as a subprocess on real files."""

import io
import json
import os
import subprocess
import sys
import types
from importlib import resources

import pytest

from kestrix import cli, deserialize
from kestrix.demo.models import OrderFeed

MODEL = "kestrix.demo.models:OrderFeed"
ORDER = "kestrix.demo.models:Order"
SAMPLE = resources.files("kestrix.demo").joinpath("orders.xml").read_bytes()


def kestrix(*args, stdin=None, cwd=None, **env):
    return subprocess.run(
        [sys.executable, "-m", "kestrix", *args], input=stdin, capture_output=True, cwd=cwd,
        env=dict(os.environ, PYTHONIOENCODING="utf-8", **env),
    )


def test_parse_prints_json():
    result = kestrix("parse", "-", "--model", MODEL, stdin=SAMPLE)
    assert (result.returncode, result.stderr) == (0, b"")
    feed = json.loads(result.stdout)
    assert feed["source"] == "shop.example"
    first = feed["orders"][0]
    assert first["id"] == 1001 and first["status"] == "shipped"
    assert first["total"] == "138.90"  # Decimal keeps its digits
    assert first["customer"]["vip"] is True
    assert [line["quantity"] for line in first["lines"]] == [1, 2]


@pytest.mark.parametrize("indent", [[], ["--indent", "2"]])
def test_roundtrip_writes_xml_that_binds_again(indent):
    result = kestrix("roundtrip", "-", "--model", MODEL, *indent, stdin=SAMPLE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b'<OrderFeed source="shop.example">')
    assert (b"\n  <Order" in result.stdout) == bool(indent)
    assert deserialize(result.stdout, OrderFeed) == deserialize(SAMPLE, OrderFeed)


@pytest.mark.parametrize("content, model, status, message", [
    (SAMPLE, "no_such_module_xyz:Model", 2, "cannot import model module 'no_such_module_xyz': No module "
     "named 'no_such_module_xyz' (modules are looked up in the current directory, "),
    (SAMPLE, "kestrix.demo.models:Missing", 2, "has no attribute 'Missing'"),
    (SAMPLE, "kestrix.demo.models", 2, "must look like package.module:Class"),
    (SAMPLE, "kestrix.demo.models:Status", 2, "names an enum (Status), not a model class"),
    (SAMPLE, "kestrix.demo:run", 2, "names a function (run), not a model class"),
    (SAMPLE, "kestrix/demo/models.py:Order", 2, "not a file path ('kestrix/demo/models.py:Order'): "
     "use --model kestrix.demo.models:Order"),
    (SAMPLE, "/nowhere/models.py:Order", 2, "add /nowhere to PYTHONPATH and use --model models:Order"),
    (SAMPLE, "kestrix.cli:CliError", 2, "names a class without dataclass fields or model_fields"),
    # the reader reports the mismatch at the end tag's name, line 3 column 7
    (b'<OrderFeed>\n  <Order id="1">\n    </wrong>\n</OrderFeed>\n', MODEL, 1,
     "{path}:3:7: XML reader error at position "),
    (None, MODEL, 1, "{path}"),  # no such file
])
def test_bad_model_paths_and_unreadable_files(tmp_path, content, model, status, message):
    path = tmp_path / "doc.xml"
    if content is not None:
        path.write_bytes(content)
    result = kestrix("parse", str(path), "--model", model)
    assert result.returncode == status
    assert message.format(path=path) in result.stderr.decode()


@pytest.mark.parametrize("document, tag, message", [
    (b"<a><b/><c><b/></c></a>", None, "no <Order> element found; "
     "elements near the top of the document: <a>, <b>, <c>\n"),
    (b'<a><Order id="1" status="pending"/></a>', "{urn:x}Order",
     "no <{urn:x}Order> element found; elements near the top of the document: <a>, <Order>\n"),
])
def test_iter_without_records_says_what_it_saw(document, tag, message):
    args = ["iter", "-", "--model", ORDER] + (["--tag", tag] if tag else [])
    result = kestrix(*args, stdin=document)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode().startswith("kestrix: <stdin>: " + message)


def test_demo_runs_to_the_end():
    result = kestrix("demo")
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "Scalar parse error for field 'quantity'" in out
    assert "ElementTree" in out


class CountedInput(io.RawIOBase):
    """Standard input that records the size of each read: a pipe."""

    def __init__(self, data):
        self.data, self.at, self.sizes = data, 0, []

    def readable(self):
        return True

    def read(self, size=-1):
        self.sizes.append(size)
        end = len(self.data) if size < 0 else self.at + size
        piece, self.at = self.data[self.at:end], min(end, len(self.data))
        return piece


def run_iter(monkeypatch, capsys, data, tag="rec"):
    stdin = CountedInput(data)
    monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=stdin))
    status = cli.main(["iter", "-", "--model", ORDER, "--tag", tag])
    out, err = capsys.readouterr()
    return status, [json.loads(line) for line in out.splitlines()], err, stdin.sizes


def test_iter_streams_its_input_in_chunks(monkeypatch, capsys):
    count = 40_000  # about 1.5 MB
    data = b"<feed>" + b'<rec id="7" status="pending"><placed>today</placed></rec>' * count
    status, records, err, sizes = run_iter(monkeypatch, capsys, data + b"</feed>")
    assert (status, len(records), err) == (0, count, "")
    assert len(sizes) > 4 and 0 < max(sizes) <= 256 * 1024  # never the whole input at once


# A document held whole is read as UTF-8 whatever it declares, unless its bytes are not
# UTF-8: `iter` keeps that rule while streaming.
@pytest.mark.parametrize("placed, text", [("\u00e9t\u00e9".encode(), "\u00e9t\u00e9"),
                                          (b"\xe9t\xe9", "\u00e9t\u00e9")],
                         ids=["mislabelled UTF-8", "Latin-1"])
def test_iter_decodes_a_declared_encoding_as_before(monkeypatch, capsys, placed, text):
    data = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<feed>'
            + b'<rec id="1" status="pending"><placed>%s</placed></rec>' % placed * 3 + b"</feed>")
    status, records, err, _ = run_iter(monkeypatch, capsys, data)
    assert (status, err) == (0, "")
    assert [record["placed"] for record in records] == [text] * 3


def test_iter_reports_an_encoding_it_cannot_read_once(monkeypatch, capsys):
    data = b'<?xml version="1.0" encoding="Shift_JIS"?><feed><rec id="1" status="\x82\xa0"/></feed>'
    status, records, err, _ = run_iter(monkeypatch, capsys, data)
    assert (status, records) == (1, [])
    assert err == ("kestrix: <stdin>: ValueError: cannot read the encoding 'Shift_JIS' declared"
                   " by the document: kestrix reads UTF-8, UTF-16 and the single-byte encodings"
                   " that extend ASCII (after record 0)\nkestrix: <stdin>: 0 records, 1 failed\n")


MODELS_PY = """
from dataclasses import dataclass, field

import kestrix


@dataclass
class Feed:
    source: str = field(default="", metadata={"type": "Attribute"})


@kestrix.xml_element("feed")
@dataclass
class Declared:
    source: str = field(default="", metadata={"type": "Attribute"})


@dataclass
class Line:
    sku: str = field(metadata={"type": "Attribute"})
    quantity: int = field(metadata={"name": "qty"})


@dataclass
class Media:
    mime_type: str = field(default="", metadata={"name": "MimeType"})
"""


# the command, the model in models.py, the document, the exit status, the records printed, stderr
@pytest.mark.parametrize("command, model, document, status, printed, stderr", [
    # a root other than the model's is bound, and parse says so
    ("parse", "Feed", b'<Invoice source="x"/>', 0, [{"source": "x"}],
     "kestrix: note: the document's root is <Invoice>, the model is Feed\n"),
    ("parse", "Feed", b'<?xml version="1.0"?><!-- c --><inv:Feed xmlns:inv="urn:i" source="x"/>', 0,
     [{"source": "x"}], ""),
    ("parse", "Declared", b'<feed source="x"/>', 0, [{"source": "x"}], ""),
    # a model's error: its place first, its notes under it, every line prefixed
    ("parse", "Line", b'<Line sku="A">\n  <qyt>2</qyt></Line>', 1, [],
     "kestrix: {path}:1:1: TypeError: Line.__init__() missing 1 required positional argument:"
     " 'quantity' (start tag of <Line>)\n"
     "kestrix:   required field 'quantity' of Line: no element <qty> was found; <Line> has"
     " attributes sku and child elements <qyt>\n"),
    # off a terminal, a failed record still ends with the summary; the other records are printed
    ("iter", "Line", b'<f>\n<Line sku="A"><qty>1</qty></Line>\n<Line sku="B"><qty>x</qty></Line>\n'
             b'<Line sku="C"><qty>3</qty></Line></f>', 1,
     [{"sku": "A", "quantity": 1}, {"sku": "C", "quantity": 3}],
     "kestrix: {path}:3:21: Scalar parse error for field 'quantity': expected integer,"
     " got 'x' (after record 1)\nkestrix: {path}: 2 records, 1 failed\n"),
    # what the API warns about, the command line says in its own words
    ("parse", "Media", b"<Media><mime-type>a/b</mime-type></Media>", 0, [{"mime_type": ""}],
     "kestrix: warning: the document element <Media> filled no field of Media, though it has"
     " child elements <mime-type>; Media reads <MimeType> (did you mean 'mime-type' for"
     " 'MimeType'? set the field's metadata \"name\")\n"),
])
def test_models_in_the_current_directory_and_what_stderr_says(tmp_path, command, model, document,
                                                               status, printed, stderr):
    # The model module sits in the current directory, which must be importable
    # even where Python itself does not put it on the path.
    (tmp_path / "models.py").write_text(MODELS_PY)
    path = tmp_path / "doc.xml"
    path.write_bytes(document)
    result = kestrix(command, str(path), "--model", f"models:{model}", cwd=tmp_path, PYTHONSAFEPATH="1")
    assert (result.returncode, result.stderr.decode()) == (status, stderr.format(path=path))
    out = result.stdout.decode()
    lines = out.splitlines() if command == "iter" else [out] if out else []
    assert [json.loads(line) for line in lines] == printed


@pytest.mark.parametrize("records, consumed, size, text", [
    (5000, 0, None, "5000 records"),
    (5000, 1 << 20, 4 << 20, "5000 records (25%)"),
    (10000, 5 << 20, 4 << 20, "10000 records (100%)"),  # read ahead of the records shown
])
def test_progress_shows_a_share_when_the_size_is_known(records, consumed, size, text):
    source = types.SimpleNamespace(size=size, consumed=consumed)
    assert cli.progress_text(records, source) == text
