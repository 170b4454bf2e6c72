"""The command-line tool: tamrel-manifest (also python -m tamrel_manifest).

Exit status: 0 when the verdict is clean, 1 when verification found issues, 2 for usage errors and
for files that cannot be read or decoded, 3 for an internal failure of the native module, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import tempfile
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, TextIO

import _tamrel_manifest as _native
from tamrel_manifest import _hints, _run, _sign_cli
from tamrel_manifest._progress import Progress, human_bytes

if TYPE_CHECKING:
    from _tamrel_manifest import (
        Artifact,
        FileDigest,
        IndexManifest,
        IndexMetadata,
        LoadPlan,
        ResourceLimits,
        VerificationReport,
    )

PROG = "tamrel-manifest"
EXIT_OK, EXIT_ISSUES, EXIT_ERROR, EXIT_INTERNAL = 0, 1, 2, 3
EXIT_INTERRUPTED = 130
# What the module raises for a file it cannot read or decode, or a value it refuses.
INPUT_ERRORS = (OSError, ValueError, TypeError, OverflowError, KeyError)

# The module is the one place that knows its limits; only the help texts live here.
LIMIT_NAMES: tuple[str, ...] = tuple(_native.default_resource_limits())
_LIMIT_HELP = {
    "max_manifest_bytes": "largest manifest file read",
    "max_row_map_line_bytes": "longest row-map line",
    "max_row_map_rows": "most row-map rows",
    "max_row_map_tracked_id_bytes": "most bytes of distinct database ids held for duplicates",
    "max_auxiliary_artifacts": "most auxiliary artifacts",
    "max_auxiliary_artifact_bytes": "largest auxiliary artifact",
    "max_calibration_profile_bytes": "largest calibration profile",
    "max_encoder_distortion_profile_bytes": "largest encoder distortion profile",
    "max_report_issues": "most issues in a report",
    "max_cached_report_bytes": "accepted and passed on; no step consults it",
}
SIZE_UNITS = (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10))
_SIZE = re.compile(r"([0-9]+) ?(KiB|MiB|GiB)?")


def is_size_limit(name: str) -> bool:
    return name.endswith("_bytes")


def option_name(keyword: str) -> str:
    """The command-line option of a keyword argument."""
    return "--" + keyword.replace("_", "-")


def size_text(value: int) -> str:
    """A byte count as the limit options accept it: 536870912 -> '512MiB'; 1000 -> '1000'."""
    for suffix, factor in SIZE_UNITS:
        if value >= factor and value % factor == 0:
            return f"{value // factor}{suffix}"
    return str(value)


def limit_text(name: str, value: int) -> str:
    return size_text(value) if is_size_limit(name) else str(value)


class OutputError(Exception):
    """Standard output could not be written (a full disk, a closed descriptor)."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


