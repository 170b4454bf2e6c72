"""`tamrel-manifest verify` over the manifests of a sharded index, one worker against several.

Eight shards (by default), each a rank index of 256 MiB with its manifest; the tool verifies all
of them in one run with `-j 1` and with `-j N`. The native calls release the interpreter lock, so
N workers should hash N shards at once on N cores. Each side runs in a fresh process, rounds
interleaved, the files in the page cache. The shards are deleted at the end unless --keep.

Usage: python bench/bench_verify_parallel.py [--shards 8] [--mib 256] [--jobs 2] [--rounds 3]
"""

from __future__ import annotations

import argparse
import sys

from bench_verify import make_rank_fixture
from common import machine, median, run_timed, today, warm


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--keep", action="store_true", help="keep the shard files for another run")
    args = ap.parse_args()
    shards = [make_rank_fixture(f"shard{i}", args.mib) for i in range(args.shards)]
    try:
        warm(*(index for index, _ in shards))
        manifests = [str(manifest) for _, manifest in shards]
        tool = [sys.executable, "-m", "tamrel_manifest", "verify", "-q"]
        one, many = [], []
        for _ in range(args.rounds):  # interleaved, so drift hits both sides alike
            one.append(run_timed(tool + ["-j", "1", *manifests])[0])
            many.append(run_timed(tool + ["-j", str(args.jobs), *manifests])[0])
    finally:
        if not args.keep:
            for index, manifest in shards:
                index.unlink(missing_ok=True)
                manifest.unlink(missing_ok=True)
    print(f"{today()}, {machine()}")
    print(f"{args.shards} manifests of {args.mib} MiB, median of {args.rounds} interleaved rounds")
    print(f"  -j 1: {median(one):.3f} s  (rounds: {', '.join(f'{t:.3f}' for t in one)})")
    print(f"  -j {args.jobs}: {median(many):.3f} s  (rounds: {', '.join(f'{t:.3f}' for t in many)})")
    print(f"  speed-up -j {args.jobs} over -j 1: {median(one) / median(many):.2f}x")


if __name__ == "__main__":
    main()
