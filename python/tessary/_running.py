"""Running a step's command: an argument vector, no shell, its standard streams passed through.

The child is waited for with ``os.wait4``, whose resource use covers the
child and every descendant it waited for. Ctrl-C is forwarded to the child
and the wait goes on, so the child is never left running and its figures
are never lost; the caller learns that the run was interrupted.
"""

from __future__ import annotations

import os
import resource
import signal
import threading
import time
from types import FrameType
from typing import List, NamedTuple, Optional

__all__ = ["Finished", "find_program", "run_child"]


class Finished(NamedTuple):
    """How a child ended: exit code (or None when killed), the signal that killed it, its use, wall time."""

    exit_code: Optional[int]
    signal: Optional[int]
    rusage: "resource.struct_rusage"
    wall_sec: float
    interrupted: bool

    @property
    def status(self) -> int:
        """The exit status a shell reports: the code, or 128 + the signal."""
        if self.exit_code is not None:
            return self.exit_code
        return 128 + (self.signal or 0)


def find_program(name: str) -> Optional[str]:
    """The program ``name`` runs: a path when it names one, else the first match on PATH; None when there is none."""
    if os.sep in name:
        return name if os.path.isfile(name) and os.access(name, os.X_OK) else None
    # As shutil.which searches, without importing shutil (and the compression modules it loads).
    path = os.environ.get("PATH")
    if path is None:
        path = os.confstr("CS_PATH") if "CS_PATH" in os.confstr_names else os.defpath
    for folder in path.split(os.pathsep) if path else ():
        candidate = os.path.join(folder, name)
        if os.access(candidate, os.X_OK) and not os.path.isdir(candidate):
            return candidate
    return None


_RESTORED = tuple(getattr(signal, name) for name in ("SIGPIPE", "SIGXFZ", "SIGXFSZ") if hasattr(signal, name))


class _Forwarder:
    """A SIGINT handler that passes the signal on to the child (or remembers it until the child exists)."""

    # A child that ignores Ctrl-C is asked again more firmly: the second time SIGTERM, then SIGKILL.
    _SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)

    def __init__(self) -> None:
        self.pid: Optional[int] = None
        self.count = 0

    @property
    def interrupted(self) -> bool:
        return self.count > 0

    def send(self) -> None:
        if self.pid is not None:
            try:
                os.kill(self.pid, self._SIGNALS[min(self.count, len(self._SIGNALS)) - 1])
            except ProcessLookupError:
                pass

    def __call__(self, signum: int, frame: Optional[FrameType]) -> None:
        self.count += 1
        self.send()


def _ended(status: int, rusage: "resource.struct_rusage", wall: float, interrupted: bool) -> Finished:
    if os.WIFSIGNALED(status):
        return Finished(None, os.WTERMSIG(status), rusage, wall, interrupted)
    return Finished(os.WEXITSTATUS(status), None, rusage, wall, interrupted)


def run_child(argv: List[str]) -> Finished:
    """Run ``argv`` to its end; raises OSError when it cannot be started."""
    forward = _Forwarder()
    in_main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, forward) if in_main else None
    try:
        start = time.monotonic()
        # posix_spawn, not subprocess (whose imports cost a short command more than its run): every
        # descriptor the package opens is close-on-exec, and the signals this interpreter ignores are
        # given back their default actions, as subprocess's restore_signals does.
        forward.pid = os.posix_spawnp(argv[0], argv, os.environ, setsigdef=_RESTORED)
        if forward.interrupted:
            # Ctrl-C came while the child was being started: it must not run on unasked.
            forward.send()
        _, status, rusage = os.wait4(forward.pid, 0)
        wall = time.monotonic() - start
    finally:
        if in_main:
            signal.signal(signal.SIGINT, previous)
    return _ended(status, rusage, wall, forward.interrupted)
