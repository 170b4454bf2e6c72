"""open_verified against real swaps: files renamed over, rewritten in place, replaced by links,
removed or turned into FIFOs between verification and opening."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import _tamrel_manifest as tm
from builders import index_bytes, make_fixture, sha256_of, write_manifest
import tamrel_manifest
from tamrel_manifest import VerificationFailed, open_verified, signing

OLD = 1_600_000_000_000_000_000  # a modification time long past, as real files have


def bundle(root: Path, **extra: Any) -> Path:
    notes = root / "notes.txt"
    notes.write_bytes(b"0123456789")
    aux = [{"name": "notes", "path": "notes.txt", "sha256": sha256_of(notes),
            "file_size_bytes": 10},
           {"name": "extra", "path": "absent.txt", "sha256": "0" * 64, "file_size_bytes": 1,
            "required": False}]
    manifest = write_manifest(root / "m.json", make_fixture(root, auxiliary_artifacts=aux,
                                                            **extra))
    for name in ("index.rank_quant", "rows.jsonl", "notes.txt"):
        os.utime(root / name, ns=(OLD, OLD))
    return manifest


def no_time(plan: dict[str, Any]) -> dict[str, Any]:
    return {**plan, "report": {k: v for k, v in plan["report"].items() if k != "checked_at"}}


@pytest.mark.smoke
def test_yields_the_plan_and_the_verified_files(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    with open_verified(manifest) as verified:
        assert no_time(verified.plan) == no_time(tm.verify_for_load(manifest))
        assert verified.index.read() == (tmp_path / "index.rank_quant").read_bytes()
        assert verified.row_map is not None
        assert verified.row_map.read() == (tmp_path / "rows.jsonl").read_bytes()
        assert list(verified.auxiliary_artifacts) == ["notes"]  # the absent optional one: none
        assert verified.auxiliary_artifacts["notes"].read() == b"0123456789"
        files = [verified.index, verified.row_map, *verified.auxiliary_artifacts.values()]
        plan = verified.plan
        notes = next(a for a in plan["auxiliary_artifacts"] if a["name"] == "notes")
        assert [f.name for f in files] == [plan["artifact_path"], plan["row_identity"]["path"],
                                           notes["path"]]
    assert all(f.closed for f in files)


def test_identity_rows_have_no_row_map(tmp_path: Path) -> None:
    manifest = write_manifest(tmp_path / "m.json", make_fixture(tmp_path, row_map=False))
    with open_verified(manifest, max_report_issues=5) as verified:
        assert verified.row_map is None
        assert verified.plan["row_identity"]["kind"] == "row_id_identity"


def test_files_are_closed_when_the_body_raises(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    with pytest.raises(KeyError):
        with open_verified(manifest) as verified:
            raise KeyError("loader failed")
    assert verified.index.closed and verified.row_map is not None and verified.row_map.closed


def test_a_failing_verification_is_raised_unchanged(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    with open(tmp_path / "index.rank_quant", "ab") as f:
        f.write(b"x")
    with pytest.raises(ValueError) as caught:
        tm.verify_for_load(manifest)
    with pytest.raises(ValueError) as ours:
        with open_verified(manifest):
            pass
    with pytest.raises(VerificationFailed) as package:
        tamrel_manifest.verify_for_load(manifest)
    for raised in (ours.value, package.value):
        assert str(raised) == str(caught.value)
        assert isinstance(raised, VerificationFailed)
        assert raised.report["errors"] == caught.value.report["errors"]


def swap_during_verification(monkeypatch: pytest.MonkeyPatch, before: Callable[[], None],
                             after: Callable[[], None]) -> None:
    """Wraps the verification pass open_verified runs (the signing module's private entry):
    `before` runs right before it, `after` right after."""
    native = signing._native_sign
    real = native._verify_for_load_files

    def wrapped(*args: Any, **kwargs: Any) -> Any:
        before()
        result = real(*args, **kwargs)
        after()
        return result

    monkeypatch.setattr(native, "_verify_for_load_files", wrapped)


def identity(path: Path) -> os.stat_result:
    return os.stat(path)


def replaced(label: str, path: Path, old: os.stat_result, new: os.stat_result) -> str:
    return (f"refusing {label} {path}: it was replaced during verification: the opened file is"
            f" not the inode that was verified (device {old.st_dev} inode {old.st_ino} when"
            f" verified, device {new.st_dev} inode {new.st_ino} when opened)")


@pytest.mark.parametrize("name, label", [("index.rank_quant", "index file"),
                                         ("rows.jsonl", "row map"),
                                         ("notes.txt", 'auxiliary artifact "notes"')])
def test_a_file_renamed_over_after_verification_is_refused(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str, label: str) -> None:
    manifest = bundle(tmp_path)
    target = tmp_path / name
    impostor = tmp_path / "impostor"
    impostor.write_bytes(target.read_bytes())  # even the same bytes: not the verified file
    old = identity(target)
    swap_during_verification(monkeypatch, lambda: None, lambda: os.replace(impostor, target))
    with pytest.raises(ValueError) as caught:
        with open_verified(manifest):
            pytest.fail("opened a file that was not verified")
    assert str(caught.value) == replaced(label, target, old, identity(target))


def rewrite(path: Path, data: bytes) -> None:
    with open(path, "r+b") as f:  # in place: same inode
        f.write(data)


def changed(path: Path, old: os.stat_result, new: os.stat_result) -> str:
    fields = [f"{name} {getattr(old, 'st_' + name)} -> {getattr(new, 'st_' + name)}"
              for name in ("size", "mtime_ns", "ctime_ns")
              if getattr(old, "st_" + name) != getattr(new, "st_" + name)]
    return f"refusing index file {path}: it changed during verification ({', '.join(fields)})"


def test_the_identity_is_that_of_the_file_the_pass_read(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # Rewritten before the pass reads it: the pass reads (and identifies) the good bytes, so the
    # file opened is the file verified; no identity taken before the pass can disagree.
    manifest = bundle(tmp_path)
    index = tmp_path / "index.rank_quant"
    good = index.read_bytes()
    rewrite(index, index_bytes("rank_quant", 16, 3, fill=0x11))
    os.utime(index, ns=(OLD, OLD))
    swap_during_verification(monkeypatch, lambda: rewrite(index, good), lambda: None)
    with open_verified(manifest) as verified:
        assert verified.index.read() == good


def test_a_file_rewritten_in_place_after_verification_is_refused(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    manifest = bundle(tmp_path)
    index = tmp_path / "index.rank_quant"
    old = identity(index)
    swap_during_verification(
        monkeypatch, lambda: None,
        lambda: rewrite(index, index_bytes("rank_quant", 16, 3, fill=0x11)))
    with pytest.raises(ValueError) as caught:
        with open_verified(manifest):
            pytest.fail("opened a file that changed after verification")
    assert str(caught.value) == changed(index, old, identity(index))


def _link_to_itself(index: Path) -> None:
    # A link to the very file that was verified: refused all the same, links are not followed.
    moved = index.with_name("moved")
    os.rename(index, moved)
    os.symlink(moved, index)


def _directory_link(index: Path) -> None:
    copy = index.parent.parent / "copy"
    copy.mkdir()
    for entry in index.parent.iterdir():
        (copy / entry.name).write_bytes(entry.read_bytes())
    os.rename(index.parent, index.parent.parent / "old")
    os.symlink(copy, index.parent)


def _removed(index: Path) -> None:
    os.unlink(index)


@pytest.mark.parametrize("swap, reason", [
    (_link_to_itself, "its path no longer leads to the verified file (Too many levels of"
                      " symbolic links)"),
    (_directory_link, "its path no longer leads to the verified file (Not a directory)"),
    (_removed, "its path no longer leads to the verified file (No such file or directory)"),
    (lambda index: (os.unlink(index), os.mkfifo(index)), "it is not a regular file"),
], ids=["link-to-itself", "directory-link", "removed", "fifo"])
def test_a_path_that_changed_after_verification_is_refused(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch, swap: Callable[[Path], Any],
        reason: str) -> None:
    root = tmp_path / "bundle"
    root.mkdir()
    manifest = bundle(root)
    index = root / "index.rank_quant"
    swap_during_verification(monkeypatch, lambda: None, lambda: swap(index))
    with pytest.raises(ValueError) as caught:
        with open_verified(manifest):
            pytest.fail("opened a path that changed")
    assert str(caught.value) == f"refusing index file {index}: {reason}"


def test_the_index_override_is_the_file_pinned(tmp_path: Path,
                                               monkeypatch: pytest.MonkeyPatch) -> None:
    manifest = bundle(tmp_path)
    copy = tmp_path / "copy.rank_quant"
    copy.write_bytes((tmp_path / "index.rank_quant").read_bytes())
    with open_verified(manifest, index="copy.rank_quant") as verified:
        assert verified.plan["artifact_path"] == str(copy)
    old = identity(copy)
    impostor = tmp_path / "impostor"
    impostor.write_bytes(copy.read_bytes())
    swap_during_verification(monkeypatch, lambda: None, lambda: os.replace(impostor, copy))
    with pytest.raises(ValueError) as caught:
        with open_verified(manifest, index="copy.rank_quant"):
            pass
    assert str(caught.value) == replaced("index file", copy, old, identity(copy))
