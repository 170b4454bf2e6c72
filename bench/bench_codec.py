"""The manifest codec against the standard library's json.loads on the same bytes.

- A 1 MiB manifest whose bulk is `extensions` data: inspect_manifest (read, decode, compact
  encode, json.loads of the result) and, from the C++ bench program, decode_manifest and
  manifest_to_json alone, beside json.loads of the same file.
- 1,000,000 row-identity lines: decode_jsonl_row per line (C++ bench program) beside json.loads
  per line in Python.

With --pieces, what each speed piece of the reader buys instead: at the manifest sizes users
have (a few KiB, 64 KiB, 1 MiB), decode_manifest of the full reader beside the same program built
with one piece off (codec_bench_no_<piece>, against codec_bench_reader built the same way with
every piece on), and json.loads.

Every contender runs in a fresh process and times itself after start-up, in CPU time of the
process (the machine is shared: time spent waiting for a core is nobody's decoding); rounds are
interleaved. The C++ programs are built with -DTAMREL_BENCH=ON into --build when missing.

Usage: python bench/bench_codec.py [--build build/codec-bench] [--rounds 5] [--rows 1000000]
       python bench/bench_codec.py --pieces [--build build/codec-bench] [--rounds 9]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import uuid
from pathlib import Path

from common import OUT, machine, median, python_cmd, run_timed, today, warm

ROOT = Path(__file__).resolve().parents[1]
MANIFEST_BYTES = 1 << 20
ITERATIONS = 40

BASE = {
    "schema_version": "tamrel.index_manifest.v1",
    "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
    "created_at": "2026-01-02T03:04:05Z",
    "artifact": {"path": "index.kxrq", "sha256": "0" * 64, "kind": "rank_quant",
                 "format_version": 1, "dim": 384, "vector_count": 1000, "bytes_per_vec": 96,
                 "params": {"kind": "rank_quant", "bits": 2}, "file_size_bytes": 96014},
    "embedding": {"model": "m", "dim": 384},
    "row_identity": {"kind": "jsonl", "path": "rows.jsonl", "sha256": "0" * 64,
                     "row_count": 1000, "id_kind": "uuid"},
}

# A manifest with every block a creation tool fills in: what a typical manifest holds before any
# extension data.
FULL = {
    **BASE,
    "auxiliary_artifacts": [{"name": f"aux-{i}", "path": f"aux/part-{i}.bin",
                             "sha256": f"{i:x}" * 64, "file_size_bytes": 4096 * (i + 1)}
                            for i in range(3)],
    "embedding": {"model": "example-encoder-base", "dim": 384, "model_revision": "r2026.11",
                  "tokenizer_revision": "t7", "pooling": "mean", "normalization": "l2"},
    "encoder_distortion": {
        "schema_version": "tamrel.encoder_distortion.v1", "profile_id": "ed-1",
        "encoder": {"model": "example-encoder-base", "dim": 384},
        "source_metric": {"name": "cosine"}, "embedding_metric": {"name": "hamming"},
        "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2.0,
                   "estimated_distortion": 1.37, "violation_rate": 0.0125},
        "scope": {"sample_size": 100000, "confidence": 0.95},
        "evidence": {"kind": "empirical_sample"},
        "profile": {"path": "ed.bin", "sha256": "e" * 64, "file_size_bytes": 24,
                    "format": "raw_f64_le"}},
    "calibration": {
        "schema_version": "tamrel.calibration.v1", "profile_id": "cal-1",
        "calibrated_for": {"model": "example-encoder-base", "dim": 384},
        "ordinalization": {"kind": "bucket", "dim": 384, "bits": 2},
        "profile": {"path": "cal.bin", "sha256": "c" * 64, "file_size_bytes": 6144, "dim": 384,
                    "sample_count": 100000, "parameterization": "bucket_frequency",
                    "format": "raw_f32_le", "shape": [384, 4]},
        "null_model": {"kind": "weighted_marginal_profile",
                       "parameterization": "bucket_frequency"}},
    "build": {"invocation_id": "urn:uuid:ae4800cd-cd03-4a57-9ff6-10477bc4e8eb",
              "builder_id": "tamrel-manifest", "source_repo": "https://example.org/indexes.git",
              "source_commit": "9" * 40, "ci_provider": "example-ci", "ci_run_id": "81234"},
    "attestations": [{"type": "https://example.org/statement/v1", "subject": "sha256:" + "0" * 64,
                      "predicate": {"builder": "tamrel-manifest", "signed": True}}],
}

# The speed pieces of the reader that --pieces measures, as the bench programs name them (the
# others measured once were removed: see RESULTS.md).
PIECES = ("key_plans",)
# Manifest sizes users have: a typical manifest, a large one, the default limit.
PIECE_SIZES = (4 << 10, 64 << 10, 1 << 20)
# Bytes each process decodes, whatever the manifest's size, so that small ones are timed over
# many loads.
PIECE_BYTES = 128 << 20

# Each child reports its own high-water mark (VmHWM, reset at exec): ru_maxrss of a child
# starts from its parent's size.
HWM = """
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
"""

PY_LOADS = HWM + """
import json, sys, time
data = open(sys.argv[1], "rb").read()
n = int(sys.argv[2])
json.loads(data)
start = time.process_time()
for _ in range(n):
    json.loads(data)
