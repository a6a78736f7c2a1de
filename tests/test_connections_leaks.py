"""read_connections and scan_connections called over and over, in one process and on many cores:
memory blocks, resident size, descriptors, threads, worker processes and /dev/shm stay flat,
whether a table is read to its end, abandoned half-way, labelled, damaged or refused."""

from __future__ import annotations

import functools
import gc
import os
import sys
import threading
import warnings

import pytest

import connection_mix
import connection_traffic as ct
import kavrel
from kavrel import parallel
from test_leaks import SANITIZED, assert_flat, rss_kib


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    path = connection_mix.write(d / "mix.pcap", 6, n=400)
    data = open(path, "rb").read()
    (d / "cut.pcap").write_bytes(data[:len(data) // 2 + 5])
    stamp = kavrel.read_connections(path, columns=["ts"]).column("ts")[3].as_py()
    (d / "fast.log").write_text(stamp.strftime("%m/%d/%y-%H:%M:%S.%f") + "  [**] [1:1:1] m [**] [Priority: 1] "
                                "{UDP} 10.9.9.9:1 -> 10.9.9.8:2\n")
    return str(path)


def children() -> list[int]:
    out = []
    for task in os.listdir(f"/proc/{os.getpid()}/task"):
        try:
            with open(f"/proc/{os.getpid()}/task/{task}/children") as fh:
                out += [int(p) for p in fh.read().split()]
        except FileNotFoundError:  # a thread that has just ended
            pass
    return sorted(out)


def shm() -> list[str]:
    """What of /dev/shm this process and its workers hold open or mapped, and kavrel's own names
    there: other programs on the machine use /dev/shm too."""
    held = {os.path.join("/dev/shm", n) for n in os.listdir("/dev/shm") if n.startswith("kavrel")}
    for pid in ["self", *map(str, children())]:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    held.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
                except OSError:
                    pass
            with open(f"/proc/{pid}/maps") as fh:
                held.update(line.split(None, 5)[-1].strip() for line in fh if " /dev/shm/" in line)
        except OSError:  # a worker gone meanwhile
            pass
    return sorted(h for h in held if h.startswith("/dev/shm/"))


def fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def threads() -> list[str]:
    return sorted(t.name for t in threading.enumerate())


def quietly(step):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            step()
    return run


def half_way(path, **kwargs):
    reader = kavrel.scan_connections(path, batch_size=5, **ct.SETTINGS, **kwargs)
    reader.read_next_batch()
    del reader


@functools.cache
def _alerts(log: str):
    return kavrel.read_alerts(log, tz="UTC")


def steps(path: str) -> dict:
    d = os.path.dirname(path)
    return {
        "read": lambda: kavrel.read_connections(path, **ct.SETTINGS),
        "own-columns": lambda: kavrel.read_connections(path, columns=["uid", "conn_state"]),
        "to-the-end": lambda: sum(b.num_rows for b in kavrel.scan_connections(path, batch_size=3)),
        "half-way": lambda: half_way(path),
        # The log read once: read per call, it is read on a thread of its own each time, and each
        # new thread's allocator cache shows in the RSS whatever is freed.
        "labelled": quietly(lambda: kavrel.read_connections(path, alerts=_alerts(os.path.join(d, "fast.log")))),
        "damaged": quietly(lambda: kavrel.read_connections(os.path.join(d, "cut.pcap"))),
        "missing": lambda: pytest.raises(FileNotFoundError, kavrel.read_connections, path + ".missing"),
        "refused": lambda: pytest.raises(ValueError, kavrel.read_connections, path, tcp_timeout=0),
    }


@pytest.mark.parametrize("name", list(steps("x")))
def test_one_process_stays_flat(capture, name):
    shm0 = shm()
    assert_flat(steps(capture)[name], 1000)
    assert shm() == shm0


@pytest.mark.parametrize("name", ["read", "half-way", "labelled", "damaged"])
def test_many_cores_stay_flat(capture, name):
    def step():
        # Small ranges: every call is many shards over the kept workers.
        if name == "half-way":
            half_way(capture, jobs=2, chunk_bytes=2000)
        else:
            d = os.path.dirname(capture)
            source = os.path.join(d, "cut.pcap") if name == "damaged" else capture
            extra = {"alerts": os.path.join(d, "fast.log"), "alerts_tz": "UTC"} if name == "labelled" else {}
            quietly(lambda: kavrel.read_connections(source, jobs=2, chunk_bytes=2000, **extra))()

    assert_bounded(step, 20 if name == "half-way" else 100)


def assert_bounded(step, n: int) -> None:
    """Like test_leaks.assert_flat, for runs on many cores: the workers keep a few memory files
    free for the next shards, fewer or more as the runs' timing has it, so descriptors, threads
    and worker processes must stay within what the first n runs reached, not at one count."""
    def usage():
        gc.collect()
        return sys.getallocatedblocks(), rss_kib()

    def peak(runs):
        top = (0, 0, 0)
        for _ in range(runs):
            step()
            gc.collect()
            top = tuple(map(max, top, (fds(), len(children()), len(threads()))))
        return top

    warm = peak(n)
    blocks0, rss0 = usage()
    shm0 = shm()
    later = peak(n)
    assert all(a <= b for a, b in zip(later, warm)), f"descriptors, workers, threads: {later}, at first {warm}"
    blocks1, rss1 = usage()
    assert blocks1 - blocks0 < 500, f"{blocks1 - blocks0} blocks more"
    # Arrow's allocator keeps freed pages for a while: a few megabytes come and go.
    assert SANITIZED or rss1 - rss0 < 8192, f"{rss1 - rss0} KiB more"
    assert shm() == shm0


@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_a_reader_dropped_half_way_leaves_nothing_behind(capture, jobs):
    parallel.shutdown()
    gc.collect()
    before = (children(), threads(), fds(), shm())
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        reader = kavrel.scan_connections(capture, jobs=jobs, chunk_bytes=1000, batch_size=2, **ct.SETTINGS)
        reader.read_next_batch()
        if jobs > 2:  # two jobs are two threads of this process; more read shards in workers
            assert children()  # its workers were running
        del reader
        gc.collect()
    assert (children(), threads(), fds(), shm()) == before
    # Closed by the reader, not found open by the collector.
    assert [str(w.message) for w in seen if issubclass(w.category, ResourceWarning)] == []
