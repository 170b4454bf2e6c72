"""What the module promises every caller, whatever the input: its import registers nothing, none
of its six functions starts a thread, and no call leaves anything behind for the next one.

Each check runs in a child interpreter, so that what the test process did before cannot hide or
fake what a fresh caller sees."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import _tamrel_manifest as tm
from builders import write_large_bundle

HERE = Path(__file__).resolve().parent
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE), *sys.path])}


def child(code: str, *args: str, env: dict[str, str] | None = None,
          timeout: float = 600) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=ENV if env is None else env, timeout=timeout)


def stable(value):
    """Drops what differs between two calls by design: times and fresh identifiers."""
    if isinstance(value, dict):
        return {k: stable(v) for k, v in value.items()
                if k not in ("checked_at", "created_at", "manifest_id", "invocation_id")}
    if isinstance(value, list):
        return [stable(v) for v in value]
    return value


# ---- nothing registered at import ----

EXEC_ONLY = """
import importlib.util, sys
found = importlib.util.find_spec("_tamrel_manifest")
before = set(sys.modules)
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
print(sorted(set(sys.modules) - before))
"""


@pytest.mark.smoke
@pytest.mark.parametrize("code, expected", [
    (EXEC_ONLY, "[]"),
    ("import sys; before = set(sys.modules); import _tamrel_manifest; "
     "print(sorted(set(sys.modules) - before))", "['_tamrel_manifest']"),
], ids=["exec", "import"])
def test_import_registers_no_module(code, expected):
    out = child(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == expected


# ---- no thread, on inputs that take every path ----

# A seccomp filter, installed by the child itself, that kills the process the moment anything in
# it creates a thread (clone with CLONE_THREAD, or clone3, whose flags a filter cannot read).
# Unlike sampling the thread count, it cannot miss a thread that lived for a microsecond.
NO_THREADS = r"""
import ctypes, platform, struct, sys
ARCH = {"x86_64": (0xC000003E, 56), "aarch64": (0xC00000B7, 220)}[platform.machine()]
CLONE3, CLONE_THREAD = 435, 0x00010000
LD, JEQ, JSET, RET = 0x20, 0x15, 0x45, 0x06
ALLOW, KILL = 0x7FFF0000, 0x80000000
program = [
    (LD, 0, 0, 4), (JEQ, 0, 5, ARCH[0]),       # another ABI: not ours to judge
    (LD, 0, 0, 0), (JEQ, 4, 0, CLONE3), (JEQ, 0, 2, ARCH[1]),
    (LD, 0, 0, 16), (JSET, 1, 0, CLONE_THREAD),  # clone's flags, low word
    (RET, 0, 0, ALLOW), (RET, 0, 0, KILL),
]
code = b"".join(struct.pack("HBBI", *op) for op in program)
buffer = ctypes.create_string_buffer(code)
class Prog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
prog = Prog(len(program), ctypes.addressof(buffer))
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0                      # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.byref(prog), 0, 0) == 0     # PR_SET_SECCOMP, filter
import threading, _tamrel_manifest as tm
exec(sys.argv[1])
print("no thread")
"""

BUNDLES = {"small": (200, 0), "large": (200_000, 64)}  # rows, index MiB


@pytest.fixture(scope="module")
def bundles(tmp_path_factory):
    made = {}
    for name, (rows, mib) in BUNDLES.items():
        root = tmp_path_factory.mktemp(name)
        index, row_map = write_large_bundle(root, rows, index_mib=mib)
        manifest = root / "m.json"
        tm.create_manifest(index, manifest, "m", row_map=row_map)
        made[name] = (index, row_map, manifest)
    return made


@pytest.mark.skipif(sys.platform != "linux", reason="seccomp is Linux's")
def test_the_thread_guard_kills_a_thread():
    out = child(NO_THREADS, "threading.Thread(target=int).start()")
    assert out.returncode == -signal.SIGSYS, (out.returncode, out.stderr)


CALLS = {
    "default_resource_limits": "tm.default_resource_limits()",
    "sha256_file": "tm.sha256_file({index!r})",
    "inspect_manifest": "tm.inspect_manifest({manifest!r})",
    "verify_manifest": "assert tm.verify_manifest({manifest!r})['ok']",
    "verify_manifest, duplicates allowed":
        "assert tm.verify_manifest({manifest!r}, allow_duplicate_db_ids=True)['ok']",
    "verify_for_load": "tm.verify_for_load({manifest!r})",
    "create_manifest": "tm.create_manifest({index!r}, {out!r}, 'm', row_map={row_map!r})",
}


@pytest.mark.skipif(sys.platform != "linux", reason="seccomp is Linux's")
@pytest.mark.parametrize("size", list(BUNDLES))
@pytest.mark.parametrize("call", list(CALLS))
def test_no_function_starts_a_thread(bundles, call, size):
    index, row_map, manifest = bundles[size]
    code = CALLS[call].format(index=str(index), row_map=str(row_map), manifest=str(manifest),
                              out=str(manifest.parent / "again.json"))
    out = child(NO_THREADS, code)
    assert out.returncode == 0, f"{call} on the {size} bundle: exit {out.returncode} {out.stderr}"
    assert out.stdout.strip() == "no thread"


# ---- no state between calls ----

# Limits and flags that change what a call of the same manifest reports.
OPTION_SETS = [
    {},
    {"max_report_issues": 3},
    {"allow_duplicate_db_ids": True},
    {"max_row_map_tracked_id_bytes": 700},
    {"max_row_map_line_bytes": 40},
]

CALLS_IN_ORDER = """
import json, sys, _tamrel_manifest as tm
manifest = sys.argv[1]
results = []
for options in json.loads(sys.argv[2]):
    results.append(tm.verify_manifest(manifest, **options))
    try:
        results.append(tm.verify_for_load(manifest, **options))
    except ValueError as exc:
        results.append(str(exc))
