"""Real faults on disk: files that change between stages, links, special files, permissions.

Each case must end in its documented issue or exception, never in a hang, a crash or a report
that says ok for files that do not match."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

TIMEOUT = 60


def codes(report):
    return [e["code"] for e in report["errors"]]


def messages(report, code):
    return [e["message"] for e in report["errors"] if e["code"] == code]


@pytest.fixture
def fixture(tmp_path):
    base = tmp_path / "base"
    base.mkdir()
    manifest = make_fixture(base)
    path = write_manifest(base / "m.json", manifest)
    return base, path, manifest


def test_clean_fixture_verifies(fixture):
    _, path, _ = fixture
    report = tm.verify_manifest(path)
    assert report["ok"], report["errors"]


def test_row_map_truncated_after_the_manifest_was_written(fixture):
    base, path, _ = fixture
    rows = base / "rows.jsonl"
    rows.write_bytes(rows.read_bytes()[:-30])
    report = tm.verify_manifest(path)
    assert not report["ok"]
    assert "row_identity_sha256_mismatch" in codes(report)


def test_index_replaced_by_a_link_to_a_file_outside_the_base(fixture, tmp_path):
    base, path, manifest = fixture
    index = base / manifest["artifact"]["path"]
    outside = tmp_path / "outside.bin"
    shutil.copyfile(index, outside)
    index.unlink()
    index.symlink_to(outside)
    report = tm.verify_manifest(path)
    assert codes(report) == ["artifact_path_escape_rejected"]
    assert report["artifact"]["sha256"] is None


@pytest.mark.parametrize("make,code,text", [
    (lambda p, t: p.symlink_to(t / "nowhere"), "artifact_path_unavailable",
     "No such file or directory"),
    (lambda p, t: (os.symlink(p.name + ".b", p), os.symlink(p.name, str(p) + ".b")),
     "artifact_path_unavailable", "Too many levels of symbolic links"),
])
def test_broken_links(fixture, tmp_path, make, code, text):
    base, path, manifest = fixture
    index = base / manifest["artifact"]["path"]
    index.unlink()
    make(index, tmp_path)
    report = tm.verify_manifest(path)
    assert codes(report) == [code]
    assert messages(report, code)[0].endswith(": " + text)


def test_names_longer_than_the_system_allows(fixture):
    base, path, manifest = fixture
    manifest["artifact"]["path"] = "x" * 300
    write_manifest(path, manifest)
    report = tm.verify_manifest(path)
    assert "artifact_path_unavailable" in codes(report)
    assert messages(report, "artifact_path_unavailable")[0].endswith(": File name too long")


def test_directory_where_the_index_is_expected(fixture):
    base, path, manifest = fixture
    index = base / manifest["artifact"]["path"]
    index.unlink()
    index.mkdir()
    report = tm.verify_manifest(path)
    assert messages(report, "artifact_hash_failed") == ["failed to hash artifact: Is a directory"]
    assert messages(report, "artifact_probe_failed") == [
        "failed to probe artifact metadata: Is a directory"]
    assert not report["ok"]


def _verify_in_child(manifest: Path, **kwargs) -> dict:
    """verify_manifest in a child process, so a hang fails the test instead of the suite."""
    code = ("import json, sys, _tamrel_manifest as tm; "
            "print(json.dumps(tm.verify_manifest(sys.argv[1], **json.loads(sys.argv[2]))))")
    out = subprocess.run([sys.executable, "-c", code, str(manifest), json.dumps(kwargs)],
                         capture_output=True, text=True, timeout=TIMEOUT,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_fifos_where_files_are_expected(fixture):
    base, path, manifest = fixture
    for name in (manifest["artifact"]["path"], "rows.jsonl"):
        (base / name).unlink()
        os.mkfifo(base / name)
    report = _verify_in_child(path)
    assert messages(report, "artifact_hash_failed") == ["failed to hash artifact: not a regular file"]
    assert messages(report, "artifact_probe_failed") == [
        "failed to probe artifact metadata: not a regular file"]
    assert messages(report, "row_identity_read_failed") == [
        "failed to read row identity file: not a regular file"]


def test_device_where_the_index_is_expected(fixture):
    base, path, manifest = fixture
    manifest["artifact"]["path"] = "zero"
    write_manifest(path, manifest)
    (base / "zero").symlink_to("/dev/zero")
    report = _verify_in_child(path, allow_path_escape=True)
    assert messages(report, "artifact_hash_failed") == ["failed to hash artifact: not a regular file"]


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to switch to an unprivileged user")
def test_manifest_directory_not_searchable():
    # Root passes every permission check, so the verifying child drops to 'nobody'.
    top = Path(tempfile.mkdtemp(prefix="tamrel-perm-"))
    try:
        os.chmod(top, 0o755)
        base = top / "base"
        base.mkdir()
        path = write_manifest(base / "m.json", make_fixture(base))
        os.chmod(path, 0o644)
        os.chmod(base, 0o744)  # readable, not searchable, for others
        code = ("import sys, _tamrel_manifest as tm\n"
                "try:\n    tm.verify_manifest(sys.argv[1])\n"
                "except OSError as e:\n    print('OSError', e)\n")
        try:
            out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                                 text=True, timeout=TIMEOUT, user="nobody",
                                 env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        except PermissionError:
            pytest.skip("the interpreter is not executable by an unprivileged user here")
        if "No module named" in out.stderr:
            pytest.skip("the module is not readable by an unprivileged user here")
        assert out.stdout.strip() == "OSError Permission denied", out.stderr
    finally:
        os.chmod(top / "base", 0o755)
        shutil.rmtree(top)


def test_index_rewritten_with_the_same_size(fixture):
    base, path, manifest = fixture
    index = base / manifest["artifact"]["path"]
    data = bytearray(index.read_bytes())
    data[-1] ^= 0xFF
    index.write_bytes(bytes(data))
    report = tm.verify_manifest(path)
    assert codes(report) == ["artifact_sha256_mismatch"]
    with pytest.raises(ValueError) as info:
        tm.verify_for_load(path)
    assert str(info.value) == "manifest verification failed: artifact_sha256_mismatch"


def test_index_override_is_the_callers_file_and_opened_as_usual(fixture):
    # A device named by the manifest is refused unread; named by the caller it is read.
    _, path, _ = fixture
    report = tm.verify_manifest(path, index="/dev/null", allow_path_escape=True,
                                allow_absolute_paths=True)
    assert report["artifact"]["sha256"] == (
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
    assert messages(report, "artifact_probe_failed") == [
        "failed to probe artifact metadata: tamrel index header truncated while reading magic"]
