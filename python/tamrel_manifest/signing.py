"""Signed bundles: a Sigstore bundle beside the manifest, signed with a key the loader trusts,
in the format the OpenSSF model-signing tool reads and writes.

The signature covers the manifest and every file it pins. Verification checks signatures
first, with the trusted keys only, and compares the signed digest of the manifest with the
bytes it then verifies, so a tampered manifest or an unknown signer is refused before any
pinned file is read.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
from collections.abc import Iterable
from types import ModuleType
from typing import TYPE_CHECKING, Any

import _tamrel_manifest
from tamrel_manifest import _untrusted

if TYPE_CHECKING:
    import _tamrel_sign as _native_sign
    from _tamrel_manifest import StrPath, VerificationReport


def _load_native() -> ModuleType:
    """The signing module, which lives in _tamrel_manifest's library (one copy of libcrypto and
    the C++ runtime): loaded from that file by its own init function's name."""
    name = "_tamrel_sign"
    if name in sys.modules:
        return sys.modules[name]
    path = _tamrel_manifest.__file__
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module_spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    assert module_spec is not None
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


if not TYPE_CHECKING:
    _native_sign = _load_native()

__all__ = [
    "DEFAULT_MAX_SIGNATURE_BYTES",
    "DEFAULT_MAX_SIGNED_BYTES",
    "DEFAULT_MAX_SIGNED_DEPTH",
    "DEFAULT_MAX_SIGNED_ENTRIES",
    "generate_key",
    "sign_manifest",
    "verify_signature",
    "verify_signed_manifest",
]

DEFAULT_MAX_SIGNATURE_BYTES: int = _native_sign.DEFAULT_MAX_SIGNATURE_BYTES
DEFAULT_MAX_SIGNED_ENTRIES: int = _native_sign.DEFAULT_MAX_SIGNED_ENTRIES
DEFAULT_MAX_SIGNED_DEPTH: int = _native_sign.DEFAULT_MAX_SIGNED_DEPTH
DEFAULT_MAX_SIGNED_BYTES: int = _native_sign.DEFAULT_MAX_SIGNED_BYTES


def _paths(value: StrPath | Iterable[StrPath]) -> list[StrPath]:
    if isinstance(value, (str, os.PathLike)):
        return [value]
    return list(value)


def generate_key(
    path: StrPath, key_type: str = "ecdsa-p256", *, password: str | None = None
) -> dict[str, str]:
    """Writes a new private key to `path` (PKCS#8 PEM, mode 0600, encrypted with `password` when
    given) and its public key to `path` + ".pub"; refuses to overwrite either. `key_type` is
    "ecdsa-p256" (the default), "ecdsa-p384" or "ecdsa-p521" (signed with SHA-256, SHA-384 and
    SHA-512, the pairs the model-signing tool reads), or "ed25519". Returns the key's id
    (SHA-256 of its SubjectPublicKeyInfo DER) and type."""
    result: dict[str, str] = _native_sign.generate_key(path, key_type, password=password)
    return result


def sign_manifest(
    manifest: StrPath,
    key: StrPath,
    *,
    signature: StrPath | None = None,
    password: str | None = None,
    certificate_chain: StrPath | Iterable[StrPath] | None = None,
    **verify_options: Any,
) -> dict[str, Any]:
    """Verifies `manifest`, then signs it and every file it pins with the private key `key`,
    writing the signature to `signature` (default: the manifest's path with ".sig" appended)
    atomically. Raises ValueError carrying the verification report (`report`) when verification
    fails, and ValueError when a pinned file lies outside the manifest's directory. With
    `certificate_chain` (the key's certificate, then any intermediates, PEM) the signature file
    is the model-signing tool's certificate bundle, carrying them leaf first; the leaf must hold
    the key's public key, and the key must be ECDSA. Returns what was signed: the signature's
    path, the key id and type, the resources and ignored paths, and the verification report."""
    _untrusted.require_regular_manifest(manifest)
    result: dict[str, Any] = _native_sign.sign_manifest(
        manifest,
        key,
        signature=signature,
        password=password,
        certificate_chain=None if certificate_chain is None else _paths(certificate_chain),
        **verify_options,
    )
    return result


def _certificate_options(
    trust_roots: StrPath | Iterable[StrPath] | None,
    certificate_identity: str | None,
    certificate_identity_regexp: str | None,
) -> dict[str, Any]:
    """The certificate trust options as the native entries take them; an identity narrows trust
    in certificates, so without trust roots it is a usage error, never ignored."""
    if trust_roots is None:
        for name, value in (("certificate_identity", certificate_identity),
                            ("certificate_identity_regexp", certificate_identity_regexp)):
            if value is not None:
                raise TypeError(f"{name} narrows trust in certificates: it needs trust_roots")
    return {
        "trust_roots": None if trust_roots is None else _paths(trust_roots),
        "certificate_identity": certificate_identity,
        "certificate_identity_regexp": certificate_identity_regexp,
    }


