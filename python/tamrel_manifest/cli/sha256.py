"""sha256: the digests of files, in sha256sum's format (sha256sum -c reads it)."""

from __future__ import annotations

import argparse
import sys

import _tamrel_manifest as _native
from tamrel_manifest.cli import options
from tamrel_manifest.cli.output import (
    EXIT_OK,
    Output,
    error_json,
    outcomes,
    report_error,
    worst,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import FileDigest

STDIN = "-"


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "sha256",
        help="print the SHA-256 of files, as sha256sum does (sha256sum -c reads it)",
        usage=options.usage("sha256", "PATH [PATH ...]"),
        define=_define,
    )


def _define(sha: argparse.ArgumentParser) -> None:
    sha.add_argument("path", metavar="PATH", nargs="+", help="files; - is standard input")
    options.add_jobs(sha)
    options.add_json(sha, many=True)
    sha.set_defaults(handler=run)


def sha256sum_line(digest: str, path: str) -> str:
    """One line as sha256sum writes it: a name with a backslash or a line break is escaped, and
    the line then starts with a backslash."""
    if "\\" in path or "\n" in path or "\r" in path:
        escaped = path.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
        return f"\\{digest}  {escaped}"
    return f"{digest}  {path}"


def _stdin_digest() -> FileDigest:
    """The digest of standard input, read to its end, as sha256_file gives a file's."""
    import hashlib

    digest, size = hashlib.sha256(), 0
    stream = sys.stdin.buffer
    while chunk := stream.read(1 << 16):
        digest.update(chunk)
        size += len(chunk)
    return {"sha256": digest.hexdigest(), "size_bytes": size}


def _file_digest(path: str) -> FileDigest:
    if path == STDIN:
        return _stdin_digest()
    digest: FileDigest = _native.sha256_file(path)
    return digest


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest._hints import files

    paths: list[str] = args.path
    several = len(paths) > 1
    statuses = []
    for outcome in outcomes(output, _file_digest, paths, args.jobs):
        path = outcome.item
        if outcome.error is not None:
            if several and output.json_mode:
                output.json_line({"path": path, "error": error_json(outcome.error)})
            statuses.append(report_error(output, path, outcome.error))
            continue
        digest: FileDigest | None = outcome.value
        assert digest is not None
        statuses.append(EXIT_OK)
        if several and output.json_mode:
            output.json_line({"path": path, **digest})
        elif output.json_mode:
            output.json(digest)
        else:
            output.line(sha256sum_line(digest["sha256"], path))
            if path == STDIN:
                continue
            check = files.FileCheck("file", path, path, digest["sha256"], None, None, None)
            for hint in files.hints_for_file(check):
                output.error(f"hint: {hint}")
    return worst(statuses)
