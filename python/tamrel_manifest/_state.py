"""No rollback: the loader's record of the newest signed bundle it accepted in each series.

A signature says who signed, not when: whoever can write the storage can put back an older
bundle signed by the same key, and every check of it passes. A loader that remembers, per
series, the `created_at`, the digest and the signers of the newest bundle it accepted can refuse
one older than that. The record is a file the loader keeps, so it is read as nothing else is
here: it must be the caller's own regular file, private to them, in a directory no one else can
empty, and a record that cannot be read refuses the load rather than starting again from
nothing. The manifest's `created_at` is read from the bytes that were verified, by digest.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import stat
import time

from tamrel_manifest import _limits, _untrusted

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from _tamrel_manifest import StrPath

# How far ahead of this machine's clock a bundle's created_at may be. Clocks of a signer and a
# loader disagree by seconds; a bundle dated further ahead, once recorded, would refuse every
# honest bundle made until that time: the series would be frozen on it.
MAX_CLOCK_SKEW_SECONDS = 300

# A state file holds one short entry per series; anything near this size is not one we wrote.
MAX_STATE_BYTES = 16 << 20

STATE_VERSION = 1
LOCK_SUFFIX = ".lock"

ENTRY_KEYS = frozenset({"created_at", "manifest_sha256", "signers", "accepted_at"})
SIGNER_KEYS = frozenset({"method", "signer", "key_id"})

# The manifest's timestamps as verification accepts them: 'T', 't' or a space between date and
# time, a leap second, any number of fraction digits, 'Z', 'z' or an offset of hours and minutes.
_RFC3339 = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})[Tt ]([0-9]{2}):([0-9]{2}):([0-9]{2})"
    r"(?:\.([0-9]+))?(?:[Zz]|([+-])([0-9]{2}):([0-9]{2}))"
)
_SHA256 = re.compile(r"[0-9a-f]{64}")
_DAYS = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


def _leap(year: int) -> bool:
    return (year % 4 == 0 and year % 100 != 0) or year % 400 == 0


def _days_from_civil(year: int, month: int, day: int) -> int:
    # Days since 1970-01-01 in the proleptic Gregorian calendar, year 0 included (which
    # datetime refuses and verification accepts).
    year -= month <= 2
    era = year // 400
    yoe = year - era * 400
    doy = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def instant(text: str) -> tuple[int, str] | None:
    """The instant `text` names, as (seconds since the epoch, fraction digits without trailing
    zeros), or None when it is not a timestamp verification accepts. Tuples of two instants
    compare as the instants do, at any precision: "2026-01-01T01:00:00+01:00" is
    "2026-01-01T00:00:00Z". A leap second counts as the next minute's first."""
    match = _RFC3339.fullmatch(text)
    if match is None:
        return None
    year, month, day, hour, minute, second = (int(g) for g in match.groups()[:6])
    fraction, sign, off_h, off_m = match.group(7, 8, 9, 10)
    if not 1 <= month <= 12 or day < 1:
        return None
    if day > (29 if month == 2 and _leap(year) else _DAYS[month - 1]):
        return None
    if hour > 23 or minute > 59 or second > 60:
        return None
    offset = 0
    if sign is not None:
        if int(off_h) > 23 or int(off_m) > 59:
            return None
        offset = (int(off_h) * 60 + int(off_m)) * 60 * (1 if sign == "+" else -1)
    seconds = _days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second
    return seconds - offset, (fraction or "").rstrip("0")


def _quoted(text: str) -> str:
    return json.dumps(text)


class Rollback:
    """The checked `state` and `series` options of one call."""

    __slots__ = ("state", "series")

    def __init__(self, state: str, series: str) -> None:
        self.state = state
        self.series = series


