"""kavrel.scan_live on real traffic: frames injected on a veth pair in a network namespace of the
test's own (root only), and the destination table's eviction that keeps a live capture's memory flat."""

from __future__ import annotations

import array
import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pcapgen as pg
import pyarrow as pa
import pytest
from conftest import open_fds
from hypothesis import given, settings
from hypothesis import strategies as st
from netns import inside, needs_netns

import kavrel
from kavrel import _engine
from kavrel.core.ver100.metricor import FeatureExtractor

MAC_TEXT = ":".join(f"{b:02x}" for b in pg.MAC_A)


def udp_frame(port: int, dst: str = "10.9.0.2", size: int = 0) -> bytes:
    return pg.eth(pg.ipv4("10.9.0.1", dst, 17, pg.udp(40000, port, bytes(size))))


def drain(batches, close, after: float) -> list[tuple[float, pa.RecordBatch]]:
    """Every batch with the wall time it came at, `close` called `after` seconds from now."""
    timer = threading.Timer(after, close)
    timer.start()
    try:
        return [(time.time(), b) for b in batches]
    finally:
        timer.cancel()


# ---- opening ----------------------------------------------------------------------------------

@needs_netns
@pytest.mark.parametrize("options, error, text", [
    ({"device": "kvnosuch0"}, OSError, "kvnosuch0: No such device exists"),
    ({"filter": "udp port kvnosuchservice"}, ValueError, "unknown port 'kvnosuchservice'"),
    ({"filter": "udp and ("}, ValueError, "syntax error"),
    ({"kind": "packets", "columns": []}, ValueError, "at least one column"),
])
def test_refused_before_any_frame_is_read(options, error, text):
    before = open_fds()
    device = options.pop("device", "lo")
    with pytest.raises(error) as info:
        kavrel.scan_live(device, **options)
    assert text in str(info.value) and str(info.value).count(device) <= 1
    if device.startswith("kvnosuch"):
        assert info.value.errno == errno.ENODEV
    assert open_fds() == before


