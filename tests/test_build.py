"""What the built modules ask of the system they are installed on: only the C library, libm,
libgcc_s and the loader; glibc symbols no newer than the wheel's manylinux tag; one export."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import pytest

import _tamrel_manifest
import _tamrel_sign

MODULES = {"_tamrel_manifest": _tamrel_manifest.__file__, "_tamrel_sign": _tamrel_sign.__file__}
# The sanitizer runtimes are shared libraries by design.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TAMREL_SANITIZED")),
                                reason="sanitizer builds link their runtimes")

SYSTEM_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libgcc_s.so.1",
                    "ld-linux-x86-64.so.2"}
GLIBC_FLOOR = (2, 34)


def tool_output(module: str, *cmd: str) -> str:
    if shutil.which(cmd[0]) is None:
        pytest.skip(f"{cmd[0]} not installed")
    return subprocess.run([*cmd, MODULES[module]], capture_output=True, text=True,
                          check=True).stdout


def libraries(module: str) -> set[str]:
    return {os.path.basename(line.split()[0]) for line in tool_output(module, "ldd").splitlines()
            if line.strip()}


def exports(module: str) -> set[str]:
    return {line.split()[-1]
            for line in tool_output(module, "nm", "-D", "--defined-only").splitlines()}


def glibc_versions(module: str) -> set[tuple[int, ...]]:
    found = re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", tool_output(module, "objdump", "-T"))
    return {tuple(map(int, v.split("."))) for v in found}


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("probe,allowed", [
    (libraries, lambda found, module: found <= SYSTEM_LIBRARIES),
    (exports, lambda found, module: found == {f"PyInit_{module}"}),
    (glibc_versions, lambda found, module: found and max(found) <= GLIBC_FLOOR),
], ids=["shared libraries", "exported symbols", "glibc floor"])
def test_module_needs_nothing_beyond_the_platform(probe, allowed, module):
    found = probe(module)
    assert allowed(found, module), sorted(found)
