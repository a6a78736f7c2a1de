"""Decoding rules of the packet decoder, seen through read_pcap on crafted frames."""

import pytest

import pcapgen as pg
from pcapgen import Record
from kavrel.core.base import sniffkit


def decode(make_pcap, *records, **kwargs):
    return list(sniffkit.read_pcap(make_pcap(list(records), **kwargs)))


def one(make_pcap, record):
    (d,) = decode(make_pcap, record)
    return d


V4 = ("10.0.0.1", "10.0.0.2")
V6 = ("2001:db8::1", "2001:db8::2")


@pytest.mark.parametrize(
    "frame, land",
    [
        (pg.eth(pg.ipv4("10.0.0.1", "10.0.0.1", 6, pg.tcp(80, 80))), 1),
        (pg.eth(pg.ipv4("10.0.0.1", "10.0.0.1", 6, pg.tcp(80, 81))), 0),
        (pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 6, pg.tcp(80, 80))), 0),
        (pg.eth(pg.ipv6("::1", "::1", 6, pg.tcp(80, 80)), pg.ETH_IPV6), 0),
        (pg.eth(pg.ipv4("10.0.0.1", "10.0.0.1", 17, pg.udp(80, 80))), 0),
    ],
)
def test_land(make_pcap, frame, land):
    assert one(make_pcap, frame)["land"] == land


@pytest.mark.parametrize(
    "flags_frag, wrong",
    [(0x0000, 0), (0x4000, 0), (0x8000, 0), (0x2000, 1), (0x00B9, 1), (0x6001, 1), (0x1FFF, 1)],
)
def test_wrong_fragment(make_pcap, flags_frag, wrong):
    d = one(make_pcap, pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2), flags_frag=flags_frag)))
    assert d["wrong_fragment"] == wrong


@pytest.mark.parametrize("ihl", [5, 6, 9, 15])
def test_ihl_moves_transport_header(make_pcap, ihl):
    d = one(make_pcap, pg.eth(pg.ipv4(*V4, 6, pg.tcp(4321, 443, seq=7, ack=9, flags=0x12), ihl=ihl)))
    assert (d["src_port"], d["dst_port"], d["tcp_seq"], d["tcp_ack"], d["tcp_flag"]) == (4321, 443, 7, 9, 0x12)


def test_ihl_below_five_reads_inside_ip_header(make_pcap):
    # IHL 4 puts the "transport header" at offset 30: the destination address.
    frame = pg.eth(pg.ipv4("10.0.0.1", "1.2.3.4", 17, pg.udp(9, 9), ihl=4))
    d = one(make_pcap, frame)
    assert (d["src_port"], d["dst_port"]) == (0x0102, 0x0304)


def test_ipv6_flow_label_and_next_header(make_pcap):
    ip6 = pg.ipv6(*V6, 17, pg.udp(5, 6), first_word=0x6ABCDEF0)
    d = one(make_pcap, pg.eth(ip6, pg.ETH_IPV6))
    assert d["ip_id"] == 0xCDEF0 == 843504
    assert (d["version"], d["ip_proto"], d["src_port"], d["dst_port"], d["udp_length"]) == ("IPv6", 17, 5, 6, 8)


@pytest.mark.parametrize("next_header", [0, 43, 44, 59])
def test_ipv6_extension_headers_are_not_followed(make_pcap, next_header):
    d = one(make_pcap, pg.eth(pg.ipv6(*V6, next_header, bytes(8) + pg.tcp(1, 2)), pg.ETH_IPV6))
    assert (d["ip_proto"], d["src_port"], d["dst_port"], d["protocol_type"]) == (next_header, 0, 0, "Others")


@pytest.mark.parametrize(
    "frame",
    [
        pg.eth(pg.ipv4(*V4, 58, pg.icmp(128, 3))),
        pg.eth(pg.ipv4(*V4, 1, pg.icmp(128, 3))),
        pg.eth(pg.ipv6(*V6, 1, pg.icmp(128, 3)), pg.ETH_IPV6),
        pg.eth(pg.ipv6(*V6, 58, pg.icmp(128, 3)), pg.ETH_IPV6),
    ],
)
def test_icmp_numbers_not_paired_with_versions(make_pcap, frame):
    d = one(make_pcap, frame)
    assert (d["protocol_type"], d["icmp_type"], d["icmp_code"], d["src_port"], d["dst_port"]) == ("ICMP", 128, 3, 0, 0)


