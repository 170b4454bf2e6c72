"""Where and how the tool writes: standard output that may go away or fill up, errors on
standard error, the exit statuses, the issue listing, and the facts block every command ends
with."""

from __future__ import annotations

import argparse
import os
from collections import Counter
from collections.abc import Callable, Iterator, Sequence

from tamrel_manifest._words import counted, quoted
from tamrel_manifest.cli import options
from tamrel_manifest.cli.options import PROG

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO
    from _tamrel_manifest import (
        Artifact,
        IndexManifest,
        IndexMetadata,
        LoadPlan,
        ReportIssue,
        VerificationReport,
    )
    from tamrel_manifest import _run

EXIT_OK, EXIT_ISSUES, EXIT_ERROR, EXIT_INTERNAL = 0, 1, 2, 3
EXIT_INTERRUPTED = 130
# What the module raises for a file it cannot read or decode, or a value it refuses.
INPUT_ERRORS = (OSError, ValueError, TypeError, OverflowError, KeyError)


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
            discard_further_output(self.out)
        except OSError as exc:
            raise OutputError(exc) from None

    def json(self, value: object) -> None:
        import json

        # ensure_ascii: paths that are not valid Unicode survive as escapes on any stdout.
        self.line(json.dumps(value, indent=2))

    def json_line(self, value: object) -> None:
        import json

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
            discard_further_output(self.out)
        except OSError as exc:
            raise OutputError(exc) from None

    def call(self, function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """function(*args, **kwargs) off the main thread, under the progress line."""
        return self.wait(self.start(function, *args, **kwargs))

    def start(
        self, function: Callable[..., Any], *args: Any, **kwargs: Any
    ) -> _run.Outcome[None, Any]:
        """function(*args, **kwargs) started off the main thread; `wait` for its result."""
        from tamrel_manifest import _run

        return _run.start(lambda: function(*args, **kwargs))

    def wait(self, outcome: _run.Outcome[None, Any]) -> Any:
        """The result of a started call, under the progress line (Ctrl-C stops the waiting,
        not the call)."""
        from tamrel_manifest import _run
        from tamrel_manifest._progress import Progress

        with Progress(self.err, enabled=self.progress):
            return _run.result(outcome)


def discard_further_output(stream: TextIO) -> None:
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


def outcomes(
    output: Output, function: Callable[[str], Any], items: Sequence[str], jobs: int
) -> Iterator[_run.Outcome[str, Any]]:
    """The outcomes of `function` over `items` in order. One item runs under the progress line,
    which is erased before its result is printed; several print as they finish instead."""
    from tamrel_manifest import _run
    from tamrel_manifest._progress import Progress

    if len(items) > 1:
        yield from _run.run_each(function, items, jobs)
        return
    with Progress(output.err, enabled=output.progress):
        done = list(_run.run_each(function, items, jobs))
    yield from done


def worst(statuses: Sequence[int]) -> int:
    # Unreadable input outranks issues; an internal failure outranks both.
    for status in (EXIT_INTERNAL, EXIT_ERROR, EXIT_ISSUES):
        if status in statuses:
            return status
    return EXIT_OK


# ---- issues and errors ----


def issue_count(issues: Sequence[ReportIssue]) -> str:
    return counted(len(issues), "issue")


def issue_lines(issues: Sequence[ReportIssue], keep: int = 5) -> list[str]:
    """`code: message` per issue, except that past the first `keep` issues of one code a single
    line counts the rest and names the first and last row-map line they mention."""
    from tamrel_manifest._hints.rows import PATTERNS as ROW_PATTERNS

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
                int(m.group(1))
                for i in rest
                if (m := ROW_PATTERNS["row_line"].match(i["message"]))
            ]
            where = f" (row-map lines {numbers[0]} to {numbers[-1]})" if numbers else ""
            lines.append(f"... and {len(rest)} more {code}{where}")
    return lines


def write_issues(
    output: Output, report: VerificationReport, hints: Sequence[str], indent: str = ""
) -> None:
    """A failed report's issues, its warnings, then the hints for it."""
    for line in issue_lines(report["errors"]):
        output.line(indent + line)
    for issue in report["warnings"]:
        output.line(f"{indent}warning {issue['code']}: {issue['message']}")
    for hint in hints:
        output.line(f"{indent}hint: {hint}")


def write_signed_issues(output: Output, report: Any, indent: str) -> None:
    """The issues of a signed report and the signed files it leaves unpinned. No facts: a
    refused signature stops verification before any file is read."""
    for line in issue_lines(report["errors"]):
        output.line(indent + line)
    unpinned = report["signature"]["unpinned_resources"]
    if unpinned:
        output.line(f"{indent}signed but not pinned: " + ", ".join(unpinned))


class Failure:
    """What main says of a command that raised: the file it concerns (None: the text names
    it), the text (None: the error's own) and the hints."""

    def __init__(
        self, subject: str | None, text: str | None = None, hints: Sequence[str] = ()
    ) -> None:
        self.subject = subject
        self.text = text
        self.hints = hints