def checked_options(manifest: StrPath, state: object, series: object) -> Rollback | None:
    """The rollback options to apply (None without `state`). `series` without `state` is a
    TypeError (nothing would record it), as is either of another type than a path and a str;
    an empty series, a state path naming a directory, and a manifest named by a descriptor
    are ValueErrors."""
    if state is None:
        if series is not None:
            raise TypeError("series names an entry of the rollback state: it needs state")
        return None
    if not isinstance(state, (str, os.PathLike)) or not isinstance(os.fspath(state), str):
        raise TypeError(f"state must be a path, not {type(state).__name__}")
    path = os.fspath(state)
    if not os.path.basename(path):
        raise ValueError(f"state must name a file, not a directory: {path!r}")
    text = os.fspath(manifest)
    if not isinstance(text, str) or _untrusted.named_descriptor(text):
        # The check reads the verified manifest again, by digest; a pipe cannot be read twice,
        # and a refusal saying the manifest changed would be false.
        raise ValueError("state needs a manifest in storage: one named by a descriptor cannot"
                         " be read again for its created_at, nor name its series")
    if series is None:
        series = os.path.realpath(text)
    if not isinstance(series, str):
        raise TypeError(f"series must be a str, not {type(series).__name__}")
    if not series:
        raise ValueError("series must not be empty")
    return Rollback(path, series)


def _private(st: os.stat_result, what: str) -> None:
    """Refuses a file the caller does not own alone: someone else could rewrite the record."""
    kind = _untrusted.not_regular(st.st_mode)
    if kind is not None:
        raise OSError(f"{what} is not a regular file but {kind}")
    if st.st_uid != os.geteuid():
        raise OSError(f"{what} is owned by user {st.st_uid}, not by this user ({os.geteuid()})")
    if st.st_mode & 0o022:
        raise OSError(f"{what} is writable by group or others (mode {stat.S_IMODE(st.st_mode):o})")


def _open_directory(path: str) -> int:
    # Every name below is taken relative to this descriptor, so the directory cannot be swapped
    # between the lock, the read and the rename. Whoever can write it can delete the record (a
    # reset) unless the sticky bit keeps them to their own files.
    directory = os.path.dirname(path) or "."
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if st.st_uid not in (0, os.geteuid()):
            raise OSError(f"rollback state directory {directory} is owned by user {st.st_uid}")
        if st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX:
            raise OSError(f"rollback state directory {directory} is writable by group or others"
                          f" (mode {stat.S_IMODE(st.st_mode):o}) without the sticky bit")
    except BaseException:
        os.close(fd)
        raise
    return fd


_NO_FOLLOW = os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY


def _link_refusal(exc: OSError, what: str) -> OSError:
    if exc.errno in (errno.ELOOP, errno.EMLINK):
        return OSError(f"{what} is a symbolic link; the state is never read through one")
    return exc


def _lock(dir_fd: int, name: str, what: str) -> int:
    """An exclusive lock on the lock file beside the state. The state itself is replaced by
    each write, so a lock on it would guard a file no longer there; the lock file stays, and
    after locking it must still be the one at its name (not deleted and made again)."""
    while True:
        try:
            fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_EXCL | _NO_FOLLOW, 0o600,
                         dir_fd=dir_fd)
        except FileExistsError:
            try:
                fd = os.open(name, os.O_RDWR | _NO_FOLLOW, dir_fd=dir_fd)
            except FileNotFoundError:
                continue
            except OSError as exc:
                raise _link_refusal(exc, what) from None
        try:
            st = os.fstat(fd)
            _private(st, what)
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                now = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
            except FileNotFoundError:
                now = None
            if now is not None and (now.st_dev, now.st_ino) == (st.st_dev, st.st_ino):
                return fd
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


def _read_state(dir_fd: int, name: str, what: str) -> dict[str, Any]:
    try:
        fd = os.open(name, os.O_RDONLY | _NO_FOLLOW, dir_fd=dir_fd)
    except FileNotFoundError:
        return {"version": STATE_VERSION, "series": {}}  # first use, or a deleted record
    except OSError as exc:
        raise _link_refusal(exc, what) from None
    try:
        _private(os.fstat(fd), what)
        data = _read_at_most(fd, MAX_STATE_BYTES)
    finally:
        os.close(fd)
    if len(data) > MAX_STATE_BYTES:
        raise ValueError(f"{what} is larger than {MAX_STATE_BYTES} bytes")
    try:
        doc = json.loads(data, object_pairs_hook=_unique, parse_constant=_constant)
    except (ValueError, UnicodeDecodeError) as exc:
        raise ValueError(f"{what} is not valid JSON ({exc}); it is never reset") from None
    problem = _shape_problem(doc)
    if problem is not None:
        raise ValueError(f"{what} is not a rollback state this version reads: {problem}")
    return doc  # type: ignore[no-any-return]


