"""The signature layer alone over a directory or one file: the model-signing tool's own signed
folders, and what storage that is not trusted can do to a signed tree."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import shutil
import stat
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from shared_data import needs, shared_testdata
from tamrel_manifest import generate_key, verify_signature
from test_signing import model_signing, pae

TESTDATA = shared_testdata("model-signing")
KEYS = TESTDATA / "keys"
needs_testdata = needs(TESTDATA)


def tool_folder(tmp_path: Path, name: str = "v1.0.1-elliptic-key") -> Path:
    """A writable copy of one of the tool's signed folders."""
    copy = tmp_path / name
    shutil.copytree(TESTDATA / name, copy)
    for p in [copy, *copy.iterdir()]:
        p.chmod(p.stat().st_mode | stat.S_IWUSR)
    return copy


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def sign_statement(sig: Path, key: Path, resources: dict[str, str], *,
                   allow_symlinks: bool = False, ignore_paths: tuple[str, ...] = ()) -> None:
    """A key-method bundle over `resources` (name -> SHA-256), signed as the tool signs."""
    ordered = sorted(resources.items())
    statement = {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": "d", "digest": {"sha256": sha256(
            b"".join(bytes.fromhex(d) for _, d in ordered))}}],
        "predicateType": "https://model_signing/signature/v1.0",
        "predicate": {
            "serialization": {"method": "files", "hash_type": "sha256",
                              "allow_symlinks": allow_symlinks,
                              "ignore_paths": list(ignore_paths)},
            "resources": [{"name": n, "algorithm": "sha256", "digest": d} for n, d in ordered],
        },
    }
    payload = json.dumps(statement).encode()
    private = serialization.load_pem_private_key(key.read_bytes(), None)
    assert isinstance(private, ec.EllipticCurvePrivateKey)
    signature = private.sign(pae(payload), ec.ECDSA(hashes.SHA256()))
    sig.write_text(json.dumps({
        "mediaType": "application/vnd.dev.sigstore.bundle.v0.3+json",
        "verificationMaterial": {"publicKey": {"hint": ""}, "tlogEntries": []},
        "dsseEnvelope": {"payload": base64.b64encode(payload).decode(),
                         "payloadType": "application/vnd.in-toto+json",
                         "signatures": [{"sig": base64.b64encode(signature).decode(),
                                         "keyid": ""}]}}))


