"""The issue catalogues (src/*/issues.hpp): every code well formed, written once, and raised by
some test."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CATALOGUES = sorted((ROOT / "src").glob("*/issues.hpp"))

# The members and blocks a code may begin with.
PREFIXES = ("schema_version_", "manifest_id_", "created_at_", "artifact_", "row_identity_",
            "auxiliary_artifact_", "embedding_", "build_", "extension_", "calibration_",
            "encoder_distortion_", "attestation_", "verification_report_", "signature_",
            # the bounded read's code for the manifest itself, never a report issue
            "manifest_file_")
# The files whose codes are formed as "{}_..." from the file's code prefix.
FILE_PREFIXES = ("artifact", "row_identity", "auxiliary_artifact", "calibration_profile",
                 "encoder_distortion_profile")
SNAKE = re.compile(r"[a-z][a-z0-9]*(_[a-z0-9]+)*")

CONSTANT = re.compile(r'inline constexpr (?:std::string_view|IssueCode) (\w+) =\s*"([^"]*)";')
ROW = re.compile(r'inline constexpr (?:report::)?(?:Prefixed)?Issue<[^>]*>\s+(\w+)\{\s*'
                 r'(?:"([^"]*)"|(\w+))')


def literal_codes() -> list[tuple[str, str]]:
    """(catalogue, code) for every code text the catalogues write."""
    out = []
    for path in CATALOGUES:
        text = path.read_text()
        out += [(path.parent.name, code) for _, code in CONSTANT.findall(text)]
        out += [(path.parent.name, code) for _, code, _ in ROW.findall(text) if code]
    return out


def row_codes() -> dict[str, str]:
    """Row name -> its code, named constants resolved."""
    rows = {}
    for path in CATALOGUES:
        text = path.read_text()
        constants = dict(CONSTANT.findall(text))
        for name, code, constant in ROW.findall(text):
            rows[f"{path.parent.name}::{name}"] = code or constants.get(constant, constant)
    return rows


def expansions(code: str) -> list[str]:
    return [code.format(p) for p in FILE_PREFIXES] if "{}" in code else [code]


CODES = sorted({code for _, code in literal_codes()})
TEST_TEXT = "\n".join(p.read_text() for p in sorted((ROOT / "tests").glob("*.py"))
                      if p.name != Path(__file__).name)


def test_catalogues_are_found():
    assert {p.parent.name for p in CATALOGUES} >= {"report", "validate", "verify", "create"}
    assert len(CODES) > 130


def test_every_code_is_written_once():
    seen: dict[str, str] = {}
    repeated = []
    for catalogue, code in literal_codes():
        if code in seen:
            repeated.append((code, seen[code], catalogue))
        seen[code] = catalogue
    assert repeated == []


def test_every_row_names_a_code():
    unresolved = {name: code for name, code in row_codes().items() if code not in CODES}
    assert unresolved == {}


@pytest.mark.parametrize("code", CODES)
def test_code_is_snake_case_with_a_known_prefix(code):
    for full in expansions(code):
        assert SNAKE.fullmatch(full), full
        assert full.startswith(PREFIXES), full


def named_by_tests(code: str) -> bool:
    """The code as a whole string or heading an exception's text ("code: message"), or built by
    an f-string that fills some of its words."""
    if re.search('"' + re.escape(code) + '[":]', TEST_TEXT):
        return True
    words = code.split("_")
    for i in range(len(words)):
        for j in range(i + 1, len(words) + 1 - (i == 0)):
            head, tail = "_".join(words[:i]), "_".join(words[j:])
            pattern = (re.escape(head + "_" if head else "") + r"\{[^}]+\}" +
                       re.escape("_" + tail if tail else ""))
            if re.search(r'f"' + pattern + '"', TEST_TEXT):
                return True
    return False


# Codes no test can raise through the module today, and why.
UNREACHABLE = {
    "artifact_manifest_coverage_unsupported": "the probe refuses the one uncovered kind first",
}


@pytest.mark.parametrize("code", CODES)
def test_code_is_raised_by_some_test(code):
    if code in UNREACHABLE:
        pytest.skip(UNREACHABLE[code])
    assert any(named_by_tests(full) for full in expansions(code)), f"no test names {code}"


# Rules raise catalogue rows; a code or message written at a call site would escape the walk above.
INLINE_CODE = re.compile(r'add_issue\w*\(\s*\w+(?:\.\w+)*,\s*(?:[\w.]+,\s*)?"')


@pytest.mark.parametrize("path", sorted((ROOT / "src").glob("*/*.cpp")),
                         ids=lambda p: f"{p.parent.name}/{p.name}")
def test_no_code_is_written_at_a_call_site(path):
    assert INLINE_CODE.findall(path.read_text()) == []


# A code written anywhere but its catalogue escapes the walks above, whatever call it sits in.
SOURCES = sorted(p for p in (ROOT / "src").glob("*/*.[ch]pp") if p not in CATALOGUES)
# String and character literals and comments, so that quotes inside comments are left out.
TOKEN = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])\'|//[^\n]*|/\*.*?\*/', re.S)
KNOWN_CODES = {full for code in CODES for full in expansions(code)}
# Texts shaped like codes that are not: member names of the records, the load plan and the
# report, and the code prefixes of the checked files.
NOT_CODES = {"artifact_path", "embedding_model", "embedding_metric", "embedding_matrix_digest",
             "calibration_profile_id", "attestation_shape_checks", *FILE_PREFIXES}


def quoted_texts(text: str) -> list[str]:
    return [t[1:-1] for t in (m.group() for m in TOKEN.finditer(text)) if t.startswith('"')]


def looks_like_code(text: str) -> bool:
    if text in KNOWN_CODES or re.fullmatch(r"\{\}_[a-z0-9_]+", text):
        return True
    return bool(SNAKE.fullmatch(text)) and text.startswith(PREFIXES) and text not in NOT_CODES


def test_the_source_scan_sees_literals_not_comments():
    source = '// "row_identity_line_too_large"\nf(\'"\', "a \\" b", "artifact_kind_mismatch");'
    assert quoted_texts(source) == ['a \\" b', "artifact_kind_mismatch"]
    assert [looks_like_code(t) for t in ("artifact_kind_mismatch", "{}_too_large",
                                         "calibration_profile_too_large", "artifact_new_rule",
                                         "artifact_path", "row_count")] == [
        True, True, True, True, False, False]


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_no_code_is_written_outside_a_catalogue(path):
    assert [t for t in quoted_texts(path.read_text()) if looks_like_code(t)] == []