def _read_at_most(fd: int, limit: int) -> bytes:
    """The file's bytes from its offset, but no more than limit + 1: one more than a caller
    allows tells it the file is too large without reading the rest."""
    chunks, size = [], 0
    while size <= limit:
        chunk = os.read(fd, min(1 << 16, limit + 1 - size))
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks)


def _unique(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    keys = [key for key, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError("duplicate member")
    return dict(pairs)


def _constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def _shape_problem(doc: object) -> str | None:
    if not isinstance(doc, dict) or set(doc) != {"version", "series"}:
        return "expected an object with exactly `version` and `series`"
    version = doc["version"]
    if type(version) is not int or version != STATE_VERSION:
        return f"expected version {STATE_VERSION}, found {json.dumps(version)}"
    if not isinstance(doc["series"], dict):
        return "expected `series` to be an object"
    for series, entry in doc["series"].items():
        problem = _entry_problem(entry)
        if not series or problem is not None:
            return f"series {_quoted(series)}: {problem or 'an empty name'}"
    return None


def _entry_problem(entry: object) -> str | None:
    if not isinstance(entry, dict) or set(entry) != ENTRY_KEYS:
        return f"expected an object with exactly {', '.join(sorted(ENTRY_KEYS))}"
    for key in ("created_at", "accepted_at"):
        if not isinstance(entry[key], str) or instant(entry[key]) is None:
            return f"`{key}` is not an RFC 3339 time"
    if not isinstance(entry["manifest_sha256"], str) or not _SHA256.fullmatch(
            entry["manifest_sha256"]):
        return "`manifest_sha256` is not a SHA-256 in lower-case hex"
    signers = entry["signers"]
    if not isinstance(signers, list) or not all(
            isinstance(s, dict) and set(s) == SIGNER_KEYS and isinstance(s["method"], str)
            and isinstance(s["signer"], str) and isinstance(s["key_id"], (str, type(None)))
            for s in signers):
        return f"`signers` is not a list of objects of {', '.join(sorted(SIGNER_KEYS))}"
    return None


def _write_state(dir_fd: int, name: str, doc: dict[str, Any]) -> None:
    """Replaces the state atomically and durably: a new private file beside it, flushed, renamed
    over it, and the directory flushed, so a crash leaves the old record or the new, whole."""
    data = (json.dumps(doc, indent=1, sort_keys=True) + "\n").encode("ascii")
    while True:
        temporary = f".{name}.{os.urandom(8).hex()}.tmp"
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                         | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
            break
        except FileExistsError:
            continue
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except BaseException:
        try:
            os.unlink(temporary, dir_fd=dir_fd)
        except OSError:
            pass
        raise
    os.fsync(dir_fd)


def _issue(code: str, message: str) -> dict[str, str]:
    return {"code": code, "message": message}


def decide(series: str, recorded: dict[str, Any] | None, found: dict[str, Any],
           now: int) -> tuple[str, dict[str, str] | None]:
    """The outcome for `found` against `recorded` at `now` (seconds since the epoch): "first",
    "same" or "newer" when accepted, else the refusal's code, and its issue."""
    created = instant(found["created_at"])
    newest = None if recorded is None else instant(recorded["created_at"])
    if created is None or (recorded is not None and newest is None):
        # Verification and the state's shape check accepted both, so the readers of times
        # disagree: nothing is compared or recorded on a reading that may be wrong.
        raise ValueError(f"created_at {found['created_at']!r} or the recorded one cannot be"
                         " compared; the bundle is not recorded")
    if created > (now + MAX_CLOCK_SKEW_SECONDS, ""):
        clock = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now))
        return "bundle_created_in_future", _issue("bundle_created_in_future", (
            f"series {_quoted(series)}: expected a created_at at most {MAX_CLOCK_SKEW_SECONDS}"
            f" seconds ahead of the clock ({clock}), found {found['created_at']}; recorded, it"
            " would refuse every bundle made before then"))
    if recorded is None or newest is None:  # (newest is None only without a record)
        return "first", None
    if created < newest:
        return "bundle_rolled_back", _issue("bundle_rolled_back", (
            f"series {_quoted(series)}: expected a bundle created at or after"
            f" {recorded['created_at']} (the newest accepted, manifest sha256"
            f" {recorded['manifest_sha256']}), found one created at {found['created_at']}"
            f" (manifest sha256 {found['manifest_sha256']}): an older signed bundle"))
    if created == newest:
        if found["manifest_sha256"] == recorded["manifest_sha256"]:
            return "same", None
        return "bundle_replaced_at_same_time", _issue("bundle_replaced_at_same_time", (
            f"series {_quoted(series)}: expected the manifest accepted for created_at"
            f" {recorded['created_at']} (sha256 {recorded['manifest_sha256']}), found another"
            f" with the same time, {found['created_at']} (sha256 {found['manifest_sha256']})"))
    return "newer", None


