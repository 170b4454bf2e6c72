"""Attestations: predicate type, builder id, subject digest match against the measured (else
declared) index digest; and a manifest carrying every optional block verifying clean."""

import pytest

from blocks_builders import block_fixture, edit, issues, sha256_bytes, verify

MISMATCH = ("attestation_subject_sha256_mismatch",
            "no supplied attestation subject digest matches the artifact SHA-256")
OTHER = "0f" * 32


def missing(i):
    return ("attestation_predicate_type_missing", f"attestation {i} has no predicateType")


def check(predicate_type=None, builder_id=None, matched=False):
    return {"predicate_type": predicate_type, "builder_id": builder_id,
            "subject_sha256_matched": matched}


def subject(digest):
    return {"name": "index", "digest": {"sha256": digest}}


# Each attestation list is built from the index digest D.
CASES = [
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(D)]}],
                 [check("p", matched=True)], [], id="matching subject"),
    pytest.param(lambda D: [{"predicate_type": "q", "subject": [subject(D)]}],
                 [check("q", matched=True)], [], id="snake-case predicate type"),
    pytest.param(lambda D: [{"predicateType": 1, "predicate_type": "q", "subject": [subject(D)]}],
                 [check(None, matched=True)], [missing(0)], id="numeric predicateType wins"),
    pytest.param(lambda D: [{"predicateType": "a", "subject": [subject(OTHER)]},
                            {"predicateType": "b", "subject": []}],
                 [check("a"), check("b")], [MISMATCH], id="two without a match, one issue"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(D.upper())]}],
                 [check("p")], [MISMATCH], id="upper-case subject digest"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(OTHER), {"digest": 5},
                                                               "x", subject(D)]}],
                 [check("p", matched=True)], [], id="later subject element matches"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": {"digest": {"sha256": D}}}],
                 [check("p")], [MISMATCH], id="subject not a list"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(D)],
                             "predicate": {"runDetails": {"builder": {"id": "ci://run"}}}}],
                 [check("p", "ci://run", True)], [], id="builder id under runDetails"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(D)],
                             "predicate": {"builder": {"id": "b://1"},
                                           "runDetails": {"builder": {"id": "ci://run"}}}}],
                 [check("p", "b://1", True)], [], id="builder id first place wins"),
    pytest.param(lambda D: [{"predicateType": "p", "subject": [subject(D)],
                             "predicate": {"builder": {"id": 7},
                                           "runDetails": {"builder": {"id": "ci://run"}}}}],
                 [check("p", None, True)], [], id="builder id present but not a string"),
    pytest.param(lambda D: ["statement", [subject(D)], None],
                 [check(), check(), check()], [missing(0), missing(1), missing(2), MISMATCH],
                 id="values that are not objects"),
    pytest.param(lambda D: [{"subject": [subject(D)]}, {"predicateType": "p"}],
                 [check(None, matched=True), check("p")], [missing(0)],
                 id="one match is enough"),
]


@pytest.mark.parametrize("build,expected_checks,expected_issues", CASES)
def test_attestation_checks(tmp_path, build, expected_checks, expected_issues):
    manifest = block_fixture(tmp_path)
    manifest["attestations"] = build(manifest["artifact"]["sha256"])
    report = verify(tmp_path, manifest)
    assert report["attestation_shape_checks"] == expected_checks
    assert issues(report, "attestation_") == expected_issues
    assert report["skipped_checks"] == []


def test_no_attestations(tmp_path):
    report = verify(tmp_path, block_fixture(tmp_path, attestations=[]))
    assert report["skipped_checks"] == ["attestations_absent"]
    assert report["attestation_shape_checks"] == []
    assert report["ok"] is True


def test_measured_digest_is_compared_when_hashing_succeeded(tmp_path):
    manifest = block_fixture(tmp_path)
    measured = manifest["artifact"]["sha256"]
    manifest["artifact"]["sha256"] = OTHER  # the declaration is wrong, the file is fine
    manifest["attestations"] = [{"predicateType": "p", "subject": [subject(OTHER)]},
                                {"predicateType": "p", "subject": [subject(measured)]}]
    report = verify(tmp_path, manifest)
    assert [c["subject_sha256_matched"] for c in report["attestation_shape_checks"]] == [False,
                                                                                         True]
    assert issues(report, "attestation_") == []


