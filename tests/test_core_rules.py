"""Declared-value rules of the manifest core and of the auxiliary artifact list: each rule's code,
exact message and place, over manifests whose files are otherwise correct."""

from __future__ import annotations

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

DIGEST = "must be a lowercase 64-character hex SHA-256 digest"
UPPER = "AB" * 32


def verify(tmp_path, manifest, **kw) -> dict:
    return tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)), **kw)


def pairs(report) -> list[tuple[str, str]]:
    return [(e["code"], e["message"]) for e in report["errors"]]


def setting(path: str, value):
    """A mutation that sets one member, addressed by a dotted path."""
    def apply(m):
        *parents, last = path.split(".")
        node = m
        for p in parents:
            node = node.setdefault(p, {})
        node[last] = value
    return apply


def sha_of(m) -> str:
    return m["artifact"]["sha256"]


# (mutation of a clean rank_quant manifest with an identity row map, full expected errors).
# The fixture's file has dim 16, 3 vectors, bits 2, 4 bytes per vector.
IDENTITY_CASES = {
    "schema_leading_space": (
        setting("schema_version", " tamrel.index_manifest.v1"),
        [("schema_version_unsupported",
          "schema_version must be tamrel.index_manifest.v1, got  tamrel.index_manifest.v1")]),
    "schema_case": (
        setting("schema_version", "TAMREL.index_manifest.v1"),
        [("schema_version_unsupported",
          "schema_version must be tamrel.index_manifest.v1, got TAMREL.index_manifest.v1")]),
    "manifest_id_ideographic_space": (
        setting("manifest_id", "\u3000"), [("manifest_id_empty", "manifest_id must be non-empty")]),
    "manifest_id_empty": (
        setting("manifest_id", ""), [("manifest_id_empty", "manifest_id must be non-empty")]),
    "manifest_id_padded_is_fine": (setting("manifest_id", " x "), []),
    "created_at_no_such_day": (
        setting("created_at", "2024-02-30T00:00:00Z"),
        [("created_at_invalid", "created_at must parse as RFC3339")]),
    "created_at_space_and_offset": (setting("created_at", "2024-01-01 00:00:00+01:00"), []),
    "embedding_model_blank": (
        setting("embedding.model", " \t"),
        [("embedding_model_empty", "embedding.model must be non-empty")]),
    "embedding_dim_zero": (
        setting("embedding.dim", 0),
        [("embedding_dim_zero", "embedding.dim must be greater than zero"),
         ("artifact_embedding_dim_mismatch", "artifact.dim 16 does not match embedding.dim 0")]),
    "artifact_sha256_upper": (
        lambda m: m["artifact"].update(sha256=m["artifact"]["sha256"].upper()),
        lambda m: [("artifact_sha256_invalid", f"artifact.sha256 {DIGEST}"),
                   ("artifact_sha256_mismatch",
                    f"artifact SHA-256 was {sha_of(m).lower()}, manifest declares {sha_of(m)}")]),
    "artifact_bytes_per_vec_zero": (
        setting("artifact.bytes_per_vec", 0),
        [("artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero"),
         ("artifact_bytes_per_vec_mismatch", "artifact bytes_per_vec was 4, manifest declares 0")]),
    "artifact_dim_differs": (
        setting("artifact.dim", 32),
        [("artifact_embedding_dim_mismatch", "artifact.dim 32 does not match embedding.dim 16"),
         ("artifact_dim_mismatch", "artifact dim was 16, manifest declares 32")]),
    "artifact_params_other_variant": (
        setting("artifact.params", {"kind": "rank"}),
        [("artifact_params_kind_mismatch",
          "artifact.params discriminator does not match artifact.kind"),
         ("artifact_params_mismatch",
          "artifact params were RankQuant { bits: 2 }, manifest declares Rank")]),
    "identity_row_count_differs": (
        setting("row_identity.row_count", 4),
        [("artifact_row_count_mismatch",
          "artifact.vector_count 3 does not match row_identity.row_count 4")]),
    "extension_keys_in_sorted_order": (
        setting("extensions", {"b": 1, "a": 2, "a://b": 3, "urn:x": 4, "urn": 5}),
        [("extension_key_not_namespaced", 'extension key "a" must be namespaced'),
         ("extension_key_not_namespaced", 'extension key "b" must be namespaced'),
         ("extension_key_not_namespaced", 'extension key "urn" must be namespaced')]),
    "extension_key_with_quote": (
        setting("extensions", {'say "hi"': 1}),
        [("extension_key_not_namespaced", 'extension key "say \\"hi\\"" must be namespaced')]),
}

