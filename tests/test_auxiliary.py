"""Auxiliary artifacts and the two profile files on disk: order of examination, verdicts and
reason codes, the auxiliary path policy, bounded reads, digest and size comparisons."""

import os
from pathlib import Path

import pytest

from blocks_builders import block_fixture, issues, sha256_bytes, verify

HEX = "ef" * 32
COUNT = "auxiliary_artifact_count_limit_exceeded"


def aux(root, name, path=None, data=b"aux-bytes", *, required=None, write=True, sha=None,
        size=None):
    """An auxiliary artifact record; writes its file under root unless told not to."""
    path = name + ".bin" if path is None else path
    if write:
        (root / path).write_bytes(data)
    entry = {"name": name, "path": path, "sha256": sha256_bytes(data) if sha is None else sha,
             "file_size_bytes": len(data) if size is None else size}
    if required is not None:
        entry["required"] = required
    return entry


def run(root, entries, **kwargs):
    manifest = block_fixture(root, auxiliary_artifacts=entries)
    report = verify(root, manifest, **kwargs)
    return report, issues(report, "auxiliary_artifact_")


def verdict_view(report, *keys):
    return [tuple(v[k] for k in keys) for v in report["auxiliary_artifacts"]]


def test_verified_verdict(tmp_path):
    report, found = run(tmp_path, [aux(tmp_path, "vocab", data=b"0123456789")])
    assert found == [] and report["ok"] is True
    assert report["auxiliary_artifacts"] == [{
        "name": "vocab",
        "manifest_path": "vocab.bin",
        "resolved_path": f"{tmp_path}/vocab.bin",
        "canonical_path": os.path.realpath(tmp_path / "vocab.bin"),
        "expected_sha256": sha256_bytes(b"0123456789"),
        "expected_size_bytes": 10,
        "required": True,
        "state": "verified",
        "reason_code": None,
        "sha256": sha256_bytes(b"0123456789"),
        "size_bytes": 10,
    }]


def test_examined_by_name_then_path_then_required(tmp_path):
    (tmp_path / "d").mkdir()
    entries = [
        aux(tmp_path, "b", sha=HEX),
        aux(tmp_path, "a", "d/z.bin", sha=HEX, required=True),
        aux(tmp_path, "a", "d/z.bin", sha=HEX, required=False),
        aux(tmp_path, "a", "d/y.bin", sha=HEX),
        aux(tmp_path, "B", sha=HEX),
    ]
    report, found = run(tmp_path, entries)
    assert verdict_view(report, "name", "manifest_path", "required") == [
        ("B", "B.bin", True), ("a", "d/y.bin", True), ("a", "d/z.bin", False),
        ("a", "d/z.bin", True), ("b", "b.bin", True)]
    # File issues follow the verdict order, not the declared order.
    assert [(c, m.split(" SHA-256")[0]) for c, m in found if c.endswith("sha256_mismatch")] == [
        ("auxiliary_artifact_sha256_mismatch", 'auxiliary artifact "B"'),
        ("auxiliary_artifact_sha256_mismatch", 'auxiliary artifact "a"'),
        ("auxiliary_artifact_sha256_mismatch", 'auxiliary artifact "a"'),
        ("auxiliary_artifact_sha256_mismatch", 'auxiliary artifact "a"'),
        ("auxiliary_artifact_sha256_mismatch", 'auxiliary artifact "b"')]


def test_optional_absent_is_not_an_error(tmp_path):
    report, found = run(tmp_path, [aux(tmp_path, "opt", write=False, required=False)])
    assert found == [] and report["ok"] is True
    assert verdict_view(report, "state", "reason_code", "resolved_path", "canonical_path") == [
        ("optional_absent", "auxiliary_artifact_optional_absent", f"{tmp_path}/opt.bin", None)]


def test_required_missing(tmp_path):
    report, found = run(tmp_path, [aux(tmp_path, "req", write=False)])
    assert found == [("auxiliary_artifact_missing_required",
                      f'required auxiliary artifact "req" is missing at {tmp_path}/req.bin')]
    assert verdict_view(report, "state", "reason_code") == [
        ("missing_required", "auxiliary_artifact_missing_required")]


def test_blank_path_gets_a_verdict_without_file_check(tmp_path):
    report, found = run(tmp_path, [aux(tmp_path, "blank", " ", write=False, required=False)])
    assert found == [("auxiliary_artifact_path_empty",
                      'auxiliary artifact "blank" path must be non-empty')]
    assert verdict_view(report, "state", "reason_code", "resolved_path") == [
        ("failed", "auxiliary_artifact_path_empty", None)]


