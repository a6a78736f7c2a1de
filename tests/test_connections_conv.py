"""The connection table of the captures recorded on Linux against tshark's conversation tables of
the same captures (saved beside them): every TCP and UDP connection is one conversation, with the
same originator, the same frames each way, the same start and duration; the pings against the
address tables, where an address pair carried nothing else."""

from __future__ import annotations

import glob
import os

import dpkt
import pytest

import kavrel
import tshark_conv
from conftest import CORPUS

LINUX = sorted(os.path.basename(p)[:-len(".pcap")] for p in glob.glob(os.path.join(CORPUS, "linux-*.pcap")))


def first_time(path: str) -> float:
    with open(path, "rb") as fh:
        return next(iter(dpkt.pcap.Reader(fh)))[0]


def check(conv, row, start: float) -> None:
    assert (conv.a, conv.a_port) == (row["orig_ip"], row["orig_port"] if conv.a_port is not None else None)
    assert (conv.frames_ab, conv.frames_ba) == (row["orig_pkts"], row["resp_pkts"])
    # tshark prints the start to 9 decimals from the first frame and the duration to 4.
    assert conv.start == pytest.approx(row["ts"].timestamp() - start, abs=2e-6)
    assert conv.duration == pytest.approx(row["duration"], abs=0.5e-4 + 1e-9)


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("name", LINUX)
def test_transport_connections_are_tsharks_conversations(name, jobs):
    path = os.path.join(CORPUS, name + ".pcap")
    saved = tshark_conv.read(os.path.join(CORPUS, name + ".conv.txt"))
    rows = kavrel.read_connections(path, jobs=jobs, chunk_bytes=512).to_pylist()
    start = first_time(path)
    ours = {}
    for row in rows:
        if row["protocol_type"] in ("TCP", "UDP"):
            key = (row["protocol_type"].lower(), frozenset({(row["orig_ip"], row["orig_port"]),
                                                            (row["resp_ip"], row["resp_port"])}))
            assert key not in ours, "a conversation cut in two"
            ours[key] = row
    theirs = {(layer, c.endpoints()): c for layer in ("tcp", "udp") for c in saved[layer]}
    assert ours.keys() == theirs.keys()
    for key, conv in theirs.items():
        check(conv, ours[key], start)


@pytest.mark.parametrize("name", LINUX)
def test_pings_against_the_address_tables(name):
    path = os.path.join(CORPUS, name + ".pcap")
    saved = tshark_conv.read(os.path.join(CORPUS, name + ".conv.txt"))
    rows = kavrel.read_connections(path).to_pylist()
    start = first_time(path)
    # An address pair whose only connections are echo pairs: tshark's row for the pair is theirs.
    by_pair: dict[frozenset, list] = {}
    for row in rows:
        by_pair.setdefault(frozenset({row["orig_ip"], row["resp_ip"]}), []).append(row)
    compared = 0
    for conv in saved["ip"] + saved["ipv6"]:
        mine = by_pair.get(frozenset({conv.a, conv.b}), [])
        if len(mine) == 1 and mine[0]["protocol_type"] == "ICMP" and mine[0]["orig_port"] in (8, 128):
            check(conv, mine[0], start)
            compared += 1
    assert compared == (2 if name == "linux-ping" else 0)
