"""Builders for test inputs: index files of every kind, row maps and manifests, written into
temporary directories by the tests (no binary fixtures in the tree)."""

from __future__ import annotations

import hashlib
import json
import os
import struct
import uuid
from pathlib import Path
from typing import Any

import _tamrel_manifest

# (primary magic, twin magic, JSON kind name)
KINDS = {
    "rank": (b"KXR1", b"KYR1"),
    "rank_quant": (b"KXRQ", b"KYRQ"),
    "bitmap": (b"KXBM", b"KYBM"),
    "sign_bitmap": (b"KXSB", b"KYSB"),
}

# Smallest valid parameters per kind: (dim, extra params)
DEFAULT_SHAPES = {
    "rank": (8, {}),
    "rank_quant": (16, {"bits": 2}),
    "bitmap": (64, {"n_top": 8}),
    "sign_bitmap": (64, {}),
}


def bytes_per_vec(kind: str, dim: int, bits: int = 0) -> int:
    if kind == "rank":
        return dim * 2
    if kind == "rank_quant":
        return dim * bits // 8
    return dim // 8


def index_header(kind: str, dim: int, n_vectors: int, *, bits: int = 2, n_top: int = 8,
                 twin: bool = False, version: int = 1) -> bytes:
    magic = KINDS[kind][1 if twin else 0]
    if kind == "rank":
        return magic + bytes([version]) + struct.pack("<II", dim, n_vectors)
    if kind == "rank_quant":
        return magic + bytes([version, bits]) + struct.pack("<II", dim, n_vectors)
    if kind == "bitmap":
        return magic + bytes([version]) + struct.pack("<III", dim, n_top, n_vectors)
    if kind == "sign_bitmap":
        return magic + bytes([version]) + struct.pack("<II", dim, n_vectors)
    raise ValueError(kind)


def index_bytes(kind: str, dim: int | None = None, n_vectors: int = 3, *, bits: int = 2,
                n_top: int = 8, twin: bool = False, fill: int = 0xA5) -> bytes:
    if dim is None:
        dim = DEFAULT_SHAPES[kind][0]
    payload = n_vectors * bytes_per_vec(kind, dim, bits)
    return index_header(kind, dim, n_vectors, bits=bits, n_top=n_top, twin=twin) + bytes(
        [fill]) * payload


def write_index(path: Path, kind: str = "rank_quant", dim: int | None = None,
                n_vectors: int = 3, **kw: Any) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(index_bytes(kind, dim, n_vectors, **kw))
    return path


def row_lines(n: int, *, seed: int = 0) -> list[str]:
    return [json.dumps({"row_id": i, "db_id": str(uuid.UUID(int=(seed << 64) + i + 1))})
            for i in range(n)]


def write_row_map(path: Path, n: int = 3, *, lines: list[str] | None = None,
                  final_newline: bool = True) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = row_lines(n) if lines is None else lines
    text = "\n".join(lines) + ("\n" if final_newline and lines else "")
    path.write_bytes(text.encode())
    return path


def sha256_of(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def artifact_record(index: Path, rel: str, kind: str, dim: int, n_vectors: int, *, bits: int = 2,
                    n_top: int = 8) -> dict[str, Any]:
    params: dict[str, Any] = {"kind": kind}
    if kind == "rank_quant":
        params["bits"] = bits
    elif kind == "bitmap":
        params["n_top"] = n_top
    return {
        "path": rel,
        "sha256": sha256_of(index),
        "kind": kind,
        "format_version": 1,
        "dim": dim,
        "vector_count": n_vectors,
        "bytes_per_vec": bytes_per_vec(kind, dim, bits),
        "params": params,
        "file_size_bytes": index.stat().st_size,
    }


def make_fixture(root: Path, kind: str = "rank_quant", n_vectors: int = 3, *,
                 row_map: bool = True, **extra: Any) -> dict[str, Any]:
    """Writes an index (and a row map) under root and returns a manifest dict that matches them.

    The manifest is not written; see write_manifest."""
    dim, params = DEFAULT_SHAPES[kind]
    bits = params.get("bits", 2)
    n_top = params.get("n_top", 8)
    index = write_index(root / f"index.{kind}", kind, dim, n_vectors, bits=bits, n_top=n_top)
    manifest: dict[str, Any] = {
        "schema_version": "tamrel.index_manifest.v1",
        "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
        "created_at": "2026-01-02T03:04:05Z",
        "artifact": artifact_record(index, index.name, kind, dim, n_vectors, bits=bits,
                                    n_top=n_top),
        "embedding": {"model": "m", "dim": dim},
    }
    if row_map:
        rows = write_row_map(root / "rows.jsonl", n_vectors)
        manifest["row_identity"] = {"kind": "jsonl", "path": rows.name,
                                    "sha256": sha256_of(rows), "row_count": n_vectors,
                                    "id_kind": "uuid"}
    else:
        manifest["row_identity"] = {"kind": "row_id_identity", "row_count": n_vectors}
    manifest.update(extra)
    return manifest


def minimal_manifest() -> dict[str, Any]:
    """A fresh copy of a manifest with the six required members only, naming no real file."""
    return {
        "schema_version": "tamrel.index_manifest.v1",
        "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
        "created_at": "2026-01-02T03:04:05Z",
        "artifact": {"path": "i", "sha256": "s", "kind": "rank", "format_version": 1, "dim": 8,
                     "vector_count": 3, "bytes_per_vec": 16, "params": {"kind": "rank"},
                     "file_size_bytes": 57},
        "embedding": {"model": "m", "dim": 8},
        "row_identity": {"kind": "row_id_identity", "row_count": 3},
    }


def write_manifest(path: Path, manifest: dict[str, Any] | str | bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(manifest, bytes):
        path.write_bytes(manifest)
    elif isinstance(manifest, str):
        path.write_text(manifest, encoding="utf-8")
    else:
        path.write_text(json.dumps(manifest, indent=2), encoding="utf-8")
    return path


def write_large_bundle(root: Path, rows: int, *, parents: bool = True,
                       index_mib: int = 0) -> tuple[Path, Path]:
    """A rank index of `rows` vectors (at least index_mib MiB) and a row map of `rows` distinct
    ids, each row with a parent_id when `parents`; returns (index, row map). Ids are counters
    written as UUIDs, so writing a million rows takes a second, not a minute."""
    root.mkdir(parents=True, exist_ok=True)
    dim = max(2, -(-(index_mib << 20) // (2 * rows)))  # 2 bytes a dimension
    header = index_header("rank", dim, rows)
    index = root / "index.rank"
    with open(index, "wb") as f:
        f.write(header)
        f.truncate(len(header) + rows * dim * 2)  # the payload reads as zeros
    line = ('{"row_id":%d,"db_id":"%08x-0000-4000-8000-%012x","parent_id":'
            '"%08x-1111-4000-8000-%012x"}\n' if parents else
            '{"row_id":%d,"db_id":"%08x-0000-4000-8000-%012x"}\n')
    row_map = root / "rows.jsonl"
    with open(row_map, "w") as f:
        for start in range(0, rows, 65536):
            stop = min(rows, start + 65536)
            f.write("".join(line % ((i, i, i, i, i) if parents else (i, i, i))
                            for i in range(start, stop)))
    return index, row_map


def has_test_hooks() -> bool:
    """Whether the module imported has the fault-injection hooks (the panic hook answers)."""
    os.environ["TAMREL_TEST_PANIC"] = "1"
    try:
        _tamrel_manifest.sha256_file(__file__)
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return type(exc).__name__ == "PanicException"
    finally:
        del os.environ["TAMREL_TEST_PANIC"]
    return False
