"""The command-line tool, run as a real process: verdicts, hints, --json, exit status, options and
the live progress line on a terminal."""

from __future__ import annotations

import fcntl
import hashlib
import io
import json
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path
from typing import Any

import pytest

import _tamrel_manifest as tm
import builders
from builders import make_fixture, sha256_of, write_manifest
import tamrel_manifest
from tamrel_manifest import cli
from tamrel_manifest._limits import LIMIT_NAMES
from tamrel_manifest._progress import Progress

ROOT = Path(__file__).resolve().parents[1]


def cli_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ, **extra)
    build = os.environ.get("TAMREL_TEST_BUILD")
    if build:  # the module from the build directory, the package from the source tree
        env["PYTHONPATH"] = os.pathsep.join(
            [build, str(ROOT / "python"), env.get("PYTHONPATH", "")])
    return env


def run(*args: Any, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tamrel_manifest", *map(str, args)],
                          capture_output=True, text=True, env=cli_env(), cwd=cwd, timeout=120)


def bundle(root: Path, **extra: Any) -> Path:
    """A valid manifest with an index, a row map and one auxiliary artifact under root."""
    notes = root / "notes.txt"
    notes.write_bytes(b"0123456789")
    aux = [{"name": "notes", "path": "notes.txt", "sha256": sha256_of(notes),
            "file_size_bytes": 10}]
    return write_manifest(root / "m.json",
                          make_fixture(root, auxiliary_artifacts=aux, **extra))


