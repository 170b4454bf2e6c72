"""The certificate method: chains checked by libcrypto at the current time against the caller's
trust roots, the leaf for code signing, its identity, its key; thresholds across trust options;
and certificate bundles both ways with the model-signing tool."""

from __future__ import annotations

import base64
import json
import subprocess
from pathlib import Path
from typing import Any

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from tamrel_manifest import (
    VerificationFailed,
    generate_key,
    open_verified,
    sign_manifest,
    verify_signature,
    verify_signed_manifest,
)
from test_signing import model_signing, openssl_runs, pae, signed_bundle
from test_verify_signature import KEYS, codes, needs_testdata, tool_folder

pytestmark = pytest.mark.skipif(not openssl_runs(), reason="the openssl program cannot run here")

IDENTITY = "signer@example.com"


def openssl(*args: Any, cwd: Path) -> None:
    done = subprocess.run(["openssl", *map(str, args)], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def make_ca(root: Path, name: str) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    generate_key(root / f"{name}.key")
    openssl("req", "-x509", "-new", "-key", f"{name}.key", "-subj", f"/CN={name}", "-days", "30",
            "-addext", "basicConstraints=critical,CA:true",
            "-addext", "keyUsage=critical,keyCertSign", "-out", f"{name}.pem", cwd=root)
    return root / f"{name}.pem"


def make_leaf(ca: Path, key: Path, *, san: str = f"email:{IDENTITY}", eku: str = "codeSigning",
              days: int = 30, name: str = "leaf") -> Path:
    root = ca.parent
    openssl("req", "-new", "-key", key, "-subj", f"/CN={name}", "-out", f"{name}.csr", cwd=root)
    ext = [f"subjectAltName={san}", "keyUsage=critical,digitalSignature"]
    if eku:
        ext.append(f"extendedKeyUsage={eku}")
    (root / f"{name}.ext").write_text("\n".join(ext) + "\n")
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", ca, "-CAkey", ca.with_suffix(".key"),
            "-CAcreateserial", "-days", days, "-extfile", f"{name}.ext", "-out", f"{name}.pem",
            cwd=root)
    return root / f"{name}.pem"


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("pki")
    ca = make_ca(root / "ca", "test-ca")
    other = make_ca(root / "other", "other-ca")
    generate_key(root / "signer")
    generate_key(root / "intruder")
    return {"ca": ca, "other_ca": other, "key": root / "signer",
            "leaf": make_leaf(ca, root / "signer"),
            "tls_leaf": make_leaf(ca, root / "signer", eku="serverAuth", name="tls"),
            "expired_leaf": make_leaf(ca, root / "signer", days=-1, name="expired"),
            "uri_leaf": make_leaf(ca, root / "signer", san="URI:https://ci.example/build",
                                  name="uri"),
            "intruder": root / "intruder"}


def chain_signed(tmp_path: Path, pki: dict[str, Path], leaf: str = "leaf") -> Path:
    manifest = signed_bundle(tmp_path, pki["key"])
    sign_manifest(manifest, pki["key"], certificate_chain=[pki[leaf]])
    return manifest


