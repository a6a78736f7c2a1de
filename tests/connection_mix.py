"""Seeded captures of many connections at once, for comparing ways of reading one capture: TCP
exchanges of every flag pattern, UDP, ICMP echo pairs and errors, another IP protocol,
fragmented datagrams (some in reverse), ARP, VLAN tags, and one TCP connection open from the
first frame to the last; gaps on both sides of every timeout and of the close delay (under
connection_traffic.SETTINGS), and timestamps that go back."""

from __future__ import annotations

import random

import connection_traffic as ct
import pcapgen as pg
from connection_traffic import A4, ACK, B4, FIN, PSH, RST, S, SYN, URG

# Gaps between events: around 2 s (the close delay), 3, 4 and 5 s (the other, ICMP and UDP
# timeouts) and 10 s (TCP's), on both sides.
GAPS = (0, 1, 1000, S // 100, S // 10, S // 2, S, 2 * S, 2 * S + 1, 3 * S, 3 * S + 1, 4 * S, 4 * S + 1, 5 * S,
        5 * S + 1, 10 * S, 10 * S + 1)
BACK = (1, S // 10, S, 3 * S, 20 * S)
LONG = (A4, B4, 55555, 22)  # the connection open throughout


def items(seed: int, n: int = 1500, back: float = 0.02) -> list:
    """(ns after connection_traffic.T0, packet or pcapgen.Record) in capture order."""
    rng = random.Random(seed)
    hosts = {4: [f"10.0.{i // 200}.{i % 200 + 1}" for i in range(30)], 6: [f"2001:db8::{i + 1:x}" for i in range(10)]}
    out = [(0, ct.tcp(*LONG[:2], LONG[2], LONG[3], SYN))]
    open_tcp: list[tuple] = []
    port, t = 20000, 20 * S
    for _ in range(n):
        t += -rng.choice(BACK) if rng.random() < back else rng.choice(GAPS)
        a, b = rng.sample(hosts[6 if rng.random() < 0.25 else 4], 2)
        kind = rng.random()
        if kind < 0.30:
            if open_tcp and rng.random() < 0.6:
                c = rng.choice(open_tcp)
                src, dst, sport, dport = c if rng.random() < 0.5 else (c[1], c[0], c[3], c[2])
                flags = rng.choice([ACK, PSH | ACK, FIN | ACK, RST, RST | ACK, SYN, URG | ACK])
                out.append((t, ct.tcp(src, dst, sport, dport, flags, b"x" * rng.randrange(3))))
                if flags & (FIN | RST) and rng.random() < 0.3:
                    open_tcp.remove(c)
            else:
                port += 1
                c = (a, b, port, rng.choice([22, 80, 443, 25, 8080, 50000]))
                open_tcp.append(c)
                out.append((t, ct.tcp(*c[:2], c[2], c[3], rng.choice([SYN, SYN, SYN | ACK, ACK]))))
        elif kind < 0.50:
            out.append((t, ct.udp(a, b, rng.choice([53, 123, 40000 + rng.randrange(5)]), 53, b"q" * rng.randrange(4))))
        elif kind < 0.62:
            v6 = ":" in a
            ident = rng.randrange(3)
            out.append((t, ct.icmp(a, b, 128 if v6 else 8, 0, ident=ident)))
            if rng.random() < 0.7:
                out.append((t + 1000, ct.icmp(b, a, 129 if v6 else 0, 0, ident=ident)))
        elif kind < 0.66:
            out.append((t, ct.icmp(a, b, 1 if ":" in a else 3, rng.randrange(4))))
        elif kind < 0.72:
            out.append((t, ct.ip(a, b, ct.GRE, b"\0" * 4)))
        elif kind < 0.78:
            pieces = ct.fragments(a, b, 17, pg.udp(7, 9, b"z" * 40), ident=rng.randrange(4))
            if rng.random() < 0.2:
                pieces.reverse()
            out += [(t + k, p) for k, p in enumerate(pieces)]
        elif kind < 0.82:
            out.append((t, pg.Record(pg.arp())))
        elif kind < 0.86:
            tagged = pg.vlan(ct.udp(a, b, 5000, 53, b"v"), vid=rng.choice([0, 7]))
            out.append((t, pg.Record(tagged)))
        else:
            out.append((t, ct.tcp(*LONG[:2], LONG[2], LONG[3], PSH | ACK, b"k")))
    out.append((t + 1, ct.tcp(LONG[1], LONG[0], LONG[3], LONG[2], ACK)))
    return out


def records(seed: int, n: int = 1500, back: float = 0.02) -> tuple[int, list[pg.Record]]:
    """(link type, records) of items()."""
    return ct.records(items(seed, n, back))


def write(path, seed: int, n: int = 1500, back: float = 0.02) -> str:
    linktype, recs = records(seed, n, back)
    return pg.write_pcap(path, recs, linktype=linktype, nanosecond=True)
