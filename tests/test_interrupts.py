"""Ctrl-C and SIGTERM at any moment of a command: no abort, no traceback, nothing partial left,
130 or 143 (sniff: its files finished, 0). The short version of `make stress`, which runs the
same trials 200 times for each command (tests/interrupt_trials.py)."""

import os
import signal
import subprocess
import sys
import time

import pytest

import interrupt_trials as trials
from conftest import is_root

NAMES = ["features -", "features FILE", "packets -j 2", "alerts"] + (["sniff -G"] if is_root() else [])
# Moments from the interpreter's start to past the end of a run: before the command line has
# loaded, while outputs are opened, mid-run, and around the end.
MOMENTS = [(signal.SIGINT, 0.0, None), (signal.SIGTERM, 0.004, None), (signal.SIGINT, 0.15, None),
           (signal.SIGTERM, 0.5, 0.01), (signal.SIGINT, 1.2, 0.2), (signal.SIGTERM, 3.0, None)]


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    return trials.Setup.make(str(tmp_path_factory.mktemp("interrupts")), packets=60_000, log_lines=80_000)


@pytest.mark.parametrize("signum, delay, second", MOMENTS,
                         ids=[f"{signal.Signals(s).name}-{d}s" + ("-twice" if t else "") for s, d, t in MOMENTS])
@pytest.mark.parametrize("name", NAMES)
def test_a_signal_at_any_moment_leaves_nothing_behind(setup, tmp_path, name, signum, delay, second):
    trial = trials.commands(setup, str(tmp_path))[name]
    assert trials.run(trial, str(tmp_path), signum, delay, second) == []


def memfds(pid: int) -> list[str]:
    out = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/memfd:kavrel"):
            out.append(target)
    return out


KILLED_WORKER = """
import os, signal, sys, kavrel
reader = kavrel.scan_features(sys.argv[1:] * 20, jobs=2, chunk_bytes=20000, batch_size=50)
reader.read_next_batch()
with open(f"/proc/{os.getpid()}/task/{os.getpid()}/children") as fh:
    for pid in map(int, fh.read().split()):
        os.kill(pid, signal.SIGKILL)
try:
    for _ in reader:
        pass
except RuntimeError as exc:
    print("died:", exc)
print(len([fd for fd in os.listdir("/proc/self/fd")
           if os.path.exists(f"/proc/self/fd/{fd}") and "memfd:kavrel" in os.readlink(f"/proc/self/fd/{fd}")]))
"""


def test_a_killed_worker_leaves_no_memory_behind(setup):
    # A shard's rows live in a memory file without a name: nothing outlives whoever dies.
    before = trials.shm()
    r = subprocess.run([sys.executable, "-c", KILLED_WORKER, setup.capture], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    died, left = r.stdout.splitlines()
    assert died.startswith("died:") and "the worker" in died
    assert left == "0" and trials.shm() == before


def test_reading_threads_end_with_the_program(setup):
    # A scan given up mid-way by a program that then exits: its workers and reader thread are
    # stopped at exit, so the process ends cleanly (no abort), however many times it is done.
    code = ("import sys, kavrel\n"
            "r = kavrel.scan_packets(sys.argv[1:] * 4, jobs=2, chunk_bytes=30000, batch_size=100)\n"
            "r.read_next_batch()\n")
    for _ in range(10):
        r = subprocess.run([sys.executable, "-c", code, setup.capture], capture_output=True, text=True, timeout=120)
        assert r.returncode == 0 and r.stderr == "", r.stderr


@pytest.mark.skipif(not is_root(), reason="live capture needs root")
def test_ctrl_c_while_a_large_filter_compiles(tmp_path):
    # libpcap compiles it on a thread of its own: the command does not wait for it.
    expression = " or ".join(f"host 10.{i // 250}.{i % 250}.1" for i in range(600))  # some 15 s to compile
    proc = subprocess.Popen([*trials.KAVREL, "sniff", "-i", "lo", "-f", expression], stderr=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, text=True, cwd=tmp_path)
    time.sleep(1.0)
    started = time.monotonic()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert time.monotonic() - started < 1.0
    assert proc.returncode == 130 and err.splitlines() == ["kavrel: interrupted"]
