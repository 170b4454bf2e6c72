"""The command-line tool: tamrel-manifest (also python -m tamrel_manifest).

Exit status: 0 when the verdict is clean, 1 when verification found issues, 2 for usage errors and
for files that cannot be read or decoded, 3 for an internal failure of the native module, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TextIO

import _tamrel_manifest as _native
from tamrel_manifest import _hints, _run, _sign_cli, _untrusted, signing
from tamrel_manifest._create import (
    LIMIT_NAMES,
    RowMapInvalid,
    count_lines,
    create_manifest,
    effective_limits,
)
from tamrel_manifest._argtypes import count as _count
from tamrel_manifest._argtypes import positive as _jobs
from tamrel_manifest._argtypes import size as _size
from tamrel_manifest._hints import option_name, size_text
from tamrel_manifest.verified import VerificationFailed, verify_for_load
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

# The module is the one place that knows its limits (LIMIT_NAMES); only the help texts live here.
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


def is_size_limit(name: str) -> bool:
    return name.endswith("_bytes")


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

    def error(self, text: str, prefix: str = f"{PROG}: ") -> None:
        try:
            print(prefix + text, file=self.err)
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


def _aux(required: bool) -> Callable[[str], dict[str, Any]]:
    def parse(text: str) -> dict[str, Any]:
        name, sep, path = text.partition("=")
        if not sep or not path:
            raise argparse.ArgumentTypeError(f"expected NAME=PATH, got {text!r}")
        return {"name": name, "path": path, "required": required}

    return parse


def _add_limits(parser: argparse.ArgumentParser, names: Sequence[str] = LIMIT_NAMES) -> None:
    group = parser.add_argument_group(
        "resource limits (default: the module's defaults; sizes in bytes or with KiB, MiB, GiB)"
    )
    for name in names:
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


class _Parser(argparse.ArgumentParser):
    """argparse's parser, except that help and version text that cannot be written raises
    OSError (argparse drops the error and exits 0)."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            (file or sys.stderr).write(message)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Create, inspect and verify index manifests.",
        epilog="exit status: 0 clean, 1 verification found issues, 2 usage error or unreadable"
        " input, 3 internal failure, 130 interrupted",
    )
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    create = commands.add_parser(
        "create",
        help="write a new manifest for an index file",
        usage=f"{PROG} create [options] INDEX OUT EMBEDDING-MODEL"
        " (--row-map PATH | --row-id-is-identity)",
    )
    create.add_argument("index", metavar="INDEX", help="the index file")
    create.add_argument(
        "out",
        metavar="OUT",
        help="the manifest file to write; a missing directory is created (and removed again"
        " when creation fails)",
    )
    create.add_argument("embedding_model", metavar="EMBEDDING-MODEL", help="the model name")
    rows = create.add_argument_group("row identity (one of these is required)")
    rows.add_argument("--row-map", metavar="PATH", help="the row-identity JSONL file")
    rows.add_argument(
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
        several = name == "verify"
        sub = commands.add_parser(
            name,
            help=help_text,
            usage=f"{PROG} {name} [options] MANIFEST" + (" [MANIFEST ...]" if several else ""),
        )
        if several:
            sub.add_argument("manifest", metavar="MANIFEST", nargs="+", help="manifest files")
            _add_jobs(sub)
        else:
            sub.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
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
        _sign_cli.add_trust_options(sub)
        sub.set_defaults(handler=handler)

    _sign_cli.add_commands(commands, _add_path_policy, _add_json, _add_limits)

    inspect = commands.add_parser(
        "inspect",
        help="print a manifest in canonical form",
        usage=f"{PROG} inspect [options] MANIFEST",
    )
    inspect.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    _add_json(inspect)
    _add_limits(inspect, ("max_manifest_bytes",))  # the only input it reads
    inspect.set_defaults(handler=_inspect)

    sha = commands.add_parser(
        "sha256",
        help="print the SHA-256 of files, as sha256sum does (sha256sum -c reads it)",
        usage=f"{PROG} sha256 [options] PATH [PATH ...]",
    )
    sha.add_argument("path", metavar="PATH", nargs="+", help="files; - is standard input")
    _add_jobs(sha)
    _add_json(sha, many=True)
    sha.set_defaults(handler=_sha256)

    limits = commands.add_parser("limits", help="print the default resource limits")
    _add_json(limits)
    limits.set_defaults(handler=_limits)
    return parser


def _limit_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    # A command offers only the limits that apply to it; the others are the defaults.
    return {name: getattr(args, name, None) for name in LIMIT_NAMES}


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


class FileFacts(NamedTuple):
    """One file as the human output shows it; None where the source does not know."""

    label: str
    value: str | None
    canonical_path: str | None = None
    header: str | None = None  # the index header's facts
    rows: str | None = None
    size: int | None = None
    sha256: str | None = None
    sized: bool = True  # whether to show a size line
    always: bool = False  # show the digest (and size) lines even when unknown


def _count_text(count: int | None) -> str:
    return "unknown" if count is None else str(count)


def _rows_text(declared: int | None, validated: int | None) -> str:
    if validated is None:
        return f"{_count_text(declared)} declared, not validated"
    return f"{_count_text(declared)} declared, {validated} validated"


def _identity_rows(count: int | None) -> FileFacts:
    return FileFacts("row map", f"none: row ids are identities ({_count_text(count)} rows)")


def _write_facts(
    output: Output,
    files: Sequence[FileFacts],
    before: Sequence[tuple[str, object]] = (),
    after: Sequence[tuple[str, object]] = (),
) -> None:
    """The facts block of every command: `before`, each file with its details, `after`."""
    facts = _Facts()
    for label, value in before:
        facts.add(label, value)
    for file in files:
        facts.add(file.label, file.value)
        if file.canonical_path is not None:
            facts.add("canonical path", file.canonical_path, True)
        if file.header is not None:
            facts.add("index", file.header, True)
        if file.rows is not None:
            facts.add("rows", file.rows, True)
        shown = file.always or file.sha256 is not None
        if file.sized and shown and file.rows is None:
            facts.add("size", _size_text(file.size), True)
        if shown:
            facts.add("sha256", file.sha256, True)
    for label, value in after:
        facts.add(label, value)
    facts.write(output)


def _artifact_facts(path: str | None, metadata: IndexMetadata | Artifact | None, size: int | None,
                    sha256: str | None, canonical: str | None = None) -> FileFacts:
    index = _params_text(metadata) if metadata is not None else None
    return FileFacts("artifact", path, canonical, index, None, size, sha256, always=True)


def _write_report_facts(output: Output, report: VerificationReport) -> None:
    artifact = report["artifact"]
    files = [
        _artifact_facts(artifact["observed_path"], artifact["metadata"], artifact["size_bytes"],
                        artifact["sha256"], artifact["canonical_path"])
    ]
    rows = report["row_identity"]
    if rows["kind"] == "jsonl":
        files.append(FileFacts("row map", rows["manifest_path"], rows["canonical_path"],
                               rows=_rows_text(rows["row_count"], rows["validated_rows"]),
                               sha256=rows["sha256"], always=True))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in report["auxiliary_artifacts"]:
        state = aux["state"] + (f" ({aux['reason_code']})" if aux["reason_code"] else "")
        files.append(FileFacts(f"auxiliary {_hints.quoted(aux['name'])}",
                               f"{aux['manifest_path']}: {state}", size=aux["size_bytes"],
                               sha256=aux["sha256"]))
    for label, block in (
        ("encoder distortion", report["encoder_distortion"]),
        ("calibration", report["calibration"]),
    ):
        if block["present"]:
            files.append(FileFacts(label, f"profile {_hints.quoted(block['profile_id'] or '')}"))
            if block["profile_manifest_path"] is not None:
                files.append(FileFacts("  profile", block["profile_manifest_path"],
                                       sha256=block["profile_sha256"], sized=False))
    after: list[tuple[str, object]] = []
    checks = report["attestation_shape_checks"]
    if checks:
        matched = sum(1 for check in checks if check["subject_sha256_matched"])
        after.append(("attestations", f"{len(checks)}, {matched} naming the artifact's digest"))
    if report["skipped_checks"]:
        after.append(("skipped checks", ", ".join(report["skipped_checks"])))
    after += [("manifest id", report["manifest_id"]), ("checked at", report["checked_at"])]
    _write_facts(output, files, after=after)


def _write_plan_facts(output: Output, plan: LoadPlan) -> None:
    files = [
        _artifact_facts(plan["artifact_path"], plan["metadata"],
                        plan["metadata"]["file_size_bytes"], plan["report"]["artifact"]["sha256"])
    ]
    rows = plan["row_identity"]
    if rows["path"] is not None:
        files.append(FileFacts("row map", rows["path"],
                               rows=_rows_text(rows["row_count"], rows["validated_rows"]),
                               sha256=rows["sha256"], always=True))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in plan["auxiliary_artifacts"]:
        value = aux["path"] if aux["path"] is not None else f"absent ({aux['reason_code']})"
        files.append(FileFacts(f"auxiliary {_hints.quoted(aux['name'])}", value,
                               sha256=aux["sha256"], sized=False))
    _write_facts(output, files)


def _write_manifest_facts(output: Output, manifest: IndexManifest) -> None:
    artifact = manifest["artifact"]
    embedding = manifest["embedding"]
    before = [
        ("manifest id", manifest["manifest_id"]),
        ("created at", manifest["created_at"]),
        ("embedding model", f"{embedding['model']} (dim {embedding['dim']})"),
    ]
    files = [
        _artifact_facts(artifact["path"], artifact, artifact["file_size_bytes"],
                        artifact["sha256"])
    ]
    rows = manifest["row_identity"]
    if rows["kind"] == "jsonl":
        files.append(FileFacts("row map", rows["path"], rows=str(rows["row_count"]),
                               sha256=rows["sha256"]))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in manifest.get("auxiliary_artifacts", []):
        required = "required" if aux.get("required", True) else "optional"
        files.append(FileFacts(f"auxiliary {_hints.quoted(aux['name'])}",
                               f"{aux['path']} ({required})", size=aux["file_size_bytes"],
                               sha256=aux["sha256"]))
    for key in ("encoder_distortion", "calibration"):
        block = manifest.get(key)
        if isinstance(block, dict):
            files.append(FileFacts(key.replace("_", " "),
                                   f"profile {_hints.quoted(block['profile_id'])}"))
    attestations = manifest.get("attestations", [])
    _write_facts(output, files, before, [("attestations", len(attestations))] if attestations
                 else [])


def _effective_limits(args: argparse.Namespace) -> dict[str, int]:
    return effective_limits(_limit_kwargs(args))


class Checked:
    """What a worker hands back for one manifest: the report, the declared manifest when the
    report failed (its sizes and digests feed the hints), and a signature file beside the
    manifest that an unsigned verification did not check."""

    def __init__(
        self,
        report: VerificationReport,
        declared: IndexManifest | None,
        unchecked_signature: str | None = None,
    ) -> None:
        self.report = report
        self.declared = declared
        self.unchecked_signature = unchecked_signature


def _check(manifest: str, args: argparse.Namespace) -> Checked:
    trust = _sign_cli.trust_kwargs(args)
    if trust:
        signed: VerificationReport = signing.verify_signed_manifest(
            manifest, **trust, **verify_kwargs(args)
        )
        return Checked(signed, None)  # its verdict gives no hints
    _untrusted.require_regular_manifest(manifest, must_open=False)
    report: VerificationReport = _native.verify_manifest(manifest, **verify_kwargs(args))
    return Checked(report, None if report["ok"] else _declared(manifest, args),
                   _sign_cli.unchecked_signature(manifest))


def _declared(manifest: str, args: argparse.Namespace) -> IndexManifest | None:
    # The report was built from these values; a manifest changed since then gives fewer hints.
    try:
        _untrusted.require_regular_manifest(manifest)
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
        allow_absolute_paths=args.allow_absolute_paths,
        allow_path_escape=args.allow_path_escape,
    )
    for hint in hints:
        output.line(f"{indent}hint: {hint}")


