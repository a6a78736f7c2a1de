"""The engine's files and calls: several files as one capture, damaged and odd files, a file that
shrinks under the reader, standard input, argument checks and batch boundaries."""

import errno
import os
import struct
import subprocess
import sys

import pyarrow as pa
import pytest

import kavrel
import pcapgen as pg
from conftest import CORPUS
from kavrel.dataset import Scan
from test_engine_decode import PACKETS, scan

FRAME = pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2, b"payload")))
RECORD_LEN = 16 + len(FRAME)


def traffic(n, dsts=("10.0.0.2", "10.0.0.3", "2001:db8::2")):
    """n packets to three destinations, 0.5 s apart with a 3 s pause before every 7th: chains run and break."""
    out, t = [], 1_600_000_000.0
    for i in range(n):
        t += 3.0 if i % 7 == 6 else 0.5
        dst = dsts[i % len(dsts)]
        ip = pg.ipv6("2001:db8::1", dst, 6, pg.tcp(i, 80)) if ":" in dst else pg.ipv4("10.0.0.1", dst, 6, pg.tcp(i, 80))
        out.append(pg.Record(pg.eth(ip, pg.ETH_IPV6 if ":" in dst else pg.ETH_IPV4), ts_sec=int(t),
                             ts_usec=round(t % 1 * 1e6)))
    return out


def test_files_read_as_one_capture(tmp_path):
    recs = traffic(60)
    whole = pg.write_pcap(tmp_path / "whole.pcap", recs)
    parts = [pg.write_pcap(tmp_path / f"part{i}.pcap", recs[a:b])
             for i, (a, b) in enumerate([(0, 19), (19, 40), (40, 60)])]
    together = kavrel.read_features(parts)
    assert together.equals(kavrel.read_features(whole))
    assert together["count"][19].as_py() > 1 and together["count"][40].as_py() > 1  # chains crossed the files
    assert kavrel.read_packets(parts).equals(kavrel.read_packets(whole))


def test_files_of_different_link_types(tmp_path):
    packet = pg.ipv4("10.0.0.1", "10.0.0.9", 17, pg.udp(7, 9))
    paths = [pg.write_pcap(tmp_path / f"{lt}.pcap", [pg.Record(pg.link(lt, packet), ts_sec=100, ts_usec=i * 500_000)],
                           linktype=lt) for i, lt in enumerate([1, 276, 101, 0, 113, 228])]
    features = kavrel.read_features(paths)
    assert features["count"].to_pylist() == [1, 2, 3, 4, 5, 6]
    singles = pa.concat_tables([kavrel.read_packets(p) for p in paths])
    assert kavrel.read_packets(paths).equals(singles)
    assert singles["src_mac"].to_pylist() == [pg.MAC_A.hex(":"), pg.MAC_A.hex(":"), None, None, pg.MAC_A.hex(":"), None]


@pytest.mark.parametrize("reader", ["auto", "libpcap"])
@pytest.mark.parametrize("make, rows, damaged_record", [
    (lambda whole: whole[:-RECORD_LEN + 5], 2, 2),  # cut inside the third record's header
    (lambda whole: whole[:-3], 2, 2),  # cut inside its data
    (lambda whole: whole[:24 + RECORD_LEN] + struct.pack("<IIII", 0, 0, 262145, 262145) + bytes(64), 1, 1),
], ids=["record-header", "record-data", "caplen-above-262144"])
def test_damaged_file_keeps_the_rows_before(tmp_path, reader, make, rows, damaged_record):
    path = tmp_path / "damaged.pcap"
    path.write_bytes(make(pg.pcap_bytes([FRAME] * 3)))
    s = Scan(str(path), "packets", ["src_port"], 65536, reader)
    with pytest.warns(RuntimeWarning) as caught:
        got = sum(b.num_rows for b in s.batches())
    assert got == rows and len(caught) == 1
    offset = 24 + damaged_record * RECORD_LEN
    assert str(caught[0].message).startswith(f"{path}: the capture is cut short at byte {offset:,} (")


@pytest.mark.parametrize("content, error, text", [
    (None, FileNotFoundError, "No such file"), ("dir", IsADirectoryError, "Is a directory"),
    (struct.pack("<I", 0xDEADBEEF) + bytes(40), ValueError, "not a capture file"),
    (pg.pcap_bytes([FRAME])[:10], ValueError, "not a capture file"),
    (pg.pcap_bytes([FRAME])[:23], ValueError, "not a capture file"),
    (pg.pcap_bytes([FRAME], version=(3, 0)), ValueError, "not a capture file"),
], ids=["missing", "directory", "bad-magic", "header-cut-10", "header-cut-23", "version-3.0"])
@pytest.mark.parametrize("call", [kavrel.read_packets, kavrel.read_features, kavrel.scan_packets])
def test_unopenable_files(tmp_path, content, error, text, call):
    good, path = pg.write_pcap(tmp_path / "good.pcap", [FRAME]), tmp_path / "bad.pcap"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    for source in (path, [good, path]):  # every file is opened before the first row
        with pytest.raises(error, match=text) as exc:
            call(source)
        assert str(path) in str(exc.value)
        if issubclass(error, OSError):
            assert exc.value.filename == str(path)


