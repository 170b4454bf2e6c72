"""The index file on disk against the manifest: a clean pass per kind, the facts captured, the
digest and size, the probed header compared field by field, and files that are not files."""

from __future__ import annotations

import os
import shutil

import pytest

import _tamrel_manifest as tm
from builders import KINDS, index_bytes, make_fixture, sha256_of, write_manifest


def verify(tmp_path, manifest, **kw) -> dict:
    return tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)), **kw)


def pairs(report) -> list[tuple[str, str]]:
    return [(e["code"], e["message"]) for e in report["errors"]]


@pytest.mark.parametrize("row_map", [True, False], ids=["jsonl", "identity"])
@pytest.mark.parametrize("kind", list(KINDS))
def test_hand_built_manifest_verifies_clean(tmp_path, kind, row_map):
    manifest = make_fixture(tmp_path, kind, row_map=row_map)
    report = verify(tmp_path, manifest)
    assert report["errors"] == []
    assert report["ok"] is True
    assert report["warnings"] == []
    assert report["skipped_checks"] == ["attestations_absent"]
    art = manifest["artifact"]
    index = tmp_path / art["path"]
    assert report["artifact"] == {
        "manifest_path": art["path"], "observed_path": art["path"],
        "canonical_path": str(index.resolve()), "sha256": art["sha256"],
        "size_bytes": art["file_size_bytes"],
        "metadata": {"kind": kind, "format_version": 1, "dim": art["dim"],
                     "vector_count": art["vector_count"], "bytes_per_vec": art["bytes_per_vec"],
                     "params": art["params"], "file_size_bytes": art["file_size_bytes"]},
    }


def test_twin_magic_file_verifies_as_its_kind(tmp_path):
    manifest = make_fixture(tmp_path, "bitmap", row_map=False)
    index = tmp_path / manifest["artifact"]["path"]
    index.write_bytes(index_bytes("bitmap", 64, 3, twin=True))
    manifest["artifact"]["sha256"] = sha256_of(index)
    assert verify(tmp_path, manifest)["errors"] == []


def test_bare_manifest_name_resolves_against_current_directory(tmp_path, monkeypatch):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    write_manifest(tmp_path / "m.json", manifest)
    monkeypatch.chdir(tmp_path)
    report = tm.verify_manifest("m.json")
    assert report["errors"] == []
    assert report["artifact"]["canonical_path"] == str((tmp_path / "index.rank").resolve())


def test_path_outside_base_stops_the_stage(tmp_path):
    base = tmp_path / "base"
    manifest = make_fixture(base, "rank", row_map=False)
    shutil.move(base / "index.rank", tmp_path / "index.rank")
    manifest["artifact"]["path"] = "../index.rank"
    report = verify(base, manifest)
    assert pairs(report) == [("artifact_path_escape_rejected",
                              "relative path ../index.rank escapes the manifest base")]
    assert report["artifact"] == {"manifest_path": "../index.rank",
                                  "observed_path": "../index.rank", "canonical_path": None,
                                  "sha256": None, "size_bytes": None, "metadata": None}


def test_index_override_is_used_and_captured(tmp_path):
    manifest = make_fixture(tmp_path, "rank_quant", row_map=False)
    other = tmp_path / "sub" / "copy.bin"
    other.parent.mkdir()
    shutil.copy(tmp_path / "index.rank_quant", other)
    (tmp_path / "index.rank_quant").unlink()
    report = verify(tmp_path, manifest, index=str(other))
    # an absolute override inside the base passes only with absolute paths allowed
    assert [c for c, _ in pairs(report)] == ["artifact_absolute_path_rejected"]
    report = verify(tmp_path, manifest, index=other, allow_absolute_paths=True)
    assert report["errors"] == []
    assert report["artifact"]["manifest_path"] == "index.rank_quant"
    assert report["artifact"]["observed_path"] == str(other)
    assert report["artifact"]["canonical_path"] == str(other.resolve())


