"""The README's commands and Python examples, run as written against a copy of the bundled example
(`examples/`), so that what it tells a new user to type works."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import builders
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


README = (ROOT / "README.md").read_text(encoding="utf-8")


def test_the_readme_opens_with_the_set_up() -> None:
    first = README.split("```", 2)[1]
    assert [line.split()[:2] for line in first.strip().splitlines()] == [
        ["make", "run"], ["make", "test"]]


def test_the_list_of_issue_codes_is_current() -> None:
    if not (ROOT / "tools" / "gen_issue_codes.py").is_file():
        pytest.skip("needs the source tree (its catalogues and tools/)")
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import gen_issue_codes
    finally:
        sys.path.pop(0)
    assert gen_issue_codes.readme_with_section(README) == README, (
        "run tools/gen_issue_codes.py")


LAYOUT = re.compile(r"^\| \w+ \(`(K[XY]\w\w)`, `(K[XY]\w\w)`\) \| .* \| (\d+) bytes \|", re.M)


def test_the_byte_layouts_are_those_the_module_reads() -> None:
    rows = {magic: int(size) for magic, twin, size in LAYOUT.findall(README)}
    kinds = {magics[0].decode(): kind for kind, magics in builders.KINDS.items()}
    assert sorted(rows) == sorted(kinds)
    for magic, size in rows.items():
        dim = builders.DEFAULT_SHAPES[kinds[magic]][0]
        assert len(builders.index_header(kinds[magic], dim, 1)) == size, magic
    shown = re.search(r"index, for instance, starts `([0-9a-f ]+)`", README)
    assert shown is not None
    example = (ROOT / "examples" / "data" / "index.kxrq").read_bytes()
    assert example.startswith(bytes.fromhex(shown.group(1)))


def test_the_signing_table_names_every_keyword() -> None:
    import inspect

    from tamrel_manifest import signing, verified

    for function in (signing.generate_key, signing.sign_manifest, signing.verify_signed_manifest,
                     signing.verify_signature, verified.open_verified):
        table = README.split("Every keyword of the signing functions", 1)[1]
        row = next((line for line in table.splitlines()
                    if line.startswith(f"| `{function.__name__}(")), None)
        assert row is not None, f"README has no row for {function.__name__}"
        cell = row.split("`")[1]
        for name, parameter in inspect.signature(function).parameters.items():
            if parameter.kind is inspect.Parameter.VAR_KEYWORD:
                continue
            assert f"{name}=" in cell or f"{name}," in cell or f"({name}" in cell, (
                f"{function.__name__}'s row in README lacks {name}")
