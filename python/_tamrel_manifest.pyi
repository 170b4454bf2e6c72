"""Type information for the native module _tamrel_manifest.

Every result is a plain dict built by json.loads, so each shape below is a TypedDict whose keys
are in the order the module writes them. Members the writer may leave out are NotRequired;
members that are always written but may be null are typed `X | None`.
"""

import os
from collections.abc import Iterable
from typing import Any, Final, Literal, SupportsIndex, TypedDict

from typing_extensions import NotRequired, TypeAlias

__all__ = [
    "SCHEMA_VERSION",
    "CALIBRATION_SCHEMA_VERSION",
    "ENCODER_DISTORTION_SCHEMA_VERSION",
    "DEFAULT_MAX_MANIFEST_BYTES",
    "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
    "DEFAULT_MAX_ROW_IDENTITY_ROWS",
    "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
    "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
    "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
    "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
    "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
    "DEFAULT_MAX_REPORT_ISSUES",
    "DEFAULT_MAX_CACHED_REPORT_BYTES",
    "default_resource_limits",
    "sha256_file",
    "inspect_manifest",
    "verify_manifest",
    "verify_for_load",
    "create_manifest",
]

SCHEMA_VERSION: Final = "tamrel.index_manifest.v1"
CALIBRATION_SCHEMA_VERSION: Final = "tamrel.calibration.v1"
ENCODER_DISTORTION_SCHEMA_VERSION: Final = "tamrel.encoder_distortion.v1"
DEFAULT_MAX_MANIFEST_BYTES: Final = 1048576
DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES: Final = 65536
DEFAULT_MAX_ROW_IDENTITY_ROWS: Final = 10000000
DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES: Final = 67108864
DEFAULT_MAX_AUXILIARY_ARTIFACTS: Final = 1024
DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES: Final = 67108864
DEFAULT_MAX_CALIBRATION_PROFILE_BYTES: Final = 67108864
DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES: Final = 67108864
DEFAULT_MAX_REPORT_ISSUES: Final = 1024
DEFAULT_MAX_CACHED_REPORT_BYTES: Final = 4194304

StrPath: TypeAlias = str | os.PathLike[str]
Limit: TypeAlias = SupportsIndex | None
IndexKindName: TypeAlias = Literal["rank", "rank_quant", "bitmap", "sign_bitmap"]
JsonValue: TypeAlias = Any

# ---- limits and digests ----

class ResourceLimits(TypedDict):
    max_manifest_bytes: int
    max_row_map_line_bytes: int
    max_row_map_rows: int
    max_row_map_tracked_id_bytes: int
    max_auxiliary_artifacts: int
    max_auxiliary_artifact_bytes: int
    max_calibration_profile_bytes: int
    max_encoder_distortion_profile_bytes: int
    max_report_issues: int
    max_cached_report_bytes: int

class FileDigest(TypedDict):
    sha256: str
    size_bytes: int

# ---- index parameters and probed metadata ----

class RankParams(TypedDict):
    kind: Literal["rank"]

class RankQuantParams(TypedDict):
    kind: Literal["rank_quant"]
    bits: int

class BitmapParams(TypedDict):
    kind: Literal["bitmap"]
    n_top: int

class SignBitmapParams(TypedDict):
    kind: Literal["sign_bitmap"]

IndexParams: TypeAlias = RankParams | RankQuantParams | BitmapParams | SignBitmapParams

class IndexMetadata(TypedDict):
    kind: IndexKindName
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: IndexParams
    file_size_bytes: int

# ---- the manifest ----

class Artifact(TypedDict):
    path: str
    sha256: str
    kind: IndexKindName
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: IndexParams
    file_size_bytes: int

class AuxiliaryArtifact(TypedDict):
    name: str
    path: str
    sha256: str
    file_size_bytes: int
    required: NotRequired[bool]

