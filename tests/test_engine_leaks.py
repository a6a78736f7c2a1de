"""The engine's calls ten thousand times over: memory blocks, resident size and descriptors stay flat,
whether a scan is read to its end, abandoned mid-way, refused at open or ended by damage."""

import os
import warnings

import pyarrow as pa
import pytest

import kavrel
import pcapgen as pg
from conftest import CORPUS
from kavrel import _engine
from test_leaks import assert_flat  # respects KAVREL_SANITIZED

FRAMES = [pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 6, pg.tcp(1, 2))), pg.arp(),
          pg.eth_tagged(pg.ipv6("::1", "::2", 17, pg.udp(1, 2)), pg.ETH_IPV6, [(0x88A8, 5), (0x8100, 6)])] * 20


def abandoned(scan, path):
    reader = scan(path, batch_size=7)
    reader.read_next_batch()
    del reader


def refused(path):
    with pytest.raises(FileNotFoundError):
        kavrel.read_packets(path + ".missing")


def damaged(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kavrel.read_features(path + ".cut")


STEPS = {
    "read_packets": kavrel.read_packets,
    "read_features": kavrel.read_features,
    "scan_packets-to-the-end": lambda p: sum(len(b) for b in kavrel.scan_packets(p, batch_size=16)),
    "scan_features-abandoned": lambda p: abandoned(kavrel.scan_features, p),
    "scan_packets-abandoned": lambda p: abandoned(kavrel.scan_packets, p),
    "pcapng": lambda p: kavrel.read_packets(os.path.join(CORPUS, "OSPFv2_Capture_FINAL.pcapng")),
    "libpcap-reader": lambda p: pa.RecordBatchReader.from_stream(
        _engine.Scan([p], "packets", ["ttl"], 10, "libpcap")).read_all(),
    "capsule-never-imported": lambda p: _engine.Scan([p], "features", [], 10).__arrow_c_stream__(),
    "missing-file": refused,
    "damaged-file": damaged,
}


@pytest.mark.parametrize("name", STEPS)
def test_engine_calls_stay_flat(tmp_path, name):
    path = pg.write_pcap(tmp_path / "small.pcap", FRAMES)
    (tmp_path / "small.pcap.cut").write_bytes(pg.pcap_bytes(FRAMES)[:-7])
    assert_flat(lambda: STEPS[name](path), 10_000)
