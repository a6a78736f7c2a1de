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
import collections
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
# Each worker is a fresh interpreter (`python -m kavrel._shard_worker FD GIVEBACK`) in a session of
# its own (Ctrl-C at the terminal reaches the parent only, which stops it), on one end of a
# sequenced-packet socket pair: it needs nothing of the program that started it, and its
# death shows as the end of its socket. A shard's rows come back in an anonymous memory file
# (memfd) whose descriptor travels over the socket: the file has no name, so nothing can be
# left behind whoever dies, and it is freed once the last descriptor and mapping are gone.

# Messages up to this size may travel in the socket (a shard's summary of its destinations is
# commonly a few hundred kilobytes); a larger one, or one the socket's buffer cannot take, goes
# in a memory file of its own.
_INLINE_BYTES = 1 << 20


class Channel:
    """Pickled messages, each with any descriptors it hands over, over one end of a
    SOCK_SEQPACKET socket pair."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        try:  # capped by the system's limit
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 2 * _INLINE_BYTES)
        except OSError:
            pass
        # A datagram takes some of the buffer beyond its bytes.
        self.inline = min(_INLINE_BYTES, sock.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF) // 2 - 4096)

    def fileno(self) -> int:
        return self.sock.fileno()

    def send(self, message: object, fds: Sequence[int] = (), wait: bool = True) -> None:
        """`wait` False: BlockingIOError rather than waiting for room (a run being torn down
        must not wait on a worker that is not reading)."""
        data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
        flags = 0 if wait else socket.MSG_DONTWAIT
        if len(data) <= self.inline:
            try:
                socket.send_fds(self.sock, [b"m" + data], list(fds), flags)
                return
            except OSError as exc:
                if exc.errno != errno.EMSGSIZE:
                    raise
        big = memory_file("kavrel-message", data)
        try:
            socket.send_fds(self.sock, [b"f"], [big, *fds], flags)
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


class _Memories:
    """A worker's memory files: each lent to the parent with a shard's rows, and given back
    (its number on the giveback socket) once the parent holds no batch over it; one given
    back is written over by a later shard, whose pages then need not be faulted in again.
    What is kept free is bounded; a lent file forgotten (past the bound) is only closed here,
    the parent's mapping keeps what it still reads."""

    KEEP_FREE_BYTES = 256 << 20
    KEEP_LENT = 32  # each reserves address space for a shard of any size

    def __init__(self, giveback: socket.socket) -> None:
        self.giveback = giveback
        giveback.setblocking(False)
        self.lent: dict[int, _engine.MemoryFile] = {}
        self.free: list[_engine.MemoryFile] = []
        self.numbers = itertools.count(1)

    def take(self) -> tuple[int, _engine.MemoryFile]:
        self._collect()
        return next(self.numbers), self.free.pop() if self.free else _engine.MemoryFile()

    def lend(self, number: int, memory: _engine.MemoryFile) -> None:
        self.lent[number] = memory
        while len(self.lent) > self.KEEP_LENT:
            del self.lent[next(iter(self.lent))]

    def keep(self, memory: _engine.MemoryFile) -> None:
        """A file back for good (given back, or its shard failed): kept free while the bound allows."""
        try:
            memory.reset()
        except ValueError:  # its rows are still held here, being let go: it goes with them
            return
        if sum(m.capacity() for m in self.free) + memory.capacity() <= self.KEEP_FREE_BYTES:
            self.free.append(memory)

    def _collect(self) -> None:
        while True:
            try:
                data = self.giveback.recv(8)
            except OSError:  # none waiting (or the parent is gone)
                return
            memory = self.lent.pop(int.from_bytes(data, sys.byteorder), None)
            if memory is not None:
                self.keep(memory)


