"""The calibration block: its declared-value rules in order, the agreement with embedding and
artifact, the profile's shape and size arithmetic, and the facts the report carries."""

import os

import pytest

from blocks_builders import DELETE, block_fixture, edit, issues, sha256_bytes, verify

C20 = ("calibration_ordinalization_artifact_mismatch",
       "calibration.ordinalization is incompatible with artifact.kind/artifact.params")
C21 = ("calibration_null_model_ordinalization_mismatch",
       "uniform_hypergeometric calibration requires top_k ordinalization")
C22 = ("calibration_profile_unexpected",
       "uniform_hypergeometric calibration must not include a profile artifact")
C23 = ("calibration_profile_required", "non-uniform calibration requires a profile artifact")
P9 = ("calibration_profile_parameterization_ordinalization_mismatch",
      "calibration profile parameterization is incompatible with calibration ordinalization")
HEX = "ab" * 32
# The builder fills the calibration profile with 0x11 bytes.
CAL_SHA_256 = sha256_bytes(b"\x11" * 256)


def shape_issue(declared, expected):
    return ("calibration_profile_shape_mismatch",
            f"calibration profile shape {declared} does not match expected {expected}")


def size_issue(declared, computed):
    return ("calibration_profile_file_size_mismatch",
            f"calibration profile size {declared} does not match shape/format size {computed}")


def overflow(what):
    return ("calibration_profile_shape_mismatch", f"calibration.profile.shape {what} overflows u64")


def case(name, changes, expected, kind="rank_quant"):
    return pytest.param(kind, changes, expected, id=name)


