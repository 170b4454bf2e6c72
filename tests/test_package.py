"""What the package adds to the module's functions: the errors that carry what went wrong, and no
output directory left behind by a creation that failed."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import _tamrel_manifest as tm
import builders
import tamrel_manifest


def test_a_rejected_row_map_carries_its_issues(tmp_path: Path) -> None:
    index = builders.write_index(tmp_path / "i.kxrq", n_vectors=4)
    rows = builders.write_row_map(tmp_path / "rows.jsonl", lines=builders.row_lines(5)[1:])
    with pytest.raises(ValueError) as native:
        tm.create_manifest(index, tmp_path / "m.json", "m", row_map=rows)
    with pytest.raises(tamrel_manifest.RowMapInvalid) as ours:
        tamrel_manifest.create_manifest(index, tmp_path / "m.json", "m", row_map=rows)
    assert str(ours.value) == str(native.value)
    assert ours.value.report == {"row_map": str(rows), "errors": [
        {"code": "row_identity_row_id_mismatch", "message": f"line {n} has row_id {n + 1}"}
        for n in range(4)]}


@pytest.mark.parametrize("index, out, left", [
    ("missing.kxrq", "new/sub/m.json", []),          # fails: what it made is removed
    ("i.kxrq", "new/sub/m.json", ["new", "new/sub", "new/sub/m.json"]),  # succeeds: kept
    ("missing.kxrq", "i.kxrq.d/m.json", ["i.kxrq.d"]),  # existed before: kept
])
def test_output_directories_of_a_failed_creation_are_removed(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch, index: str, out: str,
        left: list[str]) -> None:
    monkeypatch.chdir(tmp_path)
    builders.write_index(tmp_path / "i.kxrq", n_vectors=2)
    (tmp_path / "i.kxrq.d").mkdir()
    before = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")}
    try:
        tamrel_manifest.create_manifest(index, out, "m", row_id_is_identity=True,
                                        allow_path_escape=True)
    except OSError:
        pass
    after = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")}
    assert sorted(after - before) == sorted(set(left) - before)


# (arguments of create_manifest past the index, which input the note names; None: no note)
INPUT_FAULTS = [
    ({"row_id_is_identity": True}, "index {root}/none"),
    ({"row_map": "{root}/none"}, "row map {root}/none"),
    ({"row_id_is_identity": True, "auxiliary_artifacts": [{"name": "x", "path": "{root}/none"}]},
     'auxiliary "x" {root}/none'),
    ({"row_map": "{root}"}, "row map {root}"),  # a directory
]


@pytest.mark.skipif(not hasattr(BaseException, "add_note"), reason="notes came with 3.11")
@pytest.mark.parametrize("options, note", INPUT_FAULTS,
                         ids=["index", "row map", "auxiliary", "row map directory"])
def test_a_bare_oserror_of_creation_names_its_input(tmp_path: Path, options: dict[str, object],
                                                    note: str) -> None:
    index = builders.write_index(tmp_path / "i.kxrq", n_vectors=3)
    if note.startswith("index"):
        index = tmp_path / "none"
    filled = json.loads(json.dumps(options).replace("{root}", str(tmp_path)))
    with pytest.raises(OSError) as caught:
        tamrel_manifest.create_manifest(index, tmp_path / "m.json", "m", **filled)
    assert caught.value.__notes__ == [f"input: {note.format(root=tmp_path)}"]
    assert str(caught.value) in ("No such file or directory", "Is a directory")  # untouched


@pytest.mark.skipif(not hasattr(BaseException, "add_note"), reason="notes came with 3.11")
def test_no_note_when_no_input_is_at_fault(tmp_path: Path) -> None:
    # The output's directory is a file: every input reads, so none is named.
    index = builders.write_index(tmp_path / "i.kxrq", n_vectors=3)
    (tmp_path / "f").write_bytes(b"")
    with pytest.raises(OSError) as caught:
        tamrel_manifest.create_manifest(index, tmp_path / "f" / "m.json", "m",
                                        row_id_is_identity=True, allow_path_escape=True)
    assert getattr(caught.value, "__notes__", []) == []


def test_panic_exception_is_importable() -> None:
    cls = tamrel_manifest.PanicException
    assert cls.__module__ == "_tamrel_manifest_native" and cls.__name__ == "PanicException"
    assert not issubclass(cls, Exception) and issubclass(cls, BaseException)
    assert not hasattr(tm, "PanicException")
