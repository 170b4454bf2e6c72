"""Test set-up: which build of the module the tests import, and shared fixtures."""

import os
import sys

# `make asan` points the tests at the sanitizer build instead of the installed package.
_build = os.environ.get("TAMREL_TEST_BUILD")
if _build:
    sys.path.insert(0, _build)
