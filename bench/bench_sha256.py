"""sha256_file against `openssl dgst -sha256` on the same file, and two threads against one.

Usage: python bench/bench_sha256.py [--mib 1024] [--rounds 5]
"""

from __future__ import annotations

import argparse
import sys

from common import OUT, machine, make_file, median, python_cmd, run_timed, today, warm

ONE = "import _tamrel_manifest as tm, sys; tm.sha256_file(sys.argv[1])"
TWO = """
import _tamrel_manifest as tm, sys, threading
ts = [threading.Thread(target=tm.sha256_file, args=(p,)) for p in sys.argv[1:3]]
[t.start() for t in ts]; [t.join() for t in ts]
"""
SERIAL = "import _tamrel_manifest as tm, sys; [tm.sha256_file(p) for p in sys.argv[1:3]]"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    a = make_file(OUT / f"sha_a_{args.mib}.bin", args.mib << 20)
    b = make_file(OUT / f"sha_b_{args.mib}.bin", args.mib << 20)
    warm(a, b)

    t_ssl, t_ours, t_two, t_serial, t_procs = [], [], [], [], []
    for _ in range(args.rounds):  # interleaved, so drift hits both sides alike
        t_ssl.append(run_timed(["openssl", "dgst", "-sha256", str(a)])[0])
        t_ours.append(run_timed(python_cmd(ONE) + [str(a)])[0])
        t_serial.append(run_timed(python_cmd(SERIAL) + [str(a), str(b)])[0])
        t_two.append(run_timed(python_cmd(TWO) + [str(a), str(b)])[0])
        # The machine's own parallel headroom: two whole processes at once.
        t_procs.append(run_timed(["sh", "-c", f"{sys.executable} -c '{ONE}' {a} & "
                                  f"{sys.executable} -c '{ONE}' {b}; wait"])[0])
    ssl, ours, two, serial, procs = map(median, (t_ssl, t_ours, t_two, t_serial, t_procs))
    print(f"## sha256_file, {today()}, {machine()}")
    print(f"file {args.mib} MiB, median of {args.rounds} interleaved rounds, fresh processes")
    print(f"- openssl dgst -sha256: {ssl:.3f} s ({args.mib / ssl:.0f} MiB/s)")
    print(f"- sha256_file:          {ours:.3f} s ({args.mib / ours:.0f} MiB/s), "
          f"ratio {ours / ssl:.3f}x openssl")
    print(f"- two files, one thread:  {serial:.3f} s")
    print(f"- two files, two threads: {two:.3f} s, ratio {two / serial:.2f} of serial")
    print(f"- two files, two processes: {procs:.3f} s, ratio {procs / serial:.2f} of serial "
          "(what this machine's two cores give at best)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