RULE_CASES = [
    case("clean", edit(), []),
    case("schema version", edit(("calibration.schema_version", "tamrel.calibration.v2")),
         [("calibration_schema_version_unsupported",
           "calibration.schema_version must be tamrel.calibration.v1, got tamrel.calibration.v2")]),
    case("schema version with a leading space",
         edit(("calibration.schema_version", " tamrel.calibration.v1")),
         [("calibration_schema_version_unsupported",
           "calibration.schema_version must be tamrel.calibration.v1, got  tamrel.calibration.v1")]),
    case("blank profile_id", edit(("calibration.profile_id", " \t")),
         [("calibration_profile_id_empty", "calibration.profile_id must be non-empty")]),
    case("created_at on a day that does not exist",
         edit(("calibration.created_at", "2026-02-30T00:00:00Z")),
         [("calibration_created_at_invalid",
           "calibration.created_at must parse as RFC3339 when present")]),
    case("created_at valid", edit(("calibration.created_at", "2026-01-02T03:04:05.5+01:00")), []),
    case("blank model also disagrees with embedding", edit(("calibration.calibrated_for.model", "  ")),
         [("calibration_encoder_model_empty", "calibration.calibrated_for.model must be non-empty"),
          ("calibration_encoder_model_mismatch",
           'calibration model "  " does not match embedding.model "m"')]),
    case("dim zero", edit(("calibration.calibrated_for.dim", 0)),
         [("calibration_encoder_dim_zero",
           "calibration.calibrated_for.dim must be greater than zero"),
          ("calibration_encoder_dim_mismatch", "calibration dim 0 does not match embedding.dim 16")]),
    case("blank model_revision", edit(("calibration.calibrated_for.model_revision", " ")),
         [("calibration_encoder_model_revision_empty",
           "calibration.calibrated_for.model_revision must be non-empty when present"),
          ("calibration_encoder_model_revision_mismatch",
           "calibration encoder model_revision does not match embedding.model_revision")]),
    case("empty normalization", edit(("calibration.calibrated_for.normalization", "")),
         [("calibration_encoder_normalization_empty",
           "calibration.calibrated_for.normalization must be non-empty when present"),
          ("calibration_encoder_normalization_mismatch",
           "calibration encoder normalization does not match embedding.normalization")]),
    case("top_k with k and dim zero",
         edit(("calibration.ordinalization", {"kind": "top_k", "dim": 0, "k": 0})),
         [("calibration_ordinalization_dim_zero",
           "calibration.ordinalization.dim must be greater than zero"),
          ("calibration_ordinalization_artifact_mismatch",
           "calibration top_k.k must be greater than zero"),
          ("calibration_ordinalization_dim_mismatch",
           "calibration ordinalization dim 0 does not match artifact.dim 16"),
          C20, P9]),
    case("bucket bits 3", edit(("calibration.ordinalization.bits", 3)),
         [("calibration_ordinalization_artifact_mismatch",
           "calibration bucket.bits must be 1, 2, or 4"), C20]),
    case("bucket bits 4 against params bits 2",
         edit(("calibration.ordinalization.bits", 4), ("calibration.profile.shape", [16, 16]),
              ("calibration.profile.file_size_bytes", 1024)),
         [C20]),
    case("caller_defined ordinalization with a blank name",
         edit(("calibration.ordinalization", {"kind": "caller_defined", "dim": 16, "name": " "})),
         [("calibration_ordinalization_artifact_mismatch",
           "calibration caller_defined.name must be non-empty"), C20]),
    case("empirical tail null model with a blank statistic",
         edit(("calibration.null_model", {"kind": "empirical_tail_table", "statistic": ""})),
         [("calibration_null_statistic_empty", "calibration.null_model.statistic must be non-empty"),
          ("calibration_null_parameterization_mismatch",
           "empirical_tail_table null_model requires empirical_tail_table profile "
           "parameterization")]),
    case("caller_defined null model, name before parameterization",
         edit(("calibration.null_model",
               {"kind": "caller_defined", "name": "", "parameterization": " "})),
         [("calibration_null_name_empty", "calibration.null_model.name must be non-empty"),
          ("calibration_null_parameterization_empty",
           "calibration.null_model.parameterization must be non-empty when present")]),
    case("caller_defined null model with free-text parameterization",
         edit(("calibration.null_model",
               {"kind": "caller_defined", "name": "x", "parameterization": "anything"})), []),
    case("embedding model differs", edit(("embedding.model", "m2")),
         [("calibration_encoder_model_mismatch",
           'calibration model "m" does not match embedding.model "m2"')]),
    case("model compared untrimmed", edit(("calibration.calibrated_for.model", "m ")),
         [("calibration_encoder_model_mismatch",
           'calibration model "m " does not match embedding.model "m"')]),
    case("dim differs", edit(("calibration.calibrated_for.dim", 8)),
         [("calibration_encoder_dim_mismatch", "calibration dim 8 does not match embedding.dim 16")]),
    case("model_revision only on embedding", edit(("embedding.model_revision", "r1")),
         [("calibration_encoder_model_revision_mismatch",
           "calibration encoder model_revision does not match embedding.model_revision")]),
    case("model_revision on both", edit(("embedding.model_revision", "r1"),
                                        ("calibration.calibrated_for.model_revision", "r1")), []),
    case("model_revision compared untrimmed",
         edit(("embedding.model_revision", "r1"),
              ("calibration.calibrated_for.model_revision", "r1 ")),
         [("calibration_encoder_model_revision_mismatch",
           "calibration encoder model_revision does not match embedding.model_revision")]),
    case("normalization only on embedding", edit(("embedding.normalization", "l2")),
         [("calibration_encoder_normalization_mismatch",
           "calibration encoder normalization does not match embedding.normalization")]),
    case("ordinalization dim differs from artifact",
         edit(("calibration.ordinalization.dim", 8)),
         [("calibration_ordinalization_dim_mismatch",
           "calibration ordinalization dim 8 does not match artifact.dim 16"),
          shape_issue("[16, 4]", "[8, 4]")]),
    case("artifact params of another kind",
         edit(("artifact.params", {"kind": "bitmap", "n_top": 8})), [C20]),
    case("uniform with sign and a profile: no profile rules",
         edit(("calibration.null_model", {"kind": "uniform_hypergeometric"}),
              ("calibration.ordinalization", {"kind": "sign", "dim": 16}),
              ("calibration.profile.dim", 0)),
         [C20, C21, C22]),
    case("uniform with bucket, no profile",
         edit(("calibration.null_model", {"kind": "uniform_hypergeometric"}),
              ("calibration.profile", DELETE)),
         [C21]),
    case("weighted marginal without profile",
         edit(("calibration.profile", DELETE)), [C23]),
    case("empirical tail table without profile",
         edit(("calibration.null_model", {"kind": "empirical_tail_table", "statistic": "ks"}),
              ("calibration.profile", DELETE)), [C23]),
    case("blank profile path: no file check", edit(("calibration.profile.path", " ")),
         [("calibration_profile_path_empty", "calibration.profile.path must be non-empty")]),
    case("profile digest not lowercase hex, then the file disagrees",
         edit(("calibration.profile.sha256", HEX.upper())),
         [("calibration_profile_sha256_invalid",
           "calibration.profile.sha256 must be a lowercase 64-character hex SHA-256 digest"),
          ("calibration_profile_sha256_mismatch",
           f"calibration profile SHA-256 was {CAL_SHA_256}, manifest declares {HEX.upper()}")]),
    case("profile size zero", edit(("calibration.profile.file_size_bytes", 0)),
         [("calibration_profile_file_size_zero",
           "calibration.profile.file_size_bytes must be greater than zero"),
          size_issue(0, 256)]),
    case("profile dim", edit(("calibration.profile.dim", 8)),
         [("calibration_profile_dim_mismatch",
           "calibration profile dim 8 does not match artifact.dim 16")]),
    case("sample count zero", edit(("calibration.profile.sample_count", 0)),
         [("calibration_profile_sample_count_zero",
           "calibration.profile.sample_count must be greater than zero")]),
    case("source digest with an upper-case prefix",
         edit(("calibration.profile.source_digest", "SHA256:" + HEX)),
         [("calibration_profile_source_digest_invalid",
           "calibration.profile.source_digest must be sha256:<lowercase-hex>")]),
    case("source digest valid", edit(("calibration.profile.source_digest", "sha256:" + HEX)), []),
    case("weighted marginal parameterization differs",
         edit(("calibration.null_model.parameterization", "marginal_topk_frequency")),
         [("calibration_null_parameterization_mismatch",
           "null_model parameterization MarginalTopKFrequency does not match profile "
           "parameterization BucketFrequency")]),
    case("empirical tail null model with a bucket profile",
         edit(("calibration.null_model", {"kind": "empirical_tail_table", "statistic": "ks"})),
         [("calibration_null_parameterization_mismatch",
           "empirical_tail_table null_model requires empirical_tail_table profile "
           "parameterization")]),
    case("sign frequency for a bucket ordinalization",
         edit(("calibration.null_model.parameterization", "sign_frequency"),
              ("calibration.profile.parameterization", "sign_frequency")),
         [P9, shape_issue("[16, 4]", "[16]")]),
    case("blank format skips the size arithmetic",
         edit(("calibration.profile.format", " "), ("calibration.profile.file_size_bytes", 7)),
         [("calibration_profile_format_empty", "calibration.profile.format must be non-empty")]),
    case("unknown format: shape checked, size not",
         edit(("calibration.profile.format", "npy"), ("calibration.profile.shape", [16, 5])),
         [shape_issue("[16, 5]", "[16, 4]")]),
    case("no shape: neither shape nor size checked",
         edit(("calibration.profile.shape", DELETE), ("calibration.profile.file_size_bytes", 999)),
         []),
    case("raw_f64_le doubles the element size",
         edit(("calibration.profile.format", "raw_f64_le")), [size_issue(256, 512)]),
    case("shape product overflows",
         edit(("calibration.profile.shape", [2**32, 2**32]),
              ("calibration.profile.format", "raw_f64_le")),
         [shape_issue(f"[{2**32}, {2**32}]", "[16, 4]"), overflow("product")]),
    case("shape product overflows by one factor of two",
         edit(("calibration.profile.shape", [2**64 - 1, 2])),
         [shape_issue(f"[{2**64 - 1}, 2]", "[16, 4]"), overflow("product")]),
    case("byte size overflows (f32)", edit(("calibration.profile.shape", [2**64 - 1, 1])),
         [shape_issue(f"[{2**64 - 1}, 1]", "[16, 4]"), overflow("byte size")]),
    case("byte size overflows (f64)",
         edit(("calibration.profile.shape", [2**63, 1]),
              ("calibration.profile.format", "raw_f64_le")),
         [shape_issue(f"[{2**63}, 1]", "[16, 4]"), overflow("byte size")]),
    case("largest byte size that fits",
         edit(("calibration.profile.shape", [2**62 - 1])),
         [shape_issue(f"[{2**62 - 1}]", "[16, 4]"), size_issue(256, 2**64 - 4)]),
    case("a zero entry before large ones",
         edit(("calibration.profile.shape", [0, 2**63, 4])),
         [shape_issue(f"[0, {2**63}, 4]", "[16, 4]"), size_issue(256, 0)]),
    case("empirical tail table profile has no shape rule",
         edit(("calibration.null_model", {"kind": "empirical_tail_table", "statistic": "ks"}),
              ("calibration.profile.parameterization", "empirical_tail_table"),
              ("calibration.profile.shape", [3]), ("calibration.profile.file_size_bytes", 12)),
         []),
    case("empirical tail table profile sizes still computed",
         edit(("calibration.null_model", {"kind": "empirical_tail_table", "statistic": "ks"}),
              ("calibration.profile.parameterization", "empirical_tail_table"),
              ("calibration.profile.shape", [3])),
         [size_issue(256, 12)]),
    case("rank position profile clean", edit(), [], kind="rank"),
    case("rank position profile one byte short",
         edit(("calibration.profile.file_size_bytes", 255)), [size_issue(255, 256)], kind="rank"),
    case("shape mismatch, size computed on the declared shape",
         edit(("calibration.profile.shape", [8, 4])),
         [shape_issue("[8, 4]", "[8, 8]"), size_issue(256, 128)], kind="rank"),
    case("top_k profile clean", edit(), [], kind="bitmap"),
    case("sign profile clean", edit(), [], kind="sign_bitmap"),
]


