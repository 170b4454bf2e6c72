"""The signing commands of the tool (keygen, sign) and the trust options of verify and
load-plan."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any

from tamrel_manifest import _hints, _trust, signing
from tamrel_manifest._argtypes import positive, size
from tamrel_manifest._hints import size_text
from tamrel_manifest.signing import DEFAULT_MAX_SIGNATURE_BYTES
from tamrel_manifest.verified import open_verified

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


# The one definition of the options that narrow which signatures count (verify, load-plan):
# the option, its keyword (that of verify_signed_manifest and open_verified), and the rest.
_TRUST_OPTIONS: tuple[tuple[str, str, dict[str, Any]], ...] = (
    ("--trusted-key", "trusted_keys", {
        "action": "append", "metavar": "PUB",
        "help": "a trusted public key (PEM; repeatable); requires a valid signature"}),
    ("--signature", "signatures", {
        "action": "append", "metavar": "SIG",
        "help": "a signature file (repeatable; default: MANIFEST.sig)"}),
    ("--threshold", "threshold", {
        "type": positive, "metavar": "N",
        "help": "distinct trusted keys that must have signed (default: 1)"}),
    ("--max-signature-bytes", "max_signature_bytes", {
        "type": size, "metavar": "SIZE",
        "help": "largest signature file read (default:"
                f" {size_text(DEFAULT_MAX_SIGNATURE_BYTES)})"}),
)
_KEYS_OPTION, _KEYS = _TRUST_OPTIONS[0][:2]  # what makes the others mean anything


def add_trust_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "signatures (checked before any pinned file is read; each needs --trusted-key)"
    )
    for option, keyword, settings in _TRUST_OPTIONS:
        group.add_argument(option, dest=keyword, **settings)


def trust_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The signature keywords for parsed options: {} for an unsigned verification, else
    trusted_keys and the options given. ValueError for a usage error: an option that would go
    unchecked without trusted keys, or --signature with several manifests."""
    given = {
        keyword: getattr(args, keyword)
        for _, keyword, _ in _TRUST_OPTIONS
        if getattr(args, keyword) is not None
    }
    if _KEYS not in given:
        if given:
            options = [option for option, keyword, _ in _TRUST_OPTIONS if keyword in given]
            raise ValueError(_trust.without_keys(options, _KEYS_OPTION))
        return {}
    if "signatures" in given and isinstance(args.manifest, list) and len(args.manifest) > 1:
        raise ValueError("--signature applies to one manifest")
    return given


# The member of an unsigned report (--json) that names the signature file left unchecked.
NOT_CHECKED = "signature_not_checked"


def not_checked_line(signature: str) -> str:
    return f"note: signature {signature} was not checked (--trusted-key checks it)"


def unchecked_signature(manifest: str) -> str | None:
    """The signature file beside `manifest` that an unsigned verification leaves unchecked."""
    path = _trust.default_signature(manifest)
    return path if os.path.lexists(path) else None


def signed_plan(manifest: str, trust: dict[str, Any], options: dict[str, Any]) -> Any:
    """The load plan after the signature check, as open_verified gives it to a loader."""
    with open_verified(manifest, **trust, **options) as files:
        return files.plan


def write_verdict(output: Output, manifest: str, report: Any, indent: str) -> None:
    """A signed report for a person: the verdict, then its issues."""
    if report["ok"]:
        signers = ", ".join(entry["key_id"] for entry in report["signature"]["signatures"])
        output.line(f"OK: {manifest} verified, signed by {signers}")
    else:
        output.line(f"FAILED: {manifest}: {_hints.issue_count(report['errors'])}")
    write_issues(output, report, indent)


def write_issues(output: Output, report: Any, indent: str) -> None:
    """The issues of a signed report and the signed files it leaves unpinned. No facts: a
    refused signature stops verification before any file is read."""
    for line in _hints.issue_lines(report["errors"]):
        output.line(indent + line)
    unpinned = report["signature"]["unpinned_resources"]
    if unpinned:
        output.line(f"{indent}signed but not pinned: " + ", ".join(unpinned))
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
