"""Writing the manifest file: the finished file replaces out in one step, a failing write leaves
an existing out as it was and no temporary file behind, and directories are made as needed."""

import json
import os
import re
import shutil
import stat
import subprocess
import sys
import threading

import pytest

import _tamrel_manifest as tm
import builders

OLD = b'{"old manifest": true}'


def inputs(tmp_path):
    index = builders.write_index(tmp_path / "idx.kxrq", "rank_quant", 16, 3, bits=2)
    rows = builders.write_row_map(tmp_path / "rows.jsonl", 3)
    return index, rows


def listing(path):
    return sorted(p.name for p in path.iterdir())


CHILD = """
import resource, signal, sys
import _tamrel_manifest as tm
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[4]), int(sys.argv[4])))
try:
    tm.create_manifest(sys.argv[1], sys.argv[2], "m", row_map=sys.argv[3])
except BaseException as e:
    print(type(e).__name__, e.args)
else:
    print("created")
"""


def run_limited(tmp_path, out, limit):
    index, rows = tmp_path / "idx.kxrq", tmp_path / "rows.jsonl"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-B", "-c", CHILD, str(index), str(out), str(rows),
                           str(limit)], env=env, capture_output=True, text=True, timeout=60,
                          check=True)
    return proc.stdout.strip()


@pytest.mark.parametrize("limit", [0, 1, 200, 500])
def test_failing_write_keeps_existing_manifest(tmp_path, limit):
    inputs(tmp_path)
    out = tmp_path / "m.json"
    out.write_bytes(OLD)
    before = listing(tmp_path)
    # The limit only bites on bytes past it, so OLD (shorter than 200) could still be rewritten
    # in place: the test proves that it is not touched at all.
    assert run_limited(tmp_path, out, limit) == "ValueError ('File too large',)"
    assert out.read_bytes() == OLD
    assert listing(tmp_path) == before


def test_failing_write_without_existing_manifest_leaves_nothing(tmp_path):
    inputs(tmp_path)
    out = tmp_path / "m.json"
    assert run_limited(tmp_path, out, 100) == "ValueError ('File too large',)"
    assert listing(tmp_path) == ["idx.kxrq", "rows.jsonl"]


def test_enough_room_writes_the_whole_manifest(tmp_path):
    inputs(tmp_path)
    out = tmp_path / "m.json"
    out.write_bytes(OLD)
    assert run_limited(tmp_path, out, 1 << 20) == "created"
    text = out.read_text()
    assert text.endswith("}") and json.loads(text)["row_identity"]["row_count"] == 3
    assert listing(tmp_path) == ["idx.kxrq", "m.json", "rows.jsonl"]


def test_existing_manifest_is_replaced(tmp_path):
    index, rows = inputs(tmp_path)
    out = tmp_path / "m.json"
    out.write_bytes(OLD * 200)  # longer than the new one: no stale tail may remain
    got = tm.create_manifest(index, out, "m", row_map=rows)
    assert out.read_bytes() == json.dumps(got, indent=2).encode()
    assert listing(tmp_path) == ["idx.kxrq", "m.json", "rows.jsonl"]


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_new_manifest_mode_honours_umask(tmp_path, umask):
    index, rows = inputs(tmp_path)
    out = tmp_path / "m.json"
    old = os.umask(umask)
    try:
        tm.create_manifest(index, out, "m", row_map=rows)
    finally:
        os.umask(old)
    assert stat.S_IMODE(out.stat().st_mode) == 0o666 & ~umask


def test_out_that_is_a_directory(tmp_path):
    index, rows = inputs(tmp_path)
    (tmp_path / "m.json").mkdir()
    with pytest.raises(OSError) as info:
        tm.create_manifest(index, tmp_path / "m.json", "m", row_map=rows)
    assert type(info.value) is OSError and info.value.args == ("Is a directory",)
    assert listing(tmp_path) == ["idx.kxrq", "m.json", "rows.jsonl"]
    assert listing(tmp_path / "m.json") == []


@pytest.mark.parametrize("out", ["blocker/m.json", "blocker/deeper/m.json"])
def test_directory_chain_blocked_by_a_file(tmp_path, out):
    index, rows = inputs(tmp_path)
    (tmp_path / "blocker").write_bytes(b"")
    with pytest.raises(OSError) as info:
        tm.create_manifest(index, tmp_path / out, "m", row_map=rows)
    assert info.value.args == ("Not a directory",)


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_unwritable_directory_keeps_existing_manifest(tmp_path):
    index, rows = inputs(tmp_path)
    d = tmp_path / "ro"
    d.mkdir()
    (d / "m.json").write_bytes(OLD)
    d.chmod(0o555)
    try:
        with pytest.raises(OSError) as info:
            tm.create_manifest(index, d / "m.json", "m", row_map=rows, allow_path_escape=True)
    finally:
        d.chmod(0o755)
    assert info.value.args == ("Permission denied",)
    assert (d / "m.json").read_bytes() == OLD and listing(d) == ["m.json"]


