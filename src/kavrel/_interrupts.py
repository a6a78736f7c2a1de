"""Ctrl-C and SIGTERM in the command line.

A signal never raises at an arbitrary point of the main thread, where an exception can leave a
lock held or a half-made object behind: it is noted, and Interrupted is raised either at once,
when the main thread is in one of the waits made for it (interruptible()), or at the next
check(). The first SIGINT or SIGTERM seen interrupts (two that arrive together are seen in
signal-number order); every later one is only noted, so that the
clean-up the first set off (threads stopped, a partial output removed) is never cut short. Once
a command starts putting a finished output in place, signals no longer interrupt it: the output
is whole, and the run ends as a success.

Without install() (kavrel used as a library) nothing here changes how signals behave.
"""

from __future__ import annotations

import contextlib
import signal
from collections.abc import Iterator
from types import FrameType

SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Interrupted(BaseException):
    """A command stopped by SIGINT or SIGTERM."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def status(self) -> int:
        """The exit status a shell gives a command ended by this signal."""
        return 128 + self.signum

    @property
    def words(self) -> str:
        return "interrupted" if self.signum == signal.SIGINT else "terminated"


class _Signals:
    def __init__(self) -> None:
        self.armed = True        # a signal still interrupts
        self.waiting = 0         # inside interruptible()
        self.pending: int | None = None

    def install(self) -> None:
        for s in SIGNALS:
            signal.signal(s, self._handler)

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        if not self.armed:
            return
        if self.pending is None:
            self.pending = signum
        if self.waiting:
            self._raise()

    def _raise(self) -> None:
        assert self.pending is not None
        self.armed = False
        raise Interrupted(self.pending)

    def check(self) -> None:
        """Raises Interrupted if a signal came since the last look."""
        if self.armed and self.pending is not None:
            self._raise()

    @contextlib.contextmanager
    def interruptible(self) -> Iterator[None]:
        """A wait in a call that stops cleanly on an exception from a signal handler (a native
        call that looks at signals, a queue implemented in C): a signal raises in it at once."""
        self.check()
        self.waiting += 1
        try:
            yield
        finally:
            self.waiting -= 1

    def settle(self) -> None:
        """The command's output is complete: a signal from now on changes nothing."""
        self.armed = False

    @contextlib.contextmanager
    def committing(self) -> Iterator[None]:
        """Putting a finished output in place: not interrupted, and done for good once begun."""
        self.check()
        self.settle()
        yield


signals = _Signals()


def install() -> None:
    """Takes SIGINT and SIGTERM over for the rest of the process (the command line only)."""
    signals.install()
