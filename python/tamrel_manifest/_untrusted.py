"""Files from untrusted storage, looked at before the module reads them.

The module reads a manifest as a caller's file: it opens the path and waits, as any reader does,
on a FIFO or a device. A manifest from storage someone else can write must not stop a verifier
that way, so the package and the tool look at it first, without blocking and without reading it,
and refuse anything but a regular file. A caller who names a descriptor it holds (standard
input, /dev/fd/N) has chosen what it reads: that is not storage, and it is left alone.
"""

from __future__ import annotations

import os
import re
import stat
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from _tamrel_manifest import StrPath

_DESCRIPTOR = re.compile(r"/dev/(?:stdin|fd/[0-9]+)|/proc/self/fd/[0-9]+")

_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def _text(path: StrPath) -> str | None:
    # Anything but a text path is the module's to refuse, with its own message.
    try:
        text = os.fspath(path)
    except TypeError:
        return None
    return text if isinstance(text, str) else None


def named_descriptor(path: str) -> bool:
    """Whether `path` names a descriptor the caller holds rather than a file in storage."""
    return _DESCRIPTOR.fullmatch(path) is not None


def not_regular(mode: int) -> str | None:
    """What a file of `mode` is when it is not a regular file ("a FIFO", ...), else None."""
    if stat.S_ISREG(mode):
        return None
    return next((kind for test, kind in _KINDS if test(mode)), "another kind of file")


def require_regular_manifest(path: StrPath, *, must_open: bool = True) -> None:
    """Raises OSError unless `path` opens as a regular file (or names a held descriptor).

    The open neither blocks (a FIFO with or without a writer, a device) nor reads a byte. When
    it fails, `must_open` raises its error with the system's text alone, as the module raises
    it, so a missing manifest reads the same whichever of them found it missing; without it the
    failure is left to the reader that follows. Links are followed: a link to the manifest is a
    documented way to name it, and the module resolves paths next to it."""
    text = _text(path)
    if text is None or named_descriptor(text):
        return
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    try:
        fd = os.open(text, flags)
    except OSError as exc:
        if not must_open:
            return
        raise OSError(exc.strerror or str(exc)) from None
    try:
        kind = not_regular(os.fstat(fd).st_mode)
    finally:
        os.close(fd)
    if kind is not None:
        raise OSError(
            f"not a regular file but {kind}; a manifest is read from a regular file, or from"
            " /dev/stdin or /dev/fd/N named as such"
        )
