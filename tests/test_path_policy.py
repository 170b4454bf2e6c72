"""Where a file named by a manifest may be: absolute paths, lexical climbing, links and sibling
directories, checked through the row-identity and artifact paths of real manifests."""

import os
import shutil

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest


@pytest.fixture
def tree(tmp_path):
    """root/base holds the manifest, index and row map; copies of the row map lie inside a
    subdirectory, in root itself and in the sibling root/base2."""
    root = tmp_path.resolve()
    base = root / "base"
    manifest = make_fixture(base)
    rows = base / "rows.jsonl"
    (base / "sub").mkdir()
    (root / "base2").mkdir()
    for copy in (base / "sub" / "rows.jsonl", root / "rows.jsonl", root / "base2" / "rows.jsonl"):
        shutil.copyfile(rows, copy)
    os.symlink("../rows.jsonl", base / "out-link")
    os.symlink("sub/rows.jsonl", base / "in-link")
    os.symlink("../base2", base / "sib-link")
    return root, base, manifest


def verify_row_path(base, manifest, declared, **flags):
    manifest["row_identity"]["path"] = declared
    report = tm.verify_manifest(str(write_manifest(base / "m.json", manifest)), **flags)
    return [(e["code"], e["message"]) for e in report["errors"]], report["row_identity"]


ESC = {"allow_path_escape": True}
ABS = {"allow_absolute_paths": True}
BOTH = {**ESC, **ABS}

# (declared path, flags, expected issue or None, canonical path when accepted); "{root}" is the
# resolved temporary directory.
CASES = [
    ("rows.jsonl", {}, None, "{root}/base/rows.jsonl"),
    ("./sub/./rows.jsonl", {}, None, "{root}/base/sub/rows.jsonl"),
    ("sub/../rows.jsonl", {}, None, "{root}/base/rows.jsonl"),
    ("sub//rows.jsonl", {}, None, "{root}/base/sub/rows.jsonl"),
    ("../rows.jsonl", {},
     ("row_identity_path_escape_rejected", "relative path ../rows.jsonl escapes the manifest base"),
     None),
    ("../rows.jsonl", ESC, None, "{root}/rows.jsonl"),
    ("sub/../../rows.jsonl", {},
     ("row_identity_path_escape_rejected",
      "relative path sub/../../rows.jsonl escapes the manifest base"), None),
    # The walk is lexical: climbing out and back in is still climbing out.
    ("../base/rows.jsonl", {},
     ("row_identity_path_escape_rejected",
      "relative path ../base/rows.jsonl escapes the manifest base"), None),
    ("{root}/base/rows.jsonl", {},
     ("row_identity_absolute_path_rejected",
      "absolute path {root}/base/rows.jsonl is rejected by default"), None),
    ("{root}/base/rows.jsonl", ABS, None, "{root}/base/rows.jsonl"),
    ("{root}/rows.jsonl", ESC,
     ("row_identity_absolute_path_rejected", "absolute path {root}/rows.jsonl is rejected by default"),
     None),
    # Absolute paths alone still have to resolve inside the base.
    ("{root}/rows.jsonl", ABS,
     ("row_identity_path_escape_rejected",
      "canonical path {root}/rows.jsonl is outside manifest base {root}/base"), None),
    ("{root}/rows.jsonl", BOTH, None, "{root}/rows.jsonl"),
    ("out-link", {},
     ("row_identity_path_escape_rejected",
      "canonical path {root}/rows.jsonl is outside manifest base {root}/base"), None),
    ("out-link", ESC, None, "{root}/rows.jsonl"),
    ("in-link", {}, None, "{root}/base/sub/rows.jsonl"),
    # base2 starts with the text of base but is not inside it.
    ("sib-link/rows.jsonl", {},
     ("row_identity_path_escape_rejected",
      "canonical path {root}/base2/rows.jsonl is outside manifest base {root}/base"), None),
    ("{root}/base2/rows.jsonl", ABS,
     ("row_identity_path_escape_rejected",
      "canonical path {root}/base2/rows.jsonl is outside manifest base {root}/base"), None),
    ("missing.jsonl", {},
     ("row_identity_path_unavailable",
      "failed to canonicalize {root}/base/missing.jsonl: No such file or directory"), None),
    ("../missing.jsonl", ESC,
     ("row_identity_path_unavailable",
      "failed to canonicalize {root}/base/../missing.jsonl: No such file or directory"), None),
    ("rows.jsonl/x", {},
     ("row_identity_path_unavailable",
      "failed to canonicalize {root}/base/rows.jsonl/x: Not a directory"), None),
    # The system would stop at the NUL and check the existing rows.jsonl instead.
    ("rows.jsonl\u0000.bak", {},
     ("row_identity_path_unavailable",
      "failed to canonicalize {root}/base/rows.jsonl\u0000.bak: embedded null byte"), None),
]


