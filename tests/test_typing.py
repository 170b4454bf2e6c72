"""Type information: the stub agrees with the module and with real results, a strict type check
passes on ordinary use and catches misuse, and (opt-in) the built wheel installs with its types."""

from __future__ import annotations

import ast
import inspect
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

import _tamrel_manifest as tm
import tamrel_manifest
from builders import make_fixture, sha256_of, write_manifest

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "_tamrel_manifest.pyi"
if not STUB.is_file():  # tests run against an installed wheel: the stub it shipped
    STUB = Path(tm.__file__).parent / "_tamrel_manifest-stubs" / "__init__.pyi"


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_typed_dicts() -> dict[str, list[tuple[str, bool]]]:
    """TypedDict name -> [(key, required)] in declaration order."""
    found: dict[str, list[tuple[str, bool]]] = {}
    for node in stub_tree().body:
        if not isinstance(node, ast.ClassDef):
            continue
        total = all(not (k.arg == "total" and isinstance(k.value, ast.Constant)
                         and k.value.value is False) for k in node.keywords)
        keys = []
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                not_required = ast.unparse(item.annotation).startswith("NotRequired[")
                keys.append((item.target.id, total and not not_required))
        found[node.name] = keys
    return found


TYPED_DICTS = stub_typed_dicts()


def assert_shape(value: dict[str, Any], name: str) -> None:
    keys = TYPED_DICTS[name]
    assert list(value) == [k for k, _ in keys if k in value], name  # no extra keys, same order
    assert {k for k, required in keys if required} <= set(value), name


# ---- the stub against the module ----

def test_stub_names_constants_and_signatures_match_the_module() -> None:
    tree = stub_tree()
    stub_all = next(ast.literal_eval(n.value) for n in tree.body if isinstance(n, ast.Assign)
                    and getattr(n.targets[0], "id", "") == "__all__")
    assert stub_all == tm.__all__
    constants = {n.target.id: ast.literal_eval(n.value) for n in tree.body
                 if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
                 and n.value is not None and "Final" in ast.unparse(n.annotation)}
    assert constants == {name: getattr(tm, name) for name in tm.__all__[:13]}
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert list(functions) == tm.__all__[13:]
    for name, node in functions.items():
        stub_params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in node.args.args]
        stub_params += [(a.arg, inspect.Parameter.KEYWORD_ONLY) for a in node.args.kwonlyargs]
        defaults = [None] * (len(node.args.args) - len(node.args.defaults))
        defaults += [ast.literal_eval(d) for d in node.args.defaults]
        defaults += [ast.literal_eval(d) if d is not None else None
                     for d in node.args.kw_defaults]
        runtime = inspect.signature(getattr(tm, name)).parameters.values()
        assert [(p.name, p.kind) for p in runtime] == stub_params, name
        assert [None if p.default is p.empty else p.default for p in runtime] == defaults, name


# The package's own versions: the same arguments and texts, richer errors.
WRAPPED = {"create_manifest", "verify_for_load"}


def test_package_reexports_the_module_unchanged() -> None:
    assert tamrel_manifest.__all__ == [*tm.__all__, "open_verified", "generate_key",
                                       "sign_manifest", "verify_signed_manifest",
                                       "verify_signature", "DEFAULT_MAX_SIGNATURE_BYTES", "VerificationFailed",
                                       "VerifiedFiles", "RowMapInvalid", "RowMapReport",
                                       "PanicException"]
    for name in tm.__all__:
        ours = getattr(tamrel_manifest, name)
        assert (ours.__wrapped__ if name in WRAPPED else ours) is getattr(tm, name)
    # The result types can be named at run time too (they are plain dicts there).
    from tamrel_manifest import LoadPlan, VerificationReport
    assert LoadPlan is dict and VerificationReport is dict


# ---- the TypedDicts against real results ----

