"""verify_manifest on a manifest with every optional block against sha256_file over the same
files.

The index is tiny, so the pass's time is the auxiliary artifacts (many small files, each through
the path policy and a bounded read) and the two profiles (read whole under their limits). Peak
memory should stay near one profile's size, since each file is dropped after hashing.

Usage: python bench/bench_blocks.py [--aux 1024] [--aux-kib 4] [--profile-mib 32] [--rounds 5]
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from common import OUT, machine, make_file, median, python_cmd, run_timed, sha256_of, today, warm

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from builders import index_bytes  # noqa: E402

VERIFY = """
import _tamrel_manifest as tm, sys
r = tm.verify_manifest(sys.argv[1])
assert r['ok'], r['errors'][:3]
"""
DIGEST = """
import _tamrel_manifest as tm, sys
for p in open(sys.argv[1]).read().split():
    tm.sha256_file(p)
"""
IMPORT = "import _tamrel_manifest as tm"


def build(root: Path, n_aux: int, aux_kib: int, profile_mib: int) -> tuple[Path, Path, list[Path]]:
    root.mkdir(parents=True, exist_ok=True)
    index = root / "index.kxr"
    index.write_bytes(index_bytes("rank", 8, 3))
    aux = [make_file(root / f"aux_{i:05d}.bin", aux_kib << 10) for i in range(n_aux)]
    cal = make_file(root / f"cal_{profile_mib}.bin", profile_mib << 20)
    ed = make_file(root / "ed.bin", 1 << 20)
    manifest = {
        "schema_version": "tamrel.index_manifest.v1", "manifest_id": "bench",
        "created_at": "2026-01-01T00:00:00Z",
        "artifact": {"path": index.name, "sha256": sha256_of(index), "kind": "rank",
                     "format_version": 1, "dim": 8, "vector_count": 3, "bytes_per_vec": 16,
                     "params": {"kind": "rank"}, "file_size_bytes": index.stat().st_size},
        "auxiliary_artifacts": [
            {"name": p.stem, "path": p.name, "sha256": sha256_of(p),
             "file_size_bytes": p.stat().st_size} for p in reversed(aux)],
        "embedding": {"model": "m", "dim": 8},
        "encoder_distortion": {
            "schema_version": "tamrel.encoder_distortion.v1", "profile_id": "ed",
            "encoder": {"model": "m", "dim": 8}, "source_metric": {"name": "cosine"},
            "embedding_metric": {"name": "rank"},
            "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2,
                       "estimated_distortion": 4},
            "scope": {}, "evidence": {"kind": "empirical_sample"},
            "profile": {"path": ed.name, "sha256": sha256_of(ed), "file_size_bytes": 1 << 20,
                        "format": "opaque"},
            "calibration_profile_id": "cal"},
        "calibration": {
            "schema_version": "tamrel.calibration.v1", "profile_id": "cal",
            "calibrated_for": {"model": "m", "dim": 8},
            "ordinalization": {"kind": "rank_position", "dim": 8},
            "profile": {"path": cal.name, "sha256": sha256_of(cal),
                        "file_size_bytes": profile_mib << 20, "dim": 8, "sample_count": 1,
                        "parameterization": "empirical_tail_table", "format": "opaque"},
            "null_model": {"kind": "empirical_tail_table", "statistic": "ks"}},
        "row_identity": {"kind": "row_id_identity", "row_count": 3},
        "attestations": [{"predicateType": "p",
                          "subject": [{"digest": {"sha256": sha256_of(index)}}]}],
    }
    m = root / "m.json"
    m.write_text(json.dumps(manifest))
    files = [index, *aux, cal, ed]
    listing = root / "files.txt"
    listing.write_text("\n".join(str(p) for p in files))
    return m, listing, files


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--aux", type=int, default=1024)
    ap.add_argument("--aux-kib", type=int, default=4)
    ap.add_argument("--profile-mib", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    m, listing, files = build(OUT / "blocks", args.aux, args.aux_kib, args.profile_mib)
    warm(*files)

    t_imp, t_dig, t_ver, r_imp, r_dig, r_ver = [], [], [], [], [], []
    for _ in range(args.rounds):  # interleaved, so drift hits every side alike
        t, r, _ = run_timed(python_cmd(IMPORT))
        t_imp.append(t), r_imp.append(r)
        t, r, _ = run_timed(python_cmd(DIGEST) + [str(listing)])
        t_dig.append(t), r_dig.append(r)
        t, r, _ = run_timed(python_cmd(VERIFY) + [str(m)])
        t_ver.append(t), r_ver.append(r)
    imp, dig, ver = map(median, (t_imp, t_dig, t_ver))
    print(f"## verify_manifest with every optional block, {today()}, {machine()}")
    print(f"{args.aux} auxiliary artifacts of {args.aux_kib} KiB, calibration profile "
          f"{args.profile_mib} MiB, distortion profile 1 MiB; median of {args.rounds} "
          f"interleaved rounds, fresh processes")
    print(f"- import only:                {imp:.3f} s, peak RSS {max(r_imp) / 1024:.0f} MiB")
    print(f"- sha256_file over the files: {dig:.3f} s, peak RSS {max(r_dig) / 1024:.0f} MiB")
    print(f"- verify_manifest:            {ver:.3f} s, peak RSS {max(r_ver) / 1024:.0f} MiB, "
          f"ratio {(ver - imp) / (dig - imp):.2f}x the digests (import subtracted)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