def test_declared_digest_is_compared_when_hashing_failed(tmp_path):
    manifest = block_fixture(tmp_path)
    declared = manifest["artifact"]["sha256"]
    (tmp_path / manifest["artifact"]["path"]).unlink()
    manifest["attestations"] = [{"predicateType": "p", "subject": [subject(declared)]}]
    report = verify(tmp_path, manifest)
    assert report["artifact"]["sha256"] is None
    assert report["attestation_shape_checks"] == [check("p", matched=True)]
    assert issues(report, "attestation_") == []


def full_manifest(root):
    """Every optional block, with correct files and an attestation naming the index."""
    (root / "vocab.txt").write_bytes(b"alpha\nbeta\n")
    manifest = block_fixture(root, calibration=True, distortion=True, changes=edit(
        ("encoder_distortion.calibration_profile_id", "cal-1"),
        ("encoder_distortion.scope", {"corpus_digest": "sha256:" + "1" * 64, "sample_size": 10,
                                      "confidence": 0.95}),
        ("calibration.created_at", "2026-01-02T03:04:05Z")))
    manifest["auxiliary_artifacts"] = [
        {"name": "vocab", "path": "vocab.txt", "sha256": sha256_bytes(b"alpha\nbeta\n"),
         "file_size_bytes": 11},
        {"name": "extra", "path": "extra.bin", "sha256": OTHER, "file_size_bytes": 1,
         "required": False},
    ]
    manifest["attestations"] = [{
        "_type": "https://example.test/statement/v1",
        "predicateType": "https://example.test/provenance/v1",
        "subject": [{"name": "index", "digest": {"sha256": manifest["artifact"]["sha256"]}}],
        "predicate": {"runDetails": {"builder": {"id": "https://ci.example/builder"}}},
    }]
    return manifest


def test_every_optional_block_verifies_clean(tmp_path):
    report = verify(tmp_path, full_manifest(tmp_path))
    assert report["errors"] == []
    assert report["ok"] is True
    assert report["skipped_checks"] == []
    assert [(v["name"], v["state"]) for v in report["auxiliary_artifacts"]] == [
        ("extra", "optional_absent"), ("vocab", "verified")]
    assert report["calibration"]["profile_sha256"] is not None
    assert report["encoder_distortion"]["profile_sha256"] is not None
    assert report["attestation_shape_checks"] == [
        check("https://example.test/provenance/v1", "https://ci.example/builder", True)]


def test_issues_follow_the_stage_order(tmp_path):
    manifest = full_manifest(tmp_path)
    manifest["schema_version"] = "v0"
    manifest["artifact"]["sha256"] = OTHER  # the attestation still names the measured digest
    manifest["auxiliary_artifacts"][0]["file_size_bytes"] = 12
    manifest["row_identity"]["sha256"] = OTHER
    manifest["encoder_distortion"]["profile_id"] = ""
    manifest["calibration"]["profile_id"] = ""
    manifest["encoder_distortion"]["calibration_profile_id"] = ""
    manifest["attestations"][0]["predicateType"] = None
    codes = [c for c, _ in issues(verify(tmp_path, manifest))]
    assert codes == [
        "schema_version_unsupported",
        "artifact_sha256_mismatch",
        "auxiliary_artifact_file_size_mismatch",
        "row_identity_sha256_mismatch",
        "encoder_distortion_profile_id_empty",
        "encoder_distortion_calibration_profile_id_empty",
        "calibration_profile_id_empty",
        "attestation_predicate_type_missing",
    ]


# Attestations side by side usually share one key order; lookups must find their members
# whether an attestation follows its sibling's order, leaves it, or swaps in a key of the same
# length that sorts elsewhere.
@pytest.mark.parametrize("extras", [
    ["a", "a", "z", "a", "m", "a"],
    ["z", "a", "zz", "a", "", "a"],
    ["a", "a", "a", "a", "a", "z"],
], ids=["same-length", "longer-and-none", "late-change"])
def test_lookups_in_attestations_that_share_a_key_order(tmp_path, extras):
    manifest = block_fixture(tmp_path)
    digest = manifest["artifact"]["sha256"]
    attestations = []
    for i, extra in enumerate(extras):
        a = {"subject": [subject(digest)], "predicateType": f"p{i}"}
        if extra:
            a[extra] = i
        attestations.append(a)
    manifest["attestations"] = attestations
    report = verify(tmp_path, manifest)
    assert report["attestation_shape_checks"] == [check(f"p{i}", matched=True)
                                                  for i in range(len(extras))]
