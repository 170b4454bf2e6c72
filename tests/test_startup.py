"""What the tool and the package load to start: a command imports what it runs on when it runs,
so `--version` and `--help` load neither the signing module nor the installed distribution's
metadata, and an unsigned verification never loads the signing module. Every public name stays
importable, the lazy ones included. (How long start-up takes is bench/bench_startup.py's.)"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import bundle, cli_env

HEAVY = ("importlib.metadata", "tamrel_manifest.signing", "_tamrel_sign",
         "tamrel_manifest._create", "tamrel_manifest.verified", "tamrel_manifest._hints",
         "tempfile", "typing")

REPORT = ("import json, sys\n"
          "try:\n    {run}\nexcept SystemExit:\n    pass\n"
          "print(json.dumps(sorted(m for m in {heavy} if m in sys.modules)), file=sys.stderr)")
TOOL = "from tamrel_manifest.cli import main; main({argv})"


def loaded(run: str, cwd: Path | None = None) -> list[str]:
    code = REPORT.format(run=run, heavy=HEAVY)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=cli_env(), cwd=cwd, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stderr.splitlines()[-1])


@pytest.mark.parametrize("run, expected", [
    ("import tamrel_manifest", []),
    (TOOL.format(argv=["--version"]), []),
    (TOOL.format(argv=["--help"]), []),
    # the help names the signing module's default for --max-signature-bytes
    (TOOL.format(argv=["verify", "--help"]), ["_tamrel_sign", "tamrel_manifest.signing",
                                              "typing"]),
    (TOOL.format(argv=["limits"]), []),
])
def test_starting_loads_only_what_the_command_needs(run: str, expected: list[str]) -> None:
    assert loaded(run) == expected


def test_an_unsigned_verification_never_loads_the_signing_module(tmp_path: Path) -> None:
    manifest = bundle(tmp_path)
    found = loaded(TOOL.format(argv=["verify", str(manifest), "-q"]))
    assert not {"_tamrel_sign", "tamrel_manifest.signing", "importlib.metadata"} & set(found)


@pytest.mark.parametrize("name", ["PanicException", "create_manifest", "sign_manifest",
                                  "open_verified", "RowMapInvalid", "DEFAULT_MAX_SIGNATURE_BYTES",
                                  "__version__"])
def test_a_lazy_name_is_importable_first_thing(name: str) -> None:
    # In a fresh interpreter, with nothing loaded before it.
    code = f"from tamrel_manifest import {name} as value; print(repr(value))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=cli_env(), timeout=120)
    assert (result.returncode, result.stderr) == (0, "")


def test_every_public_name_resolves_to_the_packages_own() -> None:
    import _tamrel_manifest
    import tamrel_manifest

    values = {name: getattr(tamrel_manifest, name) for name in tamrel_manifest.__all__}
    assert set(tamrel_manifest.__all__) <= set(dir(tamrel_manifest))
    # the package's richer versions, not the module's
    assert values["create_manifest"] is not _tamrel_manifest.create_manifest
    assert values["verify_for_load"] is not _tamrel_manifest.verify_for_load
    assert values["PanicException"] is sys.modules["_tamrel_manifest_native"].PanicException
    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        tamrel_manifest.nothing_here  # noqa: B018


def test_the_version_is_the_distributions() -> None:
    import importlib.metadata

    import tamrel_manifest

    try:
        installed = importlib.metadata.version("tamrel-manifest")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the package is not installed here")
    assert tamrel_manifest.__version__ == installed
