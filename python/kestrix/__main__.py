"""Command line of kestrix: ``python -m kestrix``."""

from __future__ import annotations

import sys

import kestrix


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["demo"]:
        print(f"kestrix {kestrix.version()}")
        return 0
    print("usage: python -m kestrix demo", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
