"""Which packets make one connection: timeouts at and past their limit for every protocol, the
capture clock of other frames, UDP states, echo pairs by identifier, other ICMP by type and code,
fragments in and out of order, and the same traffic behind every link header."""

import pytest

import connection_traffic as ct
import pcapgen as pg
from connection_traffic import A4, A6, ACK, B4, B6, C4, GRE, PSH, S, SYN
from connections_util import connections


def run(tmp_path, items, link="ethernet", **settings):
    return ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items, link), **{**ct.SETTINGS, **settings}))


# One packet each way of a key, and the timeout (seconds, from ct.SETTINGS) it lives by.
PAIRS = {
    "tcp": (ct.tcp(A4, B4, 1025, 80, ACK), ct.tcp(B4, A4, 80, 1025, ACK), 10),
    "tcp6": (ct.tcp(A6, B6, 1025, 80, ACK), ct.tcp(B6, A6, 80, 1025, ACK), 10),
    "udp": (ct.udp(A4, B4, 5000, 53, b"q"), ct.udp(B4, A4, 53, 5000, b"r"), 5),
    "icmp-echo": (ct.icmp(A4, B4, 8, ident=7), ct.icmp(B4, A4, 0, ident=7), 4),
    "icmp6-echo": (ct.icmp(A6, B6, 128, ident=7), ct.icmp(B6, A6, 129, ident=7), 4),
    "icmp-message": (ct.icmp(A4, B4, 3, 3), ct.icmp(B4, A4, 3, 3), 4),
    "other": (ct.ip(A4, B4, GRE, b"\x00" * 4), ct.ip(B4, A4, GRE, b"\x00" * 4), 3),
    "other6": (ct.ip(A6, B6, 132, b"\x00" * 12), ct.ip(B6, A6, 132, b"\x00" * 12), 3),
}


@pytest.mark.parametrize("extra, one", [(0, True), (1, False)], ids=["at-timeout", "past-timeout"])
@pytest.mark.parametrize("name", PAIRS)
def test_timeout(tmp_path, name, extra, one):
    first, reply, seconds = PAIRS[name]
    gap = seconds * S + extra
    rows = run(tmp_path, [(0, first), (gap, reply), (2 * gap, first)])
    if one:
        assert [(r["orig_pkts"], r["resp_pkts"], r["end_reason"]) for r in rows] == [(2, 1, "eof")]
    else:
        # Each packet alone: the one before it was idle too long.
        assert [(r["uid"], r["orig_pkts"], r["resp_pkts"], r["end_reason"]) for r in rows] == [
            (0, 1, 0, "idle"), (1, 1, 0, "idle"), (2, 1, 0, "eof")]


@pytest.mark.parametrize("other", [lambda: pg.Record(pg.arp()), lambda: ct.udp(C4, B4, 1, 2)], ids=["arp", "other-key"])
def test_any_frame_drives_the_clock(tmp_path, other):
    # A frame past the deadline ends the connection, even when the key's next packet is stamped earlier.
    first, reply, _ = PAIRS["tcp"]
    rows = [r for r in run(tmp_path, [(0, first), (10 * S + 1, other()), (9 * S, reply)]) if r["ip_proto"] == 6]
    assert [(r["uid"], r["end_reason"], r["orig_pkts"]) for r in rows] == [(0, "idle", 1), (2, "eof", 1)]


def test_timestamps_going_back_join(tmp_path):
    first, reply, _ = PAIRS["udp"]
    rows = run(tmp_path, [(5 * S, first), (S, reply), (3 * S, first)])
    assert [(r["orig_pkts"], r["resp_pkts"], r["duration"], r["ts"], r["last_ts"]) for r in rows] == [
        (2, 1, -2.0, ct.T0 + 5 * S, ct.T0 + 3 * S)]


