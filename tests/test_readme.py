"""The README's commands and Python examples, run as written against a copy of the bundled example
(`examples/`), so that what it tells a new user to type works."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import cli_env

ROOT = Path(__file__).resolve().parents[1]


def fenced(language: str) -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(rf"^```{language}\n(.*?)^```", text, re.MULTILINE | re.DOTALL)


# Blocks of the tool's own commands; those that build or install the package (make, pip) are
# what the test suite itself runs on.
SHELL = [block for block in fenced("sh") if block.startswith("tamrel-manifest ")]
PYTHON = fenced("python")


@pytest.fixture
def examples(tmp_path: Path) -> Path:
    return Path(shutil.copytree(ROOT / "examples", tmp_path / "examples"))


def tool_on_path(tmp_path: Path) -> dict[str, str]:
    # The tool as this interpreter runs it, whichever build of the module the tests use.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "tamrel-manifest"
    script.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tamrel_manifest "$@"\n')
    script.chmod(0o755)
    env = cli_env()
    env["PATH"] = f"{bin_dir}:{env.get('PATH', '')}"
    return env


def test_the_readme_has_commands_to_run() -> None:
    assert len(SHELL) >= 1 and len(PYTHON) >= 2


@pytest.mark.parametrize("block", SHELL, ids=[b.split("\n")[0][:40] for b in SHELL])
def test_shell_block(tmp_path: Path, examples: Path, block: str) -> None:
    result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], cwd=examples,
                            env=tool_on_path(tmp_path), capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("block", PYTHON, ids=[b.split("\n")[0][:40] for b in PYTHON])
def test_python_block(examples: Path, block: str) -> None:
    result = subprocess.run([sys.executable, "-c", block], cwd=examples, env=cli_env(),
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, (result.stdout, result.stderr)
