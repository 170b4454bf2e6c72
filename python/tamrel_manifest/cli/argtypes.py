"""The types of the tool's numeric options: how a count, a size and a positive count are written,
and the messages for what is not one."""

from __future__ import annotations

import argparse
import re

from tamrel_manifest._limits import LIMIT_MAX, SIZE_UNITS

_SIZE = re.compile(r"([0-9]+) ?(KiB|MiB|GiB)?")


def _at_most_64_bits(value: int, text: str) -> int:
    if value > LIMIT_MAX:
        raise argparse.ArgumentTypeError(f"{text} is larger than the largest limit, {LIMIT_MAX}")
    return value


def count(text: str) -> int:
    if not re.fullmatch("[0-9]+", text):
        raise argparse.ArgumentTypeError(
            f"must not be negative: {text}" if re.fullmatch("-[0-9]+", text)
            else f"not an integer: {text!r}"
        )
    return _at_most_64_bits(int(text), text)


def size(text: str) -> int:
    match = _SIZE.fullmatch(text)
    if match is None:
        if re.fullmatch("-[0-9]+", text):
            raise argparse.ArgumentTypeError(f"must not be negative: {text}")
        raise argparse.ArgumentTypeError(
            f"not a size: {text!r} (bytes, or a whole number of KiB, MiB or GiB)"
        )
    factor = dict(SIZE_UNITS).get(match.group(2) or "", 1)
    return _at_most_64_bits(int(match.group(1)) * factor, text)


def positive(text: str) -> int:
    value = count(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value
