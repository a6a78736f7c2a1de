"""The two-core pass of the connection table: frames decoded on a thread of their own while the
calling thread assembles them. The same rows as one thread, and nothing left behind however
the read ends."""

from __future__ import annotations

import errno
import os
import threading

import pyarrow as pa
import pytest

import kavrel
from kavrel import _engine
from kavrel._checks import ConnectionSettings
from pcapgen import Record, eth, ipv4, tcp, udp, write_pcap

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, "data", "captures")


def native(path: str, pipelined: bool, batch_size: int = 65536, udp_timeout: float = 60.0) -> _engine.ConnectionScan:
    s = ConnectionSettings(udp_timeout=udp_timeout)
    return _engine.ConnectionScan([path], list(kavrel.CONNECTION_COLUMNS), batch_size, s.timing(), s.time_window,
                                  s.host_window, "auto", None, pipelined)


# With exchanges a millisecond apart, each ends at the next: rows come out all along the read.
QUICK = 0.0005


def many_connections(tmp_path, n: int = 30_000) -> str:
    """n UDP exchanges between two hosts, a millisecond apart, with a non-IP frame every so
    often: more packets than the pipe holds blocks of."""
    records = []
    for k in range(n):
        t = 1_700_000_000_000_000 + 1000 * k
        sport = 1024 + k % 60_000
        records.append(Record(eth(ipv4("10.0.0.1", "10.0.0.2", 17, udp(sport, 53, b"q"))), t // 10**6, t % 10**6))
        records.append(Record(eth(ipv4("10.0.0.2", "10.0.0.1", 17, udp(53, sport, b"ans"))), t // 10**6,
                              t % 10**6 + 10))
        if k % 97 == 0:
            records.append(Record(eth(b"\x00" * 28, ethertype=0x0806), t // 10**6, t % 10**6 + 20))
    return write_pcap(tmp_path / "many.pcap", records)


@pytest.fixture(scope="module")
def many(tmp_path_factory) -> str:
    return many_connections(tmp_path_factory.mktemp("pipeline"))


def tasks() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("name", ["linux-http.pcap", "linux-scan.pcap", "afs.pcap", "ldp-common-session.pcap",
                                  "bgp_vpn_rt-oobr.pcap", "resp_3_malicious.pcap"])
def test_same_rows_and_counts_as_one_thread(name):
    path = os.path.join(CAPTURES, name)
    one, two = native(path, False), native(path, True)
    assert pa.RecordBatchReader.from_stream(two).read_all().equals(pa.RecordBatchReader.from_stream(one).read_all())
    assert two.stats() == one.stats()
    assert two.damage() == one.damage()


@pytest.mark.parametrize("batch_size", [1, 7, 65536])
@pytest.mark.parametrize("udp_timeout", [QUICK, 60.0])
def test_many_blocks_and_small_batches(many, batch_size, udp_timeout):
    path = many
    one = pa.RecordBatchReader.from_stream(native(path, False, batch_size, udp_timeout)).read_all()
    two = pa.RecordBatchReader.from_stream(native(path, True, batch_size, udp_timeout)).read_all()
    assert two.num_rows == 30_000 and two.equals(one)
    assert set(two["end_reason"].to_pylist()) == ({"idle", "eof"} if udp_timeout == QUICK else {"eof"})


def test_a_cut_capture_warns_and_keeps_the_rows_before(tmp_path, many):
    whole = open(many, "rb").read()
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(whole[: len(whole) // 2 + 5])
    with pytest.warns(kavrel.DamagedCapture):
        one = kavrel.read_connections(cut)
    with pytest.warns(kavrel.DamagedCapture):
        assert kavrel.read_connections(cut, jobs=2).equals(one)


@pytest.mark.parametrize("how", ["dropped", "cancelled"])
def test_a_read_ended_early_leaves_no_thread(many, how):
    path = many
    before = tasks()
    for _ in range(20):
        scan = native(path, True, batch_size=100, udp_timeout=QUICK)
        reader = pa.RecordBatchReader.from_stream(scan)
        reader.read_next_batch()
        if how == "cancelled":
            scan.cancel()
            with pytest.raises(OSError, match="cancelled"):
                reader.read_all()
            assert scan.failure()[0] == errno.ECANCELED
        del reader, scan
    assert tasks() == before


def test_cancel_from_another_thread_while_it_waits(many):
    path = many
    scan = native(path, True, batch_size=1, udp_timeout=QUICK)
    reader = pa.RecordBatchReader.from_stream(scan)
    reader.read_next_batch()
    stopper = threading.Timer(0.05, scan.cancel)
    stopper.start()
    with pytest.raises(OSError, match="cancelled"):
        while True:
            reader.read_next_batch()
    stopper.join()
    assert scan.failure()[0] == errno.ECANCELED
