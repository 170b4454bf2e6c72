"""python -m tamrel_manifest: the command-line tool."""

import sys

from tamrel_manifest.cli import main

if __name__ == "__main__":
    sys.exit(main())
