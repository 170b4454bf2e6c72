"""Hints for the usual real causes of a file that does not match its manifest, for the human
output of the command-line tool. The report's own messages are never changed; hints follow them.

Each subject is a module (the files and their first bytes, the row map's lines, the limits, the
paths, the signatures) that names the issue codes and message shapes it reads in its `CODES`
and `PATTERNS`. The tests check each code against the module's catalogues and each pattern
against a message the module produces, so a renamed code or a reworded message fails a test
instead of silencing a hint.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import TYPE_CHECKING

from tamrel_manifest._hints import files, paths, rows, signatures
from tamrel_manifest._hints import limits as limit_rules
from tamrel_manifest._hints.limits import LIMIT_OF_CODE, MESSAGE_LIMIT_NAMES, option_limit_name

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, VerificationReport

__all__ = [
    "CODES", "LIMIT_OF_CODE", "MESSAGE_LIMIT_NAMES", "PATTERNS", "error_hints",
    "option_limit_name", "report_hints",
]

_SUBJECTS = (files, rows, limit_rules, paths, signatures)

CODES = frozenset().union(*(subject.CODES for subject in _SUBJECTS))


def _patterns() -> dict[str, re.Pattern[str]]:
    found: dict[str, re.Pattern[str]] = {}
    for subject in _SUBJECTS:
        repeated = found.keys() & subject.PATTERNS.keys()
        assert not repeated, f"message shapes named twice: {sorted(repeated)}"
        found.update(subject.PATTERNS)
    return found


# Message shapes, by name.
PATTERNS = _patterns()


def report_hints(
    report: VerificationReport,
    manifest: IndexManifest | None,
    *,
    manifest_path: str = ".",
    index: str | None = None,
    limits: Mapping[str, int] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    row_map_total: int | None = None,
) -> list[str]:
    """Hints for a failed report; none for a clean one. `index` is the --index option, `limits`
    the limits in effect, the allow flags those the report was made with; `row_map_total` the
    row map's issues counted again where the report was cut among them."""
    if report["ok"]:
        return []
    checks = files.file_checks(report, manifest)
    same_kind = files.same_kind(report)
    hints = [
        hint
        for check in checks
        for hint in files.hints_for_file(check, same_kind or check.label != "artifact")
    ]
    hints += files.kind_hints(report)
    hints += rows.text_hints(report, checks)
    hints += files.artifact_magic_hints(report)
    hints += paths.path_hints(report, manifest_path, index, allow_absolute_paths,
                              allow_path_escape)
    hints += limit_rules.limit_hints(report, manifest, limits or {}, row_map_total)
    row_map = next((c for c in checks if c.label == "row map"), None)
    if row_map is not None and row_map.path is not None:
        hints += rows.row_map_hints(report["errors"], row_map.path,
                                    row_map.shown_path or row_map.path)
    return hints


def error_hints(
    manifest_path: str, error: BaseException, limits: Mapping[str, int]
) -> list[str]:
    """Hints for a manifest that could not be read or decoded."""
    hints = []
    hint = files.bom_hint("manifest", manifest_path, manifest_path)
    if hint is not None and isinstance(error, ValueError):
        hints.append(hint)
    return hints + limit_rules.manifest_size_hints(manifest_path, error, limits)
