"""The module surface: what exists after import, argument matching and conversion, results."""

import inspect
import os
import pathlib
import subprocess
import sys

import pytest

try:
    import numpy
except ImportError:  # the smoke run on other architectures has pytest alone
    numpy = None

import _tamrel_manifest as tm

CONSTANTS = [
    ("SCHEMA_VERSION", "tamrel.index_manifest.v1"),
    ("CALIBRATION_SCHEMA_VERSION", "tamrel.calibration.v1"),
    ("ENCODER_DISTORTION_SCHEMA_VERSION", "tamrel.encoder_distortion.v1"),
    ("DEFAULT_MAX_MANIFEST_BYTES", 1048576),
    ("DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES", 65536),
    ("DEFAULT_MAX_ROW_IDENTITY_ROWS", 10000000),
    ("DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES", 67108864),
    ("DEFAULT_MAX_AUXILIARY_ARTIFACTS", 1024),
    ("DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES", 67108864),
    ("DEFAULT_MAX_CALIBRATION_PROFILE_BYTES", 67108864),
    ("DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES", 67108864),
    ("DEFAULT_MAX_REPORT_ISSUES", 1024),
    ("DEFAULT_MAX_CACHED_REPORT_BYTES", 4194304),
]
FUNCTIONS = ["default_resource_limits", "sha256_file", "inspect_manifest", "verify_manifest",
             "verify_for_load", "create_manifest"]
LIMITS = ["max_manifest_bytes", "max_row_map_line_bytes", "max_row_map_rows",
          "max_row_map_tracked_id_bytes", "max_auxiliary_artifacts",
          "max_auxiliary_artifact_bytes", "max_calibration_profile_bytes",
          "max_encoder_distortion_profile_bytes", "max_report_issues", "max_cached_report_bytes"]
VERIFY_PARAMS = ["manifest", "index", "allow_absolute_paths", "allow_path_escape",
                 "allow_duplicate_db_ids", *LIMITS]
SIGNATURES = {
    "default_resource_limits": ([], 0),
    "sha256_file": (["path"], 1),
    "inspect_manifest": (["manifest", *LIMITS], 1),
    "verify_manifest": (VERIFY_PARAMS, 1),
    "verify_for_load": (VERIFY_PARAMS, 1),
    "create_manifest": (["index", "out", "embedding_model", "row_map", "row_id_is_identity",
                         "auxiliary_artifacts", "allow_absolute_paths", "allow_path_escape",
                         *LIMITS], 3),
}
DEFAULTS = {"row_id_is_identity": False, "allow_absolute_paths": False,
            "allow_path_escape": False, "allow_duplicate_db_ids": False}


@pytest.mark.smoke
def test_all_lists_constants_then_functions():
    assert tm.__all__ == [name for name, _ in CONSTANTS] + FUNCTIONS
    assert tm.__doc__ == ""


@pytest.mark.parametrize("name,value", CONSTANTS)
def test_constants(name, value):
    got = getattr(tm, name)
    assert type(got) is type(value) and got == value


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.smoke
def test_signatures(name):
    fn = getattr(tm, name)
    params, positional = SIGNATURES[name]
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    for i, p in enumerate(sig.parameters.values()):
        kind = (inspect.Parameter.POSITIONAL_OR_KEYWORD if i < positional
                else inspect.Parameter.KEYWORD_ONLY)
        assert p.kind == kind
        if i >= positional:
            assert p.default == DEFAULTS.get(p.name, None)
        else:
            assert p.default is inspect.Parameter.empty
    words = [p if i < positional else f"{p}={DEFAULTS.get(p, None)}" for i, p in enumerate(params)]
    if len(params) > positional:
        words.insert(positional, "*")
    assert fn.__text_signature__ == f"({', '.join(words)})"
    assert fn.__doc__ is None
    assert fn.__module__ == "_tamrel_manifest"
    assert fn.__self__ is tm


@pytest.mark.smoke
def test_default_resource_limits():
    limits = tm.default_resource_limits()
    assert list(limits) == LIMITS
    assert list(limits.values()) == [value for _, value in CONSTANTS[3:]]
    assert limits["max_row_map_rows"] == tm.DEFAULT_MAX_ROW_IDENTITY_ROWS
    assert tm.default_resource_limits() is not limits
    with pytest.raises(TypeError):
        tm.default_resource_limits(1)


