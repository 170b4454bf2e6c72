"""Writes the README's list of issue codes from the module's catalogues (src/*/issues.hpp), so
that the list cannot drift from what the module reports.

A code written "{}_..." is formed from the code prefix of the file it concerns; the list gives
each such code once per file. The section stands between the two marker lines in README.md.

Usage: python tools/gen_issue_codes.py           (rewrites the section in README.md)
       python tools/gen_issue_codes.py --check   (exit status 1 when the section is stale)
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
BEGIN = "<!-- issue codes: written by tools/gen_issue_codes.py from src/*/issues.hpp -->"
END = "<!-- end of issue codes -->"

# What each catalogue's codes are about, in the order the list gives them.
CATALOGUES = {
    "validate": "the manifest's declared values",
    "verify": "the files on disk",
    "report": "the report",
    "sign": "signatures",
    "model": "reading the manifest",
    "create": "creation",  # its refusals carry the codes of the others
}
# The files whose codes are formed as "{}_..." from their code prefix.
FILE_PREFIXES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile",
                 "encoder_distortion_profile")

_CONSTANT = re.compile(r'inline constexpr (?:std::string_view|IssueCode) \w+ =\s*"([^"]*)";')
_ROW = re.compile(r'inline constexpr (?:report::)?(?:Prefixed)?Issue<[^>]*>\s+\w+\{\s*"([^"]*)"')


def catalogue_codes(name: str) -> list[str]:
    """The codes of one catalogue as reports carry them, "{}_" codes expanded, in order."""
    text = (ROOT / "src" / name / "issues.hpp").read_text(encoding="utf-8")
    written = [m.group(1) for m in sorted([*_CONSTANT.finditer(text), *_ROW.finditer(text)],
                                          key=lambda m: m.start())]
    codes: list[str] = []
    for code in written:
        for full in ([code.format(p) for p in FILE_PREFIXES] if "{}" in code else [code]):
            if full not in codes:
                codes.append(full)
    return codes


def section() -> str:
    found = sorted(p.parent.name for p in (ROOT / "src").glob("*/issues.hpp"))
    unnamed = sorted(set(found) - set(CATALOGUES))
    if unnamed:
        raise SystemExit(f"catalogues without a subject here: {', '.join(unnamed)}")
    lines = [BEGIN, ""]
    for name, subject in CATALOGUES.items():
        codes = catalogue_codes(name)
        if not codes:
            continue
        lines.append(f"- **{subject}** (`src/{name}/issues.hpp`, {len(codes)}): "
                     + ", ".join(f"`{code}`" for code in codes))
    return "\n".join([*lines, "", END])


def readme_with_section(text: str) -> str:
    start, end = text.index(BEGIN), text.index(END) + len(END)
    return text[:start] + section() + text[end:]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only say whether it is current")
    args = parser.parse_args()
    text = README.read_text(encoding="utf-8")
    wanted = readme_with_section(text)
    if args.check:
        if wanted != text:
            print("README.md: the list of issue codes is stale; run tools/gen_issue_codes.py",
                  file=sys.stderr)
            return 1
        return 0
    README.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