for _member, _code in [("model_revision", "embedding_model_revision_empty"),
                       ("tokenizer_revision", "embedding_tokenizer_revision_empty"),
                       ("pooling", "embedding_pooling_empty"),
                       ("normalization", "embedding_normalization_empty")]:
    IDENTITY_CASES[f"embedding_{_member}_blank"] = (
        setting(f"embedding.{_member}", "\u2003"),
        [(_code, f"embedding.{_member} must be non-empty when present")])
    IDENTITY_CASES[f"embedding_{_member}_present"] = (setting(f"embedding.{_member}", "v"), [])

for _member, _code, _label in [
        ("corpus_digest", "embedding_corpus_digest_invalid", "corpus_digest"),
        ("embedding_matrix_digest", "embedding_matrix_digest_invalid", "embedding_matrix_digest")]:
    IDENTITY_CASES[f"embedding_{_member}_upper"] = (
        setting(f"embedding.{_member}", UPPER), [(_code, f"embedding.{_label} {DIGEST}")])
    IDENTITY_CASES[f"embedding_{_member}_blank"] = (
        setting(f"embedding.{_member}", ""), [(_code, f"embedding.{_label} {DIGEST}")])
    IDENTITY_CASES[f"embedding_{_member}_good"] = (setting(f"embedding.{_member}", "ab" * 32), [])

BUILD_OK = {"invocation_id": "i"}
for _member, _code, _suffix in [
        ("invocation_id", "build_invocation_id_empty", "must be non-empty"),
        ("builder_id", "build_builder_id_empty", "must be non-empty"),
        ("source_repo", "build_source_repo_empty", "must be non-empty when present"),
        ("source_commit", "build_source_commit_empty", "must be non-empty when present"),
        ("ci_provider", "build_ci_provider_empty", "must be non-empty when present"),
        ("ci_run_id", "build_ci_run_id_empty", "must be non-empty when present")]:
    IDENTITY_CASES[f"build_{_member}_blank"] = (
        setting("build", {**BUILD_OK, _member: " "}), [(_code, f"build.{_member} {_suffix}")])
IDENTITY_CASES["build_minimal"] = (setting("build", BUILD_OK), [])


def resolve(expected, manifest):
    return expected(manifest) if callable(expected) else expected


@pytest.mark.parametrize("mutate,expected", IDENTITY_CASES.values(), ids=IDENTITY_CASES.keys())
def test_rule_on_identity_manifest(tmp_path, mutate, expected):
    manifest = make_fixture(tmp_path, "rank_quant", row_map=False)
    mutate(manifest)
    assert pairs(verify(tmp_path, manifest)) == resolve(expected, manifest)


# Row-map rules: the row-identity stage runs after them and may add its own issues, so only the
# leading issues (those of the declared rules) are compared.
JSONL_CASES = {
    "path_blank": ({"path": " "}, [("row_identity_path_empty",
                                    "row_identity.path must be non-empty")]),
    "sha256_upper": ({"sha256": UPPER}, [("row_identity_sha256_invalid",
                                          f"row_identity.sha256 {DIGEST}")]),
    "sha256_prefixed": ({"sha256": "sha256:" + "a" * 64},
                        [("row_identity_sha256_invalid", f"row_identity.sha256 {DIGEST}")]),
    "id_kind_upper": ({"id_kind": "UUID"}, [("row_identity_id_kind_unsupported",
                                             "row_identity.id_kind must be uuid in v1")]),
    "db_empty_object": ({"db": {}}, [
        ("row_identity_db_unsupported",
         "row_identity.db is reserved for a future schema and is not verified in v1")]),
    "row_count_and_db": ({"row_count": 5, "db": {"table": "t"}}, [
        ("artifact_row_count_mismatch",
         "artifact.vector_count 3 does not match row_identity.row_count 5"),
        ("row_identity_db_unsupported",
         "row_identity.db is reserved for a future schema and is not verified in v1")]),
}


@pytest.mark.parametrize("change,expected", JSONL_CASES.values(), ids=JSONL_CASES.keys())
def test_rule_on_row_map_manifest(tmp_path, change, expected):
    manifest = make_fixture(tmp_path, "rank_quant")
    manifest["row_identity"].update(change)
    assert pairs(verify(tmp_path, manifest))[:len(expected)] == expected


def test_identity_row_map_skips_row_map_rules(tmp_path):
    manifest = make_fixture(tmp_path, "bitmap", row_map=False)
    manifest["row_identity"]["row_count"] = 0
    assert pairs(verify(tmp_path, manifest)) == [
        ("artifact_row_count_mismatch",
         "artifact.vector_count 3 does not match row_identity.row_count 0")]


def entry(name, path="p", sha256="0" * 64):
    return {"name": name, "path": path, "sha256": sha256, "file_size_bytes": 1}


def dup(name):
    return ("auxiliary_artifact_name_duplicate", f'auxiliary artifact name "{name}" is duplicated')