class Embedding(TypedDict):
    model: str
    dim: int
    model_revision: NotRequired[str]
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    corpus_digest: NotRequired[str]
    embedding_matrix_digest: NotRequired[str]
    normalization: NotRequired[str]

class EncoderSpec(TypedDict):
    model: str
    dim: int
    model_revision: NotRequired[str]
    normalization: NotRequired[str]

ProfileParameterization: TypeAlias = Literal[
    "marginal_topk_frequency",
    "bucket_frequency",
    "sign_frequency",
    "rank_position_frequency",
    "empirical_tail_table",
]

class TopKOrdinalization(TypedDict):
    kind: Literal["top_k"]
    dim: int
    k: int

class BucketOrdinalization(TypedDict):
    kind: Literal["bucket"]
    dim: int
    bits: int

class SignOrdinalization(TypedDict):
    kind: Literal["sign"]
    dim: int

class RankPositionOrdinalization(TypedDict):
    kind: Literal["rank_position"]
    dim: int

class CallerDefinedOrdinalization(TypedDict):
    kind: Literal["caller_defined"]
    dim: int
    name: str

CalibrationOrdinalization: TypeAlias = (
    TopKOrdinalization
    | BucketOrdinalization
    | SignOrdinalization
    | RankPositionOrdinalization
    | CallerDefinedOrdinalization
)

class UniformHypergeometricNullModel(TypedDict):
    kind: Literal["uniform_hypergeometric"]

class WeightedMarginalProfileNullModel(TypedDict):
    kind: Literal["weighted_marginal_profile"]
    parameterization: ProfileParameterization

class EmpiricalTailTableNullModel(TypedDict):
    kind: Literal["empirical_tail_table"]
    statistic: str

class CallerDefinedNullModel(TypedDict):
    kind: Literal["caller_defined"]
    name: str
    parameterization: NotRequired[str]

NullModelSpec: TypeAlias = (
    UniformHypergeometricNullModel
    | WeightedMarginalProfileNullModel
    | EmpiricalTailTableNullModel
    | CallerDefinedNullModel
)

class ProfileArtifactRef(TypedDict):
    path: str
    sha256: str
    file_size_bytes: int
    dim: int
    sample_count: int
    parameterization: ProfileParameterization
    format: str
    shape: NotRequired[list[int]]
    source_digest: NotRequired[str]

class CalibrationProfileRef(TypedDict):
    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    calibrated_for: EncoderSpec
    ordinalization: CalibrationOrdinalization
    profile: NotRequired[ProfileArtifactRef]
    null_model: NullModelSpec

class MetricSpec(TypedDict):
    name: str
    version: NotRequired[str]
    digest: NotRequired[str]

class DistortionBounds(TypedDict, total=False):
    declared_lower_bound: float
    declared_upper_bound: float
    estimated_distortion: float
    violation_rate: float
    max_observed_violation: float
    quantile_observed_violation: float

class DistortionScope(TypedDict, total=False):
    corpus_digest: str
    query_set_digest: str
    pair_sample_digest: str
    domain: str
    sample_size: int
    confidence: float
    coverage: float
    estimator_version: str

DistortionEvidenceKind: TypeAlias = Literal[
    "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"
]

class DistortionEvidence(TypedDict):
    kind: DistortionEvidenceKind
    estimator_id: NotRequired[str]
    estimator_hash: NotRequired[str]

class DistortionProfileArtifactRef(TypedDict):
    path: str
    sha256: str
    file_size_bytes: int
    format: str
    source_digest: NotRequired[str]

class EncoderDistortionProfileRef(TypedDict):
    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    encoder: EncoderSpec
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    source_metric: MetricSpec
    embedding_metric: MetricSpec
    bounds: DistortionBounds
    scope: DistortionScope
    evidence: DistortionEvidence
    profile: NotRequired[DistortionProfileArtifactRef]
    calibration_profile_id: NotRequired[str]

class RowIdIdentity(TypedDict):
    kind: Literal["row_id_identity"]
    row_count: int

