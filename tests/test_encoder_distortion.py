"""The encoder-distortion block: member, metric, bounds, scope, evidence and profile rules in
order, the distortion ratio and its tolerance, the profile file in its place, and the link to the
calibration block."""

import os

import pytest

from blocks_builders import DELETE, block_fixture, edit, issues, sha256_bytes, verify

HEX = "cd" * 32
# The builder fills the distortion profile with 0x22 bytes.
ED_SHA_24 = sha256_bytes(b"\x22" * 24)

B7 = ("encoder_distortion_bounds_order_invalid",
      "encoder_distortion.bounds.declared_lower_bound must be less than or equal to "
      "declared_upper_bound")
B8_INFINITE = ("encoder_distortion_distortion_mismatch",
               "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be "
               "finite")
V3 = ("encoder_distortion_profile_required",
      "non-caller-asserted encoder distortion evidence requires a profile artifact")


def b8(estimated, ratio):
    return ("encoder_distortion_distortion_mismatch",
            f"encoder_distortion.bounds.estimated_distortion {estimated} does not match "
            f"declared_upper_bound / declared_lower_bound {ratio}")


def agreement(code, subject, member):
    return (code, f"{subject} {member} does not match embedding.{member}")


def bounds(**values):
    return edit(("encoder_distortion.bounds", values))


def case(name, changes, expected, calibration=False):
    return pytest.param(changes, expected, calibration, id=name)


MEMBER_CASES = [
    case("clean", edit(), []),
    case("schema version", edit(("encoder_distortion.schema_version", "tamrel.encoder_distortion.v0")),
         [("encoder_distortion_schema_version_unsupported",
           "encoder_distortion.schema_version must be tamrel.encoder_distortion.v1, got "
           "tamrel.encoder_distortion.v0")]),
    case("blank profile_id", edit(("encoder_distortion.profile_id", "")),
         [("encoder_distortion_profile_id_empty", "encoder_distortion.profile_id must be non-empty")]),
    case("created_at not a time", edit(("encoder_distortion.created_at", "yesterday")),
         [("encoder_distortion_created_at_invalid",
           "encoder_distortion.created_at must parse as RFC3339 when present")]),
    case("blank model", edit(("encoder_distortion.encoder.model", " ")),
         [("encoder_distortion_encoder_model_empty",
           "encoder_distortion.encoder.model must be non-empty"),
          ("encoder_distortion_encoder_model_mismatch",
           'encoder_distortion model " " does not match embedding.model "m"')]),
    case("dim zero", edit(("encoder_distortion.encoder.dim", 0)),
         [("encoder_distortion_encoder_dim_zero",
           "encoder_distortion.encoder.dim must be greater than zero"),
          ("encoder_distortion_encoder_dim_mismatch",
           "encoder_distortion dim 0 does not match embedding.dim 16")]),
    case("empty model_revision", edit(("encoder_distortion.encoder.model_revision", "")),
         [("encoder_distortion_encoder_model_revision_empty",
           "encoder_distortion.encoder.model_revision must be non-empty when present"),
          agreement("encoder_distortion_encoder_model_revision_mismatch",
                    "encoder_distortion encoder", "model_revision")]),
    case("blank normalization", edit(("encoder_distortion.encoder.normalization", " ")),
         [("encoder_distortion_encoder_normalization_empty",
           "encoder_distortion.encoder.normalization must be non-empty when present"),
          agreement("encoder_distortion_encoder_normalization_mismatch",
                    "encoder_distortion encoder", "normalization")]),
    case("blank tokenizer_revision", edit(("encoder_distortion.tokenizer_revision", "\u3000")),
         [("encoder_distortion_tokenizer_revision_empty",
           "encoder_distortion.tokenizer_revision must be non-empty when present"),
          agreement("encoder_distortion_tokenizer_revision_mismatch", "encoder_distortion",
                    "tokenizer_revision")]),
    case("empty pooling", edit(("encoder_distortion.pooling", "")),
         [("encoder_distortion_pooling_empty", "encoder_distortion.pooling must be non-empty when present"),
          agreement("encoder_distortion_pooling_mismatch", "encoder_distortion", "pooling")]),
    case("embedding model differs", edit(("embedding.model", "m2")),
         [("encoder_distortion_encoder_model_mismatch",
           'encoder_distortion model "m" does not match embedding.model "m2"')]),
    case("dim differs", edit(("encoder_distortion.encoder.dim", 8)),
         [("encoder_distortion_encoder_dim_mismatch",
           "encoder_distortion dim 8 does not match embedding.dim 16")]),
    case("tokenizer_revision only on embedding", edit(("embedding.tokenizer_revision", "t1")),
         [agreement("encoder_distortion_tokenizer_revision_mismatch", "encoder_distortion",
                    "tokenizer_revision")]),
    case("pooling on both", edit(("embedding.pooling", "mean"),
                                 ("encoder_distortion.pooling", "mean")), []),
    case("pooling compared untrimmed", edit(("embedding.pooling", "mean"),
                                            ("encoder_distortion.pooling", " mean")),
         [agreement("encoder_distortion_pooling_mismatch", "encoder_distortion", "pooling")]),
    case("source metric name blank", edit(("encoder_distortion.source_metric.name", " ")),
         [("encoder_distortion_source_metric_name_empty",
           "encoder_distortion_source_metric.name must be non-empty")]),
    case("source metric version blank", edit(("encoder_distortion.source_metric.version", "\t")),
         [("encoder_distortion_source_metric_version_empty",
           "encoder_distortion_source_metric.version must be non-empty when present")]),
    case("embedding metric, every rule",
         edit(("encoder_distortion.embedding_metric",
               {"name": "", "version": " ", "digest": "sha256:" + HEX.upper()})),
         [("encoder_distortion_embedding_metric_name_empty",
           "encoder_distortion_embedding_metric.name must be non-empty"),
          ("encoder_distortion_embedding_metric_version_empty",
           "encoder_distortion_embedding_metric.version must be non-empty when present"),
          ("encoder_distortion_embedding_metric_digest_invalid",
           "encoder_distortion_embedding_metric.digest must be sha256:<lowercase-hex> when "
           "present")]),
    case("source before embedding metric",
         edit(("encoder_distortion.source_metric.digest", HEX),
              ("encoder_distortion.embedding_metric.digest", "sha256:" + HEX),
              ("encoder_distortion.embedding_metric.version", "1")),
         [("encoder_distortion_source_metric_digest_invalid",
           "encoder_distortion_source_metric.digest must be sha256:<lowercase-hex> when present")]),
]

