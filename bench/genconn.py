"""Deterministic capture of realistic connections for the connection benchmarks.

Seen from a link near the servers: web, mail, database and ssh sessions over TCP (handshakes with
options, data both ways in flights of MSS-sized segments with ACKs, FIN teardowns from either side,
some RST ones), TCP port scans (closed ports answer RST+ACK, filtered ones nothing, open ones
SYN+ACK and the scanner's RST), SYNs to servers that never answer, DNS over UDP (a few queries
unanswered and retried), NTP, syslog and QUIC-like UDP streams, ping runs (ICMP and ICMPv6 echo),
GRE and ESP tunnels, a few ARP frames, and at the start connections already under way (no
handshake). IPv4 and IPv6; thousands of clients and hundreds of servers, the servers' popularity
skewed; connections arrive at random (about 200 a second) and overlap; timestamps never go back.

Every connection has a key of its own (a client port, ping identifier or tunnel address pair is
used once), and no connection is quiet for more than 6 s, so tshark's conversations and the
connections the generator made coincide. The capture is cut after exactly COUNT frames: the
connections under way then are left open. With --long, one more TCP connection runs from the
first frame to the last, a segment every few seconds (the other frames are the same as without).

The capture is written to bench/out/conn-COUNT[-long].pcap (classic pcap, microseconds) once and
kept; beside it NAME.json says what was made (frames, connections by protocol and kind, hosts).
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import os
import random
import socket
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = os.path.join(HERE, "out")

SEED = 20261209
BASE_US = 1_704_067_200 * 1_000_000  # 2024-01-01 00:00 UTC
ARRIVALS_PER_S = 200.0
MIDSTREAM = 200  # connections already open when the capture starts

MAC_SERVER_SIDE, MAC_CLIENT_SIDE = bytes.fromhex("020000aa0001"), bytes.fromhex("020000bb0001")
TO_SERVER, TO_CLIENT = MAC_SERVER_SIDE + MAC_CLIENT_SIDE, MAC_CLIENT_SIDE + MAC_SERVER_SIDE
ETH_IPV4, ETH_IPV6, ETH_ARP = 0x0800, 0x86DD, 0x0806
TCP, UDP, ICMP, ICMP6, GRE, ESP = 6, 17, 1, 58, 47, 50
FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10

# Ethernet, IP and TCP headers packed in one call (checksums left 0, as offloading NICs capture them).
V4_TCP = struct.Struct("!12sHBBHHHBBH4s4sHHIIBBHHH")
V6_TCP = struct.Struct("!12sHIHBB16s16sHHIIBBHHH")
V4_IP = struct.Struct("!12sHBBHHHBBH4s4s")
V6_IP = struct.Struct("!12sHIHBB16s16s")
UDP_HEAD = struct.Struct("!HHHH")
ICMP_ECHO = struct.Struct("!BBHHH")
RECORD = struct.Struct("<IIII")
TIMESTAMPS = struct.Struct("!BBBBII")  # NOP, NOP, timestamps (kind 8, length 10)
SYN_OPTIONS = struct.Struct("!BBHBBBBIIBBBB")  # MSS, SACK permitted, timestamps, NOP, window scale

PAYLOAD = random.Random(SEED).randbytes(1 << 16)

# (server port, weight, kind): what the TCP clients connect to
TCP_SERVICES = [(443, 46, "web"), (80, 18, "web"), (8080, 3, "web"), (22, 3, "ssh"), (25, 3, "mail"),
                (587, 1, "mail"), (993, 2, "mail"), (110, 1, "mail"), (3306, 2, "db"), (5432, 2, "db"),
                (21, 1, "ftp"), (53, 1, "db"), (445, 2, "db"), (3389, 1, "ssh"), (50000, 1, "db"),
                (61000, 1, "db")]
# (kind, weight): the mix of new connections
KINDS = [("tcp", 54.0), ("syn-unanswered", 3.0), ("scan", 0.5), ("dns", 26.0), ("ntp", 2.0),
         ("syslog", 1.0), ("quic", 2.5), ("ping", 4.0), ("gre", 0.5), ("esp", 0.5), ("arp", 0.3)]


def address4(net: str, index: int) -> bytes:
    """Host `index` of the IPv4 network `net` ("a.b.c.d/len"). An odd multiplier permutes the host
    part: distinct indices give distinct addresses, spread over the network."""
    base, length = net.split("/")
    bits = 32 - int(length)
    assert index < 1 << bits
    return struct.pack("!I", struct.unpack("!I", socket.inet_aton(base))[0] | ((index * 2654435761 + 1) % (1 << bits)))


def address6(prefix: str, index: int) -> bytes:
    """Host `index` of the IPv6 /64 `prefix`."""
    interface = (index * 0x9E3779B97F4A7C15 + 1) % (1 << 64)
    return socket.inet_pton(socket.AF_INET6, prefix)[:8] + struct.pack("!Q", interface)


class Host:
    __slots__ = ("addr", "v6", "next_port", "ttl", "ident")

    def __init__(self, addr: bytes, rng: random.Random) -> None:
        self.addr, self.v6 = addr, len(addr) == 16
        self.next_port = rng.randrange(32768, 60000)
        self.ttl = rng.choice((64, 64, 64, 128, 128, 255)) - rng.randrange(0, 20)
        self.ident = rng.getrandbits(16)

    def port(self) -> int:
        """A source port (or echo identifier) this host has not used before in the capture."""
        p = self.next_port
        self.next_port = p + 1 if p < 60999 else 32768
        return p


class Frames:
    """Builds frames between two hosts; `out` collects (time in us, frame) of one connection."""

    __slots__ = ("out", "c", "s", "v6", "flow")

    def __init__(self, c: Host, s: Host, rng: random.Random) -> None:
        self.out: list[tuple[int, bytes]] = []
        self.c, self.s, self.v6 = c, s, c.v6
        self.flow = rng.getrandbits(20)

    def ip(self, t: int, from_client: bool, proto: int, body: bytes) -> None:
        src, dst = (self.c, self.s) if from_client else (self.s, self.c)
        macs = TO_SERVER if from_client else TO_CLIENT
        if self.v6:
            head = V6_IP.pack(macs, ETH_IPV6, 0x60000000 | self.flow, len(body), proto, src.ttl, src.addr, dst.addr)
        else:
            src.ident = (src.ident + 1) & 0xFFFF
            head = V4_IP.pack(macs, ETH_IPV4, 0x45, 0, 20 + len(body), src.ident, 0x4000, src.ttl, proto, 0,
                              src.addr, dst.addr)
        self.out.append((t, head + body))


class Tcp(Frames):
    """One TCP connection. Reaction times are as seen at the capture point near the server: the
    server answers within microseconds, the client a round trip later."""

    __slots__ = ("cport", "sport", "cseq", "sseq", "mss", "stamps", "rtt", "server_delay", "wc", "ws")

    def __init__(self, c: Host, s: Host, cport: int, sport: int, rng: random.Random) -> None:
        super().__init__(c, s, rng)
        self.cport, self.sport = cport, sport
        self.cseq, self.sseq = rng.getrandbits(32), rng.getrandbits(32)
        self.stamps = rng.random() < 0.8
        self.mss = (1440 if self.v6 else 1460) - (12 if self.stamps else 0)
        self.rtt = int(min(300_000, max(200, rng.lognormvariate(math.log(20_000), 1.0))))
        self.server_delay = rng.randrange(15, 120)
        self.wc, self.ws = rng.choice((64240, 65535, 29200, 42340)), rng.choice((65160, 65535, 28960, 43690))

    def react(self, by_client: bool) -> int:
        return self.rtt if by_client else self.server_delay

    def seg(self, t: int, from_client: bool, flags: int, size: int = 0, ack: int | None = None) -> None:
        if from_client:
            src, dst, sp, dp, seq, peer, win, macs = (self.c, self.s, self.cport, self.sport, self.cseq, self.sseq,
                                                      self.wc, TO_SERVER)
        else:
            src, dst, sp, dp, seq, peer, win, macs = (self.s, self.c, self.sport, self.cport, self.sseq, self.cseq,
                                                      self.ws, TO_CLIENT)
        if not flags & ACK:
            ack = 0
        elif ack is None:
            ack = peer
        stamp = (t // 1000) & 0xFFFFFFFF
        if flags & SYN:
            opts = SYN_OPTIONS.pack(2, 4, self.mss + (12 if self.stamps else 0), 4, 2, 8, 10, stamp,
                                    0 if not flags & ACK else stamp, 1, 3, 3, 7)
        elif self.stamps:
            opts = TIMESTAMPS.pack(1, 1, 8, 10, stamp, stamp)
        else:
            opts = b""
        hlen = 20 + len(opts)
        off = seq & 0x7FFF
        data = PAYLOAD[off:off + size]
        if self.v6:
            head = V6_TCP.pack(macs, ETH_IPV6, 0x60000000 | self.flow, hlen + size, TCP, src.ttl, src.addr, dst.addr,
                               sp, dp, seq, ack, (hlen // 4) << 4, flags, win, 0, 0)
        else:
            src.ident = (src.ident + 1) & 0xFFFF
            head = V4_TCP.pack(macs, ETH_IPV4, 0x45, 0, 20 + hlen + size, src.ident, 0x4000, src.ttl, TCP, 0,
                               src.addr, dst.addr, sp, dp, seq, ack, (hlen // 4) << 4, flags, win, 0, 0)
        self.out.append((t, head + opts + data))
        seq = (seq + size + (1 if flags & (SYN | FIN) else 0)) & 0xFFFFFFFF
        if from_client:
            self.cseq = seq
        else:
            self.sseq = seq

    def handshake(self, t: int) -> int:
        self.seg(t, True, SYN)
        t += self.server_delay
        self.seg(t, False, SYN | ACK)
        t += self.rtt
        self.seg(t, True, ACK)
        return t

    def transfer(self, t: int, from_client: bool, size: int, rng: random.Random) -> int:
        """`size` bytes one way in flights (slow start from 10 segments), the receiver ACKing every
        second segment. Returns the earliest time the receiver's answer can be seen here."""
        ack_delay, resume = self.react(not from_client), self.react(from_client)
        cwnd, left = 10, max(1, size)
        while True:
            acks = []
            for n in range(cwnd):
                part = min(self.mss, left)
                left -= part
                self.seg(t, from_client, ACK | (PSH if not left else 0), part)
                if n & 1 or not left:
                    acks.append((t + ack_delay, self.cseq if from_client else self.sseq))
                last = t
                t += 10 + int(rng.random() * 30)  # serialisation and spacing on the wire
                if not left:
                    break
            if left:
                for at, upto in acks:
                    self.seg(at, not from_client, ACK, ack=upto)
                t = acks[-1][0] + resume
                cwnd *= 2
                continue
            # The last byte: the client always ACKs it; the server half the time lets its answer do so.
            for at, upto in acks if not from_client or rng.random() < 0.5 else acks[:-1]:
                self.seg(at, not from_client, ACK, ack=upto)
            return last + ack_delay

    def exchange(self, t: int, request: int, response: int, think_server: int, rng: random.Random) -> int:
        """A request from the client and the server's answer; returns when the client can send again."""
        t = self.transfer(t, True, request, rng)
        return self.transfer(t + think_server, False, response, rng) + 50

    def close(self, t: int, how: str) -> None:
        if how == "fin-client":
            self.seg(t, True, FIN | ACK)
            t += self.server_delay
            self.seg(t, False, FIN | ACK)
            self.seg(t + self.rtt, True, ACK)
        elif how == "fin-server":
            self.seg(t, False, FIN | ACK)
            t += self.rtt
            self.seg(t, True, ACK)
            self.seg(t + 40, True, FIN | ACK)
            self.seg(t + 40 + self.server_delay, False, ACK)
        elif how == "fin-then-rst":  # both FINs, then the client resets rather than linger
            self.seg(t, True, FIN | ACK)
            self.seg(t + self.server_delay, False, FIN | ACK)
            self.seg(t + self.rtt, True, RST | ACK)
        elif how == "rst-client":
            self.seg(t, True, RST | ACK)
        elif how == "rst-server":
            self.seg(t, False, RST | ACK)