@pytest.mark.parametrize("items, state", [
    ([ct.udp(A4, B4, 5000, 53, b"q"), ct.udp(B4, A4, 53, 5000, b"rr")], "SF"),
    ([ct.udp(A4, B4, 5000, 53, b"q"), ct.udp(A4, B4, 5000, 53, b"q")], "S0"),
])
def test_udp_states(tmp_path, items, state):
    rows = run(tmp_path, [(i * S // 10, p) for i, p in enumerate(items)])
    assert [r["conn_state"] for r in rows] == [state]
    assert rows[0]["history"] == ("Dd" if state == "SF" else "D")


def test_echo_pairs_by_identifier(tmp_path):
    items = [ct.icmp(A4, B4, 8, ident=1), ct.icmp(A4, B4, 8, ident=2), ct.icmp(B4, A4, 0, ident=2),
             ct.icmp(B4, A4, 0, ident=1), ct.icmp(B4, A4, 0, ident=3)]
    rows = run(tmp_path, [(i, p) for i, p in enumerate(items)])
    got = [(r["uid"], r["orig_ip"], r["orig_pkts"], r["resp_pkts"], r["orig_port"], r["service"]) for r in rows]
    # The unanswered reply (identifier 3) is its own connection, its sender the originator.
    assert got == [(0, A4, 1, 1, 8, "eco_i"), (1, A4, 1, 1, 8, "eco_i"), (4, B4, 1, 0, 0, "ecr_i")]
    assert {(r["protocol_type"], r["conn_state"], r["resp_port"]) for r in rows} == {("ICMP", "OTH", 0)}


def test_other_icmp_by_type_and_code(tmp_path):
    items = [ct.icmp(B4, A4, 3, 3), ct.icmp(A4, B4, 3, 3), ct.icmp(B4, A4, 3, 1), ct.icmp(A6, B6, 1, 4),
             ct.icmp(A4, B4, 8, 0, ident=9), ct.icmp(A4, B4, 8, 5, ident=9)]
    rows = run(tmp_path, [(i, p) for i, p in enumerate(items)])
    # An echo's code is not in its key: both requests (identifier 9) are one connection.
    assert [(r["uid"], r["orig_ip"], r["orig_pkts"], r["resp_pkts"], r["orig_port"], r["resp_port"], r["service"])
            for r in rows] == [(0, B4, 1, 1, 3, 3, "urp_i"), (2, B4, 1, 0, 3, 1, "urh_i"),
                               (3, A6, 1, 0, 1, 4, "urp_i"), (4, A4, 2, 0, 8, 0, "eco_i")]


UDP_DATAGRAM = pg.udp(5353, 53, bytes(range(24)))  # an 8-byte header and 24 bytes: four fragments of 8
TCP_SEGMENT = pg.tcp(40000, 80, flags=PSH | ACK, payload=b"y" * 20)


@pytest.mark.parametrize("src, dst", [(A4, B4), (A6, B6)], ids=["ipv4", "ipv6"])
@pytest.mark.parametrize("order, expected", [
    # (order of the fragments, by index; rows: (uid, has ports, pkts, wrong_fragment, src_bytes))
    ((0, 1, 2, 3), [(0, True, 4, 4, 24)]),
    ((1, 2, 3), [(0, False, 3, 3, 24)]),
    ((1, 2, 3, 0), [(0, False, 3, 3, 24), (3, True, 1, 1, 0)]),
    ((1, 0, 2, 3), [(0, False, 1, 1, 8), (1, True, 3, 3, 16)]),
    ((0, 2, 1, 3), [(0, True, 4, 4, 24)]),
])
def test_udp_fragments(tmp_path, src, dst, order, expected):
    # The first fragment holds the UDP header and 0 bytes of payload beyond its 8: min(length 32, 8) - 8.
    frags = ct.fragments(src, dst, 17, UDP_DATAGRAM, ident=0x4242)
    rows = run(tmp_path, [(i, frags[k]) for i, k in enumerate(order)])
    assert [(r["uid"], r["orig_port"] is not None, r["orig_pkts"], r["wrong_fragment"], r["src_bytes"])
            for r in rows] == expected
    for r in rows:
        assert r["service"] == ("domain_u" if r["orig_port"] is not None else "other")


@pytest.mark.parametrize("src, dst", [(A4, B4), (A6, B6)], ids=["ipv4", "ipv6"])
def test_fragments_follow_their_datagram(tmp_path, src, dst):
    # Later fragments join the connection of their first fragment, found by identification
    # and direction; another identification is not that datagram.
    first, *later = ct.fragments(src, dst, 6, TCP_SEGMENT, ident=77, size=24)
    stray = ct.fragments(src, dst, 6, TCP_SEGMENT, ident=78, size=24)[1]
    reply = ct.tcp(dst, src, 80, 40000, ACK)
    rows = run(tmp_path, [(0, first), (1, reply), (2, later[0]), (3, stray)])
    assert [(r["uid"], r["orig_pkts"], r["resp_pkts"], r["src_bytes"], r["history"], r["wrong_fragment"])
            for r in rows] == [(0, 2, 1, 20, "Da", 2), (3, 1, 0, 16, "D", 1)]


def test_fragment_after_its_connection_idled(tmp_path):
    first, later = ct.fragments(A4, B4, 17, UDP_DATAGRAM, ident=5, size=16)
    rows = run(tmp_path, [(0, first), (6 * S, later)])
    assert [(r["uid"], r["orig_port"], r["end_reason"]) for r in rows] == [(0, 5353, "idle"), (1, None, "eof")]


@pytest.mark.parametrize("gap, joins", [(S, True), (3 * S, False)], ids=["inside-close-delay", "after-close"])
def test_fragment_after_its_connection_closed(tmp_path, gap, joins):
    # The connection ends by its close delay long before the fragment entry's timeout (10 s):
    # the later fragment then goes address-only.
    first, later = ct.fragments(A4, B4, 6, pg.tcp(40000, 80, flags=0x19, payload=b"y" * 20), ident=6, size=24)
    items = [(0, ct.tcp(A4, B4, 40000, 80, SYN)), (1, ct.tcp(B4, A4, 80, 40000, SYN | ACK)), (2, first),
             (3, ct.tcp(B4, A4, 80, 40000, 0x11)), (3 + gap, later)]
    rows = run(tmp_path, items)
    assert [(r["uid"], r["orig_pkts"], r["end_reason"]) for r in rows] == (
        [(0, 3, "fin")] if joins else [(0, 2, "fin"), (4, 1, "eof")])


@pytest.mark.parametrize("extra, joins", [(0, True), (1, False)], ids=["at-timeout", "past-timeout"])
def test_fragment_entry_lives_its_protocols_timeout(tmp_path, extra, joins):
    # The connection stays open (a packet every 3 s); the first fragment is remembered for 10 s.
    first, later = ct.fragments(A4, B4, 6, TCP_SEGMENT, ident=8, size=24)
    items = [(0, first)] + [(k * 3 * S, ct.tcp(B4, A4, 80, 40000, ACK)) for k in (1, 2, 3)]
    rows = run(tmp_path, items + [(10 * S + extra, later)])
    assert [(r["uid"], r["orig_pkts"], r["resp_pkts"]) for r in rows] == (
        [(0, 2, 3)] if joins else [(0, 1, 3), (4, 1, 0)])


TRAFFIC = [
    ct.tcp(A4, B4, 40000, 80, SYN), ct.tcp(B4, A4, 80, 40000, SYN | ACK), ct.tcp(A4, B4, 40000, 80, ACK),
    ct.udp(A6, B6, 5000, 123, b"ntp"), ct.icmp(A4, B4, 8, ident=3), ct.icmp(B4, A4, 0, ident=3),
    *ct.fragments(A4, C4, 17, UDP_DATAGRAM, ident=1), ct.ip(B6, A6, GRE, b"\x00" * 8),
]


@pytest.mark.parametrize("link", ct.LINKS)
def test_every_link_gives_the_same_rows(tmp_path, link):
    items = [(i * S // 100, p) for i, p in enumerate(TRAFFIC)]
    plain = run(tmp_path, items, "raw")
    rows = run(tmp_path, items, link)
    vlan = {"8021q": 42, "qinq": 7, "sll2-tagged": 9}.get(link)
    assert [r["vlan"] for r in rows] == [vlan] * len(plain)
    assert [{**r, "vlan": None} for r in rows] == plain


@pytest.mark.parametrize("vlans", [((pg.ETH_VLAN, 5), (pg.ETH_VLAN, 6)), ((pg.ETH_VLAN, 0), None)])
def test_vlan_is_part_of_the_key(tmp_path, vlans):
    # Tagged 5 and 6 differ; VLAN 0 differs from untagged.
    linktype = pg.LINKTYPE_ETHERNET
    packet = ct.udp(A4, B4, 1, 2)
    frames = [pg.eth_tagged(packet, pg.ETH_IPV4, [tag] if tag else []) for tag in vlans]
    recs = [pg.Record(f, ct.T0 // S, i) for i, f in enumerate(frames)]
    rows = ct.as_rows(connections(pg.write_pcap(tmp_path / "v.pcap", recs, linktype=linktype, nanosecond=True)))
    assert [r["vlan"] for r in rows] == [tag[1] if tag else None for tag in vlans]