class Output:
    """Where a command writes: `out` for results, `err` for errors, progress only when allowed."""

    def __init__(self, out: TextIO, err: TextIO, *, json_mode: bool, quiet: bool = False) -> None:
        self.out = out
        self.err = err
        self.json_mode = json_mode
        self.quiet = quiet
        self.closed = False  # the reader went away (a pipe into `head`)
        # Live progress only for a person watching: both streams on a terminal, not --json.
        self.progress = (
            not json_mode
            and not quiet
            and _isatty(out)
            and _isatty(err)
            and _terminal_can_erase_lines()
        )

    def line(self, text: str = "") -> None:
        if self.closed or self.quiet:
            return
        try:
            print(text, file=self.out)
        except BrokenPipeError:
            # The verdict still decides the exit status; the rest of the output has no reader.
            self.closed = True
            _discard_further_output(self.out)
        except OSError as exc:
            raise OutputError(exc) from None

    def json(self, value: object) -> None:
        # ensure_ascii: paths that are not valid Unicode survive as escapes on any stdout.
        self.line(json.dumps(value, indent=2))

    def json_line(self, value: object) -> None:
        self.line(json.dumps(value))

    def error(self, text: str) -> None:
        try:
            print(f"{PROG}: {text}", file=self.err)
        except OSError:
            pass  # nowhere left to say it; the exit status still does

    def flush(self) -> None:
        if self.closed:
            return
        try:
            self.out.flush()
        except BrokenPipeError:
            self.closed = True
            _discard_further_output(self.out)
        except OSError as exc:
            raise OutputError(exc) from None

    def call(self, function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """function(*args, **kwargs) off the main thread, under the progress line."""
        with Progress(self.err, enabled=self.progress):
            return _run.call(lambda: function(*args, **kwargs))


def _discard_further_output(stream: TextIO) -> None:
    # Point the descriptor at the null device so that the interpreter's final flush of what is
    # still buffered cannot fail again.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, stream.fileno())
        finally:
            os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _terminal_can_erase_lines() -> bool:
    return os.environ.get("TERM", "") != "dumb"


# ---- argument parsing ----


def _count(text: str) -> int:
    if not re.fullmatch("[0-9]+", text):
        raise argparse.ArgumentTypeError(
            f"must not be negative: {text}" if re.fullmatch("-[0-9]+", text)
            else f"not an integer: {text!r}"
        )
    return int(text)


def _size(text: str) -> int:
    match = _SIZE.fullmatch(text)
    if match is None:
        if re.fullmatch("-[0-9]+", text):
            raise argparse.ArgumentTypeError(f"must not be negative: {text}")
        raise argparse.ArgumentTypeError(
            f"not a size: {text!r} (bytes, or a whole number of KiB, MiB or GiB)"
        )
    factor = dict(SIZE_UNITS).get(match.group(2) or "", 1)
    return int(match.group(1)) * factor


def _jobs(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _aux(required: bool) -> Callable[[str], dict[str, Any]]:
    def parse(text: str) -> dict[str, Any]:
        name, sep, path = text.partition("=")
        if not sep or not path:
            raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
        return {"name": name, "path": path, "required": required}

    return parse


def _add_limits(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "resource limits (default: the module's defaults; sizes in bytes or with KiB, MiB, GiB)"
    )
    for name in LIMIT_NAMES:
        size = is_size_limit(name)
        group.add_argument(
            option_name(name),
            dest=name,
            type=_size if size else _count,
            metavar="SIZE" if size else "N",
            help=_LIMIT_HELP.get(name),
        )


def _add_path_policy(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--allow-absolute-paths", action="store_true", help="accept absolute paths"
    )
    parser.add_argument(
        "--allow-path-escape",
        action="store_true",
        help="accept paths outside the manifest's directory",
    )


def _add_json(parser: argparse.ArgumentParser, many: bool = False) -> None:
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the result dict as JSON"
        + ("; one JSON object per line for several" if many else ""),
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print nothing; the exit status says it"
    )


def _add_jobs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=os.cpu_count() or 1,
        metavar="N",
        help="work on N files at once (default: the number of CPUs)",
    )


