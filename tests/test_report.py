"""The verification report: its full key structure, the time stamp, the issue limit and verdict."""

from __future__ import annotations

import datetime
import re

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

MARKER = "verification_report_issue_limit_exceeded"


def verify(tmp_path, manifest, **kw) -> dict:
    return tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)), **kw)


def shape(value):
    """The key structure of a JSON value: objects keep their key order, scalars become types."""
    if isinstance(value, dict):
        return [(k, shape(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [shape(v) for v in value]
    return type(value).__name__


META = [("kind", "str"), ("format_version", "int"), ("dim", "int"), ("vector_count", "int"),
        ("bytes_per_vec", "int"), ("params", [("kind", "str"), ("bits", "int")]),
        ("file_size_bytes", "int")]
BLOCK_TAIL = ["profile_manifest_path", "profile_canonical_path", "profile_sha256",
              "profile_size_bytes"]


def test_clean_report_key_structure(tmp_path):
    report = verify(tmp_path, make_fixture(tmp_path, "rank_quant", row_map=False))
    assert shape(report) == [
        ("ok", "bool"),
        ("checked_at", "str"),
        ("manifest_id", "str"),
        ("artifact", [("manifest_path", "str"), ("observed_path", "str"),
                      ("canonical_path", "str"), ("sha256", "str"), ("size_bytes", "int"),
                      ("metadata", META)]),
        ("auxiliary_artifacts", []),
        ("row_identity", [("kind", "str"), ("manifest_path", "NoneType"),
                          ("canonical_path", "NoneType"), ("sha256", "NoneType"),
                          ("row_count", "int"), ("validated_rows", "NoneType")]),
        ("encoder_distortion", [("present", "bool")] + [
            (k, "NoneType") for k in ["schema_version", "profile_id", "evidence_kind",
                                      "source_metric", "embedding_metric", *BLOCK_TAIL]]),
        ("calibration", [("present", "bool")] + [
            (k, "NoneType") for k in ["schema_version", "profile_id", "calibrated_for_model",
                                      "ordinalization", "null_model", *BLOCK_TAIL]]),
        ("attestation_shape_checks", []),
        ("errors", []),
        ("warnings", []),
        ("skipped_checks", ["str"]),
    ]
    assert report["ok"] is True
    assert report["encoder_distortion"]["present"] is False
    assert report["calibration"]["present"] is False
    assert report["skipped_checks"] == ["attestations_absent"]


def test_missing_index_leaves_every_measured_fact_null(tmp_path):
    manifest = make_fixture(tmp_path, "rank", row_map=False)
    (tmp_path / "index.rank").unlink()
    report = verify(tmp_path, manifest)
    assert report["ok"] is False
    assert report["artifact"] == {"manifest_path": "index.rank", "observed_path": "index.rank",
                                  "canonical_path": None, "sha256": None, "size_bytes": None,
                                  "metadata": None}
    assert [e["code"] for e in report["errors"]] == ["artifact_path_unavailable"]


def test_checked_at_is_utc_with_nine_fraction_digits(tmp_path):
    before = datetime.datetime.now(datetime.timezone.utc)
    stamp = verify(tmp_path, make_fixture(tmp_path, row_map=False))["checked_at"]
    after = datetime.datetime.now(datetime.timezone.utc)
    m = re.fullmatch(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.(\d{9})Z", stamp)
    assert m, stamp
    taken = datetime.datetime.fromisoformat(m.group(1)).replace(
        tzinfo=datetime.timezone.utc) + datetime.timedelta(microseconds=int(m.group(2)) // 1000)
    assert before - datetime.timedelta(seconds=1) <= taken <= after


def test_manifest_id_is_copied_verbatim(tmp_path):
    report = verify(tmp_path, make_fixture(tmp_path, row_map=False, manifest_id=" x "))
    assert report["manifest_id"] == " x "
    assert report["errors"] == []


# Five plain issues from the declared-value rules, in rule order.
FIVE = {"schema_version": "v0", "manifest_id": " ", "created_at": "yesterday",
        "extensions": {"a": 1, "b": 2}}
FIVE_ISSUES = [
    ("schema_version_unsupported", "schema_version must be tamrel.index_manifest.v1, got v0"),
    ("manifest_id_empty", "manifest_id must be non-empty"),
    ("created_at_invalid", "created_at must parse as RFC3339"),
    ("extension_key_not_namespaced", 'extension key "a" must be namespaced'),
    ("extension_key_not_namespaced", 'extension key "b" must be namespaced'),
]


def marker(limit: int) -> tuple[str, str]:
    return (MARKER, f"verification report issue count exceeded max_report_issues={limit}")


@pytest.mark.parametrize("limit,expected", [
    (5, FIVE_ISSUES),
    (6, FIVE_ISSUES),
    (3, FIVE_ISSUES[:2] + [marker(3)]),
    (4, FIVE_ISSUES[:3] + [marker(4)]),
    (1, [marker(1)]),
    (0, [marker(0)]),
])
def test_final_issue_limit(tmp_path, limit, expected):
    report = verify(tmp_path, make_fixture(tmp_path, row_map=False, **FIVE),
                    max_report_issues=limit)
    assert [(e["code"], e["message"]) for e in report["errors"]] == expected
    assert report["ok"] is False


def test_three_issues_at_limit_three_stay(tmp_path):
    manifest = make_fixture(tmp_path, row_map=False, schema_version="v0", manifest_id="",
                            created_at="")
    report = verify(tmp_path, manifest, max_report_issues=3)
    assert [(e["code"], e["message"]) for e in report["errors"]] == FIVE_ISSUES[:3]


def aux(name: str) -> dict:
    return {"name": name, "path": name, "sha256": "0" * 64, "file_size_bytes": 1}


COUNT = ("auxiliary_artifact_count_limit_exceeded",
         "auxiliary_artifacts has 3 entries, exceeding max_auxiliary_artifacts=2")


@pytest.mark.parametrize("extensions,expected", [
    # The bounded add overflows at the auxiliary count check and places the marker; nothing
    # follows: the list is at the limit and stays as it is.
    ({}, [FIVE_ISSUES[0], marker(2)]),
    # A later plain issue lands after the marker; the final limit moves the marker to the end.
    ({"a": 1}, [FIVE_ISSUES[0], marker(2)]),
])
def test_bounded_add_in_the_middle_of_the_pass(tmp_path, extensions, expected):
    manifest = make_fixture(tmp_path, row_map=False, schema_version="v0", manifest_id="",
                            auxiliary_artifacts=[aux("x"), aux("y"), aux("z")],
                            extensions=extensions)
    report = verify(tmp_path, manifest, max_report_issues=2, max_auxiliary_artifacts=2)
    assert [(e["code"], e["message"]) for e in report["errors"]] == expected


def test_bounded_add_below_the_limit_is_plain(tmp_path):
    manifest = make_fixture(tmp_path, row_map=False, schema_version="v0",
                            auxiliary_artifacts=[aux("x"), aux("y"), aux("z")],
                            extensions={"a": 1})
    report = verify(tmp_path, manifest, max_report_issues=3, max_auxiliary_artifacts=2)
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        FIVE_ISSUES[0], COUNT, FIVE_ISSUES[3]]
