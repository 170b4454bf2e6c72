"""The facts block every command ends with: aligned `label  value` lines for each file (its
path, header, rows, size and digest) and the report's or manifest's own facts."""

from __future__ import annotations

from collections.abc import Sequence

from tamrel_manifest._words import counted, quoted
from tamrel_manifest.cli.output import Output

TYPE_CHECKING = False
if TYPE_CHECKING:
    from _tamrel_manifest import (
        Artifact,
        IndexManifest,
        IndexMetadata,
        LoadPlan,
        VerificationReport,
    )


def _params_text(metadata: IndexMetadata | Artifact) -> str:
    params = metadata["params"]
    text: str = metadata["kind"]
    if params["kind"] == "rank_quant":
        text += f" ({params['bits']} bits)"
    elif params["kind"] == "bitmap":
        text += f" (n_top {params['n_top']})"
    return (
        f"{text}, dim {metadata['dim']}, {counted(metadata['vector_count'], 'vector')},"
        f" {counted(metadata['bytes_per_vec'], 'byte')} per vector, format version"
        f" {metadata['format_version']}"
    )


def _size_text(size: int | None) -> str:
    from tamrel_manifest._progress import human_bytes

    if size is None:
        return "unknown"
    return counted(size, "byte") + (f" ({human_bytes(size)})" if size >= 1024 else "")


class _Facts:
    """Aligned `label  value` lines, indented ones for the details of the entry above."""

    def __init__(self) -> None:
        self.rows: list[tuple[str, str]] = []

    def add(self, label: str, value: object, detail: bool = False) -> None:
        self.rows.append((("  " if detail else "") + label, "-" if value is None else str(value)))

    def write(self, output: Output) -> None:
        width = max((len(label) for label, _ in self.rows), default=0)
        for label, value in self.rows:
            output.line(f"{label.ljust(width)}  {value}")


class FileFacts:
    """One file as the human output shows it; None where the source does not know. `sized`:
    whether to show a size line; `always`: the digest (and size) lines even when unknown."""

    def __init__(
        self,
        label: str,
        value: str | None,
        canonical_path: str | None = None,
        header: str | None = None,  # the index header's facts
        rows: str | None = None,
        size: int | None = None,
        sha256: str | None = None,
        sized: bool = True,
        always: bool = False,
    ) -> None:
        self.label = label
        self.value = value
        self.canonical_path = canonical_path
        self.header = header
        self.rows = rows
        self.size = size
        self.sha256 = sha256
        self.sized = sized
        self.always = always


def _count_text(count: int | None, noun: str | None = None) -> str:
    if count is None:
        return "unknown" + (f" {noun}s" if noun else "")
    return str(count) if noun is None else counted(count, noun)


def _rows_text(declared: int | None, validated: int | None) -> str:
    if validated is None:
        return f"{_count_text(declared)} declared, not validated"
    return f"{_count_text(declared)} declared, {validated} validated"


def _identity_rows(count: int | None) -> FileFacts:
    return FileFacts("row map", f"none: row ids are identities ({_count_text(count, 'row')})")


def _write_facts(
    output: Output,
    files: Sequence[FileFacts],
    before: Sequence[tuple[str, object]] = (),
    after: Sequence[tuple[str, object]] = (),
) -> None:
    """The facts block of every command: `before`, each file with its details, `after`."""
    facts = _Facts()
    for label, value in before:
        facts.add(label, value)
    for file in files:
        facts.add(file.label, file.value)
        if file.canonical_path is not None:
            facts.add("canonical path", file.canonical_path, True)
        if file.header is not None:
            facts.add("index", file.header, True)
        if file.rows is not None:
            facts.add("rows", file.rows, True)
        shown = file.always or file.sha256 is not None
        if file.sized and shown and file.rows is None:
            facts.add("size", _size_text(file.size), True)
        if shown:
            facts.add("sha256", file.sha256, True)
    for label, value in after:
        facts.add(label, value)
    facts.write(output)


def _artifact_facts(path: str | None, metadata: IndexMetadata | Artifact | None, size: int | None,
                    sha256: str | None, canonical: str | None = None) -> FileFacts:
    index = _params_text(metadata) if metadata is not None else None
    return FileFacts("artifact", path, canonical, index, None, size, sha256, always=True)


