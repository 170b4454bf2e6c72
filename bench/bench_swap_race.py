"""A directory on the index's path swapped for a link in a loop, and what the checked open costs.

Race: another process exchanges base/d (which holds the index) with base/l, a link to an outside
directory holding another valid index, as fast as it can, while verify_manifest runs in a loop
for --seconds. A report carrying the outside file's digest or header under the inside path is a
read outside the base. Each build runs with openat2 as the kernel offers it and with openat2 refused
by a seccomp filter (ENOSYS), so that the component walk opens.

Speed: verify_manifest of bench_blocks' manifest with --aux auxiliary artifacts of 4 KiB (each
one path check and one open) and profiles of 1 MiB, --calls times in each fresh process, the
contenders interleaved round by round; the median time per call and its ratio to the first's.

Usage: python bench/bench_swap_race.py --build before=DIR --build after=DIR [--seconds 20]
       [--aux 1024] [--calls 20] [--rounds 7] [--skip-race]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_blocks import build
from common import OUT, machine, median, module_envs, python_cmd, today

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from swaps import MODES, SwapTree, refuse_openat2  # noqa: E402

TIMED = """
import sys, time, _tamrel_manifest as tm
calls = int(sys.argv[2])
assert tm.verify_manifest(sys.argv[1])["ok"]
start = time.perf_counter()
for _ in range(calls):
    tm.verify_manifest(sys.argv[1])
print((time.perf_counter() - start) / calls)
"""


def timed(env: dict[str, str], mode: str, manifest: Path, calls: int) -> float:
    err = MODES[mode]
    out = subprocess.run(python_cmd(TIMED) + [str(manifest), str(calls)], env=env,
                         capture_output=True, text=True, check=True,
                         preexec_fn=None if err is None else (lambda: refuse_openat2(err)))
    return float(out.stdout)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", action="append", default=[], help="LABEL=DIR, first is the base")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--aux", type=int, default=1024)
    ap.add_argument("--calls", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--skip-race", action="store_true")
    args = ap.parse_args()
    envs = module_envs("verify_manifest", args.build)
    print(f"# {today()}, {machine()}")

    if not args.skip_race:
        print(f"## swap race, {args.seconds:g} s per run")
        for label, env in envs.items():
            for mode in MODES:
                with tempfile.TemporaryDirectory() as tmp:
                    counts = SwapTree(Path(tmp)).race(mode, args.seconds, env=env)
                total = sum(counts.values())
                bad = counts.get("outside file under an inside name", 0)
                print(f"{label}, {mode}: {bad} of {total} calls read the outside file "
                      f"({total / args.seconds:.0f} calls/s); {counts}", flush=True)

    # Every optional block, the profiles 1 MiB each: the time is mostly the per-file work.
    manifest = build(OUT / f"swap_aux_{args.aux}", args.aux, 4, 1)[0]
    contenders = [(label, env, mode) for label, env in envs.items() for mode in MODES]
    times: dict[str, list[float]] = {f"{label}, {mode}": [] for label, _, mode in contenders}
    for _ in range(args.rounds):
        for label, env, mode in contenders:
            times[f"{label}, {mode}"].append(timed(env, mode, manifest, args.calls))
    print(f"## verify_manifest, {args.aux} auxiliary artifacts of 4 KiB, {args.calls} calls "
          f"per process, median of {args.rounds} interleaved rounds")
    base = None
    for name, xs in times.items():
        m = median(xs)
        base = base or m
        print(f"{name}: {m * 1e3:.2f} ms per call ({m / args.aux * 1e6:.1f} us per file), "
              f"{m / base:.3f}x")


if __name__ == "__main__":
    main()