def _version() -> str:
    from tamrel_manifest import __version__

    return f"{PROG} {__version__}"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Create, inspect and verify index manifests.",
        epilog="exit status: 0 clean, 1 verification found issues, 2 usage error or unreadable"
        " input, 3 internal failure, 130 interrupted",
    )
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    create = commands.add_parser("create", help="write a new manifest for an index file")
    create.add_argument("index", help="the index file")
    create.add_argument("out", help="the manifest file to write")
    create.add_argument("embedding_model", metavar="embedding-model", help="the model name")
    create.add_argument("--row-map", metavar="PATH", help="the row-identity JSONL file")
    create.add_argument(
        "--row-id-is-identity", action="store_true", help="row numbers are the identities"
    )
    create.add_argument(
        "--aux",
        dest="auxiliary_artifacts",
        action="append",
        type=_aux(True),
        metavar="NAME=PATH",
        help="a required auxiliary artifact (repeatable)",
    )
    create.add_argument(
        "--optional-aux",
        dest="auxiliary_artifacts",
        action="append",
        type=_aux(False),
        metavar="NAME=PATH",
        help="an optional auxiliary artifact (repeatable)",
    )
    _add_path_policy(create)
    _add_json(create)
    _add_limits(create)
    create.set_defaults(handler=_create)

    for name, handler, help_text in (
        ("verify", _verify, "verify manifests and the files they name"),
        ("load-plan", _load_plan, "verify, then print what a loader needs"),
    ):
        sub = commands.add_parser(name, help=help_text)
        if name == "verify":
            sub.add_argument("manifest", nargs="+")
            _add_jobs(sub)
            _sign_cli.add_verify_options(sub)
        else:
            sub.add_argument("manifest")
        sub.add_argument(
            "--index",
            metavar="PATH",
            help="verify this file as the index (resolved against the manifest's directory)",
        )
        _add_path_policy(sub)
        sub.add_argument(
            "--allow-duplicate-db-ids", action="store_true", help="accept repeated db_id values"
        )
        _add_json(sub, many=name == "verify")
        _add_limits(sub)
        sub.set_defaults(handler=handler)

    _sign_cli.add_commands(commands, _add_path_policy, _add_json, _add_limits)

    inspect = commands.add_parser("inspect", help="print a manifest in canonical form")
    inspect.add_argument("manifest")
    _add_json(inspect)
    _add_limits(inspect)
    inspect.set_defaults(handler=_inspect)

    sha = commands.add_parser(
        "sha256", help="print the SHA-256 of files, as sha256sum does (sha256sum -c reads it)"
    )
    sha.add_argument("path", nargs="+")
    _add_jobs(sha)
    _add_json(sha, many=True)
    sha.set_defaults(handler=_sha256)

    limits = commands.add_parser("limits", help="print the default resource limits")
    _add_json(limits)
    limits.set_defaults(handler=_limits)
    return parser


def _limit_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    return {name: getattr(args, name) for name in LIMIT_NAMES}


def verify_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of verify_manifest / verify_for_load for parsed options."""
    return {
        "index": args.index,
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        "allow_duplicate_db_ids": args.allow_duplicate_db_ids,
        **_limit_kwargs(args),
    }


def create_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of create_manifest for parsed options."""
    return {
        "row_map": args.row_map,
        "row_id_is_identity": args.row_id_is_identity,
        "auxiliary_artifacts": args.auxiliary_artifacts,
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        **_limit_kwargs(args),
    }


# ---- human output ----


def _params_text(metadata: IndexMetadata | Artifact) -> str:
    params = metadata["params"]
    text: str = metadata["kind"]
    if params["kind"] == "rank_quant":
        text += f" ({params['bits']} bits)"
    elif params["kind"] == "bitmap":
        text += f" (n_top {params['n_top']})"
    return (
        f"{text}, dim {metadata['dim']}, {metadata['vector_count']} vectors,"
        f" {metadata['bytes_per_vec']} bytes per vector, format version"
        f" {metadata['format_version']}"
    )


def _size_text(size: int | None) -> str:
    if size is None:
        return "unknown"
    return f"{size} bytes" + (f" ({human_bytes(size)})" if size >= 1024 else "")


class _Facts:
    """Aligned `label  value` lines, indented ones for the details of the entry above."""

    def __init__(self) -> None:
        self.rows: list[tuple[str, str]] = []

    def add(self, label: str, value: object, detail: bool = False) -> None:
        self.rows.append((("  " if detail else "") + label, "-" if value is None else str(value)))

    def write(self, output: Output) -> None:
        width = max((len(label) for label, _ in self.rows), default=0)
        for label, value in self.rows:
            output.line(f"{label.ljust(width)}  {value}")