def test_digest_and_size_both_wrong(tmp_path):
    data = b"seven!!"
    report, found = run(tmp_path, [aux(tmp_path, "w", data=data, sha=HEX, size=8)])
    assert found == [
        ("auxiliary_artifact_sha256_mismatch",
         f'auxiliary artifact "w" SHA-256 was {sha256_bytes(data)}, manifest declares {HEX}'),
        ("auxiliary_artifact_file_size_mismatch",
         'auxiliary artifact "w" size was 7, manifest declares 8')]
    assert verdict_view(report, "state", "reason_code", "sha256", "size_bytes") == [
        ("failed", "auxiliary_artifact_sha256_mismatch", sha256_bytes(data), 7)]


def test_size_alone_wrong_decides_the_reason(tmp_path):
    report, found = run(tmp_path, [aux(tmp_path, "s", data=b"abc", size=0)])
    assert found == [("auxiliary_artifact_file_size_mismatch",
                      'auxiliary artifact "s" size was 3, manifest declares 0')]
    assert verdict_view(report, "reason_code") == [("auxiliary_artifact_file_size_mismatch",)]


@pytest.mark.parametrize("limit,verified", [(16, True), (15, False)])
def test_byte_limit_is_inclusive(tmp_path, limit, verified):
    report, found = run(tmp_path, [aux(tmp_path, "big", data=b"x" * 16)],
                        max_auxiliary_artifact_bytes=limit)
    canonical = os.path.realpath(tmp_path / "big.bin")
    if verified:
        assert found == []
        assert verdict_view(report, "state") == [("verified",)]
    else:
        assert found == [("auxiliary_artifact_file_too_large",
                          f"auxiliary artifact exceeds 15 bytes while reading {canonical}")]
        assert verdict_view(report, "state", "reason_code", "canonical_path", "sha256") == [
            ("failed", "auxiliary_artifact_file_too_large", canonical, None)]


def test_directory_keeps_the_system_text(tmp_path):
    (tmp_path / "dir.bin").mkdir()
    report, found = run(tmp_path, [aux(tmp_path, "dir", write=False, sha=HEX, size=1)])
    assert found == [("auxiliary_artifact_hash_failed",
                      'failed to hash auxiliary artifact "dir": Is a directory')]
    assert verdict_view(report, "reason_code") == [("auxiliary_artifact_hash_failed",)]


def test_fifo_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / "pipe.bin")
    _, found = run(tmp_path, [aux(tmp_path, "pipe", write=False, sha=HEX, size=1)])
    assert found == [("auxiliary_artifact_hash_failed",
                      'failed to hash auxiliary artifact "pipe": not a regular file')]


@pytest.fixture
def outside(tmp_path_factory):
    d = tmp_path_factory.mktemp("outside")
    (d / "o.bin").write_bytes(b"aux-bytes")
    return d


def test_path_policy_refusals(tmp_path, outside):
    os.symlink(outside / "o.bin", tmp_path / "link.bin")
    (tmp_path / "plain").write_bytes(b"")
    entries = [
        aux(tmp_path, "abs", str(outside / "o.bin"), write=False),
        aux(tmp_path, "esc", "../" + outside.name + "/o.bin", write=False),
        aux(tmp_path, "link", "link.bin", write=False),
        aux(tmp_path, "notdir", "plain/x.bin", write=False),
    ]
    report, found = run(tmp_path, entries)
    real_out = os.path.realpath(outside / "o.bin")
    real_base = os.path.realpath(tmp_path)
    assert found == [
        ("auxiliary_artifact_absolute_path_rejected",
         f'absolute auxiliary artifact path {outside}/o.bin for "abs" is rejected by default'),
        ("auxiliary_artifact_path_escape_rejected",
         f'relative auxiliary artifact path ../{outside.name}/o.bin for "esc" escapes the '
         f'manifest base'),
        ("auxiliary_artifact_path_escape_rejected",
         f'canonical auxiliary artifact path {real_out} for "link" is outside manifest base '
         f'{real_base}'),
        ("auxiliary_artifact_path_unavailable",
         f'failed to canonicalize auxiliary artifact "notdir" at {tmp_path}/plain/x.bin: '
         f'Not a directory'),
    ]
    assert verdict_view(report, "name", "state", "reason_code", "canonical_path") == [
        ("abs", "failed", "auxiliary_artifact_absolute_path_rejected", None),
        ("esc", "failed", "auxiliary_artifact_path_escape_rejected", None),
        ("link", "failed", "auxiliary_artifact_path_escape_rejected", None),
        ("notdir", "failed", "auxiliary_artifact_path_unavailable", None),
    ]