class RowIdentityDb(TypedDict, total=False):
    path: str
    table: str
    id_column: str

class JsonlRowIdentity(TypedDict):
    kind: Literal["jsonl"]
    path: str
    sha256: str
    row_count: int
    id_kind: str
    db: NotRequired[RowIdentityDb]

RowIdentity: TypeAlias = RowIdIdentity | JsonlRowIdentity

class BuildInfo(TypedDict):
    invocation_id: str
    builder_id: NotRequired[str]
    source_repo: NotRequired[str]
    source_commit: NotRequired[str]
    ci_provider: NotRequired[str]
    ci_run_id: NotRequired[str]

class IndexManifest(TypedDict):
    schema_version: str
    manifest_id: str
    created_at: str
    artifact: Artifact
    # The canonical writer leaves out an empty list or object.
    auxiliary_artifacts: NotRequired[list[AuxiliaryArtifact]]
    embedding: Embedding
    encoder_distortion: NotRequired[EncoderDistortionProfileRef]
    calibration: NotRequired[CalibrationProfileRef]
    row_identity: RowIdentity
    build: NotRequired[BuildInfo]
    attestations: NotRequired[list[JsonValue]]
    extensions: NotRequired[dict[str, JsonValue]]

# ---- the verification report ----

class ReportIssue(TypedDict):
    code: str
    message: str

class ArtifactFacts(TypedDict):
    manifest_path: str | None
    observed_path: str | None
    canonical_path: str | None
    sha256: str | None
    size_bytes: int | None
    metadata: IndexMetadata | None

AuxiliaryArtifactState: TypeAlias = Literal[
    "verified", "optional_absent", "missing_required", "failed"
]

class AuxiliaryArtifactFacts(TypedDict):
    name: str
    manifest_path: str
    resolved_path: str | None
    canonical_path: str | None
    expected_sha256: str | None
    expected_size_bytes: int | None
    required: bool
    state: AuxiliaryArtifactState
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

class RowIdentityFacts(TypedDict):
    kind: Literal["jsonl", "row_id_identity"] | None
    manifest_path: str | None
    canonical_path: str | None
    sha256: str | None
    row_count: int | None
    validated_rows: int | None

class EncoderDistortionFacts(TypedDict):
    present: bool
    schema_version: str | None
    profile_id: str | None
    evidence_kind: DistortionEvidenceKind | None
    source_metric: str | None
    embedding_metric: str | None
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

class CalibrationFacts(TypedDict):
    present: bool
    schema_version: str | None
    profile_id: str | None
    calibrated_for_model: str | None
    ordinalization: (
        Literal["top_k", "bucket", "sign", "rank_position", "caller_defined"] | None
    )
    null_model: (
        Literal[
            "uniform_hypergeometric",
            "weighted_marginal_profile",
            "empirical_tail_table",
            "caller_defined",
        ]
        | None
    )
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

class AttestationShapeCheck(TypedDict):
    predicate_type: str | None
    builder_id: str | None
    subject_sha256_matched: bool

class VerificationReport(TypedDict):
    ok: bool
    checked_at: str
    manifest_id: str | None
    artifact: ArtifactFacts
    auxiliary_artifacts: list[AuxiliaryArtifactFacts]
    row_identity: RowIdentityFacts
    encoder_distortion: EncoderDistortionFacts
    calibration: CalibrationFacts
    attestation_shape_checks: list[AttestationShapeCheck]
    errors: list[ReportIssue]
    warnings: list[ReportIssue]
    skipped_checks: list[str]

# ---- the load plan ----

class LoadPlanRowIdentity(TypedDict):
    kind: Literal["jsonl", "row_id_identity"]
    path: str | None
    row_count: int
    validated_rows: int | None
    sha256: str | None

class LoadPlanAuxiliaryArtifact(TypedDict):
    name: str
    path: str | None
    required: bool
    reason_code: Literal["auxiliary_artifact_optional_absent"] | None
    sha256: str | None
    size_bytes: int | None

