"""Hostile sizes: each input ends cleanly, and peak memory stays bounded (measured in a child)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import uuid
from pathlib import Path

from builders import make_fixture, sha256_of, write_manifest

CHILD = r"""
import json, sys
sys.path[:0] = json.loads(sys.argv[1])
import _tamrel_manifest as tm
kind, path, kwargs = sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
try:
    result = getattr(tm, kind)(path, **kwargs)
    summary = {"ok": result.get("ok"), "codes": [e["code"] for e in result.get("errors", [])],
               "validated_rows": result.get("row_identity", {}).get("validated_rows")}
except Exception as exc:
    summary = {"raised": type(exc).__name__, "text": str(exc)[:300]}
# VmHWM is this process's own peak; ru_maxrss keeps the forking test process's peak across exec.
with open("/proc/self/status") as status:
    summary["peak_kib"] = next(int(l.split()[1]) for l in status if l.startswith("VmHWM:"))
print(json.dumps(summary))
"""


# Sanitizer builds trade memory for checking: their peaks say nothing about ours.
SANITIZED = bool(os.environ.get("TAMREL_SANITIZED"))


def peak_below(got: dict, kib: int) -> bool:
    return SANITIZED or got["peak_kib"] < kib


def run_child(fn: str, path: Path, **kwargs) -> dict:
    here = str(Path(__file__).resolve().parent)
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps([here, *sys.path]), fn,
                          str(path), json.dumps(kwargs)], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_one_mib_of_nested_arrays(tmp_path):
    path = tmp_path / "m.json"
    prefix = b'{"extensions":{"lab.deep":'
    path.write_bytes(prefix + b"[" * ((1 << 20) - len(prefix)))
    got = run_child("inspect_manifest", path)
    assert got["raised"] == "ValueError"
    assert got["text"] == f"recursion limit exceeded at line 1 column {len(prefix) + 127}"
    assert peak_below(got, 100 << 10), got


def test_a_million_extension_keys(tmp_path):
    manifest = make_fixture(tmp_path, row_map=False)
    text = json.dumps(manifest)[:-1] + ', "extensions": {' + ",".join(
        f'"k{i:07d}.x": {i}' for i in range(1_000_000)) + "}}"
    path = write_manifest(tmp_path / "m.json", text)
    got = run_child("verify_manifest", path, max_manifest_bytes=64 << 20)
    assert got["codes"] == []  # every key is namespaced
    assert peak_below(got, 600 << 10), got


def test_row_map_of_max_size_lines(tmp_path):
    n = 64
    line_max = 65536
    manifest = make_fixture(tmp_path, n_vectors=n)
    lines = []
    for i in range(n):
        base = json.dumps({"row_id": i, "db_id": str(uuid.UUID(int=i + 1)), "parent_id": None})
        lines.append(base[:-1] + " " * (line_max - 1 - len(base)) + "}")
    rows = tmp_path / "rows.jsonl"
    rows.write_text("\n".join(lines) + "\n")
    manifest["row_identity"]["sha256"] = sha256_of(rows)
    path = write_manifest(tmp_path / "m.json", manifest)
    got = run_child("verify_manifest", path)
    assert got["ok"], got  # lines of exactly the limit, terminator included, pass


def test_ten_million_rows_stop_at_the_tracking_limit(tmp_path):
    n = 10_000_000
    manifest = make_fixture(tmp_path, n_vectors=3)
    rows = tmp_path / "rows.jsonl"
    with open(rows, "w") as fh:
        chunk = []
        for i in range(n):
            chunk.append('{"row_id":%d,"db_id":"%08x-0000-4000-8000-%012x"}\n' % (i, i, i))
            if len(chunk) == 100_000:
                fh.write("".join(chunk))
                chunk = []
        fh.write("".join(chunk))
    manifest["artifact"]["vector_count"] = n
    manifest["row_identity"].update(row_count=n, sha256="0" * 64)
    path = write_manifest(tmp_path / "m.json", manifest)
    got = run_child("verify_manifest", path)
    assert got["codes"][-2:] == ["row_identity_duplicate_tracking_limit_exceeded",
                                 "row_identity_row_count_mismatch"]
    # 64 MiB of tracked ids, the set's own slots, and the interpreter: well under 400 MiB.
    assert peak_below(got, 400 << 10), got
    rows.unlink()