BOUNDS_CASES = [
    case("no bounds at all", bounds(),
         [("encoder_distortion_bounds_empty",
           "encoder_distortion.bounds must declare at least one bound or observed violation "
           "statistic")]),
    case("only nulls", bounds(declared_lower_bound=None, violation_rate=None),
         [("encoder_distortion_bounds_empty",
           "encoder_distortion.bounds must declare at least one bound or observed violation "
           "statistic")]),
    case("violation rate exactly one", bounds(violation_rate=1.0), []),
    case("violation rate just past one", bounds(violation_rate=1.0000001),
         [("encoder_distortion_violation_rate_invalid",
           "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]")]),
    case("violation rate negative zero", bounds(violation_rate=-0.0), []),
    case("ratio matches", bounds(declared_lower_bound=0.5, declared_upper_bound=2,
                                 estimated_distortion=4), []),
    case("ratio off by 1e-8", bounds(declared_lower_bound=0.5, declared_upper_bound=2,
                                     estimated_distortion=4.00000001),
         [b8("4.00000001", "4")]),
    case("inside the relative tolerance", bounds(declared_lower_bound=0.5, declared_upper_bound=2,
                                                 estimated_distortion=4.000000003), []),
    case("just outside the relative tolerance",
         bounds(declared_lower_bound=0.5, declared_upper_bound=2,
                estimated_distortion=4.000000005),
         [b8("4.000000005", "4")]),
    case("ratio with the shortest digits",
         bounds(declared_lower_bound=3, declared_upper_bound=10, estimated_distortion=3.3),
         [b8("3.3", "3.3333333333333335")]),
    case("large integral ratio without exponent",
         bounds(declared_lower_bound=1, declared_upper_bound=1e20, estimated_distortion=1),
         [b8("1", "100000000000000000000")]),
    case("order reversed: 0.5 equals 1 / 2",
         bounds(declared_lower_bound=2, declared_upper_bound=1, estimated_distortion=0.5), [B7]),
    case("small ratio uses the absolute floor",
         bounds(declared_lower_bound=1e6, declared_upper_bound=1,
                estimated_distortion=1.0000005e-6), [B7]),
    case("small ratio written without exponent",
         bounds(declared_lower_bound=1e6, declared_upper_bound=1, estimated_distortion=2e-6),
         [B7, b8("0.000002", "0.000001")]),
    case("subnormal lower bound overflows the ratio",
         bounds(declared_lower_bound=5e-324, declared_upper_bound=1e308, estimated_distortion=1),
         [B8_INFINITE]),
    case("subnormal lower bound alone is positive", bounds(declared_lower_bound=5e-324), []),
    case("lower bound zero skips the ratio",
         bounds(declared_lower_bound=0, declared_upper_bound=2, estimated_distortion=4),
         [("encoder_distortion_lower_bound_invalid",
           "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero")]),
    case("lower bound negative zero",
         bounds(declared_lower_bound=-0.0, declared_upper_bound=2),
         [("encoder_distortion_lower_bound_invalid",
           "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero")]),
    case("upper bound negative",
         bounds(declared_lower_bound=1, declared_upper_bound=-1),
         [("encoder_distortion_upper_bound_invalid",
           "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero"),
          B7]),
    case("estimate zero is still compared",
         bounds(declared_lower_bound=0.5, declared_upper_bound=2, estimated_distortion=0),
         [("encoder_distortion_estimated_distortion_invalid",
           "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero"),
          b8("0", "4")]),
    case("estimate negative zero keeps its sign",
         bounds(declared_lower_bound=0.5, declared_upper_bound=2, estimated_distortion=-0.0),
         [("encoder_distortion_estimated_distortion_invalid",
           "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero"),
          b8("-0", "4")]),
    case("estimate without both bounds", bounds(declared_upper_bound=2, estimated_distortion=9),
         []),
    case("max observed violation negative zero", bounds(max_observed_violation=-0.0), []),
    case("max observed violation barely negative", bounds(max_observed_violation=-1e-300),
         [("encoder_distortion_max_observed_violation_invalid",
           "encoder_distortion.bounds.max_observed_violation must be finite and non-negative")]),
    case("quantile observed violation negative", bounds(quantile_observed_violation=-0.5),
         [("encoder_distortion_quantile_observed_violation_invalid",
           "encoder_distortion.bounds.quantile_observed_violation must be finite and "
           "non-negative")]),
    case("every statistic wrong, in member order",
         bounds(declared_lower_bound=-1, declared_upper_bound=0, estimated_distortion=-2,
                violation_rate=2, max_observed_violation=-1, quantile_observed_violation=-1),
         [("encoder_distortion_lower_bound_invalid",
           "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero"),
          ("encoder_distortion_upper_bound_invalid",
           "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero"),
          ("encoder_distortion_estimated_distortion_invalid",
           "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero"),
          ("encoder_distortion_violation_rate_invalid",
           "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]"),
          ("encoder_distortion_max_observed_violation_invalid",
           "encoder_distortion.bounds.max_observed_violation must be finite and non-negative"),
          ("encoder_distortion_quantile_observed_violation_invalid",
           "encoder_distortion.bounds.quantile_observed_violation must be finite and "
           "non-negative")]),
]