def test_report_load_plan_and_limits_have_the_stub_shapes(tmp_path: Path) -> None:
    notes = tmp_path / "notes.txt"
    notes.write_bytes(b"n")
    aux = [{"name": "notes", "path": "notes.txt", "sha256": sha256_of(notes),
            "file_size_bytes": 1}]
    manifest = write_manifest(tmp_path / "m.json",
                              make_fixture(tmp_path, auxiliary_artifacts=aux))
    report = tm.verify_manifest(manifest)
    for value, name in [(report, "VerificationReport"), (report["artifact"], "ArtifactFacts"),
                        (report["artifact"]["metadata"], "IndexMetadata"),
                        (report["auxiliary_artifacts"][0], "AuxiliaryArtifactFacts"),
                        (report["row_identity"], "RowIdentityFacts"),
                        (report["encoder_distortion"], "EncoderDistortionFacts"),
                        (report["calibration"], "CalibrationFacts")]:
        assert_shape(value, name)
    assert list(report) == [k for k, _ in TYPED_DICTS["VerificationReport"]]
    plan = tm.verify_for_load(manifest)
    for value, name in [(plan, "LoadPlan"), (plan["row_identity"], "LoadPlanRowIdentity"),
                        (plan["auxiliary_artifacts"][0], "LoadPlanAuxiliaryArtifact"),
                        (plan["metadata"]["params"], "RankQuantParams")]:
        assert_shape(value, name)
    assert_shape(tm.default_resource_limits(), "ResourceLimits")
    assert_shape(tm.sha256_file(notes), "FileDigest")


def full_manifest(root: Path) -> dict[str, Any]:
    """A manifest with every optional member given (shapes only: inspection checks no rules)."""
    encoder = {"model": "m", "dim": 16, "model_revision": "r", "normalization": "l2"}
    digest = "sha256:" + "0" * 64
    return make_fixture(
        root,
        auxiliary_artifacts=[{"name": "a", "path": "a", "sha256": "0" * 64,
                              "file_size_bytes": 1, "required": False}],
        embedding={"model": "m", "dim": 16, "model_revision": "r", "tokenizer_revision": "t",
                   "pooling": "mean", "corpus_digest": "0" * 64,
                   "embedding_matrix_digest": "0" * 64, "normalization": "l2"},
        encoder_distortion={
            "schema_version": "tamrel.encoder_distortion.v1", "profile_id": "d",
            "created_at": "2026-01-02T03:04:05Z", "encoder": encoder, "tokenizer_revision": "t",
            "pooling": "mean", "source_metric": {"name": "s", "version": "1", "digest": digest},
            "embedding_metric": {"name": "cosine"},
            "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2,
                       "estimated_distortion": 1, "violation_rate": 0.1,
                       "max_observed_violation": 0.2, "quantile_observed_violation": 0.3},
            "scope": {"corpus_digest": digest, "query_set_digest": digest,
                      "pair_sample_digest": digest, "domain": "web", "sample_size": 10,
                      "confidence": 0.9, "coverage": 0.8, "estimator_version": "1"},
            "evidence": {"kind": "empirical_sample", "estimator_id": "e",
                         "estimator_hash": digest},
            "profile": {"path": "d.bin", "sha256": "0" * 64, "file_size_bytes": 1,
                        "format": "npy", "source_digest": digest},
            "calibration_profile_id": "c"},
        calibration={
            "schema_version": "tamrel.calibration.v1", "profile_id": "c",
            "created_at": "2026-01-02T03:04:05Z", "calibrated_for": encoder,
            "ordinalization": {"kind": "top_k", "dim": 16, "k": 4},
            "profile": {"path": "c.bin", "sha256": "0" * 64, "file_size_bytes": 1, "dim": 16,
                        "sample_count": 5, "parameterization": "marginal_topk_frequency",
                        "format": "npy", "shape": [16], "source_digest": digest},
            "null_model": {"kind": "weighted_marginal_profile",
                           "parameterization": "marginal_topk_frequency"}},
        build={"invocation_id": "i", "builder_id": "b", "source_repo": "r",
               "source_commit": "c", "ci_provider": "p", "ci_run_id": "1"},
        attestations=[{"predicateType": "p"}],
        extensions={"x.y": 1},
    )