def _report_facts(report: VerificationReport) -> _Facts:
    facts = _Facts()
    artifact = report["artifact"]
    facts.add("artifact", artifact["observed_path"])
    facts.add("canonical path", artifact["canonical_path"], True)
    if artifact["metadata"] is not None:
        facts.add("index", _params_text(artifact["metadata"]), True)
    facts.add("size", _size_text(artifact["size_bytes"]), True)
    facts.add("sha256", artifact["sha256"], True)
    rows = report["row_identity"]
    if rows["kind"] == "jsonl":
        facts.add("row map", rows["manifest_path"])
        facts.add("canonical path", rows["canonical_path"], True)
        facts.add("rows", f"{rows['row_count']} declared, {rows['validated_rows']} validated", True)
        facts.add("sha256", rows["sha256"], True)
    else:
        facts.add("row map", f"none: row ids are identities ({rows['row_count']} rows)")
    for aux in report["auxiliary_artifacts"]:
        state = aux["state"] + (f" ({aux['reason_code']})" if aux["reason_code"] else "")
        facts.add(f"auxiliary {_hints.quoted(aux['name'])}", f"{aux['manifest_path']}: {state}")
        if aux["sha256"] is not None:
            facts.add("size", _size_text(aux["size_bytes"]), True)
            facts.add("sha256", aux["sha256"], True)
    for label, block in (
        ("encoder distortion", report["encoder_distortion"]),
        ("calibration", report["calibration"]),
    ):
        if block["present"]:
            facts.add(label, f"profile {_hints.quoted(block['profile_id'] or '')}")
            if block["profile_manifest_path"] is not None:
                facts.add("profile", block["profile_manifest_path"], True)
                facts.add("sha256", block["profile_sha256"], True)
    checks = report["attestation_shape_checks"]
    if checks:
        matched = sum(1 for check in checks if check["subject_sha256_matched"])
        facts.add("attestations", f"{len(checks)}, {matched} naming the artifact's digest")
    if report["skipped_checks"]:
        facts.add("skipped checks", ", ".join(report["skipped_checks"]))
    facts.add("manifest id", report["manifest_id"])
    facts.add("checked at", report["checked_at"])
    return facts


def _manifest_facts(manifest: IndexManifest) -> _Facts:
    facts = _Facts()
    artifact = manifest["artifact"]
    facts.add("manifest id", manifest["manifest_id"])
    facts.add("created at", manifest["created_at"])
    embedding = manifest["embedding"]
    facts.add("embedding model", f"{embedding['model']} (dim {embedding['dim']})")
    facts.add("artifact", artifact["path"])
    facts.add("index", _params_text(artifact), True)
    facts.add("size", _size_text(artifact["file_size_bytes"]), True)
    facts.add("sha256", artifact["sha256"], True)
    rows = manifest["row_identity"]
    if rows["kind"] == "jsonl":
        facts.add("row map", rows["path"])
        facts.add("rows", rows["row_count"], True)
        facts.add("sha256", rows["sha256"], True)
    else:
        facts.add("row map", f"none: row ids are identities ({rows['row_count']} rows)")
    for aux in manifest.get("auxiliary_artifacts", []):
        required = "required" if aux.get("required", True) else "optional"
        facts.add(f"auxiliary {_hints.quoted(aux['name'])}", f"{aux['path']} ({required})")
        facts.add("size", _size_text(aux["file_size_bytes"]), True)
        facts.add("sha256", aux["sha256"], True)
    for key in ("encoder_distortion", "calibration"):
        block = manifest.get(key)
        if isinstance(block, dict):
            facts.add(key.replace("_", " "), f"profile {_hints.quoted(block['profile_id'])}")
    attestations = manifest.get("attestations", [])
    if attestations:
        facts.add("attestations", len(attestations))
    return facts


def _effective_limits(args: argparse.Namespace) -> dict[str, int]:
    limits: dict[str, int] = dict(_native.default_resource_limits())  # type: ignore[arg-type]
    limits.update({k: v for k, v in _limit_kwargs(args).items() if v is not None})
    return limits


class Checked:
    """What a worker hands back for one manifest: the report, and the declared manifest when the
    report failed (its sizes and digests feed the hints)."""

    def __init__(self, report: VerificationReport, declared: IndexManifest | None) -> None:
        self.report = report
        self.declared = declared


def _check(manifest: str, args: argparse.Namespace) -> Checked:
    report: VerificationReport = _native.verify_manifest(manifest, **verify_kwargs(args))
    return Checked(report, None if report["ok"] else _declared(manifest, args))


def _declared(manifest: str, args: argparse.Namespace) -> IndexManifest | None:
    # The report was built from these values; a manifest changed since then gives fewer hints.
    try:
        declared: IndexManifest = _native.inspect_manifest(manifest, **_limit_kwargs(args))
    except INPUT_ERRORS:
        return None
    return declared


