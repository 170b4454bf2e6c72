"""Index header probe, reached through verify_manifest's artifact stage: every refusal as an exact
message, every boundary on both sides, the payload compared with the file's size."""

from __future__ import annotations

import hashlib
import struct

import pytest

import _tamrel_manifest as tm
from builders import index_bytes, make_fixture, write_manifest

PROBE = "failed to probe artifact metadata: "


def u32(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}I", *values)


def verify_bytes(tmp_path, data: bytes, *, kind: str = "rank", dim: int = 8, n: int = 0,
                 bits: int = 2, n_top: int = 8, bpv: int | None = None) -> dict:
    """Verifies a manifest whose artifact is data, with the digest and size of data declared."""
    manifest = make_fixture(tmp_path, kind, row_map=False)
    (tmp_path / "idx.bin").write_bytes(data)
    params = {"kind": kind}
    if kind == "rank_quant":
        params["bits"] = bits
    elif kind == "bitmap":
        params["n_top"] = n_top
    manifest["artifact"].update({
        "path": "idx.bin", "sha256": hashlib.sha256(data).hexdigest(),
        "file_size_bytes": len(data), "dim": dim, "vector_count": n,
        "bytes_per_vec": bpv if bpv is not None else max(1, dim // 8), "params": params,
    })
    manifest["embedding"]["dim"] = dim
    manifest["row_identity"]["row_count"] = n
    return tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)))


def rq(bits: int, *rest: int) -> bytes:
    return b"KXRQ\x01" + bytes([bits]) + u32(*rest)


