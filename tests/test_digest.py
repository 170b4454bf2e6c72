"""sha256_file: digests, chunk boundaries, errors, interrupted reads and the released lock."""

import hashlib
import os
import shutil
import signal
import subprocess
import threading
import time

import pytest

import _tamrel_manifest as tm
import tamrel_manifest

EMPTY = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


@pytest.mark.parametrize("data", [b"", b"abc", b"x" * 65535, b"y" * 65536, b"z" * 65537,
                                  bytes(range(256)) * 1000])
@pytest.mark.smoke
def test_digest_matches_hashlib(tmp_path, data):
    f = tmp_path / "f"
    f.write_bytes(data)
    result = tm.sha256_file(f)
    assert list(result) == ["sha256", "size_bytes"]
    assert result == {"sha256": hashlib.sha256(data).hexdigest(), "size_bytes": len(data)}


@pytest.mark.smoke
@pytest.mark.skipif(shutil.which("sha256sum") is None, reason="no sha256sum")
def test_digest_matches_the_systems_sha256sum(tmp_path):
    f = tmp_path / "f"
    f.write_bytes(os.urandom(3 * 2**20 + 17))  # many blocks, a partial last one
    expected = subprocess.run(["sha256sum", f], capture_output=True, text=True,
                              check=True).stdout.split()[0]
    assert tm.sha256_file(f)["sha256"] == expected


@pytest.mark.smoke
def test_known_vectors(tmp_path):
    (tmp_path / "e").write_bytes(b"")
    (tmp_path / "abc").write_bytes(b"abc")
    assert tm.sha256_file(tmp_path / "e") == {"sha256": EMPTY, "size_bytes": 0}
    assert tm.sha256_file(tmp_path / "abc")["sha256"] == (
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")


@pytest.mark.parametrize("make,message", [
    (lambda p: None, "No such file or directory"),
    (lambda p: p.mkdir(), "Is a directory"),
    (lambda p: (p.write_bytes(b"x"), p.chmod(0)), "Permission denied"),
])
def test_failures_are_oserror(tmp_path, make, message):
    p = tmp_path / "target"
    make(p)
    if message == "Permission denied" and os.geteuid() == 0:
        pytest.skip("root reads any file")
    with pytest.raises(OSError) as info:
        tm.sha256_file(p)
    assert type(info.value) is OSError and str(info.value) == message


def _fifo_writer(path, chunks, delay):
    with open(path, "wb") as fh:
        for chunk in chunks:
            fh.write(chunk)
            fh.flush()
            time.sleep(delay)


def test_lock_is_released_while_hashing(tmp_path):
    # The only writer of the FIFO is a Python thread: the hash can finish only if that thread
    # runs Python code while the digest is in progress.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    chunks = [bytes([i]) * 5000 for i in range(20)]
    writer = threading.Thread(target=_fifo_writer, args=(fifo, chunks, 0.005), daemon=True)
    writer.start()
    result = tm.sha256_file(fifo)
    writer.join(timeout=10)
    assert result == {"sha256": hashlib.sha256(b"".join(chunks)).hexdigest(),
                      "size_bytes": 100000}


def test_interrupted_reads_are_retried(tmp_path):
    # Signals land on the hashing thread while it waits in read(); the handler is installed
    # without SA_RESTART, so each one interrupts the read, which must simply be retried.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    hits = []
    old = signal.signal(signal.SIGUSR1, lambda *_: hits.append(1))
    main = threading.get_ident()
    chunks = [b"q" * 1000 for _ in range(30)]
    stop = threading.Event()

    def pester():
        while not stop.is_set():
            signal.pthread_kill(main, signal.SIGUSR1)
            time.sleep(0.002)

    writer = threading.Thread(target=_fifo_writer, args=(fifo, chunks, 0.01), daemon=True)
    nagger = threading.Thread(target=pester, daemon=True)
    writer.start()
    nagger.start()
    try:
        result = tm.sha256_file(fifo)
    finally:
        stop.set()
        nagger.join()
        writer.join(timeout=10)
        signal.signal(signal.SIGUSR1, old)
    assert result["size_bytes"] == 30000
    assert hits, "no signal was delivered during the hash"


@pytest.mark.skipif(not os.environ.get("TAMREL_TEST_BUILD"), reason="needs a test-hook build")
def test_panic_exception(tmp_path, monkeypatch):
    monkeypatch.setenv("TAMREL_TEST_PANIC", "1")
    f = tmp_path / "f"
    f.write_bytes(b"")
    try:
        tm.sha256_file(f)
    except BaseException as exc:  # noqa: BLE001 - the point is what it derives from
        caught = exc
    else:
        pytest.skip("this build has no test hooks")
    cls = type(caught)
    assert cls.__name__ == "PanicException"
    assert not issubclass(cls, Exception) and issubclass(cls, BaseException)
    assert caught.args == ("injected panic for tests",)
    assert not hasattr(tm, "PanicException")
    assert cls is tamrel_manifest.PanicException
    assert "BaseException" in cls.__doc__
