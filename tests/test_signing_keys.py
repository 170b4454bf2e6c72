"""Key types: each curve signed with the hash the model-signing tool pairs with it, one id per
key whatever its encoding, and curves the tool does not read refused by name."""

from __future__ import annotations

import base64
import json
from pathlib import Path

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from tamrel_manifest import generate_key, sign_manifest, verify_signed_manifest
from test_signing import model_signing, pae, signed_bundle

# keygen's name, the curve, the hash that signature must use.
EC_TYPES = [
    ("ecdsa-p256", ec.SECP256R1, hashes.SHA256),
    ("ecdsa-p384", ec.SECP384R1, hashes.SHA384),
    ("ecdsa-p521", ec.SECP521R1, hashes.SHA512),
]
OTHER_HASH = {hashes.SHA256: hashes.SHA512, hashes.SHA384: hashes.SHA256,
              hashes.SHA512: hashes.SHA384}


@pytest.mark.parametrize(("key_type", "curve", "digest"), EC_TYPES)
def test_curve_signed_with_a_weaker_or_other_hash_is_refused(
        tmp_path: Path, key_type: str, curve: type, digest: type) -> None:
    key = tmp_path / "k"
    assert generate_key(key, key_type)["key_type"] == key_type
    public = serialization.load_pem_public_key(Path(f"{key}.pub").read_bytes())
    assert isinstance(public, ec.EllipticCurvePublicKey) and isinstance(public.curve, curve)
    manifest = signed_bundle(tmp_path, key)
    envelope = json.loads(Path(f"{manifest}.sig").read_text())["dsseEnvelope"]
    message = pae(base64.b64decode(envelope["payload"]))
    sig = base64.b64decode(envelope["signatures"][0]["sig"])
    public.verify(sig, message, ec.ECDSA(digest()))
    with pytest.raises(InvalidSignature):
        public.verify(sig, message, ec.ECDSA(OTHER_HASH[digest]()))
    report = verify_signed_manifest(manifest, f"{key}.pub")
    assert report["ok"], report["errors"]
    assert report["signature"]["signatures"][0]["key_type"] == key_type

    # A signature made with the other hash (what a verifier pairing hashes wrongly would take)
    # does not verify here.
    private = serialization.load_pem_private_key(key.read_bytes(), None)
    assert isinstance(private, ec.EllipticCurvePrivateKey)
    bundle = json.loads(Path(f"{manifest}.sig").read_text())
    bundle["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(
        private.sign(message, ec.ECDSA(OTHER_HASH[digest]()))).decode()
    Path(f"{manifest}.sig").write_text(json.dumps(bundle))
    refused = verify_signed_manifest(manifest, f"{key}.pub")
    assert [e["code"] for e in refused["errors"]] == ["signature_untrusted_key"]


@pytest.mark.parametrize(("key_type", "curve", "digest"), EC_TYPES)
def test_one_key_in_compressed_form_is_the_same_signer(
        tmp_path: Path, key_type: str, curve: type, digest: type) -> None:
    key = tmp_path / "k"
    key_id = generate_key(key, key_type)["key_id"]
    public = serialization.load_pem_public_key(Path(f"{key}.pub").read_bytes())
    assert isinstance(public, ec.EllipticCurvePublicKey)
    point = public.public_bytes(serialization.Encoding.X962,
                                serialization.PublicFormat.CompressedPoint)
    compressed = ec.EllipticCurvePublicKey.from_encoded_point(curve(), point)
    (tmp_path / "c.pub").write_bytes(compressed.public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    manifest = signed_bundle(tmp_path, key)
    report = verify_signed_manifest(manifest, [f"{key}.pub", tmp_path / "c.pub"])
    assert report["ok"] and report["signature"]["trusted_key_ids"] == [key_id]


@pytest.mark.parametrize(("curve", "name"), [(ec.SECP224R1, "secp224r1"),
                                             (ec.SECP256K1, "secp256k1"),
                                             (ec.BrainpoolP384R1, "brainpoolP384r1")])
def test_key_on_a_curve_the_tool_does_not_read_is_refused_by_name(
        tmp_path: Path, curve: type, name: str) -> None:
    pub = tmp_path / "k.pub"
    pub.write_bytes(ec.generate_private_key(curve()).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    generate_key(tmp_path / "a")
    manifest = signed_bundle(tmp_path, tmp_path / "a")
    with pytest.raises(ValueError, match=f"an EC key on curve {name}; keys are ECDSA P-256, "
                                         "P-384 or P-521, or Ed25519"):
        verify_signed_manifest(manifest, pub)


def test_unknown_key_type_names_the_types(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="`ecdsa-p384`, `ecdsa-p521`"):
        generate_key(tmp_path / "k", "ecdsa-p192")


@pytest.mark.interop
@pytest.mark.parametrize("key_type", ["ecdsa-p384", "ecdsa-p521"])
def test_model_signing_reads_our_p384_and_p521_signatures(tmp_path: Path, key_type: str) -> None:
    key = tmp_path / "k"
    generate_key(key, key_type)
    manifest = signed_bundle(tmp_path, key)
    theirs = model_signing("verify", "key", manifest.parent, "--signature", f"{manifest}.sig",
                           "--public_key", f"{key}.pub")
    assert theirs.returncode == 0, theirs.stdout + theirs.stderr
    # The tool's own signature over the bundle, with the same key, reads here.
    Path(f"{manifest}.sig").unlink()
    signed = model_signing("sign", "key", manifest.parent, "--private_key", key,
                           "--signature", f"{manifest}.sig")
    assert signed.returncode == 0, signed.stderr
    assert verify_signed_manifest(manifest, f"{key}.pub")["ok"]
    assert sign_manifest(manifest, key, signature=tmp_path / "again.sig")["key_type"] == key_type