def _error_json(error: BaseException) -> dict[str, str]:
    return {"type": type(error).__name__, "message": str(error)}


def _report_error(
    output: Output,
    subject: str,
    error: BaseException,
    hints: Sequence[str] = (),
    text: str | None = None,
) -> int:
    """Says why `subject` failed on standard error (`text`, default the error's own, then the
    issues of a row map it refused); the exit status for it."""
    if not isinstance(error, INPUT_ERRORS):
        output.error(f"internal error: {subject}: {type(error).__name__}: {error}")
        return EXIT_INTERNAL
    output.error(f"error: {subject}: {error if text is None else text}")
    if isinstance(error, RowMapInvalid):
        for line in _hints.issue_lines(error.report["errors"]):
            output.error(line, prefix="  ")
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
    manifests: list[str] = args.manifest
    several = len(manifests) > 1
    limits = _effective_limits(args)
    statuses = []
    for outcome in _outcomes(output, lambda m: _check(m, args), manifests, args.jobs):
        manifest = outcome.item
        if outcome.error is not None:
            error = outcome.error
            hints = _hints.error_hints(manifest, error, limits)
            if output.json_mode:
                # The same object for one manifest as for several; the text goes to stderr.
                entry = {"manifest": manifest, "error": _error_json(error)}
                if several:
                    output.json_line(entry)
                else:
                    output.json(entry)
            elif several and not output.quiet and isinstance(error, INPUT_ERRORS):
                # In the list with the others, and only there (-q: on standard error).
                output.line(f"ERROR: {manifest}: {error}")
                for hint in hints:
                    output.line(f"  hint: {hint}")
                statuses.append(EXIT_ERROR)
                continue
            statuses.append(_report_error(output, manifest, error, hints))
            continue
        assert outcome.value is not None
        checked = outcome.value
        report = checked.report
        statuses.append(EXIT_OK if report["ok"] else EXIT_ISSUES)
        shown: Mapping[str, object] = report
        if checked.unchecked_signature is not None:
            shown = {**report, _sign_cli.NOT_CHECKED: checked.unchecked_signature}
        if several and output.json_mode:
            output.json_line({"manifest": manifest, "report": shown})
        elif output.json_mode:
            output.json(shown)
        else:
            _write_verdict(output, manifest, checked, args, "  " if several else "")
    if several and not output.json_mode:
        failed = statuses.count(EXIT_ISSUES)
        unreadable = len(statuses) - failed - statuses.count(EXIT_OK)
        output.line(
            f"{len(statuses)} manifests: {statuses.count(EXIT_OK)} verified, {failed} with issues,"
            f" {unreadable} unreadable"
        )
    return _worst(statuses)


