"""The sensor loop behind `kavrel sniff`: a live capture's batches (packets, features or
connections) written to standard output, to one file, or to files rotated every N seconds.

The capture is read on a thread of its own, so that the main thread can close a file
on time while the link is quiet, and so that Ctrl-C and SIGTERM only ever land between
two writes: the current file is then finished with every row read, never cut mid-row.
"""

from __future__ import annotations

import contextlib
import math
import os
import queue
import signal
import sys
import threading
import time
from types import FrameType
from typing import IO, Any

import pyarrow as pa
import pyarrow.compute as pc

from kavrel._formats import BatchWriter, batch_writer
from kavrel._target import Target, WriteError
from kavrel.live import LiveReader

# What the reading thread puts on the queue besides batches and the exception it ended with.
END = object()
STOP = object()


class OpenFile:
    """One output being written: its target, the open handle and the format's writer."""

    def __init__(self, target: Target, fmt: str, schema: pa.Schema) -> None:
        self.target = target
        self.rows = 0
        self._stack = contextlib.ExitStack()
        self.out: IO[bytes] = self._stack.enter_context(target.open())
        try:
            self.writer: BatchWriter = target.attempt(lambda: batch_writer(fmt, self.out, schema))
        except BaseException:
            self._stack.__exit__(*sys.exc_info())
            raise

    def write(self, batch: pa.RecordBatch) -> None:
        self.target.attempt(lambda: self.writer.write(batch))
        self.rows += batch.num_rows
        if self.target.path is None:  # a reader at the other end of a pipe sees each batch as it comes
            self.target.attempt(self.out.flush)

    def close(self) -> None:
        """Finishes the file (a Parquet footer, the last rows) and puts it under its name."""
        try:
            self.target.attempt(self.writer.close)
        except BaseException:
            self.abandon()
            raise
        self._stack.close()

    def abandon(self) -> None:
        """After a failure: the half-written file is removed rather than left looking complete."""
        self.writer.abandon()
        with contextlib.suppress(Exception):
            self._stack.__exit__(WriteError, WriteError("abandoned"), None)


class Sink:
    """Where the rows go. With `seconds`, file k holds the rows stamped in
    [start + k*seconds, start + (k+1)*seconds) and is named by strftime(pattern) of that
    window's start, in local time; a window without rows makes no file.

    Rows that do not come in time order (`in_order` False: connections, written as they end)
    are cut the same way, but a row stamped before the open file's window, or one that comes
    once its window's file is closed, goes into the file open at the time: windows never go
    back, and no file is made for a window already over."""

    def __init__(self, pattern: str | None, fmt: str, schema: pa.Schema, seconds: float | None, start: float,
                 grace: float, time_read_only: bool = False, time_column: str = "timestamp",
                 in_order: bool = True) -> None:
        self.pattern, self.fmt = pattern, fmt
        # The time column read only to cut the windows is not written.
        self.keep = [i for i, field in enumerate(schema) if not (time_read_only and field.name == time_column)]
        self.schema = pa.schema([schema.field(i) for i in self.keep])
        self.seconds, self.start, self.grace = seconds, start, grace
        self.in_order = in_order
        self.current: OpenFile | None = None
        self.window = 0
        self.closed: list[tuple[str, int]] = []  # (name, rows) of every finished file
        self.lost = 0  # rows of a file whose writing failed
        self._names: set[str] = set()
        self._time = schema.get_field_index(time_column)
        if seconds is None:  # one output, there from the start (a CSV header even when no row comes)
            self._open(0)

    @property
    def rows(self) -> int:
        return sum(n for _, n in self.closed) + (self.current.rows if self.current else 0)

    def write(self, batch: pa.RecordBatch) -> None:
        while batch.num_rows:
            if self.seconds is None:
                self._open(0)
                self._put(batch)
                return
            if self.current is None:
                window = self._window_of(batch, 0)
                if not self.in_order:
                    window = max(window, self._window_at(time.time()))
                self._open(window)
            end = self.start + (self.window + 1) * self.seconds
            later = self._first_at_or_after(batch, end)
            if later < 0:
                self._put(batch)
                return
            if later:
                self._put(batch.slice(0, later))
            self.finish()
            batch = batch.slice(later)

    def _put(self, batch: pa.RecordBatch) -> None:
        assert self.current is not None
        self.current.write(batch if len(self.keep) == batch.num_columns else batch.select(self.keep))

    def deadline(self) -> float | None:
        """When the open file's window is over, with time for its last rows to come through."""
        if self.seconds is None or self.current is None:
            return None
        return self.start + (self.window + 1) * self.seconds + self.grace

    def tick(self, now: float) -> None:
        deadline = self.deadline()
        if deadline is not None and now >= deadline:
            self.finish()

    def finish(self) -> None:
        if self.current is None:
            return
        current, self.current = self.current, None
        try:
            current.close()
        except BaseException:
            self.lost = current.rows
            raise
        self.closed.append((current.target.name, current.rows))

    def abandon(self) -> int:
        """Drops the file being written after a failure; the rows it held."""
        current, self.current = self.current, None
        if current is None:
            return self.lost
        current.abandon()
        return current.rows

    def _open(self, window: int) -> None:
        if self.current is not None:
            return
        self.window = window
        target = Target(self._name(window))
        self.current = OpenFile(target, self.fmt, self.schema)

    def _name(self, window: int) -> str | None:
        if self.pattern is None or self.seconds is None:
            return self.pattern
        name = time.strftime(self.pattern, time.localtime(self.start + window * self.seconds))
        # A pattern coarser than the rotation would name two files alike: the later one is
        # numbered rather than written over the earlier.
        root, ext = os.path.splitext(name)
        n = 0
        while name in self._names:
            n += 1
            name = f"{root}-{n}{ext}"
        self._names.add(name)
        return name

    def _seconds_at(self, batch: pa.RecordBatch, row: int) -> float:
        value = batch.column(self._time)[row]
        return value.value / 1e9 if pa.types.is_timestamp(value.type) else value.as_py()

    def _window_of(self, batch: pa.RecordBatch, row: int) -> int:
        return self._window_at(self._seconds_at(batch, row))

    def _window_at(self, seconds: float) -> int:
        assert self.seconds is not None
        return max(0, math.floor((seconds - self.start) / self.seconds))

    def _first_at_or_after(self, batch: pa.RecordBatch, end: float) -> int:
        column = batch.column(self._time)
        bound = pa.scalar(int(end * 1e9), type=column.type) if pa.types.is_timestamp(column.type) else end
        return pc.index(pc.greater_equal(column, bound), True).as_py()


