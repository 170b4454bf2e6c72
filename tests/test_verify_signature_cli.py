"""The tool's trust options and verify-signature, run as a shell runs them: the model-signing
tool's own signed folders (copied) verify and are refused after a changed byte, with another
CA, another identity or another key; certificate chains signed here verify with --trust-root;
and each trust option without what it narrows is a usage error."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import tamrel_manifest
from tamrel_manifest import generate_key, sign_manifest
from tamrel_manifest.cli import keys
from test_cli import bundle, cli_env
from test_signing import openssl_runs
from test_signing_certificates import IDENTITY, make_ca, make_leaf
from test_verify_signature import KEYS, needs_testdata, sha256, sign_statement, tool_folder

HANG = 60  # bounds a hang; measures nothing
openssl = pytest.mark.skipif(not openssl_runs(), reason="the openssl program cannot run here")


def shell(command: str, cwd: Path, **values: Any) -> subprocess.CompletedProcess[str]:
    values["tool"] = f"{sys.executable} -m tamrel_manifest"
    return subprocess.run(command.format(**values), shell=True, capture_output=True, text=True,
                          env=cli_env(), cwd=cwd, timeout=HANG)


def _changed_byte(d: Path) -> None:
    data = (d / "signme-1").read_bytes()
    (d / "signme-1").write_bytes(data[:-1] + bytes([data[-1] ^ 1]))


def _other_ca(d: Path) -> None:
    make_ca(d.parent / "other", "other-ca")


def _other_key(d: Path) -> None:
    generate_key(d.parent / "other.key")


def _fifo(d: Path) -> None:
    shutil.rmtree(d)
    os.mkfifo(d)


def _nothing(d: Path) -> None:
    pass


KEY = "--signature {d}/model.sig --trusted-key {keys}/signing-key-pub.pem --ignore-path ignore-me"
CA = "--signature {d}/model.sig --trust-root {keys}/ca-cert.pem --ignore-path ignore-me"
KEY_ID = "c1e49d63327f85c7e2971aefd30b5a0d1c6b9b5e1a892e7f5fba995adace816d"

# (folder, options, what is done to the copy first, exit status, stream, a line there). {d} is
# the copied folder, {keys} the tool's keys, {root} the directory the copy is in.
RUNS: list[tuple[str, str, Callable[[Path], Any], int, str, str]] = [
    ("v1.0.1-elliptic-key", KEY, _nothing, 0, "out", f"OK: {{d}} verified, signed by {KEY_ID}"),
    ("v1.0.1-elliptic-key", KEY, _nothing, 0, "out",
     f"signature {{d}}/model.sig: key method: ecdsa-p384 key {KEY_ID} (trusted as"
     " {keys}/signing-key-pub.pem)"),
    ("v1.0.1-elliptic-key", KEY, _nothing, 0, "out", "2 signed files checked, 17 bytes"),
    ("v1.0.1-elliptic-key", KEY, _nothing, 0, "out", "ignored: ignore-me, model.sig"),
    ("v1.0.1-elliptic-key", KEY, _changed_byte, 1, "out", "FAILED: {d}: 1 issue"),
    ("v1.0.1-elliptic-key", KEY, _changed_byte, 1, "out",
     "signature {d}/model.sig: key method: ecdsa-p384 key " + KEY_ID
     + " (trusted as {keys}/signing-key-pub.pem)"),  # who signed what changed
    ("v1.0.1-elliptic-key", "--signature {d}/model.sig --trusted-key {root}/other.key.pub"
     " --ignore-path ignore-me", _other_key, 1, "out", "FAILED: {d}: 1 issue"),
    ("v1.0.1-elliptic-key", KEY.replace(" --ignore-path ignore-me", ""), _nothing, 1, "out",
     "FAILED: {d}: 1 issue"),  # the tool's tests ignore that file; here it is named or refused
    ("v1.0.1-elliptic-key", KEY, _fifo, 2, "err",
     'tamrel-manifest: error: cannot read "{d}" to check its signature: neither a regular'
     " file nor a directory"),
    ("v1.0.1-elliptic-key", KEY + " --max-signed-bytes 10", _nothing, 1, "out",
     'signature_tree_too_large: "{d}" holds more than 10 bytes (max_bytes) with "signme-2"; a'
     " signed tree is read under bounds like all untrusted storage: raise the limit if you"
     " trust its size"),
    ("v1.0.1-elliptic-key", KEY + " --max-signed-entries 3", _nothing, 1, "out",
     'signature_tree_too_large: "{d}" holds more than 3 entries (max_entries); a signed tree is'
     " read under bounds like all untrusted storage: raise the limit if you trust its size"),
    ("v1.0.1-elliptic-key", KEY + " --max-signed-depth 0", _nothing, 1, "out",
     'signature_tree_too_large: "{d}" holds directories nested deeper than 0 (max_depth); a'
     " signed tree is read under bounds like all untrusted storage: raise the limit if you"
     " trust its size"),
    ("v1.0.1-certificate", CA, _nothing, 0, "out",
     "OK: {d} verified, signed by CN=intermediate-ca"),
    ("v1.0.1-certificate", CA, _nothing, 0, "out",
     "signature {d}/model.sig: certificate method: CN=intermediate-ca, issued by"
     f" CN=intermediate-ca, chains to CN=root-ca (ecdsa-p384 key {KEY_ID})"),
    ("v1.0.1-certificate", CA, _changed_byte, 1, "out", "FAILED: {d}: 1 issue"),
    ("v1.0.1-certificate", CA.replace("{keys}/ca-cert.pem", "{root}/other/other-ca.pem"),
     _other_ca, 1, "out", "FAILED: {d}: 1 issue"),
    ("v1.0.1-certificate", CA + " --certificate-identity " + IDENTITY, _nothing, 1, "out",
     'signature_certificate_identity_mismatch: the certificate "CN=intermediate-ca" in'
     f' "{{d}}/model.sig" names no e-mail or URI; expected "{IDENTITY}"'),
    ("v1.0.1-certificate", CA + " --certificate-identity-regexp '.*'", _nothing, 1, "out",
     "FAILED: {d}: 1 issue"),
    ("v1.0.1-certificate", CA + " --trusted-key {keys}/signing-key-pub.pem --threshold 2",
     _nothing, 1, "out", "signature_threshold_not_met: distinct trusted signers: 1, the"
     " threshold is 2; add signature files with --signature"),  # one key, raw and certified
    ("v1.0.1-certificate", CA.replace("--signature {d}/model.sig", "--signature {d}/none.sig"),
     _nothing, 1, "out", "FAILED: {d}: 1 issue"),
]
# The refusal each failing run above must give, by its options and set-up.
CODES = {
    _changed_byte: "signature_file_changed", _other_key: "signature_untrusted_key",
    _other_ca: "signature_certificate_untrusted",
}


@needs_testdata
@openssl
@pytest.mark.parametrize("name, options, setup, status, stream, line", RUNS,
                         ids=[f"{r[0]} {r[2].__name__[1:]} {r[1][-40:]}" for r in RUNS])
def test_verify_signature_runs(tmp_path: Path, name: str, options: str,
                               setup: Callable[[Path], Any], status: int, stream: str,
                               line: str) -> None:
    folder = tool_folder(tmp_path, name)
    setup(folder)
    values = {"d": folder, "keys": KEYS, "root": tmp_path}
    result = shell("{tool} verify-signature {d} " + options, tmp_path, **values)
    text = result.stdout if stream == "out" else result.stderr
    assert result.returncode == status, (result.stdout, result.stderr)
    assert line.format(**values) in text.splitlines(), text
    if setup in CODES and status == 1:
        assert f"\n{CODES[setup]}: " in result.stdout, result.stdout


@needs_testdata
def test_verify_signature_json_is_the_python_result(tmp_path: Path) -> None:
    folder = tool_folder(tmp_path)
    result = shell("{tool} verify-signature {d} " + KEY + " --json", tmp_path, d=folder,
                   keys=KEYS)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == tamrel_manifest.verify_signature(
        folder, folder / "model.sig", trusted_keys=str(KEYS / "signing-key-pub.pem"),
        ignore_paths=["ignore-me"])


# Each option that narrows trust without what it narrows, on every command that takes it: a
# usage error (exit 2) that says what is missing, never a weaker check. verify-signature is
# given --signature s.sig besides; ALL: every command, ONE: verify-signature alone (verify and
# load-plan check no signature without a trust source, and default to MANIFEST.sig).
ALL = ("verify m.json", "load-plan m.json", "verify-signature d")
ONE = ("verify-signature d",)
NOT_MET = "is not possible: it counts the trust options distinct signers met, here at most"
USAGE: list[tuple[str, str, tuple[str, ...]]] = [
    ("", "no trusted key given: name the signer's public key with --trusted-key, or the CA its"
     " certificate chains to with --trust-root", ONE),
    ("--trusted-key k.pub --signature", "argument --signature: expected one argument", ONE),
    ("--trusted-key k.pub --certificate-identity a@example.com",
     "--certificate-identity needs --trust-root: an identity narrows trust in certificates", ALL),
    ("--certificate-identity-regexp '.*'",
     "--certificate-identity-regexp needs --trust-root: an identity narrows trust in"
     " certificates", ALL),
    ("--trust-root ca.pem --certificate-identity a --certificate-identity-regexp b",
     "give --certificate-identity or --certificate-identity-regexp, not both", ALL),
    ("--trust-root ca.pem --certificate-identity ''",
     "--certificate-identity is empty; name the signer's e-mail address or URI", ALL),
    ("--trust-root ca.pem --threshold 2",
     f"--threshold 2 {NOT_MET} 1 (--trusted-key each, and one for --trust-root)", ALL),
    ("--trusted-key k.pub --trusted-key k.pub --threshold 2",
     f"--threshold 2 {NOT_MET} 1 (--trusted-key each, and one for --trust-root)", ALL),
    ("--trusted-key k.pub --trust-root ca.pem --threshold 3",
     f"--threshold 3 {NOT_MET} 2 (--trusted-key each, and one for --trust-root)", ALL),
    ("--max-signature-bytes 1KiB",
     "--max-signature-bytes needs --trusted-key or --trust-root: without a trust source no"
     " signature is checked", ("verify m.json", "load-plan m.json")),
    ("--state s.json", "--state needs --trusted-key or --trust-root: without a trust source no"
     " signature is checked", ("verify m.json", "load-plan m.json")),
    ("--trusted-key k.pub --series s", "--series needs --state: it names a series of the state"
     " file", ("verify m.json", "load-plan m.json")),
    ("--trusted-key k.pub --state s.json --series s", "--series applies to one manifest",
     ("verify m.json n.json",)),
    ("--trusted-key k.pub --state s.json", "unrecognized arguments: --state s.json", ONE),
]
CALLS = [(options, message, command) for options, message, commands in USAGE
         for command in commands]


@pytest.mark.parametrize("options, message, command", CALLS,
                         ids=[f"{c[2].split()[0]} {c[0]}" for c in CALLS])
def test_trust_usage_errors(tmp_path: Path, options: str, message: str, command: str) -> None:
    if command.startswith("verify-signature") and not options.endswith("--signature"):
        options = f"--signature s.sig {options}"
    result = shell(f"{{tool}} {command} {options}", tmp_path)
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert result.stderr.startswith("usage: tamrel-manifest"), result.stderr
    assert re.fullmatch(rf"tamrel-manifest( \S+)?: error: {re.escape(message)}",
                        result.stderr.splitlines()[-1]), result.stderr


@pytest.mark.parametrize("options, fragment", [
    ("--ignore-path ../x", 'ignore path "../x" does not name an entry inside the checked'
     " directory"),
    ("--trust-root {d}/k.pub", "it holds no PEM certificate"),
    (f"--trust-root {KEYS}/ca-cert.pem --certificate-identity-regexp '('", "does not compile"),
])
@needs_testdata
def test_what_only_the_package_can_refuse_is_exit_2(tmp_path: Path, options: str,
                                                   fragment: str) -> None:
    generate_key(tmp_path / "k")
    options = options.replace("{d}", str(tmp_path))
    if "--trust-root" not in options:
        options += f" --trusted-key {tmp_path}/k.pub"
    result = shell(f"{{tool}} verify-signature {{d}} --signature {{d}}/s.sig {options}",
                   tmp_path, d=tmp_path)
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert fragment in result.stderr


def test_keygen_offers_every_key_type_the_package_writes(tmp_path: Path) -> None:
    with pytest.raises(ValueError) as unknown:
        generate_key(tmp_path / "k", "no-such-type")
    assert tuple(re.findall(r"`([^`]+)`", str(unknown.value))) == keys.KEY_TYPES


PLANNED = "OK: {m} verified, signatures checked; load plan follows"
REFUSED = "FAILED: {m}: no load plan: manifest verification failed: "

# (trust options, exit status, a line of verify's output, the first line of load-plan's).
CHAINS: list[tuple[str, int, str, str]] = [
    (f"--trust-root {{root}}/ca/test-ca.pem --certificate-identity {IDENTITY}", 0,
     f"OK: {{m}} verified, signed by {IDENTITY}", PLANNED),
    ("--trust-root {root}/ca/test-ca.pem", 0,
     f"signature {{m}}.sig: certificate method: {IDENTITY}, issued by CN=test-ca, chains to"
     " CN=test-ca (ecdsa-p256 key {key_id})", PLANNED),
    ("--trust-root {root}/other/other-ca.pem", 1, "FAILED: {m}: 1 issue",
     REFUSED + "signature_certificate_untrusted"),
    ("--trust-root {root}/ca/test-ca.pem --certificate-identity-regexp '.*@example[.]org'", 1,
     "FAILED: {m}: 1 issue", REFUSED + "signature_certificate_identity_mismatch"),
    ("--trusted-key {root}/signer.pub", 0, "OK: {m} verified, signed by {key_id}", PLANNED),
]


@openssl
@pytest.mark.parametrize("trust, status, verified, planned", CHAINS, ids=[c[0] for c in CHAINS])
def test_a_chain_signed_here_verifies_with_its_trust_root(
        tmp_path: Path, trust: str, status: int, verified: str, planned: str) -> None:
    root = tmp_path.resolve()
    manifest = bundle(root)
    ca = make_ca(root / "ca", "test-ca")
    make_ca(root / "other", "other-ca")
    key_id = generate_key(root / "signer")["key_id"]
    leaf = make_leaf(ca, root / "signer")
    values = {"m": manifest, "root": root, "key_id": key_id}
    signed = shell(f"{{tool}} sign {{m}} --key {{root}}/signer --certificate-chain {leaf}"
                   f" --certificate-chain {ca}", root, **values)
    assert signed.returncode == 0, signed.stderr
    assert f"with the certificate chain {leaf}, {ca}" in signed.stdout.splitlines()
    for command, line in (("verify", verified), ("load-plan", planned)):
        result = shell(f"{{tool}} {command} {{m}} {trust}", root, **values)
        assert result.returncode == status, (command, result.stdout, result.stderr)
        lines = result.stdout.splitlines()
        assert line.format(**values) in (lines if command == "verify" else lines[:1]), lines


def test_signed_verify_names_each_signer_its_warnings_and_absent_files(tmp_path: Path) -> None:
    # A directory signed as the model-signing tool signs it (every file, one more than the
    # manifest pins), the extra file since deleted, and beside it a signature by a key nobody
    # trusts: the verdict passes and says all three.
    root = tmp_path.resolve()
    manifest = bundle(root)
    (root / "extra.txt").write_text("signed, not pinned")
    key = generate_key(root / "k")
    generate_key(root / "stranger")
    resources = {p.name: sha256(p.read_bytes()) for p in root.iterdir()
                 if p.name not in ("k", "k.pub", "stranger", "stranger.pub")}
    sign_statement(root / "m.json.sig", root / "k", resources,
                   ignore_paths=("k", "k.pub", "stranger", "stranger.pub"))
    sign_manifest(manifest, root / "stranger", signature=root / "stranger.sig")
    (root / "extra.txt").unlink()
    result = shell("{tool} verify {m} --trusted-key {root}/k.pub --signature {m}.sig"
                   " --signature {root}/stranger.sig", root, m=manifest, root=root)
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    lines = result.stdout.splitlines()
    assert lines[:2] == [
        f"OK: {manifest} verified, signed by {key['key_id']}",
        f"signature {manifest}.sig: key method: ecdsa-p256 key {key['key_id']} (trusted as"
        f" {root}/k.pub)",
    ]
    assert lines[2].startswith(f'warning signature_untrusted_key: signature file "{root}/'
                               'stranger.sig" does not verify with any trusted key')
    assert lines[3:] == ["signed but not pinned: extra.txt", "signed but absent: extra.txt"]


def test_a_bundle_older_than_the_state_remembers_is_refused(tmp_path: Path) -> None:
    from test_signing import signed_bundle

    generate_key(tmp_path / "k")
    manifest = signed_bundle(tmp_path, tmp_path / "k")
    state = tmp_path / "state.json"
    command = f"{{tool}} verify {manifest} --trusted-key {tmp_path}/k.pub --state {state}"
    for _ in range(2):  # first use, then the same bundle again
        result = shell(command + " --series s", tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
    # A newer bundle of the series was accepted since: this one is a rollback now.
    recorded = json.loads(state.read_text())
    recorded["series"]["s"]["created_at"] = "2999-01-01T00:00:00Z"
    state.write_text(json.dumps(recorded))
    refused = shell(command + " --series s", tmp_path)
    assert refused.returncode == 1, refused.stdout + refused.stderr
    assert "bundle_rolled_back" in refused.stdout
    assert shell(command + " --series other", tmp_path).returncode == 0
