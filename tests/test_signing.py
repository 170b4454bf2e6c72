"""Signed bundles: the refusals, the model-signing tool reading ours and us reading its, and
the signatures themselves checked by OpenSSL."""

from __future__ import annotations

import base64
import functools
import hashlib
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from builders import make_fixture, write_manifest
from tamrel_manifest import (
    VerificationFailed,
    generate_key,
    open_verified,
    sign_manifest,
    verify_signed_manifest,
)
from test_cli import cli_env, run

PAYLOAD_TYPE = "application/vnd.in-toto+json"


@pytest.fixture(scope="module")
def keys(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("keys")
    for name, key_type in (("a", "ecdsa-p256"), ("b", "ecdsa-p256"), ("ed", "ed25519")):
        generate_key(root / name, key_type)
    return {name: root / name for name in ("a", "b", "ed")}


def signed_bundle(root: Path, key: Path) -> Path:
    bundle = root / "bundle"
    bundle.mkdir()
    manifest = write_manifest(bundle / "manifest.json", make_fixture(bundle))
    (bundle / "README.md").write_text("not pinned\n")
    sign_manifest(manifest, key)
    return manifest


def pae(payload: bytes) -> bytes:
    return b"DSSEv1 %d %s %d %s" % (len(PAYLOAD_TYPE), PAYLOAD_TYPE.encode(), len(payload), payload)


def resign(sig: Path, key: Path, edit: Callable[[dict[str, Any]], None],
           true_subject: bool = True) -> None:
    """Edits the signed statement and signs it again with `key`, the subject digest recomputed
    unless told not to."""
    bundle = json.loads(sig.read_text())
    statement = json.loads(base64.b64decode(bundle["dsseEnvelope"]["payload"]))
    edit(statement)
    resources = statement["predicate"]["resources"]
    if true_subject:
        statement["subject"][0]["digest"]["sha256"] = hashlib.sha256(
            b"".join(bytes.fromhex(r["digest"]) for r in resources)).hexdigest()
    payload = json.dumps(statement).encode()
    private = serialization.load_pem_private_key(key.read_bytes(), None)
    assert isinstance(private, ec.EllipticCurvePrivateKey)
    signature = private.sign(pae(payload), ec.ECDSA(hashes.SHA256()))
    bundle["dsseEnvelope"]["payload"] = base64.b64encode(payload).decode()
    bundle["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(signature).decode()
    sig.write_text(json.dumps(bundle))


def edit_bundle(sig: Path, edit: Callable[[dict[str, Any]], None]) -> None:
    bundle = json.loads(sig.read_text())
    edit(bundle)
    sig.write_text(json.dumps(bundle))


def drop_resource(name: str) -> Callable[[dict[str, Any]], None]:
    def edit(statement: dict[str, Any]) -> None:
        resources = statement["predicate"]["resources"]
        resources[:] = [r for r in resources if r["name"] != name]
    return edit


def other_digest(name: str) -> Callable[[dict[str, Any]], None]:
    def edit(statement: dict[str, Any]) -> None:
        for r in statement["predicate"]["resources"]:
            if r["name"] == name:
                r["digest"] = "ab" * 32
    return edit


def set_in(*path: str, value: Any) -> Callable[[dict[str, Any]], None]:
    def edit(doc: dict[str, Any]) -> None:
        for step in path[:-1]:
            doc = doc[step]
        doc[path[-1]] = value
    return edit


def envelope(member: str, value: Any) -> Callable[[dict[str, Any]], None]:
    return lambda b: b["dsseEnvelope"].__setitem__(member, value)


# Each refusal: what is done to the signed bundle (sig, manifest, keys), the verification's
# arguments, the code, a fragment its message must hold, and whether the pass (which reads the
# pinned files) ran.
REFUSALS: list[tuple[str, Callable[[Path, Path, dict[str, Path]], None], dict[str, Any], str,
                     str, bool]] = [
    ("no signature file", lambda s, m, k: s.unlink(), {}, "signature_file_missing",
     "manifest.json.sig", False),
    ("a directory in its place", lambda s, m, k: (s.unlink(), s.mkdir()), {},
     "signature_file_unreadable", "failed to read signature file", False),
    ("over the byte limit", lambda s, m, k: None, {"max_signature_bytes": 100},
     "signature_file_too_large", "exceeds 100 bytes", False),
    ("not JSON", lambda s, m, k: s.write_text("{"), {}, "signature_bundle_invalid",
     "not JSON", False),
    ("another media type", lambda s, m, k: edit_bundle(s, set_in("mediaType", value="x")), {},
     "signature_bundle_invalid", "media type", False),
    ("an unknown member", lambda s, m, k: edit_bundle(s, set_in("extra", value=1)), {},
     "signature_bundle_invalid", "unknown member", False),
    ("two signatures",
     lambda s, m, k: edit_bundle(s, lambda b: b["dsseEnvelope"]["signatures"].append(
         b["dsseEnvelope"]["signatures"][0])), {}, "signature_bundle_invalid",
     "holds 2 signatures", False),
    ("a repeated member", lambda s, m, k: s.write_text(
        s.read_text().replace('"mediaType"', '"mediaType": "x", "mediaType"', 1)), {},
     "signature_bundle_invalid", "repeats the member", False),
    ("a certificate bundle", lambda s, m, k: edit_bundle(s, set_in(
        "verificationMaterial", value={"certificate": {"rawBytes": "AA=="}})), {},
     "signature_bundle_invalid", "unknown member", False),
    ("bad base64", lambda s, m, k: edit_bundle(s, envelope("payload", "eyJ=x")), {},
     "signature_base64_invalid", "dsseEnvelope.payload", False),
    ("base64 with stray bits", lambda s, m, k: edit_bundle(s, lambda b: b["dsseEnvelope"][
        "signatures"][0].__setitem__("sig", "AB==")), {}, "signature_base64_invalid", "sig",
     False),
    ("url-safe base64", lambda s, m, k: edit_bundle(s, envelope("payload", "-_8=")), {},
     "signature_base64_invalid", "payload", False),
    ("subject digest not of the resources",
     lambda s, m, k: resign(s, k["a"], lambda st: st["predicate"]["resources"].pop(), False), {},
     "signature_bundle_invalid", "subject digest", False),
    ("shards, not files",
     lambda s, m, k: resign(s, k["a"], lambda st: st["predicate"]["serialization"].__setitem__(
         "method", "shards")), {}, "signature_bundle_invalid", "only whole files", False),
    ("wrong payload type", lambda s, m, k: edit_bundle(s, envelope("payloadType", "text/plain")),
     {}, "signature_payload_type_unsupported", '"text/plain"', False),
    ("unknown predicate",
     lambda s, m, k: resign(s, k["a"], set_in("predicateType", value="https://x/v1")), {},
     "signature_predicate_unsupported", "https://x/v1", False),
    ("untrusted signer", lambda s, m, k: resign(s, k["b"], lambda st: None), {},
     "signature_untrusted_key", "trusted key ids: ", False),
    ("too few signers", lambda s, m, k: None, {"threshold": 2, "extra_key": "b"},
     "signature_threshold_not_met", "distinct trusted signers: 1, the threshold is 2", False),
    ("manifest changed", lambda s, m, k: m.write_bytes(m.read_bytes() + b"\n"), {},
     "signature_manifest_changed", "changed after signing", False),
    ("pinned file not signed", lambda s, m, k: resign(s, k["a"], drop_resource("rows.jsonl")), {},
     "signature_file_unsigned", '"rows.jsonl"', True),
    ("signed with another digest",
     lambda s, m, k: resign(s, k["a"], other_digest("index.rank_quant")), {},
     "signature_digest_mismatch", "ab" * 32, True),
]


@pytest.mark.parametrize(("tamper", "options", "code", "fragment", "pass_ran"),
                         [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals(tmp_path: Path, keys: dict[str, Path], tamper: Any, options: dict[str, Any],
                  code: str, fragment: str, pass_ran: bool) -> None:
    manifest = signed_bundle(tmp_path, keys["a"])
    tamper(Path(f"{manifest}.sig"), manifest, keys)
    options = dict(options)
    trusted = [f"{keys['a']}.pub"]
    if "extra_key" in options:
        trusted.append(f"{keys[options.pop('extra_key')]}.pub")
    report = verify_signed_manifest(manifest, trusted, **options)
    assert not report["ok"] and not report["signature"]["ok"]
    assert [e["code"] for e in report["signature"]["errors"]] == [code]
    assert fragment in report["signature"]["errors"][0]["message"]
    assert report["errors"][-1]["code"] == code
    # Refused before the pass: no pinned file was read.
    assert (report["artifact"]["sha256"] is not None) == pass_ran
    with pytest.raises(VerificationFailed) as refused:
        with open_verified(manifest, trusted_keys=trusted, **options):
            pass
    assert code in str(refused.value) and refused.value.report["signature"]["errors"]


def test_hints_are_only_hints(tmp_path: Path, keys: dict[str, Path]) -> None:
    manifest = signed_bundle(tmp_path, keys["a"])
    sig = Path(f"{manifest}.sig")
    b_id = generate_key(tmp_path / "c")["key_id"]  # any id that is not the signer's
    edit_bundle(sig, lambda b: (b["dsseEnvelope"]["signatures"][0].__setitem__("keyid", b_id),
                                b["verificationMaterial"]["publicKey"].__setitem__("hint", b_id)))
    # A wrong hint hides nothing: the good signature verifies with its key among others.
    report = verify_signed_manifest(manifest, [f"{keys['b']}.pub", f"{keys['a']}.pub"])
    assert report["ok"], report["errors"]
    [entry] = report["signature"]["signatures"]
    assert entry["trusted_key"] == f"{keys['a']}.pub" and entry["key_hint"] == b_id
    # ... and lends no trust: a hint naming the trusted key does not make it the signer.
    edit_bundle(sig, lambda b: b["dsseEnvelope"]["signatures"][0].__setitem__(
        "keyid", verify_signed_manifest(manifest, f"{keys['a']}.pub")["signature"]
        ["trusted_key_ids"][0]))
    assert not verify_signed_manifest(manifest, f"{keys['b']}.pub")["ok"]


def test_rotation_and_threshold(tmp_path: Path, keys: dict[str, Path]) -> None:
    manifest = signed_bundle(tmp_path, keys["a"])
    second = tmp_path / "second.sig"
    sign_manifest(manifest, keys["b"], signature=second)
    both = [f"{manifest}.sig", second]
    trusted = [f"{keys['ed']}.pub", f"{keys['a']}.pub", f"{keys['b']}.pub"]
    report = verify_signed_manifest(manifest, trusted, signatures=both, threshold=2)
    assert report["ok"] and report["signature"]["trusted_signers"] == 2, report["errors"]
    # The same signer twice is one signer.
    twice = verify_signed_manifest(manifest, trusted, signatures=[both[0]] * 2, threshold=2)
    assert [e["code"] for e in twice["errors"]] == ["signature_threshold_not_met"]
    with pytest.raises(ValueError, match="threshold 4 is not possible"):
        verify_signed_manifest(manifest, trusted, threshold=4)


@functools.cache
def model_signing_runs() -> bool:
    # The tool imports the interpreter's ssl module, which needs the system's libssl: hidden when
    # the suite runs against an installed wheel.
    return subprocess.run([sys.executable, "-c", "import model_signing.signing"],
                          capture_output=True).returncode == 0


def model_signing(*args: Any) -> subprocess.CompletedProcess[str]:
    if not model_signing_runs():
        pytest.skip("the model-signing tool cannot run here (no system libssl)")
    return subprocess.run([sys.executable, "-m", "model_signing", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


TAMPERING = {
    "index byte changed": lambda d: (d / "index.rank_quant").write_bytes(
        (data := (d / "index.rank_quant").read_bytes())[:-1] + bytes([data[-1] ^ 0xFF])),
    "manifest edited": lambda d: (d / "manifest.json").write_text(
        (d / "manifest.json").read_text().replace('"m"', '"n"')),
    "pinned file removed": lambda d: (d / "rows.jsonl").unlink(),
}


@pytest.mark.interop
@pytest.mark.parametrize("signer", ["tamrel", "model_signing"])
@pytest.mark.parametrize("tampering", [None, *TAMPERING])
def test_model_signing_reads_ours_and_we_read_its(
        tmp_path: Path, keys: dict[str, Path], signer: str, tampering: str | None) -> None:
    manifest = signed_bundle(tmp_path, keys["a"])
    bundle = manifest.parent
    sig = Path(f"{manifest}.sig")
    if signer == "model_signing":
        sig.unlink()
        signed = model_signing("sign", "key", bundle, "--private_key", keys["a"],
                               "--signature", sig)
        assert signed.returncode == 0, signed.stderr
    if tampering is not None:
        TAMPERING[tampering](bundle)
    theirs = model_signing("verify", "key", bundle, "--signature", sig,
                           "--public_key", f"{keys['a']}.pub")
    try:
        ours = verify_signed_manifest(manifest, f"{keys['a']}.pub")["ok"]
    except OSError:  # the manifest names a file that is gone: no report at all
        ours = False
    assert (theirs.returncode == 0, ours) == (tampering is None, tampering is None), theirs.stdout
    if signer == "model_signing" and tampering is None:
        report = verify_signed_manifest(manifest, f"{keys['a']}.pub")
        assert report["signature"]["unpinned_resources"] == ["README.md"]
        assert report["row_identity"]["validated_rows"] == 3  # the full verification ran


def openssl_runs() -> bool:
    # The wheel's test run hides the system's libcrypto, which the openssl program needs.
    try:
        return subprocess.run(["openssl", "version"], capture_output=True).returncode == 0
    except OSError:
        return False


@pytest.mark.skipif(not openssl_runs(), reason="the openssl program cannot run here")
def test_ed25519_signature_is_what_openssl_verifies(tmp_path: Path, keys: dict[str, Path]) -> None:
    manifest = signed_bundle(tmp_path, keys["ed"])
    bundle = json.loads(Path(f"{manifest}.sig").read_text())["dsseEnvelope"]
    (tmp_path / "pae").write_bytes(pae(base64.b64decode(bundle["payload"])))
    (tmp_path / "sig").write_bytes(base64.b64decode(bundle["signatures"][0]["sig"]))
    checked = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                              f"{keys['ed']}.pub", "-rawin", "-in", tmp_path / "pae",
                              "-sigfile", tmp_path / "sig"], capture_output=True, text=True)
    assert checked.returncode == 0 and "Signature Verified Successfully" in checked.stdout
    report = verify_signed_manifest(manifest, [f"{keys['a']}.pub", f"{keys['ed']}.pub"])
    assert report["signature"]["signatures"][0]["key_type"] == "ed25519"


def test_keys_and_signing_refusals(tmp_path: Path, keys: dict[str, Path]) -> None:
    key = tmp_path / "enc"
    generate_key(key, password="pw")
    assert os.stat(key).st_mode & 0o777 == 0o600 and b"ENCRYPTED" in key.read_bytes()
    with pytest.raises(ValueError, match="already exists"):
        generate_key(key)
    manifest = signed_bundle(tmp_path, keys["a"])
    with pytest.raises(ValueError, match="--key-password-env"):
        sign_manifest(manifest, key)
    assert sign_manifest(manifest, key, password="pw", signature=tmp_path / "s")["key_id"]
    # A bundle that fails verification is not signed; the report says why.
    (manifest.parent / "rows.jsonl").write_text("")
    with pytest.raises(ValueError, match="not signed") as failed:
        sign_manifest(manifest, keys["a"], signature=tmp_path / "t")
    assert failed.value.report["errors"] and not (tmp_path / "t").exists()
    # A pinned file outside the directory cannot be named in the signature.
    outside = tmp_path / "outside"
    outside.mkdir()
    fixture = make_fixture(outside, row_map=False)
    fixture["artifact"]["path"] = "../outside/" + fixture["artifact"]["path"]
    escaped = write_manifest(tmp_path / "in" / "m.json", fixture)
    with pytest.raises(ValueError, match="outside the manifest's directory"):
        sign_manifest(escaped, keys["a"], allow_path_escape=True)


def test_cli_keygen_sign_verify(tmp_path: Path) -> None:
    bundle = tmp_path / "b"
    bundle.mkdir()
    manifest = write_manifest(bundle / "manifest.json", make_fixture(bundle))
    assert run("keygen", tmp_path / "k", "--type", "ed25519").returncode == 0
    env = cli_env(PW="secret")
    keygen = subprocess.run([sys.executable, "-m", "tamrel_manifest", "keygen", tmp_path / "e",
                             "--key-password-env", "PW"], env=env, capture_output=True)
    assert keygen.returncode == 0
    signed = subprocess.run([sys.executable, "-m", "tamrel_manifest", "sign", manifest, "--key",
                             tmp_path / "e", "--key-password-env", "PW"], env=env,
                            capture_output=True, text=True)
    assert signed.returncode == 0, signed.stderr
    ok = run("verify", manifest, "--trusted-key", tmp_path / "e.pub", "--json")
    assert ok.returncode == 0 and json.loads(ok.stdout)["signature"]["signatures"][0]["verified"]
    refused = run("verify", manifest, "--trusted-key", tmp_path / "k.pub")
    assert refused.returncode == 1 and "signature_untrusted_key" in refused.stdout
    shutil.copy(manifest, tmp_path / "copy.json")
    missing = run("verify", tmp_path / "copy.json", "--trusted-key", tmp_path / "e.pub")
    assert missing.returncode == 1 and "copy.json.sig" in missing.stdout
