"""Commands stopped by SIGINT or SIGTERM at varied moments, and what they must leave behind.

Each trial starts one command, waits a while, sends a signal (and, in some trials, a second one
right after), and checks how the command ended: no abort, no traceback, no file or shared-memory
segment left over, exit status 130 or 143 -- or, when the signal came after the output was
complete, status 0 with that output whole. `sniff` stops on a signal by design: it ends with 0,
its files complete and its summary's rows all in them.

    python tests/interrupt_trials.py [RUNS] [COMMAND...]     # make stress: 200 runs each

The short version runs inside the test suite (test_interrupts.py).
"""

from __future__ import annotations

import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pcapgen as pg  # noqa: E402

BIN = os.path.dirname(sys.executable)
KAVREL = [os.path.join(BIN, "kavrel")] if os.path.exists(os.path.join(BIN, "kavrel")) else [sys.executable, "-m",
                                                                                               "kavrel"]
ABORTS = ("Traceback", "terminate called", "Aborted", "Segmentation", "core dumped", "Exception ignored")
SUMMARY = re.compile(r"^kavrel: ([\d,]+) rows? written to ")


def capture(path: str, packets: int) -> str:
    """A capture of `packets` UDP and TCP frames to a few hundred destinations."""
    rng = random.Random(7)
    records = []
    for i in range(packets):
        dst = f"10.{i % 3}.{(i // 3) % 250}.{i % 200 + 1}"
        body = pg.udp(1000 + i % 999, 53, bytes(rng.randrange(40))) if i % 2 else pg.tcp(2000 + i % 999, 80)
        records.append(pg.Record(pg.eth(pg.ipv4("192.0.2.1", dst, 17 if i % 2 else 6, body)),
                                 ts_sec=1_700_000_000 + i // 1000, ts_usec=(i % 1000) * 1000))
    pg.write_pcap(path, records)
    return path


def alert_log(path: str, lines: int) -> str:
    line = ("01/15-10:23:{s:02d}.{f:06d}  [**] [1:2001219:20] ET SCAN Potential SSH Scan [**] "
            "[Classification: Attempted Information Leak] [Priority: 2] {{TCP}} 10.0.0.{a}:{p} -> 192.168.1.{b}:22\n")
    with open(path, "w") as fh:
        for i in range(lines):
            fh.write(line.format(s=i % 60, f=i % 999999, a=i % 250 + 1, p=1024 + i % 60000, b=i % 250 + 1))
    return path


@dataclass
class Setup:
    """What the trials share: inputs made once, and a folder per trial."""
    root: str
    capture: str = ""
    log: str = ""
    rows: int = 0
    log_alerts: int = 0

    @classmethod
    def make(cls, root: str, packets: int = 150_000, log_lines: int = 150_000) -> Setup:
        s = cls(root)
        s.capture = capture(os.path.join(root, "in.pcap"), packets)
        import kavrel

        s.rows = kavrel.read_packets(s.capture, columns=["ttl"]).num_rows
        s.log = alert_log(os.path.join(root, "in.log"), log_lines)
        s.log_alerts = log_lines
        return s


@dataclass
class Trial:
    name: str
    argv: list[str]
    output: str | None                   # what a complete run leaves (None: sniff's files)
    rows: int = 0                        # rows of a complete output
    feed: str | None = None              # a file fed slowly to standard input
    before: dict[str, bytes] = field(default_factory=dict)  # files there before, to be left as they were


def commands(setup: Setup, folder: str) -> dict[str, Trial]:
    out = os.path.join(folder, "out")
    log = os.path.join(folder, "alerts.log")
    shutil.copy(setup.log, log)
    old = os.path.join(folder, "alerts.log.csv")
    with open(old, "wb") as fh:
        fh.write(b"an older CSV\n")
    return {
        "features -": Trial("features -", ["features", "-", "-o", out + ".csv"], out + ".csv", setup.rows,
                            feed=setup.capture),
        "features FILE": Trial("features FILE", ["features", setup.capture, "-o", out + ".jsonl"], out + ".jsonl",
                               setup.rows),
        "packets -j 2": Trial("packets -j 2", ["packets", setup.capture, "-j", "2", "--columns", "src_ip,dst_ip",
                                               "-o", out + ".parquet"], out + ".parquet", setup.rows),
        "alerts": Trial("alerts", ["alerts", log], old, setup.log_alerts, before={old: b"an older CSV\n"}),
        "sniff -G": Trial("sniff -G", ["sniff", "-i", "lo", "-G", "1", "--columns", "src_ip,dst_ip,dst_port",
                                       "-o", os.path.join(folder, "s-%s.parquet"), "udp", "port", "9"], None),
    }


def shm() -> set[str]:
    try:
        return {n for n in os.listdir("/dev/shm") if "kavrel" in n}
    except OSError:
        return set()


def _feed(path: str, into, stop: threading.Event) -> None:
    with open(path, "rb") as fh:
        while not stop.is_set() and (chunk := fh.read(1 << 16)):
            try:
                into.write(chunk)
                into.flush()
            except (BrokenPipeError, ValueError):
                break
            time.sleep(0.002)
    try:
        into.close()
    except (BrokenPipeError, OSError):
        pass


def _traffic(stop: threading.Event) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        while not stop.is_set():
            s.sendto(b"x" * 40, ("127.0.0.1", 9))
            time.sleep(0.001)


def rows_of(path: str) -> int | None:
    """The rows of a complete output, or None when it cannot be read whole."""
    import pyarrow.parquet as pq

    try:
        if path.endswith(".parquet"):
            return pq.read_metadata(path).num_rows
        with open(path, "rb") as fh:
            data = fh.read()
        if not data.endswith(b"\n"):
            return None
        lines = data.count(b"\n")
        return lines - 1 if path.endswith(".csv") else lines
    except Exception:
        return None


def run(trial: Trial, folder: str, signum: int, delay: float, second: float | None) -> list[str]:
    """One trial; the faults it showed (none: it behaved)."""
    shm_before = shm()
    stop = threading.Event()
    helpers = []
    proc = subprocess.Popen([*KAVREL, *trial.argv], cwd=folder, stdin=subprocess.PIPE if trial.feed else
                            subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if trial.feed:
        helpers.append(threading.Thread(target=_feed, args=(trial.feed, proc.stdin, stop), daemon=True))
    if trial.output is None:
        helpers.append(threading.Thread(target=_traffic, args=(stop,), daemon=True))
    err_parts: list[bytes] = []
    helpers.append(threading.Thread(target=lambda: err_parts.append(proc.stderr.read()), daemon=True))
    for h in helpers:
        h.start()
    faults = []
    try:
        time.sleep(delay)
        if proc.poll() is None:
            proc.send_signal(signum)
            if second is not None:
                time.sleep(second)
                if proc.poll() is None:
                    proc.send_signal(signal.SIGINT if signum == signal.SIGTERM else signum)
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            faults.append("hung")
    finally:
        stop.set()
        for h in helpers:
            h.join(5)
    err = b"".join(err_parts).decode(errors="replace")
    rc = proc.returncode
    if any(word in err for word in ABORTS) or rc in (-signal.SIGABRT, -signal.SIGSEGV, -signal.SIGBUS):
        faults.append(f"aborted (status {rc}): {err.strip()[-400:]}")
    left = sorted(n for n in os.listdir(folder) if n.startswith(".") or n.endswith(".part"))
    if left:
        faults.append(f"left behind: {left}")
    if shm() - shm_before:
        faults.append(f"shared memory left: {sorted(shm() - shm_before)}")
    if trial.output is None:
        faults += _sniff_verdict(folder, rc, err)
    else:
        faults += _verdict(trial, rc, err, signum, second)
    return faults


def _verdict(trial: Trial, rc: int, err: str, signum: int, second: float | None) -> list[str]:
    lines = err.strip().splitlines()
    if rc == 0:  # the signal came after the output was whole
        got = rows_of(trial.output)
        if got != trial.rows:
            return [f"status 0 but {trial.output} holds {got} rows of {trial.rows}"]
        return []
    # Killed by the signal's default action: only before the interpreter could take it over.
    if rc < 0 and -rc in (signum, signal.SIGINT) and not err.strip():
        return []
    # Two signals that land before the process looks at either (both held back while the
    # interpreter starts, or both within one step of it) are delivered in signal-number order,
    # not in the order sent: either may be the one that stops the command.
    allowed = {signum, signal.SIGINT} if second is not None else {signum}
    if rc not in {128 + s for s in allowed}:
        return [f"status {rc}, not {128 + signum}: {err.strip()[-300:]}"]
    words = "interrupted" if rc == 128 + signal.SIGINT else "terminated"
    if lines != [f"kavrel: {words}"]:
        return [f"messages {lines!r}, not ['kavrel: {words}']"]
    if trial.before:
        for path, content in trial.before.items():
            if open(path, "rb").read() != content:
                return [f"{os.path.basename(path)} was changed by an interrupted run"]
    elif os.path.exists(trial.output):
        return [f"an interrupted run left {os.path.basename(trial.output)}"]
    return []


def _sniff_verdict(folder: str, rc: int, err: str) -> list[str]:
    lines = err.strip().splitlines()
    if rc in (130, 143) and lines and lines[-1] in ("kavrel: interrupted", "kavrel: terminated"):
        # Stopped before the capture began: nothing was written.
        files = [n for n in os.listdir(folder) if n.startswith("s-")]
        return [f"files written by a capture that never started: {files}"] if files else []
    if rc < 0 and not err.strip():
        return []
    if rc != 0:
        return [f"status {rc}: {err.strip()[-300:]}"]
    m = SUMMARY.match(lines[-1] if lines else "")
    if not m:
        return [f"no summary: {lines[-3:]!r}"]
    total = 0
    for name in os.listdir(folder):
        if name.startswith("s-"):
            got = rows_of(os.path.join(folder, name))
            if got is None:
                return [f"{name} is not complete"]
            total += got
    if total != int(m.group(1).replace(",", "")):
        return [f"the summary says {m.group(1)} rows, the files hold {total}"]
    return []


def trials(runs: int, names: list[str], seed: int = 1) -> list[tuple[str, int, float, float | None]]:
    """(command, signal, delay, second signal's delay or None) for `runs` trials of each command:
    delays from the first milliseconds to past the end, a fifth of them with a second signal."""
    rng = random.Random(seed)
    out = []
    for name in names:
        for k in range(runs):
            signum = signal.SIGINT if k % 2 == 0 else signal.SIGTERM
            delay = rng.choice([rng.uniform(0, 0.08), rng.uniform(0.08, 0.6), rng.uniform(0.6, 2.5)])
            second = rng.uniform(0, 0.3) if k % 5 == 4 else None
            out.append((name, signum, delay, second))
    return out


def main(argv: list[str]) -> int:
    runs = int(argv[0]) if argv and argv[0].isdigit() else 200
    root = tempfile.mkdtemp(prefix="kavrel-interrupts-")
    try:
        setup = Setup.make(root)
        names = [a for a in argv if not a.isdigit()] or list(commands(setup, tempfile.mkdtemp(dir=root)))
        if os.geteuid() != 0 and "sniff -G" in names:
            names.remove("sniff -G")
        failed = 0
        counts: dict[str, int] = {}
        for i, (name, signum, delay, second) in enumerate(trials(runs, names)):
            folder = tempfile.mkdtemp(dir=root)
            trial = commands(setup, folder)[name]
            faults = run(trial, folder, signum, delay, second)
            counts[name] = counts.get(name, 0) + 1
            if faults:
                failed += 1
                print(f"FAULT {name} {signal.Signals(signum).name} at {delay:.3f} s"
                      + (f" then {second:.3f} s" if second is not None else "") + f": {'; '.join(faults)}",
                      flush=True)
            shutil.rmtree(folder, ignore_errors=True)
            if (i + 1) % 50 == 0:
                print(f"{i + 1} trials, {failed} with faults", flush=True)
        print(f"{sum(counts.values())} trials ({', '.join(f'{n}: {c}' for n, c in counts.items())}); "
              f"{failed} with faults")
        return 1 if failed else 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
