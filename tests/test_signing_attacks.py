"""Signed bundles under attack (issue 32): one row per finding of the security review, each an
attack and what the system must do about it. Every row failed on 078bcfd."""

from __future__ import annotations

import base64
import inspect
import json
import os
import subprocess
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, padding, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from cryptography.x509.oid import NameOID

from builders import make_fixture, sha256_of, write_manifest
from tamrel_manifest import (
    VerificationFailed,
    generate_key,
    open_verified,
    sign_manifest,
    signing,
    verify_signed_manifest,
)
from test_cli import cli_env
from test_signing import edit_bundle, model_signing, other_digest, resign


@pytest.fixture(scope="module")
def keys(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("keys")
    for name in ("a", "b", "old"):
        generate_key(root / name)
    return {name: root / name for name in ("a", "b", "old")}


def pub(key: Path) -> str:
    return f"{key}.pub"


def bundle(root: Path, key: Path | None, *, optional_aux: bool = False) -> Path:
    """A bundle in root/bundle with an index, a row map and a required auxiliary artifact (and
    an optional one that is there), signed with key unless None."""
    d = root / "bundle"
    d.mkdir()
    aux = []
    for name, required in (("notes", True), ("tombstones", False)) if optional_aux else (
            ("notes", True),):
        f = d / f"{name}.txt"
        f.write_bytes(name.encode() * 3)
        aux.append({"name": name, "path": f.name, "sha256": sha256_of(f),
                    "file_size_bytes": f.stat().st_size, "required": required})
    manifest = write_manifest(d / "manifest.json", make_fixture(d, auxiliary_artifacts=aux))
    if key is not None:
        sign_manifest(manifest, key)
    return manifest


def codes(report: dict[str, Any]) -> list[str]:
    return [e["code"] for e in report["signature"]["errors"]]


# ---- DER, to write keys in the encodings OpenSSL's own writer does not ----

def der(tag: int, body: bytes) -> bytes:
    n = len(body)
    length = bytes([n]) if n < 128 else bytes([0x80 | len(n.to_bytes((n.bit_length() + 7) // 8,
                                                                       "big"))]) + n.to_bytes(
        (n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


def der_int(v: int) -> bytes:
    return der(0x02, v.to_bytes(v.bit_length() // 8 + 1, "big"))


def der_oid(dotted: str) -> bytes:
    parts = [int(p) for p in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def seq(*items: bytes) -> bytes:
    return der(0x30, b"".join(items))


def pem(label: str, body: bytes) -> bytes:
    text = base64.encodebytes(body).decode().replace("\n", "")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return (f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n").encode()


def der_read(data: bytes) -> tuple[int, bytes, bytes]:
    """One TLV: tag, value, the rest."""
    tag, n, at = data[0], data[1], 2
    if n & 0x80:
        width = n & 0x7F
        n, at = int.from_bytes(data[2:2 + width], "big"), 2 + width
    return tag, data[at:at + n], data[at + n:]


P256_P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
P256_B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
P256_GX = 0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296
P256_GY = 0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5
P256_N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def p256_encodings(key: Path, out: Path) -> list[Path]:
    """The public key of `key` as OpenSSL writes it, with a compressed point, and with explicit
    curve parameters."""
    public = serialization.load_pem_public_key(Path(pub(key)).read_bytes())
    assert isinstance(public, ec.EllipticCurvePublicKey)
    compressed = public.public_bytes(serialization.Encoding.X962,
                                     serialization.PublicFormat.CompressedPoint)
    uncompressed = public.public_bytes(serialization.Encoding.X962,
                                       serialization.PublicFormat.UncompressedPoint)
    ec_key = der_oid("1.2.840.10045.2.1")
    named = seq(seq(ec_key, der_oid("1.2.840.10045.3.1.7")), der(0x03, b"\0" + compressed))
    explicit_params = seq(
        der_int(1), seq(der_oid("1.2.840.10045.1.1"), der_int(P256_P)),
        seq(der(0x04, (P256_P - 3).to_bytes(32, "big")), der(0x04, P256_B.to_bytes(32, "big"))),
        der(0x04, b"\x04" + P256_GX.to_bytes(32, "big") + P256_GY.to_bytes(32, "big")),
        der_int(P256_N), der_int(1))
    explicit = seq(seq(ec_key, explicit_params), der(0x03, b"\0" + uncompressed))
    files = [Path(pub(key)), out / "compressed.pub", out / "explicit.pub"]
    files[1].write_bytes(pem("PUBLIC KEY", named))
    files[2].write_bytes(pem("PUBLIC KEY", explicit))
    return files


def pbkdf2_iterations(key: Path) -> int:
    """The iteration count of an encrypted PKCS#8 key (PBES2 with PBKDF2)."""
    body = base64.b64decode(b"".join(key.read_bytes().splitlines()[1:-1]))
    _, info, _ = der_read(body)                   # EncryptedPrivateKeyInfo
    _, algorithm, _ = der_read(info)              # AlgorithmIdentifier
    _, _, rest = der_read(algorithm)              # pbes2 OID
    _, params, _ = der_read(rest)                 # PBES2-params
    _, kdf, _ = der_read(params)                  # keyDerivationFunc
    _, _, rest = der_read(kdf)                    # pbkdf2 OID
    _, pbkdf2, _ = der_read(rest)                 # PBKDF2-params
    _, _, rest = der_read(pbkdf2)                 # salt
    _, count, _ = der_read(rest)
    return int.from_bytes(count, "big")


def key_of_2048_iterations(path: Path, password: bytes) -> None:
    """An encrypted P-256 key as keygen wrote them at 078bcfd (OpenSSL's default PBES2: AES-256-
    CBC, PBKDF2-HMAC-SHA256, 2048 iterations), built by hand."""
    private = ec.generate_private_key(ec.SECP256R1())
    plain = private.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption())
    salt, iv = os.urandom(8), os.urandom(16)
    # cryptography's KDF, not hashlib's: where the system's libssl is hidden, hashlib falls back
    # to a deprecated pure-Python one.
    secret = PBKDF2HMAC(hashes.SHA256(), 32, salt, 2048).derive(password)
    padder = padding.PKCS7(128).padder()
    encryptor = Cipher(algorithms.AES(secret), modes.CBC(iv)).encryptor()
    sealed = encryptor.update(padder.update(plain) + padder.finalize()) + encryptor.finalize()
    algorithm = seq(der_oid("1.2.840.113549.1.5.13"), seq(
        seq(der_oid("1.2.840.113549.1.5.12"),
            seq(der(0x04, salt), der_int(2048), seq(der_oid("1.2.840.113549.2.9"), b"\x05\0"))),
        seq(der_oid("2.16.840.1.101.3.4.1.42"), der(0x04, iv))))
    path.write_bytes(pem("ENCRYPTED PRIVATE KEY", seq(algorithm, der(0x04, sealed))))


# ---- the rows ----

def missing_signed_optional_file(tmp: Path, keys: dict[str, Path]) -> None:
    # 1: the manifest names it (optional), it was signed, it is gone: refused, never "unpinned".
    manifest = bundle(tmp, keys["a"], optional_aux=True)
    (manifest.parent / "tombstones.txt").unlink()
    report = verify_signed_manifest(manifest, pub(keys["a"]))
    assert codes(report) == ["signature_file_missing_on_disk"], report["signature"]
    assert '"tombstones.txt"' in report["signature"]["errors"][0]["message"]
    assert report["signature"]["unpinned_resources"] == []
    with pytest.raises(VerificationFailed, match="signature_file_missing_on_disk"):
        with open_verified(manifest, trusted_keys=pub(keys["a"])):
            pass


def changed_pinned_file_is_a_digest_mismatch(tmp: Path, keys: dict[str, Path]) -> None:
    # 1: a pinned file that differs is a pinned file that differs, not "signed but not pinned".
    manifest = bundle(tmp, keys["a"], optional_aux=True)
    (manifest.parent / "notes.txt").write_bytes(b"other bytes")
    report = verify_signed_manifest(manifest, pub(keys["a"]))
    assert codes(report) == ["signature_digest_mismatch"]
    assert '"notes.txt"' in report["signature"]["errors"][0]["message"]
    assert report["signature"]["unpinned_resources"] == []


def signature_path_is_a_link_out(tmp: Path, keys: dict[str, Path]) -> None:
    # 2: the link is replaced, its target never opened.
    manifest = bundle(tmp, None)
    victim = tmp / "victim.txt"
    victim.write_bytes(b"precious\n")
    victim.chmod(0o600)
    sig = Path(f"{manifest}.sig")
    sig.symlink_to("../victim.txt")
    sign_manifest(manifest, keys["a"])
    assert victim.read_bytes() == b"precious\n" and victim.stat().st_mode & 0o777 == 0o600
    assert not sig.is_symlink() and sig.is_file()
    assert verify_signed_manifest(manifest, pub(keys["a"]))["ok"]
    assert not [p for p in manifest.parent.iterdir() if p.name.endswith(".tmp")]


def signature_path_is_a_signed_file(tmp: Path, keys: dict[str, Path]) -> None:
    # 3: by name, by another spelling, through a linked directory, as a hard link: identities.
    manifest = bundle(tmp, None)
    d = manifest.parent
    before = {p.name: p.read_bytes() for p in d.iterdir()}
    (tmp / "alias").symlink_to(d)
    os.link(d / "rows.jsonl", d / "rows.hard")
    for target, what in ((manifest, "the manifest"), (d / "." / "manifest.json", "the manifest"),
                         (tmp / "alias" / "manifest.json", "the manifest"),
                         (d / "index.rank_quant", "the pinned file"),
                         (d / "rows.hard", "the pinned file")):
        with pytest.raises(ValueError, match=f"is {what}"):
            sign_manifest(manifest, keys["a"], signature=target)
    assert {p.name: p.read_bytes() for p in d.iterdir() if p.name != "rows.hard"} == before


def fifo_or_link_out_as_signature(tmp: Path, keys: dict[str, Path]) -> None:
    # 4: a FIFO at the default path is answered at once (in a child, so that a hang fails the
    # row instead of the run); a link out of the directory is not followed.
    manifest = bundle(tmp, keys["a"])
    sig = Path(f"{manifest}.sig")
    outside = tmp / "elsewhere.sig"
    sig.rename(outside)
    os.mkfifo(sig)
    script = ("import json, sys; from tamrel_manifest import verify_signed_manifest as v; "
              "r = v(sys.argv[1], sys.argv[2]); "
              "print(json.dumps([e['message'] for e in r['signature']['errors']]))")
    try:
        child = subprocess.run([sys.executable, "-c", script, manifest, pub(keys["a"])],
                               capture_output=True, text=True, env=cli_env(), timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail("a FIFO at the signature path hung verification")
    assert child.returncode == 0, child.stderr
    assert "not a regular file" in json.loads(child.stdout)[0]
    sig.unlink()
    sig.symlink_to("../elsewhere.sig")
    report = verify_signed_manifest(manifest, pub(keys["a"]))
    assert codes(report) == ["signature_file_unreadable"]
    assert "leads out of its directory" in report["signature"]["errors"][0]["message"]


def one_key_three_encodings(tmp: Path, keys: dict[str, Path]) -> None:
    # 6: one key, one id, whichever file; three files of it are one trusted key.
    manifest = bundle(tmp, keys["a"])
    files = p256_encodings(keys["a"], tmp)
    ids = {verify_signed_manifest(manifest, f)["signature"]["trusted_key_ids"][0] for f in files}
    assert len(ids) == 1
    assert verify_signed_manifest(manifest, files[1:])["ok"]
    assert verify_signed_manifest(manifest, files)["signature"]["trusted_key_ids"] == list(ids)
    with pytest.raises(ValueError, match="threshold 3 is not possible"):
        verify_signed_manifest(manifest, files, threshold=3)
    with pytest.raises(ValueError, match="threshold 2 is not possible"):
        verify_signed_manifest(manifest, files, threshold=2)


def small_order_ed25519_key(tmp: Path, keys: dict[str, Path]) -> None:
    # 7: the identity point as a trusted key, and the (R = identity, S = 0) forgery it verifies.
    manifest = bundle(tmp, keys["a"])
    identity = tmp / "identity.pub"
    identity.write_bytes(pem("PUBLIC KEY", seq(seq(der_oid("1.3.101.112")),
                                               der(0x03, b"\0" + b"\x01" + b"\0" * 31))))
    edit_bundle(Path(f"{manifest}.sig"), lambda b: b["dsseEnvelope"]["signatures"][0].__setitem__(
        "sig", base64.b64encode(b"\x01" + b"\0" * 63).decode()))
    with pytest.raises(ValueError, match="small-order Ed25519"):
        verify_signed_manifest(manifest, [identity, pub(keys["a"])])
    assert codes(verify_signed_manifest(manifest, pub(keys["a"]))) == ["signature_untrusted_key"]


def passwords(tmp: Path, keys: dict[str, Path]) -> None:
    # 8: empty and unreadable passwords refused; a current iteration count; old keys still load;
    # a wrong password said to be one.
    with pytest.raises(ValueError, match="password is empty"):
        generate_key(tmp / "empty", password="")
    with pytest.raises(ValueError, match="at most 1024 bytes"):
        generate_key(tmp / "long", password="x" * 1025)
    assert not (tmp / "empty").exists() and not (tmp / "long").exists()
    generate_key(tmp / "k", password="y" * 1024)
    assert pbkdf2_iterations(tmp / "k") == 600_000
    manifest = bundle(tmp, None)
    sign_manifest(manifest, tmp / "k", password="y" * 1024)
    with pytest.raises(ValueError, match="wrong password for the encrypted key"):
        sign_manifest(manifest, tmp / "k", password="z")
    key_of_2048_iterations(tmp / "old", b"pw")
    assert pbkdf2_iterations(tmp / "old") == 2048
    assert sign_manifest(manifest, tmp / "old", password="pw", signature=tmp / "s")["key_id"]


def untrusted_signature_beside_a_good_one(tmp: Path, keys: dict[str, Path]) -> None:
    # 9: reported, not counted; refused only when the threshold is then not met; a trusted
    # signature that does not bind still refuses.
    manifest = bundle(tmp, keys["a"])
    old = tmp / "old.sig"
    sign_manifest(manifest, keys["old"], signature=old)
    both = [Path(f"{manifest}.sig"), old]
    report = verify_signed_manifest(manifest, pub(keys["a"]), signatures=both)
    assert report["ok"], report["errors"]
    assert [w["code"] for w in report["signature"]["warnings"]] == ["signature_untrusted_key"]
    assert [s["verified"] for s in report["signature"]["signatures"]] == [True, False]
    with open_verified(manifest, trusted_keys=pub(keys["a"]), signatures=both):
        pass
    two = verify_signed_manifest(manifest, [pub(keys["a"]), pub(keys["b"])], signatures=both,
                                 threshold=2)
    assert codes(two) == ["signature_untrusted_key", "signature_threshold_not_met"]
    # Signed by a trusted key over another manifest: refuses, whatever else verifies.
    other = tmp / "other.sig"
    other.write_bytes(old.read_bytes())
    resign(other, keys["b"], other_digest("manifest.json"))
    mixed = verify_signed_manifest(manifest, [pub(keys["a"]), pub(keys["b"])],
                                   signatures=[both[0], old, other])
    assert codes(mixed) == ["signature_manifest_changed"], mixed["signature"]
    bad = tmp / "bad.sig"
    bad.write_bytes(old.read_bytes())
    resign(bad, keys["b"], lambda st: st["predicate"]["serialization"].pop("allow_symlinks"))
    assert codes(verify_signed_manifest(manifest, [pub(keys["a"]), pub(keys["b"])],
                                        signatures=[both[0], bad])) == ["signature_bundle_invalid"]


def statement_serialization(tmp: Path, keys: dict[str, Path]) -> None:
    # 10: ignore_paths that hide a signed file or the directory, allow_symlinks not a bool.
    manifest = bundle(tmp, keys["a"])
    sig = Path(f"{manifest}.sig")
    good = sig.read_bytes()
    edits: list[tuple[Callable[[dict[str, Any]], None], str]] = [
        (lambda st: st["predicate"]["serialization"]["ignore_paths"].append("rows.jsonl"),
         'names "rows.jsonl", which holds the signed file "rows.jsonl"'),
        (lambda st: st["predicate"]["serialization"]["ignore_paths"].append("./manifest.json"),
         "which holds the signed file \"manifest.json\""),
        (lambda st: st["predicate"]["serialization"]["ignore_paths"].append("."),
         "the signed directory itself"),
        (lambda st: st["predicate"]["serialization"].pop("allow_symlinks"),
         "allow_symlinks is missing"),
        (lambda st: st["predicate"]["serialization"].__setitem__("allow_symlinks", "false"),
         "allow_symlinks is not a bool"),
    ]
    for edit, fragment in edits:
        sig.write_bytes(good)
        resign(sig, keys["a"], edit)
        report = verify_signed_manifest(manifest, pub(keys["a"]))
        assert codes(report) == ["signature_bundle_invalid"], (fragment, report["signature"])
        assert fragment in report["signature"]["errors"][0]["message"]


def two_spellings_of_one_name(tmp: Path, keys: dict[str, Path]) -> None:
    # 11: the peer reads "./manifest.json" as "manifest.json" (and keeps the last digest).
    manifest = bundle(tmp, keys["a"])

    def add(st: dict[str, Any]) -> None:
        st["predicate"]["resources"].append(
            {"name": "./manifest.json", "algorithm": "sha256", "digest": "ab" * 32})

    resign(Path(f"{manifest}.sig"), keys["a"], add)
    report = verify_signed_manifest(manifest, pub(keys["a"]))
    assert codes(report) == ["signature_bundle_invalid"]
    assert 'resources "manifest.json" and "./manifest.json" name one file' in report[
        "signature"]["errors"][0]["message"]


def signatures_the_peer_would_refuse(tmp: Path, keys: dict[str, Path]) -> None:
    # 12: sign refuses and says why, and writes nothing.
    manifest = bundle(tmp, None)
    d = manifest.parent
    (d / "sub").mkdir()
    (d / "sub" / "link").symlink_to("../notes.txt")
    with pytest.raises(ValueError, match='"sub/link" in the manifest\'s directory is a symbolic'):
        sign_manifest(manifest, keys["a"])
    (d / "sub" / "link").unlink()
    bad = os.fsdecode(b"caf\xe9.txt")
    (d / bad).write_bytes(b"x")
    with pytest.raises(ValueError, match="is not UTF-8"):
        sign_manifest(manifest, keys["a"])
    (d / bad).unlink()
    os.mkfifo(d / "sub" / "pipe")
    with pytest.raises(ValueError, match="neither a regular file nor a directory"):
        sign_manifest(manifest, keys["a"])
    assert not Path(f"{manifest}.sig").exists()


def manifest_swapped_in_a_loop(tmp: Path, keys: dict[str, Path]) -> None:
    # 13: one read of the manifest. Another manifest (other files) is renamed in and out while
    # open_verified runs: each attempt opens one manifest's files or is refused for a reason of
    # that manifest, never "replaced during verification" for a file nobody replaced.
    manifest = bundle(tmp, keys["a"])
    d = manifest.parent
    a = d / "a.json"
    os.link(manifest, a)
    (d / "index2.rank_quant").write_bytes((d / "index.rank_quant").read_bytes())
    other = json.loads(manifest.read_text())
    other["artifact"]["path"] = "index2.rank_quant"
    b = write_manifest(d / "b.json", other)
    stop = threading.Event()

    def swap() -> None:
        while not stop.is_set():
            for source in (b, a):
                os.link(source, d / "next.json")
                os.replace(d / "next.json", manifest)

    swapper = threading.Thread(target=swap)
    swapper.start()
    false_alarms = []
    try:
        for attempt in range(300):
            signed = attempt % 2 == 0
            try:
                with open_verified(manifest, **({"trusted_keys": pub(keys["a"])} if signed
                                                else {})) as files:
                    assert Path(files.index.name).name in ("index.rank_quant", "index2.rank_quant")
            except VerificationFailed:
                assert signed  # B is not what was signed; both are valid unsigned
            except ValueError as exc:
                false_alarms.append(str(exc))
    finally:
        stop.set()
        swapper.join()
    assert false_alarms == []


def signed_unpinned_file_deleted(tmp: Path, keys: dict[str, Path]) -> None:
    # 14: listed as signed and missing; the manifest does not need it, so not refused.
    manifest = bundle(tmp, keys["a"])
    extra = manifest.parent / "extra.txt"
    extra.write_bytes(b"signed, not pinned\n")

    def add(st: dict[str, Any]) -> None:
        st["predicate"]["resources"].append(
            {"name": "extra.txt", "algorithm": "sha256", "digest": sha256_of(extra)})

    resign(Path(f"{manifest}.sig"), keys["a"], add)
    assert verify_signed_manifest(manifest, pub(keys["a"]))["signature"]["missing_resources"] == []
    extra.unlink()
    report = verify_signed_manifest(manifest, pub(keys["a"]))
    assert report["ok"], report["errors"]
    assert report["signature"]["unpinned_resources"] == ["extra.txt"]
    assert report["signature"]["missing_resources"] == ["extra.txt"]


def threshold_types_and_key_texts(tmp: Path, keys: dict[str, Path]) -> None:
    # 15: the types the docstring promises; a key file that is not a public key is named.
    manifest = bundle(tmp, keys["a"])
    with pytest.raises(TypeError, match="'bool' object is not an instance of 'int'"):
        verify_signed_manifest(manifest, pub(keys["a"]), threshold=True)
    with pytest.raises(ValueError, match="threshold must not be negative"):
        verify_signed_manifest(manifest, pub(keys["a"]), threshold=-1)
    with pytest.raises(ValueError, match=r"is a private key; pass its \.pub"):
        verify_signed_manifest(manifest, keys["a"])
    public = serialization.load_pem_public_key(Path(pub(keys["a"])).read_bytes())
    der_file = tmp / "a.der"
    der_file.write_bytes(public.public_bytes(serialization.Encoding.DER,
                                             serialization.PublicFormat.SubjectPublicKeyInfo))
    with pytest.raises(ValueError, match=r"is a DER \(binary\) public key"):
        verify_signed_manifest(manifest, der_file)
    private = serialization.load_pem_private_key(keys["a"].read_bytes(), None)
    assert isinstance(private, ec.EllipticCurvePrivateKey)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "signer")])
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(private.public_key()).serial_number(1)
            .not_valid_before(__import__("datetime").datetime(2020, 1, 1))
            .not_valid_after(__import__("datetime").datetime(2040, 1, 1))
            .sign(private, hashes.SHA256()))
    cert_file = tmp / "a.crt"
    cert_file.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    with pytest.raises(ValueError, match="is an X.509 certificate"):
        verify_signed_manifest(manifest, cert_file)
    with pytest.raises(ValueError, match="is a public key; signing needs the private key"):
        sign_manifest(manifest, pub(keys["a"]))


def entry_points_from_the_table(tmp: Path, keys: dict[str, Path]) -> None:
    # 21: every parameter in the signature line (the verify options and limits too), defaults
    # included; a lone path taken as a list natively.
    native = signing._native_sign
    params = inspect.signature(native.verify_signed_manifest).parameters
    assert list(params)[:10] == ["manifest", "trusted_keys", "signatures", "threshold",
                                 "max_signature_bytes", "load_plan", "index",
                                 "allow_absolute_paths", "allow_path_escape",
                                 "allow_duplicate_db_ids"]
    assert params["threshold"].default == 1 and "max_manifest_bytes" in params
    assert str(inspect.signature(native.generate_key)) == (
        "(path, key_type='ecdsa-p256', *, password=None)")
    assert "max_report_issues" in inspect.signature(native.sign_manifest).parameters
    manifest = bundle(tmp, keys["a"])
    assert native.verify_signed_manifest(manifest, pub(keys["a"]))["report"]["ok"]


ATTACKS: list[tuple[str, Callable[[Path, dict[str, Path]], None]]] = [
    ("1 a signed optional file deleted", missing_signed_optional_file),
    ("1 a pinned file changed is a digest mismatch", changed_pinned_file_is_a_digest_mismatch),
    ("2 the signature path a link out", signature_path_is_a_link_out),
    ("3 the signature path a signed file", signature_path_is_a_signed_file),
    ("4 a FIFO or a link out as the signature", fifo_or_link_out_as_signature),
    ("6 one key in three encodings", one_key_three_encodings),
    ("7 a small-order Ed25519 key", small_order_ed25519_key),
    ("8 passwords", passwords),
    ("9 an untrusted signature beside a good one", untrusted_signature_beside_a_good_one),
    ("10 the statement's serialization", statement_serialization),
    ("11 two spellings of one name", two_spellings_of_one_name),
    ("12 signatures the peer would refuse", signatures_the_peer_would_refuse),
    ("13 the manifest swapped in a loop", manifest_swapped_in_a_loop),
    ("14 a signed unpinned file deleted", signed_unpinned_file_deleted),
    ("15 threshold types and key texts", threshold_types_and_key_texts),
    ("21 entry points from the table", entry_points_from_the_table),
]


@pytest.mark.parametrize("attack", [a[1] for a in ATTACKS], ids=[a[0] for a in ATTACKS])
def test_attack(tmp_path: Path, keys: dict[str, Path],
                attack: Callable[[Path, dict[str, Path]], None]) -> None:
    attack(tmp_path, keys)


@pytest.mark.interop
def test_what_sign_writes_the_peer_verifies(tmp_path: Path, keys: dict[str, Path]) -> None:
    # 12: a directory with a subdirectory, hidden and unpinned files, and a second signing over
    # the first signature: the model-signing tool verifies every signature sign wrote.
    manifest = bundle(tmp_path, None, optional_aux=True)
    d = manifest.parent
    (d / "sub" / "deeper").mkdir(parents=True)
    (d / "sub" / "deeper" / "weights.bin").write_bytes(b"\0" * 10)
    (d / ".hidden").write_bytes(b"h")
    for _ in range(2):
        sign_manifest(manifest, keys["a"])
        checked = model_signing("verify", "key", d, "--signature", f"{manifest}.sig",
                                "--public_key", pub(keys["a"]))
        assert checked.returncode == 0, checked.stdout + checked.stderr
