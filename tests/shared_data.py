"""Where the test data shared with the repository's neighbours lives: ../shared/testdata beside
the repository, as CI lays it out, or beside the checkout a git worktree of it belongs to. A run
that must test against it (CI, `make test`) fails the tests that need it where it is absent,
instead of skipping them unseen."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
REQUIRED = (os.environ.get("CI", "").lower() in ("true", "1")
            or os.environ.get("TAMREL_REQUIRE_INTEROP") == "1")


def _beside() -> list[Path]:
    """The directories the shared folder may stand in: the repository's parent, and for a
    worktree ("gitdir: MAIN/.git/worktrees/NAME" in its .git file) the main checkout's."""
    places = [ROOT.parent]
    git = ROOT / ".git"
    if git.is_file():
        text = git.read_text(encoding="utf-8", errors="replace")
        if text.startswith("gitdir:"):
            gitdir = Path(text[len("gitdir:"):].strip())
            if not gitdir.is_absolute():
                gitdir = (ROOT / gitdir).resolve()
            if gitdir.parent.name == "worktrees":
                places.append(gitdir.parents[2].parent)
    return places


def shared_testdata(name: str) -> Path:
    """The shared test data folder `name`: the first place that holds it, else where CI puts
    it (so that a message names the expected path)."""
    candidates = [place / "shared" / "testdata" / name for place in _beside()]
    return next((path for path in candidates if path.is_dir()), candidates[0])


def needs(folder: Path) -> pytest.MarkDecorator:
    """Skips where `folder` is absent, except in a run that requires it."""
    return pytest.mark.skipif(not folder.is_dir() and not REQUIRED,
                              reason=f"shared test data absent: {folder}")
