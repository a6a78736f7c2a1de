"""A capture cut into shards, and the sequential pass over what each shard's reader met.

A shard is a file, or a byte range of a classic file larger than the chunk size. A range
after a file's first starts at the first plausible record after its cut; the shard before it,
walking the record headers from an exact start, ends at the exact first record at or after
that cut. The pass over the shards in order (Chain) checks each range's start against that,
has a range whose guess differs read again from there, skips what one pass would not read
(the rest of a file after damage), and carries the `count` chains from shard to shard (see
native/engine/shards.hpp)."""

from __future__ import annotations

import array
import itertools
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field, replace
from typing import Literal

import pyarrow as pa

from kavrel import _engine

NO_LIMIT = (1 << 64) - 1
Table = Literal["packets", "features", "connections"]


@dataclass(frozen=True)
class Shard:
    path: str
    start: int = 0         # first record's byte offset (0: the file's first), or a cut near one
    limit: int = NO_LIMIT  # records starting here or later belong to the next shard
    guess: bool = False    # `start` is a cut, not a known record start

    def source(self) -> str | tuple[str, int, int, bool]:
        if self.start == 0 and self.limit == NO_LIMIT:
            return self.path
        return (self.path, self.start, self.limit, self.guess)

    def exactly_at(self, start: int | None) -> Shard:
        """This range read from a known record start (None: no record starts in it)."""
        return Shard(self.path, self.limit if start is None else start, self.limit)

    def where(self) -> str:
        return self.path if self.start == 0 else f"{self.path} (from byte {self.start:,})"


def shards(paths: Sequence[str], chunk_bytes: int) -> Iterator[Shard]:
    """The shards of a capture, in order, made as they are asked for: however small the
    chunks, the plan takes no memory."""
    for path in paths:
        if path == "-":
            raise ValueError("standard input cannot be read in parallel; read it with jobs=1")
        cuts: Sequence[int] = range(0)
        try:
            if _engine.capture_format(path) == "classic":
                size = os.stat(path).st_size
                cuts = range(_engine.CLASSIC_HEADER_BYTES + chunk_bytes, size, chunk_bytes)
        except OSError as exc:  # in the words a read of the file gives
            raise OSError(exc.errno, f"{path}: {exc.strerror}") from None
        bounds = itertools.chain([0], cuts, [NO_LIMIT])
        for k, (start, limit) in enumerate(itertools.pairwise(bounds)):
            yield Shard(path, start, limit, k > 0)


def plan(paths: Sequence[str], chunk_bytes: int) -> list[Shard]:
    """The shards of a capture, in order."""
    return list(shards(paths, chunk_bytes))


def count(paths: Sequence[str], chunk_bytes: int, most: int) -> int:
    """How many shards there are, counting no further than `most`."""
    return sum(1 for _ in itertools.islice(shards(paths, chunk_bytes), most))


@dataclass(frozen=True)
class Task:
    """One shard to read, and what to build of it."""
    shard: Shard
    table: Table
    columns: list[str]
    batch_size: int
    labelled: bool = False       # the rows are labelled by this run's alerts
    buckets: int = 0             # connections: the buckets its packets are filed in

    def redo(self, start: int | None) -> Task:
        """This task read from the record start the shard before it met."""
        return replace(self, shard=self.shard.exactly_at(start))

    def scan(self, alerts: pa.RecordBatch | None, shared: _engine.MemoryFile | None = None) -> _engine.Scan:
        """The native scan of this shard, whole (take_shard()); `shared`: the memory file its
        rows are built in, for another process to map."""
        labels = alerts.__arrow_c_array__() if self.labelled and alerts is not None else None
        return _engine.Scan([self.shard.source()], self.table, self.columns, self.batch_size, "auto", labels,
                            shard=True, shared=shared)


@dataclass
class Summary:
    """A shard read: where its records began and ended, and what it met."""
    bounds: tuple[int | None, int | None]
    summary: bytes
    stats: dict[str, int]
    damage: list[tuple[str, int, str]]
    matched: bytes
    failure: tuple[int, str, str | None, int] | None
    frames: int = 0  # connections: the frames the shard had, IP or not

    @classmethod
    def of(cls, native: _engine.Scan) -> Summary:
        return cls(native.bounds(), native.summary(), native.stats(), native.damage(), native.matched_alerts(),
                   native.failure())

    @classmethod
    def of_events(cls, native: _engine.EventShard) -> Summary:
        return cls(native.bounds(), b"", native.stats(), native.damage(), b"", native.failure(), native.frames())


def to_ipc(batches: Sequence[pa.RecordBatch] | pa.RecordBatchReader, schema: pa.Schema) -> bytes:
    """Batches as one Arrow IPC stream, for another process or machine."""
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, schema) as writer:
        for batch in batches:
            writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


def from_ipc(data: bytes | pa.Buffer) -> pa.Table:
    return pa.ipc.open_stream(pa.py_buffer(data) if isinstance(data, bytes) else data).read_all()


def read(task: Task, alerts: pa.RecordBatch | None, shared: _engine.MemoryFile | None = None,
         started: object = None) -> tuple[Summary, _engine.ShardRows | _engine.EventShard]:
    """Reads one shard whole: its summary and its rows, held until they are mended (for the
    connection table, its packets as events by bucket); a failed read keeps the rows before it
    (the failure is in the summary). `started(native)` is told the scan before it reads, so
    that another thread can cancel it."""
    if task.table == "connections":
        events = _engine.EventShard(task.shard.source(), task.buckets, shared or _engine.MemoryFile())
        if callable(started):
            started(events)
        events.read()
        return Summary.of_events(events), events
    native = task.scan(alerts, shared)
    if callable(started):
        started(native)
    rows = native.take_shard()
    return Summary.of(native), rows


@dataclass
class Chain:
    """The sequential pass over shard summaries, one file's ranges checked against each other."""
    features: bool
    carry: _engine.CarryState = field(default_factory=_engine.CarryState)
    next_record: int | None = None  # the exact start of the next range of the current file
    file_done: bool = False          # damage in the current file: one pass reads no further in it

    def decide(self, shard: Shard, s: Summary) -> tuple[str, object]:
        """("redo", start) when the range must be read again from a known start; ("skip", None)
        when one pass would not read it; else ("carry", carries or None), the chain moving past it."""
        if shard.guess:
            if self.file_done:
                return "skip", None
            if s.bounds[0] != self.next_record:
                return "redo", self.next_record
        self.next_record = s.bounds[1]
        self.file_done = bool(s.damage)
        return "carry", self.carry.next(s.summary) if self.features else None


@dataclass(frozen=True)
class GroupEvents:
    """A shard's events of one group of buckets, as bytes any machine can map again: the
    description (as EventShard.describe() gives it, its blocks renumbered) and the blocks."""
    description: bytes
    data: bytes


def _pread_all(fd: int, size: int) -> bytes:
    parts = []
    at = 0
    while at < size:
        chunk = os.pread(fd, min(size - at, 1 << 30), at)
        if not chunk:
            raise OSError(f"the shard's events file ended at byte {at:,} of {size:,}")
        parts.append(chunk)
        at += len(chunk)
    return b"".join(parts)


def events_by_group(events: _engine.EventShard, memory: _engine.MemoryFile,
                    groups: Sequence[Sequence[int]]) -> list[GroupEvents]:
    """A shard's events read (`memory` the fresh file they were built in), split by group of
    buckets, so that each group's assembler is sent only what it reads.

    The description is words of 64 bits in host order: a mark, the bucket count, the frames,
    the latest frame time, then for each bucket its event count, its tail time, its block count
    and the blocks' byte offsets. A fresh file holds nothing but equal blocks laid end to end,
    which gives the block size; a file that does not look so is sent whole to every group."""
    fd, description = events.describe()
    data = _pread_all(fd, memory.capacity())
    words = memoryview(description).cast("Q")
    head, runs, at = list(words[:4]), [], 4
    for _ in range(words[1]):
        count, tail, n = words[at], words[at + 1], words[at + 2]
        runs.append((count, tail, list(words[at + 3:at + 3 + n])))
        at += 3 + n
    offsets = sorted(o for _, _, blocks in runs for o in blocks)
    size = len(data) // len(offsets) if offsets else 0
    if not offsets or len(data) != size * len(offsets) or offsets != list(range(0, len(data), size)):
        return [GroupEvents(description, data) for _ in groups]
    view = memoryview(data)
    out = []
    for group in groups:
        chosen = set(group)
        out_words = list(head)
        blocks: list[memoryview] = []
        for b, (count, tail, offs) in enumerate(runs):
            if b not in chosen:
                out_words += [0, tail, 0]  # the group's assembler never reads this bucket
                continue
            out_words += [count, tail, len(offs)]
            out_words += range(len(blocks) * size, (len(blocks) + len(offs)) * size, size)
            blocks += [view[o:o + size] for o in offs]
        out.append(GroupEvents(array.array("Q", out_words).tobytes(), b"".join(blocks)))
    return out
