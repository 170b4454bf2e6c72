"""verify-signature: the signature layer alone, over a signed directory or one signed file."""

from __future__ import annotations

import argparse

from tamrel_manifest._words import counted
from tamrel_manifest.cli import options
from tamrel_manifest.cli.output import (
    EXIT_ERROR,
    EXIT_ISSUES,
    EXIT_OK,
    Failure,
    Output,
    issue_count,
    issue_lines,
    signed_by,
    write_signature_part,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "verify-signature",
        help="verify a signed directory or file against its signatures alone",
        usage=options.usage("verify-signature", "PATH --signature SIG"),
        define=_define,
    )


def _define(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("path", metavar="PATH", help="the signed directory or file")
    sub.add_argument(
        "--ignore-path", dest="ignore_paths", action="append", metavar="P",
        help="a file or directory to leave out, relative to PATH (repeatable)",
    )
    options.add_json(sub)
    options.add_trust_options(sub, signature_required=True, rollback=False)
    options.add_walk_limits(sub)
    sub.set_defaults(handler=run, check=check_arguments, failure=_failure)


def check_arguments(args: argparse.Namespace) -> None:
    # A signature checked against nothing would pass nothing: a trust source is required.
    options.trust_kwargs(args, required=True)


def _failure(args: argparse.Namespace, error: BaseException) -> Failure:
    return Failure(args.path)


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import signing

    trust = options.trust_kwargs(args)
    result = output.call(signing.verify_signature, args.path, trust.pop("signatures"),
                         ignore_paths=args.ignore_paths, **trust, **options.walk_kwargs(args))
    status = _status(result)
    if output.json_mode:
        output.json(result)
    elif status == EXIT_ERROR:  # as verify says of a manifest it cannot read
        output.error(f"error: {result['errors'][0]['message']}")
    elif result["ok"]:
        output.line(f"OK: {args.path} verified, signed by {signed_by(result['signatures'])}")
        _write_details(output, result)
    else:
        output.line(f"FAILED: {args.path}: {issue_count(result['errors'])}")
        for line in issue_lines(result["errors"]):
            output.line(line)
        _write_details(output, result)
    return status


# The path itself could not be read (gone, not searchable, a FIFO in its place): nothing was
# checked, as for a manifest verify cannot read.
UNREADABLE = "signature_path_unreadable"


def _status(result: dict[str, Any]) -> int:
    if result["ok"]:
        return EXIT_OK
    if [issue["code"] for issue in result["errors"]] == [UNREADABLE]:
        return EXIT_ERROR
    return EXIT_ISSUES


def _write_details(output: Output, result: dict[str, Any]) -> None:
    write_signature_part(output, result, "")
    if result["ok"]:
        output.line(f"{counted(len(result['files']), 'signed file')} checked,"
                    f" {counted(result['bytes'], 'byte')}")
    if result["ignored"]:
        output.line("ignored: " + ", ".join(result["ignored"]))
