"""verify_for_load: the plan a loader gets from a clean verification, and the refusals."""

import hashlib
import json
import shutil

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, sha256_of, write_manifest


def metadata_of(manifest):
    art = manifest["artifact"]
    return {"kind": art["kind"], "format_version": art["format_version"], "dim": art["dim"],
            "vector_count": art["vector_count"], "bytes_per_vec": art["bytes_per_vec"],
            "params": art["params"], "file_size_bytes": art["file_size_bytes"]}


def without_time(report):
    return {k: v for k, v in report.items() if k != "checked_at"}


@pytest.mark.parametrize("kind, row_map", [
    ("rank_quant", True), ("rank", True), ("bitmap", False), ("sign_bitmap", False),
])
def test_clean_plan(tmp_path, kind, row_map):
    root = tmp_path.resolve()
    manifest = make_fixture(root, kind, row_map=row_map)
    path = str(write_manifest(root / "m.json", manifest))
    plan = tm.verify_for_load(path)
    assert list(plan) == ["manifest_path", "artifact_path", "metadata", "row_identity",
                          "auxiliary_artifacts", "report"]
    assert plan["manifest_path"] == path
    assert plan["artifact_path"] == str(root / manifest["artifact"]["path"])
    assert plan["metadata"] == metadata_of(manifest)
    if row_map:
        expected_rows = {"kind": "jsonl", "path": str(root / "rows.jsonl"), "row_count": 3,
                         "validated_rows": 3, "sha256": sha256_of(root / "rows.jsonl")}
    else:
        expected_rows = {"kind": "row_id_identity", "path": None, "row_count": 3,
                         "validated_rows": None, "sha256": None}
    assert plan["row_identity"] == expected_rows
    assert plan["auxiliary_artifacts"] == []
    assert plan["report"]["ok"] is True
    # The embedded report is the one verify_manifest returns.
    assert without_time(plan["report"]) == without_time(tm.verify_manifest(path))


def test_plan_takes_measured_paths_not_declared_ones(tmp_path, monkeypatch):
    root = tmp_path.resolve()
    manifest = make_fixture(root / "d")
    manifest["row_identity"]["path"] = "./sub/../rows.jsonl"
    (root / "d" / "sub").mkdir()
    write_manifest(root / "d" / "m.json", manifest)
    monkeypatch.chdir(root)
    plan = tm.verify_for_load("d/m.json")
    assert plan["manifest_path"] == "d/m.json"
    assert plan["artifact_path"] == str(root / "d" / manifest["artifact"]["path"])
    assert plan["row_identity"]["path"] == str(root / "d" / "rows.jsonl")


@pytest.mark.parametrize("absolute", [False, True])
def test_index_override_is_the_planned_artifact(tmp_path, absolute):
    root = tmp_path.resolve()
    manifest = make_fixture(root)
    copy = root / "copies" / "copy.idx"
    copy.parent.mkdir()
    shutil.copyfile(root / manifest["artifact"]["path"], copy)
    index = str(copy) if absolute else "copies/copy.idx"
    plan = tm.verify_for_load(str(write_manifest(root / "m.json", manifest)), index=index,
                              allow_absolute_paths=absolute)
    assert plan["artifact_path"] == str(copy)


def aux_entry(root, name, required=True):
    data = f"payload of {name}".encode()
    (root / f"{name}.bin").write_bytes(data)
    return {"name": name, "path": f"{name}.bin", "sha256": hashlib.sha256(data).hexdigest(),
            "file_size_bytes": len(data), "required": required}


