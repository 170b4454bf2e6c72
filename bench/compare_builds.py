"""Two builds of the module side by side: the row scan of verify_manifest, sha256_file against
`openssl dgst -sha256`, and the import, each build in fresh processes, rounds interleaved.

Usage: python bench/compare_builds.py BASELINE_DIR CANDIDATE_DIR [--rows 1000000] [--mib 1024]
       [--rounds 5]
Each directory holds a built _tamrel_manifest module (a build directory will do).
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from bench_verify_rowmap import NATIVE, make_index, make_rows, write_manifest
from common import OUT, machine, make_file, median, python_cmd, run_timed, today, warm

IMPORT = "import _tamrel_manifest"
SHA = "import _tamrel_manifest as tm, sys; tm.sha256_file(sys.argv[1])"


def env_for(build: Path) -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": str(build)}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("baseline", type=Path)
    ap.add_argument("candidate", type=Path)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    OUT.mkdir(parents=True, exist_ok=True)
    rows = make_rows(OUT / f"rowmap_{args.rows}.jsonl", args.rows)
    manifest = write_manifest(make_index(OUT / f"rowmap_2x{args.rows}.kxr", 2, args.rows), 2,
                              rows, args.rows)
    big = make_file(OUT / f"sha_a_{args.mib}.bin", args.mib << 20)
    warm(rows, big)

    builds = {"baseline": args.baseline.resolve(), "candidate": args.candidate.resolve()}
    tasks = {
        "import": (python_cmd(IMPORT), True),
        f"verify_manifest, {args.rows} rows": (python_cmd(NATIVE) + [str(manifest)], True),
        f"sha256_file, {args.mib} MiB": (python_cmd(SHA) + [str(big)], True),
        f"openssl dgst -sha256, {args.mib} MiB": (["openssl", "dgst", "-sha256", str(big)], False),
    }
    times: dict[tuple[str, str], list[float]] = {}
    for _ in range(args.rounds):  # interleaved, so drift hits every side alike
        for task, (cmd, per_build) in tasks.items():
            for name, path in builds.items() if per_build else [("-", None)]:
                elapsed = run_timed(cmd, env=env_for(path) if path else None)[0]
                times.setdefault((task, name), []).append(elapsed)

    print(f"## Two builds, {today()}, {machine()}")
    for name, path in builds.items():
        print(f"- {name}: {path}")
    print(f"median of {args.rounds} interleaved rounds, fresh processes, files in the page cache")
    ssl = median(times[(f"openssl dgst -sha256, {args.mib} MiB", "-")])
    for task, (_, per_build) in tasks.items():
        if not per_build:
            print(f"- {task}: {ssl:.3f} s")
            continue
        base = median(times[(task, "baseline")])
        cand = median(times[(task, "candidate")])
        line = f"- {task}: baseline {base:.3f} s, candidate {cand:.3f} s, ratio {cand / base:.3f}"
        if task.startswith("sha256_file"):
            line += f"; vs openssl: baseline {base / ssl:.3f}x, candidate {cand / ssl:.3f}x"
        print(line)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