def test_the_bundle_carries_the_chain_leaf_first(tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = signed_bundle(tmp_path, pki["key"])
    sign_manifest(manifest, pki["key"], certificate_chain=[pki["leaf"], pki["ca"]])
    material = json.loads(Path(f"{manifest}.sig").read_text())["verificationMaterial"]
    certs = material["x509CertificateChain"]["certificates"]
    der = [base64.b64decode(c["rawBytes"]) for c in certs]
    pem = [p.read_text() for p in (pki["leaf"], pki["ca"])]
    assert len(der) == 2 and "publicKey" not in material
    assert [x509.load_der_x509_certificate(d) for d in der] == [
        x509.load_pem_x509_certificate(p.encode()) for p in pem]


# What a signer without the CA's trust tries, the verification's options, the refusal (codes
# of the report's errors; [] for a signature that verifies).
ATTACKS: list[tuple[str, str, dict[str, Any], list[str]]] = [
    ("a leaf the CA issued", "leaf", {}, []),
    ("the leaf checked with another CA", "leaf", {"trust_roots": "other_ca"},
     ["signature_certificate_untrusted"]),
    ("a TLS certificate from the same CA", "tls_leaf", {}, ["signature_certificate_not_code_signing"]),
    ("an expired leaf", "expired_leaf", {}, ["signature_certificate_untrusted"]),
    ("another identity", "leaf", {"certificate_identity": "else@example.com"},
     ["signature_certificate_identity_mismatch"]),
    ("the identity exactly", "leaf", {"certificate_identity": IDENTITY}, []),
    ("a regexp that matches only part of the identity", "leaf",
     {"certificate_identity_regexp": "signer@example"}, ["signature_certificate_identity_mismatch"]),
    ("a regexp that matches the whole identity", "leaf",
     {"certificate_identity_regexp": r"signer@example\.(com|org)"}, []),
    ("an e-mail policy against a URI leaf", "uri_leaf", {"certificate_identity": IDENTITY},
     ["signature_certificate_identity_mismatch"]),
    ("a URI identity", "uri_leaf", {"certificate_identity": "https://ci.example/build"}, []),
]


@pytest.mark.parametrize(("leaf", "options", "expected"), [a[1:] for a in ATTACKS],
                         ids=[a[0] for a in ATTACKS])
def test_certificate_attack_is_refused(tmp_path: Path, pki: dict[str, Path], leaf: str,
                                       options: dict[str, Any], expected: list[str]) -> None:
    manifest = chain_signed(tmp_path, pki, leaf)
    options = {"trust_roots": "ca", **options}
    options["trust_roots"] = pki[options["trust_roots"]]
    report = verify_signed_manifest(manifest, **options)
    assert codes(report) == expected, report["errors"]
    if not expected:
        [signer] = report["signature"]["signatures"]
        assert signer["method"] == "certificate"
        assert signer["signer"] == signer["certificate"]["identity"]
        assert signer["certificate"]["trust_root"] == "CN=test-ca"
        assert report["row_identity"]["validated_rows"] == 3  # the pass ran


def test_a_chain_with_another_key_signing_is_refused(tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = chain_signed(tmp_path, pki)
    sig = Path(f"{manifest}.sig")
    bundle = json.loads(sig.read_text())
    payload = base64.b64decode(bundle["dsseEnvelope"]["payload"])
    intruder = serialization.load_pem_private_key(pki["intruder"].read_bytes(), None)
    assert isinstance(intruder, ec.EllipticCurvePrivateKey)
    bundle["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(
        intruder.sign(pae(payload), ec.ECDSA(hashes.SHA256()))).decode()
    sig.write_text(json.dumps(bundle))
    report = verify_signed_manifest(manifest, trust_roots=pki["ca"])
    assert codes(report) == ["signature_certificate_key_mismatch"]


def test_a_certificate_that_is_not_der_is_refused(tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = chain_signed(tmp_path, pki)
    sig = Path(f"{manifest}.sig")
    bundle = json.loads(sig.read_text())
    bundle["verificationMaterial"]["x509CertificateChain"]["certificates"][0]["rawBytes"] = (
        base64.b64encode(b"not a certificate").decode())
    sig.write_text(json.dumps(bundle))
    assert codes(verify_signed_manifest(manifest, trust_roots=pki["ca"])) == [
        "signature_certificate_invalid"]


# Which trust options select which method, and which are usage errors. Sources: K (the signer's
# key, trusted raw), R (the CA, as trust root); the threshold counts options met, each once,
# and a signer once by public key.
COMBINATIONS: list[tuple[str, dict[str, Any], Any]] = [
    ("no trust source", {}, (ValueError, "no trusted key given")),
    ("an identity alone", {"certificate_identity": IDENTITY},
     (TypeError, "needs trust_roots")),
    ("a regexp alone", {"certificate_identity_regexp": ".*"}, (TypeError, "needs trust_roots")),
    ("both identity forms", {"R": 1, "certificate_identity": IDENTITY,
                             "certificate_identity_regexp": ".*"}, (ValueError, "not both")),
    ("an empty identity", {"R": 1, "certificate_identity": ""}, (ValueError, "is empty")),
    ("a regexp that does not compile", {"R": 1, "certificate_identity_regexp": "("},
     (ValueError, "does not compile")),
    ("a threshold beyond the options", {"R": 1, "threshold": 2}, (ValueError, "threshold 2")),
    ("K: the key method", {"K": 1}, ("key", [])),
    ("R: the certificate method", {"R": 1}, ("certificate", [])),
    ("K and R: the raw key decides first", {"K": 1, "R": 1}, ("key", [])),
    ("K and R, threshold 2: one signer counts once", {"K": 1, "R": 1, "threshold": 2},
     (None, ["signature_threshold_not_met"])),
]


@pytest.mark.parametrize(("options", "outcome"), [c[1:] for c in COMBINATIONS],
                         ids=[c[0] for c in COMBINATIONS])
def test_trust_option_combinations(tmp_path: Path, pki: dict[str, Path], options: dict[str, Any],
                                   outcome: Any) -> None:
    manifest = chain_signed(tmp_path, pki)
    options = dict(options)
    keys = [f"{pki['key']}.pub"] if options.pop("K", None) else []
    if options.pop("R", None):
        options["trust_roots"] = pki["ca"]
    first, second = outcome
    if isinstance(first, type):
        with pytest.raises(first, match=second):
            verify_signed_manifest(manifest, keys, **options)
        with pytest.raises(first, match=second):
            verify_signature(manifest.parent, f"{manifest}.sig", trusted_keys=keys, **options)
        return
    report = verify_signed_manifest(manifest, keys, **options)
    assert codes(report) == second, report["errors"]
    if first is not None:
        assert report["signature"]["signatures"][0]["method"] == first


def test_two_signers_one_raw_and_one_certified_meet_threshold_two(
        tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = chain_signed(tmp_path, pki)
    other = tmp_path / "other.sig"
    sign_manifest(manifest, pki["intruder"], signature=other)
    report = verify_signed_manifest(manifest, f"{pki['intruder']}.pub", trust_roots=pki["ca"],
                                    signatures=[f"{manifest}.sig", other], threshold=2)
    assert report["ok"], report["errors"]
    assert [s["method"] for s in report["signature"]["signatures"]] == ["certificate", "key"]


@pytest.mark.parametrize(("chain", "fragment"), [
    ("other", "another public key than the signing key"),
    ("ed25519", "not an ECDSA key"),
])
def test_sign_refuses_a_chain_the_tool_would_refuse(tmp_path: Path, pki: dict[str, Path],
                                                    chain: str, fragment: str) -> None:
    manifest = signed_bundle(tmp_path, pki["key"])
    key = pki["intruder"]
    if chain == "ed25519":
        generate_key(tmp_path / "ed", "ed25519")
        key = tmp_path / "ed"
    with pytest.raises(ValueError, match=fragment):
        sign_manifest(manifest, key, certificate_chain=[pki["leaf"]], signature=tmp_path / "x")


@needs_testdata
@pytest.mark.parametrize(("trust_root", "options", "tamper", "expected"), [
    ("ca-cert.pem", {}, False, []),
    ("ca-cert.pem", {}, True, ["signature_file_changed"]),
    ("OTHER", {}, False, ["signature_certificate_untrusted"]),
    ("ca-cert.pem", {"certificate_identity": IDENTITY}, False,
     ["signature_certificate_identity_mismatch"]),
])
def test_the_tools_certificate_folder(tmp_path: Path, pki: dict[str, Path], trust_root: str,
                                      options: dict[str, Any], tamper: bool,
                                      expected: list[str]) -> None:
    folder = tool_folder(tmp_path, "v1.0.1-certificate")
    if tamper:
        (folder / "signme-2").write_bytes(b"changed")
    root = pki["other_ca"] if trust_root == "OTHER" else KEYS / trust_root
    result = verify_signature(folder, folder / "model.sig", trust_roots=root,
                              ignore_paths=["ignore-me"], **options)
    assert codes(result) == expected, result["errors"]
    if not expected:
        assert result["signatures"][0]["certificate"]["trust_root"] == "CN=root-ca"


@pytest.mark.interop
def test_model_signing_reads_our_certificate_bundle(tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = chain_signed(tmp_path, pki)
    theirs = model_signing("verify", "certificate", manifest.parent, "--signature",
                           f"{manifest}.sig", "--certificate_chain", pki["ca"])
    assert theirs.returncode == 0, theirs.stdout + theirs.stderr


@pytest.mark.interop
def test_the_tools_certificate_bundle_verifies_here(tmp_path: Path, pki: dict[str, Path]) -> None:
    manifest = signed_bundle(tmp_path, pki["key"])
    sig = Path(f"{manifest}.sig")
    sig.unlink()
    signed = model_signing("sign", "certificate", manifest.parent, "--private_key", pki["key"],
                           "--signing_certificate", pki["leaf"], "--certificate_chain", pki["ca"],
                           "--signature", sig)
    assert signed.returncode == 0, signed.stderr
    report = verify_signed_manifest(manifest, trust_roots=pki["ca"],
                                    certificate_identity=IDENTITY)
    assert report["ok"], report["errors"]
    assert report["signature"]["signatures"][0]["signer"] == IDENTITY


@pytest.mark.parametrize(("options", "outcome"), [
    ({"trust_roots": "ca", "certificate_identity": IDENTITY}, None),
    ({"trust_roots": "other_ca"}, VerificationFailed),
    ({"certificate_identity": IDENTITY}, TypeError),
])
def test_open_verified_trusts_certificates_as_verify_does(
        tmp_path: Path, pki: dict[str, Path], options: dict[str, Any], outcome: Any) -> None:
    manifest = chain_signed(tmp_path, pki)
    if "trust_roots" in options:
        options["trust_roots"] = pki[options["trust_roots"]]
    if outcome is None:
        with open_verified(manifest, **options) as files:
            assert files.index.read(4)
        return
    with pytest.raises(outcome):
        with open_verified(manifest, **options):
            pass