def pump(reader: LiveReader, into: queue.SimpleQueue) -> None:
    """The reading thread: every batch, then the exception the capture ended with, then END."""
    try:
        for batch in reader:
            into.put(batch)
    except BaseException as exc:  # a device that failed
        into.put(exc)
    finally:
        into.put(END)


def run(reader: LiveReader, sink: Sink, count: int | None) -> tuple[str, BaseException | None]:
    """Writes the capture into `sink` until `count` rows, a signal or the device's end.
    Returns why it ended ("done", "interrupted", "terminated") and the device's failure, if any;
    the current file is finished in every case but a failed write (which raises)."""
    batches: queue.SimpleQueue = queue.SimpleQueue()
    reason = "done"

    def stop(signum: int, frame: FrameType | None) -> None:
        nonlocal reason
        if reason == "done":
            reason = "interrupted" if signum == signal.SIGINT else "terminated"
            # SimpleQueue.put is safe in a signal handler. A later signal changes nothing: what
            # is left (the rows read, the file's end) takes a moment, and is never given up.
            batches.put(STOP)

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    thread = threading.Thread(target=pump, args=(reader, batches), name="kavrel-capture")
    failure: BaseException | None = None
    written = 0
    try:
        thread.start()
        while True:
            deadline = sink.deadline()
            try:
                item = batches.get(timeout=None if deadline is None else max(0.0, deadline - time.time()))
            except queue.Empty:
                sink.tick(time.time())
                continue
            if item is END:
                break
            if item is STOP:
                reader.close()  # the thread hands over the rows read so far, then ends
                continue
            if isinstance(item, BaseException):
                failure = item
                continue
            batch: pa.RecordBatch = item
            if count is not None:
                if written >= count:
                    continue
                batch = batch.slice(0, count - written)
            sink.write(batch)
            written += batch.num_rows
            if count is not None and written >= count:
                reader.close()
        sink.finish()
    except BaseException:
        reader.close()
        raise
    finally:
        if thread.ident is not None:  # the capture is closed: its thread hands over what it read and ends
            thread.join()
        for s, handler in previous.items():
            signal.signal(s, handler)
    return reason, failure


def stats_words(stats: dict[str, Any]) -> str:
    return (f"{stats['received']:,} received, {stats['dropped']:,} dropped by the kernel, "
            f"{stats['if_dropped']:,} by the interface")
