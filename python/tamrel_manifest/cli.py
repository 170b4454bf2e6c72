"""The command-line tool: tamrel-manifest (also python -m tamrel_manifest).

Exit status: 0 when the verdict is clean, 1 when verification found issues, 2 for usage errors and
for files that cannot be read or decoded, 3 for an internal failure of the native module.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, TextIO

import _tamrel_manifest as _native
from tamrel_manifest import _hints
from tamrel_manifest._progress import Progress, human_bytes

if TYPE_CHECKING:
    from _tamrel_manifest import (
        Artifact,
        IndexManifest,
        IndexMetadata,
        LoadPlan,
        ResourceLimits,
        VerificationReport,
    )

PROG = "tamrel-manifest"
EXIT_OK, EXIT_ISSUES, EXIT_ERROR, EXIT_INTERNAL = 0, 1, 2, 3

LIMITS = (
    ("max_manifest_bytes", "largest manifest file read, in bytes"),
    ("max_row_map_line_bytes", "longest row-map line, in bytes"),
    ("max_row_map_rows", "most row-map rows"),
    ("max_row_map_tracked_id_bytes", "most bytes of database ids tracked for duplicates"),
    ("max_auxiliary_artifacts", "most auxiliary artifacts"),
    ("max_auxiliary_artifact_bytes", "largest auxiliary artifact, in bytes"),
    ("max_calibration_profile_bytes", "largest calibration profile, in bytes"),
    ("max_encoder_distortion_profile_bytes", "largest encoder distortion profile, in bytes"),
    ("max_report_issues", "most issues in a report"),
    ("max_cached_report_bytes", "accepted and passed on; no step consults it"),
)
LIMIT_NAMES = tuple(name for name, _ in LIMITS)


class Output:
    """Where a command writes: `out` for results, `err` for errors, progress only when allowed."""

    def __init__(self, out: TextIO, err: TextIO, *, json_mode: bool) -> None:
        self.out = out
        self.err = err
        self.json_mode = json_mode
        self.closed = False  # the reader went away (a pipe into `head`)
        # Live progress only for a person watching: both streams on a terminal, not --json.
        self.progress = (
            not json_mode and _isatty(out) and _isatty(err) and _terminal_can_erase_lines()
        )

    def line(self, text: str = "") -> None:
        if self.closed:
            return
        try:
            print(text, file=self.out)
        except BrokenPipeError:
            # The verdict still decides the exit status; the rest of the output has no reader.
            self.closed = True
            _discard_further_output(self.out)

    def json(self, value: object) -> None:
        # ensure_ascii: paths that are not valid Unicode survive as escapes on any stdout.
        self.line(json.dumps(value, indent=2))

    def flush(self) -> None:
        try:
            self.out.flush()
        except BrokenPipeError:
            self.closed = True
            _discard_further_output(self.out)

    def call(self, function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        with Progress(self.err, enabled=self.progress):
            return function(*args, **kwargs)


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


def _limit(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _aux(required: bool) -> Callable[[str], dict[str, Any]]:
    def parse(text: str) -> dict[str, Any]:
        name, sep, path = text.partition("=")
        if not sep or not path:
            raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
        return {"name": name, "path": path, "required": required}

    return parse


def _add_limits(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("resource limits (default: the module's defaults)")
    for name, help_text in LIMITS:
        group.add_argument(
            "--" + name.replace("_", "-"), dest=name, type=_limit, metavar="N", help=help_text
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


def _add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print the result dict as JSON")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Create, inspect and verify index manifests.",
        epilog="exit status: 0 clean, 1 verification found issues, 2 usage error or unreadable"
        " input, 3 internal failure",
    )
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
        ("verify", _verify, "verify a manifest and the files it names"),
        ("load-plan", _load_plan, "verify, then print what a loader needs"),
    ):
        sub = commands.add_parser(name, help=help_text)
        sub.add_argument("manifest")
        sub.add_argument("--index", metavar="PATH", help="verify this file as the index")
        _add_path_policy(sub)
        sub.add_argument(
            "--allow-duplicate-db-ids", action="store_true", help="accept repeated db_id values"
        )
        _add_json(sub)
        _add_limits(sub)
        sub.set_defaults(handler=handler)

    inspect = commands.add_parser("inspect", help="print a manifest in canonical form")
    inspect.add_argument("manifest")
    _add_json(inspect)
    _add_limits(inspect)
    inspect.set_defaults(handler=_inspect)

    sha = commands.add_parser("sha256", help="print the SHA-256 and size of a file")
    sha.add_argument("path")
    _add_json(sha)
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


def _write_issues(
    output: Output, report: VerificationReport, manifest_path: str, args: argparse.Namespace
) -> None:
    for issue in report["errors"]:
        output.line(f"{issue['code']}: {issue['message']}")
    for issue in report["warnings"]:
        output.line(f"warning {issue['code']}: {issue['message']}")
    declared: IndexManifest | None = None
    if not report["ok"]:
        try:  # the declared sizes and digests, for the hints; the report was built from them
            declared = _native.inspect_manifest(manifest_path, **_limit_kwargs(args))
        except (OSError, ValueError):
            declared = None
    for hint in _hints.report_hints(report, declared):
        output.line(f"hint: {hint}")


def _issue_count(report: VerificationReport) -> str:
    count = len(report["errors"])
    return "1 issue" if count == 1 else f"{count} issues"


# ---- commands ----


def _verify(args: argparse.Namespace, output: Output) -> int:
    report: VerificationReport = output.call(
        _native.verify_manifest, args.manifest, **verify_kwargs(args)
    )
    if output.json_mode:
        output.json(report)
    else:
        if report["ok"]:
            output.line(f"OK: {args.manifest} verified, no issues")
        else:
            output.line(f"FAILED: {args.manifest}: {_issue_count(report)}")
        _write_issues(output, report, args.manifest, args)
        output.line()
        _report_facts(report).write(output)
    return EXIT_OK if report["ok"] else EXIT_ISSUES


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
        _write_issues(output, report, args.manifest, args)
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


def _sha256(args: argparse.Namespace, output: Output) -> int:
    digest = output.call(_native.sha256_file, args.path)
    if output.json_mode:
        output.json(digest)
        return EXIT_OK
    output.line(f"{digest['sha256']}  {args.path}")
    output.line(f"size  {_size_text(digest['size_bytes'])}")
    check = _hints.FileCheck("file", args.path, args.path, digest["sha256"], None, None, None)
    for hint in _hints.hints_for_file(check):
        output.line(f"hint: {hint}")
    return EXIT_OK


def _limits(args: argparse.Namespace, output: Output) -> int:
    limits: ResourceLimits = _native.default_resource_limits()
    if output.json_mode:
        output.json(limits)
        return EXIT_OK
    values: Mapping[str, object] = limits
    width = max(len(name) for name in values)
    for name, value in values.items():
        assert isinstance(value, int)
        extra = f"  ({human_bytes(value)})" if name.endswith("_bytes") and value >= 1024 else ""
        output.line(f"{name.ljust(width)}  {value}{extra}")
    return EXIT_OK


def _error_subject(args: argparse.Namespace) -> str:
    # The module's errors carry no file name; say what the command was reading or writing.
    if args.command == "create":
        return f"cannot create {args.out}"
    if args.command == "sha256":
        return str(args.path)
    return str(getattr(args, "manifest", PROG))


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
    args = build_parser().parse_args(argv)  # usage errors exit with status 2 here
    output = Output(out, err, json_mode=args.json)
    try:
        status: int = args.handler(args, output)
    except (OSError, ValueError, TypeError, OverflowError, KeyError) as exc:
        print(f"{PROG}: error: {_error_subject(args)}: {exc}", file=err)
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 130
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # the native module's internal failure derives from it
        print(f"{PROG}: internal error: {type(exc).__name__}: {exc}", file=err)
        return EXIT_INTERNAL
    output.flush()
    return status
