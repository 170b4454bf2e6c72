"""keygen: a new signing key and its public key; and the password option every command that
reads or writes a private key takes."""

from __future__ import annotations

import argparse
import os

from tamrel_manifest.cli import options
from tamrel_manifest.cli.output import EXIT_OK, Failure, Output

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The key types generate_key writes, the default first; the model-signing tool reads the ECDSA
# ones. The one list keygen's --type offers and its help names.
KEY_TYPES = ("ecdsa-p256", "ecdsa-p384", "ecdsa-p521", "ed25519")


def add_password_env(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--key-password-env",
        metavar="NAME",
        help=f"the environment variable that holds the password {what}",
    )


def password(args: argparse.Namespace) -> str | None:
    name = args.key_password_env
    if name is None:
        return None
    value = os.environ.get(name)
    if value is None:
        raise ValueError(f"environment variable {name} is not set (--key-password-env)")
    return value


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "keygen", help="write a new signing key (PATH) and its public key (PATH.pub)",
        usage=options.usage("keygen", "PATH"), define=_define,
    )


def _define(keygen: argparse.ArgumentParser) -> None:
    keygen.add_argument(
        "path", metavar="PATH", help="the private key file to write (never overwritten)"
    )
    keygen.add_argument(
        "--type", dest="key_type", choices=KEY_TYPES, default=KEY_TYPES[0],
        help=f"the key type (default: {KEY_TYPES[0]}; the model-signing tool reads every"
        " ECDSA type)",
    )
    add_password_env(keygen, "to encrypt the private key with")
    options.add_json(keygen)
    keygen.set_defaults(handler=run, failure=_failure)


def _failure(args: argparse.Namespace, error: BaseException) -> Failure:
    # The signing module names the key file in some of its messages, the system in none.
    named = args.path in str(error)
    return Failure(None if named else args.path)


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import signing

    key = signing.generate_key(args.path, args.key_type, password=password(args))
    if output.json_mode:
        output.json({**key, "private_key": args.path, "public_key": args.path + ".pub"})
    else:
        output.line(f"wrote {args.key_type} key {args.path} and public key {args.path}.pub")
        output.line(f"key id: {key['key_id']}")
    return EXIT_OK
