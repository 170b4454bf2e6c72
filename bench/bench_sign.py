"""Signed against unsigned verification of a large index with a large row map, and how fast a
signature refusal returns beside it.

Signed verification checks the signature, hashes the manifest once more in memory and compares
names and digests, all before or after the one pass over the files: it should cost the unsigned
pass plus a few milliseconds. A refusal (an untrusted signer, a manifest edited after signing)
comes before any pinned file is read, so its time should not depend on the index at all.

Usage: python bench/bench_sign.py [--index-mib 1024] [--rows 1000000] [--rounds 5]
"""

from __future__ import annotations

import argparse
import shutil

from bench_verify_rowmap import make_index, make_rows, write_manifest
from common import OUT, machine, median, python_cmd, run_timed, today, warm

# Both sides import the package, so that only the calls differ; each prints its call's time.
TIMED = ("import tamrel_manifest as tm, sys, time; t = time.perf_counter(); r = {}; "
         "print(time.perf_counter() - t); assert r['ok'], r['errors']")
UNSIGNED = TIMED.format("tm.verify_manifest(sys.argv[1])")
SIGNED = TIMED.format("tm.verify_signed_manifest(sys.argv[1], sys.argv[2])")
IMPORT = "import tamrel_manifest; print(0)"
# The call alone, timed inside the process, and the code it was refused with.
REFUSAL = ("import tamrel_manifest as tm, sys, time; t = time.perf_counter(); "
           "r = tm.verify_signed_manifest(sys.argv[1], sys.argv[2]); "
           "print(time.perf_counter() - t, r['errors'][0]['code'], r['artifact']['sha256'])")


def key(name: str) -> str:
    path = OUT / name
    if not path.exists():
        run_timed(python_cmd(f"import tamrel_manifest as tm; tm.generate_key({str(path)!r})"))
    return str(path) + ".pub"


def sign(manifest: str, private: str) -> float:
    code = f"import tamrel_manifest as tm; tm.sign_manifest({manifest!r}, {private!r})"
    return run_timed(python_cmd(code))[0]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--index-mib", type=int, default=1024)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    dim = -(-args.index_mib * (1 << 20) // (2 * args.rows))  # rank: two bytes a dimension
    rows = make_rows(OUT / f"rowmap_{args.rows}.jsonl", args.rows)
    index = make_index(OUT / f"rowmap_{dim}x{args.rows}.kxr", dim, args.rows)
    manifest = str(write_manifest(index, dim, rows, args.rows))
    trusted, stranger = key("bench_sign_key"), key("bench_sign_other")
    signing = sign(manifest, trusted[:-4])
    tampered = str(OUT / "bench_sign_tampered.json")
    shutil.copy(manifest, tampered)
    sign(tampered, trusted[:-4])
    with open(tampered, "a") as fh:
        fh.write(" ")
    warm(index, rows)

    contenders = {
        "interpreter + import": python_cmd(IMPORT),
        "unsigned (verify_manifest)": python_cmd(UNSIGNED) + [manifest],
        "signed (verify_signed_manifest)": python_cmd(SIGNED) + [manifest, trusted],
    }
    times: dict[str, list[float]] = {name: [] for name in contenders}
    calls: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(args.rounds):  # interleaved, so drift hits every side alike
        for name, cmd in contenders.items():
            wall, _, out = run_timed(cmd)
            times[name].append(wall)
            calls[name].append(float(out))
    refusals = {"untrusted signer": [manifest, stranger], "manifest edited": [tampered, trusted]}
    refused: dict[str, tuple[list[float], list[float], str]] = {}
    for name, argv in refusals.items():
        taken, walls, code = [], [], ""
        for _ in range(args.rounds):
            wall, _, out = run_timed(python_cmd(REFUSAL) + argv)
            seconds, code, digest = out.split()
            assert digest == "None", "a refusal must come before the pass"
            taken.append(float(seconds))
            walls.append(wall)
        refused[name] = (taken, walls, code)

    mib = index.stat().st_size / (1 << 20)
    print(f"## Signed verification, {today()}, {machine()}")
    print(f"rank index {mib:.0f} MiB + row map of {args.rows} rows; median of {args.rounds}"
          " interleaved rounds, fresh processes, files in the page cache")
    print(f"- sign_manifest (one verification pass, then the signature): {signing:.3f} s")
    for name, ts in times.items():
        print(f"- {name}: {median(ts):.3f} s (the call alone {median(calls[name]):.3f} s)")
    start = median(times["interpreter + import"])
    unsigned = median(times["unsigned (verify_manifest)"])
    signed = median(times["signed (verify_signed_manifest)"])
    ratios = [s / u for s, u in zip(calls["signed (verify_signed_manifest)"],
                                    calls["unsigned (verify_manifest)"])]
    print(f"- **signed / unsigned: {signed / unsigned:.3f}x** "
          f"({(signed - start) / (unsigned - start):.3f}x net of interpreter start-up; the calls"
          f" alone, median of the rounds' ratios: {median(ratios):.3f}x)")
    for name, (taken, walls, code) in refused.items():
        print(f"- refusal, {name} ({code}): **{median(taken) * 1000:.1f} ms** for the call, "
              f"{median(walls):.3f} s with interpreter start-up")


if __name__ == "__main__":
    main()