@needs_netns
def test_capture_without_the_right_is_permission_error():
    code = "import kavrel\ntry:\n    kavrel.scan_live('lo')\nexcept PermissionError as e:\n    print(e.strerror)\n"
    # Root without the capture capabilities.
    out = subprocess.run(["setpriv", "--bounding-set=-net_raw,-net_admin", sys.executable, "-c", code],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.stdout.startswith("lo: You don't have permission"), out.stderr
    assert "Operation not permitted" in out.stdout and out.stdout.count("lo:") == 1


@needs_netns
def test_no_device_named_takes_the_automatic_choice(link):
    from kavrel.core.base import nicpick

    with inside(link.name):
        chosen = nicpick.get_auto_device()
        with kavrel.scan_live() as reader:
            assert reader.device == os.fsdecode(chosen) and reader.device in ("kvcap", "kvpeer")


# ---- what is captured ---------------------------------------------------------------------------

@needs_netns
@pytest.mark.parametrize("device, filter, linktype, dst_mac", [
    ("kvcap", "udp port 5001", 1, pg.MAC_B),
    # `any` sees each frame leave kvpeer and reach kvcap; Linux cooked frames have no destination.
    ("any", "inbound and udp port 5001", 113, None),
])
def test_filter_passes_exactly_its_half(link, device, filter, linktype, dst_mac):
    n = 300
    reader = link.scan(device, kind="packets", filter=filter, batch_seconds=0.2,
                       columns=["src_mac", "dst_mac", "dst_port", "timestamp"])
    link.send([udp_frame(5001 + i % 2) for i in range(2 * n)])
    started = time.time()
    table = pa.Table.from_batches([b for _, b in drain(reader, reader.close, 0.6)], reader.schema)
    assert reader.linktype == linktype and table.num_rows == n
    assert set(table["dst_port"].to_pylist()) == {5001} and set(table["src_mac"].to_pylist()) == {MAC_TEXT}
    expected_dst = ":".join(f"{b:02x}" for b in dst_mac) if dst_mac else None
    assert set(table["dst_mac"].to_pylist()) == {expected_dst}
    stamps = [t.value / 1e9 for t in table["timestamp"]]
    assert stamps == sorted(stamps) and started - 1 < stamps[0] <= stamps[-1] < time.time()
    stats = reader.stats()
    assert stats["dropped"] == 0 and stats["rows"] == n and stats["received"] >= n


@needs_netns
@pytest.mark.parametrize("consumer", ["iterate", "c_stream"])
def test_batches_go_out_full_or_on_time(link, consumer):
    rows, seconds = 10, 0.3
    reader = link.scan(batch_rows=rows, batch_seconds=seconds, filter="udp")
    batches = reader if consumer == "iterate" else pa.RecordBatchReader.from_stream(reader)
    sender = threading.Thread(target=lambda: (link.send([udp_frame(7)] * 25), link.send([udp_frame(7)] * 12, 0.1)))
    sender.start()
    got = drain(batches, reader.close, 1.8)
    sender.join()
    sizes = [b.num_rows for _, b in got]
    assert sum(sizes) == 37 and sizes[:2] == [rows, rows] and 0 not in sizes
    # Past the burst, a batch waits `seconds` after its first row, and no longer than a look more.
    for came, batch in got[2:]:
        first = batch["timestamp"][0].as_py()
        assert seconds <= came - first < seconds + 0.25, (came - first, sizes)
    assert batches.schema == reader.schema


@needs_netns
@pytest.mark.parametrize("busy", [False, True])
def test_interrupt_ends_the_capture_after_its_rows(link, busy):
    before = open_fds()
    reader = link.scan(batch_seconds=30, filter="udp")
    stop = threading.Event()

    def keep_sending():
        while busy and not stop.is_set():
            link.send([udp_frame(9)], 0.01)

    traffic = threading.Thread(target=keep_sending)
    traffic.start()
    timer = threading.Timer(0.4, os.kill, (os.getpid(), signal.SIGINT))
    rows = 0
    try:
        with pytest.raises(KeyboardInterrupt):
            timer.start()
            for batch in reader:
                rows += batch.num_rows
    finally:
        timer.join()
        stop.set()
        traffic.join()
    assert (rows > 10) == busy and rows == reader.stats()["rows"]
    assert open_fds() == before  # the device was closed with the interruption
    assert list(reader) == []


@needs_netns
def test_device_removed_ends_with_error_after_its_rows(link):
    before = open_fds()
    reader = link.scan(batch_seconds=30, filter="udp")
    link.send([udp_frame(9)] * 40)
    threading.Timer(0.3, link.ip, ("link", "delete", "kvcap")).start()
    rows = []
    with pytest.raises(OSError) as info:
        for batch in reader:
            rows.append(batch.num_rows)
    assert rows == [40] and str(info.value).startswith("kvcap: ") and "interface" in str(info.value)
    assert reader.stats()["rows"] == 40 and open_fds() == before


@needs_netns
def test_full_buffer_is_counted_as_dropped(link):
    reader = link.scan(buffer_bytes=1, filter="udp")  # libpcap's smallest ring
    link.send([udp_frame(9)] * 50_000)  # nobody reads meanwhile
    rows = sum(b.num_rows for _, b in drain(reader, reader.close, 0.5))
    stats = reader.stats()
    assert 0 < rows < 50_000 and stats["rows"] == rows
    assert stats["dropped"] > 0 and stats["received"] >= 50_000
    assert stats["received"] - stats["dropped"] >= rows


@needs_netns
@pytest.mark.skipif(not os.path.exists("/usr/bin/tcpdump"), reason="needs tcpdump")
def test_live_features_are_the_file_engines(link, tmp_path):
    """tcpdump writes what scan_live and process_live count; read_features of its file must agree."""
    path = tmp_path / "live.pcap"
    dumper = subprocess.Popen(["ip", "netns", "exec", link.name, "tcpdump", "-i", "kvcap", "-w", str(path), "-U",
                               "-Z", "root", "-s", "262144"], stderr=subprocess.DEVNULL)
    reader = link.scan(columns=["dst_ip", "ip_version"], batch_seconds=0.2)
    batches: list[pa.RecordBatch] = []
    collector = threading.Thread(target=lambda: batches.extend(reader))
    collector.start()
    dicts: list[dict] = []
    ready = threading.Event()

    def per_packet():
        with inside(link.name):
            g = FeatureExtractor().process_live(b"kvcap")
            ready.set()
            for d in g:  # the warm-up frames go to port 9
                if d["dst_port"] != 9:
                    dicts.append(d)
                if len(dicts) == frames_ip:
                    break
        g.close()

    frames = [udp_frame(1000 + i, f"10.9.0.{2 + i % 4}", i) for i in range(40)] + [pg.arp()]
    frames.append(pg.eth(pg.ipv6("2001:db8::1", "2001:db8::2", 17, pg.udp(1, 2)), pg.ETH_IPV6))
    frames_ip = 2 * (len(frames) - 1)
    worker = threading.Thread(target=per_packet)
    worker.start()
    ready.wait()
    deadline = time.monotonic() + 10
    while link.packet_sockets() < 4 and time.monotonic() < deadline:  # kvpeer's, tcpdump's, ours, process_live's
        link.send([udp_frame(9, "10.9.0.9")], 0.05)  # process_live opens at its first frame
    link.send([udp_frame(9, "10.9.0.9")] * 2, 0.05)
    link.send(frames, 0.01)
    time.sleep(2.1)  # past the window: every chain starts again
    link.send(frames, 0.01)
    worker.join(10)
    time.sleep(0.3)
    dumper.send_signal(signal.SIGINT)
    dumper.wait(10)
    reader.close()
    collector.join()
    assert reader.stats()["dropped"] == 0
    live = pa.Table.from_batches(batches, reader.schema)
    from_file = kavrel.read_features(path, columns=["dst_ip", "ip_version"])
    # The warm-up frames came before some handles opened: compare from the first test frame on.
    start = lambda t: t["dst_port"].to_pylist().index(1000)
    live, from_file = live.slice(start(live)), from_file.slice(start(from_file))
    assert live == from_file and live.num_rows == frames_ip
    chain = live["count"].to_pylist()
    assert chain[:frames_ip // 2] == chain[frames_ip // 2:] and max(chain) == 10  # the pause restarts every chain
    assert dicts == from_file.select(list(kavrel.FEATURE_COLUMNS)).to_pylist()


# ---- the destination table's eviction -----------------------------------------------------------

BASE = float(2**30)  # capture times on a binary grid: every difference below is exact


def counts(version: int, destinations: bytes, times, mode: int) -> tuple[list[int], int, int, int]:
    got, size, peak, capacity = _engine._count_destinations(version, destinations, array.array("d", times).tobytes(),
                                                            mode)
    return array.array("I", got).tolist(), size, peak, capacity


@pytest.mark.parametrize("version, n", [(4, 2_000_000), (6, 400_000)])
def test_eviction_holds_a_day_of_new_destinations_flat(version, n):
    np = pytest.importorskip("numpy")
    step = 0.0072  # 2,000,000 destinations in four hours of capture
    ids = np.arange(n, dtype=np.uint32)
    # Every destination twice, 1.44 s apart: the second packet continues its chain.
    dst = np.concatenate([ids, ids])
    when = np.concatenate([BASE + ids * step, BASE + ids * step + 200 * step])
    order = np.argsort(when, kind="stable")
    dst, when = dst[order], when[order]
    keys = dst.tobytes() if version == 4 else np.repeat(dst, 4).astype(np.uint32).tobytes()
    unbounded, size, _, _ = counts(version, keys, when, 0)
    live, live_size, peak, capacity = counts(version, keys, when, 1)
    assert live == unbounded and sorted(set(live)) == [1, 2] and size == n
    window = 302 / step  # destinations active at once
    assert peak <= 2.2 * window and capacity <= 8 * window and live_size <= peak


GAPS = [0.0, 1.0, 2.0 - 2**-10, 2.0, 2.0 + 2**-10, 150.0, 300.0, 302.0, 302.0 + 2**-10, 900.0]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 3), st.sampled_from(GAPS), st.booleans()), max_size=60),
       st.sampled_from([4, 6]))
