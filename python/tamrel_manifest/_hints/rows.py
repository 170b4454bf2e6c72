"""Hints about the row map's lines: rows shifted by deleted or inserted lines, empty lines,
repeated ids, byte-order marks and CRLF line ends."""

from __future__ import annotations

import json
import re
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from tamrel_manifest._hints.files import FileCheck, bom_hint, head
from tamrel_manifest._words import counted, quoted

if TYPE_CHECKING:
    from _tamrel_manifest import ReportIssue, VerificationReport

ROW_ID_MISMATCH = "row_identity_row_id_mismatch"
ROW_COUNT_MISMATCH = "row_identity_row_count_mismatch"
ROW_INVALID_JSON = "row_identity_jsonl_invalid_json"
ROW_SHA256_MISMATCH = "row_identity_sha256_mismatch"
DUPLICATE_DB_ID = "row_identity_duplicate_db_id"

CODES = frozenset({
    ROW_ID_MISMATCH, ROW_COUNT_MISMATCH, ROW_INVALID_JSON, ROW_SHA256_MISMATCH, DUPLICATE_DB_ID,
})

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
    # creation's refusal of a row map with issues: their codes
    "row_map_invalid": re.compile(r"^row map is invalid: ([a-z_]+(?:, [a-z_]+)*)$"),
    # creation's argument errors name the keywords that the tool spells as options
    "create_keywords": re.compile(r"\b(row_map|row_id_is_identity)(=True)?\b"),
}


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
    lines = counted(abs(shift), "line")
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
    if head(path, 0) is None:
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


def text_hints(report: VerificationReport, checks: Sequence[FileCheck]) -> list[str]:
    """A byte-order mark or CRLF line ends where the row map's rows or digest failed."""
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
        first = head(rows.path, 1 << 16) or b""
        if b"\r\n" in first:
            hints.append(
                f"row map {rows.shown_path} has CRLF line ends: its rows still read, but its"
                " bytes differ from a copy with LF ends; if a checkout converted them (git"
                " core.autocrlf or .gitattributes text), restore LF ends (for example mark it"
                " -text in .gitattributes and check it out again)"
            )
    return hints

