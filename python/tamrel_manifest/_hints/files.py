"""Hints about the files themselves: what their first bytes are (an index's magic, a Git LFS
pointer, a byte-order mark), and how their size and digest differ from what the manifest
declares."""

from __future__ import annotations

import os
import re
import stat
from typing import TYPE_CHECKING, NamedTuple

from tamrel_manifest._words import counted, quoted

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, VerificationReport

EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
LFS_POINTER_PREFIX = b"version https://git-lfs"
_LFS_OID = re.compile(rb"^oid sha256:([0-9a-f]{64})$", re.MULTILINE)
_LFS_SIZE = re.compile(rb"^size ([0-9]+)$", re.MULTILINE)

PROBE_FAILED = "artifact_probe_failed"
KIND_MISMATCH = "artifact_kind_mismatch"
# The header facts that make the index a different index, not a shorter or longer one.
HEADER_MISMATCH = frozenset({
    KIND_MISMATCH, "artifact_params_mismatch", "artifact_format_version_mismatch",
    "artifact_dim_mismatch", "artifact_bytes_per_vec_mismatch",
})

CODES = frozenset({PROBE_FAILED, *HEADER_MISMATCH})

PATTERNS = {
    # the probe's refusal of the first bytes, in artifact_probe_failed and at creation
    "unknown_magic": re.compile(r"unknown tamrel index magic$"),
    # artifact_kind_mismatch: the kinds as the module's messages name them
    "kind_mismatch": re.compile(r"^artifact kind was ([A-Za-z]+), manifest declares ([A-Za-z]+)$"),
    # any probe failure at creation (an OSError whose text is the probe's)
    "probe": re.compile(
        r"^(unknown tamrel index magic|tamrel index header truncated while reading magic"
        r"|K[XY][A-Z0-9]{2} .*|unsupported K[XY][A-Z0-9]{2} .*|dim [0-9]+ out of range.*"
        r"|n_vectors [0-9]+ exceeds .*|payload [0-9]+ B exceeds .*)$"),
}


class FileCheck(NamedTuple):
    """One file as the report saw it and as the manifest declares it."""

    label: str  # "artifact", "row map", "auxiliary artifact 'x'", ...
    shown_path: str | None  # the path as the manifest writes it, for the reader
    path: str | None  # the canonical path that verification read
    measured_sha256: str | None
    declared_sha256: str | None
    measured_size: int | None
    declared_size: int | None


def head(path: str, limit: int = 512) -> bytes | None:
    """The first `limit` bytes of a regular file; None for anything else or an unreadable
    file. Non-blocking and regular files only: a hint must never hang on a FIFO or a device."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return os.read(fd, limit)
    except OSError:
        return None
    finally:
        os.close(fd)


def _bytes(count: int) -> str:
    return counted(count, "byte")


def hints_for_file(check: FileCheck, same_kind: bool = True) -> list[str]:
    """Hints for one file. `same_kind` False: the file is another kind of file than the one
    declared (another index kind or header, or no index at all), so its size says nothing."""
    name = f"{check.label} {check.shown_path or check.path}"
    hints = []
    matched = check.measured_sha256 is not None and check.measured_sha256 == check.declared_sha256
    first = head(check.path) if check.path is not None and not matched else None
    if first is not None and first.startswith(LFS_POINTER_PREFIX):
        hint = f"{name} is a Git LFS pointer, not the file's content"
        oid, size = _LFS_OID.search(first), _LFS_SIZE.search(first)
        if oid is not None and oid.group(1).decode() == check.declared_sha256:
            hint += " (it points at the declared content"
            if size is not None:
                hint += f", {_bytes(int(size.group(1)))}"
            hint += ")"
        hints.append(hint + "; fetch it (git lfs pull) and verify again")
        return hints
    if check.measured_sha256 == EMPTY_SHA256 and check.declared_sha256 != EMPTY_SHA256:
        hints.append(f"{name} is empty (e3b0c442… is the SHA-256 of no bytes)")
        return hints
    if check.declared_sha256 == EMPTY_SHA256 and check.measured_sha256 not in (
        None,
        EMPTY_SHA256,
    ):
        hints.append(
            f"the manifest declares the SHA-256 of no bytes (e3b0c442…) for {name}:"
            " it was made from an empty file"
        )
    if (
        same_kind
        and check.measured_size is not None
        and check.declared_size is not None
        and check.measured_size != check.declared_size
    ):
        difference = check.measured_size - check.declared_size
        relation = "longer" if difference > 0 else "shorter"
        hints.append(
            f"{name} is {_bytes(abs(difference))} {relation} than declared"
            f" ({check.measured_size} bytes, manifest declares {check.declared_size})"
        )
    return hints


def input_hints(label: str, path: str, message: str) -> list[str]:
    """Hints for an input the probe refused at creation with `message`: a pointer, an empty
    file, or the first bytes of a file that is no index (not of one whose kind the probe knew,
    such as a truncated one: the message says what is wrong with it)."""
    pointer = hints_for_file(FileCheck(label, path, path, None, None, None, None))
    if pointer:
        return pointer
    if head(path, 1) == b"":
        return [f"{label} {path} is empty"]
    if not PATTERNS["unknown_magic"].search(message):
        return []
    magic = magic_hint(f"{label} {path}", path)
    return [] if magic is None else [magic]


def file_checks(report: VerificationReport, manifest: IndexManifest | None) -> list[FileCheck]:
    """Every file of the report that verification located, with what the manifest declares of it
    (`manifest` None: only what the report knows)."""
    checks = []
    artifact = report["artifact"]
    declared = manifest["artifact"] if manifest is not None else None
    checks.append(
        FileCheck(
            "artifact",
            artifact["observed_path"],
            artifact["canonical_path"],
            artifact["sha256"],
            declared["sha256"] if declared is not None else None,
            artifact["size_bytes"],
            declared["file_size_bytes"] if declared is not None else None,
        )
    )
    for facts in report["auxiliary_artifacts"]:
        checks.append(
            FileCheck(
                f"auxiliary artifact {quoted(facts['name'])}",
                facts["manifest_path"],
                facts["canonical_path"],
                facts["sha256"],
                facts["expected_sha256"],
                facts["size_bytes"],
                facts["expected_size_bytes"],
            )
        )
    rows = report["row_identity"]
    declared_rows = manifest["row_identity"] if manifest is not None else None
    checks.append(
        FileCheck(
            "row map",
            rows["manifest_path"],
            rows["canonical_path"],
            rows["sha256"],
            declared_rows["sha256"] if declared_rows and declared_rows["kind"] == "jsonl" else None,
            None,
            None,
        )
    )
    blocks = (
        ("encoder distortion profile", report["encoder_distortion"], "encoder_distortion"),
        ("calibration profile", report["calibration"], "calibration"),
    )
    for label, facts_block, key in blocks:
        block = manifest.get(key) if manifest is not None else None
        profile = block.get("profile") if isinstance(block, dict) else None
        checks.append(
            FileCheck(
                label,
                facts_block["profile_manifest_path"],
                facts_block["profile_canonical_path"],
                facts_block["profile_sha256"],
                profile["sha256"] if isinstance(profile, dict) else None,
                facts_block["profile_size_bytes"],
                profile["file_size_bytes"] if isinstance(profile, dict) else None,
            )
        )
    return [check for check in checks if check.path is not None]


def probe_message(report: VerificationReport) -> str | None:
    return next((i["message"] for i in report["errors"] if i["code"] == PROBE_FAILED), None)


def unknown_magic(report: VerificationReport) -> bool:
    """Whether the probe refused the index's first bytes as no known format."""
    probe = probe_message(report)
    return probe is not None and PATTERNS["unknown_magic"].search(probe) is not None