def test_concurrent_creations_share_a_new_directory_chain(tmp_path):
    index, rows = inputs(tmp_path)
    errors = []
    for attempt in range(5):
        chain = tmp_path.joinpath(f"r{attempt}", *"abcdefgh")
        outs = [chain / f"m{i}.json" for i in range(16)]
        barrier = threading.Barrier(len(outs))

        def one(out):
            barrier.wait()
            try:
                tm.create_manifest(index, out, "m", row_map=rows, allow_path_escape=True)
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=one, args=(o,)) for o in outs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert listing(chain) == sorted(o.name for o in outs)


@pytest.mark.parametrize("link", ["versions/m-3.json", "../elsewhere/m.json"])
def test_link_at_out_keeps_pointing_at_the_new_manifest(tmp_path, link):
    index, rows = inputs(tmp_path)
    (tmp_path / "d").mkdir()
    target = (tmp_path / "d" / link).resolve()
    target.parent.mkdir(exist_ok=True)
    target.write_bytes(OLD)
    out = tmp_path / "d" / "m.json"
    out.symlink_to(link)
    got = tm.create_manifest(index, out, "m", row_map=rows, allow_path_escape=True)
    assert out.is_symlink() and os.readlink(out) == link
    assert json.loads(target.read_text()) == got
    assert listing(target.parent) == ["m.json" if link.startswith("..") else "m-3.json"]


STRACE_CHILD = """
import sys
import _tamrel_manifest as tm
tm.create_manifest(sys.argv[1], sys.argv[2], "m", row_map=sys.argv[3], allow_path_escape=True)
"""
SYNC_CALL = re.compile(r"(?:fsync|fdatasync)\(\d+<(.*)>\) = 0")
RENAME_CALL = re.compile(r'rename(?:at2?)?\((?:AT_FDCWD, )?"(.*?)", (?:AT_FDCWD, )?"(.*?)"')


def traced_create(tmp_path, out):
    """The flushes and renames of one create_manifest call, in order, as strace saw them."""
    index, rows = tmp_path / "idx.kxrq", tmp_path / "rows.jsonl"
    log = tmp_path / "strace.log"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # strace itself must not load a sanitizer runtime meant for the traced interpreter.
    preload = env.pop("LD_PRELOAD", None)
    cmd = ["strace", "-f", "-y", "-qq", "-o", str(log),
           "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"]
    if preload:
        cmd += ["-E", f"LD_PRELOAD={preload}"]
    subprocess.run(cmd + [sys.executable, "-B", "-c", STRACE_CHILD, str(index), str(out),
                          str(rows)], env=env, capture_output=True, timeout=120, check=True)
    events = []
    for line in log.read_text().splitlines():
        if m := SYNC_CALL.search(line):
            events.append(("sync", m[1]))
        elif m := RENAME_CALL.search(line):
            events.append(("rename", m[1], m[2]))
    log.unlink()
    return events


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace not installed")
@pytest.mark.parametrize("out,written,existing", [
    ("m.json", "m.json", False),
    ("m.json", "m.json", True),
    ("new/dir/m.json", "new/dir/m.json", False),
    ("link.json", "elsewhere/m.json", True),
])
def test_manifest_is_flushed_before_the_rename_and_its_directory_after(tmp_path, out, written,
                                                                       existing):
    inputs(tmp_path)
    written_at = tmp_path / written
    if existing:
        written_at.parent.mkdir(parents=True, exist_ok=True)
        written_at.write_bytes(OLD)
    if out != written:
        (tmp_path / out).symlink_to(written_at)
    directory = os.path.realpath(written_at.parent)
    events = traced_create(tmp_path, tmp_path / out)

    renames = [e for e in events if e[0] == "rename"]
    assert len(renames) == 1, events
    _, temp, final = renames[0]
    assert os.path.dirname(os.path.realpath(temp)) == directory
    assert os.path.realpath(final) == os.path.realpath(written_at)
    at = events.index(renames[0])
    assert ("sync", os.path.realpath(temp)) in events[:at], events
    assert ("sync", directory) in events[at + 1:], events
    assert json.loads(written_at.read_text())["row_identity"]["row_count"] == 3
