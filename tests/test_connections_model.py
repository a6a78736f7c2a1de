"""Random traffic against the independent model, row for row: few hosts and ports, every TCP flag
mix, gaps at and around each timeout and the close delay, timestamps that go back, fragments in
any order, VLAN tags, frames cut short, length fields of 0, frames that are not IP; the native
rows also with the state saved and loaded on the way and with rows spilled."""

import os

from hypothesis import HealthCheck, given, settings, strategies as st

import connection_oracle as oracle
import connection_traffic as ct
import pcapgen as pg
from connection_traffic import A4, A6, B4, B6, C4, S
from connections_util import connections, connections_reloaded

SERVICES = oracle.load_services(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "services", "kdd_services.tsv"))

HOSTS = {4: [A4, B4, C4], 6: [A6, B6]}
PORTS = [20, 53, 80, 50000]
FLAGS = [0x02, 0x12, 0x10, 0x18, 0x11, 0x01, 0x04, 0x14, 0x03, 0x30, 0x00, 0xFF, 0x06]
ICMP_TYPES = {4: [(8, 0), (0, 0), (3, 3), (3, 1), (11, 0)], 6: [(128, 0), (129, 0), (1, 4)]}
# Around every setting of ct.SETTINGS: tcp 10 s, udp 5, icmp 4, other 3, close delay 2.
GAPS = [0, 1, S // 10, S // 10, S // 10, 2 * S - 1, 2 * S, 2 * S + 1, 3 * S, 3 * S + 1, 4 * S, 4 * S + 1, 5 * S, 5 * S + 1,
        10 * S, 10 * S + 1, -S, -3 * S - 1]
LINKS = {"ethernet": pg.LINKTYPE_ETHERNET, "sll": pg.LINKTYPE_LINUX_SLL, "raw": pg.LINKTYPE_RAW}


# A TCP exchange to draw segments from, in order, so that handshakes and closes happen.
SCRIPT = [("o", 0x02), ("r", 0x12), ("o", 0x10), ("o", 0x18), ("r", 0x10), ("r", 0x18), ("o", 0x11), ("r", 0x11),
          ("o", 0x10), ("r", 0x14), ("o", 0x04)]


@st.composite
def conversation(draw):
    version = draw(st.sampled_from([4, 4, 6]))
    return (version, draw(st.sampled_from(HOSTS[version])), draw(st.sampled_from(HOSTS[version])),
            draw(st.sampled_from(PORTS)), draw(st.sampled_from(PORTS)))


@st.composite
def datagram(draw, conversations):
    """One or more IP packets of one of the conversations, either way: a TCP, UDP, ICMP or other
    packet, a stretch of a TCP exchange, or a datagram's fragments in some order."""
    version, a, b, pa, pb = draw(st.sampled_from(conversations))
    reverse = draw(st.booleans())
    src, dst, sport, dport = (b, a, pb, pa) if reverse else (a, b, pa, pb)
    kind = draw(st.sampled_from(["tcp", "tcp", "script", "script", "udp", "icmp", "other", "fragments"]))
    payload = b"p" * draw(st.sampled_from([0, 1, 9]))
    if kind == "tcp":
        return [ct.tcp(src, dst, sport, dport, draw(st.sampled_from(FLAGS)), payload)]
    if kind == "script":
        out = []
        for who, flags in SCRIPT[draw(st.integers(0, 4)):]:
            if draw(st.integers(0, 3)) == 0:
                continue  # a segment not seen
            data = payload if flags & 0x08 else b""
            out.append(ct.tcp(src, dst, sport, dport, flags, data) if who == "o" else
                       ct.tcp(dst, src, dport, sport, flags, data))
        return out
    if kind == "udp":
        return [ct.udp(src, dst, sport, dport, payload)]
    if kind == "icmp":
        icmp_type, code = draw(st.sampled_from(ICMP_TYPES[version]))
        return [ct.icmp(src, dst, icmp_type, code, ident=draw(st.sampled_from([1, 2])), data=payload)]
    if kind == "other":
        return [ct.ip(src, dst, draw(st.sampled_from([47, 132])), b"\x00" * 8 + payload)]
    proto = draw(st.sampled_from([6, 17]))
    body = (pg.tcp(sport, dport, flags=draw(st.sampled_from(FLAGS)), payload=b"f" * 12) if proto == 6
            else pg.udp(sport, dport, b"f" * 24))
    frags = ct.fragments(src, dst, proto, body, ident=draw(st.sampled_from([1, 2])), size=8)
    order = draw(st.sampled_from(["in-order", "first-missing", "first-last", "shuffled"]))
    if order == "first-missing":
        return frags[1:]
    if order == "first-last":
        return frags[1:] + frags[:1]
    if order == "shuffled":
        return draw(st.permutations(frags))
    return frags


@st.composite
def capture(draw):
    """(link type, [(data as captured, ts, wire length)]) of a random capture."""
    link = draw(st.sampled_from(list(LINKS)))
    linktype = LINKS[link]
    t, frames = 100 * S, []
    conversations = draw(st.lists(conversation(), min_size=1, max_size=3))
    for packets in draw(st.lists(datagram(conversations), min_size=1, max_size=12)):
        for packet in packets:
            t = max(0, t + draw(st.sampled_from(GAPS)))
            if draw(st.integers(0, 9)) == 0 and packet[0] >> 4 == 4:
                packet = packet[:2] + b"\x00\x00" + packet[4:]  # a super-segment's total length
            opts = {}
            if link == "ethernet":
                vid = draw(st.sampled_from([None, None, 0, 7]))
                opts = {"stack": [] if vid is None else [(pg.ETH_VLAN, vid)]}
            frame = pg.link(linktype, packet, ct.ethertype(packet), **opts)
            caplen = len(frame)
            if draw(st.integers(0, 9)) == 0:
                caplen = max(0, len(frame) - draw(st.integers(1, 30)))  # cut short by the snapshot length
            frames.append((frame[:caplen], ct.T0 + t, len(frame)))
            if link != "raw" and draw(st.integers(0, 14)) == 0:
                t += draw(st.sampled_from(GAPS[8:]))
                arp = pg.link(linktype, pg.arp()[14:], pg.ETH_ARP)
                frames.append((arp, ct.T0 + t, len(arp)))
    return linktype, frames


def write(path, linktype, frames):
    recs = [pg.Record(data, *divmod(ts, S), wire_len=wire) for data, ts, wire in frames]
    return pg.write_pcap(path, recs, linktype=linktype, nanosecond=True)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(capture(), st.integers(1, 5), st.sampled_from([0, 300, 10**9]))
def test_random_traffic_matches_the_model(tmp_path, cap, every, hold_bytes):
    linktype, frames = cap
    path = write(tmp_path / "random.pcap", linktype, frames)
    expected = oracle.connections([(linktype, d, ts, w) for d, ts, w in frames], SERVICES, **ct.SETTINGS)
    assert ct.as_rows(connections(path, **ct.SETTINGS)) == expected
    assert ct.as_rows(connections_reloaded(path, every, hold_bytes=hold_bytes, **ct.SETTINGS)) == expected
