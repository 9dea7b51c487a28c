"""Entry point of `python -m velmora` and of the `velmora` console script (see velmora.cli)."""

import sys

from velmora.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