# ---- argument matching: (call, exact message) ----

MATCHING = [
    (lambda: tm.create_manifest(), "create_manifest() missing 3 required positional arguments: "
     "'index', 'out', and 'embedding_model'"),
    (lambda: tm.create_manifest("i"), "create_manifest() missing 2 required positional "
     "arguments: 'out' and 'embedding_model'"),
    (lambda: tm.create_manifest("i", "o"), "create_manifest() missing 1 required positional "
     "argument: 'embedding_model'"),
    (lambda: tm.create_manifest("i", "o", "m", "r"),
     "create_manifest() takes 3 positional arguments but 4 were given"),
    (lambda: tm.sha256_file(), "sha256_file() missing 1 required positional argument: 'path'"),
    (lambda: tm.sha256_file("a", "b"), "sha256_file() takes 1 positional arguments but 2 were given"),
    (lambda: tm.sha256_file("a", bogus=1), "sha256_file() got an unexpected keyword argument 'bogus'"),
    (lambda: tm.sha256_file("a", path="b"), "sha256_file() got multiple values for argument 'path'"),
    (lambda: tm.verify_manifest("m", Index=None),
     "verify_manifest() got an unexpected keyword argument 'Index'"),
    (lambda: tm.verify_for_load(), "verify_for_load() missing 1 required positional argument: 'manifest'"),
    (lambda: tm.inspect_manifest("m", "x"),
     "inspect_manifest() takes 1 positional arguments but 2 were given"),
    (lambda: tm.inspect_manifest("m", max_row_map_line_byte=1),
     "inspect_manifest() got an unexpected keyword argument 'max_row_map_line_byte'"),
    (lambda: tm.create_manifest("i", "o", embedding_model="m", index="j"),
     "create_manifest() got multiple values for argument 'index'"),
]


