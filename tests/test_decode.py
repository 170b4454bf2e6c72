"""Strict decoding through inspect_manifest: every shape and syntax rule, each compared as the
whole message with the line and column where decoding stopped.

In the tables a "¦" marks that point: it is removed from the text, and the expected position is
the line and byte column just before it."""

from __future__ import annotations

import hashlib
import json
import math

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

MARK = "¦"

ART = ('{"path": "i", "sha256": "s", "kind": "rank", "format_version": 1, "dim": 8, '
       '"vector_count": 3, "bytes_per_vec": 16, "params": {"kind": "rank"}, '
       '"file_size_bytes": 57}')

BASE = {
    "schema_version": "tamrel.index_manifest.v1",
    "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
    "created_at": "2026-01-02T03:04:05Z",
    "artifact": json.loads(ART),
    "embedding": {"model": "m", "dim": 8},
    "row_identity": {"kind": "row_id_identity", "row_count": 3},
}

CAL = {
    "schema_version": "tamrel.calibration.v1",
    "profile_id": "p",
    "calibrated_for": {"model": "m", "dim": 8},
    "ordinalization": {"kind": "top_k", "dim": 8, "k": 2},
    "null_model": {"kind": "uniform_hypergeometric"},
}

DIST = {
    "schema_version": "tamrel.encoder_distortion.v1",
    "profile_id": "d",
    "encoder": {"model": "m", "dim": 8},
    "source_metric": {"name": "cosine"},
    "embedding_metric": {"name": "cosine"},
    "bounds": {"violation_rate": 0.5},
    "scope": {},
    "evidence": {"kind": "empirical_sample"},
}

PROFILE = {"path": "p", "sha256": "s", "file_size_bytes": 1, "dim": 8, "sample_count": 2,
           "parameterization": "sign_frequency", "format": "npy"}

JSONL = '"kind": "jsonl", "path": "p", "sha256": "s", "row_count": 3, "id_kind": "uuid"'


def art(old: str, new: str) -> str:
    assert old in ART
    return ART.replace(old, new, 1)


def first(record: dict, key: str, raw: str) -> str:
    """record as JSON text with key first and its value the raw text (so a failure reported
    just after that value is followed by a comma, not by the record's closing brace)."""
    rest = json.dumps({k: v for k, v in record.items() if k != key})
    return '{"%s": %s%s%s' % (key, raw, ", " if rest != "{}" else "", rest[1:])


def member_doc(name: str, raw: str) -> str:
    """A manifest whose member `name` stands alone on line 2 with the raw value text."""
    rest = json.dumps({k: v for k, v in BASE.items() if k != name})
    return '{\n"%s": %s,\n%s' % (name, raw, rest[1:])


def marked(text: str | bytes) -> tuple[bytes, int, int]:
    data = text.encode() if isinstance(text, str) else text
    mark = MARK.encode()
    i = data.index(mark)
    before = data[:i]
    line = before.count(b"\n") + 1
    column = len(before) - (before.rfind(b"\n") + 1)
    return data[:i] + data[i + len(mark):], line, column


def inspect_bytes(tmp_path, data: bytes):
    path = tmp_path / "m.json"
    path.write_bytes(data)
    return tm.inspect_manifest(path)


def failure(tmp_path, data: bytes) -> str:
    with pytest.raises(ValueError) as exc:
        inspect_bytes(tmp_path, data)
    return str(exc.value)


def check(tmp_path, text: str | bytes, message: str) -> None:
    data, line, column = marked(text)
    assert failure(tmp_path, data) == f"{message} at line {line} column {column}"


# ---- records, member by member (object form) ----

EMBEDDING_FIELDS = ("one of `model`, `dim`, `model_revision`, `tokenizer_revision`, `pooling`, "
                    "`corpus_digest`, `embedding_matrix_digest`, `normalization`")
KINDS = "one of `rank`, `rank_quant`, `bitmap`, `sign_bitmap`"