AUX_CASES = {
    "count_limit_hides_entries": (
        [entry(""), entry(""), entry("")], 2,
        [("auxiliary_artifact_count_limit_exceeded",
          "auxiliary_artifacts has 3 entries, exceeding max_auxiliary_artifacts=2")]),
    "at_the_limit_all_checked": (
        [entry(""), entry("")], 2,
        [("auxiliary_artifact_name_empty", "auxiliary artifact name must be non-empty")] * 2),
    "limit_zero": (
        [entry("a")], 0,
        [("auxiliary_artifact_count_limit_exceeded",
          "auxiliary_artifacts has 1 entries, exceeding max_auxiliary_artifacts=0")]),
    "three_times_x": ([entry("x"), entry("x"), entry("x")], None, [dup("x"), dup("x")]),
    "padded_name_empty_path": (
        [entry(" x ", path="")], None,
        [("auxiliary_artifact_name_not_trimmed",
          'auxiliary artifact name "x" must not have leading or trailing whitespace'),
         ("auxiliary_artifact_path_empty", 'auxiliary artifact "x" path must be non-empty')]),
    "empty_name_bad_digest": (
        [entry("", sha256="zz")], None,
        [("auxiliary_artifact_name_empty", "auxiliary artifact name must be non-empty"),
         ("auxiliary_artifact_sha256_invalid",
          f'auxiliary artifact "" sha256 {DIGEST}')]),
    "upper_digest": (
        [entry("m", sha256=UPPER)], None,
        [("auxiliary_artifact_sha256_invalid", f'auxiliary artifact "m" sha256 {DIGEST}')]),
    "padded_names_are_not_duplicates": (
        [entry("a"), entry(" a"), entry("a\u00a0")], None,
        [("auxiliary_artifact_name_not_trimmed",
          'auxiliary artifact name "a" must not have leading or trailing whitespace')] * 2),
    "quoted_name_in_messages": (
        [entry('q"\t', path="\u2029"), entry('q"\t')], None,
        [("auxiliary_artifact_name_not_trimmed",
          'auxiliary artifact name "q\\"" must not have leading or trailing whitespace'),
         ("auxiliary_artifact_path_empty", 'auxiliary artifact "q\\"" path must be non-empty'),
         ("auxiliary_artifact_name_not_trimmed",
          'auxiliary artifact name "q\\"" must not have leading or trailing whitespace')]),
    "clean_duplicate_after_padded": (
        [entry(" d"), entry("d"), entry("d")], None,
        [("auxiliary_artifact_name_not_trimmed",
          'auxiliary artifact name "d" must not have leading or trailing whitespace'),
         dup("d")]),
}


DECLARED_AUX_CODES = {"auxiliary_artifact_count_limit_exceeded", "auxiliary_artifact_name_empty",
                      "auxiliary_artifact_name_not_trimmed", "auxiliary_artifact_name_duplicate",
                      "auxiliary_artifact_path_empty", "auxiliary_artifact_sha256_invalid"}


@pytest.mark.parametrize("entries,limit,expected", AUX_CASES.values(), ids=AUX_CASES.keys())
def test_auxiliary_declarations(tmp_path, entries, limit, expected):
    manifest = make_fixture(tmp_path, "rank", row_map=False, auxiliary_artifacts=entries)
    kw = {} if limit is None else {"max_auxiliary_artifacts": limit}
    errors = pairs(verify(tmp_path, manifest, **kw))
    # The auxiliary files are checked on disk afterwards; the declared rules come first and add
    # nothing more (the count limit included: the later stage must not repeat it).
    assert errors[:len(expected)] == expected
    assert [c for c, _ in errors[len(expected):] if c in DECLARED_AUX_CODES] == []


def test_rules_run_in_order_and_files_are_still_checked(tmp_path):
    manifest = make_fixture(tmp_path, "sign_bitmap", row_map=False)
    manifest.update(schema_version="x", manifest_id="", created_at="now",
                    auxiliary_artifacts=[entry("")], build={"invocation_id": ""},
                    extensions={"k": 1})
    manifest["embedding"].update(model="", dim=0, pooling="")
    manifest["artifact"].update(bytes_per_vec=0, params={"kind": "rank"})
    manifest["row_identity"]["row_count"] = 9
    report = verify(tmp_path, manifest)
    assert [c for c, _ in pairs(report)][:15] == [
        "schema_version_unsupported", "manifest_id_empty", "created_at_invalid",
        "embedding_model_empty", "embedding_dim_zero", "artifact_bytes_per_vec_zero",
        "artifact_embedding_dim_mismatch", "artifact_params_kind_mismatch",
        "artifact_row_count_mismatch", "auxiliary_artifact_name_empty", "embedding_pooling_empty",
        "build_invocation_id_empty", "extension_key_not_namespaced",
        # the artifact stage follows, and still measures the file
        "artifact_params_mismatch", "artifact_bytes_per_vec_mismatch",
    ]
    assert report["artifact"]["sha256"] == manifest["artifact"]["sha256"]
    assert report["artifact"]["metadata"]["kind"] == "sign_bitmap"