def _write_issues(
    output: Output,
    report: VerificationReport,
    declared: IndexManifest | None,
    manifest_path: str,
    args: argparse.Namespace,
    indent: str = "",
) -> None:
    for line in _hints.issue_lines(report["errors"]):
        output.line(indent + line)
    for issue in report["warnings"]:
        output.line(f"{indent}warning {issue['code']}: {issue['message']}")
    hints = _hints.report_hints(
        report,
        declared,
        manifest_path=manifest_path,
        index=args.index,
        limits=_effective_limits(args),
    )
    for hint in hints:
        output.line(f"{indent}hint: {hint}")


def _issue_count(report: VerificationReport) -> str:
    count = len(report["errors"])
    return "1 issue" if count == 1 else f"{count} issues"


def _error_json(error: BaseException) -> dict[str, str]:
    return {"type": type(error).__name__, "message": str(error)}


def _report_error(
    output: Output,
    subject: str,
    error: BaseException,
    hints: Sequence[str] = (),
    text: str | None = None,
) -> int:
    """Says why `subject` failed on standard error (`text`, default the error's own); the exit
    status for it."""
    if not isinstance(error, INPUT_ERRORS):
        output.error(f"internal error: {subject}: {type(error).__name__}: {error}")
        return EXIT_INTERNAL
    output.error(f"error: {subject}: {error if text is None else text}")
    for hint in hints:
        output.error(f"hint: {hint}")
    return EXIT_ERROR


def _worst(statuses: Sequence[int]) -> int:
    # Unreadable input outranks issues; an internal failure outranks both.
    for status in (EXIT_INTERNAL, EXIT_ERROR, EXIT_ISSUES):
        if status in statuses:
            return status
    return EXIT_OK


def _outcomes(
    output: Output, function: Callable[[str], Any], items: Sequence[str], jobs: int
) -> Iterator[_run.Outcome[str, Any]]:
    """The outcomes of `function` over `items` in order. One item runs under the progress line,
    which is erased before its result is printed; several print as they finish instead."""
    if len(items) > 1:
        yield from _run.run_each(function, items, jobs)
        return
    with Progress(output.err, enabled=output.progress):
        done = list(_run.run_each(function, items, jobs))
    yield from done


# ---- commands ----


def _verify(args: argparse.Namespace, output: Output) -> int:
    if _sign_cli.wants_signed_verify(args):
        return _sign_cli.verify(args, output)
    manifests: list[str] = args.manifest
    several = len(manifests) > 1
    limits = _effective_limits(args)
    statuses = []
    for outcome in _outcomes(output, lambda m: _check(m, args), manifests, args.jobs):
        manifest = outcome.item
        if outcome.error is not None:
            error = outcome.error
            hints = _hints.error_hints(manifest, error, limits)
            if several and output.json_mode:
                output.json_line({"manifest": manifest, "error": _error_json(error)})
            elif several:
                output.line(f"ERROR: {manifest}: {error}")
            statuses.append(_report_error(output, manifest, error, hints))
            continue
        assert outcome.value is not None
        report, declared = outcome.value.report, outcome.value.declared
        statuses.append(EXIT_OK if report["ok"] else EXIT_ISSUES)
        if several and output.json_mode:
            output.json_line({"manifest": manifest, "report": report})
        elif output.json_mode:
            output.json(report)
        elif report["ok"]:
            output.line(f"OK: {manifest} verified, no issues")
        else:
            output.line(f"FAILED: {manifest}: {_issue_count(report)}")
            _write_issues(output, report, declared, manifest, args, "  " if several else "")
        if not several and not output.json_mode:
            output.line()
            _report_facts(report).write(output)
    if several and not output.json_mode:
        failed = statuses.count(EXIT_ISSUES)
        unreadable = len(statuses) - failed - statuses.count(EXIT_OK)
        output.line(
            f"{len(statuses)} manifests: {statuses.count(EXIT_OK)} verified, {failed} with issues,"
            f" {unreadable} unreadable"
        )
    return _worst(statuses)