RECORD_CASES = [
    # closed records: unknown, repeated and missing members
    ("embedding", '{"model": "m", "dim": 384, "Model"¦: "x"}',
     f"unknown field `Model`, expected {EMBEDDING_FIELDS}"),
    # the whitespace after the name is stepped over before the position is taken
    ("embedding", '{"model": "m", "Model" ¦: "x"}',
     f"unknown field `Model`, expected {EMBEDDING_FIELDS}"),
    ("embedding", '{"model": "m", "model"¦: "m", "dim": 1}', "duplicate field `model`"),
    ("embedding", '{"model": "m"}¦', "missing field `dim`"),
    ("embedding", '{}¦', "missing field `model`"),
    # an unknown member is reported before a missing one, a bad value before both
    ("embedding", '{"bogus"¦: 1}', "unknown field `bogus`, expected " + EMBEDDING_FIELDS),
    ("embedding", '{"dim": "8"¦, "bogus": 1}', 'invalid type: string "8", expected usize'),
    ("embedding", '{"model": "m", "dim": 1, "pooling": 5¦}',
     "invalid type: integer `5`, expected a string"),
    # a string found where another type belongs is shown in the quoted form
    ("embedding", '{"model": "m", "dim": "\\u007f"¦}', 'invalid type: string "\\u{7f}", expected usize'),
    ("embedding", '{"model": "m", "dim": "\\u0000\\b\\f\\u0001"¦}',
     'invalid type: string "\\0\\u{8}\\u{c}\\u{1}", expected usize'),
    ("embedding", '{"model": "m", "dim": "e\\u0301\\u0085"¦}',
     'invalid type: string "e\\u{301}\\u{85}", expected usize'),
    ("embedding", '{"model": "m", "dim": "a\\"\\\\\'\\t\x7f\u2028é"¦}',
     'invalid type: string "a\\"\\\\\'\\t\\u{7f}\\u{2028}é", expected usize'),
    ("embedding", '{"model": "m", "\\u0085 "¦: 1}', f"unknown field `\x85 `, expected {EMBEDDING_FIELDS}"),
    ("embedding", '"m"¦', 'invalid type: string "m", expected struct Embedding'),
    ("embedding", "null¦", "invalid type: null, expected struct Embedding"),
    ("embedding", "5¦", "invalid type: integer `5`, expected struct Embedding"),
    ("embedding", "x¦", "expected value"),
    # member types
    ("artifact", art('"path": "i"', '"path": 7¦'), "invalid type: integer `7`, expected a string"),
    ("artifact", art('"path": "i"', '"path": true¦'),
     "invalid type: boolean `true`, expected a string"),
    ("artifact", art('"path": "i"', '"path": null¦'), "invalid type: null, expected a string"),
    ("artifact", art('"path": "i"', '"path": ¦["i"]'), "invalid type: sequence, expected a string"),
    ("artifact", art('"path": "i"', '"path": ¦{}'), "invalid type: map, expected a string"),
    ("artifact", art('"path": "i"', '"path": 2.5¦'),
     "invalid type: floating point `2.5`, expected a string"),
    ("artifact", art('"format_version": 1', '"format_version": 256¦'),
     "invalid value: integer `256`, expected u8"),
    ("artifact", art('"format_version": 1', '"format_version": -1¦'),
     "invalid value: integer `-1`, expected u8"),
    ("artifact", art('"dim": 8', '"dim": -1¦'), "invalid value: integer `-1`, expected usize"),
    ("artifact", art('"dim": 8', '"dim": 1.0¦'),
     "invalid type: floating point `1.0`, expected usize"),
    ("artifact", art('"dim": 8', '"dim": 8e0¦'),
     "invalid type: floating point `8.0`, expected usize"),
    ("artifact", art('"dim": 8', '"dim": -0¦'),
     "invalid type: floating point `-0.0`, expected usize"),
    ("artifact", art('"dim": 8', '"dim": 18446744073709551616¦'),
     "invalid type: floating point `1.8446744073709552e+19`, expected usize"),
    ("artifact", art('"dim": 8', '"dim": "8"¦'), 'invalid type: string "8", expected usize'),
    ("artifact", art('"file_size_bytes": 57', '"file_size_bytes": 5.5¦'),
     "invalid type: floating point `5.5`, expected u64"),
    ("artifact", art('"file_size_bytes": 57', '"file_size_bytes": -5¦'),
     "invalid value: integer `-5`, expected u64"),
    ("artifact", art('"path": "i", ', "") + MARK, "missing field `path`"),
    ("artifact", art('"file_size_bytes": 57', '"file_size_bytes": 57, "note"¦: 1'),
     "unknown field `note`, expected one of `path`, `sha256`, `kind`, `format_version`, `dim`, "
     "`vector_count`, `bytes_per_vec`, `params`, `file_size_bytes`"),
    # enumerations
    ("artifact", art('"kind": "rank"', '"kind": "rank_quant_fastscan"¦'),
     f"unknown variant `rank_quant_fastscan`, expected {KINDS}"),
    ("artifact", art('"kind": "rank"', '"kind": "Rank"¦'), f"unknown variant `Rank`, expected {KINDS}"),
    ("artifact", art('"kind": "rank"', '"kind": "r\\u0301\\n"¦'),
     f"unknown variant `r\u0301\n`, expected {KINDS}"),
    ("artifact", art('"kind": "rank"', '"kind": 1¦'), "expected value"),
    ("artifact", art('"kind": "rank"', '"kind": n¦ull'), "expected value"),
    ("artifact", art('"kind": "rank"', '"kind": [¦"rank"]'), "expected value"),
    ("artifact", art('"kind": "rank"', '"kind": {"fast"¦: null}'),
     f"unknown variant `fast`, expected {KINDS}"),
    ("artifact", art('"kind": "rank"', '"kind": {"rank": 1¦}'),
     "invalid type: integer `1`, expected unit"),
    ("artifact", art('"kind": "rank"', '"kind": {"rank": null¦, "bitmap": null}'),
     "expected value"),
    ("artifact", art('"kind": "rank"', '"kind": {}¦'), "expected value"),
    ("artifact", art('"kind": "rank"', '"kind": {1¦: null}'),
     "invalid type: integer `1`, expected variant identifier"),
    # tagged unions: the tag is read at once, the body once the object has closed
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "bitmap", "bits": 4}¦'),
     "unknown field `bits`, expected `n_top`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "bitmap"}¦'),
     "missing field `n_top`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {}¦'), "missing field `kind`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"n_top": 4}¦'),
     "missing field `kind`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "rank_quant", "bits": 300}¦'),
     "invalid value: integer `300`, expected u8"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "rank_quant", "bits": 2.5}¦'),
     "invalid type: floating point `2.5`, expected u8"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": ["rank", 4]¦'), "trailing characters"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": ["rank_quant", 2.5, 3]¦'),
     "invalid type: floating point `2.5`, expected u8"),
    ("artifact", art('"params": {"kind": "rank"}',
                     '"params": {"bits": 2, "kind": "rank_quant", "bits": 3}¦'),
     "duplicate field `bits`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "rank", "kind"¦: "rank"}'),
     "duplicate field `kind`"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": 1¦}'),
     "invalid type: integer `1`, expected variant identifier"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": null¦}'),
     "invalid type: null, expected variant identifier"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "fast"¦}'),
     f"unknown variant `fast`, expected {KINDS}"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": "rank"¦'),
     'invalid type: string "rank", expected internally tagged enum ManifestIndexParams'),
    ("artifact", art('"params": {"kind": "rank"}', '"params": null¦'),
     "invalid type: null, expected internally tagged enum ManifestIndexParams"),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "bitmap", "n_top"}¦'),
     "expected `:`"),
    ("row_identity", '{"kind": "csv"¦}', "unknown variant `csv`, expected `row_id_identity` or `jsonl`"),
    ("row_identity", '{"kind": "row_id_identity", "row_count": 3, "path": "x"}¦',
     "unknown field `path`, expected `row_count`"),
    ("row_identity", '{"row_count": 3, "kind": "row_id_identity", "row_count": 4}¦',
     "duplicate field `row_count`"),
    ("row_identity", '{"kind": "jsonl", "path": "p"}¦', "missing field `sha256`"),
    ("row_identity", '{"kind": "jsonl", "path": 1, "sha256": "s"}¦',
     "invalid type: integer `1`, expected a string"),
    ("row_identity", '{%s, "row_count": -3}¦' % JSONL.replace(', "row_count": 3', ""),
     "invalid value: integer `-3`, expected usize"),
    ("row_identity", '{%s, "db": "x"}¦' % JSONL,
     'invalid type: string "x", expected struct RowIdentityDb'),
    ("row_identity", '{%s, "db": {"table": 1}}¦' % JSONL,
     "invalid type: integer `1`, expected a string"),
    ("row_identity", '{%s, "db": {"x": 1}}¦' % JSONL,
     "unknown field `x`, expected one of `path`, `table`, `id_column`"),
    ("row_identity", '{%s, "db": {"path": "a", "path": "b"}}¦' % JSONL, "duplicate field `path`"),
    ("row_identity", "5¦", "invalid type: integer `5`, expected internally tagged enum RowIdentity"),
    ("row_identity", '"jsonl"¦',
     'invalid type: string "jsonl", expected internally tagged enum RowIdentity'),
    # the other records of the document
    ("auxiliary_artifacts", '[{"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1, '
                            '"required": null¦}]', "invalid type: null, expected a boolean"),
    ("auxiliary_artifacts", '[{"name": "a"}¦]', "missing field `path`"),
    ("auxiliary_artifacts", '["a"¦]', 'invalid type: string "a", expected struct AuxiliaryArtifact'),
    ("auxiliary_artifacts", '[{"name": "a", "path": "p", "sha256": "s", "file_size_bytes": -1¦}]',
     "invalid value: integer `-1`, expected u64"),
    ("auxiliary_artifacts", "null¦", "invalid type: null, expected a sequence"),
    ("auxiliary_artifacts", "¦{}", "invalid type: map, expected a sequence"),
    ("attestations", "¦{}", "invalid type: map, expected a sequence"),
    ("extensions", "¦[]", "invalid type: sequence, expected a map"),
    ("extensions", "null¦", "invalid type: null, expected a map"),
    ("build", '{"builder_id": "b"}¦', "missing field `invocation_id`"),
    ("build", '{"invocation_id": "i", "ci_run_id": 5¦}', "invalid type: integer `5`, expected a string"),
    ("build", '{"invocation_id": "i", "ci"¦: "x"}',
     "unknown field `ci`, expected one of `invocation_id`, `builder_id`, `source_repo`, "
     "`source_commit`, `ci_provider`, `ci_run_id`"),
    # calibration block
    ("calibration", '"x"¦', 'invalid type: string "x", expected struct CalibrationProfileRef'),
    ("calibration", first(CAL, "ordinalization", '{"kind": "top_k", "dim": 8}¦'),
     "missing field `k`"),
    ("calibration", first(CAL, "ordinalization", '{"kind": "bucket", "dim": 8, "bits": 300}¦'),
     "invalid value: integer `300`, expected u8"),
    ("calibration", first(CAL, "ordinalization", '{"kind": "sign", "dim": 8, "k": 2}¦'),
     "unknown field `k`, expected `dim`"),
    ("calibration", first(CAL, "ordinalization", '{"kind": "top_k", "dim": 8, "k": 2, "x": 1}¦'),
     "unknown field `x`, expected `dim` or `k`"),
    ("calibration", first(CAL, "ordinalization", '{"kind": "caller_defined", "dim": 8}¦'),
     "missing field `name`"),
    ("calibration", first(CAL, "ordinalization", '{"kind": "top_n"¦}'),
     "unknown variant `top_n`, expected one of `top_k`, `bucket`, `sign`, `rank_position`, "
     "`caller_defined`"),
    ("calibration", first(CAL, "null_model", '{"kind": "empirical_tail_table"}¦'),
     "missing field `statistic`"),
    ("calibration", first(CAL, "null_model", '{"kind": "caller_defined", "parameterization": "x"}¦'),
     "missing field `name`"),
    ("calibration", first(CAL, "null_model", '{"kind": "caller_defined", "name": 1}¦'),
     "invalid type: integer `1`, expected a string"),
    ("calibration", first(CAL, "null_model", '{"kind": "martian"¦}'),
     "unknown variant `martian`, expected one of `uniform_hypergeometric`, "
     "`weighted_marginal_profile`, `empirical_tail_table`, `caller_defined`"),
    ("calibration", first(CAL, "calibrated_for", '{"model": "m"}¦'), "missing field `dim`"),
    ("calibration", first(CAL, "profile", first(PROFILE, "parameterization", '5¦')), "expected value"),
    ("calibration", first(CAL, "profile", first(PROFILE, "shape", '[1, -1¦]')),
     "invalid value: integer `-1`, expected usize"),
    ("calibration", first(CAL, "profile", first(PROFILE, "shape", 'null¦')),
     "invalid type: null, expected a sequence"),
    ("calibration", first(CAL, "profile", '{"path": "p"}¦'), "missing field `sha256`"),
    # encoder-distortion block
    ("encoder_distortion", first(DIST, "bounds", '{"violation_rate": "x"¦}'),
     'invalid type: string "x", expected f64'),
    ("encoder_distortion", first(DIST, "bounds", '{"violation_rate": 1e999¦}'), "number out of range"),
    ("encoder_distortion", first(DIST, "bounds", '{"rate"¦: 1}'),
     "unknown field `rate`, expected one of `declared_lower_bound`, `declared_upper_bound`, "
     "`estimated_distortion`, `violation_rate`, `max_observed_violation`, "
     "`quantile_observed_violation`"),
    ("encoder_distortion", first(DIST, "evidence", '{"kind": "measured"¦}'),
     "unknown variant `measured`, expected one of `certified`, `empirical_sample`, "
     "`benchmark_estimate`, `teacher_estimate`, `caller_asserted`"),
    ("encoder_distortion", first(DIST, "evidence", "{}¦"), "missing field `kind`"),
    ("encoder_distortion", first(DIST, "scope", '{"sample_size": 10.5¦}'),
     "invalid type: floating point `10.5`, expected u64"),
    ("encoder_distortion", first(DIST, "scope", '{"confidence": true¦}'),
     "invalid type: boolean `true`, expected f64"),
    ("encoder_distortion", first(DIST, "source_metric", '{"name": "cosine", "flavor"¦: "x"}'),
     "unknown field `flavor`, expected one of `name`, `version`, `digest`"),
    ("encoder_distortion", first(DIST, "encoder", '{"model": "m", "dim": 1, "pooling"¦: "x"}'),
     "unknown field `pooling`, expected one of `model`, `dim`, `model_revision`, `normalization`"),
    ("encoder_distortion", first(DIST, "profile", '{"path": "p", "sha256": "s", '
                                                  '"file_size_bytes": 1}¦'),
     "missing field `format`"),
]