def _write_verdict(
    output: Output, manifest: str, checked: Checked, args: argparse.Namespace, indent: str
) -> None:
    """One manifest's result for a person; alone, with its facts."""
    report = checked.report
    if "signature" in report:
        _sign_cli.write_verdict(output, manifest, report, indent)
        return
    if report["ok"]:
        output.line(f"OK: {manifest} verified, no issues")
    else:
        output.line(f"FAILED: {manifest}: {_hints.issue_count(report['errors'])}")
        _write_issues(output, report, checked.declared, manifest, args, indent)
    if checked.unchecked_signature is not None:
        output.line(indent + _sign_cli.not_checked_line(checked.unchecked_signature))
    if not indent:
        output.line()
        _write_report_facts(output, report)


def _load_plan(args: argparse.Namespace, output: Output) -> int:
    kwargs = verify_kwargs(args)
    trust = _sign_cli.trust_kwargs(args)
    try:
        if trust:
            plan: LoadPlan = output.call(_sign_cli.signed_plan, args.manifest, trust, kwargs)
        else:
            _untrusted.require_regular_manifest(args.manifest, must_open=False)
            plan = output.call(verify_for_load, args.manifest, **kwargs)
    except VerificationFailed as exc:
        report = exc.report
        if output.json_mode:
            output.json(report)
            return EXIT_ISSUES
        output.line(f"FAILED: {args.manifest}: no load plan: {exc}")
        if "signature" in report:
            _sign_cli.write_issues(output, report, "")
            return EXIT_ISSUES
        _write_issues(output, report, _declared(args.manifest, args), args.manifest, args)
        output.line()
        _write_report_facts(output, report)
        return EXIT_ISSUES
    if output.json_mode:
        output.json(plan)
        return EXIT_OK
    signed = ", signatures checked" if trust else ""
    output.line(f"OK: {args.manifest} verified{signed}; load plan follows")
    output.line()
    _write_plan_facts(output, plan)
    return EXIT_OK


