"""One capture read on many cores, with the rows of one sequential pass.

The capture is cut into shards: a file each, and a classic file larger than
the chunk size into byte ranges. `jobs` readers read them, one on a thread of
this process and the others in worker processes, and the rows come back in
order.

How the capture is cut and how the shards' reads are checked and chained in
order is kavrel._shards. A features shard counts with a table of its own and
sums its destinations up; the pass over those summaries gives each shard the
counts carried in from every shard before it, added in place to the rows of
each destination's first chain. Every `count` is the one a single pass gives.

A worker builds its shard's rows in an anonymous memory file and hands over
the file and where each buffer lies in it; this process maps the file and
reads the batches there, nothing copied.
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
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field

import pyarrow as pa

from kavrel import _engine, _shards
from kavrel._scan import ScanBase
from kavrel._shards import Chain, Summary, Task
from kavrel._warnings import read_failure


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
        try:
            if fds:  # this run's alerts, sent once per worker and run
                with open(fds.pop(0), "rb") as fh:
                    alerts = _shards.from_ipc(fh.read()).combine_chunks().to_batches()[0]
            if here is None:
                summary, rows = _shards.read(task, alerts, shared=True)
                rows_fd, description = rows.describe()
                chan.send(("done", index, summary, description), [rows_fd])
                del rows  # the parent has its own descriptor of the file now
            else:
                summary, rows = _shards.read(task, alerts, started=here.started)
                here.rows[index] = rows
                chan.send(("done", index, summary, None))
        except BaseException as exc:  # reported, with its type, by the parent
            try:
                chan.send(("error", index, (type(exc).__name__, getattr(exc, "errno", None), str(exc)), None))
            except OSError:
                return
        finally:
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
    rows: dict[int, _engine.ShardRows] = field(default_factory=dict)
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
        results: dict[int, _Result] = {}
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
                    result = results.pop(index)
                    verdict, answer = chain.decide(waiting[index].shard, result.summary)
                    if verdict != "redo":
                        break
                    # The range is read again from the record the walk before it met.
                    result.discard()
                    waiting[index] = waiting[index].redo(answer)  # type: ignore[arg-type]
                    while not self._idle():
                        self._take_result(waiting, results)
                    self._send(self._idle(), index, waiting[index], alerts)
                task = waiting.pop(index)
                if verdict == "skip":
                    result.discard()
                    yield task, result.summary, None
                    continue
                rows = result.take(task)
                if answer is not None:
                    rows.mend(answer)
                yield task, result.summary, pa.RecordBatchReader.from_stream(rows).read_all()
        finally:
            for result in results.values():
                result.discard()
            self.here.rows.clear()

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

    def _take_result(self, waiting: dict[int, Task], results: dict[int, _Result]) -> None:
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
        kind, index, value, description = message
        w.task = None
        if kind == "error":
            for fd in fds:
                os.close(fd)
            name, os_errno, text = value
            if os_errno is not None:
                raise OSError(os_errno, f"{shard.where()}: {text}")
            raise RuntimeError(f"{shard.where()}: {name}: {text}")
        if fds:
            results[index] = _Result(value, description, fds[0])
        else:
            results[index] = _Result(value, None, -1, self.here.rows.pop(index))

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


@dataclass
class _Result:
    """A shard read: its summary, and its rows -- held by the reader on a thread of this
    process, or in a worker's memory file (its descriptor, and where the buffers lie in it)."""
    summary: Summary
    description: bytes | None
    fd: int = -1
    here: _engine.ShardRows | None = None

    def take(self, task: Task) -> _engine.ShardRows:
        """The rows, mapped from the worker's file when they are in one."""
        if self.here is not None:
            rows, self.here = self.here, None
            return rows
        try:
            return _engine.ShardRows(self.fd, self.description, task.table, task.columns, task.labelled)
        finally:
            self.discard()  # the mapping keeps the file

    def discard(self) -> None:
        self.here = None
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


# ---- the whole capture ------------------------------------------------------------------

class ParallelScan(ScanBase):
    """A capture's batches read by `jobs` workers, in order, with sequential counts."""

    def __init__(self, paths: list[str], table: _shards.Table, columns: list[str], batch_size: int, jobs: int,
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

    def batches(self) -> Iterator[pa.RecordBatch]:
        labelled = self.alerts is not None
        tasks = (Task(s, self.table, self.columns, self.batch_size, labelled)
                 for s in _shards.shards(self.paths, self.chunk_bytes))
        alerts = _shards.to_ipc([self.alerts], self.alerts.schema) if self.alerts is not None else None
        chain = Chain(self.table == "features")
        matched: bytes | None = None
        damage: list[tuple[str, int, str]] = []
        # No more workers than shards: the plan is counted, not kept.
        jobs = min(self.jobs, _shards.count(self.paths, self.chunk_bytes, self.jobs))
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
                    raise read_failure(summary.failure)
            yield from small.flush()
            finished = True
        finally:
            self._pool = None
            # A run cut short (an error, Ctrl-C, a reader dropped) leaves workers mid-task: stopped.
            if finished:
                give_back(pool)
            else:
                pool.close()
        self.report(damage, self.alerts.num_rows - sum(matched or b"") if self.alerts is not None else 0)


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
