"""Concurrency and leaks: many threads at once agree with one thread; long loops do not grow."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _tamrel_manifest as tm
from builders import KINDS, make_fixture, write_manifest

ROUNDS = 15


def _stable(value):
    """Drops what legitimately differs between calls: times and fresh identifiers."""
    if isinstance(value, dict):
        return {k: _stable(v) for k, v in value.items()
                if k not in ("checked_at", "created_at", "manifest_id", "invocation_id")}
    if isinstance(value, list):
        return [_stable(v) for v in value]
    return value


def _outcome(fn):
    try:
        return ("ok", _stable(fn()))
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc).__name__, str(exc))


def _calls(root: Path, i: int):
    kind = list(KINDS)[i % len(KINDS)]
    base = root / f"f{i}"
    base.mkdir()
    manifest = write_manifest(base / "m.json", make_fixture(base, kind, n_vectors=5 + i))
    broken = dict(make_fixture(base / "b", kind))
    broken["artifact"]["sha256"] = "0" * 64
    bad = write_manifest(base / "b" / "m.json", broken)
    index = base / f"index.{kind}"
    return [
        lambda: tm.verify_manifest(manifest),
        lambda: tm.verify_manifest(bad),
        lambda: tm.verify_for_load(manifest),
        lambda: tm.verify_for_load(bad),
        lambda: tm.inspect_manifest(manifest),
        lambda: tm.sha256_file(index),
        lambda: tm.default_resource_limits(),
        lambda: tm.create_manifest(index, base / "out" / "c.json", "m",
                                   row_map=base / "rows.jsonl"),
        lambda: tm.inspect_manifest(base / "missing.json"),
    ]


def test_eight_threads_agree_with_one(tmp_path):
    fixtures = [_calls(tmp_path, i) for i in range(8)]
    expected = [[_outcome(fn) for fn in calls] for calls in fixtures]
    assert expected[0][0][0] == "ok" and expected[0][0][1]["ok"]
    results: list[list] = [[] for _ in fixtures]
    errors: list[BaseException] = []

    def work(i):
        try:
            for _ in range(ROUNDS):
                results[i].append([_outcome(fn) for fn in fixtures[i]])
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors
    for i, rounds in enumerate(results):
        assert len(rounds) == ROUNDS
        for got in rounds:
            assert got == expected[i]


LEAK_SCRIPT = r"""
import gc, json, sys
from pathlib import Path
sys.path[:0] = json.loads(sys.argv[2])
import _tamrel_manifest as tm
from builders import make_fixture, write_manifest
root = Path(sys.argv[1])
base = root / "leak"; base.mkdir()
m = write_manifest(base / "m.json", make_fixture(base, "rank_quant",
    auxiliary_artifacts=[]))
bad = base / "bad.json"; bad.write_text("{")
index = base / "index.rank_quant"
calls = {
    "default_resource_limits": lambda: tm.default_resource_limits(),
    "sha256_file": lambda: tm.sha256_file(index),
    "inspect_manifest": lambda: tm.inspect_manifest(m),
    "verify_manifest": lambda: tm.verify_manifest(m),
    "verify_for_load": lambda: tm.verify_for_load(m),
    "create_manifest": lambda: tm.create_manifest(index, base / "o.json", "m",
                                                  row_map=base / "rows.jsonl"),
    "errors": lambda: [f() for f in ()],
}
def errors():
    for f in (lambda: tm.inspect_manifest(bad), lambda: tm.sha256_file(base / "nope"),
              lambda: tm.verify_manifest(m, max_manifest_bytes=-1)):
        try: f()
        except (ValueError, OSError, OverflowError): pass
calls["errors"] = errors
def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * 4096
out = {}
for name, fn in calls.items():
    for _ in range(500): fn()
    gc.collect(); before = rss()
    for _ in range(int(sys.argv[3])): fn()
    gc.collect(); out[name] = rss() - before
print(json.dumps(out))
"""


@pytest.mark.skipif(bool(os.environ.get("TAMREL_SANITIZED")),
                    reason="the sanitizers' quarantine holds freed memory on purpose")
def test_long_loops_do_not_grow(tmp_path):
    n = int(os.environ.get("TAMREL_LEAK_CALLS", "20000"))
    here = str(Path(__file__).resolve().parent)
    out = subprocess.run([sys.executable, "-c", LEAK_SCRIPT, str(tmp_path),
                          json.dumps([here, *sys.path]), str(n)],
                         capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stderr
    growth = json.loads(out.stdout)
    for name, grew in growth.items():
        assert grew < 4 << 20, f"{name} grew by {grew} bytes over {n} calls"


# ---- real sizes: 8 threads over one bundle of 200,000 rows ----

BIG_ROWS = 200_000
BIG_ROUNDS = 3


def test_eight_threads_over_a_large_bundle_agree_with_one(tmp_path):
    from builders import write_large_bundle
    from tamrel_manifest import signing

    index, row_map = write_large_bundle(tmp_path / "b", BIG_ROWS)
    manifest = tmp_path / "b" / "m.json"
    tm.create_manifest(index, manifest, "m", row_map=row_map)
    key = tmp_path / "k.pem"
    signing.generate_key(key)
    signing.sign_manifest(manifest, key)
    pub = [str(key) + ".pub"]

    def calls(i):
        out = tmp_path / "b" / f"created{i}.json"
        return [
            lambda: tm.verify_manifest(manifest),
            lambda: tm.verify_for_load(manifest),
            lambda: signing.verify_signed_manifest(manifest, pub),
            lambda: tm.create_manifest(index, out, "m", row_map=row_map),
        ]

    expected = [_outcome(fn) for fn in calls(0)]
    assert [kind for kind, _ in expected] == ["ok"] * 4, expected
    assert expected[0][1]["ok"] and expected[2][1]["ok"]
    failures: list[str] = []

    def work(i):
        mine = calls(i)
        for _ in range(BIG_ROUNDS):
            # Verifications ten times as often as creation, as a service's threads would.
            for j in [0, 1, 2] * 3 + [3]:
                got = _outcome(mine[j])
                if got != expected[j]:
                    failures.append(f"thread {i}, call {j}: {got if got[0] != 'ok' else 'differs'}")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=900)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
