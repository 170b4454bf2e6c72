"""The tool with signatures, run as a shell runs it: the trust options of verify and load-plan,
signed output in the shape of unsigned output, and manifests planted where a file should be."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from tamrel_manifest import cli, generate_key, sign_manifest, signing
from tamrel_manifest import verified
from test_cli import bundle, cli_env

# A verifier must answer a planted file at once; this only bounds a hang, it measures nothing.
HANG = 60

SOURCE = "--trusted-key or --trust-root"
KEYS_PLEASE = "without a trust source no signature is checked"
PLAIN_FILES = ("; a manifest is read from a regular file, or from /dev/stdin or /dev/fd/N named"
               " as such")


def _signed(root: Path) -> None:
    generate_key(root / "k")
    sign_manifest(root / "m.json", root / "k")


def _fifo(root: Path) -> None:
    _signed(root)
    os.mkfifo(root / "fifo.json")


def _fifo_with_silent_writer(root: Path) -> int:
    # The planter holds the FIFO open for writing and never writes: an open for reading returns
    # at once, and only a read would wait.
    _fifo(root)
    return os.open(root / "fifo.json", os.O_RDWR)


def _sig_fifo_with_silent_writer(root: Path) -> int:
    _signed(root)
    (root / "m.json.sig").unlink()
    os.mkfifo(root / "m.json.sig")
    return os.open(root / "m.json.sig", os.O_RDWR)


def _sig_from_another_key(root: Path) -> None:
    _signed(root)
    generate_key(root / "other")


# (shell command, set-up, exit status, stream, a line that must appear there). {tool} runs the
# tool, {py} the interpreter, {m} is a valid manifest in {root}; k.pub trusts its signature.
CASES: list[tuple[str, Callable[[Path], Any], int, str, str]] = [
    # Options that narrow trust never fall back to an unsigned verification.
    ("{tool} verify {m} --threshold 2", _signed, 2, "err",
     f"tamrel-manifest: error: --threshold needs {SOURCE}: {KEYS_PLEASE}"),
    ("{tool} verify {m} --signature {m}.sig", _signed, 2, "err",
     f"tamrel-manifest: error: --signature needs {SOURCE}: {KEYS_PLEASE}"),
    ("{tool} verify {m} --max-signature-bytes 100", _signed, 2, "err",
     f"tamrel-manifest: error: --max-signature-bytes needs {SOURCE}: {KEYS_PLEASE}"),
    ("{tool} load-plan {m} --signature {m}.sig --threshold 1", _signed, 2, "err",
     f"tamrel-manifest: error: --signature and --threshold need {SOURCE}: {KEYS_PLEASE}"),
    ("{tool} verify {m} --trusted-key {root}/k.pub --threshold -1", _signed, 2, "err",
     "tamrel-manifest verify: error: argument --threshold: must not be negative: -1"),
    ("{tool} verify {m} --trusted-key {root}/k.pub --threshold 0", _signed, 2, "err",
     "tamrel-manifest verify: error: argument --threshold: must be at least 1"),
    ("{tool} verify {m} --trusted-key {root}/k.pub --max-signature-bytes 1KiB", _signed, 1, "out",
     "signature_file_too_large: signature file exceeds 1024 bytes while reading {m}.sig"),
    # Signed output has the shape of unsigned output.
    ("{tool} verify {m} {m} -j 2 --json --trusted-key {root}/k.pub | {py} -c 'import json, sys;"
     " print([sorted(json.loads(line)) for line in sys.stdin])'", _signed, 0, "out",
     "[['manifest', 'report'], ['manifest', 'report']]"),
    ("{tool} verify {m} {root}/none.json --trusted-key {root}/k.pub", _signed, 2, "out",
     "2 manifests: 1 verified, 0 with issues, 1 unreadable"),
    ("{tool} verify {root}/none.json --trusted-key {root}/k.pub", _signed, 2, "err",
     "tamrel-manifest: error: {root}/none.json: No such file or directory"),
    # load-plan checks signatures as verify does.
    ("{tool} load-plan {m} --trusted-key {root}/k.pub", _signed, 0, "out",
     "OK: {m} verified, signatures checked; load plan follows"),
    ("{tool} load-plan {m} --trusted-key {root}/other.pub", _sig_from_another_key, 1, "out",
     "FAILED: {m}: no load plan: manifest verification failed: signature_untrusted_key"),
    ("{tool} load-plan {m} --trusted-key {root}/k.pub --json | {py} -c 'import json, sys;"
     " print(sorted(json.load(sys.stdin)))'", _signed, 0, "out",
     "['artifact_path', 'auxiliary_artifacts', 'manifest_path', 'metadata', 'report',"
     " 'row_identity']"),
    # An unsigned verification says what it left unchecked.
    ("{tool} verify {m}", _signed, 0, "out",
     "note: signature {m}.sig was not checked (--trusted-key checks it)"),
    ("{tool} verify {m} {m}", _signed, 0, "out",
     "  note: signature {m}.sig was not checked (--trusted-key checks it)"),
    ("{tool} verify {m}", _sig_fifo_with_silent_writer, 0, "out",  # named, never opened
     "note: signature {m}.sig was not checked (--trusted-key checks it)"),
    ("{tool} verify {m} --json | {py} -c 'import json, sys;"
     " print(json.load(sys.stdin)[\"signature_not_checked\"])'", _signed, 0, "out", "{m}.sig"),
    # A manifest planted as a FIFO is refused unread, whoever holds its other end.
    ("{tool} verify {root}/fifo.json", _fifo, 2, "err",
     "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} verify {root}/fifo.json {m}", _fifo_with_silent_writer, 2, "out",
     "ERROR: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} load-plan {root}/fifo.json", _fifo_with_silent_writer, 2, "err",
     "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} inspect {root}/fifo.json", _fifo_with_silent_writer, 2, "err",
     "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} sign {root}/fifo.json --key {root}/k", _fifo_with_silent_writer, 2, "err",
     "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} verify {root}/fifo.json --trusted-key {root}/k.pub", _fifo_with_silent_writer, 2,
     "err", "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO"
     + PLAIN_FILES),
    ("{tool} load-plan {root}/fifo.json --trusted-key {root}/k.pub", _fifo, 2, "err",
     "tamrel-manifest: error: {root}/fifo.json: not a regular file but a FIFO" + PLAIN_FILES),
    ("{tool} verify {root}", _signed, 2, "err",
     "tamrel-manifest: error: {root}: not a regular file but a directory" + PLAIN_FILES),
    # ... while a descriptor the caller hands over is read as it is.
    ("cat {m} | {tool} inspect /dev/stdin", _signed, 0, "out",
     "OK: /dev/stdin decoded (tamrel.index_manifest.v1)"),
    ("{tool} inspect /dev/fd/3 3< {m}", _signed, 0, "out",
     "OK: /dev/fd/3 decoded (tamrel.index_manifest.v1)"),
]


def run_case(tmp_path: Path, command: str, setup: Callable[[Path], Any]
             ) -> tuple[subprocess.CompletedProcess[str], dict[str, Any]]:
    root = tmp_path.resolve()
    manifest = bundle(root)
    held = setup(root)
    values = {"tool": f"{sys.executable} -m tamrel_manifest", "py": sys.executable,
              "m": manifest, "root": root}
    try:
        result = subprocess.run(command.format(**values), shell=True, capture_output=True,
                                text=True, env=cli_env(), cwd=root.parent, timeout=HANG)
    finally:
        if isinstance(held, int):
            os.close(held)
    return result, values


@pytest.mark.parametrize("command, setup, status, stream, line", CASES,
                         ids=[c[0].replace("{tool} ", "") for c in CASES])
def test_signed_invocations(tmp_path: Path, command: str, setup: Callable[[Path], Any],
                            status: int, stream: str, line: str) -> None:
    result, values = run_case(tmp_path, command, setup)
    text = result.stdout if stream == "out" else result.stderr
    assert result.returncode == status, (result.stdout, result.stderr)
    assert line.format(**values) in text.splitlines(), text


def test_a_fifo_planted_as_the_signature_does_not_hang_verify(tmp_path: Path) -> None:
    result, _ = run_case(tmp_path, "{tool} verify {m} --trusted-key {root}/k.pub",
                         _sig_fifo_with_silent_writer)
    assert result.returncode == 1 and "signature_file" in result.stdout, result.stdout


# ---- every trust option reaches its keyword ----

# (options after the trusted key k.pub, the keywords they become beside it). --signature s.sig
# is added where a route names none, for verify-signature, which has no default signature.
TRUST_ROUTES = [
    ([], {}),
    (["--signature", "a.sig", "--signature", "b.sig"], {"signatures": ["a.sig", "b.sig"]}),
    (["--trusted-key", "k2.pub", "--threshold", "2"],
     {"trusted_keys": ["k.pub", "k2.pub"], "threshold": 2}),
    (["--max-signature-bytes", "2KiB"], {"max_signature_bytes": 2048}),
    (["--trust-root", "ca.pem", "--trust-root", "ca2.pem"], {"trust_roots": ["ca.pem", "ca2.pem"]}),
    (["--trust-root", "ca.pem", "--threshold", "2"], {"trust_roots": ["ca.pem"], "threshold": 2}),
    (["--trust-root", "ca.pem", "--certificate-identity", "ci@example.com"],
     {"trust_roots": ["ca.pem"], "certificate_identity": "ci@example.com"}),
    (["--trust-root", "ca.pem", "--certificate-identity-regexp", ".*@example[.]com"],
     {"trust_roots": ["ca.pem"], "certificate_identity_regexp": ".*@example[.]com"}),
]
TRUST_KEYWORDS = ("trusted_keys", "signatures", "threshold", "max_signature_bytes", "trust_roots",
                  "certificate_identity", "certificate_identity_regexp")


@pytest.fixture
def recorded(monkeypatch: pytest.MonkeyPatch) -> list[dict[str, Any]]:
    """The calls of the signed verification, of the signed load plan and of the signature check
    alone, arguments only."""
    calls: list[dict[str, Any]] = []

    def verify(manifest: str, **kwargs: Any) -> dict[str, Any]:
        calls.append({"manifest": manifest, **kwargs})
        return {"ok": True, "signature": {"signatures": [], "unpinned_resources": []}}

    class Files:
        plan: dict[str, Any] = {}

    def open_verified(manifest: str, **kwargs: Any) -> Iterator[Files]:
        calls.append({"manifest": manifest, **kwargs})
        yield Files()

    def verify_signature(path: str, signatures: list[str], **kwargs: Any) -> dict[str, Any]:
        calls.append({"manifest": path, "signatures": signatures, **kwargs})
        return {"ok": True, "signatures": []}

    monkeypatch.setattr(signing, "verify_signed_manifest", verify)
    monkeypatch.setattr(signing, "verify_signature", verify_signature)
    monkeypatch.setattr(verified, "open_verified",
                        contextlib.contextmanager(open_verified))
    return calls


@pytest.mark.parametrize("command", ["verify", "load-plan"])
def test_the_state_options_reach_their_keywords(recorded: list[dict[str, Any]], command: str
                                                ) -> None:
    argv = [command, "m.json", "--trusted-key", "k.pub", "--state", "s.json", "--series", "x"]
    assert cli.main([*argv, "--json"]) == 0
    [call] = recorded
    assert (call["state"], call["series"]) == ("s.json", "x")


@pytest.mark.parametrize("command", ["verify", "load-plan", "verify-signature"])
@pytest.mark.parametrize("argv, expected", TRUST_ROUTES,
                         ids=[" ".join(r[0]) or "keys alone" for r in TRUST_ROUTES])
def test_every_trust_option_reaches_its_keyword(recorded: list[dict[str, Any]], command: str,
                                                argv: list[str], expected: dict[str, Any]
                                                ) -> None:
    expected = {"trusted_keys": ["k.pub"], **expected}
    if command == "verify-signature" and "--signature" not in argv:
        argv = [*argv, "--signature", "s.sig"]
        expected["signatures"] = ["s.sig"]
    assert cli.main([command, "m.json", "--trusted-key", "k.pub", *argv, "--json"]) == 0
    [call] = recorded
    signature_part = {k: v for k, v in call.items() if k in TRUST_KEYWORDS}
    assert call["manifest"] == "m.json"
    assert signature_part == expected