def same_kind(report: VerificationReport) -> bool:
    """Whether the index is the kind of file the manifest declares, so that its size tells how
    much of it is missing or extra."""
    codes = [issue["code"] for issue in report["errors"]]
    return not HEADER_MISMATCH.intersection(codes) and not unknown_magic(report)


def manifest_kind(name: str) -> str:
    """A kind as the module's messages name it ("RankQuant") as a manifest writes it
    ("rank_quant")."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).lower()


def kind_hints(report: VerificationReport) -> list[str]:
    """The kinds of an index that is not the kind declared, by the names the manifest uses."""
    for issue in report["errors"]:
        match = PATTERNS["kind_mismatch"].match(issue["message"])
        if issue["code"] == KIND_MISMATCH and match:
            found, declared = match.groups()
            return [
                f"artifact {report['artifact']['observed_path']} is a {manifest_kind(found)}"
                f" index, the manifest declares {manifest_kind(declared)} ({found} and"
                f" {declared} in the message)"
            ]
    return []


def artifact_magic_hints(report: VerificationReport) -> list[str]:
    """What the index's first bytes are, when the probe knew no format by them."""
    artifact = report["artifact"]
    if artifact["canonical_path"] is None or not unknown_magic(report):
        return []
    hint = magic_hint(f"artifact {artifact['observed_path']}", artifact["canonical_path"])
    return [] if hint is None else [hint]


_MAGICS = (
    (b"\x1f\x8b", "a gzip file: decompress it first"),
    (b"PK\x03\x04", "a zip archive: extract the index from it"),
    (b"\x89PNG", "a PNG image"),
    (LFS_POINTER_PREFIX, "a Git LFS pointer: fetch it (git lfs pull)"),
)


def magic_hint(label: str, path: str) -> str | None:
    first = head(path, 64)
    if not first or first.startswith(LFS_POINTER_PREFIX):
        return None  # an empty file and a pointer have hints of their own
    first = first[:16]
    shown = first.hex(" ")
    guess = next((what for prefix, what in _MAGICS if first.startswith(prefix)), None)
    if guess is None and first[:1] in (b"{", b"["):
        guess = "JSON, not an index file"
    elif guess is None and first and all(32 <= b < 127 or b in b"\t\r\n" for b in first):
        guess = "text, not an index file"
    hint = f"{label} starts with bytes {shown}"
    return hint + (f": {guess}" if guess else ", which is no known index format")


BOM = b"\xef\xbb\xbf"


def bom_hint(label: str, shown: str, path: str) -> str | None:
    if head(path, 3) != BOM:
        return None
    return (
        f"{label} {shown} starts with a byte-order mark (EF BB BF), which JSON does not allow;"
        " save it as UTF-8 without a BOM"
    )
