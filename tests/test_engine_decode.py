"""The packets and features tables against an independent decoder, field by field: crafted frames
of every link type and tag depth, each cut at every byte, read by both readers; arbitrary bytes."""

import os
import socket
import struct
import sys

import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import engine_oracle
import pcapgen as pg
from kavrel.dataset import PACKET_COLUMNS, Scan

V4, V6 = pg.ETH_IPV4, pg.ETH_IPV6
A4, B4 = "192.0.2.1", "198.51.100.7"
A6, B6 = "2001:db8::1", "fe80::ffff:c000:201"


def udp4_first_fragment():
    return pg.ipv4(A4, B4, 17, pg.udp(5353, 53, b"x" * 8), flags_frag=0x2000, ident=7)


# IP packets (and what the link layer says they are), each to be put behind every link header.
PACKETS = {
    "tcp4": (pg.ipv4(A4, B4, 6, pg.tcp(40000, 443, seq=0xDEADBEEF, ack=7, flags=0x18), ident=0xBEEF, ttl=3), V4),
    "udp4-options": (pg.ipv4(A4, A4, 17, pg.udp(9, 9, b"abc"), ihl=7), V4),
    "land4": (pg.ipv4(A4, A4, 6, pg.tcp(80, 80)), V4),
    "icmp4": (pg.ipv4(A4, B4, 1, pg.icmp(8, 3)), V4),
    "icmp6-over-ipv4": (pg.ipv4(A4, B4, 58, pg.icmp(128)), V4),
    "ihl4": (pg.ipv4(A4, B4, 6, pg.tcp(1, 2), ihl=4), V4),
    "first-fragment4": (udp4_first_fragment(), V4),
    "later-fragment4": (pg.ipv4(A4, B4, 17, pg.udp(1, 2), flags_frag=0x0010), V4),
    "ipv4-nibble6": (pg.ipv4(A4, B4, 17, pg.udp(1, 2, bytes(20)), version=6), V4),
    "tcp6": (pg.ipv6(A6, B6, 6, pg.tcp(1, 2, seq=5, flags=0xFF), flow=0xABCDE), V6),
    "udp6-hbh-first-fragment": (pg.ipv6(A6, "::", 0, pg.ext_header(44, pg.frag_header(17, pg.udp(7, 8),
                                                                                      more=True))), V6),
    "icmp6-dst-routing": (pg.ipv6("::ffff:10.0.0.1", B6, 60, pg.ext_header(43, pg.ext_header(
        58, pg.icmp(135), units=1))), V6),
    "later-fragment6": (pg.ipv6(A6, B6, 44, pg.frag_header(6, pg.tcp(1, 2), offset=3)), V6),
    "atomic-fragment6": (pg.ipv6(A6, B6, 44, pg.frag_header(17, pg.udp(3, 4))), V6),
    "icmp-over-ipv6": (pg.ipv6("::2", "::", 1, pg.icmp(0)), V6),
    "sctp6": (pg.ipv6(A6, B6, 132, bytes(12)), V6),
    "ipv6-nibble4": (pg.ipv6(A6, B6, 17, pg.udp(1, 2), first_word=0x4000_0000), V6),
    "arp": (pg.arp()[14:], pg.ETH_ARP),
}

# Link headers: (link type, options for pcapgen.link).
LINKS = {
    "ethernet": (1, {}),
    "8021q": (1, {"stack": [(0x8100, 0x2064)]}),
    "qinq": (1, {"stack": [(0x88A8, 0x60C8), (0x8100, 300)]}),
    "three-tags": (1, {"stack": [(0x9100, 4095), (0x88A8, 1), (0x8100, 2)]}),
    "sll": (113, {}),
    "sll-tagged": (113, {"stack": [(0x8100, 42)]}),
    "sll-addr8": (113, {"addr": bytes(range(1, 9)), "addr_len": 8}),
    "sll2": (276, {}),
    "sll2-addr4": (276, {"addr_len": 4}),
    "sll2-tagged": (276, {"stack": [(0x88A8, 9), (0x8100, 10)]}),
    "raw": (101, {}),
    "raw12": (12, {}),
    "raw14": (14, {}),
    "ipv4": (228, {}),
    "ipv6": (229, {}),
    **{f"{name}-{order}-af{af}": (lt, {"big_endian": order == "be", "v6_family": af})
       for lt, name in ((0, "null"), (108, "loop")) for order in ("le", "be") for af in pg.AF_INET6_VALUES},
}


def framed(linktype, opts, packet, ethertype):
    opts = dict(opts)
    family = opts.pop("v6_family", None)
    if family is not None:
        opts["family"] = {V4: pg.AF_INET, V6: family}.get(ethertype, 0x0700)
    return pg.link(linktype, packet, ethertype, **opts)


def scan(path, table="packets", reader="auto", batch_size=65536):
    """(the table, the scan's stats) as the engine reads `path`."""
    s = Scan(os.fspath(path), table, list(PACKET_COLUMNS) if table == "packets" else [], batch_size, reader)
    t = pa.Table.from_batches(list(s.batches()), schema=s.schema)
    if table == "packets":
        t = t.set_column(0, "timestamp", t["timestamp"].cast(pa.int64()))
    return t, s.stats()


