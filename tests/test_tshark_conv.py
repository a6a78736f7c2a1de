"""tshark's saved conversation tables of the Linux captures, read by tshark_conv, against an
independent count of the same captures with dpkt, and against what the recorder set out to make."""

from __future__ import annotations

import glob
import os
import runpy
import socket
import types

import dpkt
import pytest

import tshark_conv
from conftest import CORPUS

LINUX = sorted(os.path.basename(p)[:-len(".pcap")] for p in glob.glob(os.path.join(CORPUS, "linux-*.pcap")))
LAYERS = ("tcp", "udp", "ip", "ipv6")


# What the recorder set out to make: its own tables of sessions, probes and queries.
REC = types.SimpleNamespace(**runpy.run_path(os.path.join(CORPUS, "record_linux.py")))


def address(raw: bytes) -> str:
    return socket.inet_ntop(socket.AF_INET6 if len(raw) == 16 else socket.AF_INET, raw)


def dpkt_conversations(path: str) -> tuple[dict[str, dict], int]:
    """layer -> unordered endpoints -> [A, frames A->B, bytes A->B, frames B->A, bytes B->A, first ts,
    last ts], A being the sender of the first frame; and the number of records."""
    tables: dict[str, dict] = {layer: {} for layer in LAYERS}
    records, first = 0, None
    with open(path, "rb") as fh:
        for ts, buf in dpkt.pcap.Reader(fh):
            records += 1
            first = ts if first is None else first
            ip = dpkt.ethernet.Ethernet(buf).data
            if not isinstance(ip, (dpkt.ip.IP, dpkt.ip6.IP6)):
                continue
            src, dst = address(ip.src), address(ip.dst)
            hops = [("ip" if isinstance(ip, dpkt.ip.IP) else "ipv6", (src, None), (dst, None))]
            if isinstance(ip.data, (dpkt.tcp.TCP, dpkt.udp.UDP)):
                layer = "tcp" if isinstance(ip.data, dpkt.tcp.TCP) else "udp"
                hops.append((layer, (src, ip.data.sport), (dst, ip.data.dport)))
            for layer, a, b in hops:
                conv = tables[layer].setdefault(frozenset({a, b}), [a, 0, 0, 0, 0, ts, ts])
                forward = a == conv[0]
                conv[1 if forward else 3] += 1
                conv[2 if forward else 4] += len(buf)
                conv[6] = ts
    for layer in tables.values():
        for conv in layer.values():
            conv[5] -= first
            conv[6] -= first
    return tables, records


@pytest.fixture(scope="module", params=LINUX)
def capture(request):
    name = request.param
    tables, records = dpkt_conversations(os.path.join(CORPUS, name + ".pcap"))
    return name, tshark_conv.read(os.path.join(CORPUS, name + ".conv.txt")), tables, records


@pytest.mark.parametrize("layer", LAYERS)
def test_each_conversation_as_dpkt_counts_it(capture, layer):
    name, saved, model, _ = capture
    rows = {conv.endpoints(): conv for conv in saved[layer]}
    assert len(rows) == len(saved[layer]), f"{name}: a conversation printed twice"
    assert rows.keys() == model[layer].keys()
    for key, (a, frames_ab, bytes_ab, frames_ba, bytes_ba, start, last) in model[layer].items():
        conv = rows[key]
        assert (conv.a, conv.a_port) == a
        assert (conv.frames_ab, conv.frames_ba) == (frames_ab, frames_ba)
        assert bytes_ab in conv.bytes_ab and bytes_ba in conv.bytes_ba
        assert conv.start == pytest.approx(start, abs=1e-6)
        assert conv.duration == pytest.approx(last - start, abs=0.5e-4 + 1e-6)


def test_totals_are_the_frames_of_the_capture(capture):
    name, saved, model, records = capture
    # Every frame of these captures is IP: the ip and ipv6 tables together hold each once.
    total = sum(c.frames for layer in ("ip", "ipv6") for c in saved[layer])
    with open(os.path.join(CORPUS, "SOURCES.txt")) as fh:
        noted = {f[1]: int(f[2]) for f in map(str.split, fh) if f[:1] == ["linux"]}
    assert total == records == noted[name + ".pcap"]
    transport = sum(c.frames for layer in ("tcp", "udp") for c in saved[layer])
    assert transport == sum(c[1] + c[3] for layer in ("tcp", "udp") for c in model[layer].values())


