"""open_verified: verify a manifest, then open the files it pins, refusing any file that is not
the one verification read.

Verifying a file by path and opening it later by path leaves a gap in which the file can be
replaced or rewritten. A loader cannot close that gap alone; this module does it by comparing the
identity of each file (device, inode, size, modification and status-change times) as the
verification pass read it (taken on the descriptor it read) with the identity of the file
actually opened afterwards. The manifest is read once, by that pass.
"""

from __future__ import annotations

import contextlib
import errno
import functools
import json
import os
import stat
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple

import _tamrel_manifest as _native
from tamrel_manifest import _trust, _untrusted

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from _tamrel_manifest import (
        LoadPlan,
        StrPath,
        VerificationReport,
        VerifyOptions,
    )

__all__ = ["VerificationFailed", "VerifiedFiles", "open_verified", "verify_for_load"]


class VerificationFailed(ValueError):
    """Verification found issues, so nothing was opened. The text is that of `verify_for_load`'s
    refusal ("manifest verification failed: ..."); `report` is the whole verification report."""

    def __init__(self, message: str, report: VerificationReport) -> None:
        super().__init__(message)
        self.report = report


@functools.wraps(_native.verify_for_load)
def verify_for_load(manifest: StrPath, **options: Unpack[VerifyOptions]) -> LoadPlan:
    # The module's call, raising VerificationFailed (a ValueError with the same text, carrying
    # the report) when verification finds issues.
    try:
        plan: LoadPlan = _native.verify_for_load(manifest, **options)
    except ValueError as exc:
        report: VerificationReport | None = getattr(exc, "report", None)
        if report is None:
            raise
        raise VerificationFailed(str(exc), report) from None
    return plan


# Errors of a no-follow open that mean the path no longer leads to the file that was verified:
# a link now stands in it (ELOOP on Linux, EMLINK on some BSDs, ENOTDIR for a directory that
# became a link) or the file was moved away.
_PATH_CHANGED = {errno.ELOOP, errno.EMLINK, errno.ENOTDIR, errno.ENOENT}


@dataclass(frozen=True)
class VerifiedFiles:
    """What `open_verified` yields: the load plan and the files it names, open for reading.

    `auxiliary_artifacts` maps the name of every verified auxiliary artifact to its open file;
    an optional artifact that was absent has no entry. `row_map` is None when row ids are their
    own identity."""

    plan: LoadPlan
    index: BinaryIO
    row_map: BinaryIO | None
    auxiliary_artifacts: Mapping[str, BinaryIO]


