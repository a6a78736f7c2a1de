"""Crafts exact frames and writes them to classic pcap files.

Used by the tests (and the benchmark) to build captures whose every byte is
known: any IHL, flags word, flow label, truncated caplen, ARP, VLAN stacks,
IPv6 extension headers, the link headers of every link type the engine reads,
and files of either byte order, microsecond or nanosecond magic, version 2.2-2.4.
"""

from __future__ import annotations

import socket
import struct
from dataclasses import dataclass
from typing import Iterable

MAC_A = bytes.fromhex("00005e0053af")
MAC_B = bytes.fromhex("020000000001")

ETH_IPV4 = 0x0800
ETH_IPV6 = 0x86DD
ETH_ARP = 0x0806
ETH_VLAN = 0x8100
ETH_QINQ = 0x88A8
ETH_QINQ_OLD = 0x9100

# Link types as capture files store them.
LINKTYPE_NULL, LINKTYPE_ETHERNET, LINKTYPE_RAW, LINKTYPE_LOOP = 0, 1, 101, 108
LINKTYPE_DLT_RAW12, LINKTYPE_DLT_RAW14 = 12, 14
LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2 = 113, 276
LINKTYPE_IPV4, LINKTYPE_IPV6 = 228, 229

# IPv6 extension headers
EXT_HOP_BY_HOP, EXT_ROUTING, EXT_FRAGMENT, EXT_DEST_OPTS = 0, 43, 44, 60
# Address families a BSD loopback header may name: IPv4, and IPv6 as Linux, the BSDs and macOS number it.
AF_INET, AF_INET6_VALUES = 2, (10, 24, 28, 30)


def eth(payload: bytes, ethertype: int = ETH_IPV4, dst: bytes = MAC_B, src: bytes = MAC_A) -> bytes:
    return dst + src + struct.pack("!H", ethertype) + payload


def ipv4(
    src: str,
    dst: str,
    proto: int,
    payload: bytes = b"",
    *,
    ihl: int = 5,
    flags_frag: int = 0,
    ident: int = 0,
    ttl: int = 64,
    version: int = 4,
) -> bytes:
    options = b"\x01" * max(0, 4 * ihl - 20)  # NOP options fill a longer header
    total = 20 + len(options) + len(payload)
    head = struct.pack(
        "!BBHHHBBH4s4s",
        (version << 4) | (ihl & 0x0F),
        0,
        total & 0xFFFF,
        ident,
        flags_frag,
        ttl,
        proto,
        0,
        socket.inet_pton(socket.AF_INET, src),
        socket.inet_pton(socket.AF_INET, dst),
    )
    return head + options + payload


def ipv6(
    src: str,
    dst: str,
    next_header: int,
    payload: bytes = b"",
    *,
    flow: int = 0,
    traffic_class: int = 0,
    first_word: int | None = None,
) -> bytes:
    word = first_word if first_word is not None else (6 << 28) | (traffic_class << 20) | (flow & 0xFFFFF)
    return (
        struct.pack("!IHBB", word, len(payload), next_header, 64)
        + socket.inet_pton(socket.AF_INET6, src)
        + socket.inet_pton(socket.AF_INET6, dst)
        + payload
    )


def tcp(sport: int, dport: int, *, seq: int = 0, ack: int = 0, flags: int = 0x02, payload: bytes = b"") -> bytes:
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 5 << 4, flags, 65535, 0, 0) + payload


def udp(sport: int, dport: int, payload: bytes = b"", *, length: int | None = None) -> bytes:
    return struct.pack("!HHHH", sport, dport, (8 + len(payload)) if length is None else length, 0) + payload


def icmp(icmp_type: int, code: int = 0, payload: bytes = b"\x00\x01\x00\x01") -> bytes:
    return struct.pack("!BBH", icmp_type, code, 0) + payload


def arp() -> bytes:
    body = struct.pack("!HHBBH", 1, ETH_IPV4, 6, 4, 1) + MAC_A + bytes([10, 0, 0, 1]) + bytes(6) + bytes([10, 0, 0, 2])
    return eth(body, ETH_ARP, dst=b"\xff" * 6)


def vlan(inner: bytes, vid: int = 100, inner_type: int = ETH_IPV4) -> bytes:
    return eth(struct.pack("!HH", vid, inner_type) + inner, ETH_VLAN)