def endpoints(rows) -> set:
    return {frozenset({(c.a, c.a_port), (c.b, c.b_port)}) for c in rows}


def pairs(conversations) -> set:
    return {frozenset({(src, sport), (dst, dport)}) for src, sport, dst, dport in conversations}


def test_http_capture_holds_the_sessions_the_recorder_made():
    saved = tshark_conv.read(os.path.join(CORPUS, "linux-http.conv.txt"))
    assert saved["udp"] == []
    assert endpoints(saved["tcp"]) == pairs((s[0], s[1], s[2], REC.HTTP_PORT) for s in REC.HTTP_SESSIONS)
    # Handshake, a request and a response, both FINs and their ACKs: at least 5 frames each way,
    # the client first; and the bodies, requests and answers, went the ways they were sent.
    sizes = {s[1]: sum(size for method, size in s[3] if method == "POST") for s in REC.HTTP_SESSIONS}
    answers = {s[1]: sum(size for method, size in s[3] if method == "GET") for s in REC.HTTP_SESSIONS}
    for conv in saved["tcp"]:
        assert conv.b_port == REC.HTTP_PORT and min(conv.frames_ab, conv.frames_ba) >= 5
        assert conv.bytes_ab.high >= sizes[conv.a_port] and conv.bytes_ba.high >= answers[conv.a_port]


@pytest.mark.parametrize("name, layer, made, each_way", [
    ("linux-scan", "tcp", [(c, p, s, d) for c, p, s, d in REC.TCP_SCAN], (1, 1)),  # SYN; RST+ACK
    ("linux-scan", "udp", [(c, p, s, d) for c, p, s, d in REC.UDP_SCAN], (1, 0)),  # the answer is ICMP
    ("linux-drop", "tcp", [(c, p, s, REC.DROPPED_TCP_PORT) for c, p, s in REC.DROPPED], None),
    ("linux-dns", "udp", [q[:4] for q in REC.DNS_QUERIES], (1, 1)),
    ("linux-dns", "udp", [REC.UNANSWERED_DNS[:4]], (REC.DNS_TRIES, 0)),
])
def test_probes_and_their_answers(name, layer, made, each_way):
    saved = tshark_conv.read(os.path.join(CORPUS, name + ".conv.txt"))
    want = pairs(made)
    rows = [c for c in saved[layer] if c.endpoints() in want]
    assert endpoints(rows) == want
    for conv in rows:
        assert (conv.a, conv.a_port) in {(c, p) for c, p, *_ in made}  # the client spoke first
        if each_way is None:  # a dropped SYN: retransmitted, never answered
            assert conv.frames_ab >= 2 and conv.frames_ba == 0 and conv.duration >= 0.9
        else:
            assert (conv.frames_ab, conv.frames_ba) == each_way


@pytest.mark.parametrize("name, tables", [
    ("linux-scan", {"tcp": len(REC.TCP_SCAN), "udp": len(REC.UDP_SCAN)}),
    ("linux-drop", {"tcp": len(REC.DROPPED), "udp": 0}),
    ("linux-dns", {"tcp": 0, "udp": len(REC.DNS_QUERIES) + 1}),
    ("linux-ping", {"tcp": 0, "udp": 0, "ip": 1, "ipv6": 1}),
])
def test_nothing_else_was_recorded(name, tables):
    saved = tshark_conv.read(os.path.join(CORPUS, name + ".conv.txt"))
    assert {layer: len(saved[layer]) for layer in tables} == tables


def test_pings_are_request_reply_pairs():
    saved = tshark_conv.read(os.path.join(CORPUS, "linux-ping.conv.txt"))
    (v4,), (v6,) = saved["ip"], saved["ipv6"]
    assert (v4.a, v4.b, v4.frames_ab, v4.frames_ba) == (REC.CLIENT4, REC.SERVER4, 5, 5)
    assert (v6.a, v6.b, v6.frames_ab, v6.frames_ba) == (REC.CLIENT6, REC.SERVER6, 4, 4)
    # 1000 bytes of data: 14 + 40 + 8 + 1000 bytes a frame, both ways.
    assert v6.bytes_ab == v6.bytes_ba and 4 * 1062 in v6.bytes_ab


# ---- the parser on its own: lines as tshark 4.0 prints them -----------------------------------------

