"""load-plan: verify one manifest (and its signatures), then print what a loader needs."""

from __future__ import annotations

import argparse

from tamrel_manifest.cli import options, verify
from tamrel_manifest.cli.facts import write_plan_facts, write_report_facts
from tamrel_manifest.cli.output import (
    EXIT_ISSUES,
    EXIT_OK,
    Output,
    manifest_failure,
    write_issues,
    write_signature_part,
    write_signed_issues,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import LoadPlan


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "load-plan",
        help="verify, then print what a loader needs",
        usage=options.usage("load-plan", "MANIFEST"),
        define=_define,
    )


def _define(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    verify.add_verify_options(sub)
    sub.set_defaults(handler=run, check=options.trust_kwargs, failure=manifest_failure)


def signed_plan(manifest: str, trust: dict[str, Any], kwargs: dict[str, Any]) -> Any:
    """The load plan after the signature check, as open_verified gives it to a loader."""
    from tamrel_manifest import verified

    with verified.open_verified(manifest, **trust, **kwargs) as files:
        return files.plan


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import _untrusted
    from tamrel_manifest.verified import VerificationFailed, verify_for_load

    kwargs = options.verify_kwargs(args)
    trust = options.trust_kwargs(args)
    try:
        if trust:
            plan: LoadPlan = output.call(signed_plan, args.manifest, trust, kwargs)
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
            write_signed_issues(output, report, "")
            return EXIT_ISSUES
        declared = verify.declared(args.manifest, args)
        write_issues(output, report, verify.report_hints(args, report, declared, args.manifest))
        output.line()
        write_report_facts(output, report)
        return EXIT_ISSUES
    if output.json_mode:
        output.json(plan)
        return EXIT_OK
    signed = ", signatures checked" if trust else ""
    output.line(f"OK: {args.manifest} verified{signed}; load plan follows")
    # Who signed, where the plan's report carries its signature part.
    signature = plan["report"].get("signature")
    if signature is not None:
        write_signature_part(output, signature, "")
    output.line()
    write_plan_facts(output, plan)
    return EXIT_OK
