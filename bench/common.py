"""Shared benchmark plumbing: fresh subprocesses, side-by-side rounds, machine description."""

from __future__ import annotations

import datetime
import hashlib
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

OUT = Path(__file__).resolve().parent / "out"


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{platform.machine()}, {os.cpu_count()} cores, {cpu}, Python {platform.python_version()}"


def today() -> str:
    return datetime.date.today().isoformat()


def run_timed(cmd: list[str], env: dict[str, str] | None = None) -> tuple[float, int, str]:
    """Runs cmd in a fresh process; returns (wall seconds, peak RSS KiB of the child, stdout)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if proc.returncode != 0:
            raise RuntimeError(f"{cmd} failed: {err.read().decode(errors='replace')}")
        return elapsed, usage.ru_maxrss, out.read().decode(errors="replace")


def module_envs(name: str, builds: list[str]) -> dict[str, dict[str, str]]:
    """The environment of each contender: for each LABEL=DIR in builds, one that imports the
    module built in DIR, labelled "name [LABEL]"; without builds, the module on TAMREL_TEST_BUILD
    (as the tests do) or the installed one."""

    def env_for(build: str | None) -> dict[str, str]:
        env = dict(os.environ)
        if build:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
        return env

    if not builds:
        return {name: env_for(os.environ.get("TAMREL_TEST_BUILD"))}
    return {f"{name} [{label}]": env_for(str(Path(d).resolve()))
            for label, d in (build.split("=", 1) for build in builds)}


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        while chunk := fh.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def warm(*paths: Path) -> None:
    """Reads the files once so every contender finds them in the page cache."""
    for p in paths:
        with open(p, "rb") as fh:
            while fh.read(1 << 24):
                pass


def python_cmd(code: str) -> list[str]:
    return [sys.executable, "-c", code]


def median(xs: list[float]) -> float:
    return statistics.median(xs)


def make_file(path: Path, size: int) -> Path:
    """A file of size pseudo-random bytes (written once, reused across runs)."""
    if path.exists() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    block = os.urandom(1 << 20)
    with open(path, "wb") as fh:
        left = size
        while left > 0:
            n = min(left, len(block))
            fh.write(block[:n])
            left -= n
    return path
