"""Deterministic mixed capture for the benchmarks.

IPv4 and IPv6; TCP, UDP and ICMP/ICMPv6; some ARP and VLAN frames that the
decoder skips; some frames cut by a 64-byte snapshot. Packets are 200 us
apart and go to a few thousand destinations.
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import pcapgen as pg  # noqa: E402

OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")


def _frames(rng: random.Random) -> list[tuple[bytes, bool]]:
    """A pool of distinct frames; the flag says whether to cut it at 64 bytes."""
    pool: list[tuple[bytes, bool]] = []
    payload = bytes(range(256)) * 6
    for i in range(4096):
        kind = rng.random()
        a4 = f"10.{i % 7}.{(i * 13) % 256}.{(i * 7) % 250 + 1}"
        b4 = f"192.168.{(i * 3) % 256}.{(i * 11) % 250 + 1}"
        a6 = f"2001:db8::{i % 4096:x}"
        b6 = f"2001:db8:1::{(i * 5) % 4096:x}"
        size = rng.choice((0, 0, 20, 64, 200, 512, 1400))
        data = payload[:size]
        sport, dport = rng.randrange(1024, 65535), rng.choice((80, 443, 53, 22, 8080, rng.randrange(1, 65535)))
        if kind < 0.40:
            seg = pg.tcp(sport, dport, seq=rng.getrandbits(32), ack=rng.getrandbits(32), flags=rng.choice((0x02, 0x12, 0x10, 0x18, 0x11, 0x04, 0x30)), payload=data)
            frame = pg.eth(pg.ipv4(a4, b4, 6, seg, ident=i, flags_frag=rng.choice((0x4000, 0x4000, 0, 0x2000))))
        elif kind < 0.60:
            frame = pg.eth(pg.ipv4(a4, b4, 17, pg.udp(sport, dport, data), ident=i))
        elif kind < 0.68:
            frame = pg.eth(pg.ipv4(a4, b4, 1, pg.icmp(rng.choice((0, 8, 3, 11)), rng.randrange(4), data), ident=i))
        elif kind < 0.80:
            seg = pg.tcp(sport, dport, seq=rng.getrandbits(32), ack=rng.getrandbits(32), flags=0x18, payload=data)
            frame = pg.eth(pg.ipv6(a6, b6, 6, seg, flow=rng.getrandbits(20)), pg.ETH_IPV6)
        elif kind < 0.88:
            frame = pg.eth(pg.ipv6(a6, b6, 17, pg.udp(sport, dport, data), flow=rng.getrandbits(20)), pg.ETH_IPV6)
        elif kind < 0.93:
            frame = pg.eth(pg.ipv6(a6, b6, 58, pg.icmp(rng.choice((128, 129, 135, 136)), 0, data)), pg.ETH_IPV6)
        elif kind < 0.95:
            frame = pg.eth(pg.ipv4(a4, b4, 47, data, ident=i))
        elif kind < 0.98:
            frame = pg.arp()
        else:
            frame = pg.vlan(pg.ipv4(a4, b4, 17, pg.udp(sport, dport, data)))
        pool.append((frame, rng.random() < 0.05))
    return pool


def make_capture(path: str, count: int, seed: int = 20261208) -> str:
    rng = random.Random(seed)
    pool = _frames(rng)
    picks = [rng.randrange(len(pool)) for _ in range(count)]
    pack = struct.Struct("<IIII").pack
    base = 1_700_000_000
    with open(path, "wb") as fh:
        fh.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        chunk = []
        for n, k in enumerate(picks):
            frame, cut = pool[k]
            usec_total = n * 200
            data = frame[:64] if cut else frame
            chunk.append(pack(base + usec_total // 1_000_000, usec_total % 1_000_000, len(data), len(frame)))
            chunk.append(data)
            if len(chunk) >= 20000:
                fh.write(b"".join(chunk))
                chunk.clear()
        fh.write(b"".join(chunk))
    return path


def capture_path(count: int) -> str:
    """The benchmark capture of `count` packets, generated once and kept in bench/out."""
    os.makedirs(OUT_DIR, exist_ok=True)
    path = os.path.join(OUT_DIR, f"mixed-{count}.pcap")
    if not os.path.exists(path):
        tmp = path + ".tmp"
        make_capture(tmp, count)
        os.replace(tmp, path)
    return path


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("count", type=int, nargs="?", default=1_000_000)
    print(capture_path(ap.parse_args().count))
