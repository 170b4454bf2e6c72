"""inspect: print a manifest in canonical form."""

from __future__ import annotations

import argparse

import _tamrel_manifest as _native
from tamrel_manifest.cli import options
from tamrel_manifest.cli.facts import write_manifest_facts
from tamrel_manifest.cli.output import (
    EXIT_OK,
    Output,
    manifest_failure,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import IndexManifest


def add_parser(commands: Any) -> None:
    commands.add_parser(
        "inspect",
        help="print a manifest in canonical form",
        usage=options.usage("inspect", "MANIFEST"),
        define=_define,
    )


def _define(inspect: argparse.ArgumentParser) -> None:
    inspect.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    options.add_json(inspect)
    options.add_limits(inspect, ("max_manifest_bytes",))  # the only input it reads
    inspect.set_defaults(handler=run, failure=manifest_failure)


def run(args: argparse.Namespace, output: Output) -> int:
    from tamrel_manifest import _untrusted

    _untrusted.require_regular_manifest(args.manifest, must_open=False)
    manifest: IndexManifest = output.call(
        _native.inspect_manifest, args.manifest, **options.limit_kwargs(args)
    )
    if output.json_mode:
        output.json(manifest)
    else:
        output.line(f"OK: {args.manifest} decoded ({manifest['schema_version']})")
        output.line()
        write_manifest_facts(output, manifest)
    return EXIT_OK
