"""The row-map scan against the hardware: verify_manifest in a warm process beside `openssl dgst
-sha256` of the same files, the same checks in plain Python, and the memory the id set takes.

Scenarios (a 4 MiB index beside each row map; ids are random UUIDs, 30 % of rows have a parent):
- 1 M rows: time against openssl and against plain Python.
- 10 M rows, 10 M distinct ids, the tracking limit raised to admit them: time against openssl,
  and the call's peak RSS above the interpreter's baseline against the tracked id bytes.
- The same 10 M rows with the default limits: the scan stops at the tracking limit; its peak.

Usage: python bench/bench_rowmap_scan.py [--rows 1000000] [--big-rows 10000000] [--rounds 5]
                                         [--build LABEL=DIR ...] [--keep]
Each --build adds the module built in DIR as a contender (the first is the baseline of the
ratios); without one the installed module is used. The 10 M-row file (about 800 MiB) is deleted
afterwards unless --keep.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
from pathlib import Path

from bench_verify_rowmap import make_index, write_manifest
from common import OUT, machine, median, module_envs, python_cmd, run_timed, today, warm

# Warm: one call to fault in the module and the allocator, then timed calls. Peak: VmHWM after
# the import (the interpreter's baseline) and after one call.
WARM = r'''
import _tamrel_manifest as tm, json, sys, time
m, n, limits = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
base = hwm()
r = tm.verify_manifest(m, **limits)
peak = hwm() - base
times = []
for _ in range(n):
    t = time.perf_counter()
    r = tm.verify_manifest(m, **limits)
    times.append(time.perf_counter() - t)
print(json.dumps({"times": times, "peak": peak, "codes": sorted({e["code"] for e in r["errors"]})}))
'''

PURE = str(Path(__file__).resolve().parent / "pure_rowmap.py")


def make_rows(path: Path, n: int) -> Path:
    if path.exists():
        return path
    seed = hashlib.sha256(b"rowmap").digest()
    with open(path, "w") as fh:
        chunk = []
        for i in range(n):
            h = hashlib.blake2b(seed + i.to_bytes(8, "little"), digest_size=33).hexdigest()
            db = f"{h[:8]}-{h[8:12]}-4{h[13:16]}-8{h[17:20]}-{h[20:32]}"
            if int(h[64:66], 16) < 77:  # 30 %
                p = f"{h[32:40]}-{h[40:44]}-4{h[45:48]}-9{h[49:52]}-{h[52:64]}"
                chunk.append(f'{{"row_id":{i},"db_id":"{db}","parent_id":"{p}"}}\n')
            else:
                chunk.append(f'{{"row_id":{i},"db_id":"{db}"}}\n')
            if len(chunk) == 100_000:
                fh.write("".join(chunk))
                chunk = []
        fh.write("".join(chunk))
    return path


def write_pair(rows: Path, n: int) -> Path:
    """A small rank index of n vectors beside the row map, and the manifest of both."""
    return write_manifest(make_index(rows.with_suffix(".kxr"), 2, n), 2, rows, n)


def compare(title: str, mpath: Path, builds: dict[str, dict[str, str]], rounds: int, calls: int,
            limits: dict, with_python: bool, tracked: int) -> None:
    m = json.loads(mpath.read_text())
    index, rows = mpath.parent / m["artifact"]["path"], mpath.parent / m["row_identity"]["path"]
    warm(index, rows)
    first = next(iter(builds.values()))
    ssl, pure = [], []
    ours: dict[str, list[float]] = {label: [] for label in builds}
    peaks: dict[str, int] = {}
    codes: dict[str, list[str]] = {}
    for _ in range(rounds):  # interleaved, so drift hits every side alike
        ssl.append(run_timed(["openssl", "dgst", "-sha256", str(index), str(rows)], env=first)[0])
        for label, env in builds.items():
            out = json.loads(run_timed(python_cmd(WARM) + [str(mpath), str(calls), json.dumps(limits)],
                                       env=env)[2])
            ours[label].append(median(out["times"]))
            peaks[label] = max(peaks.get(label, 0), out["peak"])
            codes[label] = out["codes"]
        if with_python:
            pure.append(float(run_timed([sys.executable, PURE, str(mpath)], env=first)[2]))
    mib = lambda b: b / (1 << 20)  # noqa: E731
    print(f"### {title}: index {mib(index.stat().st_size):.0f} MiB + row map "
          f"{mib(rows.stat().st_size):.0f} MiB ({m['row_identity']['row_count']} rows)")
    print(f"- openssl dgst -sha256 of both files: {median(ssl):.3f} s")
    if pure:
        print(f"- plain Python, same checks (in process): {median(pure):.3f} s")
    base = median(next(iter(ours.values())))
    for label, ts in ours.items():
        t = median(ts)
        line = f"- {label}: {t:.3f} s warm, {t / median(ssl):.2f}x openssl"
        if pure:
            line += f", {median(pure) / t:.1f}x faster than plain Python"
        if len(ours) > 1:
            line += f", {t / base:.3f}x the first build"
        line += f"; peak RSS above baseline {mib(peaks[label]):.0f} MiB"
        if tracked:
            line += (f" = {peaks[label] / tracked:.2f}x the {mib(tracked):.0f} MiB of tracked ids "
                     f"(target {mib(1.3 * tracked + (32 << 20)):.0f} MiB)")
        print(line + (f"; issues {codes[label]}" if codes[label] else ""))
    sys.stdout.flush()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--big-rows", type=int, default=10_000_000, help="0 leaves the big scenarios out")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--build", action="append", default=[], metavar="LABEL=DIR")
    ap.add_argument("--keep", action="store_true", help="keep the big row map for the next run")
    args = ap.parse_args()

    builds = module_envs("verify_manifest", args.build)
    OUT.mkdir(parents=True, exist_ok=True)
    print(f"## row-map scan, {today()}, {machine()}")
    print(f"median of {args.rounds} interleaved rounds; verify_manifest timed in a warm process, "
          "openssl in a fresh one; files in the page cache")
    small = make_rows(OUT / f"rowscan_{args.rows}.jsonl", args.rows)
    compare(f"{args.rows} rows", write_pair(small, args.rows), builds, args.rounds, 5, {}, True, 0)
    if args.big_rows:
        big = make_rows(OUT / f"rowscan_{args.big_rows}.jsonl", args.big_rows)
        mpath = write_pair(big, args.big_rows)
        try:
            tracked = args.big_rows * 36
            raised = {"max_row_map_tracked_id_bytes": 2 * tracked, "max_row_map_rows": args.big_rows}
            compare(f"{args.big_rows} distinct ids, limits raised", mpath, builds,
                    max(1, args.rounds // 2), 1, raised, False, tracked)
            compare(f"{args.big_rows} distinct ids, default limits", mpath, builds,
                    max(1, args.rounds // 2), 1, {}, False, 64 << 20)
        finally:
            if not args.keep:
                for p in (big, big.with_suffix(".kxr"), mpath):
                    p.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