def _verified_manifest(manifest: StrPath, digest: str, limit: int) -> bytes | None:
    """The manifest's bytes when they are still those verification read (`digest`), else None.
    Opened as the module opens it, never waiting on what stands in its place."""
    fd = os.open(os.fspath(manifest), os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        if _untrusted.not_regular(os.fstat(fd).st_mode) is not None:
            return None
        data = _read_at_most(fd, limit)
    finally:
        os.close(fd)
    return data if hashlib.sha256(data).hexdigest() == digest else None


def _signers(signature: dict[str, Any]) -> list[dict[str, Any]]:
    return [{"method": s["method"], "signer": s["signer"], "key_id": s.get("key_id")}
            for s in signature["signatures"] if s.get("verified")]


def apply(report: dict[str, Any], manifest: StrPath, rollback: Rollback,
          options: dict[str, Any], *, handed_over: bool = True) -> str | None:
    """Checks a passing signed report's bundle against the state and records it when newer,
    under the state's lock. Adds the `rollback` part to `report`; a refusal is an issue of the
    report (`ok` false), and its code is returned. A report that did not pass, or a bundle not
    `handed_over` to the loader, leaves the state untouched. A state that cannot be trusted
    raises OSError or ValueError."""
    part: dict[str, Any] = {"state": rollback.state, "series": rollback.series,
                            "recorded": None, "found": None, "outcome": "not_checked"}
    report["rollback"] = part
    signature = report.get("signature") or {}
    if not (handed_over and report["ok"] and signature.get("ok")):
        return None
    digest = signature["manifest_sha256"]
    limit = _limits.effective_limits(options)["max_manifest_bytes"]
    data = _verified_manifest(manifest, digest, limit)
    if data is None:
        return _refuse(report, part, "bundle_changed_after_verification", (
            f"expected the manifest that was verified (sha256 {digest}) when reading its"
            " created_at, found other bytes: it was replaced after verification"))
    try:
        created_at = json.loads(data)["created_at"]
    except (ValueError, KeyError, TypeError) as exc:
        raise ValueError(f"the verified manifest's created_at cannot be read ({exc})") from None
    found = {"created_at": created_at, "manifest_sha256": digest,
             "signers": _signers(signature)}
    part["found"] = found
    what = f"rollback state {rollback.state}"
    name = os.path.basename(rollback.state)
    dir_fd = _open_directory(rollback.state)
    try:
        lock_fd = _lock(dir_fd, name + LOCK_SUFFIX, f"rollback state lock {rollback.state}"
                        f"{LOCK_SUFFIX}")
        try:
            doc = _read_state(dir_fd, name, what)
            recorded = doc["series"].get(rollback.series)
            part["recorded"] = recorded
            now = time.time_ns() // 1_000_000_000
            outcome, issue = decide(rollback.series, recorded, found, now)
            if issue is None and outcome != "same":
                accepted = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now))
                doc["series"][rollback.series] = {**found, "accepted_at": accepted}
                _write_state(dir_fd, name, doc)
        finally:
            os.close(lock_fd)  # releases the lock
    finally:
        os.close(dir_fd)
    if issue is not None:
        return _refuse(report, part, outcome, issue["message"])
    part["outcome"] = outcome
    return None


def _refuse(report: dict[str, Any], part: dict[str, Any], code: str, message: str) -> str:
    part["outcome"] = code
    report["errors"].append(_issue(code, message))
    report["ok"] = False
    return code