def test_auxiliary_artifacts_verified_and_optional_absent(tmp_path):
    root = tmp_path.resolve()
    present = aux_entry(root, "vocab")
    absent = aux_entry(root, "extra", required=False)
    (root / "extra.bin").unlink()
    manifest = make_fixture(root, auxiliary_artifacts=[present, absent])
    plan = tm.verify_for_load(str(write_manifest(root / "m.json", manifest)))
    by_name = {entry["name"]: entry for entry in plan["auxiliary_artifacts"]}
    assert by_name == {
        "vocab": {"name": "vocab", "path": str(root / "vocab.bin"), "required": True,
                  "reason_code": None, "sha256": present["sha256"],
                  "size_bytes": present["file_size_bytes"]},
        "extra": {"name": "extra", "path": None, "required": False,
                  "reason_code": "auxiliary_artifact_optional_absent", "sha256": None,
                  "size_bytes": None},
    }
    # Same order as the report's facts.
    assert [e["name"] for e in plan["auxiliary_artifacts"]] == [
        f["name"] for f in plan["report"]["auxiliary_artifacts"]]


# (change to a correct fixture, expected failure text)
FAILURES = [
    ("one wrong digest", lambda m, root: m["artifact"].update(sha256="0" * 64),
     "manifest verification failed: artifact_sha256_mismatch"),
    ("codes in report order", lambda m, root: (
        m.update(schema_version="tamrel.index_manifest.v0"),
        m["artifact"].update(sha256="0" * 64),
        m["row_identity"].update(path="../rows.jsonl")),
     "manifest verification failed: schema_version_unsupported, artifact_sha256_mismatch, "
     "row_identity_path_escape_rejected"),
    ("codes only, never messages", lambda m, root: (root / "rows.jsonl").write_text("{\n{\n{\n"),
     "manifest verification failed: row_identity_jsonl_invalid_json, "
     "row_identity_jsonl_invalid_json, row_identity_jsonl_invalid_json, ..."),
]


@pytest.mark.parametrize("change, text", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failed_verification_is_refused(tmp_path, change, text):
    root = tmp_path.resolve()
    manifest = make_fixture(root)
    change(manifest, root)
    path = str(write_manifest(root / "m.json", manifest))
    with pytest.raises(ValueError) as info:
        tm.verify_for_load(path)
    assert info.value.args == (text,)
    # The refusal carries the pass's own report, so callers need not verify a second time.
    report = info.value.report
    assert report.pop("checked_at") and report == {
        k: v for k, v in tm.verify_manifest(path).items() if k != "checked_at"}


@pytest.mark.parametrize("n_issues, text", [
    (1, "manifest verification failed: row_identity_jsonl_invalid_json"),
    (2, "manifest verification failed: row_identity_jsonl_invalid_json, "
        "row_identity_jsonl_invalid_json"),
    (3, "manifest verification failed: row_identity_jsonl_invalid_json, "
        "row_identity_jsonl_invalid_json, row_identity_jsonl_invalid_json"),
    (4, "manifest verification failed: row_identity_jsonl_invalid_json, "
        "row_identity_jsonl_invalid_json, row_identity_jsonl_invalid_json, ..."),
])
def test_failure_text_shows_at_most_three_codes(tmp_path, n_issues, text):
    root = tmp_path.resolve()
    manifest = make_fixture(root, n_vectors=n_issues)
    # One issue per bad line; digest and count are declared to match.
    (root / "rows.jsonl").write_text("{\n" * n_issues)
    manifest["row_identity"]["sha256"] = sha256_of(root / "rows.jsonl")
    with pytest.raises(ValueError) as info:
        tm.verify_for_load(str(write_manifest(root / "m.json", manifest)))
    assert info.value.args == (text,)


def test_load_failure_raises_before_any_pass(tmp_path):
    empty = tmp_path / "m.json"
    empty.write_bytes(b"")
    with pytest.raises(ValueError) as info:
        tm.verify_for_load(str(empty))
    assert info.value.args == ("EOF while parsing a value at line 1 column 0",)
    assert not hasattr(info.value, "report")  # no pass ran, so there is no report
    with pytest.raises(OSError):
        tm.verify_for_load(str(tmp_path / "absent.json"))


def test_cached_report_limit_is_accepted_and_ignored(tmp_path):
    manifest = make_fixture(tmp_path)
    plan = tm.verify_for_load(str(write_manifest(tmp_path / "m.json", manifest)),
                              max_cached_report_bytes=0)
    assert plan["report"]["ok"] is True