class _Mender:
    """A worker's features shards, held after they are handed over until the parent says what
    their counts carry in; mended here, in pages this process has mapped already (the parent
    would fault in every page it wrote to), on a thread of its own so that the next shard's
    reading goes on meanwhile, then let go."""

    def __init__(self, chan: Channel) -> None:
        self.chan = chan
        self.held: dict[int, _engine.ShardRows] = {}
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._serve, name="kavrel-mender")
        self.thread.start()

    def hold(self, number: int, rows: _engine.ShardRows) -> None:
        with self.lock:
            self.held[number] = rows

    def _serve(self) -> None:
        while True:
            try:
                (number, carry, answer), _ = self.chan.recv()
            except (EOFError, OSError, ValueError):
                return
            with self.lock:
                rows = self.held.pop(number, None)
            if rows is not None and carry:
                rows.mend(carry)
            rows = None
            if answer:
                try:
                    self.chan.send(("mended", number))
                except OSError:
                    return

    def stop(self) -> None:
        try:
            self.chan.sock.shutdown(socket.SHUT_RDWR)  # ends its wait
        except OSError:
            pass
        self.thread.join()


def worker(chan: Channel, here: _Here | None = None, giveback: socket.socket | None = None,
           mend: Channel | None = None) -> None:
    """A worker's life: tasks in, rows out, until told to stop or the parent goes. `here` is
    given to the reader that runs on a thread of the parent: its rows stay in it rather than
    going through a memory file."""
    if here is None:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops the workers
    memories = _Memories(giveback) if giveback is not None else None
    mender = _Mender(mend) if mend is not None else None
    try:
        _work(chan, here, memories, mender)
    finally:
        if mender is not None:
            mender.stop()
        chan.close()


def _work(chan: Channel, here: _Here | None, memories: _Memories | None, mender: _Mender | None) -> None:
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
            if memories is not None:
                number, memory = memories.take()
                try:
                    summary, rows = _shards.read(task, alerts, shared=memory)
                    rows_fd, description = rows.describe()
                    if mender is not None and task.table == "features":
                        mender.hold(number, rows)
                    chan.send(("done", index, summary, (description, number)), [rows_fd])
                except BaseException:
                    rows = None
                    memories.keep(memory)
                    raise
                rows = None  # the parent maps the file now
                memories.lend(number, memory)
            else:
                shared = here.memory() if task.table == "connections" else None
                summary, rows = _shards.read(task, alerts, shared=shared, started=here.started)
                if shared is not None:
                    here.memories[index] = shared
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


# Tasks a worker holds at once: the one it reads and the next.
_QUEUED = 2


# How long a wait of this process's main thread lasts at most before it looks again: a signal
# that reaches another thread only sets a flag, which the main thread sees between waits.
_LOOK_SECONDS = 0.1


def _wait_readable(channels: list) -> list:
    """Those of `channels` (sockets, Channels, descriptors) ready to be read, waiting for one;
    Ctrl-C raises in the wait, whichever thread the signal reached."""
    while True:
        ready, _, _ = select.select(channels, [], [], _LOOK_SECONDS)
        if ready:
            return ready


