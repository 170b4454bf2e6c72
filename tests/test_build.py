"""What the built libraries ask of the system they are installed on: only the C library and its
parts, glibc symbols no newer than the wheel's manylinux tag, no export but the init functions of
the modules each holds; and the secure random source on kernels without getrandom."""

from __future__ import annotations

import errno
import hashlib
import importlib.metadata
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _tamrel_manifest as tm
import builders

MODULE = Path(tm.__file__).resolve()
# The sanitizer runtimes are shared libraries by design.
sanitized = pytest.mark.skipif(bool(os.environ.get("TAMREL_SANITIZED")),
                               reason="sanitizer builds link their runtimes")

SYSTEM_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libgcc_s.so.1",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# Before glibc 2.34 these were libraries of their own; manylinux allows them.
OLD_GLIBC_LIBRARIES = {"libpthread.so.0", "libdl.so.2", "librt.so.1"}
# What Debian's own toolchain produces; a wheel's tag states its own floor.
DEVELOPMENT_GLIBC_FLOOR = (2, 34)


def _installed_distribution() -> importlib.metadata.Distribution | None:
    """The installed wheel that MODULE came from, if it came from one."""
    try:
        dist = importlib.metadata.distribution("tamrel-manifest")
    except importlib.metadata.PackageNotFoundError:
        return None
    return dist if Path(dist.locate_file("")).resolve() == MODULE.parent else None


DIST = _installed_distribution()


def glibc_floor() -> tuple[int, int]:
    tags = re.findall(r"manylinux_(\d+)_(\d+)_", DIST.read_text("WHEEL") or "") if DIST else []
    return min((int(a), int(b)) for a, b in tags) if tags else DEVELOPMENT_GLIBC_FLOOR


def extension_modules() -> list[Path]:
    """Every extension module of the package: the wheel's own list, else the build folder's."""
    if DIST:
        return sorted(Path(DIST.locate_file(f)).resolve() for f in DIST.files or []
                      if f.name.endswith(".so"))
    return sorted(MODULE.parent.glob("_tamrel*.so"))


def tool_output(module: Path, *cmd: str) -> str:
    if shutil.which(cmd[0]) is None:
        pytest.skip(f"{cmd[0]} not installed")
    return subprocess.run([*cmd, module], capture_output=True, text=True, check=True).stdout


def libraries(module: Path) -> set[str]:
    return {os.path.basename(line.split()[0]) for line in tool_output(module, "ldd").splitlines()
            if line.strip()}


def exports(module: Path) -> set[str]:
    return {line.split()[-1]
            for line in tool_output(module, "nm", "-D", "--defined-only").splitlines()}


def glibc_versions(module: Path) -> set[tuple[int, ...]]:
    found = re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", tool_output(module, "objdump", "-T"))
    return {tuple(map(int, v.split("."))) for v in found}


# The modules each library holds; the package loads _tamrel_sign from _tamrel_manifest's file.
LIBRARY_MODULES = {"_tamrel_manifest": ("_tamrel_manifest", "_tamrel_sign")}


def library_inits(module: Path) -> set[str]:
    stem = module.name.split(".")[0]
    return {"PyInit_" + name for name in LIBRARY_MODULES.get(stem, (stem,))}


def libraries_allowed(found: set[str], module: Path) -> bool:
    allowed = SYSTEM_LIBRARIES | (OLD_GLIBC_LIBRARIES if glibc_floor() < (2, 34) else set())
    return found <= allowed


@sanitized
@pytest.mark.parametrize("module", extension_modules(), ids=lambda p: p.name.split(".")[0])
@pytest.mark.parametrize("probe,allowed", [
    (libraries, libraries_allowed),
    (exports, lambda found, module: found == library_inits(module)),
    (glibc_versions, lambda found, module: found and max(found) <= glibc_floor()),
], ids=["shared libraries", "exported symbols", "glibc floor"])
def test_module_needs_nothing_beyond_the_platform(probe, allowed, module):
    found = probe(module)
    assert allowed(found, module), sorted(found)


def test_the_package_has_its_module():
    assert MODULE in extension_modules()


# ---- kernels without getrandom (before 3.17): a seccomp filter makes the call fail ----

GETRANDOM = {"x86_64": 318, "aarch64": 278}
CHILD = """
import ctypes, os, sys
nr, err, index, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
# ld syscall number; if getrandom return ERRNO(err), else allow
code = [(0x20, 0, 0, 0), (0x15, 0, 1, nr), (0x06, 0, 0, 0x00050000 | err), (0x06, 0, 0, 0x7fff0000)]
class Filter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                ("k", ctypes.c_uint32)]
class Prog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Filter))]
insns = (Filter * len(code))(*[Filter(*c) for c in code])
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.byref(Prog(len(code), insns)), 0, 0) == 0  # SECCOMP_MODE_FILTER
try:
    os.getrandom(1)
except OSError as exc:
    print("getrandom:", exc.strerror)
import _tamrel_manifest as tm
try:
    ids = {tm.create_manifest(index, out + str(i), "m", row_id_is_identity=True)["manifest_id"]
           for i in range(2)}
    print("created", len(ids), "ids")
except BaseException as exc:
    print(type(exc).__name__ + ":", exc)
"""


@pytest.mark.skipif(platform.machine() not in GETRANDOM or not hasattr(os, "getrandom"),
                    reason="getrandom number not known here")
@pytest.mark.parametrize("err,outcome", [
    (errno.ENOSYS, "created 2 ids"),  # /dev/urandom instead
    (errno.EPERM, "PanicException: the secure random source failed: Operation not permitted"),
], ids=["ENOSYS", "EPERM"])
def test_secure_random_without_getrandom(tmp_path, err, outcome):
    builders.make_fixture(tmp_path, "rank_quant", 3, row_map=False)
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(GETRANDOM[platform.machine()]), str(err),
         str(tmp_path / "index.rank_quant"), str(tmp_path / "m")],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.stdout.splitlines() == [f"getrandom: {os.strerror(err)}", outcome], child.stderr


def test_a_host_openssl_configuration_is_not_read(tmp_path):
    # Loaded, this configuration would leave no SHA-256 to fetch (there is no FIPS provider).
    conf = tmp_path / "openssl.cnf"
    conf.write_text("openssl_conf = init\n[init]\nalg_section = algs\n"
                    "[algs]\ndefault_properties = fips=yes\n")
    f = tmp_path / "f"
    f.write_bytes(b"abc")
    child = subprocess.run(
        [sys.executable, "-c", "import _tamrel_manifest as tm, sys; "
         "print(tm.sha256_file(sys.argv[1])['sha256'])", str(f)],
        capture_output=True, text=True,
        env={**os.environ, "OPENSSL_CONF": str(conf), "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.stdout.split() == [hashlib.sha256(b"abc").hexdigest()], child.stderr
