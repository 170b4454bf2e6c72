"""Hints for the usual real causes of a file that does not match its manifest, for the human
output of the command-line tool. The report's own messages are never changed; hints follow them.
"""

from __future__ import annotations

import json
import os
import re
import stat
from collections import Counter
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple

from tamrel_manifest._progress import human_bytes

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, ReportIssue, VerificationReport

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


def report_hints(
    report: VerificationReport,
    manifest: IndexManifest | None,
    *,
    manifest_path: str = ".",
    index: str | None = None,
    limits: Mapping[str, int] | None = None,
) -> list[str]:
    """Hints for a failed report; none for a clean one. `index` is the --index option, `limits`
    the limits in effect."""
    if report["ok"]:
        return []
    checks = file_checks(report, manifest)
    hints = [hint for check in checks for hint in hints_for_file(check)]
    codes = [issue["code"] for issue in report["errors"]]
    hints += _text_hints(report, checks)
    hints += _path_hints(report, codes, manifest_path, index)
    hints += limit_hints(report, manifest, limits or {})
    hints += shifted_rows_hints(report["errors"])
    return hints


_ROW_ID = re.compile(r"^line ([0-9]+) has row_id ([0-9]+)$")


def shifted_rows_hints(issues: Sequence[ReportIssue]) -> list[str]:
    """Row ids that all differ from their line numbers by one amount: lines were deleted or
    inserted before the first of them."""
    pairs = [
        (int(m.group(1)), int(m.group(2)))
        for issue in issues
        if issue["code"] == "row_identity_row_id_mismatch"
        and (m := _ROW_ID.match(issue["message"]))
    ]
    shifts = {row_id - line for line, row_id in pairs}
    if len(pairs) < 2 or len(shifts) != 1:
        return []
    shift, first = shifts.pop(), pairs[0][0]
    lines = "1 line" if abs(shift) == 1 else f"{abs(shift)} lines"
    if shift > 0:
        return [
            f"from line {first} on every row_id is {shift} more than its line: {lines} before"
            f" line {first} may have been deleted"
        ]
    return [
        f"from line {first} on every row_id is {-shift} less than its line: {lines} before"
        f" line {first} may have been inserted or repeated"
    ]


# ---- repeated issues ----

ISSUE_LIMIT_CODE = "verification_report_issue_limit_exceeded"
_LINE = re.compile(r"^line ([0-9]+) ")


def issue_lines(issues: Sequence[ReportIssue], keep: int = 5) -> list[str]:
    """`code: message` per issue, except that past the first `keep` issues of one code a single
    line counts the rest and names the first and last row-map line they mention."""
    seen: Counter[str] = Counter()
    lines = []
    for issue in issues:
        code = issue["code"]
        seen[code] += 1
        if seen[code] <= keep:
            lines.append(f"{code}: {issue['message']}")
        if seen[code] == keep + 1:
            rest = [i for i in issues if i["code"] == code][keep:]
            numbers = [int(m.group(1)) for i in rest if (m := _LINE.match(i["message"]))]
            where = f" (row-map lines {numbers[0]} to {numbers[-1]})" if numbers else ""
            lines.append(f"... and {len(rest)} more {code}{where}")
    return lines


# ---- limits ----

# Where a limit stopped a check: the issue code and the limit (keyword argument) to raise.
_LIMIT_OF_CODE = {
    "row_identity_duplicate_tracking_limit_exceeded": "max_row_map_tracked_id_bytes",
    "row_identity_row_count_limit_exceeded": "max_row_map_rows",
    "row_identity_line_too_large": "max_row_map_line_bytes",
    "auxiliary_artifact_file_too_large": "max_auxiliary_artifact_bytes",
    "auxiliary_artifact_count_limit_exceeded": "max_auxiliary_artifacts",
    "calibration_profile_too_large": "max_calibration_profile_bytes",
    "encoder_distortion_profile_too_large": "max_encoder_distortion_profile_bytes",
}
UUID_TEXT_BYTES = 36  # the hyphenated form, the one most databases write
# Peak memory of the duplicate check per byte of tracked id text (id arena, table, buffers), as
# measured for 10 M hyphenated UUIDs (bench/RESULTS.md); the hint's cost is this times the bytes.
TRACKED_MEMORY_PER_BYTE = 1.25


def _option(keyword: str) -> str:
    return "--" + keyword.replace("_", "-")


def _size_option(value: int) -> str:
    for suffix, factor in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if value >= factor and value % factor == 0:
            return f"{value // factor}{suffix}"
    return str(value)


