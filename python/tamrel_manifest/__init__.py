"""Create, inspect and verify index manifests: JSON documents that pin a persisted vector-index
file and everything a loader must trust before opening it.

The six functions and thirteen constants are those of the native module `_tamrel_manifest`, with
the same arguments, results and texts; two raise richer errors: `verify_for_load` raises
`VerificationFailed` (a ValueError carrying the report) when verification finds issues, and
`create_manifest` raises `RowMapInvalid` (a ValueError carrying the row map's issues) for a row
map with issues and removes the directories it made for `out` when it fails. `open_verified`
adds what a loader needs on top: the verified files, opened. `PanicException` is what the module
raises if an internal invariant ever breaks (a BaseException).
"""

from __future__ import annotations

from _tamrel_manifest import (
    CALIBRATION_SCHEMA_VERSION,
    DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES,
    DEFAULT_MAX_AUXILIARY_ARTIFACTS,
    DEFAULT_MAX_CACHED_REPORT_BYTES,
    DEFAULT_MAX_CALIBRATION_PROFILE_BYTES,
    DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES,
    DEFAULT_MAX_MANIFEST_BYTES,
    DEFAULT_MAX_REPORT_ISSUES,
    DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES,
    DEFAULT_MAX_ROW_IDENTITY_ROWS,
    DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES,
    ENCODER_DISTORTION_SCHEMA_VERSION,
    SCHEMA_VERSION,
    default_resource_limits,
    inspect_manifest,
    sha256_file,
    verify_manifest,
)
from tamrel_manifest._version import __version__

# typing is the type checker's: left unimported at run time, as the tool's modules leave it.
TYPE_CHECKING = False
if TYPE_CHECKING:  # the module's signatures; the package's versions take the same arguments
    from typing import Any
    from _tamrel_manifest import create_manifest as create_manifest
    from _tamrel_manifest import verify_for_load as verify_for_load
    from tamrel_manifest._create import RowMapInvalid, RowMapReport
    from tamrel_manifest.signing import (
        DEFAULT_MAX_SIGNATURE_BYTES,
        generate_key,
        sign_manifest,
        verify_signature,
        verify_signed_manifest,
    )
    from tamrel_manifest.verified import VerificationFailed, VerifiedFiles, open_verified

    class PanicException(BaseException):
        """Raised when the native code panics (an internal invariant failed)."""

# The rest is imported when first asked for: a command that verifies without signatures never
# loads the signing module, and the tool starts without the creation and loading layers.
_LAZY = {
    "create_manifest": "tamrel_manifest._create",
    "RowMapInvalid": "tamrel_manifest._create",
    "RowMapReport": "tamrel_manifest._create",
    "verify_for_load": "tamrel_manifest.verified",
    "open_verified": "tamrel_manifest.verified",
    "VerificationFailed": "tamrel_manifest.verified",
    "VerifiedFiles": "tamrel_manifest.verified",
    "generate_key": "tamrel_manifest.signing",
    "sign_manifest": "tamrel_manifest.signing",
    "verify_signature": "tamrel_manifest.signing",
    "verify_signed_manifest": "tamrel_manifest.signing",
    "DEFAULT_MAX_SIGNATURE_BYTES": "tamrel_manifest.signing",
}


def __getattr__(name: str) -> Any:
    import importlib

    if name == "PanicException":
        # The module registers it in _tamrel_manifest_native when the signing module loads (or
        # at the first panic); loading that module makes sure it is there.
        importlib.import_module("tamrel_manifest.signing")
        value = importlib.import_module("_tamrel_manifest_native").PanicException
    elif name in _LAZY:
        value = getattr(importlib.import_module(_LAZY[name]), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value  # asked for once
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY, "PanicException"})


# The result shapes exist for type checkers only (they are TypedDicts of the stub); at run time
# each name is `dict`, which is what the results are, so annotations that name them still work.
_TYPE_NAMES = (
    "Artifact",
    "ArtifactFacts",
    "AttestationShapeCheck",
    "AuxiliaryArtifact",
    "AuxiliaryArtifactFacts",
    "AuxiliaryArtifactInput",
    "CalibrationFacts",
    "CalibrationProfileRef",
    "EncoderDistortionFacts",
    "EncoderDistortionProfileRef",
    "FileDigest",
    "IndexManifest",
    "IndexMetadata",
    "LoadPlan",
    "LoadPlanAuxiliaryArtifact",
    "LoadPlanRowIdentity",
    "ReportIssue",
    "ResourceLimits",
    "RowIdentityFacts",
    "VerificationReport",
    "VerifyOptions",
)
if TYPE_CHECKING:
    from _tamrel_manifest import Artifact as Artifact
    from _tamrel_manifest import ArtifactFacts as ArtifactFacts
    from _tamrel_manifest import AttestationShapeCheck as AttestationShapeCheck
    from _tamrel_manifest import AuxiliaryArtifact as AuxiliaryArtifact
    from _tamrel_manifest import AuxiliaryArtifactFacts as AuxiliaryArtifactFacts
    from _tamrel_manifest import AuxiliaryArtifactInput as AuxiliaryArtifactInput
    from _tamrel_manifest import CalibrationFacts as CalibrationFacts
    from _tamrel_manifest import CalibrationProfileRef as CalibrationProfileRef
    from _tamrel_manifest import EncoderDistortionFacts as EncoderDistortionFacts
    from _tamrel_manifest import EncoderDistortionProfileRef as EncoderDistortionProfileRef
    from _tamrel_manifest import FileDigest as FileDigest
    from _tamrel_manifest import IndexManifest as IndexManifest
    from _tamrel_manifest import IndexMetadata as IndexMetadata
    from _tamrel_manifest import LoadPlan as LoadPlan
    from _tamrel_manifest import LoadPlanAuxiliaryArtifact as LoadPlanAuxiliaryArtifact
    from _tamrel_manifest import LoadPlanRowIdentity as LoadPlanRowIdentity
    from _tamrel_manifest import ReportIssue as ReportIssue
    from _tamrel_manifest import ResourceLimits as ResourceLimits
    from _tamrel_manifest import RowIdentityFacts as RowIdentityFacts
    from _tamrel_manifest import VerificationReport as VerificationReport
    from _tamrel_manifest import VerifyOptions as VerifyOptions
else:
    globals().update(dict.fromkeys(_TYPE_NAMES, dict))

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
    "open_verified",
    "generate_key",
    "sign_manifest",
    "verify_signed_manifest",
    "verify_signature",
    "DEFAULT_MAX_SIGNATURE_BYTES",
    "VerificationFailed",
    "VerifiedFiles",
    "RowMapInvalid",
    "RowMapReport",
    "PanicException",
]
