"""What the package adds to the module's functions: the errors that carry what went wrong, and no
output directory left behind by a creation that failed."""

from __future__ import annotations

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


def test_panic_exception_is_importable() -> None:
    cls = tamrel_manifest.PanicException
    assert cls.__module__ == "_tamrel_manifest_native" and cls.__name__ == "PanicException"
    assert not issubclass(cls, Exception) and issubclass(cls, BaseException)
    assert not hasattr(tm, "PanicException")