def _rounded(value: int) -> int:
    """`value` rounded up to a whole MiB, the way a person writes a limit."""
    return -(-value // (1 << 20)) << 20 if value > 1 << 20 else value


def _memory(count: float) -> str:
    return human_bytes(count)


def _raise(keyword: str, value: int | None, size: bool = True) -> str:
    if value is None:
        return f"raise {_option(keyword)} (Python: {keyword}=)"
    shown = _size_option(value) if size else str(value)
    return f"{_option(keyword)} {shown} (Python: {keyword}={value}) admits it"


def limit_hints(
    report: VerificationReport, manifest: IndexManifest | None, limits: Mapping[str, int]
) -> list[str]:
    """For each limit that stopped a check: the option and keyword to raise, the value that
    would admit this file where the manifest tells it, and what that costs."""
    hints = []
    errors = report["errors"]
    codes = [issue["code"] for issue in errors]
    declared_rows = report["row_identity"]["row_count"]
    stopped_scan = False
    for code in dict.fromkeys(codes):
        keyword = _LIMIT_OF_CODE.get(code)
        if keyword is None or keyword not in limits:
            continue
        current = limits[keyword]
        if code == "row_identity_duplicate_tracking_limit_exceeded":
            stopped_scan = True
            hint = (
                f"the duplicate check holds the text of every distinct db_id and stopped at"
                f" {_option(keyword)} {_size_option(current)}"
            )
            if declared_rows:
                need = declared_rows * UUID_TEXT_BYTES
                hint += (
                    f"; for {declared_rows} distinct UUIDs of {UUID_TEXT_BYTES} bytes, "
                    + _raise(keyword, _rounded(need))
                    + f" and costs about {_memory(need * TRACKED_MEMORY_PER_BYTE)} of memory"
                )
            else:
                hint += "; " + _raise(keyword, None)
            hints.append(hint + "; --allow-duplicate-db-ids skips the check")
        elif code == "row_identity_row_count_limit_exceeded":
            stopped_scan = True
            value = declared_rows if declared_rows and declared_rows > current else None
            hint = f"the row map has more rows than {_option(keyword)} {current} allows; "
            hint += _raise(keyword, value, size=False)
            tracked = limits.get("max_row_map_tracked_id_bytes")
            if value is not None and tracked is not None:
                need = value * UUID_TEXT_BYTES
                if need > tracked:
                    hint += (
                        f"; the duplicate check then needs"
                        f" --max-row-map-tracked-id-bytes {_size_option(need)} for distinct UUIDs"
                        f" (about {_memory(need * TRACKED_MEMORY_PER_BYTE)} of memory)"
                    )
            hints.append(hint)
        elif code == "row_identity_line_too_large":
            stopped_scan = True
            hints.append(
                f"a row-map line is longer than {_option(keyword)} {_size_option(current)}"
                f" allows (a row is usually under 100 bytes: is this the right file?); "
                + _raise(keyword, None)
            )
        elif code == "auxiliary_artifact_count_limit_exceeded":
            count = len(manifest.get("auxiliary_artifacts", [])) if manifest is not None else 0
            hints.append(
                f"the manifest names more auxiliary artifacts than {_option(keyword)} {current};"
                f" " + _raise(keyword, count if count > current else None, size=False)
            )
        else:
            size = _declared_size(code, report, manifest)
            hints.append(
                f"a file is larger than {_option(keyword)} {_size_option(current)} allows; it is"
                f" read whole, so admitting it costs its size in memory; "
                + _raise(keyword, size)
            )
    if stopped_scan and any(
        i["code"] == "row_identity_row_count_mismatch" and "at least" in i["message"]
        for i in errors
    ):
        hints.append(
            "the row count \"at least\" follows from the scan stopping at that limit, not from"
            " a missing or extra row"
        )
    if codes and codes[-1] == ISSUE_LIMIT_CODE:
        limit = limits.get("max_report_issues", len(codes))
        hints.append(
            f"the report stopped at {_option('max_report_issues')} {limit}: issues found after"
            f" it (such as the row map's digest and row count) are not shown;"
            f" {_option('max_report_issues')} {2**64 - 1} shows all"
        )
    return hints


def _declared_size(
    code: str, report: VerificationReport, manifest: IndexManifest | None
) -> int | None:
    if code == "auxiliary_artifact_file_too_large":
        sizes = [
            facts["expected_size_bytes"]
            for facts in report["auxiliary_artifacts"]
            if facts["reason_code"] == code and facts["expected_size_bytes"] is not None
        ]
        return max(sizes) if sizes else None
    key = "calibration" if code.startswith("calibration") else "encoder_distortion"
    block = manifest.get(key) if manifest is not None else None
    profile = block.get("profile") if isinstance(block, dict) else None
    size = profile.get("file_size_bytes") if isinstance(profile, dict) else None
    return size if isinstance(size, int) else None


# ---- text files: byte-order marks, line ends ----

BOM = b"\xef\xbb\xbf"


def bom_hint(label: str, shown: str, path: str) -> str | None:
    if _head(path, 3) != BOM:
        return None
    return (
        f"{label} {shown} starts with a byte-order mark (EF BB BF), which JSON does not allow;"
        " save it as UTF-8 without a BOM"
    )


def _text_hints(report: VerificationReport, checks: Sequence[FileCheck]) -> list[str]:
    hints: list[str] = []
    rows = next((c for c in checks if c.label == "row map"), None)
    if rows is None or rows.path is None:
        return hints
    codes = {issue["code"] for issue in report["errors"]}
    if "row_identity_jsonl_invalid_json" in codes:
        hint = bom_hint("row map", rows.shown_path or rows.path, rows.path)
        if hint is not None:
            hints.append(hint)
    if "row_identity_sha256_mismatch" in codes:
        head = _head(rows.path, 1 << 16) or b""
        if b"\r\n" in head:
            hints.append(
                f"row map {rows.shown_path} has CRLF line ends: its rows still read, but its"
                " bytes differ from a copy with LF ends; if a checkout converted them (git"
                " core.autocrlf or .gitattributes text), restore LF ends (for example mark it"
                " -text in .gitattributes and check it out again)"
            )
    return hints


# ---- the index's first bytes ----

_MAGICS = (
    (b"\x1f\x8b", "a gzip file: decompress it first"),
    (b"PK\x03\x04", "a zip archive: extract the index from it"),
    (b"\x89PNG", "a PNG image"),
    (LFS_POINTER_PREFIX, "a Git LFS pointer: fetch it (git lfs pull)"),
)


def magic_hint(label: str, path: str) -> str | None:
    head = _head(path, 64)
    if not head or head.startswith(LFS_POINTER_PREFIX):
        return None  # an empty file and a pointer have hints of their own
    head = head[:16]
    shown = head.hex(" ")
    guess = next((what for prefix, what in _MAGICS if head.startswith(prefix)), None)
    if guess is None and head[:1] in (b"{", b"["):
        guess = "JSON, not an index file"
    elif guess is None and head and all(32 <= b < 127 or b in b"\t\r\n" for b in head):
        guess = "text, not an index file"
    hint = f"{label} starts with bytes {shown}"
    return hint + (f": {guess}" if guess else ", which is no known index format")


# ---- paths ----


def _path_hints(
    report: VerificationReport, codes: Sequence[str], manifest_path: str, index: str | None
) -> list[str]:
    hints = []
    # As the module does: the directory of the path as named, a link's own directory for a link.
    base = os.path.dirname(os.path.abspath(manifest_path))
    artifact = report["artifact"]
    if "artifact_probe_failed" in codes and artifact["canonical_path"] is not None:
        probe = next(i for i in report["errors"] if i["code"] == "artifact_probe_failed")
        if "magic" in probe["message"]:
            hint = magic_hint(f"artifact {artifact['observed_path']}", artifact["canonical_path"])
            if hint is not None:
                hints.append(hint)
    unavailable = [c for c in codes if c.endswith("_path_unavailable")]
    located = [c for c in file_checks_paths(report) if c is not None]
    if unavailable and not located and os.path.islink(manifest_path):
        hints.append(
            f"the manifest {manifest_path} is a symbolic link to {os.readlink(manifest_path)}:"
            f" paths resolve against the link's directory {base}, not the target's; name the"
            " target (readlink -f), or link the directory that holds it instead"
        )
    elif unavailable and not located:
        hints.append(
            f"none of the files the manifest names was found: paths resolve against the"
            f" manifest's directory {base}; if the manifest was moved or copied away from its"
            " files, verify it where they are, or move them with it"
        )
    if index is not None and (
        "artifact_path_unavailable" in codes or "artifact_path_escape_rejected" in codes
    ):
        hints.append(
            f"--index {index} is resolved against the manifest's directory {base}, not the"
            f" current directory ({os.path.join(base, index)}); give it relative to that"
            " directory, or as an absolute path with --allow-absolute-paths"
        )
    for issue in report["errors"]:
        code = issue["code"]
        # Refused after resolution, not for a ".." in the path as written: a link leads out.
        if code.endswith("_path_escape_rejected") and issue["message"].startswith("canonical"):
            what = code.removesuffix("_path_escape_rejected").replace("_", " ")
            hints.append(
                f"the {what} resolves outside the manifest's directory {base} through a symbolic"
                " link; --allow-path-escape (Python: allow_path_escape=True) admits it, and with"
                " it relative paths that climb out with \"..\""
            )
            break
    return hints


def file_checks_paths(report: VerificationReport) -> list[str | None]:
    """The canonical path of every file the report located."""
    paths: list[str | None] = [report["artifact"]["canonical_path"]]
    paths += [facts["canonical_path"] for facts in report["auxiliary_artifacts"]]
    paths.append(report["row_identity"]["canonical_path"])
    paths += [report["encoder_distortion"]["profile_canonical_path"]]
    paths += [report["calibration"]["profile_canonical_path"]]
    return paths


# ---- failures before any report ----


def error_hints(
    manifest_path: str, error: BaseException, limits: Mapping[str, int]
) -> list[str]:
    """Hints for a manifest that could not be read or decoded."""
    hints = []
    hint = bom_hint("manifest", manifest_path, manifest_path)
    if hint is not None and isinstance(error, ValueError):
        hints.append(hint)
    if str(error).startswith("manifest_file_too_large") or "max_manifest_bytes" in str(error):
        try:
            size = os.stat(manifest_path).st_size
        except OSError:
            size = None
        hints.append(
            "a manifest is a small JSON document; "
            + _raise("max_manifest_bytes", size or None)
        )
    return hints