@pytest.mark.parametrize("member,raw,message", RECORD_CASES)
def test_record_rules(tmp_path, member, raw, message):
    check(tmp_path, member_doc(member, raw), message)


# The same kinds of failure in the positional form: an array of the members' values in
# declaration order, optional and defaulted members at its end left off.
POSITIONAL_CASES = [
    ("embedding", '["m"]¦', "invalid length 1, expected struct Embedding with 8 elements"),
    ("embedding", "[]¦", "invalid length 0, expected struct Embedding with 8 elements"),
    ("embedding", '[1¦, 8]', "invalid type: integer `1`, expected a string"),
    ("embedding", '["m", 8, null, null, null, null, null, null, 5¦]', "trailing characters"),
    ("embedding", '["m", 8, null, null, null, null, null, null,]¦', "trailing comma"),
    ("embedding", '["m", 8,]¦', "trailing comma"),
    ("embedding", '["m" 8¦]', "expected `,` or `]`"),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["rank"]]¦',
     "invalid length 8, expected struct Artifact with 9 elements"),
    # a failure in the union's body waits for the array around it to step over the comma
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["rank_quant"], ¦57]',
     "invalid length 0, expected struct variant ManifestIndexParams::RankQuant with 1 element"),
    # the union's own failures are placed by the union
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, []¦, 57]', "missing field `kind`"),
    # the union's array is read whole, as its object form is: an element beyond the variant's
    # last member fails only after the members before it were decoded
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["rank", 4], ¦57]', "trailing characters"),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["bitmap", 8, 9], ¦57]', "trailing characters"),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["bitmap", 8,\n  x¦], 57]', "expected value"),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["bitmap", "8", []], ¦57]',
     'invalid type: string "8", expected usize'),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["rank_quant", 2.5, 3], ¦57]',
     "invalid type: floating point `2.5`, expected u8"),
    ("embedding", '["m", "\\u0000\\u0085"¦]', 'invalid type: string "\\0\\u{85}", expected usize'),
    ("row_identity", '["jsonl", "p", "s", "\\u007f"]¦', 'invalid type: string "\\u{7f}", expected usize'),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, ["bitmap", "8"], ¦57]',
     'invalid type: string "8", expected usize'),
    ("artifact", '["i", "s", "rank", 1, 8, 3, 16, [1¦], 57]',
     "invalid type: integer `1`, expected variant identifier"),
    ("row_identity", '["jsonl", "p", "s", 3]¦',
     "invalid length 3, expected struct variant RowIdentity::Jsonl with 5 elements"),
    ("row_identity", '["row_id_identity"]¦',
     "invalid length 0, expected struct variant RowIdentity::RowIdIdentity with 1 element"),
    ("row_identity", '["row_id_identity", 3, 4]¦', "trailing characters"),
    ("row_identity", '["jsonl", "p", "s", 3, "uuid", null, 1]¦', "trailing characters"),
    # a record inside the buffered body: placed with the body's other failures
    ("row_identity", '["jsonl", "p", "s", 3, "uuid", ["a", "b", "c", "d"]]¦',
     "trailing characters"),
    ("row_identity", '["jsonl", "p", "s", 3, "uuid", [1]]¦',
     "invalid type: integer `1`, expected a string"),
    ("build", "[]¦", "invalid length 0, expected struct BuildInfo with 6 elements"),
    ("calibration", '["tamrel.calibration.v1", "p", null, ["m", 8], ["top_k", 8]]¦',
     "invalid length 1, expected struct variant CalibrationOrdinalization::TopK with 2 elements"),
    ("calibration", '["tamrel.calibration.v1", "p", null, ["m", 8], ["top_k", 8, 2]]¦',
     "invalid length 6, expected struct CalibrationProfileRef with 7 elements"),
    ("calibration", '["tamrel.calibration.v1", "p", null, ["m", 8], ["sign", 8], null, '
                    '["weighted_marginal_profile"]]¦',
     "invalid length 0, expected struct variant NullModelSpec::WeightedMarginalProfile with "
     "1 element"),
    ("encoder_distortion", '["tamrel.encoder_distortion.v1", "d", null, ["m", 8], null, null, '
                           '["cosine"], ["cosine"], [], [], []¦]',
     "invalid length 0, expected struct DistortionEvidence with 3 elements"),
]


