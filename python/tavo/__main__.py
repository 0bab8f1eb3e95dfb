"""``python -m tavo``: the command line."""

import sys

from tavo.cli import main

if __name__ == "__main__":
    sys.exit(main())
