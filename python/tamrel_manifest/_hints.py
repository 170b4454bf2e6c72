"""Hints for the usual real causes of a file that does not match its manifest, for the human
output of the command-line tool. The report's own messages are never changed; hints follow them.
"""

from __future__ import annotations

import json
import os
import re
import stat
from collections import Counter
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple

from tamrel_manifest._progress import human_bytes

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, ReportIssue, VerificationReport

EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
LFS_POINTER_PREFIX = b"version https://git-lfs"
_LFS_OID = re.compile(rb"^oid sha256:([0-9a-f]{64})$", re.MULTILINE)
_LFS_SIZE = re.compile(rb"^size ([0-9]+)$", re.MULTILINE)

# ---- what the hints read of the module's results ----
# Every issue code and message shape the hints depend on, in one place; the tests check each code
# against the module's catalogues and each pattern against a message the module produces, so a
# renamed code or a reworded message fails a test instead of silencing a hint.

ROW_ID_MISMATCH = "row_identity_row_id_mismatch"
ROW_COUNT_MISMATCH = "row_identity_row_count_mismatch"
ROW_INVALID_JSON = "row_identity_jsonl_invalid_json"
ROW_SHA256_MISMATCH = "row_identity_sha256_mismatch"
DUPLICATE_DB_ID = "row_identity_duplicate_db_id"
PROBE_FAILED = "artifact_probe_failed"
ISSUE_LIMIT_CODE = "verification_report_issue_limit_exceeded"
MANIFEST_TOO_LARGE = "manifest_file_too_large"
# The header facts that make the index a different index, not a shorter or longer one.
HEADER_MISMATCH = frozenset({
    "artifact_kind_mismatch", "artifact_params_mismatch", "artifact_format_version_mismatch",
    "artifact_dim_mismatch", "artifact_bytes_per_vec_mismatch",
})
_FILES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile",
          "encoder_distortion_profile")
PATH_UNAVAILABLE = frozenset(f"{f}_path_unavailable" for f in _FILES)
PATH_ESCAPE_REJECTED = frozenset(f"{f}_path_escape_rejected" for f in _FILES)
ABSOLUTE_PATH_REJECTED = frozenset(f"{f}_absolute_path_rejected" for f in _FILES)
# Where a limit stopped a check: the issue code and the limit (keyword argument) to raise.
LIMIT_OF_CODE = {
    "row_identity_duplicate_tracking_limit_exceeded": "max_row_map_tracked_id_bytes",
    "row_identity_row_count_limit_exceeded": "max_row_map_rows",
    "row_identity_line_too_large": "max_row_map_line_bytes",
    "auxiliary_artifact_file_too_large": "max_auxiliary_artifact_bytes",
    "auxiliary_artifact_count_limit_exceeded": "max_auxiliary_artifacts",
    "calibration_profile_too_large": "max_calibration_profile_bytes",
    "encoder_distortion_profile_too_large": "max_encoder_distortion_profile_bytes",
    ISSUE_LIMIT_CODE: "max_report_issues",
    MANIFEST_TOO_LARGE: "max_manifest_bytes",
}
# Limits the module's messages name differently from the keyword arguments and options.
MESSAGE_LIMIT_NAMES = {
    "max_row_identity_tracked_db_id_bytes": "max_row_map_tracked_id_bytes",
    "max_row_identity_jsonl_line_bytes": "max_row_map_line_bytes",
    "max_row_identity_rows": "max_row_map_rows",
}

CODES = frozenset({
    ROW_ID_MISMATCH, ROW_COUNT_MISMATCH, ROW_INVALID_JSON, ROW_SHA256_MISMATCH, DUPLICATE_DB_ID,
    PROBE_FAILED, ISSUE_LIMIT_CODE, MANIFEST_TOO_LARGE, *HEADER_MISMATCH, *PATH_UNAVAILABLE,
    *PATH_ESCAPE_REJECTED, *ABSOLUTE_PATH_REJECTED, *LIMIT_OF_CODE,
})

# Message shapes, by name.
PATTERNS = {
    # row_identity_row_id_mismatch
    "row_id": re.compile(r"^line ([0-9]+) has row_id ([0-9]+)$"),
    # any row-map issue that names its line
    "row_line": re.compile(r"^line ([0-9]+) "),
    # row_identity_duplicate_db_id
    "repeated_db_id": re.compile(r"^line ([0-9]+) repeats db_id$"),
    # row_identity_jsonl_invalid_json on a line with nothing on it
    "empty_line": re.compile(r"^line ([0-9]+) is not a strict row object: .* at line 1 column 0$"),
    # row_identity_row_count_mismatch for a line past the declared rows: its number
    "rows_over_declared": re.compile(
        r"^row identity file has more than declared row_count=([0-9]+)$"
    ),
    # row_identity_row_count_mismatch after a scan a limit stopped
    "rows_at_least": re.compile(r"^row identity file has at least [0-9]+ rows"),
    # the probe's refusal of the first bytes, in artifact_probe_failed and at creation
    "unknown_magic": re.compile(r"unknown tamrel index magic$"),
    # any probe failure at creation (an OSError whose text is the probe's)
    "probe": re.compile(
        r"^(unknown tamrel index magic|tamrel index header truncated while reading magic"
        r"|K[XY][A-Z0-9]{2} .*|dim [0-9]+ out of range.*|n_vectors [0-9]+ exceeds .*"
        r"|KXFS \(RankQuantFastscan\) .*)$"),
    # *_path_escape_rejected for a resolved path, not for ".." as written
    "canonical_outside": re.compile(r"^canonical (auxiliary artifact )?path "),
    # a limit as the module's messages name it
    "message_limit": re.compile(r"\b(max_[a-z_]+)="),
    # creation's refusal of a row map with issues: their codes
    "row_map_invalid": re.compile(r"^row map is invalid: ([a-z_]+(?:, [a-z_]+)*)$"),
    # creation's argument errors name the keywords that the tool spells as options
    "create_keywords": re.compile(r"\b(row_map|row_id_is_identity)(=True)?\b"),
}


def option_limit_name(message_name: str) -> str:
    """The keyword argument (and option) of a limit a message names."""
    return MESSAGE_LIMIT_NAMES.get(message_name, message_name)


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


def hints_for_file(check: FileCheck, same_kind: bool = True) -> list[str]:
    """Hints for one file. `same_kind` False: the file is another kind of file than the one
    declared (another index kind or header, or no index at all), so its size says nothing."""
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


def input_hints(label: str, path: str) -> list[str]:
    """Hints for an input the probe refused at creation: a pointer, an empty file, or the first
    bytes of a file that is no index."""
    pointer = hints_for_file(FileCheck(label, path, path, None, None, None, None))
    if pointer:
        return pointer
    if _head(path, 1) == b"":
        return [f"{label} {path} is empty"]
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


def _probe_message(report: VerificationReport) -> str | None:
    return next((i["message"] for i in report["errors"] if i["code"] == PROBE_FAILED), None)


def report_hints(
    report: VerificationReport,
    manifest: IndexManifest | None,
    *,
    manifest_path: str = ".",
    index: str | None = None,
    limits: Mapping[str, int] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
) -> list[str]:
    """Hints for a failed report; none for a clean one. `index` is the --index option, `limits`
    the limits in effect, the allow flags those the report was made with."""
    if report["ok"]:
        return []
    checks = file_checks(report, manifest)
    codes = [issue["code"] for issue in report["errors"]]
    probe = _probe_message(report)
    same_kind = not HEADER_MISMATCH.intersection(codes) and not (
        probe is not None and PATTERNS["unknown_magic"].search(probe)
    )
    hints = [
        hint
        for check in checks
        for hint in hints_for_file(check, same_kind or check.label != "artifact")
    ]
    hints += _text_hints(report, checks)
    hints += _path_hints(
        report, codes, manifest_path, index, allow_absolute_paths, allow_path_escape
    )
    hints += limit_hints(report, manifest, limits or {})
    rows = next((c for c in checks if c.label == "row map"), None)
    if rows is not None and rows.path is not None:
        hints += row_map_hints(report["errors"], rows.path, rows.shown_path or rows.path)
    return hints


# ---- the row map's issues ----


def row_map_hints(issues: Sequence[ReportIssue], path: str, shown: str) -> list[str]:
    """Hints for the issues of one row map (verification's or creation's), read back from the
    file where the issue alone does not say enough."""
    return (
        shifted_rows_hints(issues)
        + empty_line_hints(issues, path, shown)
        + duplicate_hints(issues, path, shown)
    )


