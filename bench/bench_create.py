"""create_manifest on a large index with a large row map, against `openssl dgst -sha256` of the
same two files in the same run.

Usage: python bench/bench_create.py [--index-mib 1024] [--rows 1000000] [--rounds 3]
                                    [--baseline DIR]
(the module must be importable, for example PYTHONPATH=build/<name>; --baseline names the build
directory of another version of the module, timed in the same rounds for a before/after ratio)
"""

from __future__ import annotations

import argparse
import os
import struct
import sys
from pathlib import Path

from common import OUT, machine, median, python_cmd, run_timed, today, warm

CREATE = """
import _tamrel_manifest as tm, sys
kw = {"row_id_is_identity": True} if sys.argv[3] == "-" else {"row_map": sys.argv[3]}
tm.create_manifest(sys.argv[1], sys.argv[2], "bench-model", **kw)
"""


def write_index(path: Path, mib: int, rows: int) -> Path:
    """A Rank index of `rows` vectors whose size is close to mib MiB (random payload)."""
    dim = max(2, min(65535, (mib << 20) // rows // 2))
    size = 13 + rows * dim * 2
    if path.exists() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    block = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        fh.write(b"KXR1" + bytes([1]) + struct.pack("<II", dim, rows))
        left = size - 13
        while left > 0:
            n = min(left, len(block))
            fh.write(block[:n])
            left -= n
    return path


def write_rows(path: Path, rows: int) -> Path:
    if path.exists():
        with open(path, "rb") as fh:
            if sum(1 for _ in fh) == rows:
                return path
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="ascii") as fh:
        for i in range(rows):
            h = f"{i + 1:032x}"
            fh.write(f'{{"row_id":{i},"db_id":"{h[:8]}-{h[8:12]}-4{h[13:16]}-8{h[17:20]}-'
                     f'{h[20:]}"}}\n')
    return path


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--index-mib", type=int, default=1024)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--baseline", type=Path, default=None)
    args = ap.parse_args()
    index = write_index(OUT / f"create_{args.index_mib}_{args.rows}.kxr", args.index_mib,
                        args.rows)
    rows = write_rows(OUT / f"create_rows_{args.rows}.jsonl", args.rows)
    out = OUT / "create_manifest.json"
    warm(index, rows)

    base_env = None
    if args.baseline:
        base_env = {**os.environ, "PYTHONPATH": str(args.baseline.resolve())}
    t_ssl, t_ours, t_index_only, t_base, t_base_index_only = [], [], [], [], []
    rss_ours = 0
    for _ in range(args.rounds):  # interleaved, so drift hits every contender alike
        t_ssl.append(run_timed(["openssl", "dgst", "-sha256", str(index), str(rows)])[0])
        elapsed, rss, _ = run_timed(python_cmd(CREATE) + [str(index), str(out), str(rows)])
        t_ours.append(elapsed)
        rss_ours = max(rss_ours, rss)
        t_index_only.append(run_timed(python_cmd(CREATE) + [str(index), str(out), "-"])[0])
        if base_env:
            t_base.append(run_timed(python_cmd(CREATE) + [str(index), str(out), str(rows)],
                                    base_env)[0])
            t_base_index_only.append(run_timed(python_cmd(CREATE) + [str(index), str(out), "-"],
                                               base_env)[0])
    ssl, ours, index_only = map(median, (t_ssl, t_ours, t_index_only))
    index_mib = index.stat().st_size / (1 << 20)
    rows_mib = rows.stat().st_size / (1 << 20)
    print(f"## create_manifest, {today()}, {machine()}")
    print(f"index {index_mib:.0f} MiB (Rank), row map {args.rows} rows ({rows_mib:.0f} MiB), "
          f"median of {args.rounds} interleaved rounds, fresh processes, files in page cache")
    print(f"- openssl dgst -sha256 of both files: {ssl:.3f} s")
    print(f"- create_manifest with the row map:   {ours:.3f} s, ratio {ours / ssl:.3f}x openssl, "
          f"peak RSS {rss_ours / 1024:.0f} MiB")
    print(f"- create_manifest, row_id_is_identity: {index_only:.3f} s (index digest and probe "
          f"only)")
    if base_env:
        base, base_index_only = median(t_base), median(t_base_index_only)
        print(f"- baseline {args.baseline}: with the row map {base:.3f} s (this build "
              f"{ours / base:.3f}x), row_id_is_identity {base_index_only:.3f} s (this build "
              f"{index_only / base_index_only:.3f}x)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
