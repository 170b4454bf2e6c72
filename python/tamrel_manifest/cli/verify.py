"""verify: manifests and the files they name, one or many, with or without signatures."""

from __future__ import annotations

import argparse
from collections.abc import Mapping

import _tamrel_manifest as _native
from tamrel_manifest.cli import options
from tamrel_manifest.cli.facts import write_report_facts
from tamrel_manifest.cli.output import (
    EXIT_ERROR,
    EXIT_ISSUES,
    EXIT_OK,
    INPUT_ERRORS,
    Output,
    error_json,
    issue_count,
    outcomes,
    report_error,
    signed_by,
    worst,
    write_issues,
    write_signed_issues,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import IndexManifest, VerificationReport


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "verify",
        help="verify manifests and the files they name",
        usage=options.usage("verify", "MANIFEST [MANIFEST ...]"),
        define=_define,
    )


def _define(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifest", metavar="MANIFEST", nargs="+", help="manifest files")
    options.add_jobs(sub)
    add_verify_options(sub, many=True)
    sub.set_defaults(handler=run, check=check_arguments)


def add_verify_options(parser: argparse.ArgumentParser, many: bool = False) -> None:
    """What verify and load-plan both take after their manifests."""
    parser.add_argument(
        "--index",
        metavar="PATH",
        help="verify this file as the index (resolved against the manifest's directory)",
    )
    options.add_path_policy(parser)
    options.add_duplicate_ids(parser)
    options.add_json(parser, many=many)
    options.add_limits(parser)
    options.add_trust_options(parser)


def check_arguments(args: argparse.Namespace) -> None:
    if args.index is not None and len(args.manifest) > 1:
        raise ValueError("--index applies to one manifest")
    options.trust_kwargs(args)


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
    from tamrel_manifest import _untrusted
    from tamrel_manifest._hints import signatures

    trust = options.trust_kwargs(args)
    if trust:
        from tamrel_manifest import signing

        signed: VerificationReport = signing.verify_signed_manifest(
            manifest, **trust, **options.verify_kwargs(args)
        )
        return Checked(signed, None)  # its verdict gives no hints
    _untrusted.require_regular_manifest(manifest, must_open=False)
    report: VerificationReport = _native.verify_manifest(manifest, **options.verify_kwargs(args))
    return Checked(report, None if report["ok"] else declared(manifest, args),
                   signatures.unchecked_signature(manifest))


def declared(manifest: str, args: argparse.Namespace) -> IndexManifest | None:
    """The manifest as it declares its files, for the hints; None when it cannot be read."""
    # The report was built from these values; a manifest changed since then gives fewer hints.
    from tamrel_manifest import _untrusted

    try:
        _untrusted.require_regular_manifest(manifest)
        found: IndexManifest = _native.inspect_manifest(manifest, **options.limit_kwargs(args))
    except INPUT_ERRORS:
        return None
    return found


def report_hints(
    args: argparse.Namespace, report: VerificationReport, manifest: IndexManifest | None,
    manifest_path: str,
) -> list[str]:
    """The hints for a failed report under the options it was made with."""
    from tamrel_manifest import _hints

    limits = options.limits_in_effect(args)
    return _hints.report_hints(
        report,
        manifest,
        manifest_path=manifest_path,
        index=args.index,
        limits=limits,
        allow_absolute_paths=args.allow_absolute_paths,
        allow_path_escape=args.allow_path_escape,
        row_map_total=_row_map_total(report, limits),
    )


# How far past the report's limit the row map's issues are counted again for the hint: the
# count is exact up to here, and it bounds the memory the count takes.
RECOUNT_FACTOR = 16


def _row_map_total(report: VerificationReport, limits: dict[str, int]) -> int | None:
    """The row map's issues, counted again on the row map alone, where the report was cut among
    them; None where it was not, or where there are more than the recount takes."""
    from tamrel_manifest._create import row_map_issues
    from tamrel_manifest._hints.limits import ISSUE_LIMIT_CODE
    from tamrel_manifest._limits import LIMIT_MAX

    errors = report["errors"]
    rows = report["row_identity"]
    if (len(errors) < 2 or errors[-1]["code"] != ISSUE_LIMIT_CODE
            or not errors[-2]["code"].startswith("row_identity_")
            or rows["canonical_path"] is None):
        return None
    cap = min(max(limits["max_report_issues"] * RECOUNT_FACTOR, 1024), LIMIT_MAX)
    try:
        found = row_map_issues(rows["canonical_path"], {**limits, "max_report_issues": cap},
                               rows["row_count"])
    except INPUT_ERRORS:
        return None
    return len(found) if len(found) < cap - 1 else None


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import _hints
    from tamrel_manifest._hints import signatures

    manifests: list[str] = args.manifest
    several = len(manifests) > 1
    limits = options.limits_in_effect(args)
    statuses = []
    for outcome in outcomes(output, lambda m: _check(m, args), manifests, args.jobs):
        manifest = outcome.item
        if outcome.error is not None:
            error = outcome.error
            hints = _hints.error_hints(manifest, error, limits)
            if output.json_mode:
                # The same object for one manifest as for several; the text goes to stderr.
                entry = {"manifest": manifest, "error": error_json(error)}
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
            statuses.append(report_error(output, manifest, error, hints))
            continue
        assert outcome.value is not None
        checked = outcome.value
        report = checked.report
        statuses.append(EXIT_OK if report["ok"] else EXIT_ISSUES)
        shown: Mapping[str, object] = report
        if checked.unchecked_signature is not None:
            shown = {**report, signatures.NOT_CHECKED: checked.unchecked_signature}
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
    return worst(statuses)


def _write_verdict(
    output: Output, manifest: str, checked: Checked, args: argparse.Namespace, indent: str
) -> None:
    """One manifest's result for a person; alone, with its facts."""
    from tamrel_manifest._hints import signatures

    report = checked.report
    if "signature" in report:
        _write_signed_verdict(output, manifest, report, indent)
        return
    if report["ok"]:
        output.line(f"OK: {manifest} verified, no issues")
    else:
        output.line(f"FAILED: {manifest}: {issue_count(report['errors'])}")
        hints = report_hints(args, report, checked.declared, manifest)
        write_issues(output, report, hints, indent)
    if checked.unchecked_signature is not None:
        output.line(indent + signatures.not_checked_line(checked.unchecked_signature))
    if not indent:
        output.line()
        write_report_facts(output, report)


def _write_signed_verdict(output: Output, manifest: str, report: Any, indent: str) -> None:
    """A signed report for a person: the verdict, then its issues."""
    if report["ok"]:
        output.line(f"OK: {manifest} verified, signed by"
                    f" {signed_by(report['signature']['signatures'])}")
    else:
        output.line(f"FAILED: {manifest}: {issue_count(report['errors'])}")
    write_signed_issues(output, report, indent)
