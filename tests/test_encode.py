"""Canonical serialization: member order, omission of absent and default members, value text,
the real layout, the pretty file layout, and the fixed point of decode and encode."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _tamrel_manifest as tm
from builders import (KINDS, make_fixture, minimal_manifest, sha256_of, write_index,
                      write_row_map)

BASE = minimal_manifest()

# Every record and every member, written in declaration order.
FULL = {
    "schema_version": "tamrel.index_manifest.v1",
    "manifest_id": "urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b4c",
    "created_at": "2026-01-02T03:04:05Z",
    "artifact": {"path": "sub/i.kxbm", "sha256": "a" * 64, "kind": "bitmap", "format_version": 2,
                 "dim": 64, "vector_count": 3, "bytes_per_vec": 8,
                 "params": {"kind": "bitmap", "n_top": 8}, "file_size_bytes": 41},
    "auxiliary_artifacts": [
        {"name": "vocab", "path": "v.txt", "sha256": "b" * 64, "file_size_bytes": 0,
         "required": False},
        {"name": "tok", "path": "t.bin", "sha256": "c" * 64, "file_size_bytes": 18446744073709551615},
    ],
    "embedding": {"model": "m", "dim": 64, "model_revision": "r", "tokenizer_revision": "t",
                  "pooling": "mean", "corpus_digest": "d" * 64,
                  "embedding_matrix_digest": "e" * 64, "normalization": "l2"},
    "encoder_distortion": {
        "schema_version": "tamrel.encoder_distortion.v1", "profile_id": "d1",
        "created_at": "2026-01-02T03:04:05Z",
        "encoder": {"model": "m", "dim": 64, "model_revision": "r", "normalization": "l2"},
        "tokenizer_revision": "t", "pooling": "mean",
        "source_metric": {"name": "jaccard", "version": "1", "digest": "sha256:" + "f" * 64},
        "embedding_metric": {"name": "hamming"},
        "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2.0,
                   "estimated_distortion": 1.25, "violation_rate": 0.001,
                   "max_observed_violation": 1e-7, "quantile_observed_violation": 12345.678},
        "scope": {"corpus_digest": "sha256:" + "0" * 64, "query_set_digest": "sha256:" + "1" * 64,
                  "pair_sample_digest": "sha256:" + "2" * 64, "domain": "web",
                  "sample_size": 1000, "confidence": 0.95, "coverage": 1.0,
                  "estimator_version": "e1"},
        "evidence": {"kind": "teacher_estimate", "estimator_id": "x",
                     "estimator_hash": "sha256:" + "3" * 64},
        "profile": {"path": "d.npy", "sha256": "4" * 64, "file_size_bytes": 10, "format": "npy",
                    "source_digest": "sha256:" + "5" * 64},
        "calibration_profile_id": "c1",
    },
    "calibration": {
        "schema_version": "tamrel.calibration.v1", "profile_id": "c1",
        "created_at": "2026-01-02T03:04:05Z",
        "calibrated_for": {"model": "m", "dim": 64},
        "ordinalization": {"kind": "top_k", "dim": 64, "k": 8},
        "profile": {"path": "c.npy", "sha256": "6" * 64, "file_size_bytes": 5, "dim": 64,
                    "sample_count": 7, "parameterization": "marginal_topk_frequency",
                    "format": "npy", "shape": [64, 8], "source_digest": "sha256:" + "7" * 64},
        "null_model": {"kind": "caller_defined", "name": "n", "parameterization": "free text"},
    },
    "row_identity": {"kind": "jsonl", "path": "rows.jsonl", "sha256": "8" * 64, "row_count": 3,
                     "id_kind": "uuid", "db": {"path": "db.sqlite", "table": "t", "id_column": "id"}},
    "build": {"invocation_id": "urn:uuid:7c9d1e2f-3a4b-4c5d-8e6f-708192a3b4c5",
              "builder_id": "b", "source_repo": "r", "source_commit": "c", "ci_provider": "p",
              "ci_run_id": "9"},
    "attestations": [{"statement": {"b": [1, -2, 2.5, None, True], "a": "\u00e9\t/"}}, "x", 7],
    "extensions": {"org.a": {"z": {}, "y": []}, "org.b": -0.0, "\u00e9": "\U0001F600"},
}


def keys_in_order(value):
    """The member order of every object, recursively."""
    if isinstance(value, dict):
        return [(k, keys_in_order(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [keys_in_order(v) for v in value]
    return None


def inspect_text(tmp_path, text: str, name: str = "m.json"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return tm.inspect_manifest(path)


def with_members(**members):
    return {**BASE, **members}


# ---- member order and omission ----

def test_required_members_alone_come_back_alone(tmp_path):
    got = inspect_text(tmp_path, json.dumps(dict(reversed(list(BASE.items())))))
    assert keys_in_order(got) == keys_in_order(BASE)


def test_every_member_in_declaration_order(tmp_path):
    shuffled = json.loads(json.dumps(FULL), object_pairs_hook=lambda pairs: dict(reversed(pairs)))
    got = inspect_text(tmp_path, json.dumps(shuffled, indent=3))
    expected = json.loads(json.dumps(FULL))
    expected["extensions"] = dict(sorted(FULL["extensions"].items()))
    expected["extensions"]["org.a"] = {"y": [], "z": {}}
    expected["attestations"][0]["statement"] = {"a": "\u00e9\t/", "b": [1, -2, 2.5, None, True]}
    assert got == expected
    assert keys_in_order(got) == keys_in_order(expected)


@pytest.mark.parametrize("members,absent", [
    ({"calibration": None}, "calibration"),
    ({"encoder_distortion": None}, "encoder_distortion"),
    ({"build": None}, "build"),
    ({"auxiliary_artifacts": []}, "auxiliary_artifacts"),
    ({"attestations": []}, "attestations"),
    ({"extensions": {}}, "extensions"),
])
def test_absent_and_default_members_are_left_out(tmp_path, members, absent):
    got = inspect_text(tmp_path, json.dumps(with_members(**members)))
    assert absent not in got and got == BASE


@pytest.mark.parametrize("record,expected", [
    ({"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1},
     {"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1}),
    ({"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1, "required": True},
     {"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1}),
    ({"required": False, "name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1},
     {"name": "a", "path": "p", "sha256": "s", "file_size_bytes": 1, "required": False}),
])
def test_required_is_written_only_when_false(tmp_path, record, expected):
    got = inspect_text(tmp_path, json.dumps(with_members(auxiliary_artifacts=[record])))
    assert got["auxiliary_artifacts"] == [expected]
    assert keys_in_order(got["auxiliary_artifacts"]) == keys_in_order([expected])


CAL = {"schema_version": "tamrel.calibration.v1", "profile_id": "p",
       "calibrated_for": {"model": "m", "dim": 8},
       "ordinalization": {"kind": "sign", "dim": 8},
       "null_model": {"kind": "uniform_hypergeometric", "note": 1}}
PROFILE = {"path": "p", "sha256": "s", "file_size_bytes": 1, "dim": 8, "sample_count": 2,
           "parameterization": "sign_frequency", "format": "npy"}


@pytest.mark.parametrize("calibration,expected", [
    (CAL, {**CAL, "null_model": {"kind": "uniform_hypergeometric"}}),
    ({**CAL, "created_at": None, "profile": None}, {**CAL, "null_model": {"kind": "uniform_hypergeometric"}}),
    ({**CAL, "profile": {**PROFILE, "shape": []}}, {**CAL, "profile": PROFILE,
                                                     "null_model": {"kind": "uniform_hypergeometric"}}),
    ({**CAL, "null_model": {"name": "x", "kind": "caller_defined"}},
     {**CAL, "null_model": {"kind": "caller_defined", "name": "x"}}),
    ({**CAL, "null_model": ["weighted_marginal_profile", {"bucket_frequency": None}]},
     {**CAL, "null_model": {"kind": "weighted_marginal_profile",
                            "parameterization": "bucket_frequency"}}),
    ({**CAL, "ordinalization": ["caller_defined", 8, "mine"]},
     {**CAL, "ordinalization": {"kind": "caller_defined", "dim": 8, "name": "mine"},
      "null_model": {"kind": "uniform_hypergeometric"}}),
])
def test_calibration_block_written_back(tmp_path, calibration, expected):
    got = inspect_text(tmp_path, json.dumps(with_members(calibration=calibration)))["calibration"]
    expected = {k: expected[k] for k in ("schema_version", "profile_id", "created_at",
                                         "calibrated_for", "ordinalization", "profile",
                                         "null_model") if k in expected}
    assert got == expected and keys_in_order(got) == keys_in_order(expected)


DIST = {"schema_version": "tamrel.encoder_distortion.v1", "profile_id": "d",
        "encoder": {"model": "m", "dim": 8}, "source_metric": {"name": "cosine"},
        "embedding_metric": {"name": "cosine"}, "bounds": {}, "scope": {},
        "evidence": {"kind": "certified"}}


def test_records_of_optional_members_only_are_written_empty(tmp_path):
    got = inspect_text(tmp_path, json.dumps(with_members(encoder_distortion=DIST)))
    assert got["encoder_distortion"] == DIST
    assert keys_in_order(got["encoder_distortion"]) == keys_in_order(DIST)


def test_row_identity_db_comes_after_id_kind(tmp_path):
    ri = {"db": {}, "id_kind": "uuid", "row_count": 3, "sha256": "s", "path": "p", "kind": "jsonl"}
    got = inspect_text(tmp_path, json.dumps(with_members(row_identity=ri)))["row_identity"]
    assert list(got) == ["kind", "path", "sha256", "row_count", "id_kind", "db"]
    assert got["db"] == {}


def test_member_order_whitespace_and_extension_order_do_not_change_the_result(tmp_path):
    a = with_members(extensions={"b": 1, "a": {"z": 2, "y": 3}})
    b = dict(reversed(list(a.items())))
    b["extensions"] = {"a": {"y": 3, "z": 2}, "b": 1}
    got_a = inspect_text(tmp_path, json.dumps(a), "a.json")
    got_b = inspect_text(tmp_path, json.dumps(b, indent="\t", separators=(" ,", " : ")), "b.json")
    assert keys_in_order(got_a) == keys_in_order(got_b)
    assert list(got_a["extensions"]) == ["a", "b"] and list(got_a["extensions"]["a"]) == ["y", "z"]


def test_content_is_not_validated(tmp_path):
    got = inspect_text(tmp_path, json.dumps(with_members(schema_version="other", manifest_id="")))
    assert got["schema_version"] == "other" and got["manifest_id"] == ""


# ---- value text ----

@pytest.mark.parametrize("raw,expected,kind", [
    ("0.1", 0.1, float),
    ("2", 2.0, float),
    ("-3", -3.0, float),
    ("18446744073709551615", 18446744073709551615.0, float),
    ("1e-400", 0.0, float),
])
def test_reals_come_back_as_floats(tmp_path, raw, expected, kind):
    text = json.dumps(with_members(encoder_distortion={**DIST, "bounds": {}}))
    text = text.replace('"bounds": {}', '"bounds": {"violation_rate": %s}' % raw)
    got = inspect_text(tmp_path, text)["encoder_distortion"]["bounds"]["violation_rate"]
    assert type(got) is kind and got == expected


# The real layout, seen through the message that quotes a real where an integer belongs.
@pytest.mark.parametrize("raw,layout", [
    ("1.0", "1.0"),
    ("1500.0", "1500.0"),
    ("1.5e3", "1500.0"),
    ("12.34", "12.34"),
    ("0.001234", "0.001234"),
    ("0.00001", "0.00001"),
    ("1.2e-5", "0.000012"),
    ("0.000001", "1e-6"),
    ("1.5e-7", "1.5e-7"),
    ("1e15", "1000000000000000.0"),
    ("9999999999999999.0", "1e+16"),
    ("9007199254740992.0", "9007199254740992.0"),
    ("123456789012345.6", "123456789012345.6"),
    ("1e16", "1e+16"),
    ("1e21", "1e+21"),
    ("123456789012345678901", "1.2345678901234568e+20"),
    ("1.5e300", "1.5e+300"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("5e-324", "5e-324"),
    ("0.0", "0.0"),
    ("-0.0", "-0.0"),
    ("-1.5", "-1.5"),
    ("-2.5e-10", "-2.5e-10"),
    ("0.30000000000000004", "0.30000000000000004"),
    ("1.00000000000000011102230246251565404236316680908203125", "1.0"),
])
def test_real_layout(tmp_path, raw, layout):
    text = json.dumps(BASE).replace('"dim": 8,', '"dim": %s,' % raw, 1)
    with pytest.raises(ValueError) as exc:
        inspect_text(tmp_path, text)
    assert str(exc.value).startswith(f"invalid type: floating point `{layout}`, expected usize at ")


@pytest.mark.parametrize("raw,expected", [
    ("2", 2), ("2.0", 2.0), ("-7", -7), ("1E2", 100.0), ("[1, 2.5, -0.5]", [1, 2.5, -0.5]),
])
def test_json_value_numbers_keep_their_kind(tmp_path, raw, expected):
    text = json.dumps(BASE)[:-1] + ', "extensions": {"x.n": %s}}' % raw
    got = inspect_text(tmp_path, text)["extensions"]["x.n"]
    assert got == expected and type(got) is type(expected)


# ---- the written file (pretty form) ----

EXAMPLE = """{
  "schema_version": "tamrel.index_manifest.v1",
  "manifest_id": "<manifest_id>",
  "created_at": "<created_at>",
  "artifact": {
    "path": "index.kxrq",
    "sha256": "<index>",
    "kind": "rank_quant",
    "format_version": 1,
    "dim": 384,
    "vector_count": 1000,
    "bytes_per_vec": 96,
    "params": {
      "kind": "rank_quant",
      "bits": 2
    },
    "file_size_bytes": 96014
  },
  "auxiliary_artifacts": [
    {
      "name": "vocab",
      "path": "vocab.txt",
      "sha256": "<vocab>",
      "file_size_bytes": 120,
      "required": false
    }
  ],
  "embedding": {
    "model": "m",
    "dim": 384
  },
  "row_identity": {
    "kind": "jsonl",
    "path": "rows.jsonl",
    "sha256": "<rows>",
    "row_count": 1000,
    "id_kind": "uuid"
  },
  "build": {
    "invocation_id": "<invocation_id>",
    "builder_id": "tamrel-manifest"
  }
}"""


def test_pretty_file_of_a_created_manifest(tmp_path):
    index = write_index(tmp_path / "index.kxrq", "rank_quant", 384, 1000, bits=2)
    rows = write_row_map(tmp_path / "rows.jsonl", 1000)
    vocab = tmp_path / "vocab.txt"
    vocab.write_bytes(b"v" * 120)
    out = tmp_path / "m.json"
    got = tm.create_manifest(index, out, "m", row_map=rows,
                             auxiliary_artifacts=[{"name": "vocab", "path": vocab,
                                                   "required": False}])
    expected = EXAMPLE
    for name, value in [("<manifest_id>", got["manifest_id"]), ("<created_at>", got["created_at"]),
                        ("<invocation_id>", got["build"]["invocation_id"]),
                        ("<index>", sha256_of(index)), ("<vocab>", sha256_of(vocab)),
                        ("<rows>", sha256_of(rows))]:
        expected = expected.replace(name, value)
    text = out.read_text(encoding="utf-8")
    assert text == expected
    # The returned dict is the compact form of the same manifest, member for member.
    loaded = json.loads(text)
    assert loaded == got and keys_in_order(loaded) == keys_in_order(got)


def test_strings_in_the_written_file(tmp_path):
    (tmp_path / "sub").mkdir()
    index = write_index(tmp_path / "sub" / "i.kxrq", "rank_quant")
    model = 'q"\\/\b\f\n\r\t\x01\x1f\x7f\u00e9\U0001F600'
    out = tmp_path / "m.json"
    got = tm.create_manifest(index, out, model, row_id_is_identity=True)
    data = out.read_bytes()
    assert (b'"model": "q\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80"'
            in data)
    assert b'"path": "sub/i.kxrq"' in data
    assert got["embedding"]["model"] == model
    assert not data.endswith(b"\n") and data.endswith(b"}")


FSIZE_CHILD = r"""
import json, resource, signal, sys
sys.path[:0] = json.loads(sys.argv[1])
import _tamrel_manifest as tm
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
try:
    tm.create_manifest(sys.argv[2], sys.argv[3], "m", row_id_is_identity=True)
    print(json.dumps(["returned"]))