@pytest.mark.parametrize("kind,changes,expected", RULE_CASES)
def test_calibration_rules(tmp_path, kind, changes, expected):
    manifest = block_fixture(tmp_path, kind, calibration=True, changes=changes)
    assert issues(verify(tmp_path, manifest), "calibration_") == expected


# Which ordinalization suits which index, with a null model and profile that add nothing.
COMPAT_CASES = [
    ("rank", {"kind": "rank_position"}, True),
    ("rank", {"kind": "caller_defined", "name": "x"}, True),
    ("rank", {"kind": "top_k", "k": 8}, False),
    ("rank", {"kind": "sign"}, False),
    ("rank_quant", {"kind": "bucket", "bits": 2}, True),
    ("rank_quant", {"kind": "bucket", "bits": 1}, False),
    ("rank_quant", {"kind": "rank_position"}, False),
    ("bitmap", {"kind": "top_k", "k": 8}, True),
    ("bitmap", {"kind": "top_k", "k": 7}, False),
    ("bitmap", {"kind": "sign"}, False),
    ("sign_bitmap", {"kind": "sign"}, True),
    ("sign_bitmap", {"kind": "caller_defined", "name": "x"}, False),
]


@pytest.mark.parametrize("kind,ordinalization,compatible", COMPAT_CASES)
def test_ordinalization_suits_the_index(tmp_path, kind, ordinalization, compatible):
    def changes(doc):
        cal = doc["calibration"]
        cal["ordinalization"] = dict(ordinalization, dim=doc["artifact"]["dim"])
        cal["null_model"] = {"kind": "caller_defined", "name": "x"}
        cal["profile"].update(parameterization="empirical_tail_table", format="opaque")
        del cal["profile"]["shape"]

    manifest = block_fixture(tmp_path, kind, calibration=True, changes=changes)
    assert issues(verify(tmp_path, manifest), "calibration_") == ([] if compatible else [C20])


