"""The live progress line of the command-line tool.

The native calls release the interpreter lock while they read files, so a Python thread can
watch them: it looks for files the call has opened (the descriptors that did not exist when the
call began) and, where the platform shows the position of an open file (/proc/self/fdinfo on
Linux), how far the call has read.
"""

from __future__ import annotations

import os
import stat
import threading
import time
from types import TracebackType
from collections.abc import Callable
from typing import NamedTuple, TextIO

_FD_DIR = "/proc/self/fd"
_FDINFO_DIR = "/proc/self/fdinfo"


def human_bytes(count: float) -> str:
    """1536 -> '1.5 KiB'; below 1 KiB the exact count in bytes."""
    if count < 1024:
        return f"{int(count)} B"
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        count /= 1024
        if count < 1024 or unit == "TiB":
            break
    return f"{count:.1f} {unit}"


class OpenFile(NamedTuple):
    fd: int
    path: str
    position: int | None
    size: int


def open_descriptors() -> set[tuple[int, str]]:
    """(descriptor, target) of every open descriptor of this process; empty where unknown."""
    found: set[tuple[int, str]] = set()
    try:
        names = os.listdir(_FD_DIR)
    except OSError:
        return found
    for name in names:
        try:
            found.add((int(name), os.readlink(f"{_FD_DIR}/{name}")))
        except (OSError, ValueError):
            continue  # the listing's own descriptor, or one closed meanwhile
    return found


def _position(fd: int) -> int | None:
    try:
        with open(f"{_FDINFO_DIR}/{fd}", encoding="ascii") as info:
            for line in info:
                if line.startswith("pos:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def files_opened_since(baseline: set[tuple[int, str]]) -> list[OpenFile]:
    """Regular files open on descriptors that are not in `baseline`, by descriptor."""
    found = []
    for fd, target in sorted(open_descriptors() - baseline):
        try:
            st = os.stat(target)
        except OSError:
            continue  # not a path (pipe, socket), or gone
        if stat.S_ISREG(st.st_mode):
            found.append(OpenFile(fd, target, _position(fd), st.st_size))
    return found


def _fit(text: str, width: int) -> str:
    return text if len(text) <= width else "…" + text[len(text) - width + 1 :]


class Progress:
    """A context manager that draws one live line on `stream` while the body runs longer than
    `delay` seconds, and erases it at the end. Disabled, it does nothing.

    Every `interval` seconds a thread calls `tick`, which draws once `clock` (default
    time.monotonic) has passed the delay."""

    def __init__(
        self,
        stream: TextIO,
        *,
        enabled: bool,
        delay: float = 0.5,
        interval: float = 0.2,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._stream = stream
        self._enabled = enabled
        self._delay = delay
        self._interval = interval
        self._clock = clock
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._drawn = False
        self._start = 0.0
        self._baseline: set[tuple[int, str]] = set()
        # (fd, path) -> (time, position) when first seen, for the rate
        self._first_seen: dict[tuple[int, str], tuple[float, int]] = {}

    def __enter__(self) -> Progress:
        if self._enabled:
            self._baseline = open_descriptors()
            self._start = self._clock()
            self._thread = threading.Thread(target=self._run, name="progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self.tick()

    def tick(self) -> bool:
        """Draws the line if the delay has passed; whether it did."""
        if self._clock() - self._start < self._delay:
            return False
        self._draw()
        return True

    def line(self, width: int = 80) -> str:
        """The progress text, the file's path shortened so that the whole fits in `width`."""
        now = self._clock()
        head = f"{now - self._start:.1f}s"
        files = files_opened_since(self._baseline)
        if not files:
            return head
        current = files[-1]  # the most recently opened descriptor
        tail = ""
        if current.position is not None:
            done = min(current.position, current.size)
            tail = f"  {human_bytes(done)} of {human_bytes(current.size)}"
            seen = self._first_seen.setdefault((current.fd, current.path), (now, done))
            if now > seen[0] and done >= seen[1]:
                tail += f"  {human_bytes((done - seen[1]) / (now - seen[0]))}/s"
        head += "  reading "
        return head + _fit(current.path, max(width - len(head) - len(tail), 8)) + tail

    def _draw(self) -> None:
        try:
            width = os.get_terminal_size(self._stream.fileno()).columns
        except (OSError, ValueError):
            width = 80
        self._stream.write("\r" + self.line(width - 1) + "\x1b[K")
        self._stream.flush()
        self._drawn = True
