"""Hints about the resource limits that stopped a check: which option and keyword raise each,
to what value where the input tells it, and what raising it costs."""

from __future__ import annotations

import os
import re
from collections.abc import Container, Mapping, Sequence
from typing import TYPE_CHECKING

from tamrel_manifest._hints.rows import ROW_COUNT_MISMATCH
from tamrel_manifest._limits import LIMIT_MAX, option_name, size_text
from tamrel_manifest._progress import human_bytes

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, ReportIssue, VerificationReport

ISSUE_LIMIT_CODE = "verification_report_issue_limit_exceeded"
MANIFEST_TOO_LARGE = "manifest_file_too_large"
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

CODES = frozenset({ISSUE_LIMIT_CODE, MANIFEST_TOO_LARGE, ROW_COUNT_MISMATCH, *LIMIT_OF_CODE})

PATTERNS = {
    # row_identity_row_count_mismatch after a scan a limit stopped
    "rows_at_least": re.compile(r"^row identity file has at least [0-9]+ rows"),
    # a limit as the module's messages name it
    "message_limit": re.compile(r"\b(max_[a-z_]+)="),
}

SKIP_DUPLICATE_CHECK = "--allow-duplicate-db-ids"
UUID_TEXT_BYTES = 36  # the hyphenated form, the one most databases write
# Peak memory of the duplicate check per byte of tracked id text (id arena, table, buffers), as
# measured for 10 M hyphenated UUIDs (bench/RESULTS.md); the hint's cost is this times the bytes.
TRACKED_MEMORY_PER_BYTE = 1.25


def option_limit_name(message_name: str) -> str:
    """The keyword argument (and option) of a limit a message names."""
    return MESSAGE_LIMIT_NAMES.get(message_name, message_name)


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
    offered: Container[str] | None = None,
) -> str | None:
    """The hint for one limit that stopped a check (verification's or creation's): the option
    and keyword to raise, the value that would admit the input where it is known (`rows` in the
    row map, `count` of auxiliary artifacts, `size` of the file), and what that costs; and the
    name the module's message gives the limit where that is not the keyword. `offered`: the
    options of the command that prints it (None: every option), so that it names no other."""
    keyword = LIMIT_OF_CODE.get(code)
    if keyword is None or keyword not in limits:
        return None
    hint = _limit_hint(code, keyword, limits, rows, count, size, offered)
    alias = next((name for name, kw in MESSAGE_LIMIT_NAMES.items() if kw == keyword), None)
    return hint if alias is None else f"{hint} ({alias} in the message is {option_name(keyword)})"


def _limit_hint(
    code: str,
    keyword: str,
    limits: Mapping[str, int],
    rows: int | None,
    count: int | None,
    size: int | None,
    offered: Container[str] | None,
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
        if offered is None or SKIP_DUPLICATE_CHECK in offered:
            hint += f"; {SKIP_DUPLICATE_CHECK} skips the check"
        return hint
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
        return issue_limit_hint(current)
    if code == MANIFEST_TOO_LARGE:
        return "a manifest is a small JSON document; " + _raise(keyword, size or None)
    return (
        f"a file is larger than {option_name(keyword)} {size_text(current)} allows; it is"
        f" read whole, so admitting it costs its size in memory; "
        + _raise(keyword, size)
    )


def issue_limit_hint(
    current: int, errors: Sequence[ReportIssue] = (), row_map_total: int | None = None
) -> str:
    """The report cut at `current` issues (`errors`, the marker last): how many of the row
    map's issues the cut hid where `row_map_total` (all of them, counted again) tells it, and a
    limit that shows them; else a limit ten times this one (never one no screen can show)."""
    option = option_name("max_report_issues")
    head = f"the report stopped at {option} {current}"
    after = "(such as the row map's digest and row count)"
    shown = sum(1 for issue in errors if issue["code"].startswith("row_identity_"))
    if row_map_total is not None and row_map_total > shown:
        others = len(errors) - 1 - shown
        need = min(others + row_map_total + 1, LIMIT_MAX)  # one place for the marker
        return (
            f"{head} with {shown} of the row map's {row_map_total} issues: {row_map_total - shown}"
            f" more, and the issues found after them {after}, are not shown;"
            f" {option} {need} (Python: max_report_issues={need}) shows every issue of the"
            " row map"
        )
    larger = min(max(current * 10, 10), LIMIT_MAX)
    return (
        f"{head}: issues found after it {after} are not shown; {option} {larger} (Python:"
        f" max_report_issues={larger}) shows up to {larger}"
    )


def limit_hints(
    report: VerificationReport,
    manifest: IndexManifest | None,
    limits: Mapping[str, int],
    row_map_total: int | None = None,
) -> list[str]:
    """For each limit that stopped a check: the option and keyword to raise, the value that
    would admit this file where the manifest tells it, and what that costs. `row_map_total`:
    the row map's issues counted again, where the report was cut among them."""
    hints = []
    errors = report["errors"]
    codes = [issue["code"] for issue in errors]
    rows = report["row_identity"]["row_count"]
    count = len(manifest.get("auxiliary_artifacts", [])) if manifest is not None else None
    stopped_scan = False
    for code in dict.fromkeys(codes):
        if code == ISSUE_LIMIT_CODE and codes[-1] != code:
            continue
        if code == ISSUE_LIMIT_CODE:
            hints.append(issue_limit_hint(limits[LIMIT_OF_CODE[code]], errors, row_map_total))
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


def manifest_size_hints(manifest_path: str, error: BaseException,
                        limits: Mapping[str, int]) -> list[str]:
    """For a manifest refused as larger than its limit: the value that admits it."""
    if not (isinstance(error, ValueError) and str(error).startswith(MANIFEST_TOO_LARGE + ":")):
        return []
    try:
        size: int | None = os.stat(manifest_path).st_size
    except OSError:
        size = None
    hint = limit_hint(MANIFEST_TOO_LARGE, limits, size=size)
    return [] if hint is None else [hint]