@pytest.mark.parametrize("flags,expected_codes", [
    ({"allow_absolute_paths": True}, ["auxiliary_artifact_path_escape_rejected"]),
    ({"allow_path_escape": True}, ["auxiliary_artifact_absolute_path_rejected"]),
    ({"allow_absolute_paths": True, "allow_path_escape": True}, []),
])
def test_flags_admit_outside_files(tmp_path, outside, flags, expected_codes):
    report, found = run(tmp_path, [aux(tmp_path, "abs", str(outside / "o.bin"), write=False)],
                        **flags)
    assert [c for c, _ in found] == expected_codes
    if not expected_codes:
        assert verdict_view(report, "state", "canonical_path") == [
            ("verified", os.path.realpath(outside / "o.bin"))]


def test_relative_escape_admitted_when_allowed(tmp_path, outside):
    report, found = run(tmp_path, [aux(tmp_path, "esc", f"../{outside.name}/o.bin", write=False)],
                        allow_path_escape=True)
    assert found == []
    assert verdict_view(report, "state", "resolved_path") == [
        ("verified", f"{tmp_path}/../{outside.name}/o.bin")]


@pytest.mark.parametrize("count,limit,expect_issue", [(3, 2, True), (2, 2, False)])
def test_count_limit(tmp_path, count, limit, expect_issue):
    entries = [aux(tmp_path, "", f"f{i}.bin") for i in range(count)]
    report, found = run(tmp_path, entries, max_auxiliary_artifacts=limit)
    if expect_issue:
        assert found == [(COUNT, f"auxiliary_artifacts has {count} entries, exceeding "
                                 f"max_auxiliary_artifacts={limit}")]
        assert report["auxiliary_artifacts"] == []
    else:
        assert [c for c, _ in found] == ["auxiliary_artifact_name_empty"] * count
        assert verdict_view(report, "state") == [("verified",)] * count


def test_default_count_limit_reported_once(tmp_path):
    (tmp_path / "same.bin").write_bytes(b"aux-bytes")
    entries = [aux(tmp_path, f"n{i}", "same.bin", write=False) for i in range(1025)]
    report, found = run(tmp_path, entries)
    assert found == [(COUNT, "auxiliary_artifacts has 1025 entries, exceeding "
                             "max_auxiliary_artifacts=1024")]
    assert report["auxiliary_artifacts"] == []


# ---- the two profile files ----

PROFILES = [
    pytest.param("calibration", "calibration profile", "max_calibration_profile_bytes", 256,
                 id="calibration"),
    pytest.param("encoder_distortion", "encoder distortion profile",
                 "max_encoder_distortion_profile_bytes", 24, id="encoder_distortion"),
]


def profile_run(root, block, path=None, *, declared=None, **kwargs):
    """Verifies a manifest whose block's profile lives at path; returns the file-stage issues
    and the block's facts. The calibration profile drops its shape so no size rule joins in."""

    def changes(doc):
        profile = doc[block]["profile"]
        if path is not None:
            profile["path"] = path
        profile.pop("shape", None)
        profile.update(declared or {})

    manifest = block_fixture(root, calibration=block == "calibration",
                             distortion=block == "encoder_distortion", changes=changes)
    report = verify(root, manifest, **kwargs)
    return issues(report, f"{block}_profile_"), report[block]


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
def test_profile_clean_at_the_limit(tmp_path, block, label, limit_name, size):
    found, facts = profile_run(tmp_path, block, **{limit_name: size})
    assert found == []
    assert facts["profile_size_bytes"] == size


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
def test_profile_one_byte_over_the_limit(tmp_path, block, label, limit_name, size):
    found, facts = profile_run(tmp_path, block, **{limit_name: size - 1})
    name = "cal.bin" if block == "calibration" else "ed.bin"
    canonical = os.path.realpath(tmp_path / name)
    assert found == [(f"{block}_profile_too_large",
                      f"{label} exceeds {size - 1} bytes while reading {canonical}")]
    assert (facts["profile_canonical_path"], facts["profile_sha256"]) == (canonical, None)


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
def test_profile_digest_and_size_both_reported(tmp_path, block, label, limit_name, size):
    (tmp_path / "own.bin").write_bytes(b"12345")
    found, facts = profile_run(tmp_path, block, "own.bin",
                               declared={"sha256": HEX, "file_size_bytes": 6})
    assert found == [
        (f"{block}_profile_sha256_mismatch",
         f"{label} SHA-256 was {sha256_bytes(b'12345')}, manifest declares {HEX}"),
        (f"{block}_profile_file_size_mismatch", f"{label} size was 5, manifest declares 6")]
    assert (facts["profile_manifest_path"], facts["profile_sha256"],
            facts["profile_size_bytes"]) == ("own.bin", sha256_bytes(b"12345"), 5)


