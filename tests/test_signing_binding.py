"""A statement verified elsewhere (the Sigstore package's keyless method) is bound to a manifest
or a directory by the code the key and certificate methods bind through: the same refusals,
in the same order, for the same tampering."""

from __future__ import annotations

import base64
import json
from pathlib import Path
from typing import Any

import pytest

from tamrel_manifest import signing, verify_signature, verify_signed_manifest
from test_signing import TAMPERING, signed_bundle
from test_verify_signature import KEYS, codes, needs_testdata, tool_folder

native = signing._native_sign
SIGNER = "ci@example.com"


def payload_of(sig: Path) -> bytes:
    return base64.b64decode(json.loads(sig.read_text())["dsseEnvelope"]["payload"])


@pytest.fixture(scope="module")
def key(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("key") / "k"
    signing.generate_key(path)
    return path


@pytest.mark.parametrize("tampering", [None, "index byte changed", "manifest edited"])
def test_a_verified_statement_binds_to_a_manifest_as_a_key_signed_one(
        tmp_path: Path, key: Path, tampering: str | None) -> None:
    manifest = signed_bundle(tmp_path, key)
    sig = Path(f"{manifest}.sig")
    payload = payload_of(sig)
    if tampering is not None:
        TAMPERING[tampering](manifest.parent)
    by_key = verify_signed_manifest(manifest, f"{key}.pub")
    bound = native._bind_verified_manifest(manifest, sig, "sigstore", SIGNER, payload=payload)
    assert [(e["code"], e["message"]) for e in bound["report"]["errors"]] == [
        (e["code"], e["message"]) for e in by_key["errors"]]
    [signature] = bound["signature"]["signatures"]
    assert (signature["method"], signature["signer"]) == ("sigstore", SIGNER)
    assert bound["signature"]["manifest_sha256"] == by_key["signature"]["manifest_sha256"]


@needs_testdata
@pytest.mark.parametrize("tamper", [False, True])
def test_a_verified_statement_binds_to_a_directory_as_a_key_signed_one(
        tmp_path: Path, tamper: bool) -> None:
    folder = tool_folder(tmp_path)
    if tamper:
        (folder / "signme-1").write_bytes(b"changed")
    by_key = verify_signature(folder, folder / "model.sig",
                              trusted_keys=KEYS / "signing-key-pub.pem", ignore_paths=["ignore-me"])
    bound = native._bind_verified_tree(folder, folder / "model.sig", "sigstore", SIGNER,
                                       payload=payload_of(folder / "model.sig"),
                                       ignore_paths=["ignore-me"])
    assert codes(bound) == codes(by_key) == (["signature_file_changed"] if tamper else [])
    assert bound["files"] == by_key["files"] and bound["ignored"] == by_key["ignored"]


@pytest.mark.parametrize(("payload", "error"), [
    (None, TypeError), ("text, not bytes", TypeError)])
def test_the_payload_must_be_bytes(tmp_path: Path, payload: Any, error: type) -> None:
    with pytest.raises(error, match="payload must be the bytes"):
        native._bind_verified_tree(tmp_path, tmp_path / "s", "sigstore", SIGNER, payload=payload)


def test_a_payload_that_is_no_statement_is_refused(tmp_path: Path) -> None:
    bound = native._bind_verified_tree(tmp_path, tmp_path / "s", "sigstore", SIGNER,
                                       payload=b"{}")
    assert codes(bound) == ["signature_bundle_invalid"]