def verify_signed_manifest(
    manifest: StrPath,
    trusted_keys: StrPath | Iterable[StrPath] = (),
    *,
    signatures: StrPath | Iterable[StrPath] | None = None,
    threshold: int = 1,
    trust_roots: StrPath | Iterable[StrPath] | None = None,
    certificate_identity: str | None = None,
    certificate_identity_regexp: str | None = None,
    state: StrPath | None = None,
    series: str | None = None,
    **verify_options: Any,
) -> VerificationReport:
    """Checks the signature files (default: the manifest's path with ".sig" appended) with the
    trusted public keys, requires `threshold` distinct trusted signers and the manifest's signed
    digest, then verifies the manifest and requires every pinned file to be signed with the
    digest verification measured. A certificate bundle counts when its chain reaches one of
    `trust_roots` (CA certificates, PEM) at the current time, its leaf is for code signing,
    names `certificate_identity` (or fully matches `certificate_identity_regexp`) among its
    e-mail and URI names when given, and its key verifies the signature. Returns the
    verification report with a `signature` part; every refusal is an issue of the report (`ok`
    false). Raises what `verify_manifest` raises, ValueError for an unreadable trusted key or
    trust root, no trust source, an impossible threshold or an identity policy that cannot be
    used, and TypeError for an identity without trust roots.

    With `state` (a file the loader keeps), a bundle that passed is checked against the newest
    accepted in its `series` (default: the manifest's canonical path) and recorded when newer:
    an older `created_at`, another bundle with the same one, or one too far ahead of the clock
    is refused as an issue of the report, which gets a `rollback` part. A state file that is a
    link, not a private regular file, or not a state raises OSError or ValueError."""
    _untrusted.require_regular_manifest(manifest)
    rollback = _rollback_options(manifest, state, series)
    certificates = _certificate_options(trust_roots, certificate_identity,
                                        certificate_identity_regexp)
    result = _native_sign.verify_signed_manifest(
        manifest,
        _paths(trusted_keys),
        signatures=None if signatures is None else _paths(signatures),
        threshold=threshold,
        **certificates,
        **verify_options,
    )
    report: VerificationReport = result["report"]
    report["signature"] = result["signature"]  # type: ignore[typeddict-unknown-key]
    if rollback is not None:
        from tamrel_manifest import _state

        _state.apply(report, manifest, rollback, verify_options)  # type: ignore[arg-type]
    return report


def _rollback_options(manifest: StrPath, state: object, series: object) -> Any:
    """The checked `state` and `series` (None without them); the state module is loaded only
    by a caller that keeps one."""
    if state is None and series is None:
        return None
    from tamrel_manifest import _state

    return _state.checked_options(manifest, state, series)


def verify_signature(
    path: StrPath,
    signature: StrPath | Iterable[StrPath],
    *,
    trusted_keys: StrPath | Iterable[StrPath] | None = None,
    trust_roots: StrPath | Iterable[StrPath] | None = None,
    certificate_identity: str | None = None,
    certificate_identity_regexp: str | None = None,
    ignore_paths: StrPath | Iterable[StrPath] | None = None,
    threshold: int = 1,
    max_signature_bytes: int | None = None,
    max_entries: int | None = None,
    max_depth: int | None = None,
    max_bytes: int | None = None,
) -> dict[str, Any]:
    """Checks a signed directory, or one signed file, against its signature files alone, as the
    model-signing tool's `verify` does: the signatures with the trusted public keys first
    (`threshold` distinct trusted signers), then every file present (unless the signature or
    `ignore_paths`, relative to the directory, ignores it) must be signed with the digest it
    has, and every signed file must be present. Nothing below `path` is opened through a link
    unless the signature allows links (and then only inside the directory), only regular files
    are read, without blocking, and the walk stops at `max_entries` entries, `max_depth` levels
    and `max_bytes` bytes hashed. Returns {"ok", "path", "kind" ("directory" or "file"),
    "signatures" (each with the method that verified it and the signer), "files", "bytes",
    "ignored", "warnings", "errors"}; every refusal is among the errors (`ok` false). Raises
    ValueError for an unreadable trusted key, an impossible threshold or an ignore path outside
    the directory; TypeError for a threshold that is not an int. The certificate options are
    those of `verify_signed_manifest`."""
    if isinstance(threshold, bool) or not isinstance(threshold, int):
        raise TypeError(f"threshold must be an int, not {type(threshold).__name__}")
    certificates = _certificate_options(trust_roots, certificate_identity,
                                        certificate_identity_regexp)
    result: dict[str, Any] = _native_sign.verify_signature(
        path,
        _paths(signature),
        trusted_keys=None if trusted_keys is None else _paths(trusted_keys),
        **certificates,
        ignore_paths=None if ignore_paths is None else _paths(ignore_paths),
        threshold=threshold,
        max_signature_bytes=max_signature_bytes,
        max_entries=max_entries,
        max_depth=max_depth,
        max_bytes=max_bytes,
    )
    return result


def _verify_for_load(
    manifest: StrPath,
    trusted_keys: StrPath | Iterable[StrPath],
    signatures: StrPath | Iterable[StrPath] | None,
    threshold: int,
    options: dict[str, Any],
    rollback: Any = None,
) -> tuple[VerificationReport, Any, str | None, list[dict[str, Any]]]:
    """The signed report, the load plan when it passed or else the refusal's text, and the
    identity of every file the pass read (open_verified). Signatures are checked first, on the
    one read of the manifest; the rollback state (from `_rollback_options`) last, before any
    file is handed over."""
    result = _native_sign.verify_signed_manifest(
        manifest,
        _paths(trusted_keys),
        signatures=None if signatures is None else _paths(signatures),
        threshold=threshold,
        load_plan=True,
        **options,
    )
    report = result["report"]
    report["signature"] = result["signature"]
    plan, refusal = result["plan"], result["refusal"]
    if rollback is not None:
        from tamrel_manifest import _state

        # A bundle refused on its way to the loader was not accepted: it is not recorded.
        code = _state.apply(report, manifest, rollback, options, handed_over=plan is not None)
        if code is not None:
            plan, refusal = None, f"manifest verification failed: {code}"
    return report, plan, refusal, result["files"]


def _verify_for_load_files(manifest: StrPath, options: dict[str, Any]) -> dict[str, Any]:
    """verify_for_load on one read of the manifest: {"plan", "report" and "refusal" (of a
    refusal), "files": the identity of every file the pass read} (open_verified)."""
    result: dict[str, Any] = _native_sign._verify_for_load_files(manifest, **options)
    return result
