"""create_manifest end to end: probed facts, row maps, auxiliary files, stored paths, identifiers
and every refusal, on real files in tmp_path."""

import datetime
import json
import os
import re
import threading
import time
from pathlib import Path

import pytest

import _tamrel_manifest as tm
import builders

KINDS = list(builders.KINDS)
UUID_URN = re.compile(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
OUTSIDE = ("{} path {} is outside manifest directory {}; use --allow-path-escape to create a "
           "manifest that requires non-default verification policy")


def index_at(path: Path, kind: str = "rank_quant", n: int = 3) -> Path:
    dim, params = builders.DEFAULT_SHAPES[kind]
    return builders.write_index(path, kind, dim, n, **params)


def uuid_line(i: int, db_id: str | None = None, row_id: int | None = None) -> str:
    return json.dumps({"row_id": i if row_id is None else row_id,
                       "db_id": f"00000000-0000-4000-8000-{i:012x}" if db_id is None else db_id})


def create(root: Path, n: int = 3, *, lines: list[str] | None = None, **kw):
    """Index of n vectors and (unless given otherwise) a row map of n rows under root."""
    index = index_at(root / "index.kxrq", n=n)
    if "row_id_is_identity" not in kw and "row_map" not in kw:
        kw["row_map"] = builders.write_row_map(root / "rows.jsonl", n, lines=lines)
    return tm.create_manifest(index, root / "m.json", "m", **kw)


# ---- what a created manifest holds ----

@pytest.mark.parametrize("row_map", [True, False], ids=["jsonl", "identity"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.smoke
def test_created_manifest_records_probed_facts(tmp_path, kind, row_map):
    expected = builders.make_fixture(tmp_path, kind, 3, row_map=row_map)
    out = tmp_path / "m.json"
    kw = {"row_map": str(tmp_path / "rows.jsonl")} if row_map else {"row_id_is_identity": True}
    got = tm.create_manifest(str(tmp_path / f"index.{kind}"), str(out), "m", **kw)

    text = out.read_text(encoding="utf-8")
    assert json.dumps(got) == json.dumps(json.loads(text))  # same members, same order
    assert text == json.dumps(got, indent=2, ensure_ascii=False)
    assert text.endswith("\n}")
    assert tm.inspect_manifest(out) == got
    assert list(got) == ["schema_version", "manifest_id", "created_at", "artifact", "embedding",
                         "row_identity", "build"]
    assert got["schema_version"] == "tamrel.index_manifest.v1"
    assert got["artifact"] == expected["artifact"]
    assert got["embedding"] == expected["embedding"]
    assert got["row_identity"] == expected["row_identity"]
    assert list(got["build"]) == ["invocation_id", "builder_id"]
    assert got["build"]["builder_id"] == "tamrel-manifest"


def test_empty_index_and_empty_row_map(tmp_path):
    got = create(tmp_path, 0)
    assert got["artifact"]["vector_count"] == 0
    assert got["row_identity"]["row_count"] == 0
    assert got["row_identity"]["sha256"] == builders.sha256_of(tmp_path / "rows.jsonl")


def test_empty_embedding_model_is_written_as_given(tmp_path):
    index = index_at(tmp_path / "i.kxrq")
    got = tm.create_manifest(index, tmp_path / "m.json", "", row_id_is_identity=True)
    assert got["embedding"] == {"model": "", "dim": 16}


def test_auxiliary_artifacts_in_input_order(tmp_path):
    vocab = tmp_path / "aux" / "vocab.txt"
    vocab.parent.mkdir()
    vocab.write_bytes(b"hello")
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    items = iter([{"name": " vocab\t", "path": str(vocab), "required": False},
                  {"name": "empty", "path": empty}])
    got = create(tmp_path, row_id_is_identity=True, auxiliary_artifacts=items)
    assert got["auxiliary_artifacts"] == [
        {"name": "vocab", "path": "aux/vocab.txt", "sha256": builders.sha256_of(vocab),
         "file_size_bytes": 5, "required": False},
        {"name": "empty", "path": "empty.bin", "sha256": builders.sha256_of(empty),
         "file_size_bytes": 0},
    ]
    assert list(got) == ["schema_version", "manifest_id", "created_at", "artifact",
                         "auxiliary_artifacts", "embedding", "row_identity", "build"]
    assert '\n  "auxiliary_artifacts": [\n    {\n      "name": "vocab",' in (
        tmp_path / "m.json").read_text()


def test_exactly_the_auxiliary_limit_is_accepted(tmp_path):
    files = [tmp_path / f"a{i}" for i in range(3)]
    for f in files:
        f.write_bytes(b"x")
    got = create(tmp_path, row_id_is_identity=True, max_auxiliary_artifacts=3,
                 auxiliary_artifacts=[{"name": f.name, "path": f} for f in files])
    assert [a["name"] for a in got["auxiliary_artifacts"]] == ["a0", "a1", "a2"]


def test_identifiers_are_fresh_version_4_uuids(tmp_path):
    first = create(tmp_path / "a", row_id_is_identity=True)
    second = create(tmp_path / "b", row_id_is_identity=True)
    ids = [i for m in (first, second) for i in (m["manifest_id"], m["build"]["invocation_id"])]
    assert all(UUID_URN.fullmatch(i) for i in ids), ids
    assert len(set(ids)) == 4


def test_created_at_is_the_current_utc_second(tmp_path):
    before = int(time.time())
    got = create(tmp_path, row_id_is_identity=True)
    after = int(time.time())
    stamp = got["created_at"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", stamp)
    seconds = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()
    assert before <= seconds <= after


# ---- stored paths ----

# (index, out, flags, stored artifact.path), paths relative to tmp_path
STORED_PATHS = [
    ("d/idx.kxrq", "d/m.json", {}, "idx.kxrq"),
    ("d/sub/idx.kxrq", "d/m.json", {}, "sub/idx.kxrq"),
    ("d/./sub/../idx.kxrq", "d/m.json", {}, "idx.kxrq"),
    ("d/idx.kxrq", "d/../d/m.json", {}, "idx.kxrq"),
    ("e/idx.kxrq", "d/m.json", {"allow_path_escape": True}, "../e/idx.kxrq"),
    ("e/idx.kxrq", "d/x/y/m.json", {"allow_path_escape": True}, "../../../e/idx.kxrq"),
    ("idx.kxrq", "d/m.json", {"allow_path_escape": True, "allow_absolute_paths": True},
     "../idx.kxrq"),
    ("d/idx.kxrq", "d/m.json", {"allow_path_escape": True, "allow_absolute_paths": True},
     "idx.kxrq"),
    ("db/idx.kxrq", "d/m.json", {"allow_path_escape": True}, "../db/idx.kxrq"),
]


@pytest.mark.parametrize("index,out,flags,stored", STORED_PATHS)
def test_stored_artifact_path(tmp_path, index, out, flags, stored):
    (tmp_path / "d" / "sub").mkdir(parents=True)
    index_at(tmp_path / "d" / "idx.kxrq")
    index_at(tmp_path / index.replace("./sub/../", ""))
    got = tm.create_manifest(tmp_path / index, tmp_path / out, "m", row_id_is_identity=True,
                             **flags)
    assert got["artifact"]["path"] == stored


def test_relative_inputs_are_taken_from_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    index_at(tmp_path / "idx.kxrq")
    builders.write_row_map(tmp_path / "rows" / "r.jsonl", 3)
    (tmp_path / "v.txt").write_bytes(b"v")
    got = tm.create_manifest("idx.kxrq", "m.json", "m", row_map="rows/r.jsonl",
                             auxiliary_artifacts=[{"name": "v", "path": "v.txt"}])
    assert (got["artifact"]["path"], got["row_identity"]["path"],
            got["auxiliary_artifacts"][0]["path"]) == ("idx.kxrq", "rows/r.jsonl", "v.txt")
    assert json.loads((tmp_path / "m.json").read_text()) == got


def test_out_in_a_missing_directory_chain(tmp_path):
    index = index_at(tmp_path / "idx.kxrq")
    out = tmp_path / "x" / "y" / "z" / "m.json"
    got = tm.create_manifest(index, out, "m", row_id_is_identity=True, allow_path_escape=True)
    assert got["artifact"]["path"] == "../../../idx.kxrq"
    assert json.loads(out.read_text()) == got


def outside_case(tmp_path, which):
    """Builds d/ (the manifest directory) and e/ (outside it); returns (kwargs, message)."""
    t = tmp_path.resolve()
    d, e = tmp_path / "d", tmp_path / "e"
    index_at(d / "idx.kxrq")
    index_at(e / "idx.kxrq")
    builders.write_row_map(d / "rows.jsonl", 3)
    builders.write_row_map(e / "rows.jsonl", 3)
    (e / "v.txt").write_bytes(b"v")
    kw = {"index": d / "idx.kxrq", "row_map": d / "rows.jsonl"}
    if which == "artifact":
        kw["index"] = e / "idx.kxrq"
        return kw, OUTSIDE.format("artifact", f"{t}/e/idx.kxrq", f"{t}/d")
    if which == "link":
        (d / "link.kxrq").symlink_to("../e/idx.kxrq")
        kw["index"] = d / "link.kxrq"
        return kw, OUTSIDE.format("artifact", f"{t}/e/idx.kxrq", f"{t}/d")
    if which == "row identity":
        kw["row_map"] = e / "rows.jsonl"
        return kw, OUTSIDE.format("row identity", f"{t}/e/rows.jsonl", f"{t}/d")
    kw["auxiliary_artifacts"] = [{"name": "v", "path": e / "v.txt"}]
    return kw, OUTSIDE.format("auxiliary artifact", f"{t}/e/v.txt", f"{t}/d")


@pytest.mark.parametrize("absolute_flag", [False, True])
@pytest.mark.parametrize("which", ["artifact", "link", "row identity", "auxiliary artifact"])
def test_path_outside_the_manifest_directory(tmp_path, which, absolute_flag):
    kw, message = outside_case(tmp_path, which)
    out = tmp_path / "d" / "m.json"
    with pytest.raises(ValueError) as info:
        tm.create_manifest(kw.pop("index"), out, "m", allow_absolute_paths=absolute_flag, **kw)
    assert info.value.args == (message,)
    assert not out.exists()


def test_escape_allowed_for_every_label(tmp_path):
    kw, _ = outside_case(tmp_path, "row identity")
    kw["index"] = tmp_path / "e" / "idx.kxrq"
    kw["auxiliary_artifacts"] = [{"name": "v", "path": tmp_path / "e" / "v.txt"}]
    got = tm.create_manifest(kw.pop("index"), tmp_path / "d" / "m.json", "m",
                             allow_path_escape=True, **kw)
    assert (got["artifact"]["path"], got["row_identity"]["path"],
            got["auxiliary_artifacts"][0]["path"]) == (
        "../e/idx.kxrq", "../e/rows.jsonl", "../e/v.txt")


def test_path_that_is_not_utf8_is_refused(tmp_path):
    raw = os.fsencode(tmp_path) + b"/idx\xff.kxrq"
    with open(raw, "wb") as fh:
        fh.write(builders.index_bytes("rank_quant"))
    out = tmp_path / "m.json"
    with pytest.raises(ValueError) as info:
        tm.create_manifest(os.fsdecode(raw), out, "m", row_id_is_identity=True)
    assert info.value.args == (
        f"artifact path {tmp_path.resolve()}/idx\ufffd.kxrq is not valid UTF-8 and cannot be "
        "stored in a manifest",)
    assert not out.exists()


def test_utf8_names_are_stored_as_they_are(tmp_path):
    index = index_at(tmp_path / "índice ü.kxrq")
    got = tm.create_manifest(index, tmp_path / "m.json", "m", row_id_is_identity=True)
    assert got["artifact"]["path"] == "índice ü.kxrq"


# ---- the row map ----

def lines_of(n, **changes):
    """n valid lines, with {index: replacement line} applied."""
    lines = [uuid_line(i) for i in range(n)]
    for i, line in changes.items():
        lines[int(i[1:])] = line
    return lines


# (row-map lines, limits, exact ValueError text) for an index of 3 vectors
ROW_MAP_REFUSALS = [
    (lines_of(2), {}, "row map has 2 rows but index has 3 vectors"),
    ([], {}, "row map has 0 rows but index has 3 vectors"),
    (lines_of(4), {}, "row map is invalid: row_identity_row_count_mismatch"),
    (lines_of(3, l0=uuid_line(0, db_id="not-a-uuid"), l2=uuid_line(2, row_id=7)), {},
     "row map is invalid: row_identity_db_id_invalid_uuid, row_identity_row_id_mismatch"),
    (lines_of(3, l1="{"), {}, "row map is invalid: row_identity_jsonl_invalid_json"),
    (lines_of(3, l1=""), {}, "row map is invalid: row_identity_jsonl_invalid_json"),
    (lines_of(3, l1=uuid_line(1, db_id="")), {}, "row map is invalid: row_identity_db_id_empty"),
    (lines_of(3, l2=uuid_line(2, db_id="00000000-0000-4000-8000-000000000000")), {},
     "row map is invalid: row_identity_duplicate_db_id"),
    (lines_of(3, l0=json.dumps({"row_id": 0, "db_id": "00000000-0000-4000-8000-000000000000",
                                "parent_id": "x"})), {},
     "row map is invalid: row_identity_parent_id_invalid_uuid"),
    (lines_of(3), {"max_row_map_line_bytes": 10},
     "row_identity_line_too_large: line 0 exceeds max_row_identity_jsonl_line_bytes=10"),
    (lines_of(3), {"max_row_map_rows": 2},
     "row_identity_row_count_limit_exceeded: row identity file has more than "
     "max_row_identity_rows=2 rows"),
    (lines_of(3), {"max_row_map_tracked_id_bytes": 40},
     "row_identity_duplicate_tracking_limit_exceeded: tracked db_id bytes exceed "
     "max_row_identity_tracked_db_id_bytes=40"),
    # a limit issue wins over the content issues before it
    (lines_of(3, l0=uuid_line(0, row_id=5), l2="x" * 100), {"max_row_map_line_bytes": 80},
     "row_identity_line_too_large: line 2 exceeds max_row_identity_jsonl_line_bytes=80"),
    (lines_of(3, l0="[]", l1="[]"), {"max_report_issues": 1},
     "verification_report_issue_limit_exceeded: verification report issue count exceeded "
     "max_report_issues=1"),
    (lines_of(3, l0="[]"), {"max_report_issues": 0},
     "verification_report_issue_limit_exceeded: verification report issue count exceeded "
     "max_report_issues=0"),
]


@pytest.mark.parametrize("lines,limits,message", ROW_MAP_REFUSALS)
def test_row_map_refusals(tmp_path, lines, limits, message):
    with pytest.raises(ValueError) as info:
        create(tmp_path, lines=lines, **limits)
    assert info.value.args == (message,)
    assert not (tmp_path / "m.json").exists()


@pytest.mark.parametrize("final_newline", [True, False])
def test_row_map_digest_covers_the_file_as_written(tmp_path, final_newline):
    index = index_at(tmp_path / "index.kxrq")
    rows = builders.write_row_map(tmp_path / "rows.jsonl", 3, lines=lines_of(3),
                                  final_newline=final_newline)
    got = tm.create_manifest(index, tmp_path / "m.json", "m", row_map=rows)
    assert got["row_identity"] == {"kind": "jsonl", "path": "rows.jsonl",
                                   "sha256": builders.sha256_of(rows), "row_count": 3,
                                   "id_kind": "uuid"}


# ---- auxiliary artifacts ----

def aux_refusal(tmp_path, case):
    """Returns (items, limits, exception type, message) for a named refusal."""
    real = tmp_path / "a.txt"
    real.write_bytes(b"four")
    missing = tmp_path / "missing.txt"
    if case == "count":
        return [{"name": "x", "path": missing}] * 2, {"max_auxiliary_artifacts": 1}, ValueError, (
            "auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 2 entries, "
            "exceeding max_auxiliary_artifacts=1")
    if case == "count default":
        return [{"name": "", "path": missing}] * 1025, {}, ValueError, (
            "auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 1025 entries, "
            "exceeding max_auxiliary_artifacts=1024")
    if case == "zero limit":
        return [{"name": "a", "path": real}], {"max_auxiliary_artifacts": 0}, ValueError, (
            "auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 1 entries, "
            "exceeding max_auxiliary_artifacts=0")
    if case == "empty name":
        return [{"name": " \u3000\n", "path": missing}], {}, ValueError, (
            "auxiliary artifact name must be non-empty")
    if case == "duplicate":
        # the first file is read, the second (missing) never is
        return [{"name": "a", "path": real}, {"name": " a ", "path": missing}], {}, ValueError, (
            'auxiliary artifact name "a" is duplicated')
    if case == "duplicate quoted":
        return [{"name": 'q"\t', "path": real}, {"name": 'q"', "path": missing}], {}, ValueError, (
            'auxiliary artifact name "q\\"" is duplicated')
    if case == "too large":
        return [{"name": "a", "path": real}], {"max_auxiliary_artifact_bytes": 3}, ValueError, (
            f"auxiliary_artifact_file_too_large: auxiliary artifact exceeds 3 bytes while "
            f"reading {real}")
    if case == "missing":
        return [{"name": "a", "path": real}, {"name": "b", "path": missing}], {}, OSError, (
            "No such file or directory")
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["count", "count default", "zero limit", "empty name",
                                  "duplicate", "duplicate quoted", "too large", "missing"])
def test_auxiliary_refusals(tmp_path, case):
    items, limits, exc, message = aux_refusal(tmp_path, case)
    with pytest.raises(exc) as info:
        create(tmp_path, row_id_is_identity=True, auxiliary_artifacts=items, **limits)
    assert type(info.value) is exc and info.value.args == (message,)
    assert not (tmp_path / "m.json").exists()


# ---- the index ----

@pytest.mark.parametrize("content,message", [
    (b"KX", "tamrel index header truncated while reading magic"),
    (b"NOPE" + bytes(20), "unknown tamrel index magic"),
    (b"KXFS", "KXFS (RankQuantFastscan) metadata probing is not supported in this version; load "
              "the index with RankQuantFastscan::load (tracked in #232)"),
    (builders.index_bytes("rank", 4, 3)[:-1],
     "KXR1 payload truncated: header declares 24 B but file has 23 B remaining"),
])
def test_unusable_index_is_an_os_error(tmp_path, content, message):
    index = tmp_path / "idx.bin"
    index.write_bytes(content)
    out = tmp_path / "m.json"
    with pytest.raises(OSError) as info:
        tm.create_manifest(index, out, "m", row_id_is_identity=True)
    assert type(info.value) is OSError and info.value.args == (message,)
    assert not out.exists()


@pytest.mark.parametrize("missing", ["index", "row map"])
def test_missing_input_leaves_no_manifest(tmp_path, missing):
    index = tmp_path / "idx.kxrq"
    if missing != "index":
        index_at(index)
    out = tmp_path / "m.json"
    with pytest.raises(OSError) as info:
        tm.create_manifest(index, out, "m", row_map=tmp_path / "rows.jsonl")
    assert info.value.args == ("No such file or directory",) and info.value.errno is None
    assert not out.exists()


@pytest.mark.parametrize("row_map,aux_name,aux_path,limits,exc", [
    ("rows.jsonl", None, None, {"max_row_map_rows": 1}, ValueError),
    ("missing.jsonl", None, None, {}, OSError),
    (None, "", "rows.jsonl", {}, ValueError),
    (None, "x", "missing", {}, OSError),
    (None, "x", "rows.jsonl", {"max_auxiliary_artifact_bytes": 1}, ValueError),
])
def test_failing_call_leaves_existing_manifest_untouched(tmp_path, row_map, aux_name, aux_path,
                                                         limits, exc):
    index = index_at(tmp_path / "idx.kxrq")
    builders.write_row_map(tmp_path / "rows.jsonl", 3)
    out = tmp_path / "m.json"
    out.write_bytes(b'{"previous": true}\n')
    kw = dict(limits)
    if row_map:
        kw["row_map"] = tmp_path / row_map
    else:
        kw["row_id_is_identity"] = True
        kw["auxiliary_artifacts"] = [{"name": aux_name, "path": tmp_path / aux_path}]
    with pytest.raises(exc):
        tm.create_manifest(index, out, "m", **kw)
    assert out.read_bytes() == b'{"previous": true}\n'
    assert sorted(p.name for p in tmp_path.iterdir()) == ["idx.kxrq", "m.json", "rows.jsonl"]


# ---- inputs that change while they are read ----

class Pause:
    """Holds a creation at its check of one input, after the input was read: the hook of a
    test-hook build opens the FIFO for reading and waits until this side closes it."""

    def __init__(self, tmp_path: Path, what: str, monkeypatch: pytest.MonkeyPatch) -> None:
        self.fifo = tmp_path / "pause.fifo"
        os.mkfifo(self.fifo)
        monkeypatch.setenv("TAMREL_TEST_PAUSE_FIFO", str(self.fifo))
        monkeypatch.setenv("TAMREL_TEST_PAUSE_AT", what)
        self.reached = False
        self.freed = False

    def change_at_check(self, change, path: Path) -> None:
        with open(self.fifo, "wb"):  # returns once the call waits at the check
            if not self.freed:
                self.reached = True
                change(path)

    def free(self) -> None:
        # A call that never reached the check leaves this side waiting: let it through.
        self.freed = True
        os.close(os.open(self.fifo, os.O_RDONLY | os.O_NONBLOCK))


def rewrite_tail(path: Path):
    with open(path, "r+b") as f:
        f.seek(-4096 if path.stat().st_size > 4096 else 0, os.SEEK_END)
        f.write(b"\x01" * min(4096, path.stat().st_size))


def truncate_half(path: Path):
    os.truncate(path, path.stat().st_size // 2)


def replace_with_copy(path: Path):
    fresh = path.with_name(path.name + ".new")
    with open(fresh, "wb") as f:
        f.truncate(path.stat().st_size)
    os.replace(fresh, path)


def changed_input_case(tmp_path: Path, which: str):
    """The file to change, how, the name the message gives it, and the call's keyword
    arguments."""
    index_at(tmp_path / "idx.kxr", "rank_quant", 64)
    if which == "index":
        return tmp_path / "idx.kxr", rewrite_tail, "index", {"row_id_is_identity": True}
    if which == "row map":
        rows = builders.write_row_map(tmp_path / "rows.jsonl", 64)
        return rows, truncate_half, "row map", {"row_map": rows}
    aux = tmp_path / "vocab.bin"
    aux.write_bytes(b"v" * 8192)
    return aux, replace_with_copy, 'auxiliary artifact "vocab"', {
        "row_id_is_identity": True, "auxiliary_artifacts": [{"name": "vocab", "path": aux}]}


@pytest.mark.parametrize("which", ["index", "row map", "auxiliary artifact"])
def test_input_changed_while_read_is_refused(tmp_path, monkeypatch, which):
    if not builders.has_test_hooks():
        pytest.skip("needs a build with the test hooks (make asan)")
    path, change, what, kw = changed_input_case(tmp_path, which)
    # Timestamps from long ago: a change now is seen whatever the file system's granularity.
    for input_file in tmp_path.iterdir():
        os.utime(input_file, ns=(1_600_000_000_000_000_000,) * 2)
    out = tmp_path / "m.json"
    out.write_bytes(b'{"previous": true}\n')
    pause = Pause(tmp_path, what, monkeypatch)
    before = sorted(p.name for p in tmp_path.iterdir())
    changer = threading.Thread(target=pause.change_at_check, args=(change, path))
    changer.start()
    try:
        with pytest.raises(ValueError) as refused:
            tm.create_manifest(tmp_path / "idx.kxr", out, "m", **kw)
    finally:
        if changer.is_alive():
            pause.free()
        changer.join()
    assert pause.reached
    assert refused.value.args == (f"{what} changed while it was being read: {path}",)
    assert out.read_bytes() == b'{"previous": true}\n'
    assert sorted(p.name for p in tmp_path.iterdir()) == before


# ---- what verification makes of it ----

def full_fixture(tmp_path, row_map: bool):
    index = index_at(tmp_path / "data" / "idx.kxrq")
    kw = {"row_id_is_identity": True}
    if row_map:
        kw = {"row_map": builders.write_row_map(tmp_path / "data" / "rows.jsonl", 3)}
    (tmp_path / "data" / "v.txt").write_bytes(b"vocab")
    out = tmp_path / "m.json"
    tm.create_manifest(index, out, "m", auxiliary_artifacts=[
        {"name": "v", "path": tmp_path / "data" / "v.txt", "required": False}], **kw)
    return out


@pytest.mark.parametrize("row_map", [True, False], ids=["jsonl", "identity"])
def test_created_manifest_verifies_clean(tmp_path, row_map):
    report = tm.verify_manifest(full_fixture(tmp_path, row_map))
    assert (report["ok"], report["errors"], report["warnings"]) == (True, [], [])


@pytest.mark.parametrize("row_map", [True, False], ids=["jsonl", "identity"])
def test_created_manifest_gives_a_load_plan(tmp_path, row_map):
    out = full_fixture(tmp_path, row_map)
    plan = tm.verify_for_load(out)
    data = tmp_path.resolve() / "data"
    assert plan["artifact_path"] == str(data / "idx.kxrq")
    assert plan["row_identity"]["kind"] == ("jsonl" if row_map else "row_id_identity")
    assert plan["row_identity"]["path"] == (str(data / "rows.jsonl") if row_map else None)
    assert [(a["name"], a["path"]) for a in plan["auxiliary_artifacts"]] == [
        ("v", str(data / "v.txt"))]
