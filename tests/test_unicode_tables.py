"""The committed Unicode tables against the Unicode Character Database they were generated from
(skipped where the UCD files or the source tree are absent, as in an installed-wheel run)."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
GENERATOR = ROOT / "tools" / "gen_unicode_tables.py"
TABLES = ROOT / "src" / "base" / "unicode_tables.cpp"
UCD = Path("/usr/share/unicode")

pytestmark = pytest.mark.skipif(
    not (GENERATOR.is_file() and (UCD / "UnicodeData.txt").is_file()),
    reason="needs the source tree and the UCD files (Debian unicode-data)")


def generator():
    module_spec = importlib.util.spec_from_file_location("gen_unicode_tables", GENERATOR)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def ucd_version() -> str:
    return (UCD / "PropList.txt").read_text(encoding="utf-8").split("\n", 1)[0]


@pytest.fixture(scope="module")
def committed():
    return generator().parse_rendered(TABLES.read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def from_ucd():
    gen = generator()
    if gen.UNICODE_VERSION not in ucd_version():
        pytest.skip(f"the UCD here is {ucd_version()!r}, the tables pin {gen.UNICODE_VERSION}")
    return gen.tables(UCD)


# Name, expected ranges, and code points on either side of the property's edges.
CASES = [
    ("white_space", 10, [0x09, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x200A, 0x202F, 0x3000],
     [0x08, 0x0E, 0x1F, 0x21, 0x180E, 0x200B, 0xFEFF]),
    ("grapheme_extend", 363, [0x0300, 0x036F, 0x200C, 0xFE0F, 0xFF9E, 0x1E94A, 0xE0020, 0xE01EF],
     [0x02FF, 0x0370, 0x200D, 0x1F3FB, 0xE01F0]),  # an emoji modifier is not
    ("not_printable", 712, [0x00, 0x1F, 0x7F, 0x9F, 0xA0, 0xAD, 0x2028, 0xD800, 0xE000, 0xFFFF,
                            0x10FFFF, 0x0378],
     [0x20, 0x7E, 0xA1, 0x0377, 0x4E00, 0x9FFF, 0xAC00, 0x1F600]),
]


@pytest.mark.parametrize("name,count,inside,outside", CASES, ids=[c[0] for c in CASES])
def test_committed_table_is_what_the_ucd_gives(committed, from_ucd, name, count, inside, outside):
    table = committed[name]
    assert table == from_ucd[name]
    assert len(table) == count
    assert all(a <= b < c - 1 for (a, b), (c, _) in zip(table, table[1:]))  # sorted, merged
    contains = lambda cp: any(a <= cp <= b for a, b in table)  # noqa: E731
    assert [cp for cp in inside if not contains(cp)] == []
    assert [cp for cp in outside if contains(cp)] == []


def test_generated_file_is_current(from_ucd):
    gen = generator()
    assert TABLES.read_text(encoding="utf-8") == gen.render(from_ucd)