@pytest.mark.parametrize("member,raw,message", POSITIONAL_CASES)
def test_positional_rules(tmp_path, member, raw, message):
    check(tmp_path, member_doc(member, raw), message)


def test_union_body_failure_is_placed_after_the_enclosing_container_steps_on(tmp_path):
    # As the last member, the container around the union has stepped over the line break and
    # its own closing brace by the time the failure is placed.
    rest = json.dumps({k: v for k, v in BASE.items() if k != "row_identity"})
    text = rest[:-1] + ',\n"row_identity": {"kind": "jsonl", "path": "p"}\n}' + MARK
    check(tmp_path, text, "missing field `sha256`")


# ---- the document ----

VALID = json.dumps(BASE)

DOCUMENT_CASES = [
    ("¦", "EOF while parsing a value"),
    ("  \n  ¦", "EOF while parsing a value"),
    (b"\xef\xc2\xa6\xbb\xbf{}", "expected value"),  # a byte-order mark is not whitespace
    ("[]¦", "invalid length 0, expected struct IndexManifest with 12 elements"),
    ("{¦", "EOF while parsing an object"),
    ("{}¦", "missing field `schema_version`"),
    ('"x"¦', 'invalid type: string "x", expected struct IndexManifest'),
    ("null¦", "invalid type: null, expected struct IndexManifest"),
    ("nul¦", "EOF while parsing a value"),
    ("nulx¦", "expected ident"),
    ("x¦", "expected value"),
    ("[¦[", "invalid type: sequence, expected a string"),
    (VALID + "x¦", "trailing characters"),
    (VALID + " \n x¦", "trailing characters"),
    (VALID + "{¦}", "trailing characters"),
    (VALID[:-1] + ', "note"¦: 1}',
     "unknown field `note`, expected one of `schema_version`, `manifest_id`, `created_at`, "
     "`artifact`, `auxiliary_artifacts`, `embedding`, `encoder_distortion`, `calibration`, "
     "`row_identity`, `build`, `attestations`, `extensions`"),
    (VALID[:-1] + ', "schema_version"¦: "tamrel.index_manifest.v1"}',
     "duplicate field `schema_version`"),
    (json.dumps({k: v for k, v in BASE.items() if k not in ("embedding", "row_identity")}) + "¦",
     "missing field `embedding`"),
    ('["v", "id", "t"]¦', "invalid length 3, expected struct IndexManifest with 12 elements"),
    # optional members in the middle may be left off only with the rest of the array
    ('["v", "id", "t", %s, [], {"model": "m", "dim": 8}]¦' % ART,
     "invalid length 8, expected struct IndexManifest with 12 elements"),
    ('["v", "id", "t", %s, [], {"model": "m", "dim": 8}, null, null, ["row_id_identity", 3], '
     'null, [], {}, 1¦]' % ART, "trailing characters"),
]


