"""``python -m kestrix``: the command line (see kestrix.cli)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