def test_facts_of_a_clean_calibration(tmp_path):
    manifest = block_fixture(tmp_path, calibration=True)
    report = verify(tmp_path, manifest)
    assert report["errors"] == []
    assert report["calibration"] == {
        "present": True,
        "schema_version": "tamrel.calibration.v1",
        "profile_id": "cal-1",
        "calibrated_for_model": "m",
        "ordinalization": "bucket",
        "null_model": "weighted_marginal_profile",
        "profile_manifest_path": "cal.bin",
        "profile_canonical_path": os.path.realpath(tmp_path / "cal.bin"),
        "profile_sha256": CAL_SHA_256,
        "profile_size_bytes": 256,
    }


def test_descriptive_facts_survive_failing_rules(tmp_path):
    manifest = block_fixture(tmp_path, calibration=True, changes=edit(
        ("calibration.schema_version", "v0"), ("calibration.profile_id", " "),
        ("calibration.calibrated_for.model", ""),
        ("calibration.null_model", {"kind": "empirical_tail_table", "statistic": ""})))
    facts = verify(tmp_path, manifest)["calibration"]
    assert {k: facts[k] for k in ("present", "schema_version", "profile_id",
                                  "calibrated_for_model", "ordinalization", "null_model")} == {
        "present": True, "schema_version": "v0", "profile_id": " ", "calibrated_for_model": "",
        "ordinalization": "bucket", "null_model": "empirical_tail_table"}


def test_uniform_calibration_never_reads_its_profile(tmp_path):
    manifest = block_fixture(tmp_path, "bitmap", calibration=True, changes=edit(
        ("calibration.null_model", {"kind": "uniform_hypergeometric"})))
    report = verify(tmp_path, manifest)
    assert issues(report) == [C22]
    facts = report["calibration"]
    assert (facts["profile_manifest_path"], facts["profile_canonical_path"],
            facts["profile_sha256"], facts["profile_size_bytes"]) == (None, None, None, None)


def test_uniform_top_k_without_profile_is_clean(tmp_path):
    manifest = block_fixture(tmp_path, "bitmap", calibration=True, changes=edit(
        ("calibration.null_model", {"kind": "uniform_hypergeometric", "note": 1}),
        ("calibration.profile", DELETE)))
    report = verify(tmp_path, manifest)
    assert report["ok"] is True
    assert report["calibration"]["null_model"] == "uniform_hypergeometric"


def test_absent_block_reports_nothing(tmp_path):
    report = verify(tmp_path, block_fixture(tmp_path))
    assert report["calibration"] == {
        "present": False, "schema_version": None, "profile_id": None,
        "calibrated_for_model": None, "ordinalization": None, "null_model": None,
        "profile_manifest_path": None, "profile_canonical_path": None, "profile_sha256": None,
        "profile_size_bytes": None}
