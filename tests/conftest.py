"""Test set-up: which build of the module the tests import, and shared fixtures."""

import os
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# A developer or `make asan` can point the tests at a build directory instead of the installed
# package; the pure-Python package then comes from the source tree.
_build = os.environ.get("TAMREL_TEST_BUILD")
if _build:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    sys.path.insert(0, _build)


# Where the model-signing tool is installed to be tested against (`make test`), a test of it
# that skips proves nothing and must not pass for one that ran: the skip becomes a failure.
# Runs that hide the system's libssl from it (the installed wheel, the aarch64 tree) skip.
_INTEROP_REQUIRED = os.environ.get("TAMREL_REQUIRE_INTEROP") == "1"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    if (_INTEROP_REQUIRED and report.skipped and not hasattr(report, "wasxfail")
            and item.get_closest_marker("interop") is not None):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr
        report.outcome = "failed"
        report.longrepr = (f"skipped, but TAMREL_REQUIRE_INTEROP=1 requires the model-signing"
                           f" tool to run here: {reason}")