def _result_of(future: object) -> object:
    """future.result(), in waits short enough that Ctrl-C raises in it (see _wait_readable)."""
    import concurrent.futures

    while True:
        try:
            return future.result(timeout=_LOOK_SECONDS)  # type: ignore[attr-defined]
        except concurrent.futures.TimeoutError:
            continue


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
    # Memory files for connections shards, kept for the next once their events are assembled:
    # written over, their pages need not be faulted in again.
    free: list[_engine.MemoryFile] = field(default_factory=list)
    memories: dict[int, _engine.MemoryFile] = field(default_factory=dict)  # by task, until taken
    lock: threading.Lock = field(default_factory=threading.Lock)

    def started(self, scan: _engine.Scan) -> None:
        self.scan = scan

    def memory(self) -> _engine.MemoryFile:
        with self.lock:
            return self.free.pop() if self.free else _engine.MemoryFile()

    def give_back(self, memory: _engine.MemoryFile) -> None:
        try:
            memory.reset()
        except ValueError:  # still held elsewhere: it goes with its holder
            return
        with self.lock:
            if len(self.free) < _QUEUED + 2:
                self.free.append(memory)


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
    giveback: socket.socket | None = None  # where its memory files go back, once unmapped
    mend: Channel | None = None            # where its features shards are mended
    # The indices of the tasks it runs and has queued: the next is there before the last is
    # done, so that it never waits for this process to hand one out.
    tasks: collections.deque[int] = field(default_factory=collections.deque)
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
                mend, mend_theirs = channel_pair()
                back, back_theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
                try:
                    fds = (theirs.fileno(), back_theirs.fileno(), mend_theirs.fileno())
                    process = subprocess.Popen(
                        [sys.executable, "-m", "kavrel._shard_worker", *map(str, fds)], pass_fds=fds,
                        stdin=subprocess.DEVNULL, env=_WORKER_ENV, start_new_session=True)
                except BaseException:
                    back.close()
                    mend.close()
                    raise
                finally:
                    for sock in (theirs, back_theirs, mend_theirs):
                        sock.close()
                self.workers.append(_Worker(process, mine, back, mend))
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
            ahead: int) -> Iterator[tuple[Task, Summary, pa.Table | Events | None]]:
        """Each task with its summary and rows (None: one pass reads none of it; a connections
        task: its events), in task order; at most `ahead` tasks run or wait beyond the one being
        handed out."""
        upcoming = iter(tasks)
        waiting: dict[int, Task] = {}  # handed out or about to be, by index
        results: dict[int, _Result] = {}
        following = 0
        exhausted = False
        unplanned: OSError | None = None  # the plan failed here (a file gone): raised in its turn
        for w in self.workers:
            w.sent_alerts = False
        try:
            for index in itertools.count():
                while True:
                    while index not in results:
                        while not exhausted and following - index <= ahead and (idle := self._idle()):
                            try:
                                task = next(upcoming, None)
                            except OSError as exc:
                                unplanned, task = exc, None
                            if task is None:
                                exhausted = True
                                break
                            waiting[following] = task
                            self._send(idle, following, task, alerts)
                            following += 1
                        if index >= following:
                            if unplanned is not None:
                                raise unplanned
                            return
                        self._take_result(waiting, results)
                    result = results.pop(index)
                    if result.error is not None:
                        if not (waiting[index].shard.guess and chain.file_done):
                            raise result.error
                        # A range one pass would not read: its failure is none of the run's.
                        verdict, result = "skip", _Result(Summary((None, None), b"", {}, [], b"", None), None)
                        break
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
                if task.table == "connections":
                    yield task, result.summary, result.events()
                    continue
                mended_there = result.mender is not None
                if mended_there:
                    self._mended(result, answer)  # type: ignore[arg-type]
                rows = result.take(task)
                if answer is not None and not mended_there:
                    rows.mend(answer)
                yield task, result.summary, pa.RecordBatchReader.from_stream(rows).read_all()
        finally:
            for result in results.values():
                result.discard()
            self.here.rows.clear()
            self.here.memories.clear()

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
        w.tasks.append(index)

    def _take_result(self, waiting: dict[int, Task], results: dict[int, _Result]) -> None:
        """Waits for a worker to finish its task, and keeps what it made."""
        busy = [w for w in self.workers if w.tasks]
        ready = _wait_readable([w.chan for w in busy] + [self._cancel_r])
        if self._cancel_r in ready:
            raise Cancelled()
        w = next(x for x in busy if x.chan in ready)
        shard = waiting[w.tasks[0]].shard
        try:
            message, fds = w.chan.recv()
        except (EOFError, OSError):
            raise WorkerDied(f"{shard.where()}: the worker reading it died (exit status {w.process.wait()})") from None
        kind, index, value, description = message
        w.tasks.popleft()
        if kind == "error":
            for fd in fds:
                os.close(fd)
            name, os_errno, text = value
            # Raised when its turn comes: the shards before it give their rows first, as one pass would.
            error = (OSError(os_errno, f"{shard.where()}: {text}") if os_errno is not None
                     else RuntimeError(f"{shard.where()}: {name}: {text}"))
            results[index] = _Result(None, None, error=error)  # type: ignore[arg-type]
            return
        if fds:
            description, number = description
            mender = w.mend if waiting[index].table == "features" else None
            results[index] = _Result(value, description, fds[0], giveback=w.giveback, memory=number, mender=mender)
        else:
            results[index] = _Result(value, None, -1, self.here.rows.pop(index))
            memory = self.here.memories.pop(index, None)
            if memory is not None:
                results[index].back = (self.here, memory)

    def _mended(self, result: _Result, carry: bytes | None) -> None:
        """Has the worker that holds a features shard add its carries, and waits till it has."""
        mender = result.mender
        assert mender is not None
        result.mender = None
        try:
            mender.send((result.memory, carry, True))
            ready = _wait_readable([mender, self._cancel_r])
            if self._cancel_r in ready:
                raise Cancelled()
            message, _ = mender.recv()
        except (EOFError, OSError) as exc:
            if isinstance(exc, Cancelled):
                raise
            raise WorkerDied("a worker died mending its rows") from None
        if message != ("mended", result.memory):
            raise WorkerDied(f"a worker answered {message!r} to a mend")

    def _idle(self) -> _Worker | None:
        """The worker with the fewest tasks, if it has room for one more."""
        w = min(self.workers, key=lambda w: len(w.tasks))
        return w if len(w.tasks) < _QUEUED else None

    def alive(self) -> bool:
        return all(w.process.poll() is None and not w.tasks for w in self.workers)

    def close(self) -> None:
        """Stops every worker: idle ones are told to, busy ones are killed (the reader on a thread
        has its shard cancelled); each is waited for, so none outlives the pool."""
        if self.closed:
            return
        self.closed = True
        for w in self.workers:
            if not w.tasks:
                try:
                    w.chan.send(None, wait=False)
                except OSError:
                    w.process.kill()
            else:
                w.process.kill()
        for w in self.workers:
            if isinstance(w.process, _Thread):
                w.chan.close()  # whatever it was doing is cancelled: it sees the end of its socket
                w.process.wait()
                continue
            try:
                w.process.wait(timeout=2 if not w.tasks else 0.5)
            except subprocess.TimeoutExpired:
                w.process.kill()
                w.process.wait()
            w.chan.close()
            for sock in (w.giveback, w.mend):
                if sock is not None:
                    sock.close()
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
    process, or in a worker's memory file (its descriptor, where the buffers lie in it, and
    the file's number, which goes back to the worker once nothing here maps it)."""
    summary: Summary
    description: bytes | None
    fd: int = -1
    here: _engine.ShardRows | None = None
    giveback: socket.socket | None = None
    memory: int = 0
    mender: Channel | None = None  # the worker holding the rows until they are mended
    back: tuple[_Here, _engine.MemoryFile] | None = None  # where a connections shard's file goes back
    error: BaseException | None = None  # the shard's read failed: raised in its turn

    def take(self, task: Task) -> _engine.ShardRows:
        """The rows, mapped from the worker's file when they are in one."""
        if self.here is not None:
            rows, self.here = self.here, None
            return rows
        try:
            rows = _engine.ShardRows(self.fd, self.description, task.table, task.columns, task.labelled,
                                     giveback=self.giveback.fileno() if self.giveback else -1, memory=self.memory)
        except BaseException:
            self.discard()
            raise
        self.giveback = None  # the mapping gives the file back
        self._close()
        return rows

    def events(self) -> Events:
        """A connections shard's events, where they lie."""
        if self.here is not None:
            native, self.here = self.here, None
            fd, description = native.describe()
            events = Events(fd, description, keep=native, back=self.back)
            self.back = None
            return events
        events = Events(self.fd, self.description, self.giveback, self.memory, own_fd=True)
        self.fd, self.giveback = -1, None
        return events

    def discard(self) -> None:
        """The rows not wanted: the worker lets go of them, and the file goes back to it at once."""
        self.here = None
        if self.mender is not None:
            try:
                self.mender.send((self.memory, None, False), wait=False)
            except OSError:
                pass  # the worker is going: its rows go with it
            self.mender = None
        if self.giveback is not None:
            try:
                self.giveback.send(self.memory.to_bytes(8, sys.byteorder), socket.MSG_DONTWAIT)
            except OSError:
                pass  # the worker makes a new file
            self.giveback = None
        self._close()

    def _close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