REFUSED = [
    # magic
    (b"", "tamrel index header truncated while reading magic"),
    (b"KXR", "tamrel index header truncated while reading magic"),
    (b"KZR1\x01" + u32(8, 0), "unknown tamrel index magic"),
    (b"kxr1\x01" + u32(8, 0), "unknown tamrel index magic"),
    (b"KXFS", "KXFS (RankQuantFastscan) metadata probing is not supported in this version; load "
              "the index with RankQuantFastscan::load (tracked in #232)"),
    (b"KXFS\x01" + u32(8, 0) + b"\0" * 64,
     "KXFS (RankQuantFastscan) metadata probing is not supported in this version; load the index "
     "with RankQuantFastscan::load (tracked in #232)"),
    (b"KYFS\x01" + u32(8, 0), "unknown tamrel index magic"),
    # version
    (b"KXR1", "KXR1 header truncated while reading version"),
    (b"KYR1", "KXR1 header truncated while reading version"),
    (b"KXR1\x02" + u32(8, 0), "unsupported KXR1 version: 2"),
    (b"KYBM\x00", "unsupported KXBM version: 0"),
    (b"KXSB\xff", "unsupported KXSB version: 255"),
    # Rank fields
    (b"KXR1\x01\x08\x00\x00", "KXR1 header truncated while reading dim"),
    (b"KXR1\x01" + u32(1, 0), "dim 1 out of range [2, 65535]"),
    (b"KXR1\x01" + u32(65536, 0), "dim 65536 out of range [2, 65535]"),
    (b"KXR1\x01" + u32(0), "dim 0 out of range [2, 65535]"),
    (b"KXR1\x01" + u32(8) + b"\0\0", "KXR1 header truncated while reading n_vectors"),
    (b"KXR1\x01" + u32(8, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"),
    # RankQuant fields: bits is judged before dim is read
    (b"KXRQ\x01", "KXRQ header truncated while reading bits"),
    (b"KXRQ\x01\x03", "unsupported KXRQ bits: 3 (expected 1, 2, or 4)"),
    (b"KYRQ\x01\x00" + u32(16, 0), "unsupported KXRQ bits: 0 (expected 1, 2, or 4)"),
    (b"KXRQ\x01\x08" + u32(16, 0), "unsupported KXRQ bits: 8 (expected 1, 2, or 4)"),
    (b"KXRQ\x01\x02\x10", "KXRQ header truncated while reading dim"),
    (rq(2, 1, 0), "dim 1 out of range [2, 65535]"),
    (rq(1, 6, 0), "KXRQ dim 6 is not a multiple of codes_per_byte = 8"),
    (rq(4, 40, 0), "KXRQ dim 40 is not a multiple of 2^bits = 16; constant-composition invariant "
                   "violated"),
    (rq(2, 6, 0), "KXRQ dim 6 is not a multiple of 2^bits = 4; constant-composition invariant "
                  "violated"),
    (rq(2, 16), "KXRQ header truncated while reading n_vectors"),
    (rq(2, 16, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"),
    # Bitmap fields: dim range, dim multiple, then n_top, then n_vectors
    (b"KXBM\x01" + u32(1), "dim 1 out of range [2, 65535]"),
    (b"KXBM\x01" + u32(65536), "dim 65536 out of range [2, 65535]"),
    (b"KXBM\x01" + u32(100), "KXBM dim 100 is not a multiple of 64"),
    (b"KXBM\x01" + u32(128), "KXBM header truncated while reading n_top"),
    (b"KXBM\x01" + u32(128, 0), "KXBM n_top 0 must satisfy 0 < n_top < dim (128)"),
    (b"KXBM\x01" + u32(128, 128), "KXBM n_top 128 must satisfy 0 < n_top < dim (128)"),
    (b"KXBM\x01" + u32(128, 1), "KXBM header truncated while reading n_vectors"),
    (b"KYBM\x01" + u32(64, 8, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"),
    # SignBitmap fields
    (b"KXSB\x01\x40", "KXSB header truncated while reading dim"),
    (b"KXSB\x01" + u32(32, 0), "KXSB dim 32 out of range [64, 16777216]"),
    (b"KXSB\x01" + u32(16777280, 0), "KXSB dim 16777280 out of range [64, 16777216]"),
    (b"KXSB\x01" + u32(96, 0), "KXSB dim 96 is not a multiple of 64"),
    (b"KXSB\x01" + u32(64), "KXSB header truncated while reading n_vectors"),
    # payload against the file's size
    (b"KXR1\x01" + u32(4, 3) + b"\0" * 23,
     "KXR1 payload truncated: header declares 24 B but file has 23 B remaining"),
    (b"KXR1\x01" + u32(4, 3) + b"\0" * 25,
     "KXR1 payload has trailing bytes: header declares 24 B but file has 25 B remaining"),
    (b"KYRQ\x01\x02" + u32(16, 2) + b"\0" * 7,
     "KXRQ payload truncated: header declares 8 B but file has 7 B remaining"),
    (b"KXBM\x01" + u32(64, 8, 0) + b"\0",
     "KXBM payload has trailing bytes: header declares 0 B but file has 1 B remaining"),
    # the count limit is inclusive: 2^26 vectors pass the header and fail on the missing payload
    (b"KXR1\x01" + u32(2, 67108864),
     "KXR1 payload truncated: header declares 268435456 B but file has 0 B remaining"),
    # so is the payload limit: 2^37 B passes, one vector more does not
    (b"KXSB\x01" + u32(16777216, 65536),
     "KXSB payload truncated: header declares 137438953472 B but file has 0 B remaining"),
    (b"KXSB\x01" + u32(16777216, 65537), "payload 137441050624 B exceeds MAX_PAYLOAD=137438953472"),
    (b"KXR1\x01" + u32(65535, 67108864),
     "payload 8795958804480 B exceeds MAX_PAYLOAD=137438953472"),
]


@pytest.mark.parametrize("data,message", REFUSED)
def test_refused_headers(tmp_path, data, message):
    report = verify_bytes(tmp_path, data)
    assert report["errors"] == [{"code": "artifact_probe_failed", "message": PROBE + message}]
    assert report["artifact"]["metadata"] is None
    assert report["artifact"]["size_bytes"] == len(data)


def metadata(kind, dim, n, size, bpv, **params):
    return {"kind": kind, "format_version": 1, "dim": dim, "vector_count": n,
            "bytes_per_vec": bpv, "params": {"kind": kind, **params}, "file_size_bytes": size}


ACCEPTED = [
    # kind, dim, n_vectors, extra, bytes_per_vec
    ("rank", 2, 1, {}, 4),
    ("rank", 65535, 1, {}, 131070),
    ("rank", 384, 2, {}, 768),
    ("rank", 8, 0, {}, 16),
    ("rank_quant", 16, 3, {"bits": 2}, 4),
    ("rank_quant", 8, 1, {"bits": 1}, 1),
    ("rank_quant", 16, 1, {"bits": 4}, 8),
    ("bitmap", 128, 2, {"n_top": 1}, 16),
    ("bitmap", 128, 2, {"n_top": 127}, 16),
    ("sign_bitmap", 64, 5, {}, 8),
    ("sign_bitmap", 16777216, 1, {}, 2097152),
]


@pytest.mark.parametrize("twin", [False, True])
@pytest.mark.parametrize("kind,dim,n,extra,bpv", ACCEPTED)
def test_accepted_headers(tmp_path, kind, dim, n, extra, bpv, twin):
    data = index_bytes(kind, dim, n, twin=twin, **extra)
    report = verify_bytes(tmp_path, data, kind=kind, dim=dim, n=n, bpv=bpv, **extra)
    assert report["errors"] == []
    assert report["artifact"]["metadata"] == metadata(kind, dim, n, len(data), bpv, **extra)


def test_payload_bytes_are_not_inspected(tmp_path):
    data = index_bytes("rank", 8, 4, fill=0xFF)
    assert verify_bytes(tmp_path, data, dim=8, n=4, bpv=16)["errors"] == []