def test_eviction_keeps_every_count_while_time_goes_back_at_most_300s(steps, version):
    times, newest, now = [], BASE, BASE
    for _, gap, back in steps:
        now = max(now - gap, newest - 300.0) if back else now + gap
        newest = max(newest, now)
        times.append(now)
    keys = b"".join(bytes([d]) * (4 if version == 4 else 16) for d, _, _ in steps)
    assert counts(version, keys, times, 2)[0] == counts(version, keys, times, 0)[0]


@pytest.mark.parametrize("later, back, same", [
    (300.0, 300.0, True),      # idle 300 s: kept, and the packet 300 s back continues its chain
    (302.0, 300.0, True),      # idle 302 s: kept; 2.0 s after the last is still the chain
    (302.5, 300.0, True),      # idle past 302 s: gone, and the packet 300 s back starts anew either way
    (302.0 + 2**-10, 300.0 + 2**-10, False),  # more than 300 s back: the one case that differs
])
def test_eviction_at_its_edges(later, back, same):
    # A at 0, B at `later`, then A again `back` seconds before B.
    times = [BASE, BASE + later, BASE + later - back]
    keys = bytes(4) + bytes([1]) * 4 + bytes(4)
    assert (counts(4, keys, times, 2)[0] == counts(4, keys, times, 0)[0]) == same
