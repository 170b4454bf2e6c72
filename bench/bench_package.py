"""What the pure-Python layer costs on top of the native calls.

- importing the package against importing the native module alone;
- open_verified (inspect, stats, verify_for_load, no-follow opens, identity checks) against
  verify_for_load alone;
- the command-line tool's `verify --json` against the same verify_manifest call in Python;
- the progress watcher (a thread listing /proc/self/fd every 0.2 s) around verify_manifest.

Each side runs in a fresh process, rounds interleaved. The package must be importable (installed,
or PYTHONPATH=build/<dir>:python).

Usage: python bench/bench_package.py [--mib 128] [--rounds 5]
"""

from __future__ import annotations

import argparse
import sys

from bench_verify import make_rank_fixture
from common import machine, median, python_cmd, run_timed, today, warm

IMPORT_NATIVE = "import _tamrel_manifest"
IMPORT_PACKAGE = "import tamrel_manifest"
FOR_LOAD = "import tamrel_manifest as tm, sys; tm.verify_for_load(sys.argv[1])"
OPEN_VERIFIED = ("import tamrel_manifest as tm, sys\n"
                 "with tm.open_verified(sys.argv[1]) as v: v.index.read(16)")
VERIFY = ("import tamrel_manifest as tm, sys, json\n"
          "print(json.dumps(tm.verify_manifest(sys.argv[1]), indent=2))")
WATCHED = ("import tamrel_manifest as tm, sys, os, json\n"
           "from tamrel_manifest._progress import Progress\n"
           "with Progress(open(os.devnull, 'w'), enabled=True, delay=0.0):\n"
           "    r = tm.verify_manifest(sys.argv[1])\n"
           "print(json.dumps(r, indent=2))")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=128)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    index, mpath = make_rank_fixture("package", args.mib)
    warm(index)

    sides = {
        "import _tamrel_manifest": python_cmd(IMPORT_NATIVE),
        "import tamrel_manifest": python_cmd(IMPORT_PACKAGE),
        "verify_for_load": python_cmd(FOR_LOAD) + [str(mpath)],
        "open_verified": python_cmd(OPEN_VERIFIED) + [str(mpath)],
        "verify_manifest + json.dumps": python_cmd(VERIFY) + [str(mpath)],
        "the same, progress watcher on": python_cmd(WATCHED) + [str(mpath)],
        "tamrel-manifest verify --json": [sys.executable, "-m", "tamrel_manifest", "verify",
                                          str(mpath), "--json"],
    }
    times: dict[str, list[float]] = {name: [] for name in sides}
    for _ in range(args.rounds):  # interleaved, so drift hits every side alike
        for name, cmd in sides.items():
            times[name].append(run_timed(cmd)[0])
    print(f"## package layer, {today()}, {machine()}")
    print(f"rank index {args.mib} MiB, identity rows, median of {args.rounds} interleaved rounds,"
          " fresh processes")
    base = median(times["import _tamrel_manifest"])
    for name, values in times.items():
        t = median(values)
        print(f"- {name + ':':32} {t:.3f} s ({t - base:+.3f} s over the bare import)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