def plain_failure(args: argparse.Namespace, error: BaseException) -> Failure:
    # The module's errors carry no file name; say what the command was reading.
    manifest = getattr(args, "manifest", None)
    if isinstance(manifest, list):
        manifest = ", ".join(manifest)
    return Failure(manifest)


def manifest_failure(args: argparse.Namespace, error: BaseException) -> Failure:
    """A manifest that could not be read or decoded, with the hints for it."""
    from tamrel_manifest import _hints

    hints = (
        _hints.error_hints(args.manifest, error, options.limits_in_effect(args))
        if isinstance(error, INPUT_ERRORS) else []
    )
    return Failure(args.manifest, None, hints)


def error_json(error: BaseException) -> dict[str, str]:
    return {"type": type(error).__name__, "message": str(error)}


def report_error(
    output: Output,
    subject: str | None,
    error: BaseException,
    hints: Sequence[str] = (),
    text: str | None = None,
) -> int:
    """Says why `subject` failed on standard error (`text`, default the error's own, then the
    issues of a row map it refused); the exit status for it."""
    from tamrel_manifest._create import RowMapInvalid

    about = "" if subject is None else f"{subject}: "
    if not isinstance(error, INPUT_ERRORS):
        output.error(f"internal error: {about}{type(error).__name__}: {error}")
        return EXIT_INTERNAL
    output.error(f"error: {about}{error if text is None else text}")
    if isinstance(error, RowMapInvalid):
        for line in issue_lines(error.report["errors"]):
            output.error(line, prefix="  ")
    for hint in hints:
        output.error(f"hint: {hint}")
    return EXIT_ERROR


# ---- the facts block ----


def _params_text(metadata: IndexMetadata | Artifact) -> str:
    params = metadata["params"]
    text: str = metadata["kind"]
    if params["kind"] == "rank_quant":
        text += f" ({params['bits']} bits)"
    elif params["kind"] == "bitmap":
        text += f" (n_top {params['n_top']})"
    return (
        f"{text}, dim {metadata['dim']}, {counted(metadata['vector_count'], 'vector')},"
        f" {counted(metadata['bytes_per_vec'], 'byte')} per vector, format version"
        f" {metadata['format_version']}"
    )


def _size_text(size: int | None) -> str:
    from tamrel_manifest._progress import human_bytes

    if size is None:
        return "unknown"
    return counted(size, "byte") + (f" ({human_bytes(size)})" if size >= 1024 else "")


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


class FileFacts:
    """One file as the human output shows it; None where the source does not know. `sized`:
    whether to show a size line; `always`: the digest (and size) lines even when unknown."""

    def __init__(
        self,
        label: str,
        value: str | None,
        canonical_path: str | None = None,
        header: str | None = None,  # the index header's facts
        rows: str | None = None,
        size: int | None = None,
        sha256: str | None = None,
        sized: bool = True,
        always: bool = False,
    ) -> None:
        self.label = label
        self.value = value
        self.canonical_path = canonical_path
        self.header = header
        self.rows = rows
        self.size = size
        self.sha256 = sha256
        self.sized = sized
        self.always = always


def _count_text(count: int | None, noun: str | None = None) -> str:
    if count is None:
        return "unknown" + (f" {noun}s" if noun else "")
    return str(count) if noun is None else counted(count, noun)


def _rows_text(declared: int | None, validated: int | None) -> str:
    if validated is None:
        return f"{_count_text(declared)} declared, not validated"
    return f"{_count_text(declared)} declared, {validated} validated"


def _identity_rows(count: int | None) -> FileFacts:
    return FileFacts("row map", f"none: row ids are identities ({_count_text(count, 'row')})")


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


def write_report_facts(output: Output, report: VerificationReport) -> None:
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
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}",
                               f"{aux['manifest_path']}: {state}", size=aux["size_bytes"],
                               sha256=aux["sha256"]))
    for label, block in (
        ("encoder distortion", report["encoder_distortion"]),
        ("calibration", report["calibration"]),
    ):
        if block["present"]:
            files.append(FileFacts(label, f"profile {quoted(block['profile_id'] or '')}"))
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


def write_plan_facts(output: Output, plan: LoadPlan) -> None:
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
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}", value,
                               sha256=aux["sha256"], sized=False))
    _write_facts(output, files)


def write_manifest_facts(output: Output, manifest: IndexManifest) -> None:
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
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}",
                               f"{aux['path']} ({required})", size=aux["file_size_bytes"],
                               sha256=aux["sha256"]))
    for key in ("encoder_distortion", "calibration"):
        block = manifest.get(key)
        if isinstance(block, dict):
            files.append(FileFacts(key.replace("_", " "),
                                   f"profile {quoted(block['profile_id'])}"))
    attestations = manifest.get("attestations", [])
    _write_facts(output, files, before, [("attestations", len(attestations))] if attestations
                 else [])
