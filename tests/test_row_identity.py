"""The row-identity file: line splitting, row objects, limits, duplicates and the stage's
digest and count comparisons, all through verify_manifest on real files."""

import hashlib
import json
import os
import threading
import uuid

import pytest

import _tamrel_manifest as tm
from builders import has_test_hooks, make_fixture, write_large_bundle, write_manifest

IDS = [str(uuid.UUID(int=i + 1)) for i in range(8)]
LETTERED = "3f2504e0-4f89-11d3-9a0c-0305e82c3301"
NIL = "00000000-0000-0000-0000-000000000000"
MARKER = "verification_report_issue_limit_exceeded"


def row(row_id, db_id=None, **extra):
    obj = {"row_id": row_id, "db_id": IDS[row_id % len(IDS)] if db_id is None else db_id}
    obj.update(extra)
    return json.dumps(obj, separators=(",", ":"))


def lines_bytes(lines, *, eol="\n", final=True):
    text = eol.join(lines) + (eol if final and lines else "")
    return text.encode()


def line_count(data):
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def verify_rows(tmp_path, data, *, row_count=None, sha256=None, **kwargs):
    """Writes data as the row map of a correct fixture and verifies. Returns the row-identity
    issues as (code, message) pairs and the report's row_identity facts."""
    row_count = line_count(data) if row_count is None else row_count
    # The index declares as many vectors as rows, so only row-identity issues arise.
    manifest = make_fixture(tmp_path, n_vectors=row_count)
    (tmp_path / "rows.jsonl").write_bytes(data)
    declared = manifest["row_identity"]
    declared["sha256"] = hashlib.sha256(data).hexdigest() if sha256 is None else sha256
    declared["row_count"] = row_count
    report = tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)), **kwargs)
    issues = [(e["code"], e["message"]) for e in report["errors"]
              if e["code"].startswith("row_identity_") or e["code"] == MARKER]
    return issues, report["row_identity"]


# ---- one line at a time ----

ROW_CASES = [
    ("clean", [row(0), row(1), row(2)], []),
    ("first row_id off by one", [row(1, IDS[0])],
     [("row_identity_row_id_mismatch", "line 0 has row_id 1")]),
    ("empty db_id", [row(0, "")], [("row_identity_db_id_empty", "line 0 has empty db_id")]),
    ("NUL in db_id", [row(0, "\u0000")],
     [("row_identity_db_id_contains_nul", "line 0 db_id contains NUL")]),
    ("NUL inside a uuid-length db_id", [row(0, IDS[0][:35] + "\u0000")],
     [("row_identity_db_id_contains_nul", "line 0 db_id contains NUL")]),
    ("db_id not a uuid", [row(0, "user-17")],
     [("row_identity_db_id_invalid_uuid", "line 0 db_id must be a UUID in v1")]),
    ("row_id checked before db_id", [row(0), row(5, "")],
     [("row_identity_row_id_mismatch", "line 1 has row_id 5"),
      ("row_identity_db_id_empty", "line 1 has empty db_id")]),
    ("parent_id null", [row(0, parent_id=None)], []),
    ("parent_id a uuid", [row(0, parent_id=IDS[3])], []),
    ("parent_id empty", [row(0, parent_id="")],
     [("row_identity_parent_id_empty", "line 0 has empty parent_id")]),
    ("parent_id with NUL", [row(0, parent_id="a\u0000b")],
     [("row_identity_parent_id_contains_nul", "line 0 parent_id contains NUL")]),
    ("parent_id not a uuid", [row(0, parent_id="root")],
     [("row_identity_parent_id_invalid_uuid", "line 0 parent_id must be a UUID in v1")]),
    ("db_id before parent_id", [row(0, "x", parent_id="y")],
     [("row_identity_db_id_invalid_uuid", "line 0 db_id must be a UUID in v1"),
      ("row_identity_parent_id_invalid_uuid", "line 0 parent_id must be a UUID in v1")]),
    ("repeated db_id", [row(0, IDS[0]), row(1, IDS[1]), row(2, IDS[0])],
     [("row_identity_duplicate_db_id", "line 2 repeats db_id")]),
    ("parent_id may repeat a db_id", [row(0, IDS[0]), row(1, IDS[1], parent_id=IDS[0])], []),
    ("other written forms are other strings",
     [row(0, LETTERED.upper()), row(1, "{" + LETTERED + "}"), row(2, LETTERED)], []),
    ("an escaped id repeats its plain spelling",
     [row(0, LETTERED), f'{{"row_id":1,"db_id":"\\u0033{LETTERED[1:]}"}}'],
     [("row_identity_duplicate_db_id", "line 1 repeats db_id")]),
    ("an upper-case id repeats itself", [row(0, LETTERED.upper()), row(1, LETTERED.upper())],
     [("row_identity_duplicate_db_id", "line 1 repeats db_id")]),
    ("repeated empty db_id is also a duplicate", [row(0, ""), row(1, "")],
     [("row_identity_db_id_empty", "line 0 has empty db_id"),
      ("row_identity_db_id_empty", "line 1 has empty db_id"),
      ("row_identity_duplicate_db_id", "line 1 repeats db_id")]),
    ("positional form", [f'[0,"{IDS[0]}"]', f'[1,"{IDS[1]}",null]', f'[2,"{IDS[2]}","{IDS[0]}"]'],
     []),
    ("whitespace around the value", [f' \t{{"db_id":"{IDS[0]}", "row_id":0}}\t '], []),
    ("blank line keeps later indices", [row(0), "", row(2)],
     [("row_identity_jsonl_invalid_json",
       "line 1 is not a strict row object: EOF while parsing a value at line 1 column 0")]),
]


