"""The resource limits as the package and the tool name and write them: the module's limits by
their keyword arguments, the options that spell them, and sizes as a person writes them."""

from __future__ import annotations

from collections.abc import Mapping

import _tamrel_manifest as _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The module is the one place that knows its limits.
LIMIT_NAMES: tuple[str, ...] = tuple(_native.default_resource_limits())

SIZE_UNITS = (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10))
LIMIT_MAX = 2**64 - 1  # the limits are unsigned 64-bit numbers


def effective_limits(options: Mapping[str, Any]) -> dict[str, int]:
    """The limits a call with these keyword arguments runs under: the module's defaults, with
    those `options` set (not None) in their place."""
    limits: dict[str, int] = dict(_native.default_resource_limits())  # type: ignore[arg-type]
    limits.update({k: v for k, v in options.items() if k in LIMIT_NAMES and v is not None})
    return limits


def option_name(keyword: str) -> str:
    """The command-line option of a keyword argument."""
    return "--" + keyword.replace("_", "-")


def size_text(value: int) -> str:
    """A byte count as the limit options accept it: 536870912 -> '512MiB'; 1000 -> '1000'."""
    for suffix, factor in SIZE_UNITS:
        if value >= factor and value % factor == 0:
            return f"{value // factor}{suffix}"
    return str(value)


def is_size_limit(name: str) -> bool:
    return name.endswith("_bytes")


def limit_text(name: str, value: int) -> str:
    return size_text(value) if is_size_limit(name) else str(value)