except Exception as exc:
    print(json.dumps([type(exc).__name__, str(exc)]))
"""


def test_a_failing_write_is_a_value_error_with_the_system_text(tmp_path):
    index = write_index(tmp_path / "i.kxrq", "rank_quant")
    out = subprocess.run([sys.executable, "-c", FSIZE_CHILD, json.dumps(sys.path),
                          str(index), str(tmp_path / "m.json")],
                         capture_output=True, text=True, timeout=60, check=True)
    assert json.loads(out.stdout) == ["ValueError", os.strerror(27)]  # EFBIG


# ---- fixed point ----

def built_manifests(root: Path):
    yield "base", BASE
    yield "full", FULL
    for kind in KINDS:
        for row_map in (True, False):
            yield f"{kind}-{row_map}", make_fixture(root / f"{kind}-{row_map}", kind,
                                                    row_map=row_map)


@pytest.mark.parametrize("indent", [None, 2])
def test_decode_encode_is_a_fixed_point(tmp_path, indent):
    for name, manifest in built_manifests(tmp_path):
        once = inspect_text(tmp_path, json.dumps(manifest, indent=indent), f"{name}.json")
        twice = inspect_text(tmp_path, json.dumps(once), f"{name}-2.json")
        assert twice == once, name
        assert keys_in_order(twice) == keys_in_order(once), name


def test_written_file_reloads_to_the_same_manifest(tmp_path):
    index = write_index(tmp_path / "i.kxsb", "sign_bitmap")
    created = tm.create_manifest(index, tmp_path / "m.json", "m", row_id_is_identity=True)
    again = tm.inspect_manifest(tmp_path / "m.json")
    assert again == created and keys_in_order(again) == keys_in_order(created)
    assert re.fullmatch(r"\{\n  \"schema_version\".*\n\}", (tmp_path / "m.json").read_text(),
                        re.S)
