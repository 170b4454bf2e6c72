"""The command-line tool, run as a real process: verdicts, hints, --json, exit status, options and
the live progress line on a terminal."""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import pty
import re
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path
from typing import Any

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, sha256_of, write_manifest
from tamrel_manifest import cli

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


HINTS = [
    (_append_byte, ["hint: artifact index.rank_quant is 1 byte longer than declared (27 bytes,"
                    " manifest declares 26)"]),
    (_empty_index, ["hint: artifact index.rank_quant is empty (e3b0c442… is the SHA-256 of no"
                    " bytes)",
                    "hint: artifact index.rank_quant is 26 bytes shorter than declared (0 bytes,"
                    " manifest declares 26)"]),
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
]


@pytest.mark.parametrize("damage, expected", HINTS, ids=[d.__name__[1:] for d, _ in HINTS])
def test_hints(tmp_path: Path, damage: Any, expected: list[str]) -> None:
    manifest = bundle(tmp_path)
    damage(tmp_path)
    result = run("verify", manifest)
    assert result.returncode == 1
    assert [line for line in result.stdout.splitlines() if line.startswith("hint:")] == expected
    # The module's messages are printed as they are; hints never appear in --json output.
    report = tm.verify_manifest(manifest)
    issues = [f"{i['code']}: {i['message']}" for i in report["errors"]]
    assert result.stdout.splitlines()[1:1 + len(issues)] == issues
    as_json = json.loads(run("verify", manifest, "--json").stdout)
    assert no_time(as_json) == no_time(report)


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
        assert result.stderr == f"tamrel-manifest: error: {subject}: {python_error(call)}\n"


def test_create_errors_name_the_output(tmp_path: Path) -> None:
    result = run("create", "i", tmp_path / "o.json", "m", "--row-map", "r",
                 "--row-id-is-identity")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"tamrel-manifest: error: cannot create {tmp_path / 'o.json'}:"
                             " use either row_map or row_id_is_identity, not both\n")


@pytest.mark.parametrize("args, message", [
    ([], "tamrel-manifest: error: the following arguments are required: COMMAND"),
    (["verify"], "tamrel-manifest verify: error: the following arguments are required: manifest"),
    (["verify", "m", "--bogus"], "tamrel-manifest: error: unrecognized arguments: --bogus"),
    (["verify", "m", "--max-report-issues", "-1"],
     "tamrel-manifest verify: error: argument --max-report-issues: must not be negative: -1"),
    (["inspect", "m", "--max-manifest-bytes", "1e3"],
     "tamrel-manifest inspect: error: argument --max-manifest-bytes: not an integer: '1e3'"),
    (["create", "i", "o", "m", "--aux", "notes"],
     "tamrel-manifest create: error: argument --aux: expected NAME=PATH, got 'notes'"),
    (["sha256", "p", "--max-manifest-bytes", "1"],
     "tamrel-manifest: error: unrecognized arguments: --max-manifest-bytes 1"),
])
def test_usage_errors(args: list[str], message: str) -> None:
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: tamrel-manifest")
    assert result.stderr.splitlines()[-1] == message


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

LIMITS = [name for name, _ in cli.LIMITS]
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
    routes += [(["inspect", "m.json", f"--{n.replace('_', '-')}", "0"], "inspect_manifest",
                {**dict.fromkeys(LIMITS), n: 0}) for n in LIMITS]
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


def test_progress_line_on_a_terminal(slow_file: Path) -> None:
    status, output = run_on_terminal("sha256", slow_file)
    assert status == 0
    frames = re.findall(r"\r(\d+\.\ds)  reading (\S+)  ([\d.]+ (?:B|KiB|MiB)) of 512\.0 MiB"
                        r"(?:  [\d.]+ (?:B|KiB|MiB|GiB)/s)?\x1b\[K", output)
    assert frames, output
    assert {path for _, path, _ in frames} == {str(slow_file)}
    assert float(frames[0][0][:-1]) >= 0.5
    assert "\r\x1b[K" in output  # erased before the result
    digest = tm.sha256_file(slow_file)["sha256"]
    assert f"\r\x1b[K{digest}  {slow_file}" in output


def test_no_progress_in_json_mode(slow_file: Path) -> None:
    status, output = run_on_terminal("sha256", slow_file, "--json")
    assert status == 0
    assert "reading" not in output and "\x1b" not in output
    assert json.loads(output) == tm.sha256_file(slow_file)


def test_no_progress_when_redirected(slow_file: Path) -> None:
    result = run("sha256", slow_file)
    assert (result.returncode, result.stderr) == (0, "")
    assert "\x1b" not in result.stdout
