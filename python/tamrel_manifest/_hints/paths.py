"""Hints about paths and the path policy: files not found where the manifest's directory puts
them, links that lead out of it, and what --index needs."""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from _tamrel_manifest import VerificationReport

_FILES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile",
          "encoder_distortion_profile")
PATH_UNAVAILABLE = frozenset(f"{f}_path_unavailable" for f in _FILES)
PATH_ESCAPE_REJECTED = frozenset(f"{f}_path_escape_rejected" for f in _FILES)
ABSOLUTE_PATH_REJECTED = frozenset(f"{f}_absolute_path_rejected" for f in _FILES)

CODES = frozenset({*PATH_UNAVAILABLE, *PATH_ESCAPE_REJECTED, *ABSOLUTE_PATH_REJECTED})

PATTERNS = {
    # *_path_escape_rejected for a resolved path, not for ".." as written
    "canonical_outside": re.compile(r"^canonical (auxiliary artifact )?path "),
}


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


def path_hints(
    report: VerificationReport,
    manifest_path: str,
    index: str | None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
) -> list[str]:
    hints = []
    codes = [issue["code"] for issue in report["errors"]]
    # As the module does: the directory of the path as named, a link's own directory for a link.
    base = os.path.dirname(os.path.abspath(manifest_path))
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
