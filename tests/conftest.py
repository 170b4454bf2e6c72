"""Test set-up: which build of the module the tests import, and shared fixtures."""

import os
import sys
from pathlib import Path

# A developer or `make asan` can point the tests at a build directory instead of the installed
# package; the pure-Python package then comes from the source tree.
_build = os.environ.get("TAMREL_TEST_BUILD")
if _build:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    sys.path.insert(0, _build)