@pytest.mark.parametrize("call,message", MATCHING)
def test_argument_matching(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


# ---- conversions: (call, exception type, exact message or None, note) ----

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


CONVERSIONS = [
    (lambda: tm.verify_manifest(b"m.json"), TypeError,
     "'bytes' object is not an instance of 'str'", "manifest"),
    (lambda: tm.verify_manifest(3), TypeError, None, "manifest"),
    (lambda: tm.sha256_file(None), TypeError, None, "path"),
    (lambda: tm.sha256_file("a\0b"), ValueError, "embedded null byte", "path"),
    (lambda: tm.verify_manifest("m", index=b"i"), TypeError,
     "'bytes' object is not an instance of 'str'", "index"),
    (lambda: tm.create_manifest("i", "o", None, row_id_is_identity=True), TypeError,
     "'None' is not an instance of 'str'", "embedding_model"),
    (lambda: tm.create_manifest("i", "o", 5, row_id_is_identity=True), TypeError,
     "'int' object is not an instance of 'str'", "embedding_model"),
    (lambda: tm.create_manifest("i", "o", "\udcff", row_id_is_identity=True), UnicodeEncodeError,
     None, "embedding_model"),
    (lambda: tm.create_manifest("i", "o", "m", row_id_is_identity=1), TypeError,
     "'int' object is not an instance of 'bool'", "row_id_is_identity"),
    (lambda: tm.create_manifest("i", "o", "m", row_id_is_identity=None), TypeError,
     "'None' is not an instance of 'bool'", "row_id_is_identity"),
    (lambda: tm.verify_manifest("m", allow_path_escape="yes"), TypeError,
     "'str' object is not an instance of 'bool'", "allow_path_escape"),
    (lambda: tm.verify_for_load("m", allow_duplicate_db_ids=0), TypeError,
     "'int' object is not an instance of 'bool'", "allow_duplicate_db_ids"),
    (lambda: tm.inspect_manifest("m", max_manifest_bytes=-1), OverflowError, None,
     "max_manifest_bytes"),
    (lambda: tm.inspect_manifest("m", max_report_issues=2**64), OverflowError, None,
     "max_report_issues"),
    (lambda: tm.verify_manifest("m", max_row_map_rows="10"), TypeError, None, "max_row_map_rows"),
    (lambda: tm.verify_manifest("m", max_cached_report_bytes=1.5), TypeError, None,
     "max_cached_report_bytes"),
    # conversion order is declaration order: the first bad parameter is reported
    (lambda: tm.create_manifest(1, 2, 3), TypeError, None, "index"),
    (lambda: tm.verify_manifest("m", max_manifest_bytes=-1, index=b"x"), TypeError, None, "index"),
]


@pytest.mark.parametrize("call,exc,message,param", CONVERSIONS)
def test_conversion_errors(call, exc, message, param):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("value", [None, 0, 2**64 - 1, True, Index(5),
                                   *([numpy.uint64(7)] if numpy else [])])
def test_limits_accept_any_index(value, tmp_path):
    # A missing manifest gets as far as the worker: every limit value above converted.
    with pytest.raises((OSError, NotImplementedError)):
        tm.inspect_manifest(tmp_path / "missing.json", max_auxiliary_artifacts=value)


@pytest.mark.parametrize("flag", [True, False,
                                  *([numpy.bool_(True), numpy.bool_(False)] if numpy else [])])
def test_bool_accepts_numpy_booleans(flag):
    # Reaches the mutual-exclusion check, so the flag converted.
    expected = ("use either row_map or row_id_is_identity, not both" if flag
                else "one of row_map or row_id_is_identity=True is required")
    kwargs = {"row_map": "r"} if flag else {}
    with pytest.raises(ValueError) as info:
        tm.create_manifest("i", "o", "m", row_id_is_identity=flag, **kwargs)
    assert str(info.value) == expected


class BadItems:
    def __iter__(self):
        raise AssertionError("must not be iterated")


@pytest.mark.parametrize("kwargs,message", [
    ({}, "one of row_map or row_id_is_identity=True is required"),
    ({"row_map": None}, "one of row_map or row_id_is_identity=True is required"),
    ({"row_map": "r", "row_id_is_identity": True},
     "use either row_map or row_id_is_identity, not both"),
])
def test_mutual_exclusion_precedes_items(kwargs, message):
    with pytest.raises(ValueError) as info:
        tm.create_manifest("i", "o", "m", auxiliary_artifacts=BadItems(), **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("items,exc,message", [
    ([{"name": "a"}], KeyError, "'path'"),
    ([{"path": "p"}], KeyError, "'name'"),
    (5, TypeError, "'int' object is not iterable"),
    ([{"name": 1, "path": "p"}], TypeError, "'int' object is not an instance of 'str'"),
    ([{"name": "a", "path": "p", "required": 1}], TypeError,
     "'int' object is not an instance of 'bool'"),
    ([{"name": "a", "path": b"p"}], TypeError, "'bytes' object is not an instance of 'str'"),
    ([["name", "path"]], TypeError, None),
])
def test_auxiliary_item_errors_raise_unchanged(items, exc, message, tmp_path):
    with pytest.raises(exc) as info:
        tm.create_manifest(tmp_path / "i", tmp_path / "o.json", "m", row_id_is_identity=True,
                           auxiliary_artifacts=items)
    if message is not None:
        assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert not (tmp_path / "o.json").exists()


def test_auxiliary_items_read_before_any_file(tmp_path):
    def items():
        yield {"name": "a", "path": "p"}
        raise RuntimeError("boom")
    with pytest.raises(RuntimeError, match="boom"):
        tm.create_manifest(tmp_path / "i", tmp_path / "sub" / "o.json", "m",
                           row_id_is_identity=True, auxiliary_artifacts=items())
    assert not (tmp_path / "sub").exists()


def test_path_like_objects_are_accepted(tmp_path):
    f = tmp_path / "abc"
    f.write_bytes(b"abc")

    class PathLike:
        def __fspath__(self):
            return str(f)

    for p in (f, str(f), PathLike()):
        assert tm.sha256_file(p)["size_bytes"] == 3
    with pytest.raises(TypeError) as info:
        tm.sha256_file(pathlib.PurePosixPath(str(f)).as_posix().encode())
    assert str(info.value) == "'bytes' object is not an instance of 'str'"


def test_undecodable_file_names_reach_the_same_file(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9"
    with open(raw, "wb") as fh:
        fh.write(b"abc")
    name = os.fsdecode(raw)  # holds the lone surrogate U+DCE9
    assert tm.sha256_file(name)["size_bytes"] == 3


def test_oserror_is_plain_with_one_argument(tmp_path):
    with pytest.raises(OSError) as info:
        tm.sha256_file(tmp_path / "missing")
    err = info.value
    assert type(err) is OSError
    assert err.args == ("No such file or directory",)
    assert err.errno is None and err.strerror is None and err.filename is None