SCOPE_CASES = [
    case("scope, every rule in order",
         edit(("encoder_distortion.scope",
               {"corpus_digest": "sha256:" + HEX[:-1], "query_set_digest": HEX,
                "pair_sample_digest": "sha256:" + HEX + "0", "domain": " ", "sample_size": 0,
                "confidence": 1.5, "coverage": -0.1, "estimator_version": ""})),
         [("encoder_distortion_scope_corpus_digest_invalid",
           "encoder_distortion.scope.corpus_digest must be sha256:<lowercase-hex> when present"),
          ("encoder_distortion_scope_query_set_digest_invalid",
           "encoder_distortion.scope.query_set_digest must be sha256:<lowercase-hex> when "
           "present"),
          ("encoder_distortion_scope_pair_sample_digest_invalid",
           "encoder_distortion.scope.pair_sample_digest must be sha256:<lowercase-hex> when "
           "present"),
          ("encoder_distortion_scope_domain_empty",
           "encoder_distortion.scope.domain must be non-empty when present"),
          ("encoder_distortion_scope_estimator_version_empty",
           "encoder_distortion.scope.estimator_version must be non-empty when present"),
          ("encoder_distortion_scope_sample_size_zero",
           "encoder_distortion.scope.sample_size must be greater than zero when present"),
          ("encoder_distortion_scope_confidence_invalid",
           "encoder_distortion.scope.confidence must be finite and within [0, 1]"),
          ("encoder_distortion_scope_coverage_invalid",
           "encoder_distortion.scope.coverage must be finite and within [0, 1]")]),
    case("scope fully valid",
         edit(("encoder_distortion.scope",
               {"corpus_digest": "sha256:" + HEX, "query_set_digest": "sha256:" + HEX,
                "pair_sample_digest": "sha256:" + HEX, "domain": "news", "sample_size": 1,
                "confidence": -0.0, "coverage": 1, "estimator_version": "2"})), []),
    case("evidence members",
         edit(("encoder_distortion.evidence",
               {"kind": "teacher_estimate", "estimator_id": " ", "estimator_hash": HEX})),
         [("encoder_distortion_evidence_estimator_id_empty",
           "encoder_distortion.evidence.estimator_id must be non-empty when present"),
          ("encoder_distortion_evidence_estimator_hash_invalid",
           "encoder_distortion.evidence.estimator_hash must be sha256:<lowercase-hex> when "
           "present")]),
    case("certified without profile: no profile rules",
         edit(("encoder_distortion.evidence.kind", "certified"),
              ("encoder_distortion.profile", DELETE)), [V3]),
    case("caller asserted without profile",
         edit(("encoder_distortion.evidence.kind", "caller_asserted"),
              ("encoder_distortion.profile", DELETE)), []),
    case("blank profile path: no file check", edit(("encoder_distortion.profile.path", "")),
         [("encoder_distortion_profile_path_empty",
           "encoder_distortion.profile.path must be non-empty")]),
    case("profile digest, then the file disagrees", edit(("encoder_distortion.profile.sha256", "abc")),
         [("encoder_distortion_profile_sha256_invalid",
           "encoder_distortion.profile.sha256 must be a lowercase 64-character hex SHA-256 "
           "digest"),
          ("encoder_distortion_profile_sha256_mismatch",
           f"encoder distortion profile SHA-256 was {ED_SHA_24}, manifest declares abc")]),
    case("profile size zero", edit(("encoder_distortion.profile.file_size_bytes", 0)),
         [("encoder_distortion_profile_file_size_zero",
           "encoder_distortion.profile.file_size_bytes must be greater than zero")]),
    case("profile format blank", edit(("encoder_distortion.profile.format", " ")),
         [("encoder_distortion_profile_format_empty",
           "encoder_distortion.profile.format must be non-empty")]),
    case("profile source digest", edit(("encoder_distortion.profile.source_digest", "sha256:")),
         [("encoder_distortion_profile_source_digest_invalid",
           "encoder_distortion.profile.source_digest must be sha256:<lowercase-hex> when "
           "present")]),
]