def check(path, linktype, records, reader="auto", nanosecond=False, swapped=False, labels=None):
    """Both tables of `path` (written from pcapgen `records`) equal the oracle's, row by row."""
    fields = [(r.ts_sec, r.ts_usec, *r.header_and_data()[3:]) for r in records]
    want, skipped = engine_oracle.rows(linktype, fields, nanosecond=nanosecond, swapped=swapped)
    packets, stats = scan(path, "packets", reader)
    features, _ = scan(path, "features", reader)
    assert {k: stats[k] for k in skipped} == skipped
    assert packets.num_rows == features.num_rows == len(want)
    for got, got_features, (i, w) in zip(packets.to_pylist(), features.to_pylist(), want):
        label = labels[i] if labels else f"record {i}"
        w_features = w.pop("features")
        assert got == w, label
        assert got_features == w_features, label
    return len(want)


@pytest.mark.parametrize("reader", ["auto", "libpcap"])
@pytest.mark.parametrize("link", LINKS)
def test_every_cut_of_every_frame(tmp_path, link, reader):
    linktype, opts = LINKS[link]
    records, labels = [], []
    for name, (packet, ethertype) in PACKETS.items():
        frame = framed(linktype, opts, packet, ethertype)
        for caplen in range(len(frame) + 1):
            # stamps 0.7 s apart, so the count chains run and break across the file
            t = len(records) * 700_000
            records.append(pg.Record(frame, ts_sec=1_700_000_000 + t // 1_000_000, ts_usec=t % 1_000_000,
                                     caplen=caplen, wire_len=len(frame) + 4))
            labels.append(f"{name} cut at {caplen}")
    path = pg.write_pcap(tmp_path / "cuts.pcap", records, linktype=linktype)
    assert check(path, linktype, records, reader, labels=labels) > len(PACKETS)


@pytest.mark.parametrize("nanosecond", [False, True], ids=["usec", "nsec"])
@pytest.mark.parametrize("big_endian", [False, True], ids=["le", "be"])
@pytest.mark.parametrize("reader", ["auto", "libpcap"])
def test_timestamps_and_lengths(tmp_path, reader, big_endian, nanosecond):
    # seconds past 2038 (unsigned in the file), fractions out of range and negative as a signed field
    stamps = [(0, 0), (1, 999_999), (2**31 - 1, 5), (2**31, 1), (2**32 - 1, 999_999_999), (7, 2**31 - 1),
              (7, 2**32 - 1), (8, 2**31), (9, 1_000_000)]
    frame = pg.eth(PACKETS["udp4-options"][0])
    records = [pg.Record(frame, ts_sec=s, ts_usec=f, wire_len=len(frame) + i) for i, (s, f) in enumerate(stamps)]
    path = pg.write_pcap(tmp_path / "t.pcap", records, big_endian=big_endian, nanosecond=nanosecond)
    assert check(path, 1, records, reader, nanosecond=nanosecond, swapped=big_endian != (sys.byteorder == "big")) == len(stamps)


# Arbitrary bytes behind a valid link header of each type, and arbitrary whole frames.
@settings(max_examples=250, deadline=None)
@given(link=st.sampled_from(sorted(LINKS)), ethertype=st.sampled_from([V4, V6, 0x8100, 0x88A8, 0x0806]),
       bodies=st.lists(st.tuples(st.binary(max_size=90), st.booleans()), min_size=1, max_size=8))
def test_arbitrary_bytes(tmp_path_factory, link, ethertype, bodies):
    linktype, opts = LINKS[link]
    frames = [body if whole else framed(linktype, opts, body, ethertype) for body, whole in bodies]
    records = [pg.Record(f, ts_usec=i * 300_000) for i, f in enumerate(frames)]
    path = pg.write_pcap(tmp_path_factory.mktemp("hyp") / "x.pcap", records, linktype=linktype)
    check(path, linktype, records)


GROUP = st.sampled_from([0, 0, 0, 1, 0xFFFF]) | st.integers(0, 0xFFFF)
ADDRESS = st.one_of(
    st.lists(GROUP, min_size=8, max_size=8),
    # the forms inet_ntop writes with a dotted tail, and their near misses
    st.tuples(st.sampled_from([[0] * 6, [0] * 5 + [0xFFFF], [0] * 7, [0] * 4 + [1, 0xFFFF]]),
              st.lists(GROUP, min_size=2, max_size=2)).map(lambda t: (t[0] + t[1])[:8]),
)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(ADDRESS, ADDRESS), min_size=1, max_size=30))
def test_ipv6_addresses_as_inet_ntop_writes_them(tmp_path_factory, pairs):
    def text(groups):
        return socket.inet_ntop(socket.AF_INET6, struct.pack("!8H", *groups))

    records = [pg.Record(pg.ipv6(text(a), text(b), 59)) for a, b in pairs]
    path = pg.write_pcap(tmp_path_factory.mktemp("ip6") / "x.pcap", records, linktype=229)
    check(path, 229, records)