def response_size(rng: random.Random) -> int:
    return int(min(400_000, rng.lognormvariate(math.log(2000), 1.5)))


class Generator:
    def __init__(self, count: int, seed: int) -> None:
        self.rng = rng = random.Random(seed)
        expected = max(1, count // 20)  # connections, for sizing the host pools
        self.clients4 = [Host(address4("10.0.0.0/8", i), rng) for i in range(max(2000, expected // 20))]
        self.clients6 = [Host(address6("2001:db8:c::", i), rng) for i in range(max(600, expected // 60))]
        self.servers4 = [Host(address4("172.16.0.0/12", i), rng) for i in range(600)]
        self.servers6 = [Host(address6("2001:db8:5e::", i), rng) for i in range(200)]
        self.resolvers = [Host(address4("192.0.2.0/24", i), rng) for i in range(6)] + \
                         [Host(address6("2001:db8:53::", i), rng) for i in range(3)]
        self.scanners = [Host(address4("203.0.113.0/24", i), rng) for i in range(24)] + \
                        [Host(address6("2001:db8:bad::", i), rng) for i in range(6)]
        self.tunnels = 0
        self.server_weights4 = self.zipf(len(self.servers4))
        self.server_weights6 = self.zipf(len(self.servers6))
        self.kinds, self.kind_weights = zip(*KINDS)
        self.services, self.service_weights = [s[::2] for s in TCP_SERVICES], [s[1] for s in TCP_SERVICES]

    @staticmethod
    def zipf(n: int) -> list[float]:
        return list(itertools.accumulate(1 / (k + 1) ** 1.1 for k in range(n)))

    def pair(self) -> tuple[Host, Host]:
        rng = self.rng
        if rng.random() < 0.25:
            return rng.choice(self.clients6), rng.choices(self.servers6, cum_weights=self.server_weights6)[0]
        return rng.choice(self.clients4), rng.choices(self.servers4, cum_weights=self.server_weights4)[0]

    def tunnel_pair(self, v6: bool) -> tuple[Host, Host]:
        """A pair of tunnel endpoints no other tunnel uses."""
        self.tunnels += 1
        n = self.tunnels
        make = (lambda i: address6("2001:db8:e5::", i)) if v6 else (lambda i: address4("100.64.0.0/10", i))
        return Host(make(2 * n), self.rng), Host(make(2 * n + 1), self.rng)

    # ---- connections: each returns [(kind, protocol, frames)], frames being [(us, frame)] --------

    def connection(self, t: int) -> list[tuple[str, int, list]]:
        kind = self.rng.choices(self.kinds, self.kind_weights)[0]
        return getattr(self, kind.replace("-", "_"))(t)

    def tcp(self, t: int, midstream: bool = False) -> list:
        rng = self.rng
        c, s = self.pair()
        port, kind = rng.choices(self.services, self.service_weights)[0]
        conn = Tcp(c, s, c.port(), port, rng)
        if midstream:  # begun before the capture: a response under way, then the rest
            t = conn.transfer(t, False, response_size(rng), rng) + 50
        else:
            t = conn.handshake(t) + rng.randrange(20, 300)
        if kind == "web":
            for _ in range(min(12, int(rng.expovariate(1 / 1.7)) + 1)):
                t = conn.exchange(t, rng.randrange(180, 900), response_size(rng), rng.randrange(100, 60_000), rng)
                t += int(min(5_000_000, rng.expovariate(1 / 400_000)))
        elif kind == "ssh":  # keystrokes and echoes, then some output
            for _ in range(rng.randrange(4, 40)):
                t = conn.exchange(t, rng.choice((36, 36, 52, 68, 100)), rng.choice((36, 52, 100, 300, 1200)),
                                  rng.randrange(50, 500), rng)
                t += int(min(5_000_000, rng.expovariate(1 / 300_000)))
        elif kind == "mail":  # greeting, commands, an upload
            t = conn.transfer(t + conn.server_delay, False, rng.randrange(40, 120), rng) + 50
            for _ in range(rng.randrange(3, 8)):
                t = conn.exchange(t, rng.randrange(10, 60), rng.randrange(20, 90), rng.randrange(100, 5000), rng)
            t = conn.exchange(t, response_size(rng) * 2, rng.randrange(20, 60), rng.randrange(1000, 50_000), rng)
        else:  # db, ftp and the rest: queries and results
            for _ in range(rng.randrange(1, 10)):
                t = conn.exchange(t, rng.randrange(40, 600), int(rng.lognormvariate(math.log(800), 1.4)),
                                  rng.randrange(100, 30_000), rng)
                t += int(min(3_000_000, rng.expovariate(1 / 100_000)))
        how = rng.choices(("fin-client", "fin-server", "fin-then-rst", "rst-client", "rst-server"),
                          (60, 25, 4, 6, 5))[0]
        conn.close(t, how)
        return [("tcp-midstream" if midstream else f"tcp-{kind}", TCP, conn.out)]

    def syn_unanswered(self, t: int) -> list:
        c, s = self.pair()
        conn = Tcp(c, s, c.port(), self.rng.choice((80, 443, 8443, 22, 25)), self.rng)
        isn = conn.cseq
        for n in range(self.rng.choice((1, 2, 3, 3))):  # the SYN and its retransmissions at 1 s, 3 s
            conn.cseq = isn
            conn.seg(t + (0, 1_000_000, 3_000_000)[n], True, SYN)
        return [("tcp-syn-unanswered", TCP, conn.out)]

    def scan(self, t: int) -> list:
        """One scanner sweeping ports of one server: each probe a connection of its own."""
        rng = self.rng
        scanner = rng.choice(self.scanners)
        target = rng.choice(self.servers6 if scanner.v6 else self.servers4)
        sport = scanner.port()
        ports = rng.sample(range(1, 10000), rng.randrange(8, 40))
        out = []
        for port in ports:
            conn = Tcp(scanner, target, sport, port, rng)
            conn.stamps, conn.rtt = False, 30_000
            conn.seg(t, True, SYN)
            fate = rng.random()
            if fate < 0.8:
                conn.seg(t + conn.server_delay, False, RST | ACK)
                kind = "scan-closed"
            elif fate < 0.93:
                kind = "scan-filtered"
            else:
                conn.seg(t + conn.server_delay, False, SYN | ACK)
                conn.seg(t + conn.server_delay + conn.rtt, True, RST)
                kind = "scan-open"
            out.append((kind, TCP, conn.out))
            t += rng.randrange(300, 3000)
        return out

    def udp_frames(self, c: Host, s: Host) -> Frames:
        return Frames(c, s, self.rng)

    def datagram(self, f: Frames, t: int, from_client: bool, cport: int, sport: int, size: int) -> None:
        data = PAYLOAD[(t & 0x7FFF):(t & 0x7FFF) + size]
        src, dst = (cport, sport) if from_client else (sport, cport)
        f.ip(t, from_client, UDP, UDP_HEAD.pack(src, dst, 8 + size, 0) + data)

    def dns(self, t: int) -> list:
        rng = self.rng
        c = rng.choice(self.clients6) if rng.random() < 0.25 else rng.choice(self.clients4)
        r = rng.choice([h for h in self.resolvers if h.v6 == c.v6])
        f, port = self.udp_frames(c, r), c.port()
        query = rng.randrange(28, 60)
        self.datagram(f, t, True, port, 53, query)
        if rng.random() < 0.05:  # unanswered: the resolver library tries again from the same port
            for n in range(rng.randrange(0, 3)):
                self.datagram(f, t + (n + 1) * 1_000_000, True, port, 53, query)
            return [("dns-unanswered", UDP, f.out)]
        self.datagram(f, t + rng.randrange(300, 80_000), False, port, 53, query + rng.randrange(16, 300))
        return [("dns", UDP, f.out)]

    def ntp(self, t: int) -> list:
        c, s = self.pair()
        f, port = self.udp_frames(c, s), c.port()
        self.datagram(f, t, True, port, 123, 48)
        self.datagram(f, t + self.rng.randrange(500, 60_000), False, port, 123, 48)
        return [("ntp", UDP, f.out)]

    def syslog(self, t: int) -> list:
        rng = self.rng
        c, s = self.pair()
        f, port = self.udp_frames(c, s), c.port()
        for _ in range(rng.randrange(2, 20)):
            self.datagram(f, t, True, port, 514, rng.randrange(60, 400))
            t += rng.randrange(50_000, 2_000_000)
        return [("syslog", UDP, f.out)]

    def quic(self, t: int) -> list:
        """A UDP stream on port 443: bursts from the server, a few acknowledgements back."""
        rng = self.rng
        c, s = self.pair()
        f, port = self.udp_frames(c, s), c.port()
        rtt = rng.randrange(2_000, 80_000)
        self.datagram(f, t, True, port, 443, 1200)
        t += rtt
        for _ in range(rng.randrange(1, 25)):
            for n in range(rng.randrange(2, 16)):
                self.datagram(f, t, False, port, 443, rng.choice((1200, 1250, 1350, 1350, 400)))
                t += rng.randrange(20, 400)
                if n % 4 == 3:
                    self.datagram(f, t + rtt // 2, True, port, 443, rng.randrange(30, 60))
            t += rtt + int(min(2_000_000, rng.expovariate(1 / 200_000)))
        return [("quic", UDP, f.out)]

    def ping(self, t: int) -> list:
        rng = self.rng
        c, s = self.pair()
        f, ident = Frames(c, s, rng), c.port()
        proto, request, reply = (ICMP6, 128, 129) if c.v6 else (ICMP, 8, 0)
        answered = rng.random() < 0.9
        rtt = rng.randrange(200, 100_000)
        data = PAYLOAD[:56]
        for seq in range(1, rng.randrange(1, 11) + 1):
            f.ip(t, True, proto, ICMP_ECHO.pack(request, 0, 0, ident, seq) + data)
            if answered:
                f.ip(t + rtt, False, proto, ICMP_ECHO.pack(reply, 0, 0, ident, seq) + data)
            t += 1_000_000 + rng.randrange(0, 2000)
        return [("ping" if answered else "ping-unanswered", proto, f.out)]

    def tunnel(self, t: int, proto: int) -> list:
        rng = self.rng
        a, b = self.tunnel_pair(rng.random() < 0.3)
        f = Frames(a, b, rng)
        for _ in range(rng.randrange(5, 60)):
            size = rng.randrange(60, 1400)
            # GRE carrying a protocol tshark leaves alone (local experimental EtherType), so that
            # no inner conversation is counted; ESP: SPI and sequence number.
            head = struct.pack("!HH", 0, 0x88B5) if proto == GRE else struct.pack("!II", 0x1000 + self.tunnels, _ + 1)
            f.ip(t, rng.random() < 0.5, proto, head + PAYLOAD[:size])
            t += rng.randrange(100, 500_000)
        return [("gre" if proto == GRE else "esp", proto, f.out)]

    def gre(self, t: int) -> list:
        return self.tunnel(t, GRE)

    def esp(self, t: int) -> list:
        return self.tunnel(t, ESP)

    def arp(self, t: int) -> list:
        c = self.rng.choice(self.clients4)
        body = struct.pack("!HHBBH", 1, ETH_IPV4, 6, 4, 1) + MAC_CLIENT_SIDE + c.addr + bytes(6) + bytes([10, 0, 0, 1])
        reply = struct.pack("!HHBBH", 1, ETH_IPV4, 6, 4, 2) + MAC_SERVER_SIDE + bytes([10, 0, 0, 1]) + \
            MAC_CLIENT_SIDE + c.addr
        return [("arp", 0, [(t, b"\xff" * 6 + MAC_CLIENT_SIDE + struct.pack("!H", ETH_ARP) + body),
                            (t + 150, MAC_CLIENT_SIDE + MAC_SERVER_SIDE + struct.pack("!H", ETH_ARP) + reply)])]


class LongConnection:
    """A TCP connection from the capture's first frame to its last: a segment every few seconds,
    from either side in turn. Its own random stream, so the other frames do not change."""

    def __init__(self, seed: int) -> None:
        rng = self.rng = random.Random(seed ^ 0x10C0)
        self.conn = Tcp(Host(address4("198.18.0.0/16", 1), rng), Host(address4("198.19.0.0/16", 1), rng), 50022,
                        22, rng)
        self.conn.rtt = 2_000
        self.next = self.conn.handshake(BASE_US) + 3_000_000
        self.side = True

    def handshake(self) -> list[tuple[int, bytes]]:
        out, self.conn.out = self.conn.out, []
        return out

    def until(self, t: int) -> list[tuple[int, bytes]]:
        """Its segments due by time t."""
        conn = self.conn
        conn.out = []
        while self.next <= t:
            conn.seg(self.next, self.side, PSH | ACK, self.rng.randrange(36, 120))
            self.side = not self.side
            self.next += self.rng.randrange(3_000_000, 6_000_000)
        return conn.out

    def last(self, t: int) -> bytes:
        self.conn.out = []
        self.conn.seg(t, self.side, PSH | ACK, 48)
        return self.conn.out[0][1]


LONG = ("long",)  # the label of the long connection's frames
SLOT_BITS = 14  # time slots of 16.4 ms


def make_capture(path: str, count: int, seed: int = SEED, long: bool = False) -> dict:
    """Writes exactly `count` frames of generated traffic (and, with `long`, the long connection's
    frames besides) to `path`; returns what was made."""
    gen = Generator(count, seed)
    rng = gen.rng
    longc = LongConnection(seed) if long else None
    buckets: dict[int, list] = {}  # frames by time slot, written once no frame can come before them
    order = written = long_written = non_ip = 0
    kinds: dict[str, int] = {}
    protocols = {"tcp": 0, "udp": 0, "icmp": 0, "other": 0}
    names = {TCP: "tcp", UDP: "udp", ICMP: "icmp", ICMP6: "icmp", GRE: "other", ESP: "other"}
    pairs: set = set()
    last_ts = None
    chunk: list[bytes] = []
    pack = RECORD.pack

    def push(frames: list, label) -> None:
        # Ties in time keep the order frames were made in; only a connection's first frame is labelled.
        nonlocal order
        for ts, frame in frames:
            slot = buckets.get(ts >> SLOT_BITS)
            if slot is None:
                slot = buckets[ts >> SLOT_BITS] = []
            slot.append((ts, order, frame, label))
            order += 1
            if label is not LONG:
                label = None

    def write(ts: int, frame: bytes) -> None:
        chunk.append(pack(ts // 1_000_000, ts % 1_000_000, len(frame), len(frame)))
        chunk.append(frame)

    with open(path, "wb") as fh:
        fh.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        t = BASE_US + 1000
        next_slot = BASE_US >> SLOT_BITS
        if longc:
            push(longc.handshake(), LONG)  # its SYN at BASE_US, before every other frame
        for _ in range(MIDSTREAM):
            for kind, proto, frames in gen.tcp(t, midstream=True):
                push(frames, (kind, proto))
            t += rng.randrange(100, 5000)
        while written < count:
            t += int(rng.expovariate(ARRIVALS_PER_S) * 1_000_000) + 1
            if longc:
                push(longc.until(t), LONG)
            # Every connection made from now on starts at t or later: the slots before t's are complete.
            while next_slot < t >> SLOT_BITS and written < count:
                for ts, _, frame, label in sorted(buckets.pop(next_slot, ())):
                    write(ts, frame)
                    last_ts = ts
                    if label is LONG:
                        long_written += 1
                        continue
                    written += 1
                    if label:
                        kind, proto = label
                        kinds[kind] = kinds.get(kind, 0) + 1
                        if proto:
                            protocols[names[proto]] += 1
                            pairs.add(frozenset(endpoints(frame)))
                    elif frame[12:14] == b"\x08\x06":
                        non_ip += 1
                    if written == count:
                        break
                next_slot += 1
                if len(chunk) >= 40_000:
                    fh.write(b"".join(chunk))
                    chunk.clear()
            for kind, proto, frames in gen.connection(t):
                push(frames, (kind, proto))
        if longc:
            write(last_ts, longc.last(last_ts))  # the capture's last frame
            long_written += 1
            protocols["tcp"] += 1
            pairs.add(frozenset((longc.conn.c.addr, longc.conn.s.addr)))
        fh.write(b"".join(chunk))
    non_ip += kinds.get("arp", 0)  # the first frame of each ARP exchange was counted as its label
    return {
        "frames": written + long_written,
        "ip_packets": written + long_written - non_ip,
        "non_ip_frames": non_ip,
        "long_connection_frames": long_written,
        "connections": {**protocols, "total": sum(protocols.values())},
        "kinds": dict(sorted(kinds.items())),
        "host_pairs": len(pairs),
        "first_ts_us": BASE_US if longc else BASE_US + 1000,
        "last_ts_us": last_ts,
        "seed": seed,
    }


def endpoints(frame: bytes) -> tuple[bytes, bytes]:
    if frame[12:14] == b"\x86\xdd":
        return frame[22:38], frame[38:54]
    return frame[26:30], frame[30:34]


def capture_path(count: int, long: bool = False) -> str:
    """The connection benchmark capture of `count` frames, generated once and kept in bench/out."""
    os.makedirs(OUT_DIR, exist_ok=True)
    path = os.path.join(OUT_DIR, f"conn-{count}{'-long' if long else ''}.pcap")
    if not os.path.exists(path) or not os.path.exists(path[:-5] + ".json"):
        tmp = path + ".tmp"
        summary = make_capture(tmp, count, long=long)
        with open(path[:-5] + ".json", "w") as fh:
            json.dump(summary, fh, indent=1)
        os.replace(tmp, path)
    return path


def summary_of(path: str) -> dict:
    with open(path[:-5] + ".json") as fh:
        return json.load(fh)


def check_with_tshark(path: str) -> bool:
    """tshark's TCP and UDP conversation counts against what the generator says it made."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import tshark_conv

    out = subprocess.run(["tshark", "-n", "-r", path, "-q", "-z", "conv,tcp", "-z", "conv,udp"], check=True,
                         capture_output=True, text=True).stdout
    tables = tshark_conv.parse(out)
    made = summary_of(path)["connections"]
    ok = True
    for layer in ("tcp", "udp"):
        same = len(tables[layer]) == made[layer]
        ok &= same
        print(f"{layer}: tshark {len(tables[layer]):,} conversations, generator {made[layer]:,}: "
              f"{'same' if same else 'DIFFERENT'}", file=sys.stderr)
    return ok


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("count", type=int, nargs="?", default=1_000_000, help="frames (default 1,000,000)")
    ap.add_argument("--long", action="store_true", help="add one connection open from the first frame to the last")
    ap.add_argument("--check", action="store_true", help="compare tshark's conversation counts with the summary")
    args = ap.parse_args()
    out_path = capture_path(args.count, args.long)
    print(out_path)
    if args.check and not check_with_tshark(out_path):
        sys.exit(1)