@pytest.mark.parametrize("text,message", DOCUMENT_CASES)
def test_document_rules(tmp_path, text, message):
    check(tmp_path, text, message)


def test_document_may_end_with_whitespace(tmp_path):
    assert inspect_bytes(tmp_path, (VALID + " \n\t\r\n").encode()) == BASE


def test_positional_manifest_equals_object_form(tmp_path):
    text = ('["tamrel.index_manifest.v1", "%s", "%s", %s, [], {"model": "m", "dim": 8}, null, null, '
            '["row_id_identity", 3]]' % (BASE["manifest_id"], BASE["created_at"], ART))
    assert inspect_bytes(tmp_path, text.encode()) == BASE


# ---- syntax ----

PRE = '{"extensions": {"a": '

SYNTAX_CASES = [
    (PRE + "[1¦", "EOF while parsing a list"),
    (PRE + "[1,¦", "EOF while parsing a value"),
    (PRE + "1¦", "EOF while parsing an object"),
    (PRE + '"x¦', "EOF while parsing a string"),
    (PRE + "¦", "EOF while parsing a value"),
    (PRE + "-¦", "EOF while parsing a value"),
    (PRE + "1.¦", "EOF while parsing a value"),
    (PRE + "1e+¦", "EOF while parsing a value"),
    (PRE + "tru¦", "EOF while parsing a value"),
    ('{"extensions": {"a" 1¦}}', "expected `:`"),
    (PRE + "[1 2¦]}}", "expected `,` or `]`"),
    (PRE + '1 "¦b": 2}}', "expected `,` or `}`"),
    (PRE + "nul1¦}}", "expected ident"),
    (PRE + "trU¦e}}", "expected ident"),
    (PRE + "+¦1}}", "expected value"),
    (PRE + ".¦5}}", "expected value"),
    (PRE + "'¦a'}}", "expected value"),
    (PRE + '"\\x¦"}}', "invalid escape"),
    (PRE + '"\\u12G4¦"}}', "invalid escape"),
    (PRE + "01¦}}", "invalid number"),
    (PRE + "-01¦}}", "invalid number"),
    (PRE + "-x¦}}", "invalid number"),
    (PRE + "1.}¦}", "invalid number"),
    (PRE + "1e}¦}", "invalid number"),
    (PRE + "1e400¦}}", "number out of range"),
    (PRE + "-1e400¦}}", "number out of range"),
    (PRE + "1" * 400 + "¦}}", "number out of range"),
    # an exponent past 32 bits stops at its overflowing digit
    (PRE + "1e9999999999¦99}}", "number out of range"),
    (PRE + '"\\ud800"¦}}', "unexpected end of hex escape"),
    (PRE + '"\\ud800\\n¦"}}', "unexpected end of hex escape"),
    (PRE + '"\\udc00¦"}}', "lone leading surrogate in hex escape"),
    (PRE + '"\\ud800\\u0041¦"}}', "lone leading surrogate in hex escape"),
    (PRE + '"\\ud800\\ud800¦"}}', "lone leading surrogate in hex escape"),
    (PRE + '"\\u12¦', "EOF while parsing a string"),
    (PRE + '"\\ud800¦', "EOF while parsing a string"),
    (PRE + '"\\ud800\\¦', "EOF while parsing a string"),
    (PRE + '"\\¦', "EOF while parsing a string"),
    (PRE + '"a\t¦b"}}', "control character (\\u0000-\\u001F) found while parsing a string"),
    (PRE + '"a\n¦b"}}', "control character (\\u0000-\\u001F) found while parsing a string"),
    (PRE + '"a\x00¦"}}', "control character (\\u0000-\\u001F) found while parsing a string"),
    ('{"extensions": {1¦: 2}}', "key must be a string"),
    ('{"extensions": {"a": 1,}¦}', "trailing comma"),
    (PRE + "[1,]¦}}", "trailing comma"),
    (PRE + '{"b": 1,}¦}}', "trailing comma"),
    (PRE + "[1]]¦}", "expected `,` or `}`"),
]


@pytest.mark.parametrize("text,message", SYNTAX_CASES)
def test_syntax_rules(tmp_path, text, message):
    check(tmp_path, text, message)


