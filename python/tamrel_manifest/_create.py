"""create_manifest as the package offers it: the module's call, with a row map's issues in full
on the error that refuses it, and no output directory left behind by a call that failed."""

from __future__ import annotations

import errno
import functools
import json
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypedDict

import _tamrel_manifest as _native
from tamrel_manifest._hints import files as _files
from tamrel_manifest._hints import rows as _rows
from tamrel_manifest._limits import LIMIT_NAMES, effective_limits
from tamrel_manifest._words import quoted

if TYPE_CHECKING:
    from _tamrel_manifest import IndexManifest, ReportIssue, StrPath

__all__ = [
    "RowMapInvalid", "RowMapReport", "count_lines", "create_manifest", "failed_input",
    "row_map_issues",
]


class RowMapReport(TypedDict):
    """What is wrong with a row map that creation refused: `row_map` as passed, and `errors`, its
    issues with their messages (lines counted from 0), as verification reports them."""

    row_map: str
    errors: list[ReportIssue]


class RowMapInvalid(ValueError):
    """The row map has issues (the text is the module's: "row map is invalid: " and their codes);
    `report` holds the issues with their messages and line numbers."""

    def __init__(self, message: str, report: RowMapReport) -> None:
        super().__init__(message)
        self.report = report


def _missing_directories(out: str) -> list[str]:
    """The directories the module would create for `out`, deepest first."""
    missing = []
    directory = os.path.dirname(out)
    while directory and not os.path.lexists(directory):
        missing.append(directory)
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return missing


@functools.wraps(_native.create_manifest)
def create_manifest(
    index: StrPath, out: StrPath, embedding_model: str, **options: Any
) -> IndexManifest:
    # functools.wraps keeps the module's name, text and signature; what this adds: a row map
    # with issues raises RowMapInvalid (a ValueError with the same text), and a failed call
    # removes the directories it created for `out`.
    created = _missing_directories(os.fspath(out))
    try:
        manifest: IndexManifest = _native.create_manifest(index, out, embedding_model, **options)
    except ValueError as exc:
        _remove_empty(created)
        if options.get("row_map") is not None and _rows.PATTERNS["row_map_invalid"].match(
            str(exc)
        ):
            row_map = os.fspath(options["row_map"])
            try:
                errors = row_map_issues(row_map, effective_limits(options))
            except (OSError, ValueError):
                raise exc from None
            raise RowMapInvalid(str(exc), {"row_map": row_map, "errors": errors}) from None
        raise
    except OSError as exc:
        _remove_empty(created)
        which = failed_input(index, options.get("row_map"), options.get("auxiliary_artifacts"),
                             exc)
        if which is not None and hasattr(exc, "add_note"):  # 3.11 and later
            exc.add_note(f"input: {which}")
        raise
    except BaseException:
        _remove_empty(created)
        raise
    return manifest


def _unopenable(path: str) -> str | None:
    """Why `path` cannot be read as a file (the system's text), or None when it can."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        return exc.strerror or str(exc)
    try:
        if os.path.isdir(path):
            return os.strerror(errno.EISDIR)
    finally:
        os.close(fd)
    return None


def failed_input(
    index: StrPath, row_map: StrPath | None, auxiliary_artifacts: Any, error: OSError
) -> str | None:
    """The input an operating-system error of creation concerns ("index PATH", "row map PATH",
    'auxiliary "NAME" PATH'), found by looking at each input after the failure: the first, in
    the order creation reads them, that cannot be read for the reason the error gives. None when
    none fits (the output is then at fault, or the input changed since): never a guess."""
    try:
        inputs = [("index", os.fspath(index))]
        if row_map is not None:
            inputs.append(("row map", os.fspath(row_map)))
        for item in auxiliary_artifacts or []:
            inputs.append((f"auxiliary {quoted(item['name'])}", os.fspath(item["path"])))
    except (TypeError, KeyError):
        return None  # arguments the module refuses before it reads any file
    if _files.PATTERNS["probe"].match(str(error)):
        return f"index {inputs[0][1]}"
    for label, path in inputs:
        if _unopenable(path) == str(error):
            return f"{label} {path}"
    return None


def _remove_empty(directories: list[str]) -> None:
    # Deepest first; a directory something else has put a file into meanwhile stays.
    for directory in directories:
        try:
            os.rmdir(directory)
        except OSError:
            return


def count_lines(path: str) -> int:
    """Lines in a file, a last one without its line end included."""
    count, last = 0, b"\n"
    with open(path, "rb") as file:
        while chunk := file.read(1 << 20):
            count += chunk.count(b"\n")
            last = chunk[-1:]
    return count + (last != b"\n")


def row_map_issues(
    row_map: str, limits: Mapping[str, int], rows: int | None = None
) -> list[ReportIssue]:
    """The issues verification reports for a row map on its own, with their messages and line
    numbers, where creation names only their codes: verifies, in a temporary directory, a
    manifest that names the row map by its absolute path beside an empty index. `rows`: the
    row count to declare (default: the file's lines, within the limit)."""
    import tempfile  # not needed at start-up

    if rows is None:
        rows = min(count_lines(row_map), limits["max_row_map_rows"])
    with tempfile.TemporaryDirectory(prefix="tamrel-rows-") as tmp:
        index = os.path.join(tmp, "index")
        open(index, "wb").close()
        manifest = {
            "schema_version": _native.SCHEMA_VERSION,
            "manifest_id": "urn:uuid:00000000-0000-4000-8000-000000000000",
            "created_at": "1970-01-01T00:00:00Z",
            "artifact": {
                "path": index, "sha256": "0" * 64, "kind": "rank", "format_version": 1,
                "dim": 1, "vector_count": rows, "bytes_per_vec": 1, "params": {"kind": "rank"},
                "file_size_bytes": 0,
            },
            "embedding": {"model": "m", "dim": 1},
            "row_identity": {
                "kind": "jsonl", "path": os.path.abspath(row_map), "sha256": "0" * 64,
                "row_count": rows, "id_kind": "uuid",
            },
        }
        path = os.path.join(tmp, "manifest.json")
        with open(path, "w", encoding="utf-8") as file:
            json.dump(manifest, file)
        report = _native.verify_manifest(
            path,
            allow_absolute_paths=True,
            allow_path_escape=True,
            **{name: limits[name] for name in LIMIT_NAMES},  # type: ignore[arg-type]
        )
    # The digest and count were not declared: only what the rows themselves break.
    unrelated = (_rows.ROW_SHA256_MISMATCH, _rows.ROW_COUNT_MISMATCH)
    return [
        issue for issue in report["errors"]
        if issue["code"].startswith("row_identity_") and issue["code"] not in unrelated
    ]
