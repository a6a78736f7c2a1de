"""scan_live(kind="connections") and `kavrel sniff --connections` on real traffic.

The frames of the Linux captures in tests/data/captures (HTTP connections with data both ways
and FIN teardowns, connects to closed ports answered by RST, an unanswered SYN, DNS over UDP,
pings over IPv4 and IPv6) are sent again on a veth pair in a network namespace of the test's
own, and captured at once by kavrel and by tcpdump. Every live row, uid included, must be the
row read_connections gives for tcpdump's file of the same frames; rows must come out while the
capture runs as soon as they are final.
"""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable

import dpkt
import pcapgen as pg
import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest
from netns import needs_netns

import kavrel
from kavrel._checks import TRAFFIC_COLUMNS

CAPTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "captures")
SCENARIOS = ("linux-http", "linux-scan", "linux-drop", "linux-dns", "linux-ping")
OWN_COLUMNS = [c for c in kavrel.CONNECTION_COLUMNS if c not in TRAFFIC_COLUMNS]
SCRIPT = os.path.join(os.path.dirname(sys.executable), "kavrel")
COMMAND = [SCRIPT] if os.path.exists(SCRIPT) else [sys.executable, "-m", "kavrel"]
SANITIZED = bool(os.environ.get("KAVREL_SANITIZED"))
# What a closing connection says it ended by, whether a frame or the quiet clock ended it.
CLOSED = ("fin", "rst")

needs_tcpdump = pytest.mark.skipif(not os.path.exists("/usr/bin/tcpdump"), reason="needs tcpdump")


def recorded_frames(*names: str) -> list[bytes]:
    frames = []
    for name in names:
        with open(os.path.join(CAPTURES, name + ".pcap"), "rb") as fh:
            frames += [bytes(buf) for _, buf in dpkt.pcap.Reader(fh)]
    return frames


def wait_until(done: Callable[[], bool], seconds: float = 15.0) -> bool:
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.fixture
def wide_link(link):
    """The link, wide enough for the super-segments the Linux captures hold (up to 13 kB). What
    a test starts on it (processes, captures) is ended if the test stops half way."""
    for device in ("kvcap", "kvpeer"):
        link.ip("link", "set", device, "mtu", "65535")
    link.started = []
    yield link
    for thing in reversed(link.started):
        if isinstance(thing, subprocess.Popen):
            if thing.poll() is None:
                thing.kill()
                thing.wait()
        else:
            thing.close()


def popen(link, argv: list[str], **kwargs) -> subprocess.Popen:
    """`argv` run in the link's namespace."""
    proc = subprocess.Popen(["ip", "netns", "exec", link.name, *argv], **kwargs)
    link.started.append(proc)
    return proc


def scan(link, **options) -> kavrel.LiveReader:
    reader = link.scan(kind="connections", **options)
    link.started.append(reader)
    return reader


