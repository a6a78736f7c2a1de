"""One capture read on many cores, with the rows of one sequential pass.

The capture is cut into shards: a file each, and a classic file larger than
the chunk size into byte ranges. `jobs` readers read them, one on a thread of
this process and the others in worker processes, and the rows come back in
order.

A range after a file's first starts at the first plausible record after its
cut. The shard before it, walking the record headers from an exact start,
ends at the exact first record at or after that cut; a range whose guess
differs is read again from there, so every range starts at a true record
boundary, and after damage in a file no further range of it is read (as one
pass stops there).

A features shard counts with a table of its own and sums its destinations up;
a pass over those summaries in order gives each shard the counts carried in
from every shard before it, which the shard adds to each destination's first
chain (see native/engine/shards.hpp). Every `count` is the one a single pass
gives.
"""

from __future__ import annotations

import atexit
import multiprocessing.connection
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import uuid
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

import pyarrow as pa

from kavrel import _engine

#: Byte ranges a large classic capture is cut into, by default.
DEFAULT_CHUNK_BYTES = 64 << 20
NO_LIMIT = (1 << 64) - 1
SHARD_COLUMNS = ("__mend",)
_CLASSIC_MAGICS = {bytes.fromhex(m) for m in ("a1b2c3d4", "d4c3b2a1", "a1b23c4d", "4d3cb2a1")}


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


def plan(paths: Sequence[str], chunk_bytes: int) -> list[Shard]:
    """The shards of a capture, in order."""
    shards = []
    for path in paths:
        if path == "-":
            raise ValueError("standard input cannot be read in parallel; read it with jobs=1")
        with open(path, "rb") as fh:
            classic = fh.read(4) in _CLASSIC_MAGICS
            size = os.fstat(fh.fileno()).st_size
        cuts = list(range(24 + chunk_bytes, size, chunk_bytes)) if classic else []
        bounds = [0, *cuts, NO_LIMIT]
        shards.extend(Shard(path, bounds[i], bounds[i + 1], i > 0) for i in range(len(bounds) - 1))
    return shards


def job_count(jobs: object) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 0:
        raise ValueError(f"jobs must be a whole number, 0 for every core, not {jobs!r}")
    if jobs == 0:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return jobs


def check_chunk_bytes(chunk_bytes: object) -> int:
    if isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, int) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive whole number, not {chunk_bytes!r}")
    return chunk_bytes


# ---- one shard ----------------------------------------------------------------------

@dataclass
class Task:
    shard: Shard
    table: str
    columns: list[str]
    batch_size: int
    labelled: bool = False       # the rows are labelled by this run's alerts
    alerts: bytes | None = None  # those alerts as Arrow IPC, sent once per worker and run


@dataclass
class Summary:
    """A shard read: where its records began and ended, and what it met."""
    bounds: tuple[int | None, int | None]
    summary: bytes
    stats: dict[str, int]
    damage: list[tuple[str, int, str]]
    matched: bytes
    failure: tuple[int, str] | None


def ipc_bytes(batches: Sequence[pa.RecordBatch], schema: pa.Schema) -> bytes:
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, schema) as writer:
        for batch in batches:
            writer.write_batch(batch)
    return sink.getvalue().to_pybytes()


def read_ipc(data: bytes) -> pa.Table:
    return pa.ipc.open_stream(pa.py_buffer(data)).read_all()


def _shard_batches(task: Task, alerts: pa.RecordBatch | None) -> tuple[_engine.Scan, pa.RecordBatchReader]:
    capsules = alerts.__arrow_c_array__() if alerts is not None else None
    native = _engine.Scan([task.shard.source()], task.table, task.columns, task.batch_size, "auto", capsules,
                          task.table == "features")
    return native, pa.RecordBatchReader.from_stream(native)


def _summary_of(native: _engine.Scan) -> Summary:
    return Summary(native.bounds(), native.summary(), native.stats(), native.damage(), native.matched_alerts(),
                   native.failure())


def _each_batch(native: _engine.Scan, stream: pa.RecordBatchReader) -> Iterator[pa.RecordBatch]:
    """The shard's batches; a failed read ends them, the failure kept in the summary."""
    try:
        yield from stream
    except (OSError, pa.ArrowException):
        if native.failure() is None:
            raise


def read_shard(task: Task, alerts: pa.RecordBatch | None, path: str) -> Summary:
    """Reads one shard into an Arrow IPC file at `path` (a features shard with its mending
    columns); a failed read still keeps the rows before it."""
    native, stream = _shard_batches(task, alerts)
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_stream(sink, stream.schema) as writer:
        for batch in _each_batch(native, stream):
            writer.write_batch(batch)
    return _summary_of(native)


def read_shard_here(task: Task, alerts: pa.RecordBatch | None) -> tuple[Summary, pa.Table]:
    """read_shard for the reader in this process: the rows as they were built, not copied."""
    native, stream = _shard_batches(task, alerts)
    table = pa.Table.from_batches(list(_each_batch(native, stream)), stream.schema)
    return _summary_of(native), table


def mend(table: pa.Table, carry: bytes) -> pa.Table:
    """A features shard's rows with the carries added to each destination's first chain, the
    mending columns taken out."""
    counts = []
    for batch in table.to_batches():
        schema, array = _engine.mended_counts(batch, carry)
        counts.append(pa.RecordBatch._import_from_c_capsule(schema, array).column(0))
    at = table.schema.get_field_index("count")
    table = table.set_column(at, table.schema.field(at), pa.chunked_array(counts, pa.uint32()))
    return table.drop_columns(list(SHARD_COLUMNS))


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


# ---- the workers ----------------------------------------------------------------------
#
# Each worker is a fresh interpreter (`python -m kavrel._shard_worker FD`) on one end
# of a socket pair: it needs nothing of the program that started it, and its
# death shows as the end of its socket. The rows come back in a file in memory
# (/dev/shm), which the parent maps.

def _rows_file() -> str:
    folder = "/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
    return os.path.join(folder, f"kavrel-{os.getpid()}-{uuid.uuid4().hex}.arrows")


def worker(conn: multiprocessing.connection.Connection, here: dict[str, pa.Table] | None = None) -> None:
    """A worker's life: tasks in, rows out, until told to stop or the parent goes. `here`
    is given to the reader that runs on a thread of the parent: its rows stay in that dict
    rather than going through a file."""
    if here is None:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the group; the parent stops the workers
    alerts = None
    while True:
        try:
            task = conn.recv()
        except (EOFError, OSError):
            return
        if task is None:
            return
        path = _rows_file()
        try:
            if task.alerts is not None:
                alerts = read_ipc(task.alerts).combine_chunks().to_batches()[0]
            labels = alerts if task.labelled else None
            if here is None:
                summary = read_shard(task, labels, path)
            else:
                summary, here[path] = read_shard_here(task, labels)
            conn.send(("done", (summary, path)))
        except BaseException as exc:  # reported, with its type, by the parent
            _discard(path, here)
            try:
                conn.send(("error", (type(exc).__name__, getattr(exc, "errno", None), str(exc))))
            except OSError:
                return


def _discard(path: str, here: dict[str, pa.Table] | None) -> None:
    if here is not None and here.pop(path, None) is not None:
        return
    try:
        os.unlink(path)
    except OSError:
        pass


# A worker is one thread of work: math libraries that numpy may load (through
# pyarrow) would otherwise start a thread per core that spins beside it.
_WORKER_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


class WorkerDied(RuntimeError):
    pass


class _Thread:
    """The reader on a thread of this process, with the little of Popen the pool uses."""

    def __init__(self, conn: multiprocessing.connection.Connection, here: dict[str, pa.Table]) -> None:
        self.thread = threading.Thread(target=worker, args=(conn, here), name="kavrel-shard-reader", daemon=True)
        self.thread.start()

    def poll(self) -> int | None:
        return None if self.thread.is_alive() else 0

    def wait(self, timeout: float | None = None) -> int:
        self.thread.join(timeout)  # a shard being read is finished first: it cannot be stopped midway
        return 0

    def kill(self) -> None:
        pass


@dataclass
class _Worker:
    process: subprocess.Popen | _Thread
    conn: multiprocessing.connection.Connection
    task: int | None = None  # the index of the task it runs
    sent_alerts: bool = False


class Pool:
    """Worker processes reading shards; results in order, counts carried from shard to shard."""

    def __init__(self, jobs: int) -> None:
        self.workers: list[_Worker] = []
        # One of the readers is a thread of this process, whose rows need no copy: the
        # parent's own work is little, and it waits while the readers read.
        self.here: dict[str, pa.Table] = {}
        try:
            mine, theirs = multiprocessing.Pipe()
            self.workers.append(_Worker(_Thread(theirs, self.here), mine))
            for _ in range(jobs - 1):
                mine, theirs = socket.socketpair()
                process = subprocess.Popen([sys.executable, "-m", "kavrel._shard_worker", str(theirs.fileno())],
                                           pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL, env=_WORKER_ENV)
                theirs.close()
                self.workers.append(_Worker(process, multiprocessing.connection.Connection(mine.detach())))
        except BaseException:
            self.close()
            raise

    def run(self, tasks: Sequence[Task], chain: Chain, alerts: bytes | None,
            ahead: int) -> Iterator[tuple[Task, Summary, pa.Table | None]]:
        """Each task with its summary and rows (None: one pass reads none of it), in task order;
        at most `ahead` tasks run or wait beyond the one being handed out."""
        tasks = list(tasks)
        results: dict[int, tuple[Summary, str]] = {}
        following = 0
        for w in self.workers:
            w.sent_alerts = False
        for index in range(len(tasks)):
            while True:
                while index not in results:
                    while following < len(tasks) and following - index <= ahead and (idle := self._idle()):
                        self._send(idle, tasks, following, alerts)
                        following += 1
                    self._take_result(tasks, results)
                summary, path = results.pop(index)
                verdict, answer = chain.decide(tasks[index].shard, summary)
                if verdict != "redo":
                    break
                # The range is read again from the record the walk before it met.
                _discard(path, self.here)
                old = tasks[index]
                tasks[index] = Task(old.shard.exactly_at(answer), old.table, old.columns, old.batch_size, old.labelled)
                while not self._idle():
                    self._take_result(tasks, results)
                self._send(self._idle(), tasks, index, alerts)
            if verdict == "skip":
                _discard(path, self.here)
                yield tasks[index], summary, None
                continue
            rows = self.here.pop(path) if path in self.here else _map_rows(path)
            if answer is not None:
                rows = mend(rows, answer)
            yield tasks[index], summary, rows

    def _send(self, w: _Worker | None, tasks: Sequence[Task], index: int, alerts: bytes | None) -> None:
        assert w is not None
        task = tasks[index]
        if alerts is not None and not w.sent_alerts:
            task = Task(task.shard, task.table, task.columns, task.batch_size, task.labelled, alerts)
            w.sent_alerts = True
        try:
            w.conn.send(task)
        except OSError:
            raise WorkerDied(f"{task.shard.where()}: the worker given it had died "
                             f"(exit status {w.process.wait()})") from None
        w.task = index

    def _take_result(self, tasks: Sequence[Task], results: dict[int, tuple[Summary, str]]) -> None:
        """Waits for a worker to finish its task, and keeps what it made."""
        busy = [w for w in self.workers if w.task is not None]
        ready = multiprocessing.connection.wait([w.conn for w in busy])
        w = next(x for x in busy if x.conn in ready)
        shard = tasks[w.task].shard
        try:
            kind, value = w.conn.recv()
        except (EOFError, OSError):
            raise WorkerDied(f"{shard.where()}: the worker reading it died (exit status {w.process.wait()})") from None
        if kind == "error":
            name, os_errno, text = value
            if os_errno is not None:
                raise OSError(os_errno, f"{shard.where()}: {text}")
            raise RuntimeError(f"{shard.where()}: {name}: {text}")
        results[w.task] = value
        w.task = None

    def _idle(self) -> _Worker | None:
        return next((w for w in self.workers if w.task is None), None)

    def alive(self) -> bool:
        return all(w.process.poll() is None and w.task is None for w in self.workers)

    def close(self) -> None:
        for w in self.workers:
            if w.task is None:
                try:
                    w.conn.send(None)
                except OSError:
                    pass
        for w in self.workers:
            try:
                w.process.wait(timeout=2 if w.task is None else 0)
            except subprocess.TimeoutExpired:
                w.process.kill()
                w.process.wait()
            w.conn.close()


# Workers outlive one call: a process that reads captures in parallel once
# usually does again, and a worker takes a good part of a second to start.
_idle_pools: dict[int, Pool] = {}
_pools_lock = threading.Lock()


def take_pool(jobs: int) -> Pool:
    """A pool of `jobs` workers, idle ones kept from an earlier call if there are."""
    with _pools_lock:
        pool = _idle_pools.pop(jobs, None)
    if pool is not None and pool.alive():
        return pool
    if pool is not None:
        pool.close()
    return Pool(jobs)


def give_back(pool: Pool) -> None:
    """Keeps a pool whose workers are idle and well for the next call."""
    if not pool.alive():
        pool.close()
        return
    with _pools_lock:
        old = _idle_pools.pop(len(pool.workers), None)
        _idle_pools[len(pool.workers)] = pool
    if old is not None:
        old.close()


@atexit.register
def shutdown() -> None:
    """Stops the idle workers kept for later calls."""
    with _pools_lock:
        pools = list(_idle_pools.values())
        _idle_pools.clear()
    for pool in pools:
        pool.close()


def _map_rows(path: str | None) -> pa.Table | None:
    if path is None:
        return None
    try:
        return pa.ipc.open_stream(pa.memory_map(path)).read_all()
    finally:
        os.unlink(path)  # the mapping keeps the rows


# ---- the whole capture ------------------------------------------------------------------

class ParallelScan:
    """A capture's batches read by `jobs` workers, in order, with sequential counts."""

    def __init__(self, paths: list[str], table: str, columns: list[str], batch_size: int, jobs: int,
                 chunk_bytes: int, alerts: pa.RecordBatch | None, schema: pa.Schema) -> None:
        self.shards = plan(paths, chunk_bytes)
        self.table, self.columns, self.batch_size = table, columns, batch_size
        self.jobs = min(jobs, len(self.shards))
        self.alerts = alerts
        self.schema = schema
        self.totals: dict[str, int] = {}
        self.bytes_total = sum(os.stat(p).st_size for p in dict.fromkeys(paths))

    def stats(self) -> dict[str, int]:
        return {**self.totals, "bytes_total": self.bytes_total}

    def batches(self) -> Iterator[pa.RecordBatch]:
        labelled = self.alerts is not None
        tasks = [Task(s, self.table, self.columns, self.batch_size, labelled) for s in self.shards]
        alerts = ipc_bytes([self.alerts], self.alerts.schema) if self.alerts is not None else None
        chain = Chain(self.table == "features")
        matched: bytes | None = None
        damage: list[tuple[str, int, str]] = []
        pool = take_pool(self.jobs)
        finished = False
        try:
            for task, summary, rows in pool.run(tasks, chain, alerts, ahead=2 * self.jobs):
                if rows is None:
                    continue
                for key, value in summary.stats.items():
                    if key != "bytes_total":
                        self.totals[key] = self.totals.get(key, 0) + value
                damage.extend(summary.damage)
                if self.alerts is not None:
                    matched = summary.matched if matched is None else _or_bytes(matched, summary.matched)
                yield from rows.to_batches()
                if summary.failure is not None:
                    errno, text = summary.failure
                    raise OSError(errno, text)
            finished = True
        finally:
            # A run cut short (an error, Ctrl-C, a reader dropped) leaves workers mid-task: stopped.
            if finished:
                give_back(pool)
            else:
                pool.close()
        from kavrel.dataset import warn_damage, warn_unmatched

        for path, offset, text in damage:
            warn_damage(path, offset, text)
        if self.alerts is not None:
            warn_unmatched(self.alerts.num_rows - sum(matched or b""))

    def reader(self) -> pa.RecordBatchReader:
        return pa.RecordBatchReader.from_batches(self.schema, self.batches())


def _or_bytes(a: bytes, b: bytes) -> bytes:
    return (int.from_bytes(a, "little") | int.from_bytes(b, "little")).to_bytes(len(a), "little")