def no_time(report: dict[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in report.items() if k != "checked_at"}


def facts(stdout: str) -> dict[str, list[str]]:
    """The `label  value` lines after the blank line, by label."""
    found: dict[str, list[str]] = {}
    for line in stdout.split("\n\n", 1)[1].splitlines():
        label, value = re.split(r"\s{2,}", line.strip(), maxsplit=1)
        found.setdefault(label, []).append(value)
    return found


# ---- verdicts and hints ----

@pytest.mark.smoke
def test_verify_clean(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    result = run("verify", manifest)
    report = tm.verify_manifest(manifest)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines()[0] == f"OK: {manifest} verified, no issues"
    shown = facts(result.stdout)
    assert shown["artifact"] == ["index.rank_quant"]
    assert shown["sha256"][0] == report["artifact"]["sha256"]
    assert shown["rows"] == ["3 declared, 3 validated"]
    assert shown['auxiliary "notes"'] == ["notes.txt: verified"]
    assert "hint:" not in result.stdout


@pytest.mark.smoke
@pytest.mark.parametrize("key_type", ["ecdsa-p256", "ecdsa-p384", "ecdsa-p521", "ed25519"])
def test_signed_round_trip(tmp_path: Path, key_type: str) -> None:
    # The signing module is loaded from the main module's library: the wheel on every platform.
    manifest = bundle(tmp_path)
    key = tmp_path / "signer.key"
    assert run("keygen", key, "--type", key_type).returncode == 0
    assert run("sign", manifest, "--key", key).returncode == 0
    assert run("verify", manifest, "--trusted-key", f"{key}.pub").returncode == 0
    index = tmp_path / "index.rank_quant"
    data = bytearray(index.read_bytes())
    data[-1] ^= 0xFF
    index.write_bytes(bytes(data))
    refused = run("verify", manifest, "--trusted-key", f"{key}.pub")
    assert refused.returncode == 1 and "artifact_sha256_mismatch" in refused.stdout


@pytest.mark.smoke
def test_verify_one_changed_byte(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    index = tmp_path / "index.rank_quant"
    declared = sha256_of(index)
    data = bytearray(index.read_bytes())
    data[-1] ^= 0xFF
    index.write_bytes(bytes(data))
    result = run("verify", manifest)
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.split("\n\n")[0].splitlines() == [
        f"FAILED: {manifest}: 1 issue",
        f"artifact_sha256_mismatch: artifact SHA-256 was {sha256_of(index)}, manifest declares"
        f" {declared}",
    ]


def lfs_pointer(oid: str, size: int) -> bytes:
    # Only the "version https://git-lfs" prefix matters to the hint.
    return f"version https://git-lfs.example/v1\noid sha256:{oid}\nsize {size}\n".encode()


def _append_byte(root: Path) -> None:
    with open(root / "index.rank_quant", "ab") as f:
        f.write(b"\0")


def _empty_index(root: Path) -> None:
    (root / "index.rank_quant").write_bytes(b"")


def _index_lfs_pointer(root: Path) -> None:
    index = root / "index.rank_quant"
    index.write_bytes(lfs_pointer(sha256_of(index), 26))


def _index_foreign_lfs_pointer(root: Path) -> None:
    (root / "index.rank_quant").write_bytes(lfs_pointer("0" * 64, 99))


def _rows_lfs_pointer(root: Path) -> None:
    (root / "rows.jsonl").write_bytes(lfs_pointer("1" * 64, 400))


def _short_notes(root: Path) -> None:
    (root / "notes.txt").write_bytes(b"0123456")


def _declared_empty(root: Path) -> None:
    manifest = json.loads((root / "m.json").read_text())
    manifest["artifact"]["sha256"] = hashlib.sha256(b"").hexdigest()
    write_manifest(root / "m.json", manifest)


def _rows_bom(root: Path) -> None:
    rows = root / "rows.jsonl"
    rows.write_bytes(b"\xef\xbb\xbf" + rows.read_bytes())


def _rows_crlf(root: Path) -> None:
    rows = root / "rows.jsonl"
    rows.write_bytes(rows.read_bytes().replace(b"\n", b"\r\n"))


def _index_gzip(root: Path) -> None:
    (root / "index.rank_quant").write_bytes(b"\x1f\x8b\x08\x00" + bytes(22))


def _files_left_behind(root: Path) -> None:
    for name in ("index.rank_quant", "rows.jsonl", "notes.txt"):
        (root / name).unlink()


def _notes_link_out(root: Path) -> None:
    outside = root.parent / f"{root.name}-outside.txt"
    outside.write_bytes((root / "notes.txt").read_bytes())
    (root / "notes.txt").unlink()
    (root / "notes.txt").symlink_to(outside)


def _other_kind_index(root: Path) -> None:
    builders.write_index(root / "index.rank_quant", "bitmap", n_vectors=3)


def _truncated_payload(root: Path) -> None:
    index = root / "index.rank_quant"
    index.write_bytes(index.read_bytes()[:-1])


def _rows_blank_last_line(root: Path) -> None:
    with open(root / "rows.jsonl", "ab") as f:
        f.write(b"\n")


def _rows_duplicate(root: Path) -> None:
    rows = root / "rows.jsonl"
    lines = rows.read_bytes().splitlines(keepends=True)
    first = json.loads(lines[0])["db_id"]
    lines[2] = json.dumps({"row_id": 2, "db_id": first}).encode() + b"\n"
    rows.write_bytes(b"".join(lines))
    _redeclare_rows(root)


def _redeclare_rows(root: Path) -> None:
    # Only the rows' own issue remains: the manifest declares the changed file's digest.
    manifest = json.loads((root / "m.json").read_text())
    manifest["row_identity"]["sha256"] = sha256_of(root / "rows.jsonl")
    write_manifest(root / "m.json", manifest)


HINTS = [
    (_append_byte, ["hint: artifact index.rank_quant is 1 byte longer than declared (27 bytes,"
                    " manifest declares 26)"]),
    (_empty_index, ["hint: artifact index.rank_quant is empty (e3b0c442… is the SHA-256 of no"
                    " bytes)"]),
    # not shorter: another index altogether, named as the manifest names kinds
    (_other_kind_index, ["hint: artifact index.rank_quant is a bitmap index, the manifest"
                         " declares rank_quant (Bitmap and RankQuant in the message)"]),
    (_truncated_payload, ["hint: artifact index.rank_quant is 1 byte shorter than declared (25"
                          " bytes, manifest declares 26)"]),
    (_index_lfs_pointer, ["hint: artifact index.rank_quant is a Git LFS pointer, not the file's"
                          " content (it points at the declared content, 26 bytes); fetch it (git"
                          " lfs pull) and verify again"]),
    (_index_foreign_lfs_pointer, ["hint: artifact index.rank_quant is a Git LFS pointer, not the"
                                  " file's content; fetch it (git lfs pull) and verify again"]),
    (_rows_lfs_pointer, ["hint: row map rows.jsonl is a Git LFS pointer, not the file's content;"
                         " fetch it (git lfs pull) and verify again"]),
    (_short_notes, ['hint: auxiliary artifact "notes" notes.txt is 3 bytes shorter than declared'
                    ' (7 bytes, manifest declares 10)']),
    (_declared_empty, ["hint: the manifest declares the SHA-256 of no bytes (e3b0c442…) for"
                       " artifact index.rank_quant: it was made from an empty file"]),
    (_rows_bom, ["hint: row map rows.jsonl starts with a byte-order mark (EF BB BF), which JSON"
                 " does not allow; save it as UTF-8 without a BOM"]),
    (_rows_crlf, ["hint: row map rows.jsonl has CRLF line ends: its rows still read, but its"
                  " bytes differ from a copy with LF ends; if a checkout converted them (git"
                  " core.autocrlf or .gitattributes text), restore LF ends (for example mark it"
                  " -text in .gitattributes and check it out again)"]),
    (_index_gzip, ["hint: artifact index.rank_quant starts with bytes 1f 8b 08 00 00 00 00 00 00"
                   " 00 00 00 00 00 00 00: a gzip file: decompress it first"]),
    (_files_left_behind, ["hint: none of the files the manifest names was found: paths resolve"
                          " against the manifest's directory {root}; if the manifest was moved"
                          " or copied away from its files, verify it where they are, or move"
                          " them with it"]),
    (_notes_link_out, ["hint: the auxiliary artifact notes.txt resolves outside the manifest's"
                       " directory {root} through a symbolic link; --allow-path-escape (Python:"
                       " allow_path_escape=True) admits it, and with it relative paths that"
                       " climb out with \"..\""]),
    (_rows_blank_last_line, ["hint: row map rows.jsonl ends with an empty line (line 3): remove"
                             " it"]),
    (_rows_duplicate, ['hint: row map rows.jsonl: line 2 repeats db_id'
                       ' "00000000-0000-0000-0000-000000000001" of line 0']),
]


@pytest.mark.parametrize("damage, expected", HINTS, ids=[d.__name__[1:] for d, _ in HINTS])
def test_hints(tmp_path: Path, damage: Any, expected: list[str]) -> None:
    manifest = bundle(tmp_path)
    damage(tmp_path)
    result = run("verify", manifest)
    assert result.returncode == 1
    assert [line for line in result.stdout.splitlines() if line.startswith("hint:")] == [
        line.format(root=tmp_path) for line in expected]
    # The module's messages are printed as they are; hints never appear in --json output.
    report = tm.verify_manifest(manifest)
    issues = [f"{i['code']}: {i['message']}" for i in report["errors"]]
    assert result.stdout.splitlines()[1:1 + len(issues)] == issues
    as_json = json.loads(run("verify", manifest, "--json").stdout)
    assert no_time(as_json) == no_time(report)


# ---- the tool as a shell runs it: one table of invocations ----

def _twelve_rows_one_deleted(root: Path) -> None:
    write_manifest(root / "m.json", make_fixture(root, n_vectors=12))
    rows = root / "rows.jsonl"
    rows.write_bytes(b"".join(rows.read_bytes().splitlines(keepends=True)[1:]))


def _bad_row(root: Path) -> None:
    rows = root / "rows.jsonl"
    rows.write_bytes(rows.read_bytes().replace(b'"row_id": 1,', b'"row": 1,', 1))


def _nothing(root: Path) -> None:
    pass


def _rows_inserted(root: Path) -> None:
    rows = root / "rows.jsonl"
    lines = rows.read_bytes().splitlines(keepends=True)
    rows.write_bytes(lines[0] + b"".join(lines))


def _rows_extra(root: Path) -> None:
    with open(root / "rows.jsonl", "a") as f:
        f.write(builders.row_lines(4)[3] + "\n")


def _rows_blank_middle_line(root: Path) -> None:
    rows = root / "rows.jsonl"
    lines = rows.read_bytes().splitlines(keepends=True)
    rows.write_bytes(lines[0] + b"\n" + b"".join(lines[1:]))


def _index_json(root: Path) -> None:
    (root / "index.rank_quant").write_bytes(b'{"vectors": []}')


def _manifest_linked(root: Path) -> None:
    (root / "elsewhere").mkdir()
    (root / "elsewhere" / "m.json").symlink_to(root / "m.json")


def _index_copy_outside(root: Path) -> None:
    (root.parent / f"{root.name}-copy.idx").write_bytes((root / "index.rank_quant").read_bytes())


def _manifest_bom(root: Path) -> None:
    (root / "m.json").write_bytes(b"\xef\xbb\xbf" + (root / "m.json").read_bytes())


def _known_kinds_damaged(root: Path) -> None:
    for kind, name, twin in (("rank", "short.kxr", False), ("rank", "short-twin.kxr", True),
                             ("bitmap", "short.kxbm", False), ("sign_bitmap", "short.kxsb", False)):
        data = builders.index_bytes(kind, twin=twin)
        (root / name).write_bytes(data[:-1])
    (root / "any.kxfs").write_bytes(b"KXFS" + bytes(28))
    (root / "bits64.kxrq").write_bytes(builders.index_header("rank_quant", 16, 1, bits=64))


def _one_vector(root: Path) -> None:
    builders.write_index(root / "one.kxrq", n_vectors=1)


def _odd_names(root: Path) -> None:
    (root / "a\\b").write_bytes(b"x")
    (root / "c\rd").write_bytes(b"y")


# (shell command, damage, exit status, stream, a line that must appear there; "" for an empty
# stream). {tool} runs the tool, {m} is a valid manifest with three rows in {root}.
SHELL_CASES = [
    ("{tool} verify {m} {m} -j 2", _nothing, 0, "out",
     "2 manifests: 2 verified, 0 with issues, 0 unreadable"),
    ("{tool} verify {m} {root}/none.json {m}", _append_byte, 2, "out",
     "3 manifests: 0 verified, 2 with issues, 1 unreadable"),
    ("{tool} verify {m} {root}/none.json", _nothing, 2, "out",
     "ERROR: {root}/none.json: No such file or directory"),
    ("{tool} verify {m} {root}/none.json 2>&1 | grep -c none.json", _nothing, 0, "out",
     "1"),  # said once, in the list
    ("{tool} verify {root}/none.json --json", _nothing, 2, "out",
     '  "manifest": "{root}/none.json",'),
    ("{tool} verify {root}/none.json {m} --json", _nothing, 2, "out",
     '{{"manifest": "{root}/none.json", "error": {{"type": "OSError", "message": "No such file or'
     ' directory"}}}}'),
    ("{tool} verify -q {m} {m}", _append_byte, 1, "out", ""),
    ("{tool} verify -q {root}/none.json", _nothing, 2, "err",
     "tamrel-manifest: error: {root}/none.json: No such file or directory"),
    ("{tool} inspect {m}", _manifest_bom, 2, "err", "tamrel-manifest: hint: manifest {m} starts"
     " with a byte-order mark (EF BB BF), which JSON does not allow; save it as UTF-8 without a"
     " BOM"),
    ("{tool} --version", _nothing, 0, "out", f"tamrel-manifest {tamrel_manifest.__version__}"),
    ("{tool} --version > /dev/full", _nothing, 2, "err",
     "tamrel-manifest: error: cannot write standard output: [Errno 28] No space left on device"),
    ("{tool} verify --help > /dev/full", _nothing, 2, "err",
     "tamrel-manifest: error: cannot write standard output: [Errno 28] No space left on device"),
    ("printf abc | {tool} sha256 - {root}/notes.txt", _nothing, 0, "out",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  -"),
    ("{tool} verify {m} > /dev/full", _nothing, 2, "err",
     "tamrel-manifest: error: cannot write standard output: [Errno 28] No space left on device"),
    ("{tool} sha256 {root}/rows.jsonl {root}/notes.txt | sha256sum -c", _nothing, 0, "out",
     "{root}/notes.txt: OK"),
    ("{tool} sha256 {root}/a*b {root}/c*d | sha256sum -c", _odd_names, 0, "out",
     "{root}/a\\b: OK"),  # and the name with a carriage return, escaped alike
    ("{tool} sha256 {root}/rows.jsonl {root}/none {root}/notes.txt", _nothing, 2, "err",
     "tamrel-manifest: error: {root}/none: No such file or directory"),
    ("{tool} limits", _nothing, 0, "out", "max_row_map_tracked_id_bytes          64MiB"),
    ("{tool} verify {m} --max-manifest-bytes 1KiB", _nothing, 0, "out",
     "OK: {m} verified, no issues"),
    ("{tool} verify {m} --max-row-map-tracked-id-bytes 100", _nothing, 1, "out",
     "hint: the duplicate check holds the text of every distinct db_id and stopped at"
     " --max-row-map-tracked-id-bytes 100; for 3 distinct UUIDs of 36 bytes,"
     " --max-row-map-tracked-id-bytes 108 (Python: max_row_map_tracked_id_bytes=108) admits it and"
     " costs about 135 B of memory; --allow-duplicate-db-ids skips the check"
     " (max_row_identity_tracked_db_id_bytes in the message is --max-row-map-tracked-id-bytes)"),
    ("{tool} verify {m} --max-row-map-rows 2", _nothing, 1, "out",
     "hint: the row map has more rows than --max-row-map-rows 2 allows; --max-row-map-rows 3"
     " (Python: max_row_map_rows=3) admits it (max_row_identity_rows in the message is"
     " --max-row-map-rows)"),
    ("{tool} verify {m}", _twelve_rows_one_deleted, 1, "out",
     "... and 6 more row_identity_row_id_mismatch (row-map lines 5 to 10)"),
    ("{tool} verify {m} --max-report-issues 7", _twelve_rows_one_deleted, 1, "out",
     "hint: from line 0 on every row_id is 1 more than its line: 1 line before line 0 may have"
     " been deleted"),
    ("{tool} verify {m} --max-report-issues 8", _twelve_rows_one_deleted, 1, "out",
     "hint: the report stopped at --max-report-issues 8 with 7 of the row map's 11 issues: 4"
     " more, and the issues found after them (such as the row map's digest and row count), are"
     " not shown; --max-report-issues 12 (Python: max_report_issues=12) shows every issue of the"
     " row map"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl"
     " --max-report-issues 2", _twelve_rows_one_deleted, 2, "err",
     "tamrel-manifest: hint: the report stopped at --max-report-issues 2: issues found after it"
     " (such as the row map's digest and row count) are not shown; --max-report-issues 20"
     " (Python: max_report_issues=20) shows up to 20"),
    ("{tool} verify {m} --index index.rank_quant.gz", _nothing, 1, "out",
     "hint: --index index.rank_quant.gz is resolved against the manifest's directory {root}, not"
     " the current directory ({root}/index.rank_quant.gz); give it relative to that directory, or"
     " as an absolute path with --allow-absolute-paths (and --allow-path-escape if it lies"
     " outside)"),
    ("{tool} verify {m} --index {root}-copy.idx", _index_copy_outside, 1, "out",
     "hint: --index {root}-copy.idx is outside the manifest's directory {root}: such a path needs"
     " both --allow-absolute-paths and --allow-path-escape (missing: --allow-absolute-paths and"
     " --allow-path-escape)"),
    ("{tool} verify {m} --index {root}-copy.idx --allow-absolute-paths | grep -c hint:",
     _index_copy_outside, 0, "out", "1"),  # that hint alone
    ("{tool} verify {m} --index {root}/index.rank_quant", _nothing, 1, "out",
     "hint: --index {root}/index.rank_quant is an absolute path: it needs --allow-absolute-paths,"
     " or give it relative to the manifest's directory {root}"),
    ("{tool} verify {m} --max-report-issues 18446744073709551616", _nothing, 2, "err",
     "tamrel-manifest verify: error: argument --max-report-issues: 18446744073709551616 is larger"
     " than the largest limit, 18446744073709551615"),
    ("{tool} load-plan {m}", _append_byte, 1, "out",
     "hint: artifact index.rank_quant is 1 byte longer than declared (27 bytes, manifest declares"
     " 26)"),
    ("{tool} create {root}/none {root}/o.json m --row-id-is-identity", _nothing, 2, "err",
     "tamrel-manifest: error: cannot create {root}/o.json: index {root}/none: No such file or"
     " directory"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/none", _nothing, 2,
     "err", "tamrel-manifest: error: cannot create {root}/o.json: row map {root}/none: No such"
     " file or directory"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}", _nothing, 2,
     "err", "tamrel-manifest: error: cannot create {root}/o.json: row map {root}: Is a directory"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl"
     " --aux x={root}/none", _nothing, 2, "err", "tamrel-manifest: error: cannot create"
     " {root}/o.json: auxiliary \"x\" {root}/none: No such file or directory"),
    ("{tool} create {root}/index.rank_quant {root}/notes.txt/o.json m --row-id-is-identity"
     " --allow-path-escape", _nothing, 2, "err",
     "tamrel-manifest: error: cannot create {root}/notes.txt/o.json: Not a directory"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m", _nothing, 2, "err",
     "tamrel-manifest: error: cannot create {root}/o.json: one of --row-map or"
     " --row-id-is-identity is required"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl",
     _bad_row, 2, "err", "  row_identity_jsonl_invalid_json: line 1 is not a strict row object:"
     " unknown field `row`, expected one of `row_id`, `db_id`, `parent_id` at line 1 column 6"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl",
     _twelve_rows_one_deleted, 2, "err",
     "tamrel-manifest: error: cannot create {root}/o.json: row map {root}/rows.jsonl is invalid:"
     " 11 issues"),
    ("{tool} inspect --help", _nothing, 0, "out", "  --max-manifest-bytes SIZE"),
    ("{tool} verify {m}", _rows_inserted, 1, "out",
     "hint: from line 1 on every row_id is 1 less than its line: 1 line before line 1 may have"
     " been inserted or repeated"),
    ("{tool} verify {m}", _rows_blank_middle_line, 1, "out",
     "hint: row map rows.jsonl has empty lines (1): every line must hold a row"),
    ("{tool} verify {m}", _index_json, 1, "out",
     "hint: artifact index.rank_quant starts with bytes 7b 22 76 65 63 74 6f 72 73 22 3a 20 5b 5d"
     " 7d: JSON, not an index file"),
    ("{tool} verify {root}/elsewhere/m.json", _manifest_linked, 1, "out",
     "hint: the manifest {root}/elsewhere/m.json is a symbolic link to {root}/m.json: paths"
     " resolve against the link's directory {root}/elsewhere, not the target's; name the target"
     " (readlink -f), or link the directory that holds it instead"),
    ("{tool} verify {m} --max-row-map-line-bytes 10", _nothing, 1, "out",
     "hint: a row-map line is longer than --max-row-map-line-bytes 10 allows (a row is usually"
     " under 100 bytes: is this the right file?); raise --max-row-map-line-bytes (Python:"
     " max_row_map_line_bytes=) (max_row_identity_jsonl_line_bytes in the message is"
     " --max-row-map-line-bytes)"),
    ("{tool} verify {m} --max-row-map-line-bytes 10", _nothing, 1, "out",
     "hint: the row count \"at least\" follows from the scan stopping at that limit, not from a"
     " missing or extra row"),
    ("{tool} verify {m} --max-auxiliary-artifacts 0", _nothing, 1, "out",
     "hint: there are more auxiliary artifacts than --max-auxiliary-artifacts 0; --max-auxiliary"
     "-artifacts 1 (Python: max_auxiliary_artifacts=1) admits it"),
    ("{tool} verify {m} --max-auxiliary-artifact-bytes 5", _nothing, 1, "out",
     "hint: a file is larger than --max-auxiliary-artifact-bytes 5 allows; it is read whole, so"
     " admitting it costs its size in memory; --max-auxiliary-artifact-bytes 10 (Python:"
     " max_auxiliary_artifact_bytes=10) admits it"),
    ("{tool} inspect {m} --max-manifest-bytes 10", _nothing, 2, "err",
     "tamrel-manifest: hint: a manifest is a small JSON document; --max-manifest-bytes {size}"
     " (Python: max_manifest_bytes={size}) admits it"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl",
     _rows_extra, 2, "err", "tamrel-manifest: hint: row map {root}/rows.jsonl has 4 rows, more"
     " than the index has vectors"),
    (": > {root}/empty; {tool} create {root}/empty {root}/o.json m --row-id-is-identity",
     _nothing, 2, "err", "tamrel-manifest: hint: index {root}/empty is empty"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-id-is-identity"
     " --max-auxiliary-artifacts 0 --aux a={root}/notes.txt", _nothing, 2, "err",
     "tamrel-manifest: hint: there are more auxiliary artifacts than --max-auxiliary-artifacts 0;"
     " --max-auxiliary-artifacts 1 (Python: max_auxiliary_artifacts=1) admits it"),
    ("{tool} inspect --help | grep -c -- --max-", _nothing, 0, "out", "1"),
    ("{tool} create --help", _nothing, 0, "out", "row identity (one of these is required):"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl",
     _twelve_rows_one_deleted, 2, "err",
     "tamrel-manifest: hint: from line 0 on every row_id is 1 more than its line: 1 line before"
     " line 0 may have been deleted"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-map {root}/rows.jsonl"
     " --max-row-map-tracked-id-bytes 100", _nothing, 2, "err",
     "tamrel-manifest: hint: the duplicate check holds the text of every distinct db_id and"
     " stopped at --max-row-map-tracked-id-bytes 100; for 3 distinct UUIDs of 36 bytes,"
     " --max-row-map-tracked-id-bytes 108 (Python: max_row_map_tracked_id_bytes=108) admits it"
     " and costs about 135 B of memory (max_row_identity_tracked_db_id_bytes in the message is"
     " --max-row-map-tracked-id-bytes)"),  # create has no --allow-duplicate-db-ids
    # The probe knew these kinds: its message says what is wrong, no guess at the format.
    *[("{tool} create {root}/" + name + " {root}/o.json m --row-id-is-identity 2>&1"
       " | grep -c hint:", _known_kinds_damaged, 1, "out", "0")
      for name in ("short.kxr", "short-twin.kxr", "short.kxbm", "short.kxsb", "any.kxfs")],
    ("{tool} create {root}/bits64.kxrq {root}/o.json m --row-id-is-identity",
     _known_kinds_damaged, 2, "err", "tamrel-manifest: error: cannot create {root}/o.json: index"
     " {root}/bits64.kxrq: unsupported KXRQ bits: 64 (expected 1, 2, or 4)"),
    # One usage style; every operand and value upper-case, with its help.
    ("{tool} keygen --help", _nothing, 0, "out", "usage: tamrel-manifest keygen [options] PATH"),
    ("{tool} sign --help", _nothing, 0, "out",
     "usage: tamrel-manifest sign [options] MANIFEST --key PRIVATE"),
    ("{tool} sign --help", _nothing, 0, "out", "  MANIFEST              the manifest file"),
    ("{tool} limits --help", _nothing, 0, "out", "usage: tamrel-manifest limits [options]"),
    ("{tool} --help", _nothing, 0, "out", "usage: tamrel-manifest [options] COMMAND ..."),
    # Counts take the noun's number; the program's name is said once.
    ("{tool} create {root}/one.kxrq {root}/one.json m --row-id-is-identity", _one_vector, 0,
     "out", "  index          rank_quant (2 bits), dim 16, 1 vector, 4 bytes per vector, format"
     " version 1"),
    ("{tool} create {root}/one.kxrq {root}/one.json m --row-id-is-identity", _one_vector, 0,
     "out", "row map          none: row ids are identities (1 row)"),
    ("{tool} create {root}/one.kxrq {root}/one.json m --row-id-is-identity -q && {tool} keygen"
     " {root}/k -q && {tool} sign {root}/one.json --key {root}/k | grep -o 'and 1 pinned file into'",
     _one_vector, 0, "out", "and 1 pinned file into"),
    ("{tool} keygen {root}/k -q; {tool} keygen {root}/k", _nothing, 2, "err",
     "tamrel-manifest: error: \"{root}/k\" already exists; keygen does not overwrite keys,"
     " choose another path"),
    ("{tool} keygen {root}/none/k", _nothing, 2, "err",
     "tamrel-manifest: error: {root}/none/k: No such file or directory"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-id-is-identity", _index_gzip,
     2, "err", "tamrel-manifest: error: cannot create {root}/o.json: index"
     " {root}/index.rank_quant: unknown tamrel index magic"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-id-is-identity", _index_gzip,
     2, "err", "tamrel-manifest: hint: index {root}/index.rank_quant starts with bytes 1f 8b 08 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00: a gzip file: decompress it first"),
    ("{tool} create {root}/index.rank_quant {root}/o.json m --row-id-is-identity",
     _index_lfs_pointer, 2, "err", "tamrel-manifest: hint: index {root}/index.rank_quant is a Git"
     " LFS pointer, not the file's content; fetch it (git lfs pull) and verify again"),
    ("{tool} create {root}/none {root}/new/sub/o.json m --row-id-is-identity; test ! -e"
     " {root}/new && echo gone", _nothing, 0, "out", "gone"),
]


@pytest.mark.parametrize("command, damage, status, stream, line", SHELL_CASES,
                         ids=[c[0].replace("{tool} ", "") for c in SHELL_CASES])
def test_shell_invocations(tmp_path: Path, command: str, damage: Any, status: int, stream: str,
                           line: str) -> None:
    root = tmp_path.resolve()
    manifest = bundle(root)
    damage(root)
    tool = f"{sys.executable} -m tamrel_manifest"
    values = {"tool": tool, "m": manifest, "root": root, "size": manifest.stat().st_size}
    result = subprocess.run(command.format(**values), shell=True, capture_output=True, text=True,
                            env=cli_env(), cwd=root.parent, timeout=120)
    text = result.stdout if stream == "out" else result.stderr
    assert result.returncode == status, (result.stdout, result.stderr)
    if line:
        assert line.format(**values) in text.splitlines(), text
    else:
        assert text == ""


def _bytes_read(pid: int) -> int:
    with open(f"/proc/{pid}/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def test_ctrl_c_ends_the_tool_at_once(tmp_path: Path) -> None:
    big = tmp_path / "big.bin"
    with open(big, "wb") as f:
        f.truncate(8 << 30)  # sparse: minutes of hashing, no disk
    process = subprocess.Popen(
        [sys.executable, "-m", "tamrel_manifest", "sha256", str(big)], stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, env=cli_env(),
        # A shell without job control starts its background jobs with SIGINT ignored.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Interrupt only once hashing is under way: a start-up slowed by a busy machine must not
    # meet the signal before the tool handles it.
    deadline = time.monotonic() + 60
    while _bytes_read(process.pid) < (64 << 20) and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=10)
    assert (process.returncode, out, err) == (130, b"", b"tamrel-manifest: interrupted\n")


@pytest.mark.parametrize("argv, status", [(["verify", "a.json"], 3),
                                          (["verify", "a.json", "b.json"], 3),
                                          (["load-plan", "a.json"], 3)])
def test_an_internal_failure_is_status_3(monkeypatch: pytest.MonkeyPatch, capsys: Any,
                                         argv: list[str], status: int) -> None:
    class Panic(BaseException):  # as the module's PanicException: not an Exception
        pass

    def fail(*args: Any, **kwargs: Any) -> None:
        raise Panic("invariant broken")

    monkeypatch.setattr(tm, "verify_manifest", fail)
    monkeypatch.setattr(tm, "verify_for_load", fail)
    assert cli.main(argv) == status
    assert "tamrel-manifest: internal error: a.json: Panic: invariant broken" in (
        capsys.readouterr().err.splitlines())


# ---- --json is the Python result ----

def test_json_equals_the_python_results(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    report = json.loads(run("verify", manifest, "--json").stdout)
    assert json.dumps(no_time(report)) == json.dumps(no_time(tm.verify_manifest(manifest)))

    plan = json.loads(run("load-plan", manifest, "--json").stdout)
    expected = tm.verify_for_load(manifest)
    plan["report"] = no_time(plan["report"])
    expected["report"] = no_time(expected["report"])
    assert json.dumps(plan) == json.dumps(expected)

    for args, value in [(("inspect", manifest), tm.inspect_manifest(manifest)),
                        (("sha256", manifest), tm.sha256_file(manifest)),
                        (("limits",), tm.default_resource_limits())]:
        result = run(*args, "--json")
        assert (result.returncode, result.stderr) == (0, "")
        assert json.dumps(json.loads(result.stdout)) == json.dumps(value)


@pytest.mark.smoke
def test_create_json_is_the_written_manifest(tmp_path: Path) -> None:
    bundle(tmp_path)
    out = tmp_path / "new" / "m.json"
    result = run("create", tmp_path / "index.rank_quant", out, "model-x", "--row-map",
                 tmp_path / "rows.jsonl", "--aux", f"notes={tmp_path / 'notes.txt'}",
                 "--allow-path-escape", "--json")
    assert (result.returncode, result.stderr) == (0, "")
    written = json.loads(out.read_text())
    assert json.dumps(json.loads(result.stdout)) == json.dumps(written)
    assert written["artifact"]["path"] == "../index.rank_quant"
    assert [a["name"] for a in written["auxiliary_artifacts"]] == ["notes"]
    assert run("verify", out, "--allow-path-escape").returncode == 0


# ---- exit status 2: usage errors and unreadable input ----

def python_error(call: Any) -> str:
    with pytest.raises((OSError, ValueError)) as caught:
        call()
    return str(caught.value)


def test_unreadable_and_undecodable_manifests(tmp_path: Path) -> None:
    missing = tmp_path / "missing.json"
    brace = write_manifest(tmp_path / "brace.json", "{")
    big = bundle(tmp_path)
    cases = [
        (("verify", missing), missing, lambda: tm.verify_manifest(missing)),
        (("load-plan", brace), brace, lambda: tm.verify_for_load(brace)),
        (("inspect", brace, "--json"), brace, lambda: tm.inspect_manifest(brace)),
        (("verify", big, "--max-manifest-bytes", "10"), big,
         lambda: tm.verify_manifest(big, max_manifest_bytes=10)),
        (("sha256", missing), missing, lambda: tm.sha256_file(missing)),
    ]
    for args, subject, call in cases:
        result = run(*args)
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr.splitlines()[0] == (
            f"tamrel-manifest: error: {subject}: {python_error(call)}")


def test_create_errors_name_the_output(tmp_path: Path) -> None:
    result = run("create", "i", tmp_path / "o.json", "m", "--row-map", "r",
                 "--row-id-is-identity")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"tamrel-manifest: error: cannot create {tmp_path / 'o.json'}:"
                             " use either --row-map or --row-id-is-identity, not both\n")


@pytest.mark.parametrize("args, message", [
    ([], "tamrel-manifest: error: the following arguments are required: COMMAND"),
    (["verify"], "tamrel-manifest verify: error: the following arguments are required: MANIFEST"),
    (["create", "i", "o"], "tamrel-manifest create: error: the following arguments are required:"
     " EMBEDDING-MODEL"),
    (["verify", "m", "--bogus"], "tamrel-manifest verify: error: unrecognized arguments: --bogus"),
    (["verify", "m", "--max-report-issues", "-1"],
     "tamrel-manifest verify: error: argument --max-report-issues: must not be negative: -1"),
    (["inspect", "m", "--max-manifest-bytes", "1e3"],
     "tamrel-manifest inspect: error: argument --max-manifest-bytes: not a size: '1e3' (bytes,"
     " or a whole number of KiB, MiB or GiB)"),
    (["verify", "m", "--max-row-map-rows", "1MiB"],
     "tamrel-manifest verify: error: argument --max-row-map-rows: not an integer: '1MiB'"),
    (["verify", "m", "-j", "0"], "tamrel-manifest verify: error: argument -j/--jobs: must be at"
     " least 1"),
    (["verify", "a", "b", "--index", "i"], "tamrel-manifest: error: --index applies to one"
     " manifest"),
    (["create", "i", "o", "m", "--aux", "notes"],
     "tamrel-manifest create: error: argument --aux: expected NAME=PATH, got 'notes'"),
    (["sha256", "p", "--max-manifest-bytes", "1"],
     "tamrel-manifest sha256: error: unrecognized arguments: --max-manifest-bytes 1"),
])
def test_usage_errors(args: list[str], message: str) -> None:
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: tamrel-manifest")
    assert result.stderr.splitlines()[-1] == message
    assert len(result.stderr.splitlines()) <= 4  # a short usage line, not every option


COMMANDS = ["create", "verify", "load-plan", "keygen", "sign", "verify-signature", "inspect",
            "sha256", "limits"]


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_one_usage_style(capsys: Any, command: str) -> None:
    assert cli.main([command, "--help"]) == 0
    text = capsys.readouterr().out
    usage = text.splitlines()[0]
    # [options], then the operands; --help lists the options, the usage line never does
    assert re.fullmatch(rf"usage: tamrel-manifest {command} \[options\]( [A-Z(].*)?", usage), usage
    sections = text.split("\n\n")
    positional = next((part for part in sections if part.startswith("positional arguments:")), "")
    names = re.findall(r"^  (\S+)", positional, re.M)
    assert [name for name in names if not name.isupper()] == []
    values = re.findall(r"^ +-[-\w]+(?:, --[-\w]+)? ([^\s{]\S*)", text, re.M)
    assert [value for value in values if not value.isupper()] == []


CREATE_LIMITS = [
    (["--max-row-map-tracked-id-bytes", "100"], _nothing), (["--max-row-map-rows", "2"], _nothing),
    (["--max-row-map-line-bytes", "10"], _nothing), (["--max-auxiliary-artifacts", "0"], _nothing),
    (["--max-auxiliary-artifact-bytes", "5"], _nothing),
    (["--max-report-issues", "1"], _twelve_rows_one_deleted),
]


@pytest.mark.parametrize("limit, damage", CREATE_LIMITS, ids=[c[0][0] for c in CREATE_LIMITS])
def test_create_hints_name_only_options_of_create(tmp_path: Path, capsys: Any,
                                                  limit: list[str], damage: Any) -> None:
    bundle(tmp_path)
    damage(tmp_path)
    argv = ["create", str(tmp_path / "index.rank_quant"), str(tmp_path / "o.json"), "m",
            "--row-map", str(tmp_path / "rows.jsonl"), "--aux", f"n={tmp_path / 'notes.txt'}",
            *limit]
    offered = set(re.findall(r"--[a-z][a-z-]*", run("create", "--help").stdout))
    assert cli.main(argv) == 2
    hints = [line for line in capsys.readouterr().err.splitlines() if "hint:" in line]
    named = {option for hint in hints for option in re.findall(r"--[a-z][a-z-]*", hint)}
    assert hints and named <= offered, hints


def test_a_failure_after_verification_names_the_manifest(monkeypatch: pytest.MonkeyPatch,
                                                         capsys: Any) -> None:
    from tamrel_manifest.cli import verify

    def fail(*args: Any) -> None:
        raise ValueError("the facts could not be shown")

    monkeypatch.setattr(tm, "verify_manifest", lambda *a, **k: {"ok": True})
    monkeypatch.setattr(verify, "write_report_facts", fail)
    assert cli.main(["verify", "a.json"]) == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        "tamrel-manifest: error: a.json: the facts could not be shown")


def test_an_interrupted_create_removes_only_the_directories_it_made(tmp_path: Path) -> None:
    # A valid index of 1 GiB (sparse: no disk), then a missing auxiliary artifact: the module
    # hashes for a while, then fails, and only then may its directories go.
    index = tmp_path / "big.kxr"
    with open(index, "wb") as f:
        f.write(builders.index_header("rank", 512, 1 << 20))
        f.truncate(f.tell() + (1 << 30))
    (tmp_path / "kept").mkdir()
    out = tmp_path / "kept" / "new" / "sub" / "m.json"
    process = subprocess.Popen(
        [sys.executable, "-m", "tamrel_manifest", "create", str(index), str(out), "m",
         "--row-id-is-identity", "--allow-path-escape", "--aux", f"x={tmp_path / 'none'}"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env(),
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while _bytes_read(process.pid) < (64 << 20) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert (tmp_path / "kept" / "new" / "sub").is_dir()  # made by the module as it began
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert err.decode().splitlines()[-1] == "tamrel-manifest: interrupted"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.kxr", "kept"]
    assert list((tmp_path / "kept").iterdir()) == []


def test_a_reader_that_goes_away_is_no_error(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    _append_byte(tmp_path)
    for args, status in [(("limits", "--json"), 0), (("verify", manifest), 1)]:
        process = subprocess.Popen([sys.executable, "-m", "tamrel_manifest", *map(str, args)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
        assert process.stdout is not None and process.stderr is not None
        process.stdout.close()  # before the tool writes anything
        assert (process.wait(timeout=60), process.stderr.read()) == (status, b"")
        process.stderr.close()


def test_load_plan_refused(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    _append_byte(tmp_path)
    refusal = python_error(lambda: tm.verify_for_load(manifest))
    result = run("load-plan", manifest, "--json")
    assert (result.returncode, result.stderr) == (1, "")
    assert no_time(json.loads(result.stdout)) == no_time(tm.verify_manifest(manifest))
    human = run("load-plan", manifest)
    assert (human.returncode, human.stderr) == (1, "")
    lines = human.stdout.splitlines()
    assert lines[0] == f"FAILED: {manifest}: no load plan: {refusal}"
    assert lines[1].startswith("artifact_sha256_mismatch: artifact SHA-256 was ")


# ---- every option reaches its keyword ----

LIMITS = list(LIMIT_NAMES)
VERIFY_DEFAULTS = {"index": None, "allow_absolute_paths": False, "allow_path_escape": False,
                   "allow_duplicate_db_ids": False, **dict.fromkeys(LIMITS)}
CREATE_DEFAULTS = {"row_map": None, "row_id_is_identity": False, "auxiliary_artifacts": None,
                   "allow_absolute_paths": False, "allow_path_escape": False,
                   **dict.fromkeys(LIMITS)}


def _routes() -> list[tuple[list[str], str, dict[str, Any]]]:
    routes = []
    for command, function in (("verify", "verify_manifest"), ("load-plan", "verify_for_load")):
        options: list[tuple[list[str], dict[str, Any]]] = [
            (["--index", "other.kxrq"], {"index": "other.kxrq"}),
            (["--allow-absolute-paths"], {"allow_absolute_paths": True}),
            (["--allow-path-escape"], {"allow_path_escape": True}),
            (["--allow-duplicate-db-ids"], {"allow_duplicate_db_ids": True}),
        ]
        options += [([f"--{n.replace('_', '-')}", "7"], {n: 7}) for n in LIMITS]
        routes += [([command, "m.json", *argv], function, {**VERIFY_DEFAULTS, **kw})
                   for argv, kw in options]
    # inspect reads the manifest alone: the one limit that applies is all it offers.
    routes += [(["inspect", "m.json", "--max-manifest-bytes", "0"], "inspect_manifest",
                {**dict.fromkeys(LIMITS), "max_manifest_bytes": 0})]
    create: list[tuple[list[str], dict[str, Any]]] = [
        (["--row-map", "rows.jsonl"], {"row_map": "rows.jsonl"}),
        (["--row-id-is-identity"], {"row_id_is_identity": True}),
        (["--aux", "a=x=1", "--optional-aux", "b=y", "--aux", "c=z"],
         {"auxiliary_artifacts": [{"name": "a", "path": "x=1", "required": True},
                                  {"name": "b", "path": "y", "required": False},
                                  {"name": "c", "path": "z", "required": True}]}),
        (["--allow-absolute-paths"], {"allow_absolute_paths": True}),
        (["--allow-path-escape"], {"allow_path_escape": True}),
    ]
    create += [([f"--{n.replace('_', '-')}", "18446744073709551615"], {n: 2**64 - 1})
               for n in LIMITS]
    routes += [(["create", "i.kxrq", "m.json", "model", *argv], "create_manifest",
                {**CREATE_DEFAULTS, **kw}) for argv, kw in create]
    return routes


@pytest.mark.parametrize("argv, function, expected", _routes(),
                         ids=[" ".join(r[0]) for r in _routes()])
def test_every_option_reaches_its_keyword(monkeypatch: pytest.MonkeyPatch, capsys: Any,
                                          argv: list[str], function: str,
                                          expected: dict[str, Any]) -> None:
    calls = []

    def record(*args: Any, **kwargs: Any) -> dict[str, Any]:
        calls.append((args, kwargs))
        return {"ok": True}

    monkeypatch.setattr(tm, function, record)
    assert cli.main([*argv, "--json"]) == 0
    positional = ("i.kxrq", "m.json", "model") if function == "create_manifest" else ("m.json",)
    assert calls == [(positional, expected)]


def test_limit_options_reach_the_module(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    _append_byte(tmp_path)
    result = run("verify", manifest, "--max-report-issues", "1", "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout)["errors"] == tm.verify_manifest(
        manifest, max_report_issues=1)["errors"]
    copy = tmp_path / "elsewhere.rank_quant"
    copy.write_bytes((tmp_path / "index.rank_quant").read_bytes()[:-1])
    assert run("verify", manifest, "--index", copy).returncode == 1  # absolute: refused by default
    assert run("verify", manifest, "--index", copy.name).returncode == 0


# ---- the live progress line ----

def run_on_terminal(*args: Any) -> tuple[int, str]:
    """Runs the tool with its standard streams on a pseudo-terminal; returns status and output."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "tamrel_manifest", *map(str, args)],
                               stdin=slave, stdout=slave, stderr=slave,
                               env=cli_env(TERM="xterm"), close_fds=True)
    os.close(slave)
    chunks = []
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the child closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    return process.wait(timeout=30), b"".join(chunks).decode("utf-8", "replace")


@pytest.fixture
def slow_file(tmp_path: Path) -> Path:
    # A sparse file: no disk space, but hashing it takes well over half a second.
    path = tmp_path / "big.bin"
    with open(path, "wb") as f:
        f.truncate(512 << 20)
    return path


class Clock:
    """A clock the test sets."""

    def __init__(self) -> None:
        self.now = 100.0

    def __call__(self) -> float:
        return self.now


def test_progress_line(tmp_path: Path) -> None:
    stream = io.StringIO()
    clock = Clock()
    data = tmp_path / "data.bin"
    data.write_bytes(bytes(4 << 20))
    # An interval of an hour: the drawing thread never ticks; the test ticks by hand.
    with Progress(stream, enabled=True, clock=clock, interval=3600) as progress:
        with open(data, "rb") as reading:  # opened after the call began, as the module does
            reading.seek(1 << 20)
            clock.now += 0.4
            assert not progress.tick() and stream.getvalue() == ""  # not before the delay
            clock.now += 0.3
            assert progress.tick()
            reading.seek(3 << 20)
            clock.now += 1.0
            assert progress.tick()
    # The path is shortened from the left to fit the line.
    frames = [re.sub(r"reading …?\S*data\.bin", "reading data.bin", frame)
              for frame in stream.getvalue().split("\r")]
    assert frames[1:] == [
        "0.7s  reading data.bin  1.0 MiB of 4.0 MiB\x1b[K",
        "1.7s  reading data.bin  3.0 MiB of 4.0 MiB  2.0 MiB/s\x1b[K",
        "\x1b[K",  # erased at the end
    ]


def test_progress_on_a_terminal(slow_file: Path) -> None:
    status, output = run_on_terminal("sha256", slow_file)
    assert status == 0
    # However long the hash takes here, any frame drawn is erased before the result.
    frames = re.findall(r"\r(\d+\.\ds)  reading (\S+)  ([\d.]+ (?:B|KiB|MiB)) of 512\.0 MiB"
                        r"(?:  [\d.]+ (?:B|KiB|MiB|GiB)/s)?\x1b\[K", output)
    assert {path for _, path, _ in frames} <= {str(slow_file)}
    assert all(float(elapsed[:-1]) >= 0.5 for elapsed, _, _ in frames)
    digest = tm.sha256_file(slow_file)["sha256"]
    assert output.endswith(f"{digest}  {slow_file}\r\n")
    assert ("\r\x1b[K" + digest in output) == bool(frames)


def test_no_progress_in_json_mode(slow_file: Path) -> None:
    status, output = run_on_terminal("sha256", slow_file, "--json")
    assert status == 0
    assert "reading" not in output and "\x1b" not in output
    assert json.loads(output) == tm.sha256_file(slow_file)


def test_no_progress_when_redirected(slow_file: Path) -> None:
    result = run("sha256", slow_file)
    assert (result.returncode, result.stderr) == (0, "")
    assert "\x1b" not in result.stdout
