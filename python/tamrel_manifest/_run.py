"""Native calls off the main thread, so that Ctrl-C ends the tool at once, and several of them in
parallel (the native calls release the interpreter lock while they read files)."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Generic, TypeVar

T = TypeVar("T")
R = TypeVar("R")


class Outcome(Generic[T, R]):
    """One item's result, or the exception its call raised."""

    def __init__(self, item: T) -> None:
        self.item = item
        self.value: R | None = None
        self.error: BaseException | None = None
        self.done = threading.Event()


def run_each(function: Callable[[T], R], items: Sequence[T], jobs: int) -> Iterator[Outcome[T, R]]:
    """Calls `function` on every item from up to `jobs` worker threads and yields the outcomes in
    the order of `items`, each as soon as it and those before it are done.

    The workers are daemon threads: when the main thread stops waiting (Ctrl-C), the process can
    exit without waiting for a native call that may run for minutes."""
    outcomes: list[Outcome[T, R]] = [Outcome(item) for item in items]
    pending = iter(outcomes)
    lock = threading.Lock()

    def work() -> None:
        while True:
            with lock:
                outcome = next(pending, None)
            if outcome is None:
                return
            try:
                outcome.value = function(outcome.item)
            except BaseException as exc:  # handed to the main thread, which decides
                outcome.error = exc
            finally:
                outcome.done.set()

    for number in range(max(1, min(jobs, len(outcomes)))):
        threading.Thread(target=work, name=f"worker-{number}", daemon=True).start()
    for outcome in outcomes:
        outcome.done.wait()  # interruptible: KeyboardInterrupt arrives here
        yield outcome


def start(function: Callable[[], R]) -> Outcome[None, R]:
    """`function()` started on a worker thread; its outcome, done when the call ends."""
    outcome: Outcome[None, R] = Outcome(None)

    def work() -> None:
        try:
            outcome.value = function()
        except BaseException as exc:  # handed to the main thread, which decides
            outcome.error = exc
        finally:
            outcome.done.set()

    threading.Thread(target=work, name="worker-0", daemon=True).start()
    return outcome


def result(outcome: Outcome[T, R]) -> R:
    """Waits for a started call (interruptibly: KeyboardInterrupt arrives here); its result, or
    the exception it raised."""
    outcome.done.wait()
    if outcome.error is not None:
        raise outcome.error
    return outcome.value  # type: ignore[return-value]


def call(function: Callable[[], R]) -> R:
    """`function()` on a worker thread; its result, or the exception it raised."""
    return result(start(function))