def shifted_rows_hints(issues: Sequence[ReportIssue]) -> list[str]:
    """Row ids that all differ from their line numbers by one amount: lines were deleted or
    inserted before the first of them."""
    pairs = [
        (int(m.group(1)), int(m.group(2)))
        for issue in issues
        if issue["code"] == ROW_ID_MISMATCH and (m := PATTERNS["row_id"].match(issue["message"]))
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


def _lines(path: str, last: int) -> Iterator[tuple[int, bytes]]:
    """(number, line without its end) for lines 0 to `last` of a regular file; nothing for a
    file that cannot be read without blocking."""
    if _head(path, 0) is None:
        return
    try:
        with open(path, "rb") as file:
            for number, line in enumerate(file):
                yield number, line.rstrip(b"\r\n")
                if number >= last:
                    return
    except OSError:
        return


def empty_line_hints(issues: Sequence[ReportIssue], path: str, shown: str) -> list[str]:
    """Lines with nothing on them: refused as rows, or counted past the declared rows."""
    shapes = ((ROW_INVALID_JSON, "empty_line"), (ROW_COUNT_MISMATCH, "rows_over_declared"))
    numbers = {
        int(m.group(1))
        for issue in issues
        for code, shape in shapes
        if issue["code"] == code and (m := PATTERNS[shape].match(issue["message"]))
    }
    if not numbers:
        return []
    empty, last = [], -1
    for last, line in _lines(path, max(numbers) + 1):
        if last in numbers and not line.strip():
            empty.append(last)
    if not empty:
        return []
    if empty == [last]:
        return [f"row map {shown} ends with an empty line (line {last}): remove it"]
    listed = ", ".join(map(str, empty[:5])) + (", ..." if len(empty) > 5 else "")
    return [f"row map {shown} has empty lines ({listed}): every line must hold a row"]


def duplicate_hints(issues: Sequence[ReportIssue], path: str, shown: str) -> list[str]:
    """The first repeated db_id, and the line where it first appeared (two passes over the
    lines before it, holding none of them)."""
    match = next(
        (
            m
            for issue in issues
            if issue["code"] == DUPLICATE_DB_ID
            and (m := PATTERNS["repeated_db_id"].match(issue["message"]))
        ),
        None,
    )
    if match is None:
        return []
    number = int(match.group(1))
    db_id = next((_db_id(line) for n, line in _lines(path, number) if n == number), None)
    if db_id is None:
        return []
    text = db_id.encode()
    first = next(
        (
            n
            for n, line in _lines(path, number - 1)
            if text in line and _db_id(line) == db_id
        ),
        None,
    )
    if first is None:
        return []
    return [f"row map {shown}: line {number} repeats db_id {quoted(db_id)} of line {first}"]


def _db_id(line: bytes) -> str | None:
    try:
        value = json.loads(line)
    except ValueError:
        return None
    db_id = value.get("db_id") if isinstance(value, dict) else None
    return db_id if isinstance(db_id, str) else None


# ---- repeated issues ----


def issue_count(issues: Sequence[ReportIssue]) -> str:
    return "1 issue" if len(issues) == 1 else f"{len(issues)} issues"


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
            numbers = [
                int(m.group(1)) for i in rest if (m := PATTERNS["row_line"].match(i["message"]))
            ]
            where = f" (row-map lines {numbers[0]} to {numbers[-1]})" if numbers else ""
            lines.append(f"... and {len(rest)} more {code}{where}")
    return lines


# ---- limits ----

UUID_TEXT_BYTES = 36  # the hyphenated form, the one most databases write
# Peak memory of the duplicate check per byte of tracked id text (id arena, table, buffers), as
# measured for 10 M hyphenated UUIDs (bench/RESULTS.md); the hint's cost is this times the bytes.
TRACKED_MEMORY_PER_BYTE = 1.25


SIZE_UNITS = (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10))
LIMIT_MAX = 2**64 - 1  # the limits are unsigned 64-bit numbers


def option_name(keyword: str) -> str:
    """The command-line option of a keyword argument."""
    return "--" + keyword.replace("_", "-")


def size_text(value: int) -> str:
    """A byte count as the limit options accept it: 536870912 -> '512MiB'; 1000 -> '1000'."""
    for suffix, factor in SIZE_UNITS:
        if value >= factor and value % factor == 0:
            return f"{value // factor}{suffix}"
    return str(value)


