"""The package's layers: each module imports only modules on floors below its own, so there is
no import circle and no arrow back up. Every import counts, those inside functions and under
TYPE_CHECKING too: a lazy import is still a dependency."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "tamrel_manifest"
NAME = PACKAGE.name

# Floors from the ground up; a module may import only from the floors below it.
FLOORS: tuple[tuple[str, ...], ...] = (
    # what every layer may use: no import of the package
    ("_limits", "_progress", "_run", "_trust", "_untrusted", "_version", "_words"),
    # the loader's own record of what it accepted, read as strictly as untrusted input
    ("_state",),
    # hints, one module a subject, then the whole
    ("_hints.files", "_hints.paths", "_hints.signatures"),
    ("_hints.rows",),
    ("_hints.limits",),
    ("_hints",),
    # the package's functions over the module's
    ("_create", "signing"),
    ("verified",),
    ("",),  # the package's face: tamrel_manifest
    # the tool: its options, its output, its commands, its entry
    ("cli.argtypes",),
    ("cli.options",),
    ("cli.output",),
    ("cli.facts",),
    ("cli.create", "cli.inspect", "cli.keys", "cli.limits", "cli.sha256", "cli.verify",
     "cli.verify_signature"),
    ("cli.load_plan", "cli.sign"),
    ("cli",),
    ("__main__",),
)
FLOOR = {module: number for number, floor in enumerate(FLOORS) for module in floor}
MAX_LINES = 500


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {module_name(path): path for path in sorted(PACKAGE.rglob("*.py"))}


def _resolved(name: str) -> str | None:
    """The package module `name` (dotted, absolute) stands for, or None outside the package."""
    if name != NAME and not name.startswith(NAME + "."):
        return None
    return name[len(NAME) + 1:]


def imports(module: str) -> set[str]:
    """The package modules `module` imports anywhere in its text."""
    found = set()
    tree = ast.parse(MODULES[module].read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            # The package writes its imports absolute; a relative one would escape this scan.
            assert node.level == 0, f"{module}: relative import at line {node.lineno}"
            base = node.module or ""
            # `from package import name` imports the submodule where there is one
            names = [f"{base}.{alias.name}" if _resolved(f"{base}.{alias.name}") in MODULES
                     else base for alias in node.names]
        else:
            continue
        found.update(m for m in map(_resolved, names) if m is not None and m != module)
    return found


def test_every_module_has_a_floor() -> None:
    assert sorted(set(MODULES) - set(FLOOR)) == []
    assert sorted(set(FLOOR) - set(MODULES)) == []


@pytest.mark.parametrize("module", sorted(MODULES), ids=lambda m: m or NAME)
def test_imports_only_go_down(module: str) -> None:
    upward = sorted(f"{target or NAME} (floor {FLOOR[target]})" for target in imports(module)
                    if FLOOR[target] >= FLOOR[module])
    assert upward == [], f"{module or NAME} is on floor {FLOOR[module]}"


def test_the_scan_sees_lazy_imports_and_submodules() -> None:
    # The checks above are only as good as the scan: an import inside a function, and a module
    # imported by name from its package, must both be seen.
    assert "signing" in imports("cli.options")
    assert {"_hints.files", "_hints.rows"} <= imports("_hints")


@pytest.mark.parametrize("module", sorted(MODULES), ids=lambda m: m or NAME)
def test_no_module_is_too_long_to_read(module: str) -> None:
    lines = MODULES[module].read_text(encoding="utf-8").count("\n")
    assert lines <= MAX_LINES