def _create(args: argparse.Namespace, output: Output) -> int:
    manifest: IndexManifest = output.call(
        create_manifest, args.index, args.out, args.embedding_model, **create_kwargs(args)
    )
    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: wrote {args.out}")
        output.line()
        _write_manifest_facts(output, manifest)
    return EXIT_OK


def _inspect(args: argparse.Namespace, output: Output) -> int:
    _untrusted.require_regular_manifest(args.manifest, must_open=False)
    manifest: IndexManifest = output.call(
        _native.inspect_manifest, args.manifest, **_limit_kwargs(args)
    )
    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: {args.manifest} decoded ({manifest['schema_version']})")
        output.line()
        _write_manifest_facts(output, manifest)
    return EXIT_OK


def sha256sum_line(digest: str, path: str) -> str:
    """One line as sha256sum writes it: a name with a backslash or a line break is escaped, and
    the line then starts with a backslash."""
    if "\\" in path or "\n" in path or "\r" in path:
        escaped = path.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
        return f"\\{digest}  {escaped}"
    return f"{digest}  {path}"


STDIN = "-"


def _stdin_digest() -> FileDigest:
    """The digest of standard input, read to its end, as sha256_file gives a file's."""
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


def _sha256(args: argparse.Namespace, output: Output) -> int:
    paths: list[str] = args.path
    several = len(paths) > 1
    statuses = []
    for outcome in _outcomes(output, _file_digest, paths, args.jobs):
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
            if path == STDIN:
                continue
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


