"""The options that narrow which signatures count, and the rules every caller of them shares.

Each of these options only means something against trusted keys. Given without keys, it would
leave the check it asks for undone and let the bundle through unsigned, so it is refused: by the
package with TypeError or ValueError, by the tool as a usage error.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any
    from _tamrel_manifest import StrPath

# The Python keywords, in the order messages name them.
SIGNATURE_OPTIONS = ("signatures", "threshold", "max_signature_bytes")

# Where the signing module looks when no signature file is named.
SIGNATURE_SUFFIX = ".sig"


def default_signature(manifest: str) -> str:
    return manifest + SIGNATURE_SUFFIX


def without_keys(given: Iterable[str], keys: str) -> str:
    """The refusal of signature options `given` (as the caller spells them) without `keys`."""
    names = list(given)
    verb = "needs" if len(names) == 1 else "need"
    return f"{' and '.join(names)} {verb} {keys}: without a trusted key no signature is checked"


def checked_threshold(
    trusted_keys: StrPath | Iterable[StrPath] | None,
    threshold: object,
    signatures: object,
    options: Mapping[str, Any],
) -> int:
    """The threshold to apply (None: 1). Refuses signature options (`threshold`, `signatures`
    and those of `options`, unless None) without trusted keys, and a threshold that is not a
    positive int: TypeError or ValueError."""
    values = {**options, "threshold": threshold, "signatures": signatures}
    given = [name for name in SIGNATURE_OPTIONS if values.get(name) is not None]
    if trusted_keys is None and given:
        raise TypeError(without_keys(given, "trusted_keys"))
    if threshold is None:
        return 1
    if isinstance(threshold, bool) or not isinstance(threshold, int):
        raise TypeError(f"threshold must be an int, not {type(threshold).__name__}")
    if threshold < 1:
        raise ValueError(f"threshold must be at least 1, not {threshold}")
    return threshold
