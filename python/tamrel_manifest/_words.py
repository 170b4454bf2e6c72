"""How the package's own texts name things: quoted names, and counts with their nouns."""

from __future__ import annotations



def quoted(name: str) -> str:
    """A name as the module's messages show it: in double quotes, with escapes."""
    import json

    return json.dumps(name, ensure_ascii=False)


def counted(count: int, noun: str, plural: str | None = None) -> str:
    """`count` with its noun in the number it takes: "1 issue", "2 issues"."""
    return f"{count} {noun if count == 1 else plural or noun + 's'}"
