"""No rollback: an older signed bundle put back in the storage is refused once a newer one was
accepted, and the loader's state file is trusted only when it is the loader's own."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from builders import make_fixture, write_manifest
from tamrel_manifest import (
    VerificationFailed,
    generate_key,
    open_verified,
    sign_manifest,
    verify_signed_manifest,
)
from test_cli import cli_env

FEB = "2026-02-01T00:00:00Z"
JAN = "2026-01-01T00:00:00Z"


@pytest.fixture(scope="module")
def key(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("key") / "signer.key"
    generate_key(path)
    return path


def signed(root: Path, created_at: str, variant: str = "a", *, key: Path) -> Path:
    """A bundle signed by `key` with this created_at; `variant` changes the manifest (and so its
    digest), not its time."""
    bundle = root / f"{created_at.replace(':', '')}-{variant}"
    if not bundle.exists():
        bundle.mkdir(parents=True)
        manifest_id = f"urn:uuid:2f1c0a9e-6b7d-4c3e-9a51-0d8e7f6a5b{ord(variant[0]):02x}"
        write_manifest(bundle / "manifest.json",
                       make_fixture(bundle, created_at=created_at, manifest_id=manifest_id))
        sign_manifest(bundle / "manifest.json", key)
    return bundle / "manifest.json"


def through(entry: str, manifest: Path, key: Path, **options: Any) -> dict[str, Any] | None:
    """The report of one signed load by either entry point: open_verified's refusal carries it
    (and nothing may have been opened); an accepted open_verified has none (None)."""
    if entry == "verify_signed_manifest":
        return dict(verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], **options))
    try:
        with open_verified(manifest, trusted_keys=[key.with_suffix(".key.pub")],
                           **options) as files:
            assert files.index.read(4) == b"KXRQ"
    except VerificationFailed as exc:
        assert str(exc) == f"manifest verification failed: {exc.report['errors'][0]['code']}"
        return dict(exc.report)
    return None


def outcome(report: dict[str, Any]) -> tuple[bool, str, list[str]]:
    return report["ok"], report["rollback"]["outcome"], [e["code"] for e in report["errors"]]


ENTRIES = ["verify_signed_manifest", "open_verified"]

# Each attack: the bundles accepted first (created_at, variant, series), then the one presented,
# and its expected outcome (the refusal's code, or how it was accepted).
ROLLBACKS: list[tuple[str, list[tuple[str, str, str]], tuple[str, str, str], str]] = [
    ("older bundle put back after a newer one", [(FEB, "a", "s")], (JAN, "a", "s"),
     "bundle_rolled_back"),
    ("older bundle on a fresh state is first use", [], (JAN, "a", "s"), "first"),
    ("another bundle at the recorded time", [(FEB, "a", "s")], (FEB, "b", "s"),
     "bundle_replaced_at_same_time"),
    # an instant in another offset is the same instant: compared as text it would be newer
    ("another bundle at the recorded instant in another offset", [(FEB, "a", "s")],
     ("2026-02-01T01:00:00+01:00", "b", "s"), "bundle_replaced_at_same_time"),
    ("older bundle whose local time reads later", [("2026-01-01T00:30:00Z", "a", "s")],
     ("2026-01-01T01:00:00+01:00", "a", "s"), "bundle_rolled_back"),
    ("older bundle with a smaller fraction", [("2026-01-01T00:00:00.5Z", "a", "s")],
     ("2026-01-01T00:00:00.49Z", "a", "s"), "bundle_rolled_back"),
    ("older bundle beyond the microsecond", [("2026-01-01T00:00:00.0000001Z", "a", "s")],
     ("2026-01-01T00:00:00Z", "b", "s"), "bundle_rolled_back"),
    ("older bundle in lower case after a newer one", [(FEB, "a", "s")],
     ("2026-01-01t00:00:00z", "a", "s"), "bundle_rolled_back"),
    ("older bundle with a space for the T", [(FEB, "a", "s")], ("2026-01-01 00:00:00Z", "a", "s"),
     "bundle_rolled_back"),
    ("older bundle before a leap second", [("2016-12-31T23:59:60Z", "a", "s")],
     ("2016-12-31T23:59:59.9Z", "a", "s"), "bundle_rolled_back"),
    ("older bundle in year 0", [(JAN, "a", "s")], ("0000-02-29T00:00:00Z", "a", "s"),
     "bundle_rolled_back"),
    ("bundle from the far future freezing the series", [(JAN, "a", "s")],
     ("2999-01-01T00:00:00Z", "a", "s"), "bundle_created_in_future"),
    ("bundle from the far future on first use", [], ("2999-01-01T00:00:00Z", "a", "s"),
     "bundle_created_in_future"),
    ("newer bundle whose local time reads earlier", [("2026-01-01T00:30:00+01:00", "a", "s")],
     ("2026-01-01T00:00:00Z", "a", "s"), "newer"),
    ("the same bundle again", [(FEB, "a", "s")], (FEB, "a", "s"), "same"),
    ("newer bundle after an older one", [(JAN, "a", "s")], (FEB, "a", "s"), "newer"),
    ("older bundle in another series", [(FEB, "a", "s")], (JAN, "a", "t"), "first"),
]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("accepted, presented, expected",
                         [row[1:] for row in ROLLBACKS], ids=[row[0] for row in ROLLBACKS])
def test_rollback(tmp_path: Path, key: Path, entry: str, accepted: list[tuple[str, str, str]],
                  presented: tuple[str, str, str], expected: str,
                  monkeypatch: pytest.MonkeyPatch) -> None:
    from tamrel_manifest import verified

    opened: list[str] = []
    real_open = verified._open_no_follow
    monkeypatch.setattr(verified, "_open_no_follow",
                        lambda path: opened.append(path) or real_open(path))
    state = tmp_path / "state.json"
    for created_at, variant, series in accepted:
        report = verify_signed_manifest(signed(tmp_path, created_at, variant, key=key),
                                        [key.with_suffix(".key.pub")], state=state,
                                        series=series)
        assert report["ok"], report["errors"]
    before = state.read_bytes() if state.exists() else None
    created_at, variant, series = presented
    manifest = signed(tmp_path, created_at, variant, key=key)
    report = through(entry, manifest, key, state=state, series=series)
    accepted_now = expected in ("first", "same", "newer")
    recorded = json.loads(state.read_text())["series"].get(series) if state.exists() else None
    if expected in ("first", "newer"):
        assert recorded["created_at"] == created_at
    else:  # a refusal, or the same bundle again, leaves the state as it was
        assert (state.read_bytes() if state.exists() else None) == before
    if report is None:  # open_verified opened it
        assert accepted_now and opened
        return
    assert opened == []  # a refused bundle hands no file over
    assert outcome(report) == (accepted_now, expected, [] if accepted_now else [expected])
    part = report["rollback"]
    assert part["series"] == series and part["found"]["created_at"] == created_at
    if expected in ("first", "newer"):
        assert recorded["manifest_sha256"] == report["signature"]["manifest_sha256"]
        assert recorded["signers"][0]["signer"] == report["signature"]["signatures"][0]["signer"]
    if not accepted_now:  # the message names what was found, and what was expected
        message = report["errors"][0]["message"]
        expected_time = ("ahead of the clock" if expected == "bundle_created_in_future"
                         else part["recorded"]["created_at"])
        assert created_at in message and expected_time in message


def test_an_accepted_bundle_opens(tmp_path: Path, key: Path) -> None:
    state = tmp_path / "state.json"
    manifest = signed(tmp_path, FEB, key=key)
    with open_verified(manifest, trusted_keys=[key.with_suffix(".key.pub")],
                       state=state) as files:
        assert files.index.read(4) == b"KXRQ"
    recorded = json.loads(state.read_text())["series"]
    assert list(recorded) == [os.path.realpath(manifest)]  # the default series
    assert stat.S_IMODE(state.stat().st_mode) == 0o600


def test_older_files_put_back_at_the_same_path_are_refused(tmp_path: Path, key: Path) -> None:
    # The attack as storage sees it: the same directory, its files replaced by an older signed
    # set; the default series (the manifest's canonical path) is the same however it is spelt.
    state = tmp_path / "state.json"
    live = signed(tmp_path, FEB, key=key).parent
    old = signed(tmp_path, JAN, key=key).parent
    assert verify_signed_manifest(live / "manifest.json", [key.with_suffix(".key.pub")],
                                  state=state)["ok"]
    for file in old.iterdir():
        shutil.copy(file, live / file.name)
    (tmp_path / "via").symlink_to(tmp_path)
    report = verify_signed_manifest(tmp_path / "via" / ".." / tmp_path.name / live.name
                                    / "manifest.json", [key.with_suffix(".key.pub")], state=state)
    assert outcome(report) == (False, "bundle_rolled_back", ["bundle_rolled_back"])


def test_a_clock_a_minute_behind_the_signer_is_tolerated(tmp_path: Path, key: Path) -> None:
    ahead = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 60))
    report = verify_signed_manifest(signed(tmp_path, ahead, key=key),
                                    [key.with_suffix(".key.pub")], state=tmp_path / "state.json")
    assert outcome(report) == (True, "first", [])


def test_a_failing_bundle_is_neither_checked_nor_recorded(tmp_path: Path, key: Path) -> None:
    state = tmp_path / "state.json"
    manifest = signed(tmp_path, FEB, key=key)
    (manifest.parent / "rows.jsonl").write_text("tampered\n")
    report = verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], state=state)
    assert not report["ok"] and report["rollback"]["outcome"] == "not_checked"
    assert not state.exists()


def test_a_manifest_swapped_after_verification_is_refused(
        tmp_path: Path, key: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # The state check reads created_at from the manifest again; the bytes it reads must be the
    # ones verified, or an unsigned created_at would decide.
    from tamrel_manifest import signing

    manifest = signed(tmp_path, JAN, key=key)
    real = signing._native_sign.verify_signed_manifest

    def verify_then_swap(*args: Any, **kwargs: Any) -> Any:
        result = real(*args, **kwargs)
        doc = json.loads(manifest.read_text())
        manifest.write_text(json.dumps({**doc, "created_at": "2026-12-31T00:00:00Z"}))
        return result

    monkeypatch.setattr(signing._native_sign, "verify_signed_manifest", verify_then_swap)
    state = tmp_path / "state.json"
    report = verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], state=state)
    assert outcome(report) == (False, "bundle_changed_after_verification",
                               ["bundle_changed_after_verification"])
    assert not state.exists()


def _keys(key: Path) -> dict[str, Any]:
    return {"trusted_keys": [key.with_suffix(".key.pub")]}


# Each misuse: the entry point, its options beside the manifest, the exception and its text.
# An option that narrows trust is never dropped: it takes effect or the call is refused.
MISUSES: list[tuple[str, str, dict[str, Any], type[Exception], str]] = [
    ("state on an unsigned load", "open_verified", {"state": "s.json"}, TypeError,
     "need trusted_keys or trust_roots"),
    ("series on an unsigned load", "open_verified", {"series": "s"}, TypeError,
     "need trusted_keys or trust_roots"),
    ("series without state, signed load", "open_verified", {"series": "s", "keys": True},
     TypeError, "it needs state"),
    ("series without state", "verify_signed_manifest", {"series": "s"}, TypeError,
     "it needs state"),
    ("a series that is not a str", "verify_signed_manifest", {"state": "s.json", "series": 7},
     TypeError, "series must be a str"),
    ("an empty series", "verify_signed_manifest", {"state": "s.json", "series": ""},
     ValueError, "must not be empty"),
    ("a state that is not a path", "verify_signed_manifest", {"state": 3}, TypeError,
     "state must be a path"),
    ("a state naming a directory", "open_verified", {"state": "dir/", "keys": True},
     ValueError, "must name a file"),
]


@pytest.mark.parametrize("entry, options, error, text", [row[1:] for row in MISUSES],
                         ids=[row[0] for row in MISUSES])
def test_rollback_options_are_never_ignored(tmp_path: Path, key: Path, entry: str,
                                            options: dict[str, Any], error: type[Exception],
                                            text: str) -> None:
    manifest = signed(tmp_path, JAN, key=key)
    options = dict(options)
    keys = _keys(key) if options.pop("keys", False) else {}
    with pytest.raises(error, match=text):
        if entry == "open_verified":
            with open_verified(manifest, **keys, **options):
                pass
        else:
            verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], **options)
    assert not (tmp_path / "s.json").exists()


@pytest.mark.parametrize("series", [None, "s"])
def test_a_manifest_read_from_a_descriptor_cannot_be_checked(tmp_path: Path, key: Path,
                                                             series: str | None) -> None:
    # Its created_at cannot be read again from the bytes verified: refused before verifying.
    manifest = signed(tmp_path, JAN, key=key)
    with pytest.raises(ValueError, match="named by a descriptor"):
        verify_signed_manifest("/dev/stdin", [key.with_suffix(".key.pub")],
                               signatures=manifest.with_suffix(".json.sig"),
                               state=tmp_path / "s.json", series=series)
    assert not (tmp_path / "s.json").exists()


VALID_ENTRY = {"created_at": FEB, "manifest_sha256": "0" * 64, "accepted_at": FEB,
               "signers": [{"method": "key", "signer": "k", "key_id": "k"}]}


def _text(doc: Any) -> str:
    return json.dumps(doc)


def _with_entry(**change: Any) -> str:
    return _text({"version": 1, "series": {"s": {**VALID_ENTRY, **change}}})


def _link_to_valid(state: Path) -> None:
    real = state.with_name("real.json")
    real.write_text(_with_entry())
    real.chmod(0o600)
    state.symlink_to(real)


def _mode(mode: int, text: str | None = None) -> Any:
    def make(state: Path) -> None:
        state.write_text(text if text is not None else _with_entry())
        state.chmod(mode)
    return make


def _write(text: str) -> Any:
    return _mode(0o600, text)


# Each hostile state: how it is made at STATE (or its lock, or its directory), the exception,
# and its text. None is ever reset, followed, waited on or taken as a first use.
HOSTILE_STATES: list[tuple[str, Any, type[Exception], str]] = [
    ("link to a valid state", _link_to_valid, OSError, "symbolic link"),
    ("dangling link", lambda s: s.symlink_to(s.with_name("elsewhere.json")), OSError,
     "symbolic link"),
    ("FIFO", lambda s: os.mkfifo(s), OSError, "not a regular file but a FIFO"),
    ("directory", lambda s: s.mkdir(), OSError, "not a regular file but a directory"),
    ("world-writable", _mode(0o666), OSError, "writable by group or others"),
    ("group-writable", _mode(0o620), OSError, "writable by group or others"),
    ("corrupt JSON", _write('{"version": 1, "series": {'), ValueError, "not valid JSON"),
    ("empty file", _write(""), ValueError, "not valid JSON"),
    ("duplicate member", _write('{"version": 1, "version": 1, "series": {}}'), ValueError,
     "not valid JSON"),
    ("another version", _write(_text({"version": 2, "series": {}})), ValueError,
     "expected version 1, found 2"),
    ("a version of true", _write(_text({"version": True, "series": {}})), ValueError,
     "expected version 1, found true"),
    ("an extra member", _write(_text({"version": 1, "series": {}, "x": 0})), ValueError,
     "exactly `version` and `series`"),
    ("series not an object", _write(_text({"version": 1, "series": []})), ValueError,
     "`series` to be an object"),
    ("an entry without its digest", _write(_text({"version": 1, "series": {"s": {
        k: v for k, v in VALID_ENTRY.items() if k != "manifest_sha256"}}})), ValueError,
     "expected an object with exactly"),
    ("a created_at that is not a time", _write(_with_entry(created_at="yesterday")), ValueError,
     "`created_at` is not an RFC 3339 time"),
    ("a digest in upper case", _write(_with_entry(manifest_sha256="A" * 64)), ValueError,
     "`manifest_sha256` is not a SHA-256"),
    ("a signer without its method", _write(_with_entry(signers=[{"signer": "k", "key_id": None}])),
     ValueError, "`signers` is not a list"),
    ("NaN", _write('{"version": NaN, "series": {}}'), ValueError, "not valid JSON"),
    ("lock file a link", lambda s: s.with_name(s.name + ".lock").symlink_to("/dev/null"),
     OSError, "lock .* is a symbolic link"),
    ("lock file world-writable", lambda s: _mode(0o666, "")(s.with_name(s.name + ".lock")),
     OSError, "lock .* writable by group or others"),
    ("lock file a FIFO", lambda s: os.mkfifo(s.with_name(s.name + ".lock")), OSError,
     "lock .* not a regular file but a FIFO"),
    ("directory writable by others", lambda s: s.parent.chmod(0o777), OSError,
     "directory .* writable by group or others"),
]


@pytest.mark.parametrize("make, error, text", [row[1:] for row in HOSTILE_STATES],
                         ids=[row[0] for row in HOSTILE_STATES])
def test_a_state_not_the_loaders_own_refuses(tmp_path: Path, key: Path, make: Any,
                                             error: type[Exception], text: str) -> None:
    manifest = signed(tmp_path / "bundles", FEB, key=key)
    home = tmp_path / "home"
    home.mkdir(mode=0o700)
    state = home / "state.json"
    make(state)
    before = sorted((p.name, p.lstat().st_mode, p.lstat().st_mtime_ns) for p in home.iterdir())
    with pytest.raises(error, match=text):
        verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], state=state)
    with pytest.raises(error, match=text), open_verified(manifest, state=state, **_keys(key)):
        pytest.fail("opened with a state that refuses")
    after = sorted((p.name, p.lstat().st_mode, p.lstat().st_mtime_ns) for p in home.iterdir()
                   if p.name != "state.json.lock")
    assert after == [entry for entry in before if entry[0] != "state.json.lock"]
    home.chmod(0o700)


def test_a_state_owned_by_another_user_refuses(tmp_path: Path, key: Path,
                                               monkeypatch: pytest.MonkeyPatch) -> None:
    manifest = signed(tmp_path, FEB, key=key)
    state = tmp_path / "state.json"
    assert verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], state=state)["ok"]
    # Seen from another user, the state (or its directory) is someone else's.
    other = os.geteuid() + 1
    monkeypatch.setattr(os, "geteuid", lambda: other)
    with pytest.raises(OSError, match="owned by user"):
        verify_signed_manifest(manifest, [key.with_suffix(".key.pub")], state=state)


WRITER = """
import sys
from tamrel_manifest import verify_signed_manifest
manifest, public, state, tag, rounds = sys.argv[1:]
sys.stdin.readline()  # every writer starts together
for n in range(int(rounds)):
    report = verify_signed_manifest(manifest, [public], state=state, series=f"{tag}-{n}")
    assert report["ok"], report["errors"]