@pytest.fixture(scope="module")
def key(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("key") / "k"
    generate_key(path)
    return path


def check(folder: Path, **options: Any) -> dict[str, Any]:
    options.setdefault("trusted_keys", KEYS / "signing-key-pub.pem")
    options.setdefault("ignore_paths", ["ignore-me"])
    return verify_signature(folder, options.pop("signature", folder / "model.sig"), **options)


def codes(result: dict[str, Any]) -> list[str]:
    return [e["code"] for e in result["errors"]]


@needs_testdata
def test_the_tools_signed_folders_are_present() -> None:
    # Where a run requires them, their absence is this failure, not a skip of every use.
    assert sorted(p.name for p in TESTDATA.iterdir() if p.name.startswith("v1.0.1-")) == [
        "v1.0.1-certificate", "v1.0.1-elliptic-key", "v1.0.1-sigstore"], TESTDATA


# The tool's README commands, here: each folder with the key its leaf certificate holds (the
# certificate folder verifies by that key raw as well).
@needs_testdata
@pytest.mark.parametrize("name", ["v1.0.1-elliptic-key", "v1.0.1-certificate"])
def test_the_tools_signed_folders_verify(name: str) -> None:
    result = check(TESTDATA / name)
    assert result["ok"], result["errors"]
    assert result["files"] == ["signme-1", "signme-2"]
    assert result["ignored"] == ["ignore-me", "model.sig"]
    [signer] = result["signatures"]
    assert (signer["method"], signer["key_type"]) == ("key", "ecdsa-p384")
    assert signer["signer"] == signer["key_id"]


def fifo(path: Path) -> None:
    os.mkfifo(path)


# What a writer of the storage does to a signed folder, the options of the check, the refusal.
ATTACKS: list[tuple[str, Callable[[Path], Any], dict[str, Any], list[str]]] = [
    ("a signed file's byte changed", lambda d: (d / "signme-1").write_bytes(
        (d / "signme-1").read_bytes()[:-1] + b"X"), {}, ["signature_file_changed"]),
    ("a file added", lambda d: (d / "extra").write_text("x"), {}, ["signature_unsigned_file"]),
    ("a file added in a new directory", lambda d: ((d / "sub").mkdir(),
                                                   (d / "sub" / "x").write_text("x")),
     {}, ["signature_unsigned_file"]),
    ("a signed file deleted", lambda d: (d / "signme-2").unlink(), {},
     ["signature_signed_file_absent"]),
    ("a signed file replaced by a link to its copy", lambda d: (
        shutil.copy(d / "signme-1", d.parent / "copy"), (d / "signme-1").unlink(),
        (d / "signme-1").symlink_to(d.parent / "copy")), {}, ["signature_link_not_allowed"]),
    ("a FIFO planted beside the signed files", lambda d: fifo(d / "pipe"), {},
     ["signature_entry_unreadable"]),
    ("a name that is not UTF-8", lambda d: (d / os.fsdecode(b"\xff")).write_text("x"), {},
     ["signature_name_not_utf8"]),
    ("an ignore path over a signed file", lambda d: None, {"ignore_paths": ["ignore-me", "signme-1"]},
     ["signature_ignored_signed_file"]),
    ("more entries than allowed", lambda d: None, {"max_entries": 3},
     ["signature_tree_too_large"]),
    ("directories nested too deep", lambda d: (d / "a" / "b").mkdir(parents=True),
     {"max_depth": 1, "ignore_paths": ["ignore-me"]}, ["signature_tree_too_large"]),
    ("more bytes than allowed", lambda d: None, {"max_bytes": 10}, ["signature_tree_too_large"]),
    ("the signature checked with another key", lambda d: None,
     {"trusted_keys": "OTHER"}, ["signature_untrusted_key"]),
    ("the folder replaced by a FIFO", lambda d: (shutil.rmtree(d), fifo(d)),
     {"signature": "SIG"}, ["signature_path_unreadable"]),
    ("one signed file checked against the folder's signature", lambda d: None,
     {"path": "signme-1"}, ["signature_not_of_a_file"]),
]


@needs_testdata
@pytest.mark.parametrize(("tamper", "options", "expected"), [a[1:] for a in ATTACKS],
                         ids=[a[0] for a in ATTACKS])
def test_attack_on_a_signed_folder_is_refused(
        tmp_path: Path, key: Path, tamper: Callable[[Path], Any], options: dict[str, Any],
        expected: list[str]) -> None:
    folder = tool_folder(tmp_path)
    shutil.copy(folder / "model.sig", tmp_path / "model.sig")
    tamper(folder)
    if options.get("trusted_keys") == "OTHER":
        options["trusted_keys"] = f"{key}.pub"
    if options.get("signature") == "SIG":
        options["signature"] = tmp_path / "model.sig"
    path = folder / options.pop("path") if "path" in options else folder
    options.setdefault("signature", folder / "model.sig")
    result = check(path, **options)
    assert not result["ok"] and codes(result) == expected, result["errors"]


def test_links_the_signature_allows_stay_inside(tmp_path: Path, key: Path) -> None:
    tree = tmp_path / "t"
    tree.mkdir()
    (tree / "real").write_bytes(b"data")
    (tree / "inside").symlink_to("real")
    sig = tmp_path / "s.sig"
    signed = {"real": sha256(b"data"), "inside": sha256(b"data")}
    sign_statement(sig, key, signed, allow_symlinks=True)
    assert verify_signature(tree, sig, trusted_keys=f"{key}.pub")["ok"]
    # The same bytes outside the directory: the link is not followed out.
    (tmp_path / "outside").write_bytes(b"data")
    (tree / "inside").unlink()
    (tree / "inside").symlink_to(tmp_path / "outside")
    refused = verify_signature(tree, sig, trusted_keys=f"{key}.pub")
    assert codes(refused) == ["signature_entry_unreadable"]
    assert "leads out of its directory" in refused["errors"][0]["message"]


@pytest.mark.parametrize(("content", "expected"), [(b"model", []),
                                                   (b"other", ["signature_file_changed"])])
def test_one_signed_file(tmp_path: Path, key: Path, content: bytes, expected: list[str]) -> None:
    (tmp_path / "weights.bin").write_bytes(content)
    sign_statement(tmp_path / "w.sig", key, {".": sha256(b"model")})
    result = verify_signature(tmp_path / "weights.bin", tmp_path / "w.sig",
                              trusted_keys=f"{key}.pub")
    assert (result["kind"], codes(result)) == ("file", expected)


def test_a_dot_resource_in_a_directory_statement_is_refused(tmp_path: Path, key: Path) -> None:
    (tmp_path / "d").mkdir()
    sign_statement(tmp_path / "s.sig", key, {".": sha256(b"")})
    result = verify_signature(tmp_path / "d", tmp_path / "s.sig", trusted_keys=f"{key}.pub")
    assert codes(result) == ["signature_bundle_invalid"]


# Options that narrow trust or bound the walk: each takes effect or is a usage error.
USAGE: list[tuple[dict[str, Any], type[Exception], str]] = [
    ({"ignore_paths": ["../x"]}, ValueError, "inside the checked directory"),
    ({"ignore_paths": ["/etc"]}, ValueError, "inside the checked directory"),
    ({"ignore_paths": ["."]}, ValueError, "inside the checked directory"),
    ({"signature": []}, ValueError, "no signature file given"),
    ({"threshold": True}, TypeError, "threshold must be an int"),
    ({"threshold": 2}, ValueError, "threshold 2 is not possible"),
    ({"threshold": 0}, ValueError, "threshold 0 is not possible"),
    ({"trusted_keys": []}, ValueError, "no trusted key given"),
    ({"max_entries": -1}, ValueError, "max_entries must not be negative"),
]


@pytest.mark.parametrize(("options", "error", "fragment"), USAGE)
def test_usage_errors(tmp_path: Path, key: Path, options: dict[str, Any], error: type[Exception],
                      fragment: str) -> None:
    options = {"signature": tmp_path / "s.sig", "trusted_keys": f"{key}.pub", **options}
    with pytest.raises(error, match=fragment):
        verify_signature(tmp_path, options.pop("signature"), **options)


def test_a_trust_source_is_required(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="no trusted key given"):
        verify_signature(tmp_path, tmp_path / "s.sig")


@pytest.mark.interop
@pytest.mark.parametrize("layout", ["directory", "file"])
def test_what_the_tool_signs_verifies_here(tmp_path: Path, layout: str) -> None:
    key = tmp_path / "k"
    generate_key(key, "ecdsa-p384")
    model = tmp_path / "model"
    (model / "sub").mkdir(parents=True)
    (model / "a.bin").write_bytes(b"a")
    (model / "sub" / "b.bin").write_bytes(b"b")
    target = model if layout == "directory" else model / "a.bin"
    sig = tmp_path / "model.sig"
    signed = model_signing("sign", "key", target, "--private_key", key, "--signature", sig)
    assert signed.returncode == 0, signed.stderr
    result = verify_signature(target, sig, trusted_keys=f"{key}.pub")
    assert result["ok"], result["errors"]
    assert result["files"] == (["a.bin", "sub/b.bin"] if layout == "directory" else ["."])
    (model / "a.bin").write_bytes(b"A")
    assert codes(verify_signature(target, sig, trusted_keys=f"{key}.pub")) == [
        "signature_file_changed"]
