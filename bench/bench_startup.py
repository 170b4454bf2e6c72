"""How long the command-line tool takes to start: `tamrel-manifest --version` and
`tamrel-manifest verify --help`, beside the interpreter alone, the native module alone and
`import tamrel_manifest`.

Each run is a fresh process; rounds are interleaved so that drift on a busy machine hits every
side alike; the table gives the best and the median of the rounds. The tool is run as its
console script runs it (`from tamrel_manifest.cli import main`).

`--package LABEL=DIR` (repeatable) times the package found in DIR (a directory holding
`tamrel_manifest/`, such as an export of an older commit's `python/`) beside the others, with
the module from TAMREL_TEST_BUILD or the installed one. Each package timed from a directory is
compiled to bytecode first, as pip does at installation, so that no side pays for compiling.

Usage: python bench/bench_startup.py [--rounds 7] [--package before=/tmp/old/python]
"""

from __future__ import annotations

import argparse
import compileall
import os
import statistics
import sys

from common import machine, run_timed, today

ENTRY = "import sys\nfrom tamrel_manifest.cli import main\nsys.exit(main())"
SIDES = {
    "python -c pass": ["-c", "pass"],
    "import _tamrel_manifest": ["-c", "import _tamrel_manifest"],
    "import tamrel_manifest": ["-c", "import tamrel_manifest"],
    "tamrel-manifest --version": ["-c", ENTRY, "--version"],
    "tamrel-manifest verify --help": ["-c", ENTRY, "verify", "--help"],
}
# The sides that differ between packages; the others are timed once.
PACKAGE_SIDES = ("import tamrel_manifest", "tamrel-manifest --version",
                 "tamrel-manifest verify --help")


def environment(package: str | None) -> dict[str, str]:
    env = dict(os.environ)
    paths = [os.environ.get("TAMREL_TEST_BUILD"), package, env.get("PYTHONPATH")]
    env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    return env


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--package", action="append", default=[], metavar="LABEL=DIR")
    args = ap.parse_args()
    packages: dict[str, str | None] = {"": None}
    if os.environ.get("TAMREL_TEST_BUILD"):  # the package from the source tree, as the tests
        packages[""] = os.path.join(os.path.dirname(__file__), "..", "python")
    for item in args.package:
        label, _, directory = item.partition("=")
        packages[f" [{label}]"] = directory
    for package in packages.values():
        if package is not None:
            compileall.compile_dir(os.path.join(package, "tamrel_manifest"), quiet=1)
    contenders = {}
    for label, package in packages.items():
        for side, argv in SIDES.items():
            if label and side not in PACKAGE_SIDES:
                continue
            contenders[side + label] = ([sys.executable, *argv], environment(package))
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, (cmd, env) in contenders.items():
            times[name].append(run_timed(cmd, env)[0])
    print(f"## start-up of the command-line tool, {today()}, {machine()}")
    print(f"best and median of {args.rounds} interleaved rounds, fresh processes")
    print()
    print("| command | best | median |")
    print("|---|---|---|")
    for name, runs in times.items():
        print(f"| `{name}` | {min(runs) * 1e3:.1f} ms | {statistics.median(runs) * 1e3:.1f} ms |")


if __name__ == "__main__":
    main()
