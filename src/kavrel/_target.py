"""Where the command line's output goes.

A Target is standard output, a device or FIFO written in place, or a regular
file that is written beside itself and renamed over on success, so that a run
that fails or is interrupted never leaves a partial file behind.
"""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import IO, TypeVar

BUFFER_SIZE = 1 << 20
T = TypeVar("T")


class WriteError(Exception):
    """Writing the output failed; the text names the output and the reason."""

    def __init__(self, message: str, to_stdout: bool = False) -> None:
        super().__init__(message)
        self.to_stdout = to_stdout


def os_reason(exc: OSError) -> str:
    # pyarrow's own file errors carry the errno but wrap its text in theirs.
    return os.strerror(exc.errno) if exc.errno else str(exc)


class Target:
    """An output: `path` None (or "-") is standard output."""

    def __init__(self, path: str | None) -> None:
        self.path = None if path in (None, "-") else path
        self.name = "standard output" if self.path is None else self.path
        self.in_place = True  # a stream, a device or a FIFO: written as it is
        self.real = self.path
        if self.path is not None:
            try:
                st = os.stat(self.path)
            except FileNotFoundError:
                st = None
            except OSError as exc:
                raise WriteError(f"cannot write {self.name}: {os_reason(exc)}") from None
            if st is not None and stat.S_ISDIR(st.st_mode):
                raise WriteError(f"cannot write {self.name}: {os.strerror(errno.EISDIR)}")
            if st is None or stat.S_ISREG(st.st_mode):
                self.in_place = False
                # Through a symlink the file it names is replaced, not the link.
                self.real = os.path.realpath(self.path)

    def identity(self) -> tuple[int, int] | None:
        """(st_dev, st_ino) of what would be overwritten, or None when nothing exists yet."""
        try:
            st = os.fstat(sys.stdout.fileno()) if self.path is None else os.stat(self.path)
        except (OSError, ValueError):
            return None
        if self.path is None and not stat.S_ISREG(st.st_mode):
            return None
        return st.st_dev, st.st_ino

    @property
    def directory(self) -> str | None:
        """Where temporary files for this target go (beside it), None for a stream."""
        return None if self.in_place or self.real is None else os.path.dirname(self.real) or "."

    @contextlib.contextmanager
    def open(self, committing: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext
             ) -> Iterator[IO[bytes]]:
        """A binary handle on the output; the file is in place only if the block ends without an
        exception. `committing` wraps the last steps (closing, renaming into place), which once
        begun are not to be interrupted: the output is then whole."""
        if self.path is None:
            sys.stdout.flush()
            yield sys.stdout.buffer
            with committing():
                self.attempt(sys.stdout.buffer.flush)
            return
        temp: str | None = None
        fh: IO[bytes] | None = None
        try:
            if self.in_place:
                fh = self.attempt(lambda: open(self.path, "wb", buffering=BUFFER_SIZE))  # type: ignore[arg-type]
            else:
                real = self.real
                assert real is not None
                fd, temp = self.attempt(lambda: tempfile.mkstemp(prefix=f".{os.path.basename(real)}.",
                                                                  suffix=".part", dir=self.directory))
                fh = open(fd, "wb", buffering=BUFFER_SIZE)
                self.attempt(lambda: os.fchmod(fd, self._mode()))
            yield fh
            with committing():
                self.attempt(fh.close)
                if temp is not None:
                    self.attempt(lambda: os.replace(temp, self.real))  # type: ignore[arg-type]
                    temp = None
        except BaseException:
            if fh is not None:
                _close_quietly(fh)
            if temp is not None:
                _remove_quietly(temp)
            raise

    def place(self, finished: str,
              committing: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext) -> None:
        """Puts a finished file (made in self.directory, or anywhere for a stream) at the target."""
        if self.in_place or self.real is None:
            with self.open(committing) as out, open(finished, "rb") as src:
                self.attempt(lambda: shutil.copyfileobj(src, out, BUFFER_SIZE))
            return
        with committing():
            self.attempt(lambda: os.chmod(finished, self._mode()))
            self.attempt(lambda: os.replace(finished, self.real))  # type: ignore[arg-type]

    def _mode(self) -> int:
        # An existing file keeps its mode; a new one gets what open() would give it.
        try:
            return stat.S_IMODE(os.stat(self.real).st_mode)  # type: ignore[arg-type]
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            return 0o666 & ~umask

    def attempt(self, step: Callable[[], T]) -> T:
        """Runs one step of writing; a system error becomes a WriteError naming the output."""
        try:
            return step()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise WriteError(f"cannot write {self.name}: {os_reason(exc)}", self.path is None) from None


def _remove_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


def _close_quietly(fh: IO[bytes]) -> None:
    with contextlib.suppress(OSError):
        fh.close()
