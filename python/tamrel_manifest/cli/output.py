"""Where and how the tool writes: standard output that may go away or fill up, errors on
standard error, the exit statuses and the issue listing. (The facts block every command ends
with is facts.py's.)"""

from __future__ import annotations

import argparse
import os
from collections import Counter
from collections.abc import Callable, Iterator, Sequence

from tamrel_manifest._words import counted
from tamrel_manifest.cli import options
from tamrel_manifest.cli.options import PROG

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO
    from _tamrel_manifest import (
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


def signed_by(signatures: Sequence[Any]) -> str:
    """The signers of the signatures that verified, for a verdict line."""
    return ", ".join(entry["signer"] for entry in signatures if entry["verified"])


def signer_text(entry: Any) -> str:
    """The method that verified a signature and who signed it: a trusted key by its id, a
    certificate by the identity it names and who issued it."""
    key = f"{entry['key_type']} key {entry['key_id']}"
    certificate = entry["certificate"]
    if entry["method"] == "key" or certificate is None:
        # A certificate bundle a trusted key verified: the key is what was trusted.
        trusted = entry["trusted_key"]
        return f"{entry['method']} method: {key}" + (f" (trusted as {trusted})" if trusted else "")
    chained = certificate.get("trust_root")
    return (f"{entry['method']} method: {certificate['identity']}, issued by"
            f" {certificate['issuer']}" + (f", chains to {chained}" if chained else "")
            + f" ({key})")


def write_signature_part(output: Output, part: Any, indent: str) -> None:
    """What the signature check found beyond its refusals: each verified signature's method and
    signer, the warnings (signature files no trust option verified, beside enough that did),
    and the signed files the manifest leaves unpinned or the directory lacks."""
    for entry in part["signatures"]:
        if entry["verified"]:
            output.line(f"{indent}signature {entry['path']}: {signer_text(entry)}")
    for issue in part["warnings"]:
        output.line(f"{indent}warning {issue['code']}: {issue['message']}")
    for label, key in (("signed but not pinned", "unpinned_resources"),
                       ("signed but absent", "missing_resources")):
        names = part.get(key)
        if names:
            output.line(f"{indent}{label}: " + ", ".join(names))


def write_signed_issues(output: Output, report: Any, indent: str) -> None:
    """The issues of a signed report, then its signature part. No facts: a refused signature
    stops verification before any file is read."""
    for line in issue_lines(report["errors"]):
        output.line(indent + line)
    write_signature_part(output, report["signature"], indent)


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