@dataclass
class Events:
    """A connections shard's packets as events by bucket, in a memory file: its descriptor and
    where each bucket's events lie. Released once every assembler has been fed them."""
    fd: int
    description: bytes
    giveback: socket.socket | None = None
    memory: int = 0
    own_fd: bool = False
    keep: object = None  # the reader's own object, when it was read on a thread of this process
    back: tuple[_Here, _engine.MemoryFile] | None = None

    def release(self) -> None:
        if self.giveback is not None:
            try:
                self.giveback.send(self.memory.to_bytes(8, sys.byteorder), socket.MSG_DONTWAIT)
            except OSError:
                pass  # the worker makes a new file
            self.giveback = None
        if self.own_fd and self.fd >= 0:
            os.close(self.fd)
        self.fd, self.keep = -1, None
        if self.back is not None:
            here, memory = self.back
            self.back = None
            here.give_back(memory)


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
        self.bytes_total = sum(os.stat(p).st_size for p in paths)  # a file given twice is read twice
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
            shards = pool.run(tasks, chain, alerts, ahead=2 * jobs)
            while True:
                try:
                    task, summary, rows = next(shards)
                except StopIteration:
                    break
                except Cancelled:
                    raise
                except OSError:
                    # A shard that could not be read (a file gone before its turn): the rows before it first.
                    yield from small.flush()
                    raise
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


