"""Hostile manifests: every one ends in a clean ValueError or a load, never a crash, and the
decoder's memory stays near the size of its input."""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import _tamrel_manifest as tm
from builders import minimal_manifest

BASE = minimal_manifest()

RICH = {
    **BASE,
    "artifact": {**BASE["artifact"], "kind": "rank_quant", "params": {"bits": 4, "kind": "rank_quant"}},
    "auxiliary_artifacts": [{"name": "v", "path": "v", "sha256": "s", "file_size_bytes": 1,
                             "required": False}],
    "calibration": {"schema_version": "tamrel.calibration.v1", "profile_id": "p",
                    "calibrated_for": ["m", 8], "ordinalization": ["bucket", 8, 4],
                    "null_model": {"parameterization": {"bucket_frequency": None},
                                   "kind": "weighted_marginal_profile"}},
    "row_identity": {"kind": "jsonl", "path": "r", "sha256": "s", "row_count": 3,
                     "id_kind": "uuid", "db": {"table": "t"}},
    "attestations": [{"k": [1.5e-7, -2, True, None, "\u00e9\n\\"]}],
    "extensions": {"x.a": "\U0001F600 \ud7ff", "x.b": [1e300, -0.0, 18446744073709551616]},
}

# The limit the module reads under when none is given: every input here stays below it.
LIMIT = 1 << 20


def inspect_bytes(tmp_path, data: bytes, name: str = "m.json", **kw):
    path = tmp_path / name
    path.write_bytes(data)
    return tm.inspect_manifest(path, **kw)


def failure(tmp_path, data: bytes, **kw) -> str:
    with pytest.raises(ValueError) as exc:
        inspect_bytes(tmp_path, data, **kw)
    return str(exc.value)


def end_position(data: bytes) -> tuple[int, int]:
    return data.count(b"\n") + 1, len(data) - (data.rfind(b"\n") + 1)


@pytest.mark.parametrize("indent", [None, 2])
def test_every_prefix_of_a_valid_manifest_fails_at_its_end(tmp_path, indent):
    text = json.dumps(RICH, indent=indent, ensure_ascii=False).encode()
    assert inspect_bytes(tmp_path, text)
    for n in range(len(text)):
        prefix = text[:n]
        message = failure(tmp_path, prefix)
        line, column = end_position(prefix)
        what, _, where = message.rpartition(" at ")
        assert where == f"line {line} column {column}", (n, message)
        assert what in ("EOF while parsing a value", "EOF while parsing an object",
                        "EOF while parsing a list", "EOF while parsing a string"), (n, message)


def test_random_byte_mutations_never_crash(tmp_path):
    text = bytearray(json.dumps(RICH).encode())
    rng = random.Random(20260102)
    outcomes = set()
    for i in range(1500):
        data = bytearray(text)
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(data))
            choice = rng.random()
            if choice < 0.4:
                data[at] = rng.randrange(256)
            elif choice < 0.7:
                del data[at]
            else:
                data.insert(at, rng.choice(b'{}[]",:-0123456789.eE\\u \n\xff\xc3'))
        try:
            inspect_bytes(tmp_path, bytes(data))
            outcomes.add("loaded")
        except ValueError as exc:
            assert " at line " in str(exc), (i, bytes(data), str(exc))
            outcomes.add("rejected")
    assert outcomes == {"loaded", "rejected"}


# ---- sizes ----

CHILD = r"""
import json, sys
sys.path[:0] = json.loads(sys.argv[1])
# VmHWM starts afresh at exec; ru_maxrss keeps the parent's peak when the child was vforked.
def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
import _tamrel_manifest as tm
before = peak_kib()
try:
    tm.inspect_manifest(sys.argv[2], max_manifest_bytes=int(sys.argv[3]))
    out = {"loaded": True}
except Exception as exc:
    out = {"raised": type(exc).__name__, "text": str(exc)}
out["grew_kib"] = peak_kib() - before
print(json.dumps(out))
"""

SANITIZED = bool(os.environ.get("TAMREL_SANITIZED"))


def in_child(path: Path, limit: int = LIMIT) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps(sys.path), str(path), str(limit)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def with_extension(value: bytes) -> bytes:
    return json.dumps(BASE)[:-1].encode() + b', "extensions": {"x.v": ' + value + b"}}"


def test_a_mebibyte_of_open_brackets_at_the_top(tmp_path):
    path = tmp_path / "m.json"
    path.write_bytes(b"[" * LIMIT)
    got = in_child(path)
    # The positional form's first member is a string: the second bracket is already wrong.
    assert got["text"] == "invalid type: sequence, expected a string at line 1 column 1"


def test_a_mebibyte_of_open_brackets_in_extensions(tmp_path):
    data = with_extension(b"[" * (LIMIT - 1000))
    path = tmp_path / "m.json"
    path.write_bytes(data)
    got = in_child(path)
    column = data.index(b"[") + 127
    assert got["text"] == f"recursion limit exceeded at line 1 column {column}"
    assert SANITIZED or got["grew_kib"] < 16 << 10, got


def test_deep_nesting_inside_a_buffered_union(tmp_path):
    text = json.dumps(BASE).replace('{"kind": "rank"}', '{"kind": "rank", "x": %s}' % ("[" * 200))
    message = failure(tmp_path, text.encode())
    assert message.startswith("recursion limit exceeded at line 1 column ")


def test_a_long_string_of_escapes(tmp_path):
    n = (LIMIT - 1000) // 6
    data = with_extension(b'"' + b"\\u00e9" * n + b'\\ud83d\\ude00"')
    got = inspect_bytes(tmp_path, data)["extensions"]["x.v"]
    assert got == "\u00e9" * n + "\U0001F600"
    path = tmp_path / "m.json"
    assert SANITIZED or in_child(path)["grew_kib"] < 32 << 10


def test_many_short_values(tmp_path):
    data = with_extension(b"[" + b",".join([b'{"a":[1,"b",null]}'] * 50_000) + b"]")
    got = inspect_bytes(tmp_path, data)["extensions"]["x.v"]
    assert len(got) == 50_000 and got[-1] == {"a": [1, "b", None]}


@pytest.mark.parametrize("digits,expected", [
    (b"1" * 300, float("1" * 300)),
    (b"0." + b"0" * 100_000 + b"1", 0.0),
    (b"1." + b"0" * 100_000 + b"1", 1.0),
    (b"-" + b"9" * 300 + b"e-290", float("-" + "9" * 300 + "e-290")),
])
def test_numbers_with_thousands_of_digits(tmp_path, digits, expected):
    assert inspect_bytes(tmp_path, with_extension(digits))["extensions"]["x.v"] == expected


def test_an_integer_of_a_hundred_thousand_digits_is_out_of_range(tmp_path):
    data = with_extension(b"7" * 100_000)
    line, column = end_position(data[:-2])
    assert failure(tmp_path, data) == f"number out of range at line {line} column {column}"


@pytest.mark.parametrize("byte", list(range(0x80, 0x100, 7)))
def test_stray_high_bytes(tmp_path, byte):
    inside = with_extension(b'"a' + bytes([byte]) + b'"')
    line, column = end_position(inside[:-2])
    assert failure(tmp_path, inside) == f"invalid unicode code point at line {line} column {column}"
    outside = with_extension(bytes([byte]))
    line, column = end_position(outside[:-2])
    assert failure(tmp_path, outside) == f"expected value at line {line} column {column}"