def _in_cli_words(text: str) -> str:
    """The module's argument errors name its keywords; the tool names its options."""
    return _hints.PATTERNS["create_keywords"].sub(lambda m: option_name(m.group(1)), text)


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
    if _hints.PATTERNS["probe"].match(str(error)):
        return f"{subject}: index {args.index}"
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
    count = len(error.report["errors"]) if isinstance(error, RowMapInvalid) else 0
    if count:  # listed below it; with none found alone (a row count only), the module's text
        return f"row map {args.row_map} is invalid: " + (
            "1 issue" if count == 1 else f"{count} issues"
        )
    if args.command == "create" and isinstance(error, ValueError):
        return _in_cli_words(str(error))
    return str(error)


def _readable_errors(stream: TextIO) -> None:
    # Paths that are not valid Unicode must not turn a verdict into a UnicodeEncodeError.
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")


def _parse(
    parser: argparse.ArgumentParser, argv: Sequence[str] | None, err: TextIO
) -> argparse.Namespace | int:
    """The parsed arguments, or the exit status of a command line that ends in parsing: a usage
    error (2), or --help / --version (0, unless their text cannot be written: 2)."""
    try:
        args = parser.parse_args(argv)
        if args.command == "verify" and args.index is not None and len(args.manifest) > 1:
            parser.error("--index applies to one manifest")
        if args.command in ("verify", "load-plan"):
            try:
                _sign_cli.trust_kwargs(args)
            except ValueError as exc:
                parser.error(str(exc))
        return args
    except SystemExit as exc:
        if exc.code not in (0, None):
            return exc.code if isinstance(exc.code, int) else EXIT_ERROR
        failure = _flush_stdout()
    except OSError as exc:
        failure = exc
    if failure is None:
        return EXIT_OK
    _discard_further_output(sys.stdout)
    if isinstance(failure, BrokenPipeError):  # the reader went away (a pipe into head)
        return EXIT_OK
    Output(sys.stdout, err, json_mode=True).error(f"error: cannot write standard output: {failure}")
    return EXIT_ERROR


def _flush_stdout() -> OSError | None:
    try:
        sys.stdout.flush()
    except OSError as exc:
        return exc
    return None


def main(
    argv: Sequence[str] | None = None, *, out: TextIO | None = None, err: TextIO | None = None
) -> int:
    """Runs the tool with `argv` (default: the process's arguments) and returns the exit status."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    _readable_errors(out)
    _readable_errors(err)
    parser = build_parser()
    parsed = _parse(parser, argv, err)
    if isinstance(parsed, int):
        return parsed
    args = parsed
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


def _create_hints(args: argparse.Namespace, error: BaseException) -> list[str]:
    """What verify says of the same input: the row map's first issues and their hints, the limit
    that stopped creation and what raising it costs, or what an unknown index file is."""
    text = str(error)
    if isinstance(error, RowMapInvalid) and error.report["errors"]:
        return _hints.row_map_hints(error.report["errors"], args.row_map, args.row_map)
    if isinstance(error, RowMapInvalid):  # its rows are sound: there are too many of them
        try:
            lines = count_lines(args.row_map)
        except OSError:
            return []
        return [f"row map {args.row_map} has {lines} rows, more than the index has vectors"]
    if isinstance(error, OSError) and _hints.PATTERNS["probe"].match(text):
        return _hints.input_hints("index", args.index)
    code = text.partition(":")[0]
    if isinstance(error, ValueError) and code in _hints.LIMIT_OF_CODE:
        return _create_limit_hints(args, code)
    return []


def _create_limit_hints(args: argparse.Namespace, code: str) -> list[str]:
    rows = None
    if args.row_map and code.startswith("row_identity_"):
        try:
            rows = _run.call(lambda: count_lines(args.row_map))
        except OSError:
            pass
    items = args.auxiliary_artifacts or []
    size = None
    if code == "auxiliary_artifact_file_too_large":
        sizes = [_file_size(item["path"]) for item in items]
        size = max((s for s in sizes if s is not None), default=None)
    hint = _hints.limit_hint(code, _effective_limits(args), rows=rows, count=len(items),
                             size=size)
    return [] if hint is None else [hint]


def _file_size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None
