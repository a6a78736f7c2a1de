"""Crafts exact Ethernet frames and writes them to classic pcap files.

Used by the tests (and the benchmark) to build captures whose every byte is
known: any IHL, flags word, flow label, truncated caplen, ARP, VLAN.
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


@dataclass
class Record:
    frame: bytes
    ts_sec: int = 1_700_000_000
    ts_usec: int = 0
    wire_len: int | None = None  # defaults to len(frame)
    caplen: int | None = None  # defaults to len(frame); the file holds caplen bytes

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
) -> bytes:
    order = ">" if big_endian else "<"
    out = [struct.pack(order + "IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, linktype)]
    for rec in records:
        if isinstance(rec, (bytes, bytearray)):
            rec = Record(bytes(rec))
        sec, usec, caplen, wire, data = rec.header_and_data()
        out.append(struct.pack(order + "IIII", sec & 0xFFFFFFFF, usec & 0xFFFFFFFF, caplen, wire))
        out.append(data)
    return b"".join(out)


def write_pcap(path, records: Iterable[Record | bytes], **kwargs) -> str:
    with open(path, "wb") as fh:
        fh.write(pcap_bytes(records, **kwargs))
    return str(path)
