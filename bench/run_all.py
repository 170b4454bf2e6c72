"""Runs every benchmark in turn with its default sizes and prints their reports.

Usage: python bench/run_all.py [NAME ...]   (names without the bench_ prefix, e.g. sha256 codec)
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    wanted = set(sys.argv[1:])
    failed = 0
    for script in sorted(HERE.glob("bench_*.py")):
        name = script.stem.removeprefix("bench_")
        if wanted and name not in wanted:
            continue
        print(f"\n### {name}", flush=True)
        failed += subprocess.run([sys.executable, str(script)], cwd=HERE).returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
