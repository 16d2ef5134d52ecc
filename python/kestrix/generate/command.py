"""The `kestrix generate` subcommand: schema files in, a module of model classes out."""

from __future__ import annotations

import argparse
import sys

HELP = """\
Generate model classes from XML Schema files (and all they include, import or
redefine, found next to them or through --catalog; nothing is fetched from the
network). OUTPUT ending in .py is the module written; otherwise it is a folder
in which the package --package (default: models) is written, one module per
target namespace and an __init__ that re-exports every class. Constructs that
are not mapped yet are listed on standard error as FILE:LINE: construct:
what was done instead; generation goes on.
"""


def add_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    sub = commands.add_parser("generate", help="generate model classes from XML Schema files",
                              description=HELP)
    sub.add_argument("schemas", nargs="+", metavar="SCHEMA.xsd", help="schema files to generate models for")
    sub.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                     help="the module (a .py file) or the folder of the package to write")
    sub.add_argument("--package", metavar="NAME", help="package name inside an OUTPUT folder (default: models)")
    sub.add_argument("--style", choices=("dataclasses", "pydantic"), default="dataclasses",
                     help="dataclasses (default) or pydantic models")
    sub.add_argument("--catalog", metavar="FILE",
                     help="maps namespaces or schema locations to local files, one 'KEY PATH' a line"
                          " (or an XML catalog of <uri> and <system> entries)")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from . import GenerateError, generate

    try:
        result = generate(args.schemas, args.output, package=args.package, style=args.style,
                          catalog=args.catalog)
    except (GenerateError, ValueError) as exc:
        print(f"kestrix: {exc}", file=sys.stderr)
        return 1
    for report in result.reports:
        print(report, file=sys.stderr)
    print(f"wrote {result.path}", file=sys.stderr)
    return 0