def write_report_facts(output: Output, report: VerificationReport) -> None:
    artifact = report["artifact"]
    files = [
        _artifact_facts(artifact["observed_path"], artifact["metadata"], artifact["size_bytes"],
                        artifact["sha256"], artifact["canonical_path"])
    ]
    rows = report["row_identity"]
    if rows["kind"] == "jsonl":
        files.append(FileFacts("row map", rows["manifest_path"], rows["canonical_path"],
                               rows=_rows_text(rows["row_count"], rows["validated_rows"]),
                               sha256=rows["sha256"], always=True))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in report["auxiliary_artifacts"]:
        state = aux["state"] + (f" ({aux['reason_code']})" if aux["reason_code"] else "")
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}",
                               f"{aux['manifest_path']}: {state}", size=aux["size_bytes"],
                               sha256=aux["sha256"]))
    for label, block in (
        ("encoder distortion", report["encoder_distortion"]),
        ("calibration", report["calibration"]),
    ):
        if block["present"]:
            files.append(FileFacts(label, f"profile {quoted(block['profile_id'] or '')}"))
            if block["profile_manifest_path"] is not None:
                files.append(FileFacts("  profile", block["profile_manifest_path"],
                                       sha256=block["profile_sha256"], sized=False))
    after: list[tuple[str, object]] = []
    checks = report["attestation_shape_checks"]
    if checks:
        matched = sum(1 for check in checks if check["subject_sha256_matched"])
        after.append(("attestations", f"{len(checks)}, {matched} naming the artifact's digest"))
    if report["skipped_checks"]:
        after.append(("skipped checks", ", ".join(report["skipped_checks"])))
    after += [("manifest id", report["manifest_id"]), ("checked at", report["checked_at"])]
    _write_facts(output, files, after=after)


def write_plan_facts(output: Output, plan: LoadPlan) -> None:
    files = [
        _artifact_facts(plan["artifact_path"], plan["metadata"],
                        plan["metadata"]["file_size_bytes"], plan["report"]["artifact"]["sha256"])
    ]
    rows = plan["row_identity"]
    if rows["path"] is not None:
        files.append(FileFacts("row map", rows["path"],
                               rows=_rows_text(rows["row_count"], rows["validated_rows"]),
                               sha256=rows["sha256"], always=True))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in plan["auxiliary_artifacts"]:
        value = aux["path"] if aux["path"] is not None else f"absent ({aux['reason_code']})"
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}", value,
                               sha256=aux["sha256"], sized=False))
    _write_facts(output, files)


def write_manifest_facts(output: Output, manifest: IndexManifest) -> None:
    artifact = manifest["artifact"]
    embedding = manifest["embedding"]
    before = [
        ("manifest id", manifest["manifest_id"]),
        ("created at", manifest["created_at"]),
        ("embedding model", f"{embedding['model']} (dim {embedding['dim']})"),
    ]
    files = [
        _artifact_facts(artifact["path"], artifact, artifact["file_size_bytes"],
                        artifact["sha256"])
    ]
    rows = manifest["row_identity"]
    if rows["kind"] == "jsonl":
        files.append(FileFacts("row map", rows["path"], rows=str(rows["row_count"]),
                               sha256=rows["sha256"]))
    else:
        files.append(_identity_rows(rows["row_count"]))
    for aux in manifest.get("auxiliary_artifacts", []):
        required = "required" if aux.get("required", True) else "optional"
        files.append(FileFacts(f"auxiliary {quoted(aux['name'])}",
                               f"{aux['path']} ({required})", size=aux["file_size_bytes"],
                               sha256=aux["sha256"]))
    for key in ("encoder_distortion", "calibration"):
        block = manifest.get(key)
        if isinstance(block, dict):
            files.append(FileFacts(key.replace("_", " "),
                                   f"profile {quoted(block['profile_id'])}"))
    attestations = manifest.get("attestations", [])
    _write_facts(output, files, before, [("attestations", len(attestations))] if attestations
                 else [])
