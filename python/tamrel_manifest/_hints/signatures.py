"""What an unsigned verification says of the signature beside the manifest: it exists, and it
was not checked."""

from __future__ import annotations

import os
import re

from tamrel_manifest import _trust

# No issue of the report is read here: the note is about a file verification never opened.
CODES: frozenset[str] = frozenset()
PATTERNS: dict[str, re.Pattern[str]] = {}

# The member of an unsigned report (--json) that names the signature file left unchecked.
NOT_CHECKED = "signature_not_checked"


def not_checked_line(signature: str) -> str:
    return f"note: signature {signature} was not checked (--trusted-key checks it)"


def unchecked_signature(manifest: str) -> str | None:
    """The signature file beside `manifest` that an unsigned verification leaves unchecked.
    Looked at, never opened: a FIFO planted there must not stop the verifier."""
    path = _trust.default_signature(manifest)
    return path if os.path.lexists(path) else None