def test_manifest_has_the_stub_shape(tmp_path: Path) -> None:
    fixture = full_manifest(tmp_path)
    fixture["row_identity"]["db"] = {"path": "p", "table": "t", "id_column": "c"}
    m = tm.inspect_manifest(write_manifest(tmp_path / "m.json", fixture))
    distortion, calibration = m["encoder_distortion"], m["calibration"]
    pairs = [
        (m, "IndexManifest"), (m["artifact"], "Artifact"),
        (m["artifact"]["params"], "RankQuantParams"),
        (m["auxiliary_artifacts"][0], "AuxiliaryArtifact"), (m["embedding"], "Embedding"),
        (m["row_identity"], "JsonlRowIdentity"), (m["row_identity"]["db"], "RowIdentityDb"),
        (m["build"], "BuildInfo"),
        (distortion, "EncoderDistortionProfileRef"), (distortion["encoder"], "EncoderSpec"),
        (distortion["source_metric"], "MetricSpec"), (distortion["bounds"], "DistortionBounds"),
        (distortion["scope"], "DistortionScope"), (distortion["evidence"], "DistortionEvidence"),
        (distortion["profile"], "DistortionProfileArtifactRef"),
        (calibration, "CalibrationProfileRef"), (calibration["calibrated_for"], "EncoderSpec"),
        (calibration["ordinalization"], "TopKOrdinalization"),
        (calibration["profile"], "ProfileArtifactRef"),
        (calibration["null_model"], "WeightedMarginalProfileNullModel"),
    ]
    for value, name in pairs:
        assert_shape(value, name)
        # every member was given, so every key of the stub must be there
        assert list(value) == [k for k, _ in TYPED_DICTS[name]], name


# ---- a strict type check ----

USAGE = '''
from __future__ import annotations

import pathlib

import tamrel_manifest
from tamrel_manifest import IndexManifest, LoadPlan, VerificationReport


def digests(report: VerificationReport) -> list[str]:
    found = [a["sha256"] for a in report["auxiliary_artifacts"] if a["sha256"] is not None]
    if report["artifact"]["sha256"] is not None:
        found.append(report["artifact"]["sha256"])
    return found


def main() -> int:
    manifest: IndexManifest = tamrel_manifest.create_manifest(
        "idx.kxrq", pathlib.Path("m.json"), "model", row_map="rows.jsonl",
        auxiliary_artifacts=[{"name": "vocab", "path": pathlib.Path("v.txt")},
                             {"name": "extra", "path": "e.bin", "required": False}],
        max_auxiliary_artifacts=8)
    params = manifest["artifact"]["params"]
    bits = params["bits"] if params["kind"] == "rank_quant" else 0
    report = tamrel_manifest.verify_manifest("m.json", index=None, max_report_issues=True)
    codes = [issue["code"] for issue in report["errors"]]
    try:
        plan: LoadPlan = tamrel_manifest.verify_for_load("m.json", allow_path_escape=True)
    except tamrel_manifest.VerificationFailed as failed:
        return len(failed.report["errors"])
    except tamrel_manifest.PanicException:
        raise
    rows = plan["row_identity"]["path"] or "identity"
    try:
        tamrel_manifest.create_manifest("idx.kxrq", "n.json", "model", row_map="rows.jsonl")
    except tamrel_manifest.RowMapInvalid as invalid:
        lines = [issue["message"] for issue in invalid.report["errors"]]
        print(invalid.report["row_map"], lines)
    with tamrel_manifest.open_verified("m.json", max_manifest_bytes=1 << 20) as verified:
        header = verified.index.read(14)
        row_map = verified.row_map.read() if verified.row_map is not None else b""
        names = sorted(verified.auxiliary_artifacts)
    limits = tamrel_manifest.default_resource_limits()
    size: int = tamrel_manifest.sha256_file("idx.kxrq")["size_bytes"] + limits["max_report_issues"]
    schema: str = tamrel_manifest.SCHEMA_VERSION
    print(bits, codes, rows, header, row_map, names, size, schema, digests(report))
    return 0 if report["ok"] else 1
'''

