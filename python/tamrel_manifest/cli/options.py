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
# keyword of verify_signed_manifest, open_verified and verify_signature, and the rest of its
# definition, in the order --help lists them.
_KEYS, _ROOTS = "trusted_keys", "trust_roots"
_SOURCES = (_KEYS, _ROOTS)  # what makes the others mean anything
_TRUST_OPTIONS: dict[str, tuple[str, dict[str, Any]]] = {
    _KEYS: ("--trusted-key", {
        "action": "append", "metavar": "PUB",
        "help": "a trusted public key (PEM; repeatable); requires a valid signature"}),
    _ROOTS: ("--trust-root", {
        "action": "append", "metavar": "CA",
        "help": "a trusted CA certificate (PEM; repeatable): a certificate bundle counts when"
                " its chain reaches one at the current time, for code signing"}),
    "certificate_identity": ("--certificate-identity", {
        "metavar": "ID",
        "help": "the e-mail address or URI the leaf certificate must name (exactly; needs"
                " --trust-root)"}),
    "certificate_identity_regexp": ("--certificate-identity-regexp", {
        "metavar": "RE",
        "help": "a regular expression (ECMAScript) that one of the leaf's e-mail or URI names"
                " must match whole (needs --trust-root)"}),
    "signatures": ("--signature", {
        "action": "append", "metavar": "SIG",
        "help": "a signature file (repeatable; default: MANIFEST.sig)"}),
    "threshold": ("--threshold", {
        "type": argtypes.positive, "metavar": "N",
        "help": "trust options that distinct signers must have met (default: 1); each"
                " --trusted-key is one, the --trust-root policy another"}),
    "max_signature_bytes": ("--max-signature-bytes", {
        "type": argtypes.size, "metavar": "SIZE",
        "help": "largest signature file read (default: %(shown_default)s)"}),
}
# Rollback state compares a manifest's created_at with the newest accepted: for the commands
# that verify a manifest, with either trust source.
_ROLLBACK_OPTIONS: dict[str, tuple[str, dict[str, Any]]] = {
    "state": ("--state", {
        "metavar": "FILE",
        "help": "a state file that remembers the newest bundle accepted in each series and"
                " refuses an older one put back"}),
    "series": ("--series", {
        "metavar": "NAME",
        "help": "the series in --state (default: the manifest's canonical path)"}),
}
# The certificate identity narrows trust in certificates: it means something with trust roots
# only. Every other option means something with either source.
_IDENTITIES = ("certificate_identity", "certificate_identity_regexp")
assert set(_TRUST_OPTIONS) == {*_SOURCES, *_IDENTITIES, *_trust.SIGNATURE_OPTIONS}


def _option(keyword: str) -> str:
    return {**_TRUST_OPTIONS, **_ROLLBACK_OPTIONS}[keyword][0]


def add_trust_options(parser: argparse.ArgumentParser, *, signature_required: bool = False,
                      rollback: bool = True) -> None:
    """The trust options; `signature_required`: the command has no default signature file;
    `rollback`: the command verifies a manifest, so a state file can remember it."""
    group = parser.add_argument_group(
        f"signatures (checked first; each option needs {_option(_KEYS)} or {_option(_ROOTS)})"
    )
    for keyword, (option, settings) in _TRUST_OPTIONS.items():
        if keyword == "signatures" and signature_required:
            settings = {**settings, "required": True,
                        "help": "the signature file (repeatable, for a threshold)"}
        action = group.add_argument(option, dest=keyword, **settings)
        if keyword == "max_signature_bytes":  # the signing module's default, read when shown
            action.shown_default = _Deferred(_default_signature_size)  # type: ignore[attr-defined]
    for keyword, (option, settings) in _ROLLBACK_OPTIONS.items() if rollback else ():
        group.add_argument(option, dest=keyword, **settings)


def _needs(given: Sequence[str], what: str, why: str) -> ValueError:
    names = [_option(keyword) for keyword in {**_TRUST_OPTIONS, **_ROLLBACK_OPTIONS}
             if keyword in given]
    verb = "needs" if len(names) == 1 else "need"
    return ValueError(f"{' and '.join(names)} {verb} {what}: {why}")


def _options_met(given: dict[str, Any]) -> int:
    # An upper bound of what the signing module counts (it counts one key in two files once):
    # a threshold above it can never be met, and is refused before anything is read.
    return len(set(given.get(_KEYS, ()))) + (1 if _ROOTS in given else 0)


def trust_kwargs(args: argparse.Namespace, *, required: bool = False) -> dict[str, Any]:
    """The signature keywords for parsed options: {} for an unsigned verification, else the
    trust sources and the options given. ValueError for a usage error: an option that would go
    unchecked without a trust source (an identity without trust roots), no trust source where
    the command checks nothing else (`required`), both identity forms or an empty one, a
    threshold no signers can meet, or --signature with several manifests."""
    given = {
        keyword: getattr(args, keyword, None)
        for keyword in {**_TRUST_OPTIONS, **_ROLLBACK_OPTIONS}
        if getattr(args, keyword, None) is not None
    }
    if "series" in given and "state" not in given:
        raise _needs(["series"], _option("state"), "it names a series of the state file")
    identities = [keyword for keyword in _IDENTITIES if keyword in given]
    if identities and _ROOTS not in given:
        raise _needs(identities, _option(_ROOTS), "an identity narrows trust in certificates")
    if not any(source in given for source in _SOURCES):
        if required:
            raise ValueError(f"no trusted key given: name the signer's public key with"
                             f" {_option(_KEYS)}, or the CA its certificate chains to with"
                             f" {_option(_ROOTS)}")
        if given:
            raise _needs(list(given), f"{_option(_KEYS)} or {_option(_ROOTS)}",
                         "without a trust source no signature is checked")
        return {}
    if len(identities) > 1:
        raise ValueError(f"give {_option(_IDENTITIES[0])} or {_option(_IDENTITIES[1])},"
                         " not both")
    for keyword in identities:
        if not given[keyword]:
            raise ValueError(f"{_option(keyword)} is empty; name the signer's e-mail address"
                             " or URI")
    threshold = given.get("threshold", 1)
    if threshold > _options_met(given):
        raise ValueError(
            f"{_option('threshold')} {threshold} is not possible: it counts the trust options"
            f" distinct signers met, here at most {_options_met(given)}"
            f" ({_option(_KEYS)} each, and one for {_option(_ROOTS)})"
        )
    manifests = getattr(args, "manifest", None)
    for keyword in ("signatures", "series"):
        if keyword in given and isinstance(manifests, list) and len(manifests) > 1:
            raise ValueError(f"{_option(keyword)} applies to one manifest")
    return given


# ---- the bounds of a walk over a signed directory ----

# keyword of verify_signature, option, metavar, the signing module's default, help.
_WALK_LIMITS = (
    ("max_entries", "--max-signed-entries", "N", "DEFAULT_MAX_SIGNED_ENTRIES",
     "most entries walked"),
    ("max_depth", "--max-signed-depth", "N", "DEFAULT_MAX_SIGNED_DEPTH",
     "most directory levels below PATH"),
    ("max_bytes", "--max-signed-bytes", "SIZE", "DEFAULT_MAX_SIGNED_BYTES",
     "most bytes hashed"),
)


def _signed_default(name: str, size: bool) -> str:
    from tamrel_manifest import signing
    from tamrel_manifest._limits import size_text

    value: int = getattr(signing, name)
    return size_text(value) if size else str(value)


def add_walk_limits(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("walk limits (each refuses with signature_tree_too_large)")
    for keyword, option, metavar, default, text in _WALK_LIMITS:
        size = metavar == "SIZE"
        action = group.add_argument(option, dest=keyword, metavar=metavar,
                                    type=argtypes.size if size else argtypes.count,
                                    help=text + " (default: %(shown_default)s)")
        action.shown_default = _Deferred(  # type: ignore[attr-defined]
            lambda name=default, size=size: _signed_default(name, size))


def walk_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    return {keyword: getattr(args, keyword) for keyword, *_ in _WALK_LIMITS}