def _rounded(value: int) -> int:
    """`value` rounded up to a whole MiB, the way a person writes a limit."""
    return -(-value // (1 << 20)) << 20 if value > 1 << 20 else value


def _raise(keyword: str, value: int | None, size: bool = True) -> str:
    if value is None:
        return f"raise {option_name(keyword)} (Python: {keyword}=)"
    shown = size_text(value) if size else str(value)
    return f"{option_name(keyword)} {shown} (Python: {keyword}={value}) admits it"


def limit_hint(
    code: str,
    limits: Mapping[str, int],
    *,
    rows: int | None = None,
    count: int | None = None,
    size: int | None = None,
) -> str | None:
    """The hint for one limit that stopped a check (verification's or creation's): the option
    and keyword to raise, the value that would admit the input where it is known (`rows` in the
    row map, `count` of auxiliary artifacts, `size` of the file), and what that costs; and the
    name the module's message gives the limit where that is not the keyword."""
    keyword = LIMIT_OF_CODE.get(code)
    if keyword is None or keyword not in limits:
        return None
    hint = _limit_hint(code, keyword, limits, rows, count, size)
    alias = next((name for name, kw in MESSAGE_LIMIT_NAMES.items() if kw == keyword), None)
    return hint if alias is None else f"{hint} ({alias} in the message is {option_name(keyword)})"


def _limit_hint(
    code: str,
    keyword: str,
    limits: Mapping[str, int],
    rows: int | None,
    count: int | None,
    size: int | None,
) -> str:
    current = limits[keyword]
    if code == "row_identity_duplicate_tracking_limit_exceeded":
        hint = (
            f"the duplicate check holds the text of every distinct db_id and stopped at"
            f" {option_name(keyword)} {size_text(current)}"
        )
        if rows:
            need = rows * UUID_TEXT_BYTES
            hint += (
                f"; for {rows} distinct UUIDs of {UUID_TEXT_BYTES} bytes, "
                + _raise(keyword, _rounded(need))
                + f" and costs about {human_bytes(need * TRACKED_MEMORY_PER_BYTE)} of memory"
            )
        else:
            hint += "; " + _raise(keyword, None)
        return hint + "; --allow-duplicate-db-ids skips the check"
    if code == "row_identity_row_count_limit_exceeded":
        value = rows if rows and rows > current else None
        hint = f"the row map has more rows than {option_name(keyword)} {current} allows; "
        hint += _raise(keyword, value, size=False)
        tracked = limits.get("max_row_map_tracked_id_bytes")
        if value is not None and tracked is not None:
            need = value * UUID_TEXT_BYTES
            if need > tracked:
                hint += (
                    f"; the duplicate check then needs"
                    f" --max-row-map-tracked-id-bytes {size_text(need)} for distinct UUIDs"
                    f" (about {human_bytes(need * TRACKED_MEMORY_PER_BYTE)} of memory)"
                )
        return hint
    if code == "row_identity_line_too_large":
        return (
            f"a row-map line is longer than {option_name(keyword)} {size_text(current)}"
            f" allows (a row is usually under 100 bytes: is this the right file?); "
            + _raise(keyword, None)
        )
    if code == "auxiliary_artifact_count_limit_exceeded":
        return (
            f"there are more auxiliary artifacts than {option_name(keyword)} {current};"
            f" " + _raise(keyword, count if count is not None and count > current else None,
                          size=False)
        )
    if code == ISSUE_LIMIT_CODE:
        return (
            f"the report stopped at {option_name(keyword)} {current}: issues found after"
            f" it (such as the row map's digest and row count) are not shown;"
            f" {option_name(keyword)} {LIMIT_MAX} shows all"
        )
    if code == MANIFEST_TOO_LARGE:
        return "a manifest is a small JSON document; " + _raise(keyword, size or None)
    return (
        f"a file is larger than {option_name(keyword)} {size_text(current)} allows; it is"
        f" read whole, so admitting it costs its size in memory; "
        + _raise(keyword, size)
    )


def limit_hints(
    report: VerificationReport, manifest: IndexManifest | None, limits: Mapping[str, int]
) -> list[str]:
    """For each limit that stopped a check: the option and keyword to raise, the value that
    would admit this file where the manifest tells it, and what that costs."""
    hints = []
    errors = report["errors"]
    codes = [issue["code"] for issue in errors]
    rows = report["row_identity"]["row_count"]
    count = len(manifest.get("auxiliary_artifacts", [])) if manifest is not None else None
    stopped_scan = False
    for code in dict.fromkeys(codes):
        if code == ISSUE_LIMIT_CODE and codes[-1] != code:
            continue
        hint = limit_hint(
            code, limits, rows=rows, count=count, size=_declared_size(code, report, manifest)
        )
        if hint is None:
            continue
        hints.append(hint)
        stopped_scan = stopped_scan or code.startswith("row_identity_")
    if stopped_scan and any(
        i["code"] == ROW_COUNT_MISMATCH and PATTERNS["rows_at_least"].match(i["message"])
        for i in errors
    ):
        hints.append(
            "the row count \"at least\" follows from the scan stopping at that limit, not from"
            " a missing or extra row"
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
    if code not in ("calibration_profile_too_large", "encoder_distortion_profile_too_large"):
        return None
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
    if ROW_INVALID_JSON in codes:
        hint = bom_hint("row map", rows.shown_path or rows.path, rows.path)
        if hint is not None:
            hints.append(hint)
    if ROW_SHA256_MISMATCH in codes:
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


def _inside(path: str, base: str) -> bool:
    return os.path.commonpath([path, base]) == base


def _written_paths(report: VerificationReport) -> dict[str, str | None]:
    """The path each file's issues concern as the manifest (or --index) writes it, by the code
    prefix of its issues."""
    refused = [
        facts["manifest_path"]
        for facts in report["auxiliary_artifacts"]
        if facts["reason_code"] == "auxiliary_artifact_path_escape_rejected"
    ]
    return {
        "artifact": report["artifact"]["observed_path"],
        "row_identity": report["row_identity"]["manifest_path"],
        "auxiliary_artifact": refused[0] if refused else None,
        "calibration_profile": report["calibration"]["profile_manifest_path"],
        "encoder_distortion_profile": report["encoder_distortion"]["profile_manifest_path"],
    }


def _path_hints(
    report: VerificationReport,
    codes: Sequence[str],
    manifest_path: str,
    index: str | None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
) -> list[str]:
    hints = []
    # As the module does: the directory of the path as named, a link's own directory for a link.
    base = os.path.dirname(os.path.abspath(manifest_path))
    artifact = report["artifact"]
    probe = _probe_message(report)
    if probe is not None and artifact["canonical_path"] is not None:
        if PATTERNS["unknown_magic"].search(probe):
            hint = magic_hint(f"artifact {artifact['observed_path']}", artifact["canonical_path"])
            if hint is not None:
                hints.append(hint)
    unavailable = PATH_UNAVAILABLE.intersection(codes)
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
    if index is not None:
        hint = _index_hint(codes, index, base, allow_absolute_paths, allow_path_escape)
        if hint is not None:
            hints.append(hint)
    written = _written_paths(report)
    for issue in report["errors"]:
        code = issue["code"]
        if code not in PATH_ESCAPE_REJECTED:
            continue
        prefix = code.removesuffix("_path_escape_rejected")
        path = written.get(prefix)
        # Refused after resolution although the path as written stays inside: a link leads out.
        if (
            path is None
            or not PATTERNS["canonical_outside"].match(issue["message"])
            or not _inside(os.path.normpath(os.path.join(base, path)), base)
        ):
            continue
        hints.append(
            f"the {prefix.replace('_', ' ')} {path} resolves outside the manifest's directory"
            f" {base} through a symbolic link; --allow-path-escape (Python:"
            " allow_path_escape=True) admits it, and with it relative paths that climb out"
            " with \"..\""
        )
        break
    return hints


def _index_hint(
    codes: Sequence[str],
    index: str,
    base: str,
    allow_absolute_paths: bool,
    allow_path_escape: bool,
) -> str | None:
    """What --index needs, when the index it names was refused or not found."""
    refused = {"artifact_absolute_path_rejected", "artifact_path_escape_rejected"}
    if os.path.isabs(index) and refused.intersection(codes):
        if _inside(os.path.normpath(index), base):
            return (
                f"--index {index} is an absolute path: it needs --allow-absolute-paths, or give"
                f" it relative to the manifest's directory {base}"
            )
        missing = [
            option
            for option, given in (
                ("--allow-absolute-paths", allow_absolute_paths),
                ("--allow-path-escape", allow_path_escape),
            )
            if not given
        ]
        return (
            f"--index {index} is outside the manifest's directory {base}: such a path needs both"
            f" --allow-absolute-paths and --allow-path-escape (missing: {' and '.join(missing)})"
        )
    if os.path.isabs(index):
        return None
    resolved = os.path.normpath(os.path.join(base, index))
    if "artifact_path_unavailable" in codes:
        return (
            f"--index {index} is resolved against the manifest's directory {base}, not the"
            f" current directory ({resolved}); give it relative to that directory, or as an"
            " absolute path with --allow-absolute-paths (and --allow-path-escape if it lies"
            " outside)"
        )
    if "artifact_path_escape_rejected" in codes and not _inside(resolved, base):
        return (
            f"--index {index} resolves to {resolved}, outside the manifest's directory {base}:"
            " it needs --allow-path-escape"
        )
    return None


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
    if isinstance(error, ValueError) and str(error).startswith(MANIFEST_TOO_LARGE + ":"):
        try:
            size: int | None = os.stat(manifest_path).st_size
        except OSError:
            size = None
        limit = limit_hint(MANIFEST_TOO_LARGE, limits, size=size)
        if limit is not None:
            hints.append(limit)
    return hints
