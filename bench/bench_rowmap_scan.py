"""The row-map scan against the hardware: verify_manifest in a warm process beside `openssl dgst
-sha256` of the same files, the same checks in plain Python, and the memory the id set takes.

Three row maps of random UUIDs, each beside a 4 MiB index: no parent_id; a quarter of the rows
with one (half of them null, half a UUID); a UUID parent_id on every row (chunked documents).
- 1 M rows of each map: time against openssl and against plain Python.
- 10 M rows (a quarter with parents), 10 M distinct ids, the tracking limit raised to admit
  them: time against openssl, and the call's peak RSS above the interpreter's baseline against
  the tracked id bytes.
- The same 10 M rows with the default limits: the scan stops at the tracking limit; its peak.

--pieces DIR times the scan alone (rowscan_bench, built with -DTAMREL_BENCH=ON in DIR) with
every speed piece on, and with each piece off in a build of its own, on the 1 M maps and the
10 M map; each figure is the time without the piece over the time with it, within one round.

Usage: python bench/bench_rowmap_scan.py [--rows 1000000] [--big-rows 10000000] [--rounds 5]
                                         [--build LABEL=DIR ...] [--keep] [--pieces DIR]
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


PARENTS = ("none", "quarter", "every")


def make_rows(path: Path, n: int, parents: str) -> Path:
    """n rows of random lower-case UUIDs; parents is one of PARENTS."""
    if path.exists():
        return path
    seed = hashlib.sha256(b"rowmap").digest()
    with open(path, "w") as fh:
        chunk = []
        for i in range(n):
            h = hashlib.blake2b(seed + i.to_bytes(8, "little"), digest_size=33).hexdigest()
            db = f"{h[:8]}-{h[8:12]}-4{h[13:16]}-8{h[17:20]}-{h[20:32]}"
            p = f"{h[32:40]}-{h[40:44]}-4{h[45:48]}-9{h[49:52]}-{h[52:64]}"
            pick = int(h[64:66], 16)
            if parents == "every" or (parents == "quarter" and pick < 32):
                chunk.append(f'{{"row_id":{i},"db_id":"{db}","parent_id":"{p}"}}\n')
            elif parents == "quarter" and pick < 64:
                chunk.append(f'{{"row_id":{i},"db_id":"{db}","parent_id":null}}\n')
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


# The pieces kept (each bought 10 % or more); the switch of each is TAMREL_ROWSCAN_<PIECE>.
PIECES = ["lookahead", "prefetch"]


def pieces(bench_dir: Path, maps: list[tuple[str, Path, int]], rounds: int) -> None:
    """Each piece's worth: time of the build without it over the build with it, per round, in
    wall time and in CPU time."""
    programs = {"all": bench_dir / "rowscan_bench"}
    programs.update({p: bench_dir / f"rowscan_bench_no_{p}" for p in PIECES})
    print(f"### Speed pieces: time without the piece / time with it, wall (CPU) (rowscan_bench, "
          f"median of {rounds} interleaved rounds)")
    print("| map | every piece on, wall (CPU) | " + " | ".join(PIECES) + " |")
    print("| --- | --- |" + " --- |" * len(PIECES))
    sys.stdout.flush()
    tracked = str(72 * 10_000_000)  # 10 M ids admitted, offsets still 4 bytes
    for title, path, calls in maps:
        warm(path)
        times = {clock: {name: [] for name in programs} for clock in ("wall", "times")}
        ratios = {clock: {p: [] for p in PIECES} for clock in ("wall", "times")}
        for _ in range(rounds):
            for name, prog in programs.items():
                out = json.loads(run_timed([str(prog), str(path), str(calls), tracked])[2])
                assert out["issues"] == 0, (name, out)
                for clock in times:
                    times[clock][name].append(median(out[clock]))
            for clock in times:
                for p in PIECES:
                    ratios[clock][p].append(times[clock][p][-1] / times[clock]["all"][-1])
        cells = [f"{median(ratios['wall'][p]):.3f} ({median(ratios['times'][p]):.3f})"
                 for p in PIECES]
        print(f"| {title} | {median(times['wall']['all']):.3f} s ({median(times['times']['all']):.3f} s) | "
              + " | ".join(cells) + " |")
        sys.stdout.flush()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--big-rows", type=int, default=10_000_000, help="0 leaves the big scenarios out")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--build", action="append", default=[], metavar="LABEL=DIR")
    ap.add_argument("--keep", action="store_true", help="keep the big row map for the next run")
    ap.add_argument("--pieces", type=Path, metavar="DIR", help="time the speed pieces instead")
    args = ap.parse_args()

    builds = module_envs("verify_manifest", args.build)
    OUT.mkdir(parents=True, exist_ok=True)
    print(f"## row-map scan, {today()}, {machine()}")
    small = {p: make_rows(OUT / f"rowscan_{args.rows}_{p}.jsonl", args.rows, p) for p in PARENTS}
    big = make_rows(OUT / f"rowscan_{args.big_rows}_quarter.jsonl", args.big_rows, "quarter") \
        if args.big_rows else None
    try:
        if args.pieces:
            maps = [(f"{args.rows} rows, parents {p}", path, 5) for p, path in small.items()]
            if big:
                maps.append((f"{args.big_rows} rows, parents quarter", big, 1))
            pieces(args.pieces, maps, args.rounds)
            return
        print(f"median of {args.rounds} interleaved rounds; verify_manifest timed in a warm "
              "process, openssl in a fresh one; files in the page cache")
        for p, path in small.items():
            compare(f"{args.rows} rows, parents {p}", write_pair(path, args.rows), builds,
                    args.rounds, 5, {}, True, 0)
        if big:
            mpath = write_pair(big, args.big_rows)
            tracked = args.big_rows * 36
            raised = {"max_row_map_tracked_id_bytes": 2 * tracked, "max_row_map_rows": args.big_rows}
            compare(f"{args.big_rows} distinct ids, limits raised", mpath, builds,
                    max(1, args.rounds // 2), 1, raised, False, tracked)
            compare(f"{args.big_rows} distinct ids, default limits", mpath, builds,
                    max(1, args.rounds // 2), 1, {}, False, 64 << 20)
    finally:
        if big and not args.keep:
            for p in (big, big.with_suffix(".kxr"), big.with_suffix(".json")):
                p.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