class _Identity(NamedTuple):
    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @classmethod
    def of(cls, st: os.stat_result) -> _Identity:
        return cls(st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def _identities(files: list[dict[str, Any]]) -> dict[str, _Identity]:
    # The files the pass read, by canonical path (the plan's paths are canonical).
    return {
        f["path"]: _Identity(f["device"], f["inode"], f["size"], f["mtime_ns"], f["ctime_ns"])
        for f in files
    }


def _open_no_follow(path: str) -> int:
    """Opens a canonical path for reading without following a link in any component."""
    flags = (
        os.O_RDONLY
        | getattr(os, "O_NOFOLLOW", 0)
        | getattr(os, "O_CLOEXEC", 0)
        | getattr(os, "O_NONBLOCK", 0)  # never wait on a FIFO that took the file's place
    )
    if not (hasattr(os, "O_NOFOLLOW") and os.open in os.supports_dir_fd and os.path.isabs(path)):
        return os.open(path, flags)
    # O_PATH needs no read permission on the directories, only search permission.
    dir_flags = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC
    parts = [part for part in path.split(os.sep) if part]
    dir_fd = os.open(os.sep, dir_flags)
    try:
        for part in parts[:-1]:
            next_fd = os.open(part, dir_flags | os.O_NOFOLLOW, dir_fd=dir_fd)
            os.close(dir_fd)
            dir_fd = next_fd
        return os.open(parts[-1] if parts else ".", flags, dir_fd=dir_fd)
    finally:
        os.close(dir_fd)


def _describe_change(before: _Identity, after: _Identity) -> str:
    if (before.device, before.inode) != (after.device, after.inode):
        return (
            "it was replaced during verification: the opened file is not the inode that was"
            f" verified (device {before.device} inode {before.inode} when verified,"
            f" device {after.device} inode {after.inode} when opened)"
        )
    changes = [
        f"{name} {old} -> {new}"
        for name, old, new in zip(("size", "mtime_ns", "ctime_ns"), before[2:], after[2:])
        if old != new
    ]
    return "it changed during verification (" + ", ".join(changes) + ")"


def _open_pinned(
    label: str, path: str, before: _Identity | None, measured_size: int | None
) -> BinaryIO:
    """Opens a verified file and checks that it is the file the verification pass read;
    ValueError when it is not."""

    def refuse(reason: str) -> ValueError:
        return ValueError(f"refusing {label} {path}: {reason}")

    if before is None:
        raise refuse("verification did not read it")
    try:
        fd = _open_no_follow(path)
    except OSError as exc:
        if exc.errno in _PATH_CHANGED:
            raise refuse(
                f"its path no longer leads to the verified file ({os.strerror(exc.errno or 0)})"
            ) from exc
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise refuse("it is not a regular file")
        after = _Identity.of(st)
        if after != before:
            raise refuse(_describe_change(before, after))
        if measured_size is not None and after.size != measured_size:
            raise refuse(f"it holds {after.size} bytes but verification read {measured_size}")
        os.set_blocking(fd, True)
        file = os.fdopen(fd, "rb")
        file.raw.name = path  # type: ignore[attr-defined]  # the path, not the descriptor number
        return file
    except BaseException:
        os.close(fd)
        raise


@contextlib.contextmanager
def open_verified(
    manifest: StrPath,
    *,
    trusted_keys: StrPath | Iterable[StrPath] | None = None,
    threshold: int | None = None,
    signatures: StrPath | Iterable[StrPath] | None = None,
    trust_roots: StrPath | Iterable[StrPath] | None = None,
    certificate_identity: str | None = None,
    certificate_identity_regexp: str | None = None,
    state: StrPath | None = None,
    series: str | None = None,
    **options: Unpack[VerifyOptions],
) -> Iterator[VerifiedFiles]:
    """Verifies `manifest` with `verify_for_load(manifest, **options)` and yields the load plan
    with the index, the row map and the verified auxiliary artifacts open for reading; closes
    them on exit.

    Raises VerificationFailed (a ValueError carrying the report) when verification finds issues,
    otherwise what `verify_for_load` raises, and ValueError when a file opened after verification is
    not the file that was verified (replaced, rewritten, or reached through a new link).

    With `trusted_keys`, the signatures are checked first as `verify_signed_manifest` does
    (`signatures`, `threshold`, default 1); a refused signature raises VerificationFailed before
    any pinned file is read, and its report carries the `signature` part. Those options, and
    `max_signature_bytes`, without `trusted_keys` raise TypeError: nothing would check them.
    `trust_roots`, `certificate_identity` and `certificate_identity_regexp` trust certificate
    bundles as `verify_signed_manifest` does, beside or instead of `trusted_keys`. `state` and
    `series` refuse a rolled-back bundle as `verify_signed_manifest` does, raising
    VerificationFailed before any file is opened; without a trust source they raise TypeError.
    A manifest that is not a regular file (a FIFO, a device, a directory) raises OSError
    unread."""
    _untrusted.require_regular_manifest(manifest)
    # Trust roots are a trust source as keys are: the signature options mean something with either.
    source = trusted_keys if trusted_keys is not None else trust_roots
    threshold = _trust.checked_threshold(source, threshold, signatures, options)
    if source is None and (state is not None or series is not None):
        # An unsigned bundle has no signer to trust its created_at: nothing would be checked.
        raise TypeError("state and series need trusted_keys or trust_roots: rollback is checked"
                        " on signed bundles only")
    # One read of the manifest: the pass that checks the signatures (when asked) and the files
    # reports the identity of every file it read, and each file opened below must be that one.
    from tamrel_manifest import signing

    certificates = signing._certificate_options(
        trust_roots, certificate_identity, certificate_identity_regexp
    )
    if source is not None:
        rollback = signing._rollback_options(manifest, state, series)
        signed, plan, refusal, files = signing._verify_for_load(
            manifest, trusted_keys or (), signatures, threshold, {**options, **certificates},
            rollback,
        )
        if plan is None:
            raise VerificationFailed(str(refusal), signed)
    else:
        result = signing._verify_for_load_files(manifest, dict(options))
        plan, files = result["plan"], result["files"]
        if plan is None:
            raise VerificationFailed(str(result["refusal"]), result["report"])
    read = _identities(files)

    with contextlib.ExitStack() as stack:
        index = stack.enter_context(
            _open_pinned(
                "index file",
                plan["artifact_path"],
                read.get(plan["artifact_path"]),
                plan["metadata"]["file_size_bytes"],
            )
        )
        row_map: BinaryIO | None = None
        row_path = plan["row_identity"]["path"]
        if row_path is not None:
            row_map = stack.enter_context(
                _open_pinned("row map", row_path, read.get(row_path), None)
            )
        auxiliary: dict[str, BinaryIO] = {}
        for entry in plan["auxiliary_artifacts"]:
            if entry["path"] is None:
                continue
            auxiliary[entry["name"]] = stack.enter_context(
                _open_pinned(
                    f"auxiliary artifact {json.dumps(entry['name'], ensure_ascii=False)}",
                    entry["path"],
                    read.get(entry["path"]),
                    entry["size_bytes"],
                )
            )
        yield VerifiedFiles(plan=plan, index=index, row_map=row_map, auxiliary_artifacts=auxiliary)