def tags(stack: Iterable[tuple[int, int]], ethertype: int) -> tuple[int, bytes]:
    """A stack of (TPID, TCI) tags in front of `ethertype`: (the first type, the bytes after it)."""
    stack = list(stack)
    types = [tpid for tpid, _ in stack] + [ethertype]
    body = b"".join(struct.pack("!HH", tci, nxt) for (_, tci), nxt in zip(stack, types[1:]))
    return types[0], body


def eth_tagged(payload: bytes, ethertype: int, stack: Iterable[tuple[int, int]] = (), **macs) -> bytes:
    first, body = tags(stack, ethertype)
    return eth(body + payload, first, **macs)


def sll(payload: bytes, protocol: int, *, version: int = 1, addr: bytes = MAC_A, addr_len: int | None = None,
        stack: Iterable[tuple[int, int]] = ()) -> bytes:
    """Linux cooked v1 (packet type, ARPHRD type, address length, 8 address bytes, protocol) or v2
    (protocol, reserved, interface index, ARPHRD type, packet type, address length, address)."""
    first, body = tags(stack, protocol)
    n = len(addr) if addr_len is None else addr_len
    if version == 1:
        return struct.pack("!HHH8sH", 0, 1, n, addr, first) + body + payload
    return struct.pack("!HHIHBB8s", first, 0, 2, 1, 0, n, addr) + body + payload


def loopback(payload: bytes, family: int, *, big_endian: bool = False) -> bytes:
    """BSD null/loop: a 4-byte address family in either byte order."""
    return struct.pack(">I" if big_endian else "<I", family) + payload


def link(linktype: int, packet: bytes, ethertype: int = ETH_IPV4, *, family: int | None = None,
         big_endian: bool = False, **opts) -> bytes:
    """`packet` behind the link header of `linktype` (none for the raw and IPv4/IPv6 link types);
    `ethertype` says what it is where the link layer says so, `family` overrides a loopback's."""
    if linktype == LINKTYPE_ETHERNET:
        return eth_tagged(packet, ethertype, **opts)
    if linktype in (LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2):
        return sll(packet, ethertype, version=1 if linktype == LINKTYPE_LINUX_SLL else 2, **opts)
    if linktype in (LINKTYPE_NULL, LINKTYPE_LOOP):
        if family is None:
            family = {ETH_IPV4: AF_INET, ETH_IPV6: AF_INET6_VALUES[0]}.get(ethertype, 7)
        return loopback(packet, family, big_endian=big_endian)
    return packet


def ext_header(next_header: int, payload: bytes = b"", *, units: int = 0) -> bytes:
    """A hop-by-hop, routing or destination-options header of (units + 1) * 8 bytes, padded with PadN."""
    pad = 8 * (units + 1) - 2
    return bytes([next_header, units, 1, pad - 2]) + bytes(pad - 2) + payload


def frag_header(next_header: int, payload: bytes = b"", *, offset: int = 0, more: bool = False,
                ident: int = 0x1234) -> bytes:
    """An IPv6 fragment header: offset in 8-byte units, M flag."""
    return struct.pack("!BBHI", next_header, 0, (offset << 3) | int(more), ident) + payload


@dataclass
class Record:
    frame: bytes
    ts_sec: int = 1_700_000_000
    ts_usec: int = 0  # the fraction as the file stores it: nanoseconds in a nanosecond file
    wire_len: int | None = None  # defaults to len(frame)
    caplen: int | None = None  # defaults to len(frame); the file holds caplen bytes
    swap_lengths: bool = False  # stored as old writers stored them: wire length first

    def header_and_data(self) -> tuple[int, int, int, int, bytes]:
        caplen = len(self.frame) if self.caplen is None else self.caplen
        wire = len(self.frame) if self.wire_len is None else self.wire_len
        return self.ts_sec, self.ts_usec, caplen, wire, self.frame[:caplen]


