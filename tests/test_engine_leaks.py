"""The engine's calls thousands of times over: memory blocks, resident size and descriptors stay flat,
whether a scan is read to its end, abandoned mid-way, refused at open or ended by damage."""

import os
import warnings

import pyarrow as pa
import pytest

import kavrel
import pcapgen as pg
from kavrel import _engine
from test_leaks import assert_flat

N = 10_000


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("engine-leak")
    frames = [pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 6, pg.tcp(1, 2))),
              pg.eth_tagged(pg.ipv6("::1", "::2", 17, pg.udp(1, 2)), pg.ETH_IPV6, [(0x88A8, 5), (0x8100, 6)]),
              pg.arp()] * 20
    small = pg.write_pcap(d / "small.pcap", frames)
    damaged = d / "damaged.pcap"
    damaged.write_bytes(pg.pcap_bytes(frames)[:-7])
    pcapng = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "captures",
                          "OSPFv2_Capture_FINAL.pcapng")
    return {"small": small, "damaged": str(damaged), "pcapng": pcapng, "missing": str(d / "missing.pcap")}


def abandoned(scan, path):
    reader = scan(path, batch_size=7)
    reader.read_next_batch()
    del reader


def refused(path):
    try:
        kavrel.read_packets(path)
    except FileNotFoundError:
        pass


def damaged(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kavrel.read_features(path)


STEPS = {
    "read_packets": (kavrel.read_packets, "small"),
    "read_features": (kavrel.read_features, "small"),
    "scan_packets-to-the-end": (lambda p: sum(len(b) for b in kavrel.scan_packets(p, batch_size=16)), "small"),
    "scan_features-abandoned": (lambda p: abandoned(kavrel.scan_features, p), "small"),
    "scan_packets-abandoned": (lambda p: abandoned(kavrel.scan_packets, p), "small"),
    "libpcap-pcapng": (kavrel.read_packets, "pcapng"),
    "libpcap-reader": (lambda p: pa.RecordBatchReader.from_stream(
        _engine.Scan([p], "packets", ["ttl"], 10, "libpcap")).read_all(), "small"),
    "capsule-never-imported": (lambda p: _engine.Scan([p], "features", [], 10).__arrow_c_stream__(), "small"),
    "missing-file": (refused, "missing"),
    "damaged-file": (damaged, "damaged"),
}


@pytest.mark.parametrize("name", STEPS)
def test_engine_calls_stay_flat(files, name):
    run, which = STEPS[name]
    path = files[which]
    assert_flat(lambda: run(path), N)
