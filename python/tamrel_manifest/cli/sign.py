"""sign: verify a manifest, then sign it and every file it pins."""

from __future__ import annotations

import argparse

from tamrel_manifest._words import counted
from tamrel_manifest.cli import keys, options
from tamrel_manifest.cli.output import EXIT_ISSUES, EXIT_OK, Output, issue_lines

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "sign", help="verify a manifest, then sign it and every file it pins",
        usage=options.usage("sign", "MANIFEST --key PRIVATE"),
        define=_define,
    )


def _define(sign: argparse.ArgumentParser) -> None:
    sign.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    sign.add_argument("--key", required=True, metavar="PRIVATE", help="the private key (PEM)")
    sign.add_argument(
        "--signature", metavar="SIG", help="the signature file (default: MANIFEST.sig)"
    )
    sign.add_argument(
        "--certificate-chain", action="append", metavar="CERT",
        help="the key's certificate (PEM), then each intermediate (repeatable, leaf first):"
        " the signature carries the chain, for --trust-root to check",
    )
    keys.add_password_env(sign, "of an encrypted private key")
    options.add_path_policy(sign)
    options.add_duplicate_ids(sign)
    options.add_json(sign)
    options.add_limits(sign)
    sign.set_defaults(handler=run)


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import signing

    kwargs = options.verify_kwargs(args)
    kwargs.pop("index", None)
    try:
        result = output.call(
            signing.sign_manifest, args.manifest, args.key, signature=args.signature,
            password=keys.password(args), certificate_chain=args.certificate_chain, **kwargs,
        )
    except ValueError as exc:
        report = getattr(exc, "report", None)
        if report is None:
            raise
        if output.json_mode:
            output.json({"error": str(exc), "report": report})
        else:
            output.line(f"NOT SIGNED: {args.manifest}: {exc}")
            for line in issue_lines(report["errors"]):
                output.line(line)
        return EXIT_ISSUES
    if output.json_mode:
        output.json(result)
    else:
        pinned = counted(len(result["resources"]) - 1, "pinned file")
        output.line(
            f"signed {args.manifest} and {pinned} into {result['signature']} with"
            f" {result['key_type']} key {result['key_id']}"
        )
        if args.certificate_chain:
            output.line("with the certificate chain " + ", ".join(args.certificate_chain))
        if result["ignore_paths"]:
            output.line("left out (not pinned): " + ", ".join(result["ignore_paths"]))
    return EXIT_OK
