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
import json
import sys
import uuid
from pathlib import Path

from common import OUT, machine, median, module_envs, python_cmd, run_timed, sha256_of, today, warm

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from builders import index_header  # noqa: E402

IMPORT = "import _tamrel_manifest"
NATIVE = "import _tamrel_manifest as tm, sys; r = tm.verify_manifest(sys.argv[1]); assert r['ok'], r['errors']"

# The same checks, written the obvious way.
PURE = [sys.executable, str(Path(__file__).resolve().parent / "pure_rowmap.py")]


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
        contenders["pure Python (hashlib, json.loads, set)"] = (PURE + [str(mpath)], first)
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

    builds = module_envs("verify_manifest", args.build)

    print(f"## verify_manifest with a row map, {today()}, {machine()}")
    print(f"median of {args.rounds} interleaved rounds, fresh processes, files in the page cache")
    dim = max(2, round(args.index_mib * (1 << 20) / (2 * args.rows)))
    if not args.skip_large:
        run_scenario("large index", dim, args.rows, rows, args.rounds, builds, not args.skip_python)
    # The smallest index with as many vectors: what remains is the row map.
    run_scenario("row map alone", 2, args.rows, rows, args.rounds, builds, not args.skip_python)


if __name__ == "__main__":
    main()