@pytest.mark.parametrize("declared, flags, issue, canonical", CASES)
def test_row_identity_path(tree, declared, flags, issue, canonical):
    root, base, manifest = tree
    fill = lambda text: text.format(root=root)  # noqa: E731
    errors, facts = verify_row_path(base, manifest, fill(declared), **flags)
    assert errors == ([] if issue is None else [(issue[0], fill(issue[1]))])
    assert facts["canonical_path"] == (None if canonical is None else fill(canonical))
    # A refused path is never read.
    assert (facts["sha256"] is None) == (issue is not None)


def test_bare_manifest_name_resolves_against_current_directory(tree, monkeypatch):
    root, base, manifest = tree
    write_manifest(base / "m.json", manifest)
    monkeypatch.chdir(base)
    report = tm.verify_manifest("m.json")
    assert report["errors"] == []
    assert report["row_identity"]["canonical_path"] == f"{root}/base/rows.jsonl"
    assert report["artifact"]["canonical_path"] == f"{root}/base/{manifest['artifact']['path']}"


@pytest.mark.parametrize("manifest_arg, cwd, joined", [
    ("m.json", "base", "./missing.jsonl"),
    ("base/m.json", ".", "base/missing.jsonl"),
    ("./base/m.json", ".", "./base/missing.jsonl"),
])
def test_joined_path_keeps_the_base_as_given(tree, monkeypatch, manifest_arg, cwd, joined):
    root, base, manifest = tree
    manifest["row_identity"]["path"] = "missing.jsonl"
    write_manifest(base / "m.json", manifest)
    monkeypatch.chdir(root / cwd)
    report = tm.verify_manifest(manifest_arg)
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("row_identity_path_unavailable",
         f"failed to canonicalize {joined}: No such file or directory")]


def test_relative_base_is_canonical_in_messages(tree, monkeypatch):
    root, base, manifest = tree
    manifest["row_identity"]["path"] = "out-link"
    write_manifest(base / "m.json", manifest)
    monkeypatch.chdir(root)
    report = tm.verify_manifest("base/m.json")
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("row_identity_path_escape_rejected",
         f"canonical path {root}/rows.jsonl is outside manifest base {root}/base")]


def test_artifact_path_uses_its_own_prefix(tree):
    root, base, manifest = tree
    shutil.copyfile(base / manifest["artifact"]["path"], root / "outside.idx")
    manifest["artifact"]["path"] = "../outside.idx"
    report = tm.verify_manifest(str(write_manifest(base / "m.json", manifest)))
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("artifact_path_escape_rejected", "relative path ../outside.idx escapes the manifest base")]
    assert report["artifact"]["sha256"] is None


def test_undecodable_directory_name_is_shown_lossily(tmp_path):
    base = tmp_path.resolve() / os.fsdecode(b"b\xffd")
    manifest = make_fixture(base)
    manifest["row_identity"]["path"] = "missing.jsonl"
    write_manifest(base / "m.json", manifest)
    report = tm.verify_manifest(str(base / "m.json"))
    shown = f"{tmp_path.resolve()}/b\ufffdd/missing.jsonl"
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("row_identity_path_unavailable", f"failed to canonicalize {shown}: No such file or directory")]
