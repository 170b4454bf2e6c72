"""The signing commands of the tool: keygen, sign, and verify's --trusted-key options."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any

from tamrel_manifest import _hints, signing

if TYPE_CHECKING:
    from tamrel_manifest.cli import Output

KEY_TYPES = ("ecdsa-p256", "ed25519")


def _add_password_env(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--key-password-env",
        metavar="NAME",
        help=f"the environment variable that holds the password {what}",
    )


def _password(args: argparse.Namespace) -> str | None:
    name = args.key_password_env
    if name is None:
        return None
    value = os.environ.get(name)
    if value is None:
        raise ValueError(f"environment variable {name} is not set (--key-password-env)")
    return value


def add_commands(
    commands: Any, add_path_policy: Any, add_json: Any, add_limits: Any
) -> None:
    """Registers keygen and sign; the helpers are the tool's own option groups."""
    keygen = commands.add_parser(
        "keygen", help="write a new signing key (PATH) and its public key (PATH.pub)"
    )
    keygen.add_argument("path", help="the private key file to write (never overwritten)")
    keygen.add_argument(
        "--type", dest="key_type", choices=KEY_TYPES, default=KEY_TYPES[0],
        help="the key type (default: ecdsa-p256, which model_signing also reads)",
    )
    _add_password_env(keygen, "to encrypt the private key with")
    add_json(keygen)
    keygen.set_defaults(handler=_keygen)

    sign = commands.add_parser(
        "sign", help="verify a manifest, then sign it and every file it pins"
    )
    sign.add_argument("manifest")
    sign.add_argument("--key", required=True, metavar="PRIVATE", help="the private key (PEM)")
    sign.add_argument(
        "--signature", metavar="SIG", help="the signature file (default: MANIFEST.sig)"
    )
    _add_password_env(sign, "of an encrypted private key")
    add_path_policy(sign)
    sign.add_argument(
        "--allow-duplicate-db-ids", action="store_true", help="accept repeated db_id values"
    )
    add_json(sign)
    add_limits(sign)
    sign.set_defaults(handler=_sign, index=None)


def add_verify_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("signatures (checked before any pinned file is read)")
    group.add_argument(
        "--trusted-key", dest="trusted_keys", action="append", metavar="PUB",
        help="a trusted public key (PEM; repeatable); requires a valid signature",
    )
    group.add_argument(
        "--signature", dest="signatures", action="append", metavar="SIG",
        help="a signature file (repeatable; default: MANIFEST.sig)",
    )
    group.add_argument(
        "--threshold", type=int, default=1, metavar="N",
        help="distinct trusted keys that must have signed (default: 1)",
    )
    group.add_argument(
        "--max-signature-bytes", type=int, default=signing.DEFAULT_MAX_SIGNATURE_BYTES,
        metavar="N", help="largest signature file read",
    )


def wants_signed_verify(args: argparse.Namespace) -> bool:
    return bool(args.trusted_keys or args.signatures)


def _keygen(args: argparse.Namespace, output: Output) -> int:
    key = signing.generate_key(args.path, args.key_type, password=_password(args))
    if output.json_mode:
        output.json({**key, "private_key": args.path, "public_key": args.path + ".pub"})
    else:
        output.line(f"wrote {args.key_type} key {args.path} and public key {args.path}.pub")
        output.line(f"key id: {key['key_id']}")
    return 0


def _sign(args: argparse.Namespace, output: Output, verify_kwargs: Any = None) -> int:
    from tamrel_manifest import cli

    kwargs = cli.verify_kwargs(args) if verify_kwargs is None else verify_kwargs
    kwargs.pop("index", None)
    try:
        result = output.call(
            signing.sign_manifest, args.manifest, args.key, signature=args.signature,
            password=_password(args), **kwargs,
        )
    except ValueError as exc:
        report = getattr(exc, "report", None)
        if report is None:
            raise
        if output.json_mode:
            output.json({"error": str(exc), "report": report})
        else:
            output.line(f"NOT SIGNED: {args.manifest}: {exc}")
            for line in _hints.issue_lines(report["errors"]):
                output.line(line)
        return cli.EXIT_ISSUES
    if output.json_mode:
        output.json(result)
    else:
        output.line(
            f"signed {args.manifest} and {len(result['resources']) - 1} pinned files into"
            f" {result['signature']} with {result['key_type']} key {result['key_id']}"
        )
        if result["ignore_paths"]:
            output.line("left out (not pinned): " + ", ".join(result["ignore_paths"]))
    return 0


def verify(args: argparse.Namespace, output: Output) -> int:
    """verify with --trusted-key: each manifest checked against its signatures, then verified."""
    from tamrel_manifest import cli

    if not args.trusted_keys:
        raise ValueError("--signature needs --trusted-key: a signature is only as good as its key")
    if args.signatures and len(args.manifest) > 1:
        raise ValueError("--signature applies to one manifest")
    statuses = []
    for manifest in args.manifest:
        report = output.call(
            signing.verify_signed_manifest, manifest, args.trusted_keys,
            signatures=args.signatures, threshold=args.threshold,
            max_signature_bytes=args.max_signature_bytes, **cli.verify_kwargs(args),
        )
        statuses.append(cli.EXIT_OK if report["ok"] else cli.EXIT_ISSUES)
        part = report["signature"]
        if output.json_mode:
            output.json(report)
        elif report["ok"]:
            signers = ", ".join(s["key_id"] for s in part["signatures"])
            output.line(f"OK: {manifest} verified, signed by {signers}")
        else:
            output.line(f"FAILED: {manifest}: {len(report['errors'])} issues")
            for line in _hints.issue_lines(report["errors"]):
                output.line(line)
        if part["unpinned_resources"] and not output.json_mode:
            output.line("signed but not pinned: " + ", ".join(part["unpinned_resources"]))
    return max(statuses)
