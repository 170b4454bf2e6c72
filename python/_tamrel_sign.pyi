# Types of the native signing module. Results are plain dicts made by json.loads.
from collections.abc import Iterable
from typing import Any

from _tamrel_manifest import StrPath

DEFAULT_MAX_SIGNATURE_BYTES: int
DEFAULT_MAX_SIGNED_ENTRIES: int
DEFAULT_MAX_SIGNED_DEPTH: int
DEFAULT_MAX_SIGNED_BYTES: int

def generate_key(
    path: StrPath, key_type: str = "ecdsa-p256", *, password: str | None = None
) -> dict[str, str]: ...
def sign_manifest(
    manifest: StrPath,
    key: StrPath,
    *,
    signature: StrPath | None = None,
    password: str | None = None,
    certificate_chain: Iterable[StrPath] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    **limits: int | None,
) -> dict[str, Any]: ...
def verify_signed_manifest(
    manifest: StrPath,
    trusted_keys: StrPath | Iterable[StrPath],
    *,
    signatures: StrPath | Iterable[StrPath] | None = None,
    threshold: int = 1,
    max_signature_bytes: int | None = None,
    load_plan: bool = False,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    trust_roots: Iterable[StrPath] | None = None,
    certificate_identity: str | None = None,
    certificate_identity_regexp: str | None = None,
    **limits: int | None,
) -> dict[str, Any]: ...

def verify_signature(
    path: StrPath,
    signatures: StrPath | Iterable[StrPath],
    *,
    trusted_keys: Iterable[StrPath] | None = None,
    trust_roots: Iterable[StrPath] | None = None,
    certificate_identity: str | None = None,
    certificate_identity_regexp: str | None = None,
    ignore_paths: Iterable[StrPath] | None = None,
    threshold: int = 1,
    max_signature_bytes: int | None = None,
    max_entries: int | None = None,
    max_depth: int | None = None,
    max_bytes: int | None = None,
) -> dict[str, Any]: ...

# Private (the Sigstore method): the binding of a DSSE payload the sigstore package verified, by
# the code every method binds through; results as verify_signed_manifest's and
# verify_signature's.
def _bind_verified_manifest(
    manifest: StrPath,
    signature: StrPath,
    method: str,
    signer: str,
    *,
    payload: bytes | None = None,
    load_plan: bool = False,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    **limits: int | None,
) -> dict[str, Any]: ...
def _bind_verified_tree(
    path: StrPath,
    signature: StrPath,
    method: str,
    signer: str,
    *,
    payload: bytes | None = None,
    ignore_paths: Iterable[StrPath] | None = None,
    max_entries: int | None = None,
    max_depth: int | None = None,
    max_bytes: int | None = None,
) -> dict[str, Any]: ...

# Private (open_verified): verify_for_load on one read of the manifest, with the identity of
# every file the pass read: {"plan", "report", "refusal", "files"}.
def _verify_for_load_files(
    manifest: StrPath,
    *,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    **limits: int | None,
) -> dict[str, Any]: ...