def test_override_does_not_excuse_declared_path_rules(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    manifest["artifact"]["path"] = " "
    report = verify(tmp_path, manifest, index="index.rank")
    assert pairs(report) == [("artifact_path_empty", "artifact.path must be non-empty")]
    assert report["artifact"]["observed_path"] == "index.rank"


def test_wrong_declared_digest_is_the_only_issue(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    real = manifest["artifact"]["sha256"]
    manifest["artifact"]["sha256"] = "0" * 64
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_sha256_mismatch", f"artifact SHA-256 was {real}, manifest declares {'0' * 64}")]


def test_one_byte_appended(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    index = tmp_path / "index.rank"
    index.write_bytes(index.read_bytes() + b"\0")
    art = manifest["artifact"]
    size = art["file_size_bytes"]
    report = verify(tmp_path, manifest)
    assert pairs(report) == [
        ("artifact_sha256_mismatch",
         f"artifact SHA-256 was {sha256_of(index)}, manifest declares {art['sha256']}"),
        ("artifact_file_size_mismatch", f"artifact size was {size + 1}, manifest declares {size}"),
        ("artifact_probe_failed",
         "failed to probe artifact metadata: KXR1 payload has trailing bytes: header declares "
         f"{size - 13} B but file has {size - 12} B remaining"),
    ]
    assert report["artifact"]["metadata"] is None
    assert report["artifact"]["size_bytes"] == size + 1
    assert report["artifact"]["sha256"] == sha256_of(index)


def rewrite(tmp_path, manifest, data: bytes) -> None:
    index = tmp_path / manifest["artifact"]["path"]
    index.write_bytes(data)
    manifest["artifact"].update(sha256=sha256_of(index), file_size_bytes=len(data))


def mismatch(field: str, probed, declared) -> tuple[str, str]:
    return (f"artifact_{field}_mismatch",
            f"artifact {field} was {probed}, manifest declares {declared}")


COMPARISONS = {
    "bits": (
        "rank_quant", {"params": {"kind": "rank_quant", "bits": 4}},
        [("artifact_params_mismatch",
          "artifact params were RankQuant { bits: 2 }, manifest declares RankQuant { bits: 4 }")]),
    "n_top": (
        "bitmap", {"params": {"kind": "bitmap", "n_top": 10}},
        [("artifact_params_mismatch",
          "artifact params were Bitmap { n_top: 8 }, manifest declares Bitmap { n_top: 10 }")]),
    "format_version": ("rank", {"format_version": 2}, [mismatch("format_version", 1, 2)]),
    "vector_count": (
        "sign_bitmap", {"vector_count": 4},
        [("artifact_row_count_mismatch",
          "artifact.vector_count 4 does not match row_identity.row_count 3"),
         mismatch("vector_count", 3, 4)]),
    "dim_and_bytes_per_vec": (
        "sign_bitmap", {"dim": 128, "bytes_per_vec": 16},
        [("artifact_embedding_dim_mismatch", "artifact.dim 128 does not match embedding.dim 64"),
         mismatch("dim", 64, 128), mismatch("bytes_per_vec", 8, 16)]),
    "bitmap_declared_as_rank": (
        "bitmap", {"kind": "rank", "params": {"kind": "rank"}, "bytes_per_vec": 128},
        [mismatch("kind", "Bitmap", "Rank"),
         ("artifact_params_mismatch",
          "artifact params were Bitmap { n_top: 8 }, manifest declares Rank"),
         mismatch("bytes_per_vec", 8, 128)]),
    "sign_declared_as_rank_quant": (
        "sign_bitmap", {"kind": "rank_quant", "params": {"kind": "rank_quant", "bits": 1}},
        [mismatch("kind", "SignBitmap", "RankQuant"),
         ("artifact_params_mismatch",
          "artifact params were SignBitmap, manifest declares RankQuant { bits: 1 }")]),
}


@pytest.mark.parametrize("kind,declared,expected", COMPARISONS.values(), ids=COMPARISONS.keys())
def test_header_compared_field_by_field(tmp_path, kind, declared, expected):
    manifest = make_fixture(tmp_path, kind, row_map=False)
    manifest["artifact"].update(declared)
    report = verify(tmp_path, manifest)
    assert pairs(report) == expected
    assert report["artifact"]["metadata"]["kind"] == kind


def test_both_file_sizes_compared(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    size = manifest["artifact"]["file_size_bytes"]
    manifest["artifact"]["file_size_bytes"] = size + 7
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_file_size_mismatch", f"artifact size was {size}, manifest declares {size + 7}"),
        ("artifact_metadata_file_size_mismatch",
         f"artifact metadata file_size_bytes was {size}, manifest declares {size + 7}"),
    ]


def test_empty_index_file(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    rewrite(tmp_path, manifest, b"")
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_probe_failed",
         "failed to probe artifact metadata: tamrel index header truncated while reading magic")]


def test_fifo_is_refused_without_blocking(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    fifo = tmp_path / "index.rank"
    fifo.unlink()
    os.mkfifo(fifo)
    report = verify(tmp_path, manifest)
    assert pairs(report) == [
        ("artifact_hash_failed", "failed to hash artifact: not a regular file"),
        ("artifact_probe_failed", "failed to probe artifact metadata: not a regular file"),
    ]
    assert report["artifact"]["canonical_path"] == str(fifo.resolve())


@pytest.mark.skipif(not os.path.exists("/dev/null"), reason="needs /dev/null")
def test_device_is_refused(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    (tmp_path / "index.rank").unlink()
    os.symlink("/dev/null", tmp_path / "index.rank")
    report = verify(tmp_path, manifest, allow_path_escape=True)
    assert pairs(report) == [
        ("artifact_hash_failed", "failed to hash artifact: not a regular file"),
        ("artifact_probe_failed", "failed to probe artifact metadata: not a regular file"),
    ]


def test_directory_keeps_the_system_error(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    (tmp_path / "index.rank").unlink()
    (tmp_path / "index.rank").mkdir()
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_hash_failed", "failed to hash artifact: Is a directory"),
        ("artifact_probe_failed", "failed to probe artifact metadata: Is a directory"),
    ]


def test_empty_artifact_path_resolves_to_the_base(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    manifest["artifact"]["path"] = ""
    report = verify(tmp_path, manifest)
    assert pairs(report) == [
        ("artifact_path_empty", "artifact.path must be non-empty"),
        ("artifact_hash_failed", "failed to hash artifact: Is a directory"),
        ("artifact_probe_failed", "failed to probe artifact metadata: Is a directory"),
    ]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    (tmp_path / "index.rank").chmod(0)
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_hash_failed", "failed to hash artifact: Permission denied"),
        ("artifact_probe_failed", "failed to probe artifact metadata: Permission denied"),
    ]