@pytest.mark.parametrize("layer, line, want", [
    ("udp", "::1:38531                  <-> ::1:123                         13 4254 bytes       8 592 bytes      "
            "21 4846 bytes     0.000000000        14.9409",
     ("::1", 38531, "::1", 123, 8, (592, 592), 13, (4254, 4254), 0.0, 14.9409)),
    ("tcp", "2001:db8::1:40004          <-> 2001:db8::2:8080                 9 31 kB          12 1126 bytes      "
            "21 32 kB         0.607729000         0.1025",
     ("2001:db8::1", 40004, "2001:db8::2", 8080, 12, (1126, 1126), 9, (31000, 31999), 0.607729, 0.1025)),
    ("ip", "131.151.32.21        <-> 131.151.1.59             164 159 kB        144 50 kB         308 209 kB        "
           "0.000000000       129.4295",
     ("131.151.32.21", None, "131.151.1.59", None, 144, (50000, 50999), 164, (159000, 159999), 0.0, 129.4295)),
    ("ipv6", "fe80::1              <-> ff02::1                    0 0 bytes         3 12 MB           3 12 MB      "
             "  1.500000000         0.0000",
     ("fe80::1", None, "ff02::1", None, 3, (12 * 10**6, 13 * 10**6 - 1), 0, (0, 0), 1.5, 0.0)),
])
def test_rows(layer, line, want):
    title = {"tcp": "TCP", "udp": "UDP", "ip": "IPv4", "ipv6": "IPv6"}[layer]
    (conv,) = tshark_conv.parse(f"{title} Conversations\nFilter:<No Filter>\n{line}\n")[layer]
    got = (conv.a, conv.a_port, conv.b, conv.b_port, conv.frames_ab, (conv.bytes_ab.low, conv.bytes_ab.high),
           conv.frames_ba, (conv.bytes_ba.low, conv.bytes_ba.high), conv.start, conv.duration)
    assert got == want


@pytest.mark.parametrize("text, message", [
    ("TCP Conversations\n10.0.0.1:1 <-> 10.0.0.2:2  0 0 bytes  1 60 bytes  2 60 bytes  0.0 0.0\n", "add up"),
    ("TCP Conversations\n10.0.0.1 <-> 10.0.0.2:2  0 0 bytes  1 60 bytes  1 60 bytes  0.0 0.0\n", "no port"),
    ("UDP Conversations\n10.0.0.1:1 <-> 10.0.0.2:2  0 0 bits  1 60 bytes  1 60 bytes  0.0 0.0\n", "not a conversation"),
    ("10.0.0.1 <-> 10.0.0.2  0 0 bytes  1 60 bytes  1 60 bytes  0.0 0.0\n", "not a conversation"),
    ("IPv4 Conversations\nIPv4 Conversations\n", "second"),
])
def test_damaged_tables_are_refused(text, message):
    with pytest.raises(ValueError, match=message):
        tshark_conv.parse(text)


@pytest.mark.parametrize("query", REC.DNS_QUERIES, ids=lambda q: f"{q[4]}-{q[5]}")
def test_dns_answers_follow_their_queries(query):
    """The recorded responder's answers, read by dpkt: same id and question, the record asked for
    under example.com, NXDOMAIN elsewhere."""
    src, sport, dst, _, name, qtype = query
    seen = []
    with open(os.path.join(CORPUS, "linux-dns.pcap"), "rb") as fh:
        for _, buf in dpkt.pcap.Reader(fh):
            ip = dpkt.ethernet.Ethernet(buf).data
            if isinstance(ip.data, dpkt.udp.UDP) and sport in (ip.data.sport, ip.data.dport):
                seen.append((address(ip.src), dpkt.dns.DNS(ip.data.data)))
    (asker, q), (answerer, a) = seen
    assert (asker, answerer) == (src, dst) and a.qr == dpkt.dns.DNS_R and a.id == q.id
    assert [(x.name, x.type) for x in a.qd] == [(x.name, x.type) for x in q.qd] == [(name, qtype)]
    if name.endswith("example.com"):
        want = {dpkt.dns.DNS_A: "192.0.2.80", dpkt.dns.DNS_AAAA: "2001:db8::80"}[qtype]
        assert a.rcode == dpkt.dns.DNS_RCODE_NOERR and [address(x.rdata) for x in a.an] == [want]
        assert a.an[0].name == name
    else:
        assert a.rcode == dpkt.dns.DNS_RCODE_NXDOMAIN and a.an == []