# (declared path, code suffix, message), from the base directory and an outside directory.
PROFILE_REFUSALS = [
    pytest.param(lambda base, out: (f"../{out.name}/o.bin", "path_escape_rejected",
                                    f"relative path ../{out.name}/o.bin escapes the manifest "
                                    f"base"), id="relative escape"),
    pytest.param(lambda base, out: (f"{out}/o.bin", "absolute_path_rejected",
                                    f"absolute path {out}/o.bin is rejected by default"),
                 id="absolute"),
    pytest.param(lambda base, out: ("nodir/p.bin", "path_unavailable",
                                    f"failed to canonicalize {base}/nodir/p.bin: No such file or "
                                    f"directory"), id="missing"),
]


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
@pytest.mark.parametrize("refusal", PROFILE_REFUSALS)
def test_profile_path_policy(tmp_path, outside, block, label, limit_name, size, refusal):
    path, suffix, message = refusal(tmp_path, outside)
    found, facts = profile_run(tmp_path, block, path)
    assert found == [(f"{block}_profile_{suffix}", message)]
    assert facts["profile_manifest_path"] == path
    assert facts["profile_canonical_path"] is None


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
@pytest.mark.parametrize("make,text", [
    (lambda p: p.mkdir(), "Is a directory"),
    (lambda p: os.mkfifo(p), "not a regular file"),
])
def test_profile_that_cannot_be_hashed(tmp_path, block, label, limit_name, size, make, text):
    make(tmp_path / "odd.bin")
    found, facts = profile_run(tmp_path, block, "odd.bin")
    assert found == [(f"{block}_profile_hash_failed", f"failed to hash {label}: {text}")]
    assert facts["profile_canonical_path"] == os.path.realpath(tmp_path / "odd.bin")
    assert facts["profile_sha256"] is None


def test_calibration_profile_read_only_after_its_rules(tmp_path):
    found, _ = profile_run(tmp_path, "calibration", "nodir/p.bin",
                           declared={"sample_count": 0})
    assert [c for c, _ in found] == ["calibration_profile_sample_count_zero",
                                     "calibration_profile_path_unavailable"]


@pytest.fixture
def deep_base(tmp_path, monkeypatch):
    """A manifest directory, given relative to a working directory so deep that resolving it
    exceeds the system's path limit while short relative paths still open."""
    monkeypatch.chdir(tmp_path)
    for _ in range(19):
        os.mkdir("d" * 250)
        os.chdir("d" * 250)
    os.mkdir("leaf")
    return Path("leaf")


def test_base_that_cannot_be_resolved(deep_base):
    entries = [aux(deep_base, "y", " ", write=False), aux(deep_base, "x")]
    report, found = run(deep_base, entries)
    assert found == [
        ("auxiliary_artifact_path_empty", 'auxiliary artifact "y" path must be non-empty'),
        ("auxiliary_artifact_base_dir_unavailable",
         'failed to canonicalize base_dir leaf for auxiliary artifact "x": File name too long')]
    assert verdict_view(report, "name", "state", "reason_code", "resolved_path") == [
        ("x", "failed", "auxiliary_artifact_base_dir_unavailable", "leaf/x.bin"),
        ("y", "failed", "auxiliary_artifact_path_empty", None)]


def test_base_not_resolved_when_escaping_is_allowed(deep_base):
    _, found = run(deep_base, [aux(deep_base, "x")], allow_path_escape=True)
    assert found == [("auxiliary_artifact_path_unavailable",
                      'failed to canonicalize auxiliary artifact "x" at leaf/x.bin: '
                      'File name too long')]


@pytest.mark.parametrize("block,label,limit_name,size", PROFILES)
def test_profile_base_that_cannot_be_resolved(deep_base, block, label, limit_name, size):
    found, facts = profile_run(deep_base, block)
    assert found == [(f"{block}_profile_base_dir_unavailable",
                      "failed to canonicalize base_dir leaf: File name too long")]
    assert facts["profile_canonical_path"] is None