def _load_plan(args: argparse.Namespace, output: Output) -> int:
    kwargs = verify_kwargs(args)
    try:
        plan: LoadPlan = output.call(_native.verify_for_load, args.manifest, **kwargs)
    except ValueError as exc:
        report: VerificationReport | None = getattr(exc, "report", None)
        if report is None:
            raise
        if output.json_mode:
            output.json(report)
            return EXIT_ISSUES
        output.line(f"FAILED: {args.manifest}: no load plan: {exc}")
        _write_issues(output, report, _declared(args.manifest, args), args.manifest, args)
        output.line()
        _report_facts(report).write(output)
        return EXIT_ISSUES
    if output.json_mode:
        output.json(plan)
        return EXIT_OK
    output.line(f"OK: {args.manifest} verified; load plan follows")
    output.line()
    facts = _Facts()
    facts.add("artifact", plan["artifact_path"])
    facts.add("index", _params_text(plan["metadata"]), True)
    facts.add("size", _size_text(plan["metadata"]["file_size_bytes"]), True)
    facts.add("sha256", plan["report"]["artifact"]["sha256"], True)
    rows = plan["row_identity"]
    if rows["path"] is not None:
        facts.add("row map", rows["path"])
        facts.add("rows", f"{rows['row_count']} declared, {rows['validated_rows']} validated", True)
        facts.add("sha256", rows["sha256"], True)
    else:
        facts.add("row map", f"none: row ids are identities ({rows['row_count']} rows)")
    for aux in plan["auxiliary_artifacts"]:
        value = aux["path"] if aux["path"] is not None else f"absent ({aux['reason_code']})"
        facts.add(f"auxiliary {_hints.quoted(aux['name'])}", value)
        if aux["sha256"] is not None:
            facts.add("sha256", aux["sha256"], True)
    facts.write(output)
    return EXIT_OK


def _create(args: argparse.Namespace, output: Output) -> int:
    manifest: IndexManifest = output.call(
        _native.create_manifest, args.index, args.out, args.embedding_model, **create_kwargs(args)
    )
    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: wrote {args.out}")
        output.line()
        _manifest_facts(manifest).write(output)
    return EXIT_OK


def _inspect(args: argparse.Namespace, output: Output) -> int:
    manifest: IndexManifest = output.call(
        _native.inspect_manifest, args.manifest, **_limit_kwargs(args)
    )
    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: {args.manifest} decoded ({manifest['schema_version']})")
        output.line()
        _manifest_facts(manifest).write(output)
    return EXIT_OK


def sha256sum_line(digest: str, path: str) -> str:
    """One line as sha256sum writes it: a name with a backslash or a line break is escaped, and
    the line then starts with a backslash."""
    if "\\" in path or "\n" in path or "\r" in path:
        escaped = path.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
        return f"\\{digest}  {escaped}"
    return f"{digest}  {path}"


def _sha256(args: argparse.Namespace, output: Output) -> int:
    paths: list[str] = args.path
    several = len(paths) > 1
    statuses = []
    for outcome in _outcomes(output, _native.sha256_file, paths, args.jobs):
        path = outcome.item
        if outcome.error is not None:
            if several and output.json_mode:
                output.json_line({"path": path, "error": _error_json(outcome.error)})
            statuses.append(_report_error(output, path, outcome.error))
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
            check = _hints.FileCheck("file", path, path, digest["sha256"], None, None, None)
            for hint in _hints.hints_for_file(check):
                output.error(f"hint: {hint}")
    return _worst(statuses)


def _limits(args: argparse.Namespace, output: Output) -> int:
    limits: ResourceLimits = _native.default_resource_limits()
    if output.json_mode:
        output.json(limits)
        return EXIT_OK
    values: Mapping[str, int] = limits  # type: ignore[assignment]
    width = max(len(name) for name in values)
    for name, value in values.items():
        output.line(f"{name.ljust(width)}  {limit_text(name, value)}")
    return EXIT_OK


# ---- failures ----

# The module's argument errors name its keywords; the tool names its options.
_KEYWORD_OPTIONS = {"row_map": "--row-map", "row_id_is_identity": "--row-id-is-identity"}


def _in_cli_words(text: str) -> str:
    return re.sub(
        r"\b(row_map|row_id_is_identity)(=True)?\b", lambda m: _KEYWORD_OPTIONS[m.group(1)], text
    )