"""


@pytest.mark.parametrize("writers", ["processes", "threads"])
def test_concurrent_writers_never_lose_an_update(tmp_path: Path, key: Path, writers: str) -> None:
    # Each call records a series of its own, so every call writes: a read-check-write that two
    # writers interleave drops the other's entry.
    manifest = signed(tmp_path, FEB, key=key)
    public, state = key.with_suffix(".key.pub"), tmp_path / "state.json"
    rounds, tags = 40, ["a", "b", "c"]
    if writers == "processes":
        procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(manifest), str(public),
                                   str(state), tag, str(rounds)], stdin=subprocess.PIPE,
                                  env=cli_env()) for tag in tags]
        for proc in procs:
            assert proc.stdin is not None
            proc.stdin.write(b"go\n")
            proc.stdin.close()
        assert [proc.wait(timeout=300) for proc in procs] == [0] * len(tags)
    else:
        start = threading.Barrier(len(tags))
        failures: list[BaseException] = []

        def write(tag: str) -> None:
            start.wait()
            try:
                for n in range(rounds):
                    assert verify_signed_manifest(manifest, [public], state=state,
                                                  series=f"{tag}-{n}")["ok"]
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)

        threads = [threading.Thread(target=write, args=(tag,)) for tag in tags]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []
    recorded = json.loads(state.read_text())["series"]
    assert sorted(recorded) == sorted(f"{tag}-{n}" for tag in tags for n in range(rounds))
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []
