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
import errno
import itertools
import os
import pickle
import select
import signal
import socket
import subprocess
import sys
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field, replace

import pyarrow as pa

from kavrel import _engine

#: Byte ranges a large classic capture is cut into, by default.
DEFAULT_CHUNK_BYTES = 64 << 20
#: Smaller ranges are raised to this: a range costs a task, and one this small holds a few records.
MIN_CHUNK_BYTES = 512
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
    return list(shards(paths, chunk_bytes))


def shards(paths: Sequence[str], chunk_bytes: int) -> Iterator[Shard]:
    """The shards of a capture, in order, made as they are asked for: however small the
    chunks, the plan takes no memory."""
    for path in paths:
        if path == "-":
            raise ValueError("standard input cannot be read in parallel; read it with jobs=1")
        with open(path, "rb") as fh:
            classic = fh.read(4) in _CLASSIC_MAGICS
            size = os.fstat(fh.fileno()).st_size
        cuts = range(24 + chunk_bytes, size, chunk_bytes) if classic else range(0)
        bounds = itertools.chain([0], cuts, [NO_LIMIT])
        for k, (start, limit) in enumerate(itertools.pairwise(bounds)):
            yield Shard(path, start, limit, k > 0)


def job_count(jobs: object) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 0:
        raise ValueError(f"jobs must be a whole number, 0 for every core, not {jobs!r}")
    if jobs == 0:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return jobs


def check_chunk_bytes(chunk_bytes: object) -> int:
    if isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, int) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive whole number, not {chunk_bytes!r}")
    return max(chunk_bytes, MIN_CHUNK_BYTES)


# ---- one shard ----------------------------------------------------------------------

@dataclass
class Task:
    shard: Shard
    table: str
    columns: list[str]
    batch_size: int
    labelled: bool = False       # the rows are labelled by this run's alerts


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


def read_ipc(data: bytes | pa.Buffer) -> pa.Table:
    return pa.ipc.open_stream(pa.py_buffer(data) if isinstance(data, bytes) else data).read_all()


def _shard_batches(task: Task, alerts: pa.RecordBatch | None,
                   started: Callable[[_engine.Scan], None] | None = None
                   ) -> tuple[_engine.Scan, pa.RecordBatchReader]:
    capsules = alerts.__arrow_c_array__() if alerts is not None else None
    native = _engine.Scan([task.shard.source()], task.table, task.columns, task.batch_size, "auto", capsules,
                          task.table == "features")
    if started is not None:
        started(native)
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


def read_shard(task: Task, alerts: pa.RecordBatch | None, sink: pa.NativeFile) -> Summary:
    """Reads one shard into an Arrow IPC stream written to `sink` (a features shard with its
    mending columns); a failed read still keeps the rows before it."""
    native, stream = _shard_batches(task, alerts)
    with pa.ipc.new_stream(sink, stream.schema) as writer:
        for batch in _each_batch(native, stream):
            writer.write_batch(batch)
    return _summary_of(native)


def read_shard_here(task: Task, alerts: pa.RecordBatch | None,
                    started: Callable[[_engine.Scan], None] | None = None) -> tuple[Summary, pa.Table]:
    """read_shard for the reader in this process: the rows as they were built, not copied."""
    native, stream = _shard_batches(task, alerts, started)
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
# Each worker is a fresh interpreter (`python -m kavrel._shard_worker FD`) in a session of
# its own (Ctrl-C at the terminal reaches the parent only, which stops it), on one end of a
# sequenced-packet socket pair: it needs nothing of the program that started it, and its
# death shows as the end of its socket. A shard's rows come back in an anonymous memory file
# (memfd) whose descriptor travels over the socket: the file has no name, so nothing can be
# left behind whoever dies, and it is freed once the last descriptor and mapping are gone.

# Messages up to this size travel in the socket; a larger one goes in a memory file of its own.
_INLINE_BYTES = 32 << 10


class Channel:
    """Pickled messages, each with any descriptors it hands over, over one end of a
    SOCK_SEQPACKET socket pair."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock

    def fileno(self) -> int:
        return self.sock.fileno()

    def send(self, message: object, fds: Sequence[int] = ()) -> None:
        data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
        if len(data) <= _INLINE_BYTES:
            socket.send_fds(self.sock, [b"m" + data], list(fds))
            return
        big = memory_file("kavrel-message", data)
        try:
            socket.send_fds(self.sock, [b"f"], [big, *fds])
        finally:
            os.close(big)

    def recv(self) -> tuple[object, list[int]]:
        """The next message and the descriptors it brought (the caller closes them)."""
        data, fds, _, _ = socket.recv_fds(self.sock, _INLINE_BYTES + 1, 16)
        if not data:
            for fd in fds:
                os.close(fd)
            raise EOFError("the other end is gone")
        if data[:1] == b"m":
            return pickle.loads(data[1:]), fds
        with open(fds[0], "rb") as fh:  # closes it
            return pickle.loads(fh.read()), fds[1:]

    def close(self) -> None:
        self.sock.close()


def channel_pair() -> tuple[Channel, socket.socket]:
    mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    return Channel(mine), theirs


def memory_file(name: str, data: bytes = b"") -> int:
    """A descriptor on a new anonymous memory file holding `data`, positioned at its start."""
    fd = os.memfd_create(name, os.MFD_CLOEXEC)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.lseek(fd, 0, os.SEEK_SET)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _fd_path(fd: int) -> str:
    return f"/proc/self/fd/{fd}"


def worker(chan: Channel, here: _Here | None = None) -> None:
    """A worker's life: tasks in, rows out, until told to stop or the parent goes. `here` is
    given to the reader that runs on a thread of the parent: its rows stay in it rather than
    going through a memory file."""
    if here is None:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops the workers
    alerts = None
    while True:
        try:
            message, fds = chan.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        index, task = message
        rows_fd = -1
        try:
            if fds:  # this run's alerts, sent once per worker and run
                with open(fds.pop(0), "rb") as fh:
                    alerts = read_ipc(fh.read()).combine_chunks().to_batches()[0]
            labels = alerts if task.labelled else None
            if here is None:
                rows_fd = os.memfd_create("kavrel-rows", os.MFD_CLOEXEC)
                with pa.OSFile(_fd_path(rows_fd), "wb") as sink:
                    summary = read_shard(task, labels, sink)
                chan.send(("done", index, summary), [rows_fd])
            else:
                summary, rows = read_shard_here(task, labels, here.started)
                here.rows[index] = rows
                chan.send(("done", index, summary))
        except BaseException as exc:  # reported, with its type, by the parent
            try:
                chan.send(("error", index, (type(exc).__name__, getattr(exc, "errno", None), str(exc))))
            except OSError:
                return
        finally:
            if rows_fd >= 0:
                os.close(rows_fd)
            if here is not None:
                here.scan = None


# A worker is one thread of work: math libraries that numpy may load (through
# pyarrow) would otherwise start a thread per core that spins beside it.
_WORKER_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


class WorkerDied(RuntimeError):
    pass


class Cancelled(OSError):
    def __init__(self) -> None:
        super().__init__(errno.ECANCELED, "cancelled")


@dataclass
class _Here:
    """What the reader on a thread of this process shares with it."""
    rows: dict[int, pa.Table] = field(default_factory=dict)
    scan: _engine.Scan | None = None  # the shard being read

    def started(self, scan: _engine.Scan) -> None:
        self.scan = scan


class _Thread:
    """The reader on a thread of this process, with the little of Popen the pool uses."""

    def __init__(self, sock: socket.socket, here: _Here) -> None:
        self.here = here
        # A daemon, for a run whose batches were never finished: the pools still open at exit
        # are closed then (see stop_all), which stops it before the interpreter goes.
        self.thread = threading.Thread(target=worker, args=(Channel(sock), here), name="kavrel-shard-reader",
                                       daemon=True)
        self.thread.start()

    def poll(self) -> int | None:
        return None if self.thread.is_alive() else 0

    def wait(self, timeout: float | None = None) -> int:
        self.thread.join(timeout)
        return 0

    def kill(self) -> None:
        # The shard being read gives up at once; the thread then sees its socket closed.
        scan = self.here.scan
        if scan is not None:
            scan.cancel()


@dataclass
class _Worker:
    process: subprocess.Popen | _Thread
    chan: Channel
    task: int | None = None  # the index of the task it runs
    sent_alerts: bool = False


class Pool:
    """Worker processes reading shards; results in order, counts carried from shard to shard."""

    def __init__(self, jobs: int) -> None:
        self.workers: list[_Worker] = []
        self.closed = False
        _open_pools.add(self)
        # One of the readers is a thread of this process, whose rows need no copy: the
        # parent's own work is little, and it waits while the readers read.
        self.here = _Here()
        self._cancel_r, self._cancel_w = os.pipe()
        os.set_blocking(self._cancel_w, False)
        try:
            mine, theirs = channel_pair()
            self.workers.append(_Worker(_Thread(theirs, self.here), mine))
            for _ in range(jobs - 1):
                mine, theirs = channel_pair()
                try:
                    process = subprocess.Popen(
                        [sys.executable, "-m", "kavrel._shard_worker", str(theirs.fileno())],
                        pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL, env=_WORKER_ENV,
                        start_new_session=True)
                finally:
                    theirs.close()
                self.workers.append(_Worker(process, mine))
        except BaseException:
            self.close()
            raise

    def cancel(self) -> None:
        """Makes a run under way end with Cancelled as soon as it waits; any thread."""
        try:
            os.write(self._cancel_w, b"x")
        except (BlockingIOError, OSError):
            pass  # already told, or closed

    def run(self, tasks: Iterable[Task], chain: Chain, alerts: bytes | None,
            ahead: int) -> Iterator[tuple[Task, Summary, pa.Table | None]]:
        """Each task with its summary and rows (None: one pass reads none of it), in task order;
        at most `ahead` tasks run or wait beyond the one being handed out."""
        upcoming = iter(tasks)
        waiting: dict[int, Task] = {}  # handed out or about to be, by index
        results: dict[int, tuple[Summary, int | None]] = {}
        following = 0
        exhausted = False
        for w in self.workers:
            w.sent_alerts = False
        try:
            for index in itertools.count():
                while True:
                    while index not in results:
                        while not exhausted and following - index <= ahead and (idle := self._idle()):
                            task = next(upcoming, None)
                            if task is None:
                                exhausted = True
                                break
                            waiting[following] = task
                            self._send(idle, following, task, alerts)
                            following += 1
                        if index >= following:
                            return
                        self._take_result(waiting, results)
                    summary, fd = results.pop(index)
                    verdict, answer = chain.decide(waiting[index].shard, summary)
                    if verdict != "redo":
                        break
                    # The range is read again from the record the walk before it met.
                    self._discard(index, fd)
                    old = waiting[index]
                    waiting[index] = replace(old, shard=old.shard.exactly_at(answer))
                    while not self._idle():
                        self._take_result(waiting, results)
                    self._send(self._idle(), index, waiting[index], alerts)
                task = waiting.pop(index)
                if verdict == "skip":
                    self._discard(index, fd)
                    yield task, summary, None
                    continue
                rows = self.here.rows.pop(index) if fd is None else _map_rows(fd)
                if answer is not None:
                    rows = mend(rows, answer)
                yield task, summary, rows
        finally:
            for _, fd in results.values():
                if fd is not None:
                    os.close(fd)
            self.here.rows.clear()

    def _discard(self, index: int, fd: int | None) -> None:
        if fd is None:
            self.here.rows.pop(index, None)
        else:
            os.close(fd)

    def _send(self, w: _Worker | None, index: int, task: Task, alerts: bytes | None) -> None:
        assert w is not None
        fds = []
        if alerts is not None and not w.sent_alerts:
            fds.append(memory_file("kavrel-alerts", alerts))
            w.sent_alerts = True
        try:
            w.chan.send((index, task), fds)
        except OSError:
            raise WorkerDied(f"{task.shard.where()}: the worker given it had died "
                             f"(exit status {w.process.wait()})") from None
        finally:
            for fd in fds:
                os.close(fd)
        w.task = index

    def _take_result(self, waiting: dict[int, Task], results: dict[int, tuple[Summary, int | None]]) -> None:
        """Waits for a worker to finish its task, and keeps what it made."""
        busy = [w for w in self.workers if w.task is not None]
        ready, _, _ = select.select([w.chan for w in busy] + [self._cancel_r], [], [])
        if self._cancel_r in ready:
            raise Cancelled()
        w = next(x for x in busy if x.chan in ready)
        shard = waiting[w.task].shard
        try:
            message, fds = w.chan.recv()
        except (EOFError, OSError):
            raise WorkerDied(f"{shard.where()}: the worker reading it died (exit status {w.process.wait()})") from None
        kind, index, value = message
        w.task = None
        if kind == "error":
            name, os_errno, text = value
            if os_errno is not None:
                raise OSError(os_errno, f"{shard.where()}: {text}")
            raise RuntimeError(f"{shard.where()}: {name}: {text}")
        results[index] = (value, fds[0] if fds else None)

    def _idle(self) -> _Worker | None:
        return next((w for w in self.workers if w.task is None), None)

    def alive(self) -> bool:
        return all(w.process.poll() is None and w.task is None for w in self.workers)

    def close(self) -> None:
        """Stops every worker: idle ones are told to, busy ones are killed (the reader on a thread
        has its shard cancelled); each is waited for, so none outlives the pool."""
        if self.closed:
            return
        self.closed = True
        for w in self.workers:
            if w.task is None:
                try:
                    w.chan.send(None)
                except OSError:
                    pass
            else:
                w.process.kill()
        for w in self.workers:
            if isinstance(w.process, _Thread):
                w.chan.close()  # whatever it was doing is cancelled: it sees the end of its socket
                w.process.wait()
                continue
            try:
                w.process.wait(timeout=2 if w.task is None else 0.5)
            except subprocess.TimeoutExpired:
                w.process.kill()
                w.process.wait()
            w.chan.close()
        for fd in (self._cancel_r, self._cancel_w):
            try:
                os.close(fd)
            except OSError:
                pass
        self._cancel_r = self._cancel_w = -1


# Workers outlive one call: a process that reads captures in parallel once
# usually does again, and a worker takes a good part of a second to start.
_idle_pools: dict[int, Pool] = {}
_pools_lock = threading.Lock()


def take_pool(jobs: int) -> Pool:
    """A pool of `jobs` workers, idle ones kept from an earlier call if there are."""
    with _pools_lock:
        pool = _idle_pools.pop(jobs, None)
    if pool is not None and pool.alive():
        _drain(pool)
        return pool
    if pool is not None:
        pool.close()
    return Pool(jobs)


def _drain(pool: Pool) -> None:
    """Forgets a cancel that came after the pool's last run ended."""
    while select.select([pool._cancel_r], [], [], 0)[0]:
        os.read(pool._cancel_r, 64)


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


# Every pool not yet closed: a run whose batches were left unfinished (an exception in the
# program reading them) still has workers, and a reader on a thread of this process.
_open_pools: weakref.WeakSet[Pool] = weakref.WeakSet()


@atexit.register
def stop_all() -> None:
    """Stops every worker, idle or mid-run: at exit, before the interpreter stops its threads,
    so that no reader is then inside native code, where a thread stopped by the interpreter's
    end aborts the process."""
    shutdown()
    for pool in list(_open_pools):
        pool.close()


def _map_rows(fd: int) -> pa.Table:
    try:
        return pa.ipc.open_stream(pa.memory_map(_fd_path(fd))).read_all()
    finally:
        os.close(fd)  # the mapping keeps the rows


# ---- the whole capture ------------------------------------------------------------------

class ParallelScan:
    """A capture's batches read by `jobs` workers, in order, with sequential counts."""

    def __init__(self, paths: list[str], table: str, columns: list[str], batch_size: int, jobs: int,
                 chunk_bytes: int, alerts: pa.RecordBatch | None, schema: pa.Schema) -> None:
        self.paths, self.chunk_bytes = paths, chunk_bytes
        self.table, self.columns, self.batch_size = table, columns, batch_size
        self.jobs = jobs
        self.alerts = alerts
        self.schema = schema
        self.totals: dict[str, int] = {}
        self.bytes_total = sum(os.stat(p).st_size for p in dict.fromkeys(paths))
        self._pool: Pool | None = None
        self._cancelled = False

    def stats(self) -> dict[str, int]:
        return {**self.totals, "bytes_total": self.bytes_total}

    def cancel(self) -> None:
        """Makes the batches end with OSError(ECANCELED) as soon as they can; any thread."""
        self._cancelled = True
        pool = self._pool
        if pool is not None:
            pool.cancel()

    def close(self) -> None:
        pass  # every worker is stopped or handed back when the batches end

    def __enter__(self) -> ParallelScan:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def batches(self) -> Iterator[pa.RecordBatch]:
        labelled = self.alerts is not None
        tasks = (Task(s, self.table, self.columns, self.batch_size, labelled)
                 for s in shards(self.paths, self.chunk_bytes))
        alerts = ipc_bytes([self.alerts], self.alerts.schema) if self.alerts is not None else None
        chain = Chain(self.table == "features")
        matched: bytes | None = None
        damage: list[tuple[str, int, str]] = []
        # No more workers than shards: the plan is counted, not kept.
        jobs = min(self.jobs, sum(1 for _ in itertools.islice(shards(self.paths, self.chunk_bytes), self.jobs)))
        pool = self._pool = take_pool(jobs)
        if self._cancelled:
            pool.cancel()
        finished = False
        small = _Coalescer(self.batch_size, self.schema)
        try:
            for task, summary, rows in pool.run(tasks, chain, alerts, ahead=2 * jobs):
                if rows is None:
                    continue
                for key, value in summary.stats.items():
                    if key != "bytes_total":
                        self.totals[key] = self.totals.get(key, 0) + value
                damage.extend(summary.damage)
                if self.alerts is not None:
                    matched = summary.matched if matched is None else _or_bytes(matched, summary.matched)
                yield from small.add(rows)
                if summary.failure is not None:
                    yield from small.flush()
                    errno_, text = summary.failure
                    raise OSError(errno_, text)
            yield from small.flush()
            finished = True
        finally:
            self._pool = None
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


class _Coalescer:
    """Shards' rows as batches of about `batch_size` rows: a large shard's batches as they are,
    small shards' rows gathered into one batch (copied, so that no small mapping stays alive)."""

    def __init__(self, batch_size: int, schema: pa.Schema) -> None:
        self.batch_size, self.schema = batch_size, schema
        self.held: list[pa.RecordBatch] = []
        self.rows = 0

    def add(self, table: pa.Table) -> Iterator[pa.RecordBatch]:
        if self.rows == 0 and table.num_rows >= self.batch_size // 4:
            yield from table.to_batches()
            return
        self.held.extend(table.to_batches())
        self.rows += table.num_rows
        if self.rows >= self.batch_size // 4:
            yield from self.flush()

    def flush(self) -> Iterator[pa.RecordBatch]:
        if self.rows:
            yield from pa.Table.from_batches(self.held, self.schema).combine_chunks().to_batches()
        self.held, self.rows = [], 0


def _or_bytes(a: bytes, b: bytes) -> bytes:
    return (int.from_bytes(a, "little") | int.from_bytes(b, "little")).to_bytes(len(a), "little")
