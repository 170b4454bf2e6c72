"""Hints for the usual real causes of a file that does not match its manifest, for the human
output of the command-line tool. The report's own messages are never changed."""

from __future__ import annotations

import json
import os
import re
import stat
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, VerificationReport

EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
LFS_POINTER_PREFIX = b"version https://git-lfs"
_LFS_OID = re.compile(rb"^oid sha256:([0-9a-f]{64})$", re.MULTILINE)
_LFS_SIZE = re.compile(rb"^size ([0-9]+)$", re.MULTILINE)


class FileCheck(NamedTuple):
    """One file as the report saw it and as the manifest declares it."""

    label: str  # "artifact", "row map", "auxiliary artifact 'x'", ...
    shown_path: str | None  # the path as the manifest writes it, for the reader
    path: str | None  # the canonical path that verification read
    measured_sha256: str | None
    declared_sha256: str | None
    measured_size: int | None
    declared_size: int | None


def _head(path: str, limit: int = 512) -> bytes | None:
    # Non-blocking and regular files only: a hint must never hang on a FIFO or a device.
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


def quoted(name: str) -> str:
    """A name as the module's messages show it: in double quotes, with escapes."""
    return json.dumps(name, ensure_ascii=False)


def _bytes(count: int) -> str:
    return "1 byte" if count == 1 else f"{count} bytes"


def hints_for_file(check: FileCheck) -> list[str]:
    name = f"{check.label} {check.shown_path or check.path}"
    hints = []
    matched = check.measured_sha256 is not None and check.measured_sha256 == check.declared_sha256
    head = _head(check.path) if check.path is not None and not matched else None
    if head is not None and head.startswith(LFS_POINTER_PREFIX):
        hint = f"{name} is a Git LFS pointer, not the file's content"
        oid, size = _LFS_OID.search(head), _LFS_SIZE.search(head)
        if oid is not None and oid.group(1).decode() == check.declared_sha256:
            hint += " (it points at the declared content"
            if size is not None:
                hint += f", {_bytes(int(size.group(1)))}"
            hint += ")"
        hints.append(hint + "; fetch it (git lfs pull) and verify again")
        return hints
    if check.measured_sha256 == EMPTY_SHA256 and check.declared_sha256 != EMPTY_SHA256:
        hints.append(f"{name} is empty (e3b0c442… is the SHA-256 of no bytes)")
    elif check.declared_sha256 == EMPTY_SHA256 and check.measured_sha256 not in (
        None,
        EMPTY_SHA256,
    ):
        hints.append(
            f"the manifest declares the SHA-256 of no bytes (e3b0c442…) for {name}:"
            " it was made from an empty file"
        )
    if (
        check.measured_size is not None
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


def report_hints(report: VerificationReport, manifest: IndexManifest | None) -> list[str]:
    """Hints for a failed report; none for a clean one."""
    if report["ok"]:
        return []
    return [hint for check in file_checks(report, manifest) for hint in hints_for_file(check)]