@pytest.mark.parametrize("lines, expected", [c[1:] for c in ROW_CASES],
                         ids=[c[0] for c in ROW_CASES])
def test_row_issues(tmp_path, lines, expected):
    issues, facts = verify_rows(tmp_path, lines_bytes(lines))
    assert issues == expected
    assert facts["sha256"] == hashlib.sha256(lines_bytes(lines)).hexdigest()


# The decoder sees the line alone: positions are within the line, line 1.
INVALID_LINES = [
    ('{"row_id":0}', "missing field `db_id` at line 1 column 12"),
    (f'{{"row_id":0,"db_id":"{IDS[0]}","note":1}}',
     "unknown field `note`, expected one of `row_id`, `db_id`, `parent_id` at line 1 column 65"),
    (f'{{"row_id":0,"row_id":0,"db_id":"{IDS[0]}"}}', "duplicate field `row_id` at line 1 column 20"),
    (f'{{"row_id":0,"db_id":"{IDS[0]}"}} x', "trailing characters at line 1 column 61"),
    ("[0]", "invalid length 1, expected struct JsonlRow with 3 elements at line 1 column 3"),
    (f'[0,"{IDS[0]}",null,1]', "trailing characters at line 1 column 48"),
    ("7", "invalid type: integer `7`, expected struct JsonlRow at line 1 column 1"),
    (f'{{"row_id":-1,"db_id":"{IDS[0]}"}}',
     "invalid value: integer `-1`, expected usize at line 1 column 12"),
    ('{"row_id":0,"db_id":7}', "invalid type: integer `7`, expected a string at line 1 column 21"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
]


@pytest.mark.parametrize("line, decoder_text", INVALID_LINES)
def test_invalid_line_carries_decoder_text(tmp_path, line, decoder_text):
    issues, facts = verify_rows(tmp_path, lines_bytes([row(0), line, row(2)]))
    assert issues == [("row_identity_jsonl_invalid_json",
                       f"line 1 is not a strict row object: {decoder_text}")]
    # The invalid line counts as a row but not as a validated one.
    assert facts["validated_rows"] == 2


# Lines at the edges of the usual written form: each must read exactly as the strict decoder
# reads it, whichever way the scanner takes.
L = LETTERED
NEAR_COMMON_FORM = [
    (f'{{ "row_id" : 0 , "db_id" : "{L}" , "parent_id" : null }}', []),
    (f'{{"row_id":0,"db_id":"{L}","parent_id":"{L}"}}', []),
    (f'{{"row_id":0,"db_id":"\\u0033{L[1:]}"}}', []),
    (f'{{"row_id":18446744073709551615,"db_id":"{L}"}}',
     [("row_identity_row_id_mismatch", "line 0 has row_id 18446744073709551615")]),
    (f'{{"row_id":0,"db_id":"\u00e9{L[1:]}"}}',
     [("row_identity_db_id_invalid_uuid", "line 0 db_id must be a UUID in v1")]),
    (f'{{"row_id":0,"db_id":"{L[:8]} {L[9:]}"}}',
     [("row_identity_db_id_invalid_uuid", "line 0 db_id must be a UUID in v1")]),
    (f'{{"row_id":00,"db_id":"{L}"}}', "invalid number at line 1 column 12"),
    (f'{{"row_id":-0,"db_id":"{L}"}}',
     "invalid type: floating point `-0.0`, expected usize at line 1 column 12"),
    (f'{{"row_id":18446744073709551616,"db_id":"{L}"}}',
     "invalid type: floating point `1.8446744073709552e+19`, expected usize at line 1 column 30"),
    (f'{{"row_id":0,"db_id":"\t{L[1:]}"}}',
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 22"),
    (f'{{"row_id":0,"db_id":"{L}"}}}}', "trailing characters at line 1 column 60"),
    (f'{{"row_id":0,"db_id":"{L}",}}', "trailing comma at line 1 column 60"),
    (f'{{"row_id":0,"db_id":"{L}"', "EOF while parsing an object at line 1 column 58"),
    (f'{{"row_id":0,"db_id":"{L}","parent_id":nul}}', "expected ident at line 1 column 75"),
    (f'{{"row_id":0,"db_id":"{L}","parent_id":1}}',
     "invalid type: integer `1`, expected a string at line 1 column 72"),
    (f'{{"row_id":0,"db_id":"{L}","parent_id":null,"parent_id":null}}',
     "duplicate field `parent_id` at line 1 column 87"),
]


@pytest.mark.parametrize("line, expected", NEAR_COMMON_FORM)
def test_lines_near_the_common_form(tmp_path, line, expected):
    if isinstance(expected, str):
        expected = [("row_identity_jsonl_invalid_json",
                     f"line 0 is not a strict row object: {expected}")]
    assert verify_rows(tmp_path, (line + "\n").encode())[0] == expected


@pytest.mark.parametrize("db_id", [
    IDS[0], IDS[0].upper(), IDS[0].replace("-", ""), "{" + IDS[0] + "}", "urn:uuid:" + IDS[0],
    NIL, "FFFFFFFF-ffff-FFFF-ffff-FFFFFFFFFFFF", "0123456789abcdefABCDEF0123456789",
])
def test_uuid_forms_accepted(tmp_path, db_id):
    assert verify_rows(tmp_path, lines_bytes([row(0, db_id)]))[0] == []


@pytest.mark.parametrize("db_id", [
    IDS[0][:-1], IDS[0] + "0", IDS[0].replace("-", "")[:-1], IDS[0].replace("-", "") + "0",
    "g" * 32, IDS[0].replace("-", "+"), IDS[0][:8] + IDS[0][9:13] + "-" + IDS[0][8] + IDS[0][13:],
    "{" + IDS[0], IDS[0] + "}", "(" + IDS[0] + ")", "{" + IDS[0].replace("-", "") + "}",
    "urn:uuid:" + IDS[0].replace("-", ""), "uuid:urn:" + IDS[0], " " + IDS[0], IDS[0] + " ",
])
def test_uuid_lookalikes_rejected(tmp_path, db_id):
    assert verify_rows(tmp_path, lines_bytes([row(0, db_id)]))[0] == [
        ("row_identity_db_id_invalid_uuid", "line 0 db_id must be a UUID in v1")]


# ---- terminators ----

def test_crlf_and_missing_final_newline_decode_alike(tmp_path):
    lines = [row(0), row(1), row(2)]
    variants = [lines_bytes(lines), lines_bytes(lines, eol="\r\n"), lines_bytes(lines, final=False),
                lines_bytes(lines, eol="\r\n", final=False)]
    digests = set()
    for i, data in enumerate(variants):
        issues, facts = verify_rows(tmp_path / str(i), data, row_count=3)
        assert issues == []
        assert facts["validated_rows"] == 3
        digests.add(facts["sha256"])
    assert len(digests) == 4


# Carriage return is JSON whitespace, so its removal shows only in the decoder's column.
@pytest.mark.parametrize("data, column", [
    (b"   \r\n", 3),
    (b"   \r\r\n", 4),
    (b"   \r", 3),
    (b"   \n", 3),
])
def test_one_carriage_return_is_removed(tmp_path, data, column):
    issues, _ = verify_rows(tmp_path, data)
    assert issues == [("row_identity_jsonl_invalid_json",
                       f"line 0 is not a strict row object: EOF while parsing a value at line 1 column {column}")]


def test_lone_line_feed_is_one_empty_line(tmp_path):
    issues, facts = verify_rows(tmp_path, b"\n", row_count=0)
    assert issues == [("row_identity_row_count_mismatch",
                       "row identity file has more than declared row_count=0")]
    assert facts["sha256"] is None


@pytest.mark.parametrize("data, row_count, expected", [
    (b"", 0, []),
    (b"", 2, [("row_identity_row_count_mismatch", "row identity file has 0 rows, manifest declares 2")]),
    (lines_bytes([row(0), row(1)]), 3,
     [("row_identity_row_count_mismatch", "row identity file has 2 rows, manifest declares 3")]),
])
def test_count_at_end_of_file(tmp_path, data, row_count, expected):
    issues, facts = verify_rows(tmp_path, data, row_count=row_count)
    assert issues == expected
    assert facts["sha256"] == hashlib.sha256(data).hexdigest()


# ---- the four stops ----

def test_more_rows_than_declared_stops_with_one_count_issue(tmp_path):
    issues, facts = verify_rows(tmp_path, lines_bytes([row(i) for i in range(5)]), row_count=3)
    assert issues == [("row_identity_row_count_mismatch",
                       "row identity file has more than declared row_count=3")]
    assert facts["sha256"] is None
    assert facts["validated_rows"] == 3


@pytest.mark.parametrize("n_lines, limit, expected", [
    (3, 3, []),
    (4, 3, [("row_identity_row_count_limit_exceeded",
             "row identity file has more than max_row_identity_rows=3 rows"),
            ("row_identity_row_count_mismatch",
             "row identity file has at least 4 rows, manifest declares 3")]),
])
def test_row_limit_in_the_file(tmp_path, n_lines, limit, expected):
    data = lines_bytes([row(i) for i in range(n_lines)])
    issues, _ = verify_rows(tmp_path, data, row_count=3, max_row_map_rows=limit)
    assert issues == expected


@pytest.mark.parametrize("row_count, limit, expected", [
    (4, 4, [("row_identity_row_count_mismatch", "row identity file has 3 rows, manifest declares 4")]),
    (5, 4, [("row_identity_row_count_limit_exceeded",
             "row_identity.row_count 5 exceeds max_row_identity_rows=4")]),
])
def test_declared_count_against_row_limit(tmp_path, row_count, limit, expected):
    issues, facts = verify_rows(tmp_path, lines_bytes([row(0), row(1), row(2)]),
                                row_count=row_count, max_row_map_rows=limit)
    assert issues == expected
    # Over the limit the file is not even resolved.
    assert (facts["canonical_path"] is None) == (row_count > limit)


LINE = row(0)  # every row(i) for i < 10 has this length


@pytest.mark.parametrize("data, limit, expected", [
    # The terminator counts: a line of exactly `limit` characters plus LF is too large.
    (lines_bytes([row(0), row(1), row(2)]), len(LINE) + 1, []),
    (lines_bytes([row(0), row(1), row(2)]), len(LINE),
     [("row_identity_line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={len(LINE)}"),
      ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3")]),
    (lines_bytes([row(0), row(1), row(2)], eol="\r\n"), len(LINE) + 1,
     [("row_identity_line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={len(LINE) + 1}"),
      ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3")]),
    # A final line without terminator may use the whole limit.
    (lines_bytes([row(0), row(1), row(2)], final=False), len(LINE) + 1, []),
    (lines_bytes([row(0), row(1)]) + (row(2) + " ").encode(), len(LINE) + 1, []),
    (lines_bytes([row(0), row(1)]) + (row(2) + "  ").encode(), len(LINE) + 1,
     [("row_identity_line_too_large", f"line 2 exceeds max_row_identity_jsonl_line_bytes={len(LINE) + 1}")]),
    # 0 acts as 1: a lone line feed fits and is then an invalid row.
    (b"\n", 0, [("row_identity_jsonl_invalid_json",
                 "line 0 is not a strict row object: EOF while parsing a value at line 1 column 0")]),
    (b"\n\n", 0, [("row_identity_jsonl_invalid_json",
                   "line 0 is not a strict row object: EOF while parsing a value at line 1 column 0"),
                  ("row_identity_jsonl_invalid_json",
                   "line 1 is not a strict row object: EOF while parsing a value at line 1 column 0")]),
    (b"7\n", 0, [("row_identity_line_too_large", "line 0 exceeds max_row_identity_jsonl_line_bytes=0")]),
])
def test_line_limit(tmp_path, data, limit, expected):
    issues, facts = verify_rows(tmp_path, data, max_row_map_line_bytes=limit)
    assert issues == expected
    stopped = any(code == "row_identity_line_too_large" for code, _ in issues)
    assert (facts["sha256"] is None) == stopped


def test_long_line_across_many_reads(tmp_path):
    # Longer than the read buffer several times over, split mid-way by reads.
    pad = " " * 20000
    data = lines_bytes([row(0), pad + row(1) + pad, row(2)])
    assert verify_rows(tmp_path / "fits", data)[0] == []
    issues, _ = verify_rows(tmp_path / "over", data, max_row_map_line_bytes=30000)
    assert issues == [
        ("row_identity_line_too_large", "line 1 exceeds max_row_identity_jsonl_line_bytes=30000"),
        ("row_identity_row_count_mismatch", "row identity file has at least 2 rows, manifest declares 3"),
    ]


ID_BYTES = len(IDS[0])  # 36


@pytest.mark.parametrize("ids, limit, expected", [
    (IDS[:3], 3 * ID_BYTES, []),
    (IDS[:3], 3 * ID_BYTES - 1,
     [("row_identity_duplicate_tracking_limit_exceeded",
       f"tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={3 * ID_BYTES - 1}")]),
    # A repeated id is not tracked a second time.
    ([IDS[0], IDS[0], IDS[1]], 2 * ID_BYTES, [("row_identity_duplicate_db_id", "line 1 repeats db_id")]),
    (IDS[:3], 0,
     [("row_identity_duplicate_tracking_limit_exceeded",
       "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes=0"),
      ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3")]),
])
def test_tracking_limit(tmp_path, ids, limit, expected):
    data = lines_bytes([row(i, db_id) for i, db_id in enumerate(ids)])
    issues, facts = verify_rows(tmp_path, data, max_row_map_tracked_id_bytes=limit)
    assert issues == expected
    stopped = any(code.endswith("tracking_limit_exceeded") for code, _ in issues)
    assert (facts["sha256"] is None) == stopped


def test_tracking_stop_before_last_row_reports_at_least(tmp_path):
    data = lines_bytes([row(i) for i in range(3)])
    issues, facts = verify_rows(tmp_path, data, max_row_map_tracked_id_bytes=ID_BYTES)
    assert issues == [
        ("row_identity_duplicate_tracking_limit_exceeded",
         f"tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={ID_BYTES}"),
        ("row_identity_row_count_mismatch", "row identity file has at least 2 rows, manifest declares 3"),
    ]
    assert facts["validated_rows"] == 2


def test_allow_duplicate_db_ids_skips_duplicates_and_tracking(tmp_path):
    data = lines_bytes([row(0, IDS[0]), row(1, IDS[0]), row(2, IDS[0])])
    issues, facts = verify_rows(tmp_path, data, allow_duplicate_db_ids=True,
                                max_row_map_tracked_id_bytes=0)
    assert issues == []
    assert facts["validated_rows"] == 3


def test_many_distinct_ids_no_false_duplicates(tmp_path):
    # Enough ids to grow the set and the id store several times.
    ids = [str(uuid.UUID(int=(7 << 100) + i)) for i in range(50000)]
    data = lines_bytes([json.dumps({"row_id": i, "db_id": d}) for i, d in enumerate(ids)]
                       + [json.dumps({"row_id": 50000, "db_id": ids[12345]})])
    issues, facts = verify_rows(tmp_path, data)
    assert issues == [("row_identity_duplicate_db_id", "line 50000 repeats db_id")]
    assert facts["validated_rows"] == 50001


# Ids whose stored lengths take one, two and three length bytes, around the hash's 16-byte
# blocks and 4-byte tails, and ids equal but for trailing zero bytes. Past 2 GiB of tracked
# bytes the set's slots are 8 bytes wide instead of 4.
ID_SHAPES = ["", "a", "a\u0000", "abc", "abcd", "x" * 15, "x" * 16, "x" * 17, "y" * 127,
             "y" * 128, "z" * 16383, "z" * 16384]


@pytest.mark.parametrize("limit", [None, 3 << 30], ids=["4-byte slots", "8-byte slots"])
def test_every_repeat_found_whatever_the_id_length(tmp_path, limit):
    data = lines_bytes([row(i, d) for i, d in enumerate(ID_SHAPES + ID_SHAPES)])
    kwargs = {} if limit is None else {"max_row_map_tracked_id_bytes": limit}
    issues, facts = verify_rows(tmp_path, data, **kwargs)
    repeats = [m for c, m in issues if c == "row_identity_duplicate_db_id"]
    assert repeats == [f"line {len(ID_SHAPES) + i} repeats db_id" for i in range(len(ID_SHAPES))]
    assert facts["sha256"] == hashlib.sha256(data).hexdigest()


def test_repeats_found_after_the_set_grows(tmp_path):
    # Past the room the set starts with (for 2^17 ids), it grows and every id is hashed again
    # from its stored copy; repeats of ids from before and after the growth must still be found.
    n = 250_000
    line = b'{"row_id":%d,"db_id":"%08x-0000-4000-8000-%012x"}\n'
    data = b"".join(line % (i, i, i) for i in range(n)) + line % (n, 7, 7) + line % (n + 1, n - 1, n - 1)
    issues, facts = verify_rows(tmp_path, data)
    assert issues == [("row_identity_duplicate_db_id", f"line {n} repeats db_id"),
                      ("row_identity_duplicate_db_id", f"line {n + 1} repeats db_id")]
    assert facts["validated_rows"] == n + 2


@pytest.mark.parametrize("eol", ["\n", "\r\n"])
@pytest.mark.parametrize("shift", [-2, -1, 0, 1, 2])
def test_line_end_near_a_read_boundary(tmp_path, eol, shift):
    # Rows padded so that a terminator falls around the 128 KiB a read takes, split or not.
    boundary = (128 << 10) + shift
    lines, size = [], 0
    while size < boundary - 200:
        lines.append(row(len(lines)))
        size += len(lines[-1]) + len(eol)
    lines[-1] += " " * (boundary - size)
    lines += [row(len(lines)), row(len(lines) + 1, IDS[0])]
    data = lines_bytes(lines, eol=eol)
    assert data.index(eol.encode(), boundary - len(eol) - 1) == boundary - len(eol)
    issues, facts = verify_rows(tmp_path, data, allow_duplicate_db_ids=True)
    assert issues == []
    assert facts["validated_rows"] == len(lines)


# Maps of several MiB, read in many pieces. Each case: what is appended to the rows, limits, the
# issues, and whether the scan runs to the end (and so has a digest).
BIG_ROWS = 72_000  # about 4.4 MB of rows
BIG_CASES = [
    ("clean, unterminated last line", b'{"row_id":%d,"db_id":"00000000-0000-4000-8000-000000000000"}'
     % BIG_ROWS, {}, [], True),
    ("a repeat at the very end", b'{"row_id":%d,"db_id":"00000007-0000-4000-8000-000000000007"}\n'
     % BIG_ROWS, {}, [("row_identity_duplicate_db_id", f"line {BIG_ROWS} repeats db_id")], True),
    ("stopped in the first block", b"", {"max_row_map_tracked_id_bytes": 360},
     [("row_identity_duplicate_tracking_limit_exceeded",
       "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes=360"),
      ("row_identity_row_count_mismatch",
       f"row identity file has at least 11 rows, manifest declares {BIG_ROWS}")], False),
    ("stopped on the last line", b"{" * 300 + b"\n", {"max_row_map_line_bytes": 200},
     [("row_identity_line_too_large",
       f"line {BIG_ROWS} exceeds max_row_identity_jsonl_line_bytes=200")], False),
]


@pytest.mark.smoke
@pytest.mark.parametrize("tail, limits, expected, whole", [c[1:] for c in BIG_CASES],
                         ids=[c[0] for c in BIG_CASES])
def test_large_map(tmp_path, tail, limits, expected, whole):
    line = b'{"row_id":%d,"db_id":"%08x-0000-4000-8000-%012x"}\n'
    data = b"".join(line % (i, i + 1, i + 1) for i in range(BIG_ROWS)) + tail
    assert len(data) >= 4 << 20
    issues, facts = verify_rows(tmp_path, data, **limits)
    assert issues == expected
    assert facts["sha256"] == (hashlib.sha256(data).hexdigest() if whole else None)


# The id arena grows by moving its mapping; should the mapping have been split (by advice for
# part of it, say), growing must still succeed. Test-hook builds split it after every growth.
def test_the_id_arena_grows_after_its_mapping_was_split(tmp_path, monkeypatch):
    if not has_test_hooks():
        pytest.skip("needs a build with the test hooks (make asan)")
    index, row_map = write_large_bundle(tmp_path, 40_000, parents=False)
    manifest = tmp_path / "m.json"
    tm.create_manifest(index, manifest, "m", row_map=row_map)
    whole = tm.verify_manifest(manifest)
    monkeypatch.setenv("TAMREL_TEST_SPLIT_ARENA", "1")
    split = tm.verify_manifest(manifest)
    assert whole["ok"] and split["ok"]
    assert split["row_identity"] == whole["row_identity"]


# ---- the stage ----

def test_digest_mismatch(tmp_path):
    data = lines_bytes([row(0), row(1), row(2)])
    issues, facts = verify_rows(tmp_path, data, sha256="0" * 64)
    actual = hashlib.sha256(data).hexdigest()
    assert issues == [("row_identity_sha256_mismatch",
                       f"row_identity SHA-256 was {actual}, manifest declares {'0' * 64}")]
    assert facts["sha256"] == actual


def test_clean_facts(tmp_path):
    data = lines_bytes([row(0), row(1), row(2)])
    issues, facts = verify_rows(tmp_path, data)
    assert issues == []
    assert facts == {"kind": "jsonl", "manifest_path": "rows.jsonl",
                     "canonical_path": str((tmp_path / "rows.jsonl").resolve()),
                     "sha256": hashlib.sha256(data).hexdigest(), "row_count": 3,
                     "validated_rows": 3}


def test_row_id_identity_records_facts_only(tmp_path):
    manifest = make_fixture(tmp_path, row_map=False)
    report = tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)))
    assert report["row_identity"] == {"kind": "row_id_identity", "manifest_path": None,
                                      "canonical_path": None, "sha256": None, "row_count": 3,
                                      "validated_rows": None}
    assert [e for e in report["errors"] if e["code"].startswith("row_identity_")] == []


def test_issue_limit_does_not_stop_the_scan(tmp_path):
    data = lines_bytes(["{", "{", "{", row(3)])
    issues, facts = verify_rows(tmp_path, data, max_report_issues=2)
    assert issues == [
        ("row_identity_jsonl_invalid_json",
         "line 0 is not a strict row object: EOF while parsing an object at line 1 column 1"),
        (MARKER, "verification report issue count exceeded max_report_issues=2"),
    ]
    assert facts["validated_rows"] == 1
    assert facts["sha256"] == hashlib.sha256(data).hexdigest()


def test_directory_is_a_read_failure(tmp_path):
    manifest = make_fixture(tmp_path)
    (tmp_path / "rowdir").mkdir()
    manifest["row_identity"]["path"] = "rowdir"
    report = tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)))
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("row_identity_read_failed", "failed to read row identity file: Is a directory")]
    assert report["row_identity"]["validated_rows"] is None


def test_fifo_is_refused_without_blocking(tmp_path):
    manifest = make_fixture(tmp_path)
    fifo = tmp_path / "rows.fifo"
    os.mkfifo(fifo)
    manifest["row_identity"]["path"] = fifo.name
    path = str(write_manifest(tmp_path / "m.json", manifest))
    result = {}
    worker = threading.Thread(target=lambda: result.update(report=tm.verify_manifest(path)))
    worker.start()
    worker.join(timeout=10)
    if worker.is_alive():
        # Give the blocked reader a writer so the thread can end, then fail.
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        os.close(fd)
        worker.join(timeout=10)
        pytest.fail("verify_manifest blocked on a FIFO row map")
    assert [(e["code"], e["message"]) for e in result["report"]["errors"]] == [
        ("row_identity_read_failed", "failed to read row identity file: not a regular file")]
