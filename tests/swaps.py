"""A directory swapped for a link while the module checks and opens the files under it, and the
module run where openat2(2) is refused, so that its component walk opens them instead.

Used by test_checked_open.py and bench/bench_swap_race.py."""

from __future__ import annotations

import ctypes
import errno
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

from builders import make_fixture, sha256_of, write_index, write_manifest

# How the module opens: "openat2" as the kernel offers it, "walk" where a seccomp filter makes
# openat2 fail with ENOSYS, as an old kernel or a container's filter does.
MODES = {"openat2": None, "walk": errno.ENOSYS}
SYS_OPENAT2 = 437  # the same number on every architecture


def refuse_openat2(err: int) -> None:
    """Installs, in the calling process, a seccomp filter under which openat2 fails with err."""
    libc = ctypes.CDLL(None, use_errno=True)
    prog = b"".join(struct.pack("HBBI", *insn) for insn in (
        (0x20, 0, 0, 0),                    # load the system call number
        (0x15, 0, 1, SYS_OPENAT2),          # openat2?
        (0x06, 0, 0, 0x00050000 | err),     # then fail with err
        (0x06, 0, 0, 0x7FFF0000),           # else allow
    ))
    code = ctypes.create_string_buffer(prog)
    fprog = struct.pack("HxxxxxxP", len(prog) // 8, ctypes.addressof(code))
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, fprog, 0, 0) != 0:  # no new privs
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def run_child(mode: str, code: str, *args, env: dict | None = None, timeout: float = 120):
    """Runs code in a fresh interpreter in the given mode and returns what it prints as JSON."""
    err = MODES[mode]
    out = subprocess.run(
        [sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
        timeout=timeout, preexec_fn=None if err is None else (lambda: refuse_openat2(err)),
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **(env or {})})
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout)


# One call of a module function; its result, or the exception's type and text.
ONE_CALL = """
import json, sys, _tamrel_manifest as tm
try:
    print(json.dumps({"result": getattr(tm, sys.argv[1])(**json.loads(sys.argv[2]))}))
except (OSError, ValueError) as e:
    print(json.dumps({"error": [type(e).__name__, str(e)]}))
"""

# verify_manifest again and again for a while; each report counted by what it shows. The outside
# index betrays a read by its digest (the hash) or its vector count (the header probe).
VERIFY_LOOP = """
import json, sys, time, _tamrel_manifest as tm
manifest, seconds, outside_path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
outside, outside_vectors, kwargs = sys.argv[4], int(sys.argv[5]), json.loads(sys.argv[6])
counts = {}
end = time.monotonic() + seconds
while time.monotonic() < end:
    report = tm.verify_manifest(manifest, **kwargs)
    artifact = report["artifact"]
    probed = (artifact.get("metadata") or {}).get("vector_count")
    if artifact.get("sha256") == outside or probed == outside_vectors:
        # Read where the report says it was read is what escaping allows; anything else is not.
        named = artifact.get("canonical_path") == outside_path
        key = "outside file, named" if named else "outside file under an inside name"
    else:
        key = "ok" if report["ok"] else report["errors"][0]["code"]
    counts[key] = counts.get(key, 0) + 1
print(json.dumps(counts))
"""

SWAPPER = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
a, b = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])
while True:
    libc.renameat2(-100, a, -100, b, 2)
"""


class SwapTree:
    """root/base/m.json names d/index.rank_quant (base/e holds a copy of d); root/outside/d holds
    another valid index of the same name, whose digest betrays any read of it."""

    def __init__(self, tmp: Path):
        self.root = tmp.resolve()
        self.base = self.root / "base"
        self.manifest = make_fixture(self.base / "d", row_map=False)
        self.manifest["artifact"]["path"] = "d/index.rank_quant"
        self.path = write_manifest(self.base / "m.json", self.manifest)
        shutil.copytree(self.base / "d", self.base / "e")
        (self.base / "d" / "marker").touch()
        self.outside_index = self.root / "outside" / "d" / "index.rank_quant"
        self.outside_vectors = 4
        write_index(self.outside_index, "rank_quant", n_vectors=self.outside_vectors)
        self.outside = sha256_of(self.outside_index)
        self.checked = self.base / "d" / "index.rank_quant"

    def swapped(self) -> bool:
        """Whether base/d was exchanged (the marker stays behind in the real directory)."""
        return not (self.base / "d" / "marker").exists()

    def race(self, mode: str, seconds: float, env: dict | None = None, **kwargs) -> dict[str, int]:
        """verify_manifest (with kwargs) in a loop while another process exchanges base/d with
        base/l, a link to the outside directory; env adds to the verifying child's."""
        if not (self.base / "l").is_symlink():
            os.symlink(self.outside_index.parent, self.base / "l")
        swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, self.base / "d",
                                    self.base / "l"])
        try:
            return run_child(mode, VERIFY_LOOP, self.path, seconds, self.outside_index,
                             self.outside, self.outside_vectors, json.dumps(kwargs), env=env,
                             timeout=seconds + 120)
        finally:
            swapper.kill()
            swapper.wait()