INVALID_UTF8 = [
    b"\xff",
    b"\x80",                  # continuation byte alone
    b"\xc0\xaf",              # overlong '/'
    b"\xe0\x80\xaf",          # overlong, three bytes
    b"\xed\xa0\x80",          # encoded surrogate U+D800
    b"\xf4\x90\x80\x80",      # beyond U+10FFFF
    b"\xf5\x80\x80\x80",
    b"\xe2\x82",              # truncated
    b"a\xe2\x82\xacb\xe2",    # valid euro sign, then truncated at the end
]


@pytest.mark.parametrize("seq", INVALID_UTF8)
def test_invalid_utf8_is_reported_after_the_string(tmp_path, seq):
    check(tmp_path, PRE.encode() + b'"' + seq + b'"' + MARK.encode() + b"}}",
          "invalid unicode code point")


def test_invalid_utf8_in_a_key(tmp_path):
    check(tmp_path, b'{"extensions": {"\xff"' + MARK.encode() + b': 1}}', "invalid unicode code point")


def test_invalid_utf8_in_a_field_name_comes_before_matching(tmp_path):
    check(tmp_path, b'{"\xc3"' + MARK.encode() + b': 1}', "invalid unicode code point")


def test_byte_columns_count_utf8_bytes(tmp_path):
    check(tmp_path, PRE + '"\u00e9\u20ac\U0001F600" x¦}}', "expected `,` or `}`")


# ---- nesting ----

def nested(depth: int) -> str:
    return "[" * depth + "]" * depth


@pytest.mark.parametrize("depth", [1, 100, 126])
def test_nesting_within_the_limit_loads(tmp_path, depth):
    # The document and extensions themselves are two of the 128 levels.
    got = inspect_bytes(tmp_path, (VALID[:-1] + ', "extensions": {"x.y": %s}}' % nested(depth)).encode())
    value = got["extensions"]["x.y"]
    for _ in range(depth - 1):
        value = value[0]
    assert value == []


@pytest.mark.parametrize("depth", [127, 200, 100_000])
def test_nesting_beyond_the_limit_fails_at_the_first_bracket_too_deep(tmp_path, depth):
    text = VALID[:-1] + ', "extensions": {"x.y": ' + "[" * 127 + MARK + "[" * (depth - 127)
    check(tmp_path, text + "]" * depth + "}}", "recursion limit exceeded")


def test_objects_and_attestations_count_toward_the_limit(tmp_path):
    def doc(n):
        return VALID[:-1] + ', "attestations": [' + '{"a": ' * n + "1" + "}" * n + "]}"
    value = inspect_bytes(tmp_path, doc(126).encode())["attestations"][0]
    for _ in range(126):
        value = value["a"]
    assert value == 1
    too_deep = doc(127)
    at = too_deep.index('{"a": 1}') + 1
    check(tmp_path, too_deep[:at] + MARK + too_deep[at:], "recursion limit exceeded")


# ---- values kept as written ----

def ext(tmp_path, raw: str):
    return inspect_bytes(tmp_path, (VALID[:-1] + ', "extensions": {"x.v": %s}}' % raw).encode())["extensions"]["x.v"]


@pytest.mark.parametrize("raw,expected,kind", [
    ("2", 2, int),
    ("2.0", 2.0, float),
    ("18446744073709551615", 18446744073709551615, int),
    ("18446744073709551616", 18446744073709551616.0, float),
    ("-9223372036854775808", -9223372036854775808, int),
    ("-9223372036854775809", -9223372036854775809.0, float),
    ("1e-400", 0.0, float),
    ("-1e-99999999999999", -0.0, float),
    ("0e99999999999999", 0.0, float),
    ("true", True, bool),
    ("null", None, type(None)),
])
def test_json_value_numbers_and_literals(tmp_path, raw, expected, kind):
    got = ext(tmp_path, raw)
    assert type(got) is kind and got == expected


@pytest.mark.parametrize("raw", ["-0", "-0.0", "-0e5", "-0.000e-3"])
def test_minus_zero_is_the_negative_real(tmp_path, raw):
    got = ext(tmp_path, raw)
    assert isinstance(got, float) and math.copysign(1.0, got) == -1.0


@pytest.mark.parametrize("text", [
    "0.1", "2.2250738585072011e-308", "1.7976931348623157e308", "4.9e-324", "2.4703282292062328e-324",
    "9007199254740993.0", "123456789012345678901234567890", "0." + "0" * 300 + "1",
    "1." + "0" * 3000 + "1", "3.141592653589793238462643383279502884197169399375105820974944",
    # at and just past the bounds of exact digits and exact powers of ten
    "9007199254740992.5", "900719925474099.3", "9007199254740991e22", "9007199254740991e23",
    "1e22", "1e23", "1e-22", "1e-23", "8.98846567431158e307", "-0.000123456789", "123.456e-20",
    "4.35679e-7", "1234.495", "0.30000000000000004", "7.0e-10", "1E+2", "5e-324",
])
def test_reals_are_correctly_rounded(tmp_path, text):
    assert ext(tmp_path, text) == float(text)


@pytest.mark.parametrize("raw,expected", [
    (r'"\u00e9\ud83d\ude00\/\b\f\n\r\t\"\\"', "\u00e9\U0001F600/\b\f\n\r\t\"\\"),
    ('"\u00e9\u20ac\U0001F600\x7f"', "\u00e9\u20ac\U0001F600\x7f"),
    (r'"\u0000"', "\x00"),
    ('""', ""),
])
def test_string_escapes_decode(tmp_path, raw, expected):
    assert ext(tmp_path, raw) == expected


def test_json_value_objects_sort_and_keep_the_last_repeated_key(tmp_path):
    got = inspect_bytes(tmp_path, (VALID[:-1] + ', "extensions": {"b": 1, "a": {"z": 2, "y": 3, "z": 4}, '
                                   '"b": [5]}}').encode())
    assert list(got["extensions"]) == ["a", "b"]
    assert list(got["extensions"]["a"].items()) == [("y", 3), ("z", 4)]
    assert got["extensions"]["b"] == [5]