class Tcpdump:
    """tcpdump writing what arrives on kvcap to `path`, in nanoseconds, every frame as it comes.
    Immediate mode gives each frame a buffer slot of the snapshot length: 64 MiB hold 250."""

    def __init__(self, link, path) -> None:
        self.path = path
        self.proc = popen(link, ["tcpdump", "-i", "kvcap", "-w", str(path), "-U", "--immediate-mode",
                                 "--time-stamp-precision=nano", "-Z", "root", "-s", "262144", "-B", "65536"],
                          stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        assert "listening on kvcap" in line, line

    def stop(self) -> int:
        """Stops it; the frames it captured."""
        self.proc.send_signal(signal.SIGINT)
        err = self.proc.communicate(timeout=30)[1]
        assert re.search(r"^0 packets dropped by kernel$", err, re.M), err
        return int(re.search(r"(\d+) packets? captured", err).group(1))


class LiveCapture:
    """scan_live(kind="connections") on kvcap beside tcpdump; every batch kept with the time it
    came, read by iterating the reader or by a consumer of its Arrow C stream."""

    def __init__(self, link, path, c_stream: bool = False, **options) -> None:
        self.dump = Tcpdump(link, path)
        self.reader = scan(link, batch_seconds=0.2, **options)
        self.batches: list[tuple[float, pa.RecordBatch]] = []
        source = pa.RecordBatchReader.from_stream(self.reader) if c_stream else self.reader
        self.thread = threading.Thread(target=lambda: self.batches.extend((time.time(), b) for b in source),
                                       daemon=True)
        self.thread.start()

    def rows_so_far(self) -> list[dict]:
        return [row for _, b in list(self.batches) for row in b.to_pylist()]

    def close(self, sent: int) -> float:
        """Ends both captures once every frame is in; the time the live one was closed."""
        time.sleep(0.5)  # well past the kernel's buffer block timeout
        assert self.dump.stop() == sent
        closed = time.time()
        self.reader.close()
        self.thread.join(30)
        stats = self.reader.stats()
        assert stats["frames"] == sent and stats["dropped"] == 0, stats
        return closed

    def table(self) -> pa.Table:
        return pa.Table.from_batches([b for _, b in self.batches], self.reader.schema)


def windows_of(table: pa.Table, time_window: float, host_window: int) -> dict[int, set[int]]:
    """For each uid, the uids of its two traffic windows, by their definition: the connections
    before it in uid order, walking back while ts is within time_window of its own, and the
    host_window - 1 before it."""
    uids = table["uid"].to_pylist()
    ts = [t.value for t in table["ts"]]
    out = {}
    for i, uid in enumerate(uids):
        members = set(uids[max(0, i - host_window + 1):i + 1])
        j = i
        while j >= 0 and ts[i] - ts[j] <= round(time_window * 1e9):
            members.add(uids[j])
            j -= 1
        out[uid] = members
    return out


def final_before_close(table: pa.Table, columns, settings) -> set[int]:
    """The uids whose rows are final while the capture still runs: those of closing connections
    (their close delay passes), and with traffic columns only those whose two windows hold no
    connection that stays open until the end."""
    ends = dict(zip(table["uid"].to_pylist(), table["end_reason"].to_pylist()))
    if columns is not None and not any(c in TRAFFIC_COLUMNS for c in columns):
        return {uid for uid, why in ends.items() if why in CLOSED}
    windows = windows_of(table, settings.get("time_window", 2.0), settings.get("host_window", 100))
    return {uid for uid, members in windows.items() if all(ends[m] in CLOSED for m in members)}


# ---- scan_live ----------------------------------------------------------------------------------

SAMPLE = os.path.join(CAPTURES, "linux-ping.pcap")


@pytest.mark.parametrize("settings", [
    {"tcp_timeout": 0}, {"icmp_timeout": float("nan")}, {"close_delay": -0.5}, {"time_window": 0},
    {"host_window": 2.5}, {"columns": ["nosuch"]}, {"columns": []},
])
def test_bad_settings_are_refused_as_read_connections_refuses_them(settings):
    with pytest.raises(ValueError) as from_file:
        kavrel.read_connections(SAMPLE, **settings)
    with pytest.raises(ValueError) as live:  # before any device is opened
        kavrel.scan_live("kvnosuch0", kind="connections", **settings)
    assert str(live.value) == str(from_file.value)


@pytest.mark.parametrize("kind", ["packets", "features"])
def test_connection_settings_belong_to_the_connection_table(kind):
    with pytest.raises(ValueError, match="kind='connections'"):
        kavrel.scan_live("kvnosuch0", kind=kind, close_delay=1.0)


@needs_netns
@needs_tcpdump
@pytest.mark.parametrize("columns, settings, c_stream", [
    (None, {}, False),
    (OWN_COLUMNS, {"close_delay": 0.2}, False),
    (OWN_COLUMNS, {"close_delay": 0.2}, True),
    (["uid", *kavrel.KDD_COLUMNS], {"close_delay": 0.2}, False),
    # Small windows: traffic rows become final while the capture runs.
    (None, {"close_delay": 0.2, "time_window": 0.05, "host_window": 3}, False),
])
def test_live_rows_are_the_file_engines(wide_link, tmp_path, columns, settings, c_stream):
    path = tmp_path / "live.pcap"
    capture = LiveCapture(wide_link, path, c_stream, columns=columns, **settings)
    frames = recorded_frames(*SCENARIOS)
    wide_link.send(frames, 0.002)
    early = None
    if "close_delay" in settings:
        # The last teardowns end by the capture's clock carried on while the link is quiet.
        # tcpdump writes every frame as it comes (-U): its file so far says which rows are final.
        time.sleep(0.3)
        early = final_before_close(kavrel.read_connections(path, **settings), columns, settings)
        assert len(early) >= 6
        assert wait_until(lambda: {r["uid"] for r in capture.rows_so_far()} >= early), (
            sorted(early), sorted(r["uid"] for r in capture.rows_so_far()))
    closed_at = capture.close(len(frames))
    expected = kavrel.read_connections(path, columns=columns, **settings)
    live = capture.table()
    assert live.schema == expected.schema and live.num_rows == expected.num_rows == 35
    assert live.sort_by("uid").equals(expected)
    if early is not None:  # and no row came out before it was final
        assert {row["uid"] for t, b in capture.batches if t < closed_at for row in b.to_pylist()} == early
    # The traffic holds what a sensor sees most.
    kinds = kavrel.read_connections(path, columns=["protocol_type", "conn_state"]).to_pylist()
    assert {("TCP", "SF"), ("TCP", "REJ"), ("TCP", "S0"), ("UDP", "SF"), ("UDP", "S0"), ("ICMP", "OTH")} <= {
        (k["protocol_type"], k["conn_state"]) for k in kinds}


@needs_netns
@needs_tcpdump
@pytest.mark.parametrize("frame_after", [False, True])
def test_quiet_link_ends_idle_connections_by_its_clock(wide_link, tmp_path, frame_after):
    """DNS flows and pings time out while nothing arrives: their rows come out during the
    capture. A frame after the timeouts ends them in the file as well; without one, the file
    ends them at its end (eof), where the capture saw them go idle."""
    path = tmp_path / "live.pcap"
    settings = {"udp_timeout": 0.3, "icmp_timeout": 0.3}
    capture = LiveCapture(wide_link, path, columns=OWN_COLUMNS, **settings)
    frames = recorded_frames("linux-dns", "linux-ping")
    wide_link.send(frames, 0.002)
    assert wait_until(lambda: len(capture.rows_so_far()) == 8), capture.rows_so_far()
    if frame_after:
        wide_link.send([pg.arp()])  # not IP: it only moves the file's clock past every deadline
        frames.append(pg.arp())
    capture.close(len(frames))
    live = capture.table().sort_by("uid")
    expected = kavrel.read_connections(path, columns=OWN_COLUMNS, **settings)
    assert live.num_rows == expected.num_rows == 8 and set(live["end_reason"].to_pylist()) == {"idle"}
    if frame_after:
        assert live.equals(expected)
    else:
        assert set(expected["end_reason"].to_pylist()) == {"eof"}
        others = [c for c in OWN_COLUMNS if c != "end_reason"]
        assert live.select(others).equals(expected.select(others))


@needs_netns
@needs_tcpdump
def test_interrupt_hands_over_the_open_connections_first(wide_link, tmp_path):
    """Ctrl-C ends the capture: every connection still open ends, and all their rows (here in
    batches of 4) come before the KeyboardInterrupt."""
    path = tmp_path / "live.pcap"
    dump = Tcpdump(wide_link, path)
    reader = scan(wide_link, columns=OWN_COLUMNS, batch_rows=4, batch_seconds=0.2)
    frames = recorded_frames(*SCENARIOS)
    wide_link.send(frames, 0.001)
    time.sleep(0.3)
    assert dump.stop() == len(frames)
    # Python's own handler, even where SIGINT came ignored (a job started in the background).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    batches = []
    try:
        with pytest.raises(KeyboardInterrupt):
            timer.start()
            for batch in reader:
                batches.append(batch)
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert list(reader) == [] and reader.stats()["frames"] == len(frames)
    assert max(b.num_rows for b in batches) == 4
    live = pa.Table.from_batches(batches, reader.schema).sort_by("uid")
    assert live.equals(kavrel.read_connections(path, columns=OWN_COLUMNS))


@needs_netns
@needs_tcpdump
def test_device_removed_fails_after_every_connections_row(wide_link, tmp_path):
    path = tmp_path / "live.pcap"
    dump = Tcpdump(wide_link, path)
    reader = scan(wide_link, columns=OWN_COLUMNS, batch_rows=10, batch_seconds=30)
    frames = recorded_frames(*SCENARIOS)
    wide_link.send(frames, 0.001)
    time.sleep(0.3)
    assert dump.stop() == len(frames)
    threading.Timer(0.3, wide_link.ip, ("link", "delete", "kvcap")).start()
    batches = []
    with pytest.raises(OSError) as info:
        for batch in reader:
            batches.append(batch)
    assert str(info.value).startswith("kvcap: ") and "interface" in str(info.value)
    live = pa.Table.from_batches(batches, reader.schema).sort_by("uid")
    assert live.equals(kavrel.read_connections(path, columns=OWN_COLUMNS))


# ---- kavrel sniff --connections -------------------------------------------------------------------

SUMMARY = re.compile(r"^kavrel: ([\d,]+) rows? written to (.+); ([\d,]+) frames? captured on kvcap \(([\d,]+) "
                     r"connections?\) in [\d.]+ s \((done|interrupted|terminated)\); ([\d,]+) received, "
                     r"([\d,]+) dropped by the kernel, ([\d,]+) by the interface$")


def read_written(path, fmt: str, schema: pa.Schema) -> pa.Table:
    """A file sniff wrote, read by a reader of its format, in the engine's types."""
    if fmt == "parquet":
        return pq.read_table(path)
    if fmt == "csv":
        options = pyarrow.csv.ConvertOptions(column_types={f.name: f.type for f in schema}, strings_can_be_null=True)
        return pyarrow.csv.read_csv(path, convert_options=options).select(schema.names).cast(schema)
    rows = [json.loads(line) for line in open(path, encoding="utf-8")]
    return pa.Table.from_pylist(rows).select(schema.names).cast(schema)


@pytest.mark.parametrize("args, said", [
    (["--tcp-timeout", "3"], "--tcp-timeout is an option of --connections"),
    (["--kdd"], "--kdd is an option of --connections"),
    (["--connections", "--features"], "give --features or --connections, not both"),
    (["--connections", "--kdd", "--columns", "uid"], "give --columns or --kdd, not both"),
    (["--connections", "--close-delay", "-1"], "--close-delay must be a finite number of seconds from 0 to 1e+09"),
    (["--connections", "--columns", "uid,nosuch"], "--columns: unknown connection column 'nosuch'"),
])
def test_sniff_refuses_connection_options_it_cannot_use(args, said):
    r = subprocess.run([*COMMAND, "sniff", "-i", "kvnosuch0", *args], capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.splitlines()[-1].startswith(f"kavrel sniff: error: {said}"), r.stderr


@needs_netns
@needs_tcpdump
@pytest.mark.parametrize("args, fmt, sig", [
    (["--close-delay", "0.2"], "parquet", signal.SIGINT),
    (["--kdd", "--host-window", "5", "--time-window", "0.5"], "csv", signal.SIGTERM),
    (["--columns", "uid,conn_state,history,orig_pkts,resp_pkts,src_bytes,dst_bytes,count"], "jsonl", signal.SIGINT),
])
def test_sniff_writes_the_file_engines_rows(wide_link, tmp_path, args, fmt, sig):
    path = tmp_path / "live.pcap"
    dump = Tcpdump(wide_link, path)
    proc = popen(wide_link, [*COMMAND, "sniff", "-i", "kvcap", "--connections", *args, "-o", f"out.{fmt}"],
                 cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    assert proc.stderr.readline().startswith("kavrel: capturing on kvcap, link type 1")
    frames = recorded_frames(*SCENARIOS)
    wide_link.send(frames, 0.002)
    time.sleep(1.0)  # well past sniff's buffer block timeout (250 ms): every frame is read
    assert dump.stop() == len(frames)
    proc.send_signal(sig)
    err = proc.communicate(timeout=30)[1]
    assert proc.returncode == 0, err
    settings = {"close_delay": 0.2} if "--close-delay" in args else {"host_window": 5, "time_window": 0.5} \
        if "--kdd" in args else {}
    columns = (list(kavrel.KDD_COLUMNS) if "--kdd" in args else
               args[args.index("--columns") + 1].split(",") if "--columns" in args else None)
    expected = kavrel.read_connections(path, columns=columns, **settings)
    written = read_written(tmp_path / f"out.{fmt}", fmt, expected.schema)
    assert written.schema.names == expected.schema.names
    if "uid" in expected.schema.names:
        assert written.sort_by("uid").equals(expected)
    else:  # KDD's columns have no uid: the rows as a multiset
        names = [(c, "ascending") for c in expected.schema.names]
        assert written.sort_by(names).equals(expected.sort_by(names))
    summary = SUMMARY.match(err.splitlines()[-1])
    assert summary, err
    assert summary.group(1, 2, 3, 4, 7) == ("35", f"out.{fmt}", str(len(frames)), "35", "0")
    assert summary[5] == ("interrupted" if sig == signal.SIGINT else "terminated")


@needs_netns
@needs_tcpdump
def test_sniff_rotates_by_the_connections_ts(wide_link, tmp_path):
    """-G 1 while teardowns end during the capture: each file holds rows stamped before its
    window's end, none twice, and together the file engine's rows."""
    path = tmp_path / "live.pcap"
    dump = Tcpdump(wide_link, path)
    out = tmp_path / "out"
    out.mkdir()
    proc = popen(wide_link, [*COMMAND, "sniff", "-i", "kvcap", "--connections", "--close-delay", "0.1", "--columns",
                             "uid,ts,conn_state", "-G", "1", "-o", "c-%H%M%S.parquet"],
                 cwd=out, stderr=subprocess.PIPE, text=True)
    assert proc.stderr.readline().startswith("kavrel: capturing on kvcap")
    frames = recorded_frames(*SCENARIOS)
    wide_link.send(frames, 0.015)  # about 2.7 s
    time.sleep(0.3)
    assert dump.stop() == len(frames)
    time.sleep(1.5)  # the last teardowns out by the quiet link's clock, into a file of their own
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=30)[1]
    assert proc.returncode == 0, err
    files = sorted(os.listdir(out))
    assert len(files) >= 2 and all(re.fullmatch(r"c-\d{6}\.parquet", f) for f in files), files
    tables = [pq.read_table(out / f) for f in files]
    assert all(t.num_rows for t in tables)
    expected = kavrel.read_connections(path, columns=["uid", "ts", "conn_state"], close_delay=0.1)
    assert pa.concat_tables(tables).sort_by("uid").equals(expected)
    for name, table in zip(files, tables):
        # The window starts within the second its name gives and lasts one: no row stamped after
        # it, in seconds of the day (a window may start before midnight).
        start = int(name[2:4]) * 3600 + int(name[4:6]) * 60 + int(name[6:8])
        for ts in table["ts"]:
            moment = time.localtime(ts.value // 10**9)
            of_day = moment.tm_hour * 3600 + moment.tm_min * 60 + moment.tm_sec + ts.value % 10**9 / 1e9
            assert 0 < (start + 2 - of_day) % 86400 < 3600, (name, ts)


# ---- a long capture ---------------------------------------------------------------------------------

# A capture of its own, in a fresh process: what it holds is then all the memory it grows by.
# After each line on its standard input it says the rows it has had, the frames dropped and
# its resident bytes.
CAPTURER = """
import resource, sys, threading
import kavrel
reader = kavrel.scan_live("kvcap", kind="connections", columns=sys.argv[1].split(","), udp_timeout=0.005,
                          batch_rows=4096, batch_seconds=0.1, buffer_bytes=8 << 20)
rows = 0

def consume():
    global rows
    for batch in reader:
        rows += batch.num_rows

consumer = threading.Thread(target=consume)
consumer.start()
print("capturing", flush=True)
for _ in sys.stdin:
    with open("/proc/self/statm") as fh:
        resident = int(fh.read().split()[1]) * resource.getpagesize()
    print(rows, reader.stats()["dropped"], resident, flush=True)
reader.close()
consumer.join()
print(rows, reader.stats()["frames"], flush=True)
"""


@needs_netns
def test_long_capture_holds_only_the_open_connections(wide_link):
    """Waves of one-datagram UDP flows, each flow idle past its timeout by the next wave: once
    the allocator and the capture buffer are warm (ten waves), ten more waves of 40,000
    connections leave the capturing process's resident memory where it was."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = popen(wide_link, [sys.executable, "-c", CAPTURER, ",".join(OWN_COLUMNS)], env=env, text=True,
                 stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert proc.stdout.readline() == "capturing\n"

    def ask() -> tuple[int, int, int]:
        proc.stdin.write("\n")
        proc.stdin.flush()
        rows, dropped, resident = map(int, proc.stdout.readline().split())
        return rows, dropped, resident

    wave = [pg.eth(pg.ipv4("10.9.0.1", f"10.9.1.{i % 250}", 17, pg.udp(1024 + i, 53, b"q" * 20)))
            for i in range(40_000)]
    resident = []
    for n in range(20):
        wide_link.send(wave)
        time.sleep(0.05)  # every flow of the wave past its timeout: the next wave ends them
        if n in (9, 19):  # once the waves before are out (a frame dropped is a flow less)
            assert wait_until(lambda: sum(ask()[:2]) >= n * len(wave), 30)
            resident.append(ask()[2])
    proc.stdin.close()
    rows, frames = map(int, proc.stdout.readline().split())
    assert proc.wait(30) == 0
    assert rows == frames > 0.9 * 20 * len(wave)  # a row for every datagram
    # 400,000 connection rows kept would be 58 MB in the engine alone (144 bytes each). Sanitizer
    # allocators hold freed memory in quarantine: resident size says nothing there.
    assert SANITIZED or resident[1] - resident[0] < 8 << 20, resident
