"""verify_manifest on one large index against sha256_file on the same file.

The pass hashes the index once and probes only its header, so its time should be the digest's
time plus a small constant; the header-only probe is timed separately on the same file.

Usage: python bench/bench_verify.py [--mib 256] [--rounds 5]
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from common import OUT, machine, median, python_cmd, run_timed, today, warm

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from builders import index_header  # noqa: E402

VERIFY = "import _tamrel_manifest as tm, sys; r = tm.verify_manifest(sys.argv[1]); assert r['ok']"
DIGEST = "import _tamrel_manifest as tm, sys; tm.sha256_file(sys.argv[1])"
IMPORT = "import _tamrel_manifest as tm"


def make_index(path: Path, mib: int) -> Path:
    """A rank index (dim 512, 1 KiB per vector) of about mib MiB."""
    n = mib * 1024
    header = index_header("rank", 512, n)
    size = len(header) + n * 1024
    if path.exists() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    block = bytes(range(256)) * 4096
    with open(path, "wb") as fh:
        fh.write(header)
        left = n * 1024
        while left:
            k = min(left, len(block))
            fh.write(block[:k])
            left -= k
    return path



def make_rank_fixture(name: str, mib: int) -> tuple[Path, Path]:
    """The index of make_index and a manifest with an identity row map that matches it."""
    index = make_index(OUT / f"{name}_{mib}.kxr", mib)
    digest = json.loads(run_timed(python_cmd(
        "import _tamrel_manifest as tm, sys, json; print(json.dumps(tm.sha256_file(sys.argv[1])))")
        + [str(index)])[2])
    n = mib * 1024
    manifest = {
        "schema_version": "tamrel.index_manifest.v1", "manifest_id": "bench",
        "created_at": "2026-01-01T00:00:00Z",
        "artifact": {"path": index.name, "sha256": digest["sha256"], "kind": "rank",
                     "format_version": 1, "dim": 512, "vector_count": n, "bytes_per_vec": 1024,
                     "params": {"kind": "rank"}, "file_size_bytes": digest["size_bytes"]},
        "embedding": {"model": "m", "dim": 512},
        "row_identity": {"kind": "row_id_identity", "row_count": n},
    }
    mpath = OUT / f"{name}_{mib}.json"
    mpath.write_text(json.dumps(manifest))
    return index, mpath

def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    index, mpath = make_rank_fixture("verify", args.mib)
    warm(index)

    t_import, t_digest, t_verify = [], [], []
    for _ in range(args.rounds):  # interleaved, so drift hits every side alike
        t_import.append(run_timed(python_cmd(IMPORT))[0])
        t_digest.append(run_timed(python_cmd(DIGEST) + [str(index)])[0])
        t_verify.append(run_timed(python_cmd(VERIFY) + [str(mpath)])[0])
    imp, dig, ver = map(median, (t_import, t_digest, t_verify))
    _, peak, _ = run_timed(python_cmd(VERIFY) + [str(mpath)])
    print(f"## verify_manifest, {today()}, {machine()}")
    print(f"rank index {args.mib} MiB, median of {args.rounds} interleaved rounds, fresh processes")
    print(f"- interpreter + import:   {imp:.3f} s")
    print(f"- sha256_file:            {dig:.3f} s ({args.mib / (dig - imp):.0f} MiB/s net)")
    print(f"- verify_manifest:        {ver:.3f} s, {ver - dig:+.3f} s against sha256_file, "
          f"ratio {(ver - imp) / (dig - imp):.3f} net of start-up; peak RSS {peak} KiB")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
