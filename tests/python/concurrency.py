"""Threads run at once, and Ctrl-C at a chosen moment of a native call."""
import os
import signal
import sys
import threading
from typing import Callable, Iterator, List


def run_threads(*targets: Callable[[], object]) -> None:
    """Runs the targets at once; fails on a thread's exception or one still running."""
    errors: List[BaseException] = []

    def guarded(target: Callable[[], object]) -> None:
        try:
            target()
        except BaseException as e:  # noqa: BLE001 - handed to the calling thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "threads still running: a deadlock"
    assert errors == [], errors


class Stop(Exception):
    """What the tests' SIGINT handler raises."""


def raise_stop(signum: int, frame: object) -> None:
    raise Stop()


def on_release(action: Callable[[], object]) -> Iterator[Callable[[], None]]:
    """Yields `arm`: once called, another thread runs `action` the moment this thread next lets go of the
    interpreter lock, which only a native call does here (the switch interval is set out of reach).

    The other thread waits for `go` without the lock, then needs the lock back to run: it can only get it
    while a call has released it, and that call cannot return before the action ends, since returning
    needs the lock. So the action runs inside the call, whatever the scheduler does.
    """
    go, armed = threading.Lock(), list[bool]()
    go.acquire()

    def run() -> None:
        with go:
            if armed:
                action()

    def arm() -> None:
        armed.append(True)
        go.release()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    other = threading.Thread(target=run)
    other.start()
    try:
        yield arm
    finally:
        if not armed:
            go.release()  # the test ended before arming: the thread leaves without acting
        other.join()
        sys.setswitchinterval(previous)


def sigint_on_release() -> Iterator[Callable[[], None]]:
    """Installs a handler raising Stop and yields `arm` of :func:`on_release` raising SIGINT: raise_signal
    returns once the signal is recorded, so the call that released the lock is the one that finds it."""
    previous_handler = signal.signal(signal.SIGINT, raise_stop)
    try:
        yield from on_release(lambda: signal.raise_signal(signal.SIGINT))
    finally:
        signal.signal(signal.SIGINT, previous_handler)


# Far more than a few polls' worth of reading: if the signal were never seen,
# the feed ends and the call returns instead of the test hanging.
FEED_BUDGET = 1 << 30


def feed_fifo(fifo: "os.PathLike[str]", signal_after: int) -> None:
    """Open the FIFO for writing, which returns only once the native reader has opened it; raise SIGINT
    after `signal_after` bytes (past the pipe buffer: the reader is inside its read loop), and keep
    feeding until the reader goes away."""
    fd = os.open(fifo, os.O_WRONLY)
    piece, sent, raised = bytes(1 << 16), 0, False
    try:
        while sent < FEED_BUDGET:
            if not raised and sent >= signal_after:
                signal.raise_signal(signal.SIGINT)
                raised = True
            sent += os.write(fd, piece)
    except BrokenPipeError:
        pass
    finally:
        os.close(fd)


def interrupted_fifo_read(fifo: "os.PathLike[str]", signal_after: int, read: Callable[[], object]) -> None:
    """`read` of a FIFO fed by another thread that raises SIGINT after `signal_after` bytes must raise Stop."""
    import pytest

    os.mkfifo(fifo)
    previous_handler = signal.signal(signal.SIGINT, raise_stop)
    writer = threading.Thread(target=feed_fifo, args=(fifo, signal_after))
    writer.start()
    try:
        with pytest.raises(Stop):
            read()
    finally:
        writer.join()
        signal.signal(signal.SIGINT, previous_handler)
