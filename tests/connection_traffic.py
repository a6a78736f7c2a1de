"""Crafted traffic for the connection tests: IP packets of every kind the connection table keys
on, fragmented datagrams, put behind any link header and written as nanosecond pcap files."""

from __future__ import annotations

import struct

import pyarrow as pa

import pcapgen as pg

T0 = 1_700_000_000 * 10**9  # the captures' first instant, in nanoseconds
S = 10**9

# Distinct timeouts, so that a protocol given another's is seen.
SETTINGS = {"tcp_timeout": 10.0, "udp_timeout": 5.0, "icmp_timeout": 4.0, "other_timeout": 3.0, "close_delay": 2.0}

A4, B4, C4 = "10.0.0.1", "10.0.0.2", "10.0.0.3"
A6, B6 = "2001:db8::1", "2001:db8::2"
FIN, SYN, RST, PSH, ACK, URG = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20
GRE = 47


def ip(src: str, dst: str, proto: int, payload: bytes, **opts) -> bytes:
    """An IPv4 or IPv6 packet (by the source address) carrying `payload` as protocol `proto`."""
    if ":" in src:
        return pg.ipv6(src, dst, proto, payload, **opts)
    return pg.ipv4(src, dst, proto, payload, **opts)


def tcp(src, dst, sport, dport, flags, payload=b"", **opts) -> bytes:
    return ip(src, dst, 6, pg.tcp(sport, dport, flags=flags, payload=payload), **opts)


def udp(src, dst, sport, dport, payload=b"", **opts) -> bytes:
    return ip(src, dst, 17, pg.udp(sport, dport, payload), **opts)


def icmp(src, dst, icmp_type, code=0, ident=1, data=b"", **opts) -> bytes:
    """ICMP in IPv4, ICMPv6 in IPv6; bytes 4-5 (an echo's identifier) are `ident`."""
    proto = 58 if ":" in src else 1
    return ip(src, dst, proto, pg.icmp(icmp_type, code, struct.pack("!HH", ident, 1) + data), **opts)


def fragments(src: str, dst: str, proto: int, transport: bytes, ident: int, size: int = 8) -> list[bytes]:
    """`transport` (a transport header and its payload) as a datagram cut into fragments of `size`
    bytes (a multiple of 8), first fragment first."""
    out = []
    for offset in range(0, len(transport), size):
        chunk, more = transport[offset:offset + size], offset + size < len(transport)
        if ":" in src:
            out.append(pg.ipv6(src, dst, 44, pg.frag_header(proto, chunk, offset=offset // 8, more=more, ident=ident)))
        else:
            out.append(pg.ipv4(src, dst, proto, chunk, ident=ident, flags_frag=(0x2000 if more else 0) | offset // 8))
    return out


def ethertype(packet: bytes) -> int:
    return pg.ETH_IPV6 if packet[0] >> 4 == 6 else pg.ETH_IPV4


# Link headers the same traffic can be written behind: (link type, pcapgen.link options).
LINKS = {
    "ethernet": (pg.LINKTYPE_ETHERNET, {}),
    "8021q": (pg.LINKTYPE_ETHERNET, {"stack": [(pg.ETH_VLAN, 0x2000 | 42)]}),
    "qinq": (pg.LINKTYPE_ETHERNET, {"stack": [(pg.ETH_QINQ, 7), (pg.ETH_VLAN, 300)]}),
    "sll": (pg.LINKTYPE_LINUX_SLL, {}),
    "sll2": (pg.LINKTYPE_LINUX_SLL2, {}),
    "sll2-tagged": (pg.LINKTYPE_LINUX_SLL2, {"stack": [(pg.ETH_VLAN, 9)]}),
    "raw": (pg.LINKTYPE_RAW, {}),
}


def records(items, link: str = "ethernet") -> tuple[int, list[pg.Record]]:
    """(link type, records) of `items`: (ns after T0, IP packet) pairs, or (ns, pcapgen.Record) for a
    frame given whole, whose ts fields are then set."""
    linktype, opts = LINKS[link]
    out = []
    for at, item in items:
        t = T0 + at
        if isinstance(item, pg.Record):
            item.ts_sec, item.ts_usec = divmod(t, S)
            out.append(item)
        else:
            out.append(pg.Record(pg.link(linktype, item, ethertype(item), **opts), *divmod(t, S)))
    return linktype, out


def write(path, items, link: str = "ethernet") -> str:
    linktype, recs = records(items, link)
    return pg.write_pcap(path, recs, linktype=linktype, nanosecond=True)


def as_rows(table: pa.Table) -> list[dict]:
    """A connection table's rows as dicts, timestamps as integer nanoseconds."""
    for name in ("ts", "last_ts"):
        table = table.set_column(table.schema.get_field_index(name), name, table.column(name).cast(pa.int64()))
    return table.to_pylist()