print(json.dumps(results))
"""


def test_no_call_leaves_state_for_the_next(tmp_path):
    index, row_map = write_large_bundle(tmp_path, 2_000)
    manifest = tmp_path / "m.json"
    tm.create_manifest(index, manifest, "m", row_map=row_map)
    # Every tenth row repeats the db_id of the row before it: issues that each option changes.
    def db_id(i):
        return f"{i:08x}-0000-4000-8000-{i:012x}"
    lines = row_map.read_text().splitlines(keepends=True)
    for i in range(10, len(lines), 10):
        lines[i] = lines[i].replace(db_id(i), db_id(i - 1))
    row_map.write_text("".join(lines))

    def run(sets):
        out = child(CALLS_IN_ORDER, str(manifest), json.dumps(sets))
        assert out.returncode == 0, out.stderr
        return [stable(r) for r in json.loads(out.stdout)]

    alone = [run([options]) for options in OPTION_SETS]
    assert len({json.dumps(a) for a in alone}) == len(OPTION_SETS)  # each set changes the result
    forward = run(OPTION_SETS)
    backward = run(OPTION_SETS[::-1])
    assert [forward[2 * i:2 * i + 2] for i in range(len(OPTION_SETS))] == alone
    assert [backward[2 * i:2 * i + 2] for i in range(len(OPTION_SETS))] == alone[::-1]


# ---- PanicException: one class, made when first needed ----

PANIC_FIRST = """
import sys, _tamrel_manifest as tm
assert "_tamrel_manifest_native" not in sys.modules
try:
    tm.sha256_file(sys.argv[1])
except BaseException as exc:
    raised = type(exc)
else:
    print("no hooks"); sys.exit()
import tamrel_manifest
assert raised is sys.modules["_tamrel_manifest_native"].PanicException
assert raised is tamrel_manifest.PanicException
print(raised.__module__, raised.__name__)
"""

SIGNING_FIRST = """
import sys, tamrel_manifest, _tamrel_manifest as tm
made = tamrel_manifest.PanicException
try:
    tm.sha256_file(sys.argv[1])
except BaseException as exc:
    raised = type(exc)
else:
    print("no hooks"); sys.exit()
assert raised is made
print(raised.__module__, raised.__name__)
"""


@pytest.mark.parametrize("code", [PANIC_FIRST, SIGNING_FIRST], ids=["panic first",
                                                                    "signing module first"])
def test_one_panic_class_whoever_makes_it(tmp_path, code):
    (tmp_path / "f").write_bytes(b"")
    out = child(code, str(tmp_path / "f"), env={**ENV, "TAMREL_TEST_PANIC": "1"})
    assert out.returncode == 0, out.stderr
    if out.stdout.strip() == "no hooks":
        pytest.skip("this build has no test hooks")
    assert out.stdout.strip() == "_tamrel_manifest_native PanicException"


PLANTED = """
import sys, types
holder = types.ModuleType("_tamrel_manifest_native")
holder.PanicException = int
sys.modules["_tamrel_manifest_native"] = holder
import _tamrel_manifest as tm
if sys.argv[2] == "signing":
    try:
        import tamrel_manifest.signing  # the package loads the signing module when asked
    except TypeError as exc:
        print(exc); sys.exit()
    print("imported")
else:
    try:
        tm.sha256_file(sys.argv[1])
    except BaseException as exc:
        print("raised", type(exc).__name__, exc)
"""


@pytest.mark.parametrize("who, expected", [
    ("signing", "_tamrel_manifest_native.PanicException is not an exception class"),
    ("panic", None),
])
def test_a_planted_panic_class_is_never_raised(tmp_path, who, expected):
    (tmp_path / "f").write_bytes(b"")
    out = child(PLANTED, str(tmp_path / "f"), who, env={**ENV, "TAMREL_TEST_PANIC": "1"})
    if who == "signing":
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == expected
    elif out.returncode == 0:  # a build without the hooks: the digest went through
        assert out.stdout.strip() == "", out.stdout
        pytest.skip("this build has no test hooks")
    else:
        assert out.returncode == -signal.SIGABRT, out.stderr
        assert "uncaught panic at ffi boundary" in out.stderr