def _object_text(pairs) -> str:
    return "{" + ", ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in pairs) + "}"


# Key orders that move members along cycles of several lengths, repeats anywhere, and objects
# past the small-object sort; siblings of different sizes follow each other.
@pytest.mark.parametrize("pairs", [
    [("c", 1), ("a", 2), ("b", 3)],
    [("b", 1), ("a", 2), ("d", 3), ("c", 4)],
    [("id", 1), ("name", 2), ("score", 3), ("ratio", 4), ("tags", 5), ("nested", 6)],
    [("e", 1), ("d", 2), ("c", 3), ("b", 4), ("a", 5)],
    [("ab", 1), ("a", 2), ("abc", 3), ("b", 4), ("aa", 5)],
    [("b", 1), ("a", 2), ("b", 3), ("a", 4), ("c", 5)],
    [("x", 1), ("x", 2), ("x", 3)],
    [(f"k{(i * 37) % 50:02}", i) for i in range(50)],
    [(f"k{i % 20}", i) for i in range(45)],
], ids=lambda p: f"{len(p)}-{p[0][0]}")
def test_object_members_sorted_with_the_last_repeat_winning(tmp_path, pairs):
    expected = sorted(dict(pairs).items(), key=lambda kv: kv[0].encode())
    siblings = [_object_text(pairs[:1]), _object_text(pairs), _object_text(pairs[:2]),
                _object_text(pairs)]
    got = ext(tmp_path, "[" + ", ".join(siblings) + "]")
    assert [list(o.items()) for o in got] == [
        list(dict(pairs[:1]).items()), expected,
        sorted(dict(pairs[:2]).items(), key=lambda kv: kv[0].encode()), expected]


def _model(pairs_or_value):
    """What the decoder keeps, as nested lists of pairs (member order included)."""
    if isinstance(pairs_or_value, dict):
        return [(k, _model(v)) for k, v in sorted(pairs_or_value.items(), key=lambda kv: kv[0].encode())]
    if isinstance(pairs_or_value, list):
        return [_model(v) for v in pairs_or_value]
    return pairs_or_value


def _pairs(value):
    if isinstance(value, dict):
        return [(k, _pairs(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [_pairs(v) for v in value]
    return value


# Siblings mostly repeat one key order; here they also stop short of it, run past it, leave it
# midway, repeat a key, spell a key with an escape, or sort already, in every succession.
KEYS = ["id", "name", "score", "ratio", "tags", "nested"]
VARIANTS = [
    KEYS,
    KEYS[:3],
    KEYS + ["zeta"],
    KEYS[:2] + ["other"] + KEYS[3:],
    KEYS[:4] + ["name"],
    ["id", "n\\u0061me"] + KEYS[2:],
    sorted(KEYS),
    [],
    ["only"],
    list(reversed(KEYS)),
]


@pytest.mark.parametrize("order", [
    [0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0],
    [6, 0, 0, 6, 9, 9, 0, 7, 0, 8, 0],
    [1, 1, 0, 2, 2, 0, 4, 4, 5, 5, 0, 3, 3],
    [9, 0, 9, 0, 6, 6, 5, 0, 2, 1],
], ids=["returns", "sorted-between", "pairs", "alternating"])
def test_sibling_objects_decode_alike_whatever_came_before(tmp_path, order):
    def obj(keys, i):
        inner = "{" + ", ".join(f'"{k}": {i * 10 + j}' for j, k in enumerate(reversed(keys))) + "}"
        return "{" + ", ".join(f'"{k}": {inner if j == 1 else i * 10 + j}'
                               for j, k in enumerate(keys)) + "}"
    raw = "[" + ", ".join(obj(VARIANTS[v], i) for i, v in enumerate(order)) + "]"
    assert _pairs(ext(tmp_path, raw)) == _model(json.loads(raw))


# A failure inside an object that follows the key order of its sibling is the failure, at the
# same place, of that object after a sibling that needed no sorting.
@pytest.mark.parametrize("bad", [
    '{"b": 1, "a": 2,}',
    '{"b": 1 "a": 2}',
    '{"b": 1, "a" 2}',
    '{"b": 1, "a": tru}',
    '{"b": 1, "a": [1,]}',
    '{"b": 1, "a": 2, "c": }',
    '{"b": 1, "a": 2',
    '{"b": 1, 7: 2}',
    '{"b": 1, "a": {"y": 1, "x": 2,}}',
])
def test_failures_in_an_object_that_follows_its_siblings_order(tmp_path, bad):
    def message(first):
        with pytest.raises(ValueError) as exc:
            ext(tmp_path, "[" + first + ", " + bad + "]")
        return str(exc.value)
    assert message('{"b": 0, "a": 0, "y": {"y": 1, "x": 2}}') == \
        message('{"a": 0, "b": 0, "y": {"x": 1, "y": 2}}')


def test_repeated_extensions_member_is_a_duplicate(tmp_path):
    check(tmp_path, VALID[:-1] + ', "extensions": {}, "extensions"¦: {}}', "duplicate field `extensions`")


# ---- accepted shapes ----

@pytest.mark.parametrize("member,raw,expected", [
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "rank", "bits": 4}'),
     {"kind": "rank"}),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"n_top": 8, "kind": "bitmap"}'),
     {"kind": "bitmap", "n_top": 8}),
    ("artifact", art('"params": {"kind": "rank"}', '"params": ["rank_quant", 4]'),
     {"kind": "rank_quant", "bits": 4}),
    ("artifact", art('"params": {"kind": "rank"}', '"params": ["sign_bitmap"]'),
     {"kind": "sign_bitmap"}),
    ("artifact", art('"params": {"kind": "rank"}', '"params": {"kind": "sign_bitmap", "z": [[{}]]}'),
     {"kind": "sign_bitmap"}),
])
def test_union_shapes_accepted(tmp_path, member, raw, expected):
    data, _, _ = marked(member_doc(member, raw) + MARK)
    assert inspect_bytes(tmp_path, data)["artifact"]["params"] == expected