LINK_CASES = [
    case("link empty", edit(("encoder_distortion.calibration_profile_id", " ")),
         [("encoder_distortion_calibration_profile_id_empty",
           "encoder_distortion.calibration_profile_id must be non-empty when present")],
         calibration=True),
    case("link with a leading space",
         edit(("encoder_distortion.calibration_profile_id", " cal-1")),
         [("encoder_distortion_calibration_profile_id_whitespace",
           "encoder_distortion.calibration_profile_id must not contain leading or trailing "
           "whitespace")], calibration=True),
    case("link without a calibration block",
         edit(("encoder_distortion.calibration_profile_id", "cal-1")),
         [("encoder_distortion_calibration_missing",
           "encoder_distortion.calibration_profile_id requires a calibration block")]),
    case("link to another profile",
         edit(("encoder_distortion.calibration_profile_id", "cal-2")),
         [("encoder_distortion_calibration_profile_mismatch",
           'encoder_distortion.calibration_profile_id "cal-2" does not match '
           'calibration.profile_id "cal-1"')], calibration=True),
    case("link matches", edit(("encoder_distortion.calibration_profile_id", "cal-1")), [],
         calibration=True),
    case("link checked after the profile file",
         edit(("encoder_distortion.calibration_profile_id", "cal-1"),
              ("encoder_distortion.profile.sha256", HEX)),
         [("encoder_distortion_profile_sha256_mismatch",
           f"encoder distortion profile SHA-256 was {ED_SHA_24}, manifest declares {HEX}"),
          ("encoder_distortion_calibration_missing",
           "encoder_distortion.calibration_profile_id requires a calibration block")]),
]


