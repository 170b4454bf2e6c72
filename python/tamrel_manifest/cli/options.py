"""The options every command shares, each defined once: the resource limits, the path policy,
the trust options, JSON and quiet output, parallel jobs; and the keyword arguments they become."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence

from tamrel_manifest import _trust
from tamrel_manifest._limits import LIMIT_NAMES, effective_limits, is_size_limit, option_name
from tamrel_manifest.cli import argtypes

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

PROG = "tamrel-manifest"


def usage(command: str, operands: str = "") -> str:
    """Every command's usage line in one style: its operands after [options], which --help
    lists."""
    return f"{PROG} {command} [options]" + (f" {operands}" if operands else "")


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


def add_limits(parser: argparse.ArgumentParser, names: Sequence[str] = LIMIT_NAMES) -> None:
    group = parser.add_argument_group(
        "resource limits (default: the module's defaults; sizes in bytes or with KiB, MiB, GiB)"
    )
    for name in names:
        size = is_size_limit(name)
        group.add_argument(
            option_name(name),
            dest=name,
            type=argtypes.size if size else argtypes.count,
            metavar="SIZE" if size else "N",
            help=_LIMIT_HELP.get(name),
        )


def offered(parser: argparse.ArgumentParser) -> frozenset[str]:
    """The options `parser` takes, for hints that must name no other."""
    return frozenset(option for action in parser._actions for option in action.option_strings)


def limit_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    # A command offers only the limits that apply to it; the others are the defaults.
    return {name: getattr(args, name, None) for name in LIMIT_NAMES}


def limits_in_effect(args: argparse.Namespace) -> dict[str, int]:
    return effective_limits(limit_kwargs(args))


def add_path_policy(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--allow-absolute-paths", action="store_true", help="accept absolute paths"
    )
    parser.add_argument(
        "--allow-path-escape",
        action="store_true",
        help="accept paths outside the manifest's directory",
    )


def add_duplicate_ids(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--allow-duplicate-db-ids", action="store_true", help="accept repeated db_id values"
    )


def add_json(parser: argparse.ArgumentParser, many: bool = False) -> None:
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the result dict as JSON"
        + ("; one JSON object per line for several" if many else ""),
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print nothing; the exit status says it"
    )


def add_jobs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-j",
        "--jobs",
        type=argtypes.positive,
        default=os.cpu_count() or 1,
        metavar="N",
        help="work on N files at once (default: the number of CPUs)",
    )


def verify_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of verify_manifest / verify_for_load for parsed options."""
    return {
        "index": getattr(args, "index", None),
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        "allow_duplicate_db_ids": args.allow_duplicate_db_ids,
        **limit_kwargs(args),
    }


# ---- the options that narrow which signatures count ----


def _default_signature_size() -> str:
    # Read from the signing module, which is loaded only when the help text is printed.
    from tamrel_manifest._limits import size_text
    from tamrel_manifest.signing import DEFAULT_MAX_SIGNATURE_BYTES

    return size_text(DEFAULT_MAX_SIGNATURE_BYTES)


class _Deferred:
    """Text computed when it is first shown, not when the parser is built."""

    def __init__(self, compute: Any) -> None:
        self._compute = compute

    def __str__(self) -> str:
        return str(self._compute())


# The one definition of the options that narrow which signatures count: the option of each
# keyword of verify_signed_manifest and open_verified, and the rest of its definition.
_KEYS = "trusted_keys"  # what makes the others mean anything
_TRUST_OPTIONS: dict[str, tuple[str, dict[str, Any]]] = {
    _KEYS: ("--trusted-key", {
        "action": "append", "metavar": "PUB",
        "help": "a trusted public key (PEM; repeatable); requires a valid signature"}),
    "signatures": ("--signature", {
        "action": "append", "metavar": "SIG",
        "help": "a signature file (repeatable; default: MANIFEST.sig)"}),
    "threshold": ("--threshold", {
        "type": argtypes.positive, "metavar": "N",
        "help": "distinct trusted keys that must have signed (default: 1)"}),
    "max_signature_bytes": ("--max-signature-bytes", {
        "type": argtypes.size, "metavar": "SIZE",
        "help": "largest signature file read (default: %(shown_default)s)"}),
}
assert tuple(_TRUST_OPTIONS) == (_KEYS, *_trust.SIGNATURE_OPTIONS)


def add_trust_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "signatures (checked before any pinned file is read; each needs --trusted-key)"
    )
    for keyword, (option, settings) in _TRUST_OPTIONS.items():
        action = group.add_argument(option, dest=keyword, **settings)
        if keyword == "max_signature_bytes":  # the signing module's default, read when shown
            action.shown_default = _Deferred(_default_signature_size)  # type: ignore[attr-defined]


def trust_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The signature keywords for parsed options: {} for an unsigned verification, else
    trusted_keys and the options given. ValueError for a usage error: an option that would go
    unchecked without trusted keys, or --signature with several manifests."""
    given = {
        keyword: getattr(args, keyword)
        for keyword in _TRUST_OPTIONS
        if getattr(args, keyword) is not None
    }
    if _KEYS not in given:
        if given:
            options = [option for keyword, (option, _) in _TRUST_OPTIONS.items()
                       if keyword in given]
            raise ValueError(_trust.without_keys(options, _TRUST_OPTIONS[_KEYS][0]))
        return {}
    if "signatures" in given and isinstance(args.manifest, list) and len(args.manifest) > 1:
        raise ValueError("--signature applies to one manifest")
    return given