@pytest.mark.parametrize("kind_text,expected", [
    ('"bitmap"', "bitmap"),
    ('{"rank_quant": null}', "rank_quant"),
    ('{ "sign_bitmap" : null }', "sign_bitmap"),
])
def test_enumeration_forms(tmp_path, kind_text, expected):
    data = member_doc("artifact", art('"kind": "rank"', '"kind": ' + kind_text)).encode()
    assert inspect_bytes(tmp_path, data)["artifact"]["kind"] == expected


@pytest.mark.parametrize("param_text,expected", [
    ('"bucket_frequency"', "bucket_frequency"),
    ('{"sign_frequency": null}', "sign_frequency"),
    ('{"sign_frequency": {}}', "sign_frequency"),
])
def test_enumeration_forms_inside_a_union(tmp_path, param_text, expected):
    cal = first(CAL, "null_model", '{"kind": "weighted_marginal_profile", "parameterization": %s}'
                % param_text)
    got = inspect_bytes(tmp_path, member_doc("calibration", cal).encode())
    assert got["calibration"]["null_model"] == {"kind": "weighted_marginal_profile",
                                                "parameterization": expected}


@pytest.mark.parametrize("param_text,message", [
    ('"anything"', "unknown variant `anything`, expected one of `marginal_topk_frequency`, "
                   "`bucket_frequency`, `sign_frequency`, `rank_position_frequency`, "
                   "`empirical_tail_table`"),
    ("5", "invalid type: integer `5`, expected string or map"),
    ("null", "invalid type: null, expected string or map"),
    ("[]", "invalid type: sequence, expected string or map"),
    ('{"bucket_frequency": null, "sign_frequency": null}',
     "invalid value: map, expected map with a single key"),
    ("{}", "invalid value: map, expected map with a single key"),
    ('{"bucket_frequency": 1}', "invalid type: integer `1`, expected unit"),
    ('{"bogus": null}', "unknown variant `bogus`, expected one of `marginal_topk_frequency`, "
                        "`bucket_frequency`, `sign_frequency`, `rank_position_frequency`, "
                        "`empirical_tail_table`"),
])
def test_enumeration_failures_inside_a_union(tmp_path, param_text, message):
    cal = first(CAL, "null_model", '{"kind": "weighted_marginal_profile", "parameterization": %s}%s'
                % (param_text, MARK))
    check(tmp_path, member_doc("calibration", cal), message)


# ---- limits and files ----

def test_manifest_of_exactly_the_limit_loads_and_one_byte_more_fails(tmp_path):
    data = VALID.encode()
    path = tmp_path / "m.json"
    path.write_bytes(data)
    assert tm.inspect_manifest(path, max_manifest_bytes=len(data)) == BASE
    with pytest.raises(ValueError) as exc:
        tm.inspect_manifest(path, max_manifest_bytes=len(data) - 1)
    assert str(exc.value) == (f"manifest_file_too_large: manifest file exceeds {len(data) - 1} "
                              f"bytes while reading {path}")


def test_missing_manifest_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as exc:
        tm.inspect_manifest(tmp_path / "missing.json")
    assert type(exc.value) is OSError and exc.value.errno is None
    assert str(exc.value) == "No such file or directory"


# ---- row-identity lines (the same record rules, one line at a time) ----

ROW_FIELDS = "one of `row_id`, `db_id`, `parent_id`"
UUID = "00000000-0000-4000-8000-000000000001"


@pytest.mark.parametrize("line,message", [
    ('{"row_id": 0}¦', "missing field `db_id`"),
    ('{"row_id": 0, "db_id": "%s", "db_id"¦: "x"}' % UUID, "duplicate field `db_id`"),
    ('{"row_id": 0, "db_id": "%s", "note"¦: 1}' % UUID, f"unknown field `note`, expected {ROW_FIELDS}"),
    ('{"row_id": -1¦, "db_id": "%s"}' % UUID, "invalid value: integer `-1`, expected usize"),
    ('{"row_id": "0"¦, "db_id": "%s"}' % UUID, 'invalid type: string "0", expected usize'),
    ('{"row_id": "\\u0000\\t\\u0085"¦, "db_id": "%s"}' % UUID,
     'invalid type: string "\\0\\t\\u{85}", expected usize'),
    ('["\\u007f"¦, "%s"]' % UUID, 'invalid type: string "\\u{7f}", expected usize'),
    ('{"row_id": 0, "db_id": null¦}', "invalid type: null, expected a string"),
    ("[0]¦", "invalid length 1, expected struct JsonlRow with 3 elements"),
    ('[0, "%s", null, 1¦]' % UUID, "trailing characters"),
    ('{"row_id": 0, "db_id": "%s"} x¦' % UUID, "trailing characters"),
    ("¦", "EOF while parsing a value"),
    ("7¦", "invalid type: integer `7`, expected struct JsonlRow"),
])
def test_row_line_rules(tmp_path, line, message):
    data, lineno, column = marked(line)
    manifest = make_fixture(tmp_path, n_vectors=1)
    rows = tmp_path / "rows.jsonl"
    rows.write_bytes(data + b"\n")
    manifest["row_identity"]["sha256"] = hashlib.sha256(data + b"\n").hexdigest()
    report = tm.verify_manifest(write_manifest(tmp_path / "m.json", manifest))
    assert [(e["code"], e["message"]) for e in report["errors"]] == [
        ("row_identity_jsonl_invalid_json",
         f"line 0 is not a strict row object: {message} at line {lineno} column {column}")]


@pytest.mark.parametrize("line", ['[0, "%s"]' % UUID, '{"db_id": "%s", "row_id": 0, "parent_id": null}' % UUID])
def test_row_line_forms_accepted(tmp_path, line):
    manifest = make_fixture(tmp_path, n_vectors=1)
    rows = tmp_path / "rows.jsonl"
    rows.write_text(line + "\n")
    manifest["row_identity"]["sha256"] = hashlib.sha256((line + "\n").encode()).hexdigest()
    report = tm.verify_manifest(write_manifest(tmp_path / "m.json", manifest))
    assert report["errors"] == [] and report["ok"]