@pytest.mark.parametrize("changes,expected,calibration",
                         MEMBER_CASES + BOUNDS_CASES + SCOPE_CASES + LINK_CASES)
def test_encoder_distortion_rules(tmp_path, changes, expected, calibration):
    manifest = block_fixture(tmp_path, distortion=True, calibration=calibration, changes=changes)
    report = verify(tmp_path, manifest)
    assert issues(report, "encoder_distortion_") == expected
    if calibration:
        assert issues(report, "calibration_") == []


def test_distortion_issues_precede_calibration_issues(tmp_path):
    manifest = block_fixture(tmp_path, distortion=True, calibration=True, changes=edit(
        ("calibration.profile_id", " "), ("encoder_distortion.profile_id", " "),
        ("encoder_distortion.calibration_profile_id", "cal-1")))
    assert issues(verify(tmp_path, manifest)) == [
        ("encoder_distortion_profile_id_empty", "encoder_distortion.profile_id must be non-empty"),
        ("encoder_distortion_calibration_profile_mismatch",
         'encoder_distortion.calibration_profile_id "cal-1" does not match '
         'calibration.profile_id " "'),
        ("calibration_profile_id_empty", "calibration.profile_id must be non-empty"),
    ]


def test_facts_of_a_clean_block(tmp_path):
    manifest = block_fixture(tmp_path, distortion=True)
    report = verify(tmp_path, manifest)
    assert report["errors"] == []
    assert report["encoder_distortion"] == {
        "present": True,
        "schema_version": "tamrel.encoder_distortion.v1",
        "profile_id": "ed-1",
        "evidence_kind": "empirical_sample",
        "source_metric": "cosine",
        "embedding_metric": "hamming",
        "profile_manifest_path": "ed.bin",
        "profile_canonical_path": os.path.realpath(tmp_path / "ed.bin"),
        "profile_sha256": ED_SHA_24,
        "profile_size_bytes": 24,
    }


@pytest.mark.parametrize("kind", ["certified", "empirical_sample", "benchmark_estimate",
                                  "teacher_estimate", "caller_asserted"])
def test_evidence_kind_fact(tmp_path, kind):
    manifest = block_fixture(tmp_path, distortion=True, changes=edit(
        ("encoder_distortion.evidence.kind", kind), ("encoder_distortion.profile_id", ""),
        ("encoder_distortion.source_metric.name", " ")))
    facts = verify(tmp_path, manifest)["encoder_distortion"]
    assert (facts["evidence_kind"], facts["profile_id"], facts["source_metric"]) == (kind, "", " ")


def test_absent_block_reports_nothing(tmp_path):
    facts = verify(tmp_path, block_fixture(tmp_path))["encoder_distortion"]
    assert facts == {
        "present": False, "schema_version": None, "profile_id": None, "evidence_kind": None,
        "source_metric": None, "embedding_metric": None, "profile_manifest_path": None,
        "profile_canonical_path": None, "profile_sha256": None, "profile_size_bytes": None}
