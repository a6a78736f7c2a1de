"""The connection benchmark's generator, read back with dpkt: exactly the frames it was asked for,
in time order, the connections it says it made (keyed as kavrel keys connections), TCP that a
receiver could follow, and the long connection from the first frame to the last."""

from __future__ import annotations

import hashlib
import os
import sys
from collections import Counter

import dpkt
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

import genconn  # noqa: E402

FRAMES = 30_000
QUIET_US = 6_000_000  # the longest silence the generator promises within a connection


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    out = {}
    for long in (False, True):
        path = str(tmp_path_factory.mktemp("conn") / f"conn{'-long' if long else ''}.pcap")
        out[long] = (path, genconn.make_capture(path, FRAMES, long=long))
    return out


def records(path: str) -> list[tuple[int, bytes]]:
    with open(path, "rb") as fh:
        reader = dpkt.pcap.Reader(fh)
        assert reader.snaplen == 65535 and reader.datalink() == dpkt.pcap.DLT_EN10MB
        return [(round(ts * 1_000_000), buf) for ts, buf in reader]


def key_of(buf: bytes):
    """(protocol layer, key) as kavrel's connections group packets, or None for a non-IP frame."""
    ip = dpkt.ethernet.Ethernet(buf).data
    if not isinstance(ip, (dpkt.ip.IP, dpkt.ip6.IP6)):
        return None
    proto = ip.p if isinstance(ip, dpkt.ip.IP) else ip.nxt
    l4 = ip.data
    if proto in (6, 17):
        return ("tcp" if proto == 6 else "udp"), frozenset({(ip.src, l4.sport), (ip.dst, l4.dport)})
    if proto in (1, 58):
        assert l4.type in (0, 8, 128, 129), "only echo is generated"
        ident = int.from_bytes(bytes(l4)[4:6], "big")
        return "icmp", (proto, frozenset({ip.src, ip.dst}), ident)
    return "other", (proto, frozenset({ip.src, ip.dst}))


@pytest.mark.parametrize("long", [False, True])
def test_frames_in_time_order(made, long):
    path, summary = made[long]
    recs = records(path)
    times = [t for t, _ in recs]
    assert len(recs) == summary["frames"] == FRAMES + summary["long_connection_frames"]
    assert all(a <= b for a, b in zip(times, times[1:]))
    assert (times[0], times[-1]) == (summary["first_ts_us"], summary["last_ts_us"])
    assert sum(key_of(b) is None for _, b in recs) == summary["non_ip_frames"] > 0


@pytest.mark.parametrize("long", [False, True])
def test_connections_as_a_dpkt_model_groups_them(made, long):
    path, summary = made[long]
    first, last, gaps, pairs = {}, {}, {}, Counter()
    for t, buf in records(path):
        key = key_of(buf)
        if key is None:
            continue
        if key not in first:
            first[key] = t
            ip = dpkt.ethernet.Ethernet(buf).data
            pairs[frozenset({ip.src, ip.dst})] += 1
        else:
            gaps[key] = max(gaps.get(key, 0), t - last[key])
        last[key] = t
    by_layer = Counter(layer for layer, _ in first)
    want = summary["connections"]
    assert {layer: by_layer[layer] for layer in ("tcp", "udp", "icmp", "other")} == \
        {layer: want[layer] for layer in ("tcp", "udp", "icmp", "other")}
    assert len(first) == want["total"]
    # No connection falls silent long enough for a timeout to split it.
    assert max(gaps.values()) <= QUIET_US
    # Spread over many host pairs, none of them holding more than a few percent.
    assert len(pairs) == summary["host_pairs"] > want["total"] // 3
    assert max(pairs.values()) < want["total"] * 0.05
    assert {len(a) for p in pairs for a in p} == {4, 16}  # IPv4 and IPv6


def test_tcp_is_a_conversation_a_receiver_could_follow(made):
    """Each side's sequence numbers advance by what it sent (a SYN retransmission repeats its own),
    nothing acknowledges bytes not yet sent, and a handshake is SYN, SYN+ACK, ACK in that order."""
    path, _ = made[True]
    nxt: dict = {}
    flags_seen: dict = {}
    shapes = Counter()
    for _, buf in records(path):
        ip = dpkt.ethernet.Ethernet(buf).data
        seg = ip.data
        if not isinstance(seg, dpkt.tcp.TCP):
            continue
        me, peer = (ip.src, seg.sport), (ip.dst, seg.dport)
        key = frozenset({me, peer})
        syn, fin, ack = seg.flags & dpkt.tcp.TH_SYN, seg.flags & dpkt.tcp.TH_FIN, seg.flags & dpkt.tcp.TH_ACK
        if (key, me) in nxt and not (syn and (seg.seq + 1) & 0xFFFFFFFF == nxt[key, me]):
            assert seg.seq == nxt[key, me], "a gap or overlap in what one side sent"
        nxt[key, me] = (seg.seq + len(seg.data) + (1 if syn else 0) + (1 if fin else 0)) & 0xFFFFFFFF
        if ack and (key, peer) in nxt:
            assert (nxt[key, peer] - seg.ack) & 0xFFFFFFFF < 1 << 31, "acknowledges bytes never sent"
        history = flags_seen.setdefault(key, [])
        if len(history) < 3:
            history.append((me, seg.flags & (dpkt.tcp.TH_SYN | dpkt.tcp.TH_ACK | dpkt.tcp.TH_RST)))
    for history in flags_seen.values():
        (a, f0), *rest = history
        if f0 == dpkt.tcp.TH_SYN and rest and rest[0][1] == dpkt.tcp.TH_SYN | dpkt.tcp.TH_ACK:
            assert rest[0][0] != a and (len(rest) == 1 or rest[1][0] == a)
            shapes["handshake"] += 1
        elif f0 == dpkt.tcp.TH_SYN and rest and rest[0][1] & dpkt.tcp.TH_RST:
            shapes["refused"] += 1
    assert shapes["handshake"] > 0 and shapes["refused"] > 0


def test_the_long_connection_spans_the_capture_and_adds_nothing_else(made):
    plain, _ = made[False]
    path, summary = made[True]
    recs = records(path)
    long_key = key_of(recs[0][1])
    assert key_of(recs[-1][1]) == long_key and long_key[0] == "tcp"
    mine = [t for t, b in recs if key_of(b) == long_key]
    assert len(mine) == summary["long_connection_frames"] > 3
    assert max(b - a for a, b in zip(mine, mine[1:])) <= QUIET_US
    # Without its frames, the capture is the one made without it, record for record.
    assert [r for r in recs if key_of(r[1]) != long_key] == records(plain)


@pytest.mark.parametrize("seed, same", [(genconn.SEED, True), (genconn.SEED + 1, False)])
def test_the_seed_decides_every_byte(made, tmp_path, seed, same):
    path, _ = made[False]
    again = str(tmp_path / "again.pcap")
    genconn.make_capture(again, FRAMES, seed=seed)

    def digest(p: str) -> str:
        with open(p, "rb") as fh:
            return hashlib.sha256(fh.read()).hexdigest()

    assert (digest(again) == digest(path)) is same