def pcap_bytes(
    records: Iterable[Record | bytes],
    *,
    snaplen: int = 65535,
    linktype: int = 1,
    big_endian: bool = False,
    nanosecond: bool = False,
    version: tuple[int, int] = (2, 4),
) -> bytes:
    order = ">" if big_endian else "<"
    magic = 0xA1B23C4D if nanosecond else 0xA1B2C3D4
    out = [struct.pack(order + "IHHiIII", magic, *version, 0, 0, snaplen, linktype)]
    for rec in records:
        if isinstance(rec, (bytes, bytearray)):
            rec = Record(bytes(rec))
        sec, usec, caplen, wire, data = rec.header_and_data()
        lengths = (wire, caplen) if rec.swap_lengths else (caplen, wire)
        out.append(struct.pack(order + "IIII", sec & 0xFFFFFFFF, usec & 0xFFFFFFFF, *lengths))
        out.append(data)
    return b"".join(out)


def write_pcap(path, records: Iterable[Record | bytes], **kwargs) -> str:
    with open(path, "wb") as fh:
        fh.write(pcap_bytes(records, **kwargs))
    return str(path)


# ---- pcapng ---------------------------------------------------------------------------

PCAPNG_SHB, PCAPNG_IDB, PCAPNG_OPB, PCAPNG_SPB, PCAPNG_NRB, PCAPNG_ISB, PCAPNG_EPB = (
    0x0A0D0D0A, 1, 2, 3, 4, 5, 6)


class Pcapng:
    """Builds a pcapng file block by block, in either byte order."""

    def __init__(self, *, big_endian: bool = False, version: tuple[int, int] = (1, 0)) -> None:
        self.order = ">" if big_endian else "<"
        self.blocks: list[bytes] = []
        self.section(version)

    def block(self, block_type: int, body: bytes) -> Pcapng:
        body += b"\0" * (-len(body) % 4)
        length = 12 + len(body)
        self.blocks.append(struct.pack(self.order + "II", block_type, length) + body
                           + struct.pack(self.order + "I", length))
        return self

    def options(self, options: list[tuple[int, bytes]]) -> bytes:
        out = b""
        for code, value in options:
            out += struct.pack(self.order + "HH", code, len(value)) + value + b"\0" * (-len(value) % 4)
        return out + (struct.pack(self.order + "HH", 0, 0) if options else b"")

    def section(self, version: tuple[int, int] = (1, 0)) -> Pcapng:
        return self.block(PCAPNG_SHB, struct.pack(self.order + "IHHq", 0x1A2B3C4D, *version, -1))

    def interface(self, linktype: int = 1, snaplen: int = 262144, *, tsresol: int | None = None,
                  tsoffset: int | None = None) -> Pcapng:
        """tsresol is the if_tsresol byte (6: microseconds, 9: nanoseconds, 0x80 | n: 2^-n)."""
        options = []
        if tsresol is not None:
            options.append((9, bytes([tsresol])))
        if tsoffset is not None:
            options.append((14, struct.pack(self.order + "q", tsoffset)))
        return self.block(PCAPNG_IDB, struct.pack(self.order + "HHI", linktype, 0, snaplen) + self.options(options))

    def packet(self, frame: bytes, units: int = 0, *, interface: int = 0, wire_len: int | None = None) -> Pcapng:
        """An enhanced packet block; `units` is the time in the interface's resolution."""
        return self.block(PCAPNG_EPB, struct.pack(self.order + "IIIII", interface, units >> 32, units & 0xFFFFFFFF,
                                                  len(frame), len(frame) if wire_len is None else wire_len) + frame)

    def simple(self, frame: bytes, wire_len: int | None = None) -> Pcapng:
        return self.block(PCAPNG_SPB, struct.pack(self.order + "I", len(frame) if wire_len is None else wire_len)
                          + frame)

    def obsolete(self, frame: bytes, units: int = 0, *, interface: int = 0) -> Pcapng:
        return self.block(PCAPNG_OPB, struct.pack(self.order + "HHIIII", interface, 0, units >> 32,
                                                  units & 0xFFFFFFFF, len(frame), len(frame)) + frame)

    def statistics(self, interface: int = 0) -> Pcapng:
        return self.block(PCAPNG_ISB, struct.pack(self.order + "III", interface, 0, 0))

    def bytes(self) -> bytes:
        return b"".join(self.blocks)

    def write(self, path) -> str:
        with open(path, "wb") as fh:
            fh.write(self.bytes())
        return str(path)
