"""The codes and message shapes the tool's hints read: every code is one the module raises (its
catalogues), every pattern matches a message the module really produces, and every limit a
message names is an option."""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from pathlib import Path

import pytest

import _tamrel_manifest as tm
import builders
from test_catalogue import CODES as CATALOGUE_CODES
from test_catalogue import ROOT, expansions
from tamrel_manifest import _hints

SOURCES = sorted((ROOT / "src").glob("*/*.[ch]pp"))
# Codes the module writes outside the catalogues (the bounded read's limit codes).
LITERALS = {code for path in SOURCES
            for code in re.findall(r'"([a-z]+(?:_[a-z0-9]+)+)"', path.read_text())}
KNOWN = {full for code in CATALOGUE_CODES for full in expansions(code)}


def test_every_code_the_hints_read_is_raised_by_the_module() -> None:
    assert sorted(code for code in _hints.CODES if code not in KNOWN | LITERALS) == []
    assert _hints.CODES - LITERALS <= KNOWN  # those not written as literals are catalogue rows


PACKAGE = sorted((ROOT / "python" / "tamrel_manifest").rglob("*.py"))


def test_the_package_names_codes_only_through_the_table() -> None:
    # A code written anywhere else in the package would escape the check above (the report's
    # keys, such as "artifact_path", look alike but are no codes).
    written = {code for path in PACKAGE for code in re.findall(
        r'"((?:artifact|row_identity|auxiliary_artifact|calibration|encoder_distortion'
        r'|verification_report|manifest)_[a-z0-9_]+)"', path.read_text())}
    assert sorted((written & KNOWN) - _hints.CODES) == []


def test_every_limit_a_message_names_is_an_option() -> None:
    limits = set(tm.default_resource_limits())
    named = {name for path in SOURCES for name in re.findall(r"\b(max_[a-z_]+)=", path.read_text())}
    assert named, "no message names a limit"
    assert sorted(n for n in named if _hints.option_limit_name(n) not in limits) == []
    assert set(_hints.MESSAGE_LIMIT_NAMES) <= named
    assert set(_hints.LIMIT_OF_CODE.values()) <= limits


# ---- each pattern against what the module says ----

def _row_map_manifest(root: Path, lines: list[str], n: int | None = None) -> Path:
    manifest = builders.make_fixture(root, n_vectors=len(lines) if n is None else n)
    rows = root / "rows.jsonl"
    rows.write_bytes("".join(line + "\n" for line in lines).encode())
    return builders.write_manifest(root / "m.json", manifest)


def _messages(manifest: Path, **kw: object) -> list[str]:
    return [issue["message"] for issue in tm.verify_manifest(manifest, **kw)["errors"]]


def _error(call: Callable[[], object]) -> str:
    try:
        call()
    except (OSError, ValueError) as exc:
        return str(exc)
    raise AssertionError("no error")


def shifted(root: Path) -> list[str]:
    return _messages(_row_map_manifest(root, builders.row_lines(4)[1:], n=4))


def duplicate(root: Path) -> list[str]:
    lines = builders.row_lines(3)
    lines[2] = json.dumps({"row_id": 2, "db_id": json.loads(lines[0])["db_id"]})
    return _messages(_row_map_manifest(root, lines))


def blank_line(root: Path) -> list[str]:
    lines = builders.row_lines(3)
    return _messages(_row_map_manifest(root, [lines[0], "", *lines[1:]], n=3))


def blank_last_line(root: Path) -> list[str]:
    return _messages(_row_map_manifest(root, [*builders.row_lines(3), ""], n=3))



def tracked_limit(root: Path) -> list[str]:
    return _messages(_row_map_manifest(root, builders.row_lines(5)),
                     max_row_map_tracked_id_bytes=10)


def gzip_index(root: Path) -> list[str]:
    manifest = builders.write_manifest(root / "m.json", builders.make_fixture(root))
    (root / "index.rank_quant").write_bytes(b"\x1f\x8b\x08\x00" + bytes(22))
    return _messages(manifest)


def probe_at_creation(root: Path) -> list[str]:
    gzip, empty, bits = root / "i.gz", root / "empty", root / "bits64"
    gzip.write_bytes(b"\x1f\x8b\x08\x00" + bytes(22))
    empty.write_bytes(b"")
    bits.write_bytes(builders.index_header("rank_quant", 16, 1, bits=64))
    short = builders.write_index(root / "short", n_vectors=3)
    short.write_bytes(short.read_bytes()[:-1])
    return [_error(lambda: tm.create_manifest(path, root / "o.json", "m",
                                              row_id_is_identity=True))
            for path in (gzip, empty, short, bits)]


def other_kind(root: Path) -> list[str]:
    manifest = builders.write_manifest(root / "m.json", builders.make_fixture(root))
    builders.write_index(root / "index.rank_quant", "bitmap", n_vectors=3)
    return _messages(manifest)


def link_out(root: Path) -> list[str]:
    (root / "d").mkdir()
    manifest = builders.write_manifest(root / "d" / "m.json", builders.make_fixture(root / "d"))
    index = root / "d" / "index.rank_quant"
    index.rename(root / "index.rank_quant")
    index.symlink_to(root / "index.rank_quant")
    return _messages(manifest)


def row_map_invalid(root: Path) -> list[str]:
    index = builders.write_index(root / "i", n_vectors=2)
    rows = builders.write_row_map(root / "rows.jsonl", lines=['{"row_id": 0}', "x"])
    return [_error(lambda: tm.create_manifest(index, root / "o.json", "m", row_map=rows))]


def create_arguments(root: Path) -> list[str]:
    return [_error(lambda: tm.create_manifest(root / "i", root / "o", "m")),
            _error(lambda: tm.create_manifest(root / "i", root / "o", "m", row_map="r",
                                              row_id_is_identity=True))]


# pattern name -> what makes the module say it, and how many of those messages it must match
PRODUCERS: dict[str, tuple[Callable[[Path], list[str]], int]] = {
    "row_id": (shifted, 3),
    "row_line": (shifted, 3),
    "repeated_db_id": (duplicate, 1),
    "empty_line": (blank_line, 1),
    "rows_over_declared": (blank_last_line, 1),
    "rows_at_least": (tracked_limit, 1),
    "message_limit": (tracked_limit, 1),
    "unknown_magic": (gzip_index, 1),
    "probe": (probe_at_creation, 4),
    "kind_mismatch": (other_kind, 1),
    "canonical_outside": (link_out, 1),
    "row_map_invalid": (row_map_invalid, 1),
    "create_keywords": (create_arguments, 2),
}


def test_every_pattern_has_a_producer() -> None:
    assert sorted(PRODUCERS) == sorted(_hints.PATTERNS)


@pytest.mark.parametrize("name", sorted(PRODUCERS))
def test_pattern_matches_what_the_module_says(tmp_path: Path, name: str) -> None:
    produce, count = PRODUCERS[name]
    messages = produce(tmp_path)
    matched = [m for m in messages if _hints.PATTERNS[name].search(m)]
    assert len(matched) == count, messages
