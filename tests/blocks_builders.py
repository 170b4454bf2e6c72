"""Builders for the optional blocks: calibration and encoder-distortion blocks with their profile
files, auxiliary artifacts and attestations, on top of the fixtures of builders.py."""

from __future__ import annotations

import copy
import hashlib
from pathlib import Path
from typing import Any, Callable

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

# Stands for "the digest of whatever file the builder wrote" until finalize() replaces it.
AUTO = "<auto>"
DELETE = object()

# Per index kind: the ordinalization, the parameterization and the shape that suit it.
CALIBRATION_BASES = {
    "rank": ({"kind": "rank_position", "dim": 8}, "rank_position_frequency", [8, 8]),
    "rank_quant": ({"kind": "bucket", "dim": 16, "bits": 2}, "bucket_frequency", [16, 4]),
    "bitmap": ({"kind": "top_k", "dim": 64, "k": 8}, "marginal_topk_frequency", [64]),
    "sign_bitmap": ({"kind": "sign", "dim": 64}, "sign_frequency", [64]),
}
DIMS = {"rank": 8, "rank_quant": 16, "bitmap": 64, "sign_bitmap": 64}


def calibration_block(kind: str = "rank_quant") -> dict[str, Any]:
    ordinalization, parameterization, shape = CALIBRATION_BASES[kind]
    dim = DIMS[kind]
    count = 1
    for n in shape:
        count *= n
    return {
        "schema_version": "tamrel.calibration.v1",
        "profile_id": "cal-1",
        "calibrated_for": {"model": "m", "dim": dim},
        "ordinalization": dict(ordinalization),
        "profile": {"path": "cal.bin", "sha256": AUTO, "file_size_bytes": count * 4, "dim": dim,
                    "sample_count": 100, "parameterization": parameterization,
                    "format": "raw_f32_le", "shape": list(shape)},
        "null_model": {"kind": "weighted_marginal_profile", "parameterization": parameterization},
    }


def distortion_block(kind: str = "rank_quant") -> dict[str, Any]:
    return {
        "schema_version": "tamrel.encoder_distortion.v1",
        "profile_id": "ed-1",
        "encoder": {"model": "m", "dim": DIMS[kind]},
        "source_metric": {"name": "cosine"},
        "embedding_metric": {"name": "hamming"},
        "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2.0,
                   "estimated_distortion": 4.0},
        "scope": {},
        "evidence": {"kind": "empirical_sample"},
        "profile": {"path": "ed.bin", "sha256": AUTO, "file_size_bytes": 24,
                    "format": "raw_f64_le"},
    }


def edit(*changes: tuple[str, Any]) -> Callable[[dict], None]:
    """A manifest edit: ("calibration.profile.dim", 8) sets a member, DELETE removes it."""

    def apply(doc: dict) -> None:
        for dotted, value in changes:
            *parents, last = dotted.split(".")
            node = doc
            for key in parents:
                node = node[int(key)] if isinstance(node, list) else node[key]
            if value is DELETE:
                del node[last]
            else:
                node[last] = copy.deepcopy(value)

    return apply


def _write_profile(root: Path, profile: dict[str, Any] | None, fill: int) -> None:
    """Writes a profile file of the declared size, so that only the rule under test speaks.

    A file the test already placed is kept; a path outside root or in a missing directory gets
    no file. An AUTO digest becomes the digest of what is there (or of nothing)."""
    if not profile:
        return
    data = b""
    if profile["path"].strip():
        path = root / profile["path"]
        if path.is_file():
            data = path.read_bytes()
        elif (not path.exists() and path.parent.is_dir()
              and path.resolve().is_relative_to(root.resolve())):
            data = bytes([fill]) * min(profile["file_size_bytes"], 1 << 20)
            path.write_bytes(data)
    if profile.get("sha256") == AUTO:
        profile["sha256"] = hashlib.sha256(data).hexdigest()


def finalize(root: Path, manifest: dict[str, Any]) -> dict[str, Any]:
    cal = manifest.get("calibration")
    _write_profile(root, cal.get("profile") if cal else None, 0x11)
    ed = manifest.get("encoder_distortion")
    _write_profile(root, ed.get("profile") if ed else None, 0x22)
    return manifest


def block_fixture(root: Path, kind: str = "rank_quant", *, calibration: bool = False,
                  distortion: bool = False, changes: Callable[[dict], None] | None = None,
                  **extra: Any) -> dict[str, Any]:
    manifest = make_fixture(root, kind, **extra)
    if calibration:
        manifest["calibration"] = calibration_block(kind)
    if distortion:
        manifest["encoder_distortion"] = distortion_block(kind)
    if changes:
        changes(manifest)
    return finalize(root, manifest)


def verify(root: Path, manifest: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
    return tm.verify_manifest(str(write_manifest(root / "m.json", manifest)), **kwargs)


def issues(report: dict[str, Any], *prefixes: str) -> list[tuple[str, str]]:
    return [(e["code"], e["message"]) for e in report["errors"]
            if not prefixes or e["code"].startswith(prefixes)]


def sha256_bytes(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()
