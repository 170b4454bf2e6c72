"""The package's signed entry points: options that narrow trust take effect or are refused, and
a manifest planted where a regular file should be is refused unread."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from tamrel_manifest import generate_key, open_verified, sign_manifest, verify_signed_manifest
from test_cli import bundle

HANG = 60  # bounds a hang; measures nothing


@pytest.fixture(scope="module")
def signed(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("signed")
    manifest = bundle(root)
    generate_key(root / "k")
    sign_manifest(manifest, root / "k")
    return manifest


def opened(manifest: Path, **options: Any) -> None:
    with open_verified(manifest, **options):
        pass


@pytest.mark.parametrize("options, message", [
    ({"threshold": 2}, "threshold needs trusted_keys"),
    ({"threshold": 1}, "threshold needs trusted_keys"),
    ({"signatures": ["m.json.sig"]}, "signatures needs trusted_keys"),
    ({"signatures": "m.json.sig", "max_signature_bytes": 10},
     "signatures and max_signature_bytes need trusted_keys"),
])
def test_signature_options_without_keys_do_not_fall_back_to_unsigned(
        signed: Path, options: dict[str, Any], message: str) -> None:
    with pytest.raises(TypeError, match=message):
        opened(signed, **options)


@pytest.mark.parametrize("threshold, error", [
    (True, TypeError), (1.0, TypeError), ("2", TypeError), (0, ValueError), (-1, ValueError),
])
def test_a_threshold_that_is_no_count_is_refused(signed: Path, threshold: Any,
                                                 error: type[Exception]) -> None:
    with pytest.raises(error, match="threshold must be"):
        opened(signed, trusted_keys=f"{signed.parent / 'k'}.pub", threshold=threshold)


def _no_writer(path: Path) -> int | None:
    return None


def _silent_writer(path: Path) -> int | None:
    return os.open(path, os.O_RDWR)  # held open, never written


CALLS: dict[str, Callable[[Path, Path], Any]] = {
    "open_verified": lambda m, keys: opened(m),
    "open_verified signed": lambda m, keys: opened(m, trusted_keys=f"{keys}.pub"),
    "verify_signed_manifest": lambda m, keys: verify_signed_manifest(m, f"{keys}.pub"),
    "sign_manifest": lambda m, keys: sign_manifest(m, keys),
}


@pytest.mark.parametrize("planter", [_no_writer, _silent_writer])
@pytest.mark.parametrize("call", list(CALLS))
def test_a_planted_fifo_manifest_is_refused_unread(tmp_path: Path, signed: Path, call: str,
                                                   planter: Callable[[Path], int | None]) -> None:
    fifo = tmp_path / "m.json"
    os.mkfifo(fifo)
    held = planter(fifo)
    outcome: list[BaseException | None] = []

    def attempt() -> None:
        try:
            CALLS[call](fifo, signed.parent / "k")
            outcome.append(None)
        except BaseException as exc:  # handed back to the test
            outcome.append(exc)

    worker = threading.Thread(target=attempt, daemon=True)
    worker.start()
    worker.join(HANG)
    if held is not None:
        os.close(held)  # a reader still waiting now sees the end of the file
    assert outcome, f"{call} waited on the FIFO"
    assert isinstance(outcome[0], OSError) and "not a regular file but a FIFO" in str(outcome[0])


def test_a_missing_manifest_is_an_error_not_a_missing_signature(signed: Path) -> None:
    # Gone is unreadable, as verify_manifest says, not a signature refused in a report.
    with pytest.raises(OSError, match="No such file or directory"):
        verify_signed_manifest(signed.parent / "none.json", f"{signed.parent / 'k'}.pub")
