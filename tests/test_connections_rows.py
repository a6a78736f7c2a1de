"""Whole tables: every column of real captures against the independent model (lengths and byte
counts included), rows held back beyond a byte bound and spilled to a temporary file, a failure to
write that file reported, and the assembler's state saved and loaded on the way."""

import glob
import os

import pytest

import connection_oracle as oracle
import connection_traffic as ct
import pcapgen as pg
from connection_traffic import A4, A6, ACK, B4, B6, C4, PSH, S, SYN
from connections_util import connections, connections_reloaded, packet_buckets

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
CAPTURES = sorted(glob.glob(os.path.join(DATA, "captures", "*.pcap")) +
                  glob.glob(os.path.join(DATA, "linktypes", "*.pcap")))
SERVICES = oracle.load_services(os.path.join(DATA, "services", "kdd_services.tsv"))
# Short timeouts, so that the captures' connections also end idle and by the close delay.
SHORT = {"tcp_timeout": 2.0, "udp_timeout": 1.0, "icmp_timeout": 0.5, "other_timeout": 0.25, "close_delay": 0.1}


@pytest.mark.parametrize("settings", [{}, SHORT], ids=["defaults", "short"])
@pytest.mark.parametrize("path", CAPTURES, ids=os.path.basename)
def test_captures_against_the_model(path, settings):
    expected = oracle.connections(oracle.frames_of_file(path), SERVICES, **settings)
    assert ct.as_rows(connections(path, **settings)) == expected


def long_and_short(tmp_path, n=60):
    """One TCP connection open from the first packet to the last, and `n` short UDP ones beside it."""
    items = [(0, ct.tcp(A4, B4, 40000, 22, SYN))]
    for i in range(n):
        items.append(((i + 1) * S // 10, ct.udp(A4, C4, 1000 + i, 53, b"q")))
        items.append(((i + 1) * S // 10 + 1, ct.udp(C4, A4, 53, 1000 + i, b"answer")))
    items.append(((n + 1) * S // 10, ct.tcp(A4, B4, 40000, 22, PSH | ACK, b"bye")))
    return ct.write(tmp_path / "long.pcap", items)


@pytest.mark.parametrize("hold_bytes", [0, 144, 1000, 5000])
@pytest.mark.parametrize("source", ["long", "afs.pcap", "mptcp-v0.pcap", "recorded-ipv6-ext.pcap"])
def test_rows_held_back_come_out_the_same(tmp_path, source, hold_bytes):
    path = long_and_short(tmp_path) if source == "long" else next(p for p in CAPTURES if p.endswith(source))
    unbounded = ct.as_rows(connections(path, **SHORT))
    bounded = ct.as_rows(connections(path, hold_bytes=hold_bytes, **SHORT))
    assert bounded == unbounded
    assert [r["uid"] for r in bounded] == sorted(r["uid"] for r in bounded)


@pytest.mark.parametrize("limit, errno_name", [(1000, "EFBIG"), (3000, "EFBIG"), (None, "ENOENT")])
def test_spill_failure_is_reported(tmp_path, monkeypatch, limit, errno_name):
    path = long_and_short(tmp_path)
    assert len(connections(path)) == 61  # nothing spilled, nothing refused
    if limit is None:
        monkeypatch.setenv("TMPDIR", str(tmp_path / "no-such-directory"))
    with pytest.raises(OSError) as failure:
        connections(path, hold_bytes=0, file_limit=limit)
    assert failure.value.errno == getattr(__import__("errno"), errno_name)


@pytest.mark.parametrize("every", [1, 2, 7])
@pytest.mark.parametrize("source", ["long", "afs.pcap", "dns_tcp.pcap", "recorded-vlan-qinq.pcap",
                                    "vrrp-vrrp_print-oobr-2.pcap"])
def test_saved_and_loaded_state_gives_the_same_rows(tmp_path, source, every):
    path = long_and_short(tmp_path) if source == "long" else next(p for p in CAPTURES if p.endswith(source))
    assert ct.as_rows(connections_reloaded(path, every, **SHORT)) == ct.as_rows(connections(path, **SHORT))


def test_files_read_as_one_capture(tmp_path):
    # uids count frames across files; a connection runs on from one file into the next.
    first = ct.write(tmp_path / "1.pcap", [(0, ct.tcp(A4, B4, 1, 2, SYN)), (1, ct.udp(A4, C4, 3, 4))])
    second = ct.write(tmp_path / "2.pcap", [(2, ct.tcp(B4, A4, 2, 1, SYN | ACK)), (3, ct.udp(C4, B4, 5, 6))])
    rows = ct.as_rows(connections([first, second]))
    assert [(r["uid"], r["orig_pkts"] + r["resp_pkts"]) for r in rows] == [(0, 2), (1, 1), (3, 1)]
    assert rows[0]["history"] == "Sh"


def test_buckets_keep_both_directions_and_fragments_together(tmp_path):
    # A bucket is a fixed function of (version, protocol, unordered addresses, vlan), the same in
    # every process (each has its own salt for its tables).
    udp = pg.udp(7, 9, b"z" * 40)
    groups = [
        [ct.tcp(A4, B4, 1, 2, SYN), ct.tcp(B4, A4, 2, 1, SYN | ACK), ct.tcp(A4, B4, 3, 4, ACK)],
        [*ct.fragments(A4, B4, 17, udp, ident=3), ct.udp(B4, A4, 9, 7)],
        [*ct.fragments(A6, B6, 17, udp, ident=3)[::-1], ct.udp(B6, A6, 9, 7)],
        [ct.icmp(A4, C4, 8), ct.icmp(C4, A4, 0), ct.icmp(C4, A4, 3, 3)],
        [ct.ip(B4, C4, 47, b"\0" * 4), ct.ip(C4, B4, 47, b"\0" * 4)],
    ]
    items = [(i, p) for i, p in enumerate(p for g in groups for p in g)]
    path = ct.write(tmp_path / "b.pcap", items)
    buckets = packet_buckets(path)
    assert buckets == packet_buckets(path)
    assert [frame for frame, _ in buckets] == list(range(len(items)))
    by_group, at = [], 0
    for g in groups:
        by_group.append({b for _, b in buckets[at:at + len(g)]})
        at += len(g)
    assert all(len(s) == 1 for s in by_group)
    assert len(set.union(*by_group)) == len(groups)  # 32-bit values: distinct keys collide almost never
    tagged = packet_buckets(ct.write(tmp_path / "t.pcap", items[:1], link="8021q"))
    assert tagged[0][1] != buckets[0][1]  # the VLAN is part of the bucket's key