@pytest.mark.parametrize("records, kwargs", [
    ([pg.Record(FRAME), pg.Record(FRAME, caplen=30)], {"snaplen": 38}),
    ([pg.Record(FRAME, caplen=40, swap_lengths=True), pg.Record(FRAME, caplen=44)], {"version": (2, 3)}),
    ([pg.Record(FRAME, caplen=40, swap_lengths=True)], {"version": (2, 2)}),
    ([pg.Record(FRAME, caplen=40, wire_len=1500)], {"big_endian": True, "nanosecond": True}),
], ids=["caplen-above-snaplen", "v2.3-either-order", "v2.2-swapped", "big-endian-ns"])
def test_record_lengths_as_libpcap_reads_them(tmp_path, records, kwargs):
    path = pg.write_pcap(tmp_path / "x.pcap", records, **kwargs)
    auto, _ = scan(path)
    assert auto.equals(scan(path, reader="libpcap")[0])
    for row, rec in zip(auto.to_pylist(), records):
        caplen = min(rec.caplen or len(rec.frame), kwargs.get("snaplen", 1 << 18))
        assert (row["captured_length"], row["frame_length"]) == (caplen, rec.wire_len or len(FRAME))


SHRINK = """
import os, sys, kavrel
path, size = sys.argv[1], int(sys.argv[2])
reader = kavrel.scan_packets(path, columns=["captured_length"], batch_size=100)
rows = reader.read_next_batch().num_rows
os.truncate(path, size)
try:
    for batch in reader:
        rows += batch.num_rows
except OSError as e:
    print(rows, e.errno)
"""


def test_file_shrinking_under_the_reader(tmp_path):
    path = pg.write_pcap(tmp_path / "big.pcap", [FRAME] * 20_000)
    size = 64 * os.sysconf("SC_PAGE_SIZE")
    r = subprocess.run([sys.executable, "-c", SHRINK, path, str(size)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    whole_records = (size - 24) // RECORD_LEN
    assert r.stdout.split() == [str(whole_records), str(errno.EIO)]


STDIN = """
import sys, pyarrow as pa, kavrel
table = kavrel.read_{table}("-")
with pa.ipc.new_stream(sys.stdout.buffer, table.schema) as out:
    out.write_table(table)
"""


@pytest.mark.parametrize("table", ["packets", "features"])
@pytest.mark.parametrize("how", ["pipe", "file"])
@pytest.mark.parametrize("name", ["afs.pcap", "OSPFv2_Capture_FINAL.pcapng"])
def test_standard_input(name, how, table):
    path = os.path.join(CORPUS, name)
    with open(path, "rb") as fh:
        kw = {"input": fh.read()} if how == "pipe" else {"stdin": fh}
        r = subprocess.run([sys.executable, "-c", STDIN.format(table=table)], capture_output=True, timeout=60, **kw)
    assert r.returncode == 0, r.stderr
    got = pa.ipc.open_stream(r.stdout).read_all()
    want = getattr(kavrel, f"read_{table}")(path)
    assert got.num_rows > 0 and got.equals(want)


@pytest.mark.parametrize("call, message", [
    (lambda p: kavrel.read_packets(p, columns=["ttl", "nope"]), "unknown packet column 'nope'"),
    (lambda p: kavrel.read_packets(p, columns=["ttl", "src_ip", "ttl"]), "'ttl' is asked for twice"),
    (lambda p: kavrel.read_packets(p, columns=[]), "at least one column"),  # its rows would have nothing to hold
    (lambda p: kavrel.read_features(p, columns=["dst_ip", "src_port"]), "'src_port' is already a feature column"),
    (lambda p: kavrel.read_features(p, columns=["count"]), "unknown packet column 'count'"),
    *[(lambda p, b=b: kavrel.scan_packets(p, batch_size=b), "batch_size must be a whole number")
      for b in (0, -1, 1.5, True, 2**30)],
    *[(lambda p, b=b: kavrel.scan_features(p, batch_size=b), "batch_size must be a whole number") for b in (0, 2**30)],
    (lambda p: kavrel.read_packets([]), "no capture given"),
])
def test_bad_arguments(tmp_path, call, message):
    path = pg.write_pcap(tmp_path / "x.pcap", [FRAME])
    with pytest.raises(ValueError, match=message):
        call(path)


@pytest.mark.parametrize("scan_table", [kavrel.scan_packets, kavrel.scan_features])
def test_batch_boundaries(tmp_path, scan_table):
    recs = traffic(150) + [pg.Record(pg.eth(p, t)) for p, t in PACKETS.values()] * 3
    path = pg.write_pcap(tmp_path / "x.pcap", recs)
    tables = {}
    for size in (1, 7, 65536):
        batches = list(scan_table(path, batch_size=size))
        assert all(b.num_rows == size for b in batches[:-1]) and 0 < batches[-1].num_rows <= size
        tables[size] = pa.Table.from_batches(batches)
    assert tables[1].num_rows > 150
    assert tables[1].equals(tables[7]) and tables[7].equals(tables[65536])
