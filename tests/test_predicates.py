"""The shared predicates, observed through the rules that use them: white space for "non-empty",
the digest syntax, the RFC 3339 parse and the quoted form of names inside messages."""

from __future__ import annotations

import pytest

import _tamrel_manifest as tm
from builders import make_fixture, write_manifest

EMPTY_ID = [("manifest_id_empty", "manifest_id must be non-empty")]


def errors_for(tmp_path, **members) -> list[tuple[str, str]]:
    manifest = make_fixture(tmp_path, "rank", row_map=False, **members)
    report = tm.verify_manifest(str(write_manifest(tmp_path / "m.json", manifest)))
    return [(e["code"], e["message"]) for e in report["errors"]]


WHITE_SPACE = [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028,
               0x2029, 0x202F, 0x205F, 0x3000]
# Look like space or are invisible, but are not White_Space.
NOT_WHITE_SPACE = [0x00, 0x1C, 0x180E, 0x200B, 0x200C, 0x2060, 0xFEFF, 0x3164]


@pytest.mark.parametrize("cp", WHITE_SPACE, ids=hex)
def test_white_space_alone_is_empty(tmp_path, cp):
    assert errors_for(tmp_path, manifest_id=chr(cp) * 2) == EMPTY_ID


@pytest.mark.parametrize("cp", NOT_WHITE_SPACE, ids=hex)
def test_other_invisible_characters_are_content(tmp_path, cp):
    assert errors_for(tmp_path, manifest_id=f" {chr(cp)}\u3000") == []


@pytest.mark.parametrize("digest,ok", [
    ("0123456789abcdef" * 4, True),
    ("0123456789ABCDEF" * 4, False),
    ("a" * 63, False),
    ("a" * 65, False),
    (" " + "a" * 64, False),
    ("sha256:" + "a" * 64, False),
    ("g" * 64, False),
    ("\u0660" * 64, False),  # Arabic-Indic digits are not hex digits
])
def test_digest_syntax(tmp_path, digest, ok):
    expected = [] if ok else [(
        "embedding_corpus_digest_invalid",
        "embedding.corpus_digest must be a lowercase 64-character hex SHA-256 digest")]
    assert errors_for(tmp_path, embedding={"model": "m", "dim": 8,
                                           "corpus_digest": digest}) == expected


VALID_TIMES = [
    "2026-01-02T03:04:05Z",
    "2026-01-02t03:04:05z",
    "2026-01-02 03:04:05+01:00",
    "2026-01-02T03:04:05-23:59",
    "2026-01-02T03:04:05.1Z",
    "2026-01-02T03:04:05.123456789012Z",
    "2024-02-29T00:00:00Z",
    "2000-02-29T00:00:00Z",
    "2016-12-31T23:59:60Z",
    "0000-01-01T00:00:00Z",
    "9999-12-31T23:59:59+00:00",
]
INVALID_TIMES = [
    "",
    "2026-01-02",
    "2026-01-02T03:04:05",
    "2026-01-02T03:04Z",
    "2026-01-02T03:04:05.Z",
    "2026-01-02T03:04:05ZZ",
    "2026-01-02T03:04:05Z ",
    " 2026-01-02T03:04:05Z",
    "2026-01-02X03:04:05Z",
    "2026-01-02T03:04:05+0100",
    "2026-01-02T03:04:05+01",
    "2026-01-02T03:04:05+24:00",
    "2026-01-02T03:04:05+01:60",
    "2026-1-02T03:04:05Z",
    "26-01-02T03:04:05Z",
    "2026-00-02T03:04:05Z",
    "2026-13-02T03:04:05Z",
    "2026-01-00T03:04:05Z",
    "2026-01-32T03:04:05Z",
    "2026-04-31T03:04:05Z",
    "2024-02-30T00:00:00Z",
    "2023-02-29T00:00:00Z",
    "1900-02-29T00:00:00Z",
    "2026-01-02T24:00:00Z",
    "2026-01-02T23:60:00Z",
    "2026-01-02T23:59:61Z",
    "2026-01-02T03:04:05.5+01:00x",
    "\uff12026-01-02T03:04:05Z",
]


@pytest.mark.parametrize("text", VALID_TIMES)
def test_rfc3339_accepted(tmp_path, text):
    assert errors_for(tmp_path, created_at=text) == []


@pytest.mark.parametrize("text", INVALID_TIMES)
def test_rfc3339_refused(tmp_path, text):
    assert errors_for(tmp_path, created_at=text) == [
        ("created_at_invalid", "created_at must parse as RFC3339")]


# Extension keys that are not namespaced, and how the message shows them.
QUOTED = [
    ("plain", '"plain"'),
    ('a"b', '"a\\"b"'),
    ("a\\b", '"a\\\\b"'),
    ("it's", '"it\'s"'),
    ("t\tr\rn\n", '"t\\tr\\rn\\n"'),
    ("nul\0", '"nul\\0"'),
    ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
    ("\x85", '"\\u{85}"'),
    ("e\u0301", '"e\\u{301}"'),           # combining acute accent (Grapheme_Extend)
    ("\u200d", '"\\u{200d}"'),             # zero width joiner: Grapheme_Extend and format
    ("\u200b\ufeff", '"\\u{200b}\\u{feff}"'),  # format characters
    ("\u00a0\u3000", '"\\u{a0}\\u{3000}"'),    # space separators other than the space
    ("\u2028\u2029", '"\\u{2028}\\u{2029}"'),
    ("\ue000", '"\\u{e000}"'),             # private use
    ("\U0010fffd", '"\\u{10fffd}"'),
    ("\u0378", '"\\u{378}"'),              # unassigned
    ("a b", '"a b"'),
    ("é€😀", '"é€😀"'),
    ("中.文", '"中.文"'),
]


@pytest.mark.parametrize("key,shown", QUOTED)
def test_quoted_form(tmp_path, key, shown):
    assert errors_for(tmp_path, extensions={key: 1}) == [
        ("extension_key_not_namespaced", f"extension key {shown} must be namespaced")]


@pytest.mark.parametrize("key,namespaced", [
    ("team.project", True),
    ("lab.tools-x.v2", True),
    ("a_b.c-d", True),
    ("x://", True),
    ("a://b", True),
    ("urn:x", True),
    ("urn:", True),
    ("example", False),
    (".a", False),
    ("a.", False),
    ("a..b", False),
    ("a._", False),
    ("a.-", False),
    ("a.b c", False),
    ("urn", False),
    ("URN:x", False),
    ("a:/b", False),
    ("", False),
])
def test_namespaced_keys(tmp_path, key, namespaced):
    got = errors_for(tmp_path, extensions={key: 1})
    assert got == ([] if namespaced else [
        ("extension_key_not_namespaced", f'extension key "{key}" must be namespaced')])