def _unopenable(path: str) -> str | None:
    """Why `path` cannot be read as a file, or None when it can."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        return exc.strerror or str(exc)
    try:
        if os.path.isdir(path):
            return os.strerror(21)  # EISDIR
    finally:
        os.close(fd)
    return None


def _create_subject(args: argparse.Namespace, error: BaseException) -> str:
    """`cannot create OUT`, and the input at fault where an operating-system error came from
    one: the module's error text names no file."""
    subject = f"cannot create {args.out}"
    if not isinstance(error, OSError):
        return subject
    inputs = [("index", args.index)]
    if args.row_map:
        inputs.append(("row map", args.row_map))
    for item in args.auxiliary_artifacts or []:
        inputs.append((f"auxiliary {_hints.quoted(item['name'])}", item["path"]))
    for label, path in inputs:
        if _unopenable(path) is not None:
            return f"{subject}: {label} {path}"
    return subject  # the inputs open: the output is at fault


def _error_subject(args: argparse.Namespace, error: BaseException) -> str:
    # The module's errors carry no file name; say what the command was reading or writing.
    if args.command == "create":
        return _create_subject(args, error)
    return str(getattr(args, "manifest", PROG))


def _error_text(args: argparse.Namespace, error: BaseException) -> str:
    if args.command == "create" and isinstance(error, ValueError):
        return _in_cli_words(str(error))
    return str(error)


def _readable_errors(stream: TextIO) -> None:
    # Paths that are not valid Unicode must not turn a verdict into a UnicodeEncodeError.
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")


def main(
    argv: Sequence[str] | None = None, *, out: TextIO | None = None, err: TextIO | None = None
) -> int:
    """Runs the tool with `argv` (default: the process's arguments) and returns the exit status."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    _readable_errors(out)
    _readable_errors(err)
    parser = build_parser()
    args = parser.parse_args(argv)  # usage errors exit with status 2 here
    if args.command == "verify" and args.index is not None and len(args.manifest) > 1:
        parser.error("--index applies to one manifest")
    output = Output(out, err, json_mode=args.json, quiet=args.quiet)
    try:
        status: int = args.handler(args, output)
        output.flush()
    except OutputError as exc:
        output.closed = True
        _discard_further_output(output.out)
        output.error(f"error: cannot write standard output: {exc}")
        return EXIT_ERROR
    except KeyboardInterrupt:
        output.error("interrupted")
        return EXIT_INTERRUPTED
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the native module's internal failure derives from it
        hints = _failure_hints(args, exc) if isinstance(exc, INPUT_ERRORS) else []
        return _report_error(output, _error_subject(args, exc), exc, hints, _error_text(args, exc))
    return status


def _failure_hints(args: argparse.Namespace, error: BaseException) -> list[str]:
    if args.command in ("load-plan", "inspect"):
        return _hints.error_hints(args.manifest, error, _effective_limits(args))
    if args.command == "create":
        return _create_hints(args, error)
    return []


ROW_MAP_INVALID = "row map is invalid: "


def _create_hints(args: argparse.Namespace, error: BaseException) -> list[str]:
    if not (isinstance(error, ValueError) and str(error).startswith(ROW_MAP_INVALID)):
        return []
    try:
        issues = _run.call(lambda: row_map_issues(args.row_map, _effective_limits(args)))
    except INPUT_ERRORS:
        return []
    return [f"row map {args.row_map}: {line}" for line in _hints.issue_lines(issues)]


def _count_lines(path: str) -> int:
    count, last = 0, b"\n"
    with open(path, "rb") as file:
        while chunk := file.read(1 << 20):
            count += chunk.count(b"\n")
            last = chunk[-1:]
    return count + (last != b"\n")


def row_map_issues(row_map: str, limits: Mapping[str, int]) -> list[Any]:
    """The issues verification reports for a row map on its own, with their messages and line
    numbers, where creation names only their codes: verifies, in a temporary directory, a
    manifest that names the row map by its absolute path beside an empty index."""
    rows = min(_count_lines(row_map), limits["max_row_map_rows"])
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
    unrelated = ("row_identity_sha256_mismatch", "row_identity_row_count_mismatch")
    return [
        issue for issue in report["errors"]
        if issue["code"].startswith("row_identity_") and issue["code"] not in unrelated
    ]
