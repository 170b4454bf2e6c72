"""verify_manifest on a large index plus a large row map, side by side with `openssl dgst -sha256`
of the same two files and with a plain Python version of the same checks.

The native pass should cost little more than hashing both files; the Python version
(hashlib, json.loads per line, a set of ids) shows what the scanner saves.

Usage: python bench/bench_verify_rowmap.py [--index-mib 1024] [--rows 1000000] [--rounds 3]
                                          [--build LABEL=DIR ...]
The module is imported from TAMREL_TEST_BUILD when it is set, as the tests do; each --build adds
the module built in DIR as one more contender, so two builds compare in one run.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import uuid
from pathlib import Path

from common import OUT, machine, median, python_cmd, run_timed, today, warm

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from builders import index_header  # noqa: E402

IMPORT = "import _tamrel_manifest"
NATIVE = "import _tamrel_manifest as tm, sys; r = tm.verify_manifest(sys.argv[1]); assert r['ok'], r['errors']"

# The same checks, written the obvious way.
PURE = r'''
import hashlib, json, os, re, sys
HEX = "[0-9a-fA-F]"
H = f"{HEX}{{8}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{12}}"
UUID = re.compile(rf"(?:{HEX}{{32}}|{H}|\{{{H}\}}|urn:uuid:{H})\Z")

def digest(path):
    h, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return h.hexdigest(), size

m = json.load(open(sys.argv[1]))
base = os.path.dirname(sys.argv[1]) or "."
art, ri = m["artifact"], m["row_identity"]
errors = []
if digest(os.path.join(base, art["path"])) != (art["sha256"], art["file_size_bytes"]):
    errors.append("artifact")
h, seen, n = hashlib.sha256(), set(), 0
with open(os.path.join(base, ri["path"]), "rb") as f:
    for line in f:
        h.update(line)
        row = json.loads(line)
        if set(row) - {"row_id", "db_id", "parent_id"} or row["row_id"] != n:
            errors.append(n)
        db = row["db_id"]
        if not isinstance(db, str) or not db or "\0" in db or not UUID.match(db):
            errors.append(n)
        if db in seen:
            errors.append(n)
        else:
            seen.add(db)
        n += 1
if h.hexdigest() != ri["sha256"] or n != ri["row_count"]:
    errors.append("rows")
assert not errors, errors[:5]
'''


def make_index(path: Path, dim: int, n: int) -> Path:
    header = index_header("rank", dim, n)
    size = len(header) + n * dim * 2
    if path.exists() and path.stat().st_size == size:
        return path
    block = bytes(range(256)) * 4096
    with open(path, "wb") as fh:
        fh.write(header)
        left = size - len(header)
        while left:
            k = min(left, len(block))
            fh.write(block[:k])
            left -= k
    return path


def make_rows(path: Path, n: int) -> Path:
    if path.exists():
        return path
    with open(path, "w") as fh:
        for i in range(n):
            fh.write(f'{{"row_id":{i},"db_id":"{uuid.UUID(int=(0x5EED << 96) + i * 2654435761)}"}}\n')
    return path


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def write_manifest(index: Path, dim: int, rows: Path, n: int) -> Path:
    manifest = {
        "schema_version": "tamrel.index_manifest.v1",
        "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
        "created_at": "2026-01-01T00:00:00Z",
        "artifact": {"path": index.name, "sha256": sha256_of(index), "kind": "rank",
                     "format_version": 1, "dim": dim, "vector_count": n,
                     "bytes_per_vec": dim * 2, "params": {"kind": "rank"},
                     "file_size_bytes": index.stat().st_size},
        "embedding": {"model": "m", "dim": dim},
        "row_identity": {"kind": "jsonl", "path": rows.name, "sha256": sha256_of(rows),
                         "row_count": n, "id_kind": "uuid"},
    }
    path = index.with_suffix(".json")
    path.write_text(json.dumps(manifest))
    return path


def run_scenario(title: str, dim: int, n: int, rows: Path, rounds: int,
                 builds: dict[str, dict[str, str]], with_python: bool) -> None:
    index = make_index(OUT / f"rowmap_{dim}x{n}.kxr", dim, n)
    mpath = write_manifest(index, dim, rows, n)
    warm(index, rows)
    first = next(iter(builds.values()))
    contenders = {
        "interpreter + import": (python_cmd(IMPORT), first),
        "openssl dgst -sha256 of both files": (["openssl", "dgst", "-sha256", str(index), str(rows)],
                                               first),
    }
    for label, env in builds.items():
        contenders[label] = (python_cmd(NATIVE) + [str(mpath)], env)
    if with_python:
        contenders["pure Python (hashlib, json.loads, set)"] = (python_cmd(PURE) + [str(mpath)], first)
    times: dict[str, list[float]] = {name: [] for name in contenders}
    peaks: dict[str, int] = {}
    for _ in range(rounds):  # interleaved, so drift hits every side alike
        for name, (cmd, env) in contenders.items():
            elapsed, peak, _ = run_timed(cmd, env=env)
            times[name].append(elapsed)
            peaks[name] = max(peaks.get(name, 0), peak)

    mib = lambda p: p.stat().st_size / (1 << 20)  # noqa: E731
    print(f"### {title}: rank index {mib(index):.0f} MiB (dim {dim}) + row map {mib(rows):.0f} MiB "
          f"({n} rows)")
    for name, ts in times.items():
        print(f"- {name}: {median(ts):.3f} s, peak RSS {peaks[name] // 1024} MiB")
    ssl = median(times["openssl dgst -sha256 of both files"])
    start = median(times["interpreter + import"])
    for label in builds:
        ours = median(times[label])
        print(f"- {label} / openssl: {ours / ssl:.2f}x ({(ours - start) / ssl:.2f}x net of "
              "interpreter start-up)")
        if with_python:
            pure = median(times["pure Python (hashlib, json.loads, set)"])
            print(f"- pure Python / {label}: {pure / ours:.1f}x "
                  f"({(pure - start) / (ours - start):.1f}x net of interpreter start-up)")
    if len(builds) > 1:
        base, *others = builds
        for label in others:
            print(f"- {label} / {base}: {median(times[label]) / median(times[base]):.3f}x "
                  f"({(median(times[label]) - start) / (median(times[base]) - start):.3f}x net of "
                  "interpreter start-up)")
    sys.stdout.flush()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--index-mib", type=int, default=1024)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--skip-python", action="store_true", help="leave out the slow baseline")
    ap.add_argument("--skip-large", action="store_true", help="only the row map beside a tiny index")
    ap.add_argument("--build", action="append", default=[], metavar="LABEL=DIR",
                    help="compare the module built in DIR (repeatable)")
    args = ap.parse_args()

    OUT.mkdir(parents=True, exist_ok=True)
    rows = make_rows(OUT / f"rowmap_{args.rows}.jsonl", args.rows)
    def env_for(build: str | None) -> dict[str, str]:
        env = dict(os.environ)
        if build:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
        return env

    builds = {"verify_manifest": env_for(os.environ.get("TAMREL_TEST_BUILD"))}
    if args.build:
        builds = {f"verify_manifest [{label}]": env_for(str(Path(d).resolve()))
                  for label, d in (b.split("=", 1) for b in args.build)}

    print(f"## verify_manifest with a row map, {today()}, {machine()}")
    print(f"median of {args.rounds} interleaved rounds, fresh processes, files in the page cache")
    dim = max(2, round(args.index_mib * (1 << 20) / (2 * args.rows)))
    if not args.skip_large:
        run_scenario("large index", dim, args.rows, rows, args.rounds, builds, not args.skip_python)
    # The smallest index with as many vectors: what remains is the row map.
    run_scenario("row map alone", 2, args.rows, rows, args.rounds, builds, not args.skip_python)


if __name__ == "__main__":
    main()