print((time.process_time() - start) / n, hwm())
"""

PY_INSPECT = HWM + """
import sys, time
import _tamrel_manifest as tm
n = int(sys.argv[2])
tm.inspect_manifest(sys.argv[1])
start = time.process_time()
for _ in range(n):
    tm.inspect_manifest(sys.argv[1])
print((time.process_time() - start) / n, hwm())
"""

PY_ROWS = HWM + """
import json, sys, time
lines = open(sys.argv[1], "rb").read().split(b"\\n")[:-1]
loads = json.loads
start = time.process_time()
for line in lines:
    loads(line)
print(time.process_time() - start, hwm())
"""


def manifest_file(path: Path, size: int = MANIFEST_BYTES, base: dict = BASE) -> Path:
    """A pretty manifest of at most size bytes (and not much less), its bulk in extensions."""
    slack = min(8192, size // 8)
    if path.exists() and size - slack < path.stat().st_size <= size:
        return path

    def text(n: int) -> bytes:
        items = [{"id": i, "name": f"item-{i}", "score": i * 0.37 + 0.125, "ratio": 1e-7 * i,
                  "tags": ["alpha", "beta\u00e9"], "nested": {"x": -i, "y": None, "ok": i % 2 == 0}}
                 for i in range(n)]
        return json.dumps({**base, "extensions": {"org.bench.items": items}}, indent=2,
                          ensure_ascii=False).encode()

    low, high = 0, size // 100  # the most items that fit: an item takes well over 100 bytes
    while low < high:
        mid = (low + high + 1) // 2
        low, high = (mid, high) if len(text(mid)) <= size else (low, mid - 1)
    data = text(low)
    assert size - slack < len(data) <= size, (size, len(data))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def rows_file(path: Path, n: int) -> Path:
    if path.exists():
        with open(path, "rb") as fh:  # streamed: a large parent would inflate every child's peak
            if sum(block.count(b"\n") for block in iter(lambda: fh.read(1 << 20), b"")) == n:
                return path
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as fh:
        chunk = []
        for i in range(n):
            chunk.append(json.dumps({"row_id": i, "db_id": str(uuid.UUID(int=i + 1))}) + "\n")
            if len(chunk) == 100_000:
                fh.write("".join(chunk))
                chunk = []
        fh.write("".join(chunk))
    return path


def bench_programs(build: Path, names: list[str]) -> list[Path]:
    exes = [build / name for name in names]
    if not all(exe.exists() for exe in exes):
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DTAMREL_BENCH=ON",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-C", str(build), "-j2", *names, "_tamrel_manifest"],
                       check=True, stdout=subprocess.DEVNULL)
    return exes


def bench_pieces(build: Path, rounds: int) -> None:
    """Each piece's gain: decode time without it over decode time with it, per round (the two
    run back to back), median over the rounds."""
    names = ["codec_bench_reader"] + [f"codec_bench_no_{p}" for p in PIECES]
    exes = dict(zip(["full", *PIECES], bench_programs(build, names)))
    files = {size: manifest_file(OUT / f"codec_full_{size >> 10}k.json", size, FULL)
             for size in PIECE_SIZES}
    warm(*files.values())
    t = {(size, who): [] for size in PIECE_SIZES for who in ("loads", *exes)}
    for _ in range(rounds):
        for size, path in files.items():
            n = str(max(40, PIECE_BYTES // size))
            seconds, _ = run_timed(python_cmd(PY_LOADS) + [str(path), n])[2].split()
            t[(size, "loads")].append(float(seconds))
            for who, exe in exes.items():
                t[(size, who)].append(json.loads(run_timed([str(exe), "manifest", str(path),
                                                            n])[2])["decode_s"])
    print(f"## decoder speed pieces, {today()}, {machine()}")
    print(f"`python bench/bench_codec.py --pieces --rounds {rounds}`: decode_manifest per load, "
          "CPU time, fresh processes, rounds interleaved; a piece's gain is the time without it "
          "over the time with it in the same round, median of the rounds (range in brackets).")
    for size, path in files.items():
        full = t[(size, "full")]
        loads = median(t[(size, "loads")])
        print(f"- {path.stat().st_size} bytes: decode {median(full) * 1e6:.1f} us, json.loads "
              f"{loads * 1e6:.1f} us ({loads / median(full):.2f}x faster than json.loads)")
        for piece in PIECES:
            gains = sorted(off / on for off, on in zip(t[(size, piece)], full))
            print(f"  - {piece}: {median(gains):.3f} [{gains[0]:.3f}-{gains[-1]:.3f}]")
    sys.stdout.flush()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", type=Path, default=ROOT / "build" / "codec-bench")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--pieces", action="store_true", help="what each speed piece buys")
    args = ap.parse_args()
    build = args.build.resolve()
    if args.pieces:
        bench_pieces(build, args.rounds)
        return
    (exe,) = bench_programs(build, ["codec_bench"])
    env = {**os.environ, "PYTHONPATH": str(build)}
    manifest = manifest_file(OUT / "codec_manifest.json")
    rows = rows_file(OUT / f"codec_rows_{args.rows}.jsonl", args.rows)
    warm(manifest, rows)

    # The same program with glibc told to keep freed memory: decoded trees already live in
    # arenas whose blocks the process keeps, so this shows what the allocator's settings still
    # change (the encoder's output, the records' own strings).
    kept = {**env, "MALLOC_TRIM_THRESHOLD_": str(64 << 20), "MALLOC_MMAP_THRESHOLD_": str(64 << 20)}
    t = {k: [] for k in ("loads", "inspect", "decode", "encode", "decode_kept", "rows_py",
                         "rows_cpp")}
    peak = {}
    for _ in range(args.rounds):
        n = str(ITERATIONS)
        for key, code in (("loads", PY_LOADS), ("inspect", PY_INSPECT)):
            seconds, kib = run_timed(python_cmd(code) + [str(manifest), n], env)[2].split()
            t[key].append(float(seconds))
            peak[key] = int(kib)
        got = json.loads(run_timed([str(exe), "manifest", str(manifest), n], env)[2])
        t["decode"].append(got["decode_s"])
        t["encode"].append(got["encode_s"])
        peak["decode"] = got["hwm_kib"]
        got = json.loads(run_timed([str(exe), "manifest", str(manifest), n], kept)[2])
        t["decode_kept"].append(got["decode_s"])
        seconds, kib = run_timed(python_cmd(PY_ROWS) + [str(rows)], env)[2].split()
        t["rows_py"].append(float(seconds))
        peak["rows_py"] = int(kib)
        got = json.loads(run_timed([str(exe), "rows", str(rows)], env)[2])
        t["rows_cpp"].append(got["seconds"])
        peak["rows_cpp"] = got["hwm_kib"]
    m = {k: median(v) for k, v in t.items()}
    mib = manifest.stat().st_size / (1 << 20)
    rows_mb = rows.stat().st_size / 1e6
    print(f"## codec (engineer codec), {today()}, {machine()}")
    print(f"`python bench/bench_codec.py --rounds {args.rounds} --rows {args.rows}`: median of "
          f"{args.rounds} interleaved rounds, fresh processes, CPU time, files in page cache.")
    print(f"- manifest of {mib:.2f} MiB (pretty, bulk in extensions), per load, {ITERATIONS} loads "
          "per process:")
    print(f"  - json.loads:       {m['loads'] * 1e3:7.2f} ms ({mib / m['loads']:.0f} MiB/s)")
    print(f"  - decode_manifest:  {m['decode'] * 1e3:7.2f} ms ({mib / m['decode']:.0f} MiB/s), "
          f"{m['loads'] / m['decode']:.2f}x faster than json.loads")
    print(f"  - decode_manifest, freed pages kept by the allocator: {m['decode_kept'] * 1e3:.2f} ms, "
          f"{m['loads'] / m['decode_kept']:.2f}x faster than json.loads")
    print(f"  - manifest_to_json: {m['encode'] * 1e3:7.2f} ms")
    print(f"  - inspect_manifest: {m['inspect'] * 1e3:7.2f} ms (read + decode + encode + json.loads"
          f" of the result), {m['loads'] / m['inspect']:.2f}x json.loads")
    print(f"- {args.rows} row lines ({rows_mb:.0f} MB):")
    print(f"  - json.loads per line:       {m['rows_py']:.3f} s, "
          f"{m['rows_py'] / args.rows * 1e9:.0f} ns/line, {rows_mb / m['rows_py']:.0f} MB/s")
    print(f"  - decode_jsonl_row per line: {m['rows_cpp']:.3f} s, "
          f"{m['rows_cpp'] / args.rows * 1e9:.0f} ns/line, {rows_mb / m['rows_cpp']:.0f} MB/s, "
          f"{m['rows_py'] / m['rows_cpp']:.1f}x faster")
    print("- peak RSS of each process (VmHWM, KiB): "
          + ", ".join(f"{k} {v}" for k, v in peak.items()))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