@pytest.mark.parametrize("flags, urgent", [(0x32, 1), (0x12, 0), (0xFF, 1), (0x00, 0), (0x20, 1)])
def test_tcp_flags_and_urgent(make_pcap, flags, urgent):
    d = one(make_pcap, pg.eth(pg.ipv4(*V4, 6, pg.tcp(1, 2, flags=flags))))
    assert (d["tcp_flag"], d["urgent"]) == (flags, urgent)


@pytest.mark.parametrize(
    "sec, usec, ts",
    [
        (1_700_000_000, 500_000, 1_700_000_000.5),
        (0, 1, 1e-6),
        (0x80000000, 0, -2147483648.0),  # seconds past 2038 wrap as signed 32-bit
        (1, 0xE4FF0030, -453050320 / 1e6 + 1),  # absurd microseconds, signed too
    ],
)
def test_timestamps(make_pcap, sec, usec, ts):
    d = one(make_pcap, Record(pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), ts_sec=sec, ts_usec=usec))
    assert d["timestamp"] == ts


def test_frame_length_is_wire_length(make_pcap):
    frame = pg.eth(pg.ipv4(*V4, 6, pg.tcp(1, 2, payload=bytes(1460))))
    d = one(make_pcap, Record(frame, caplen=96))
    assert d["frame_length"] == len(frame) == 1514


@pytest.mark.parametrize(
    "frame",
    [pg.arp(), pg.vlan(pg.ipv4(*V4, 17, pg.udp(1, 2))), pg.eth(b"\x00" * 40, 0x9000), pg.eth(b"", 0x0800)[:13]],
    ids=["arp", "vlan", "other-ethertype", "short-ethernet"],
)
def test_non_ip_frames_are_skipped(make_pcap, frame):
    ok = pg.eth(pg.ipv4(*V4, 17, pg.udp(7, 7)))
    assert [d["src_port"] for d in decode(make_pcap, frame, ok, frame)] == [7]


# Bytes each case needs: IPv4 header to byte 33, IPv6 to 53.
@pytest.mark.parametrize(
    "frame, caplen, decoded",
    [
        (pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), 33, False),
        (pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), 34, True),
        (pg.eth(pg.ipv6(*V6, 17, pg.udp(1, 2)), pg.ETH_IPV6), 53, False),
        (pg.eth(pg.ipv6(*V6, 17, pg.udp(1, 2)), pg.ETH_IPV6), 54, True),
        (pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), 0, False),
        (pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), 13, False),
    ],
)
def test_cut_ip_header_is_not_decoded(make_pcap, frame, caplen, decoded):
    assert len(decode(make_pcap, Record(frame, caplen=caplen))) == int(decoded)


def test_cut_transport_fields_read_as_zero(make_pcap):
    # A 64-byte snapshot of IPv6 TCP keeps ports and sequence; ack, flags and URG are cut.
    frame = pg.eth(pg.ipv6(*V6, 6, pg.tcp(1234, 80, seq=0xDEADBEEF, ack=5, flags=0x32)), pg.ETH_IPV6)
    d = one(make_pcap, Record(frame, caplen=64))
    assert (d["src_port"], d["dst_port"], d["tcp_seq"]) == (1234, 80, 0xDEADBEEF)
    assert (d["tcp_ack"], d["tcp_flag"], d["urgent"]) == (0, 0, 0)


@pytest.mark.parametrize("caplen", range(34, 34 + 14))
def test_each_tcp_field_needs_all_its_bytes(make_pcap, caplen):
    frame = pg.eth(pg.ipv4("10.0.0.1", "10.0.0.1", 6, pg.tcp(80, 80, seq=0x01020304, ack=0x05060708, flags=0x20)))
    d = one(make_pcap, Record(frame, caplen=caplen))
    got = caplen - 34  # transport bytes captured
    assert d["src_port"] == (80 if got >= 2 else 0)
    assert d["dst_port"] == (80 if got >= 4 else 0)
    assert d["land"] == (1 if got >= 4 else 0)
    assert d["tcp_seq"] == (0x01020304 if got >= 8 else 0)
    assert d["tcp_ack"] == (0x05060708 if got >= 12 else 0)
    assert d["tcp_flag"] == 0 and d["urgent"] == 0  # byte 13 is never captured here


def test_fields_do_not_leak_between_frames(make_pcap):
    # A cut frame must not show the transport values of the frame before it.
    full = pg.eth(pg.ipv4(*V4, 17, pg.udp(1000, 2000, length=77)))
    cut = Record(pg.eth(pg.ipv4(*V4, 17, pg.udp(3000, 4000, length=88))), caplen=36)
    a, b = decode(make_pcap, full, cut)
    assert (a["src_port"], a["udp_length"]) == (1000, 77)
    assert (b["src_port"], b["dst_port"], b["udp_length"]) == (3000, 0, 0)