class LoadPlan(TypedDict):
    manifest_path: str
    artifact_path: str
    metadata: IndexMetadata
    row_identity: LoadPlanRowIdentity
    auxiliary_artifacts: list[LoadPlanAuxiliaryArtifact]
    report: VerificationReport

# ---- inputs ----

class AuxiliaryArtifactInput(TypedDict):
    name: str
    path: StrPath
    required: NotRequired[bool]

class VerifyOptions(TypedDict, total=False):
    """The keyword arguments of verify_manifest and verify_for_load."""

    index: StrPath | None
    allow_absolute_paths: bool
    allow_path_escape: bool
    allow_duplicate_db_ids: bool
    max_manifest_bytes: Limit
    max_row_map_line_bytes: Limit
    max_row_map_rows: Limit
    max_row_map_tracked_id_bytes: Limit
    max_auxiliary_artifacts: Limit
    max_auxiliary_artifact_bytes: Limit
    max_calibration_profile_bytes: Limit
    max_encoder_distortion_profile_bytes: Limit
    max_report_issues: Limit
    max_cached_report_bytes: Limit

# ---- functions ----

def default_resource_limits() -> ResourceLimits: ...
def sha256_file(path: StrPath) -> FileDigest: ...
def inspect_manifest(
    manifest: StrPath,
    *,
    max_manifest_bytes: Limit = None,
    max_row_map_line_bytes: Limit = None,
    max_row_map_rows: Limit = None,
    max_row_map_tracked_id_bytes: Limit = None,
    max_auxiliary_artifacts: Limit = None,
    max_auxiliary_artifact_bytes: Limit = None,
    max_calibration_profile_bytes: Limit = None,
    max_encoder_distortion_profile_bytes: Limit = None,
    max_report_issues: Limit = None,
    max_cached_report_bytes: Limit = None,
) -> IndexManifest: ...
def verify_manifest(
    manifest: StrPath,
    *,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    max_manifest_bytes: Limit = None,
    max_row_map_line_bytes: Limit = None,
    max_row_map_rows: Limit = None,
    max_row_map_tracked_id_bytes: Limit = None,
    max_auxiliary_artifacts: Limit = None,
    max_auxiliary_artifact_bytes: Limit = None,
    max_calibration_profile_bytes: Limit = None,
    max_encoder_distortion_profile_bytes: Limit = None,
    max_report_issues: Limit = None,
    max_cached_report_bytes: Limit = None,
) -> VerificationReport: ...
def verify_for_load(
    manifest: StrPath,
    *,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    max_manifest_bytes: Limit = None,
    max_row_map_line_bytes: Limit = None,
    max_row_map_rows: Limit = None,
    max_row_map_tracked_id_bytes: Limit = None,
    max_auxiliary_artifacts: Limit = None,
    max_auxiliary_artifact_bytes: Limit = None,
    max_calibration_profile_bytes: Limit = None,
    max_encoder_distortion_profile_bytes: Limit = None,
    max_report_issues: Limit = None,
    max_cached_report_bytes: Limit = None,
) -> LoadPlan: ...
def create_manifest(
    index: StrPath,
    out: StrPath,
    embedding_model: str,
    *,
    row_map: StrPath | None = None,
    row_id_is_identity: bool = False,
    auxiliary_artifacts: Iterable[AuxiliaryArtifactInput] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    max_manifest_bytes: Limit = None,
    max_row_map_line_bytes: Limit = None,
    max_row_map_rows: Limit = None,
    max_row_map_tracked_id_bytes: Limit = None,
    max_auxiliary_artifacts: Limit = None,
    max_auxiliary_artifact_bytes: Limit = None,
    max_calibration_profile_bytes: Limit = None,
    max_encoder_distortion_profile_bytes: Limit = None,
    max_report_issues: Limit = None,
    max_cached_report_bytes: Limit = None,
) -> IndexManifest: ...