# ---- the connection table ---------------------------------------------------------------
#
# A connection may span any number of shards, so a shard cannot build its rows alone. Each
# shard's reader files its IP packets as events by bucket (a hash of the connection key) with
# the clock between them; the buckets are dealt to `jobs` assemblers on threads of this
# process, each fed every shard's events of its buckets in shard order, which finish exactly
# the connections one pass finishes. Their rows are merged by uid: a row goes out once no
# assembler holds an open connection with a lower uid and no later shard can start one.

# Buckets per run: enough that a few busy keys still spread over the assemblers.
_BUCKETS = 64


class _Capsules:
    """A batch as the engine hands it over (schema and array capsules), for pa.record_batch."""

    def __init__(self, pair: tuple[object, object]) -> None:
        self.pair = pair

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self.pair


class ConnectionParallelScan(ScanBase):
    """A capture's connection table built by `jobs` readers and assemblers, equal to one pass."""

    row = "connection"

    def __init__(self, paths: list[str], columns: list[str], batch_size: int, jobs: int, chunk_bytes: int,
                 alerts: pa.RecordBatch | None, schema: pa.Schema, settings: object) -> None:
        self.paths, self.columns, self.batch_size = paths, columns, batch_size
        self.jobs, self.chunk_bytes = jobs, chunk_bytes
        self.alerts, self.schema, self.settings = alerts, schema, settings
        self.totals: dict[str, int] = {}
        self.bytes_total = sum(os.stat(p).st_size for p in paths)  # a file given twice is read twice
        self._pool: Pool | None = None
        self._cancelled = False

    def stats(self) -> dict[str, int]:
        return {**self.totals, "bytes_total": self.bytes_total}

    def cancel(self) -> None:
        self._cancelled = True
        pool = self._pool
        if pool is not None:
            pool.cancel()

    def batches(self) -> Iterator[pa.RecordBatch]:
        from concurrent.futures import ThreadPoolExecutor

        s = self.settings
        tasks = (Task(shard, "connections", [], self.batch_size, buckets=_BUCKETS)
                 for shard in _shards.shards(self.paths, self.chunk_bytes))
        jobs = min(self.jobs, _shards.count(self.paths, self.chunk_bytes, self.jobs))
        groups = [list(range(g, _BUCKETS, max(jobs, 1))) for g in range(max(jobs, 1))]
        assemblies = [_engine.BucketAssembly(s.timing(), g) for g in groups]
        merge = _engine.ConnectionMerge(self.columns, self.batch_size, s.time_window, s.host_window,
                                        self.alerts.__arrow_c_array__() if self.alerts is not None else None)
        # One thread per assembler: its shards are fed in order, and it runs beside the readers.
        threads = [ThreadPoolExecutor(1, thread_name_prefix="kavrel-assembler") for _ in assemblies]
        pending: collections.deque = collections.deque()
        damage: list[tuple[str, int, str]] = []
        failure = None
        raised: OSError | None = None
        pool = self._pool = take_pool(jobs)
        if self._cancelled:
            pool.cancel()
        finished = False

        def fed(assembly: _engine.BucketAssembly, events: Events, offset: int) -> tuple[bytes, int]:
            assembly.feed(events.fd, events.description, offset)
            return assembly.take_rows(), assembly.oldest_open_uid()

        def settle(entry: tuple) -> Iterator[pa.RecordBatch]:
            events, following, futures = entry
            bound = following  # no later shard starts a connection below its first frame
            try:
                for future in futures:
                    rows, oldest = _result_of(future)
                    merge.push(rows)
                    bound = min(bound, oldest)
            finally:
                events.release()
            for pair in merge.release(bound):
                yield pa.record_batch(_Capsules(pair))
            self.totals["rows"] = merge.rows()  # rows are connections

        try:
            offset = 0
            shards = pool.run(tasks, Chain(False), None, ahead=2 * jobs)
            while True:
                try:
                    _task, summary, events = next(shards)
                except StopIteration:
                    break
                except Cancelled:
                    raise
                except OSError as exc:
                    # A shard that could not be read (a file gone before its turn): as one pass, the
                    # connections read so far end and their rows come first.
                    raised = exc
                    break
                if events is None:
                    continue
                for key, value in summary.stats.items():
                    if key != "bytes_total":
                        self.totals[key] = self.totals.get(key, 0) + value
                damage.extend(summary.damage)
                futures = [t.submit(fed, a, events, offset) for t, a in zip(threads, assemblies)]
                offset += summary.frames
                pending.append((events, offset, futures))
                # The readers' memory files wait for the assemblers: only a few shards ahead.
                while pending and (len(pending) > jobs or all(f.done() for f in pending[0][2])):
                    yield from settle(pending.popleft())
                if summary.failure is not None:
                    failure = summary.failure  # one pass reads no further: what was read ends here
                    break
            while pending:
                yield from settle(pending.popleft())

            def finish(assembly: _engine.BucketAssembly) -> bytes:
                assembly.finish()
                return assembly.take_rows()

            for future in [t.submit(finish, a) for t, a in zip(threads, assemblies)]:
                merge.push(_result_of(future))
            for pair in merge.release(_shards.NO_LIMIT, True):
                yield pa.record_batch(_Capsules(pair))
            self.totals["rows"] = merge.rows()
            finished = failure is None and raised is None
        finally:
            self._pool = None
            for t in threads:
                t.shutdown(wait=True, cancel_futures=True)
            for events, _following, _futures in pending:
                events.release()
            if finished:
                give_back(pool)
            else:
                pool.close()
        if raised is not None:
            raise raised
        if failure is not None:
            raise read_failure(failure)
        self.report(damage, merge.unmatched_alerts() if self.alerts is not None else 0)
