"""The file opened is the file the path check resolved: base/d swapped between the check and the
open (a test hook makes the swap land exactly there) for the links of openat2's own attack tree,
and swapped in a loop by another process; each under openat2(2) and under the component walk
that replaces it where openat2 is refused."""

from __future__ import annotations

import json
import os

import pytest

from swaps import MODES, ONE_CALL, SwapTree, run_child

FILE_REPLACED = "file was replaced between its path check and its open"
LOOP = "Too many levels of symbolic links"
ESC = {"allow_path_escape": True}

# (case, the link that takes base/d's place: its target and the further links it goes through
# ("{root}", "{base}" filled in); flags; outcome). Links out, or absolute at all, are refused as
# escapes; relative links that stay inside are followed. With escaping allowed no link is
# followed, and a different file in the checked place is refused.
SWAPS = [
    ("absolute link out", "{root}/outside/d", {}, {}, "escape"),
    ("relative link out", "../outside/d", {}, {}, "escape"),
    ("'..' far above the root", "../../../../../../../../../../../..{root}/outside/d", {}, {},
     "escape"),
    ("absolute link with '..' above the root", "/../../..{root}/outside/d", {}, {}, "escape"),
    ("chain ending in an absolute link", "c1", {"c1": "c2", "c2": "{root}/outside/d"}, {},
     "escape"),
    ("chain of relative links out", "c1", {"c1": "../outside/d"}, {}, "escape"),
    ("magic link /proc/self/root", "/proc/self/root{root}/outside/d", {}, {}, "escape"),
    ("magic link /proc/self/cwd back inside", "/proc/self/cwd/e", {}, {}, "escape"),
    ("out and back in", "../base/e", {}, {}, "escape"),
    ("trailing slash, out", "{root}/outside/d/", {}, {}, "escape"),
    ("absolute link back inside", "{base}/e", {}, {}, "escape"),
    ("relative link inside", "e", {}, {}, "inside"),
    ("trailing slash, inside", "e/", {}, {}, "inside"),
    ("'..' that stays inside", "e/../e", {}, {}, "inside"),
    ("chain of links inside", "c1", {"c1": "c2/", "c2": "e"}, {}, "inside"),
    ("link out, escaping allowed", "{root}/outside/d", {}, ESC, "no link"),
    ("link inside, escaping allowed", "e", {}, ESC, "no link"),
    ("another directory, escaping allowed", None, {}, ESC, "replaced"),
]


def pairs(report):
    return [(e["code"], e["message"]) for e in report["errors"]]


def expected(outcome, tree):
    if outcome == "escape":
        return [("artifact_path_escape_rejected",
                 f"canonical path {tree.checked} is outside manifest base {tree.base}")]
    if outcome == "inside":
        return []
    text = LOOP if outcome == "no link" else FILE_REPLACED
    return [("artifact_hash_failed", f"failed to hash artifact: {text}"),
            ("artifact_probe_failed", f"failed to probe artifact metadata: {text}")]


def swap_in(tree, target, links):
    """Puts the case's link (or, for None, a directory holding the outside index) at base/swap."""
    fill = {"root": tree.root, "base": tree.base}
    for name, to in links.items():
        os.symlink(to.format(**fill), tree.base / name)
    if target is None:
        (tree.base / "swap").mkdir()
        (tree.base / "swap" / "index.rank_quant").write_bytes(tree.outside_index.read_bytes())
    else:
        os.symlink(target.format(**fill), tree.base / "swap")
    return {"TAMREL_TEST_SWAP": f"{tree.base / 'd'}\n{tree.base / 'swap'}"}


def call(mode, name, env, **kwargs):
    return run_child(mode, ONE_CALL, name, json.dumps(kwargs), env=env)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("case, target, links, flags, outcome", SWAPS, ids=[c[0] for c in SWAPS])
def test_swap_between_check_and_open(tmp_path, mode, case, target, links, flags, outcome):
    tree = SwapTree(tmp_path)
    env = swap_in(tree, target, links)
    out = call(mode, "verify_manifest", env, manifest=str(tree.path), **flags)
    if not tree.swapped():
        pytest.skip("this build has no test hooks")
    report = out["result"]
    assert pairs(report) == expected(outcome, tree)
    assert (report["artifact"]["canonical_path"] is None) == (outcome == "escape")
    assert report["artifact"].get("sha256") != tree.outside


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("flags, error", [
    ({}, ["ValueError", "artifact path {checked} is outside manifest directory {base}; use "
          "--allow-path-escape to create a manifest that requires non-default verification "
          "policy"]),
    (ESC, ["OSError", LOOP]),
])
def test_creation_swap_between_check_and_open(tmp_path, mode, flags, error):
    tree = SwapTree(tmp_path)
    env = swap_in(tree, "{root}/outside/d", {})
    out = call(mode, "create_manifest", env, index=str(tree.checked),
               out=str(tree.base / "new.json"), embedding_model="m", row_id_is_identity=True,
               **flags)
    if not tree.swapped():
        pytest.skip("this build has no test hooks")
    assert out == {"error": [error[0], error[1].format(checked=tree.checked, base=tree.base)]}
    assert not (tree.base / "new.json").exists()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("flags", [{}, ESC], ids=["contained", "escaping allowed"])
def test_swap_loop_reads_nothing_outside(tmp_path, mode, flags):
    tree = SwapTree(tmp_path)
    counts = tree.race(mode, 1.5, **flags)
    assert "outside file under an inside name" not in counts, counts
    # Both sides of the swap were met: the loop raced.
    assert counts.get("ok", 0) > 0 and sum(counts.values()) > counts["ok"], counts
    allowed = {"ok", "outside file, named", "artifact_path_escape_rejected",
               "artifact_hash_failed"}
    assert set(counts) <= allowed, counts