MISUSE = {
    "unknown_report_key": ('r = tm.verify_manifest("m")\nr["okay"]', "typeddict-item"),
    "bytes_path": ('tm.verify_manifest(b"m.json")', "arg-type"),
    "int_row_map": ('tm.create_manifest("i", "o", "m", row_map=1)', "arg-type"),
    "str_limit": ('tm.verify_manifest("m", max_report_issues="3")', "arg-type"),
    "unknown_keyword": ('tm.inspect_manifest("m", index="i")', "call-arg"),
    "nullable_path": ('tm.verify_for_load("m")["row_identity"]["path"].upper()', "union-attr"),
    "digest_is_str": ('x: int = tm.sha256_file("p")["sha256"]', "assignment"),
    "bits_not_on_every_kind": ('tm.inspect_manifest("m")["artifact"]["params"]["bits"]',
                               "typeddict-item"),
    "open_verified_option": (
        'with tamrel_manifest.open_verified("m", allow_path_escape="yes"):\n    pass',
        "arg-type"),
    "aux_item_without_path": ('tm.create_manifest("i", "o", "m", auxiliary_artifacts=[{"name":'
                              ' "a"}])', "typeddict-item"),
}


def mypy(paths: list[Path], cwd: Path) -> subprocess.CompletedProcess[str]:
    if os.environ.get("TAMREL_SANITIZED"):  # the sanitizer preload would be inherited by mypy
        pytest.skip("type checks exercise no native code; the plain run has them")
    pytest.importorskip("mypy")
    env = dict(os.environ)
    if os.environ.get("TAMREL_TEST_BUILD"):  # types from the source tree
        env["MYPYPATH"] = str(ROOT / "python")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10",
         "--no-error-summary", "--show-error-codes", "--cache-dir", str(cwd / ".mypy_cache"),
         *map(str, paths)], capture_output=True, text=True, cwd=cwd, env=env, timeout=600)


@pytest.fixture(scope="module")
def misuse_errors(tmp_path_factory: pytest.TempPathFactory) -> dict[str, list[str]]:
    root = tmp_path_factory.mktemp("misuse")
    paths = []
    for name, (code, _) in MISUSE.items():
        path = root / f"{name}.py"
        path.write_text("import _tamrel_manifest as tm\nimport tamrel_manifest\n" + code + "\n")
        paths.append(path)
    result = mypy(paths, root)
    errors: dict[str, list[str]] = {name: [] for name in MISUSE}
    for line in result.stdout.splitlines():
        match = re.match(r"(\w+)\.py:\d+: error: .*\[([\w-]+)\]$", line)
        if match:
            errors[match.group(1)].append(match.group(2))
    return errors


def test_strict_type_check_passes_on_ordinary_use(tmp_path: Path) -> None:
    example = tmp_path / "usage.py"
    example.write_text(textwrap.dedent(USAGE))
    targets = [example]
    if os.environ.get("TAMREL_TEST_BUILD"):  # the package's own code too
        targets += [ROOT / "python" / "tamrel_manifest", STUB]
    result = mypy(targets, tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


@pytest.mark.parametrize("name", MISUSE)
def test_strict_type_check_catches_misuse(misuse_errors: dict[str, list[str]],
                                          name: str) -> None:
    assert set(misuse_errors[name]) == {MISUSE[name][1]}  # one per union member at most


# ---- the installed package (opt-in: builds a wheel, makes a virtual environment) ----

@pytest.mark.skipif(not os.environ.get("TAMREL_TEST_WHEEL"),
                    reason="set TAMREL_TEST_WHEEL=1 to build and install the wheel")
def test_wheel_is_abi3_and_installs_with_types(tmp_path: Path) -> None:
    dist, venv = tmp_path / "dist", tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-w",
                    str(dist), "-C", f"build-dir={tmp_path / 'build'}"], check=True,
                   capture_output=True, timeout=1800)
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1 and "-cp310-abi3-" in wheels[0].name, wheels
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", str(wheels[0]), "mypy"], check=True,
                   capture_output=True, timeout=900)
    limits = subprocess.run([venv / "bin" / "tamrel-manifest", "limits", "--json"],
                            capture_output=True, text=True, check=True, cwd=tmp_path)
    assert json.loads(limits.stdout) == tm.default_resource_limits()
    example = tmp_path / "usage.py"
    example.write_text(textwrap.dedent(USAGE))
    checked = subprocess.run([python, "-m", "mypy", "--strict", str(example)],
                             capture_output=True, text=True, cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout
