"""limits: the default resource limits, written as the options take them."""

from __future__ import annotations

import argparse
from collections.abc import Mapping

import _tamrel_manifest as _native
from tamrel_manifest._limits import limit_text
from tamrel_manifest.cli import options
from tamrel_manifest.cli.output import EXIT_OK, Output

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import ResourceLimits


def add_parser(commands: Any) -> None:
    commands.add_parser("limits", help="print the default resource limits",
                        usage=options.usage("limits"), define=_define)


def _define(limits: argparse.ArgumentParser) -> None:
    options.add_json(limits)
    limits.set_defaults(handler=run)


def run(args: argparse.Namespace, output: Output) -> int:
    limits: ResourceLimits = _native.default_resource_limits()
    if output.json_mode:
        output.json(limits)
        return EXIT_OK
    values: Mapping[str, int] = limits  # type: ignore[assignment]
    width = max(len(name) for name in values)
    for name, value in values.items():
        output.line(f"{name.ljust(width)}  {limit_text(name, value)}")
    return EXIT_OK
