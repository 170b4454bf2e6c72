"""Checks a release wheel before anyone installs it: the manylinux tag auditwheel gives it, the
glibc symbol versions its modules need, no C++ runtime symbol versions (libc++ is linked in),
each extension module exporting only its own init function, the stable ABI (abi3audit), size.

Usage: python tools/check_wheel.py WHEEL...   (exit status 1 when any check fails)
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

MAX_BYTES = 3 * 1024 * 1024
# The modules each library holds: the package loads _tamrel_sign from _tamrel_manifest's file.
LIBRARY_MODULES = {"_tamrel_manifest": ("_tamrel_manifest", "_tamrel_sign")}
OBJDUMP = {"x86_64": "objdump", "aarch64": "aarch64-linux-gnu-objdump"}
TAG = re.compile(r"[-.]manylinux_(\d+)_(\d+)_(x86_64|aarch64)[.]")


def run(*cmd: str) -> str:
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def module_problems(path: Path, objdump: str, floor: tuple[int, int]) -> list[str]:
    table = run(objdump, "-T", str(path))
    problems = []
    glibc = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_(\d+\.\d+(?:\.\d+)?)", table)}
    if not glibc:
        problems.append("no versioned glibc symbol found (is this a dynamic module?)")
    elif max(glibc) > floor:
        problems.append(f"needs GLIBC_{'.'.join(map(str, max(glibc)))}, newer than the tag")
    cxx = sorted(set(re.findall(r"\b((?:GLIBCXX|CXXABI)_[\d.]+)", table)))
    if cxx:
        problems.append(f"C++ runtime symbol versions: {', '.join(cxx)}")
    # objdump -T: address, flags, section, size, version, name; defined ones have a section.
    exported = sorted(line.split()[-1] for line in table.splitlines()
                      if re.match(r"[0-9a-f]{8,} g", line) and "*UND*" not in line)
    stem = path.name.split(".")[0]
    inits = sorted("PyInit_" + name for name in LIBRARY_MODULES.get(stem, (stem,)))
    if exported != inits:
        problems.append(f"exports {exported}, expected only {inits}")
    return problems


def wheel_problems(wheel: Path) -> list[str]:
    tag = TAG.search(wheel.name)
    if not tag:
        return ["file name has no manylinux tag"]
    floor, arch = (int(tag[1]), int(tag[2])), tag[3]
    intended = f"manylinux_{floor[0]}_{floor[1]}_{arch}"
    problems = []
    shown = run("auditwheel", "show", str(wheel))
    if f'"{intended}"' not in shown:
        problems.append(f"auditwheel does not name {intended}: {' '.join(shown.split())}")
    size = wheel.stat().st_size
    if size > MAX_BYTES:
        problems.append(f"{size} bytes, over {MAX_BYTES}")
    audit = subprocess.run(["abi3audit", "--strict", "--summary", str(wheel)],
                           capture_output=True, text=True)
    if audit.returncode != 0:
        problems.append(f"abi3audit: {audit.stdout.strip()} {audit.stderr.strip()}")
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as zf:
        modules = [n for n in zf.namelist() if n.endswith(".so")]
        if not modules:
            problems.append("no extension module")
        for name in modules:
            path = Path(zf.extract(name, tmp))
            problems += [f"{name}: {p}" for p in module_problems(path, OBJDUMP[arch], floor)]
    return problems


def main(wheels: list[str]) -> int:
    missing = [t for t in ("auditwheel", "abi3audit", *OBJDUMP.values()) if not shutil.which(t)]
    if missing or not wheels:
        print(f"usage: check_wheel.py WHEEL... (needs {', '.join(missing) or 'a wheel'})")
        return 2
    failed = False
    for wheel in map(Path, wheels):
        problems = wheel_problems(wheel)
        failed |= bool(problems)
        print(f"{wheel.name}: {wheel.stat().st_size / 1e6:.2f} MB, "
              + ("FAILED" if problems else "ok"))
        for p in problems:
            print(f"  {p}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
