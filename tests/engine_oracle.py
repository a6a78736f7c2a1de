"""An independent reference for the engine's packets and features tables.

Header layouts are dpkt's; what each column means is taken from the tables'
definitions: one row per IPv4/IPv6 frame, a field null when its header is not
there or its bytes are not all captured, frames cut inside the link header,
the VLAN tags or the fixed IP header skipped as cut.
"""

from __future__ import annotations

import socket
import struct
import sys
from dataclasses import dataclass

import dpkt
import dpkt.sll2

CUT = "cut"  # what row() gives for a frame cut before its fixed IP header ends
TPIDS = (0x8100, 0x88A8, 0x9100)
IPV6_FAMILIES = (10, 24, 28, 30)
SUPPORTED = (0, 1, 12, 14, 101, 108, 113, 228, 229, 276)
EXTENSIONS = (0, 43, 60)  # hop-by-hop, routing, destination options (fragment 44 apart)


class Bytes:
    """The captured bytes of a frame, read through dpkt's header layouts."""

    def __init__(self, data: bytes):
        self.data = data

    def has(self, offset: int, size: int) -> bool:
        return offset + size <= len(self.data)

    def field(self, cls, name: str, offset: int):
        """Field `name` of header `cls` starting at `offset`; None unless all its bytes are captured."""
        for fname, fmt, _ in cls.__hdr__:
            size = struct.calcsize(">" + fmt)
            if fname == name:
                return struct.unpack_from(">" + fmt, self.data, offset)[0] if self.has(offset, size) else None
            offset += size
        raise KeyError(name)


@dataclass
class Link:
    offset: int
    version: int | None  # 4, 6, or None: not IP (the EtherType or family says, else the nibble)
    src_mac: bytes | None = None
    dst_mac: bytes | None = None
    vlans: tuple = ()


def _tag_stack(b: Bytes, ethertype: int, pos: int, **kw) -> Link | str:
    tag, vlans = dpkt.ethernet.VLANtag8021Q, []
    while ethertype in TPIDS:
        if not b.has(pos, 4):
            return CUT
        vlans.append(b.field(tag, "_pri_cfi_id", pos) & 0x0FFF)
        ethertype = b.field(tag, "type", pos)
        pos += 4
    return Link(pos, {0x0800: 4, 0x86DD: 6}.get(ethertype), vlans=tuple(vlans), **kw)


def find_link(linktype: int, b: Bytes) -> Link | str:
    d = b.data
    if linktype == 1:
        if not b.has(0, 14):
            return CUT
        eth = dpkt.ethernet.Ethernet
        return _tag_stack(b, b.field(eth, "type", 0), 14, src_mac=b.field(eth, "src", 0),
                          dst_mac=b.field(eth, "dst", 0))
    if linktype in (113, 276):
        cls = dpkt.sll.SLL if linktype == 113 else dpkt.sll2.SLL2
        size = struct.calcsize(cls.__hdr_fmt__)
        if not b.has(0, size):
            return CUT
        mac = b.field(cls, "hdr", 0)[:6] if b.field(cls, "hlen", 0) == 6 else None
        return _tag_stack(b, b.field(cls, "ethtype", 0), size, src_mac=mac)
    if linktype in (0, 108):
        if not b.has(0, 4):
            return CUT
        families = struct.unpack_from("<I", d) + struct.unpack_from(">I", d)
        return Link(4, 4 if 2 in families else 6 if set(families) & set(IPV6_FAMILIES) else None)
    if linktype in (12, 14, 101, 228, 229):
        if not b.has(0, 1):
            return CUT
        version = {4: 4, 6: 6}.get(d[0] >> 4)
        return Link(0, None if {228: 6, 229: 4}.get(linktype) == version else version)
    return Link(0, None)


def _transport(b: Bytes, proto: int, at: int | None) -> dict:
    """The transport columns for protocol `proto` at `at` (None: not in this packet)."""
    tcp, udp, icmp = dpkt.tcp.TCP, dpkt.udp.UDP, dpkt.icmp.ICMP
    out = dict.fromkeys(["src_port", "dst_port", "tcp_flags", "tcp_seq", "tcp_ack", "udp_length",
                         "icmp_type", "icmp_code"])
    if at is None:
        return out
    if proto in (6, 17):
        out.update(src_port=b.field(udp, "sport", at), dst_port=b.field(udp, "dport", at))
    if proto == 6:
        flags = b.field(tcp, "_off_flags", at)
        out.update(tcp_seq=b.field(tcp, "seq", at), tcp_ack=b.field(tcp, "ack", at),
                   tcp_flags=None if flags is None else flags & 0xFF)
    elif proto == 17:
        out["udp_length"] = b.field(udp, "ulen", at)
    elif proto in (1, 58):
        out.update(icmp_type=b.field(icmp, "type", at), icmp_code=b.field(icmp, "code", at))
    return out


def _s32(v: int) -> int:
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v & 0x80000000 else v


def _mac(m: bytes | None) -> str | None:
    return None if m is None else ":".join(f"{x:02x}" for x in m)


def row(linktype: int, data: bytes, *, sec: int = 0, frac: int = 0, nanosecond: bool = False,
        swapped: bool = False, wire_len: int | None = None) -> dict | str | None:
    """The packets-table row of one record (with the features-table values under 'features'),
    CUT for a frame cut before its fixed IP header ends, None for one that is not IP."""
    b = Bytes(data)
    link = find_link(linktype, b)
    if link == CUT:
        return CUT
    if link.version is None:
        return None
    version, n = link.version, link.offset
    # libpcap reads the fraction as a signed field, but as unsigned in a file of the other byte order
    sec, frac = sec & 0xFFFFFFFF, frac & 0xFFFFFFFF if swapped else _s32(frac)
    out = {
        "timestamp": sec * 1_000_000_000 + (frac if nanosecond else frac * 1000),
        "frame_length": len(data) if wire_len is None else wire_len, "captured_length": len(data),
        "src_mac": _mac(link.src_mac), "dst_mac": _mac(link.dst_mac),
        "vlan": link.vlans[0] if link.vlans else None,
        "inner_vlan": link.vlans[1] if len(link.vlans) > 1 else None, "ip_version": version,
    }
    if version == 4:
        ip = dpkt.ip.IP
        if not b.has(n, 20):
            return CUT
        ihl = b.field(ip, "_v_hl", n) & 0x0F
        flags = b.field(ip, "_flags_offset", n)
        later = flags & 0x1FFF != 0
        proto = b.field(ip, "p", n)
        out.update(src_ip=socket.inet_ntop(socket.AF_INET, b.field(ip, "src", n)),
                   dst_ip=socket.inet_ntop(socket.AF_INET, b.field(ip, "dst", n)), ttl=b.field(ip, "ttl", n),
                   ip_id=b.field(ip, "id", n), ip_proto=proto, fragment=flags & 0x2000 != 0 or later)
        at = n + 4 * ihl
        here = at if ihl >= 5 and not later else None
        # The features read the ports where the IHL puts them, fragment or not.
        feature_ports = _transport(b, proto, at)
    else:
        ip6 = dpkt.ip6.IP6
        if not b.has(n, 40):
            return CUT
        out.update(src_ip=socket.inet_ntop(socket.AF_INET6, b.field(ip6, "src", n)),
                   dst_ip=socket.inet_ntop(socket.AF_INET6, b.field(ip6, "dst", n)),
                   ttl=b.field(ip6, "hlim", n), ip_id=b.field(ip6, "_v_fc_flow", n) & 0xFFFFF)
        proto, at, fragment = b.field(ip6, "nxt", n), n + 40, False
        while proto in EXTENSIONS + (44,):
            if proto == 44:
                frag = dpkt.ip6.IP6FragmentHeader
                if not b.has(at, 8):
                    at = None
                    break
                word = b.field(frag, "_frag_off_resv_m", at)
                fragment = word >> 3 != 0 or word & 1 != 0
                proto, at = b.field(frag, "nxt", at), at + 8
                if word >> 3:
                    at = None  # a later fragment: what follows is payload
                    break
            else:
                opts = dpkt.ip6.IP6OptsHeader
                length = b.field(opts, "len", at)
                if length is None or not b.has(at, 8 * (length + 1)):
                    at = None
                    break
                proto, at = b.field(opts, "nxt", at), at + 8 * (length + 1)
        out.update(ip_proto=proto, fragment=fragment)
        here = at
        feature_ports = _transport(b, proto, at)
    out.update(_transport(b, out["ip_proto"], here))
    # libpcap's microsecond reading (a nanosecond fraction divided as C divides), as signed 32-bit
    usec = _s32(frac if not nanosecond else (abs(frac) // 1000) * (1 if frac >= 0 else -1))
    out["features"] = {
        "timestamp": usec / 1e6 + _s32(sec),
        "src_port": feature_ports["src_port"] or 0, "dst_port": feature_ports["dst_port"] or 0,
        "protocol_type": {6: "TCP", 17: "UDP"}.get(out["ip_proto"], "ICMP"), "src_bytes": out["frame_length"],
        "land": int(version == 4 and out["ip_proto"] == 6 and out["src_ip"] == out["dst_ip"]
                    and None not in (feature_ports["src_port"], feature_ports["dst_port"])
                    and feature_ports["src_port"] == feature_ports["dst_port"]),
        "wrong_fragment": int(out["fragment"]),
    }
    return out


def rows(linktype: int, records, *, nanosecond: bool = False,
         swapped: bool = False) -> tuple[list[tuple[int, dict]], dict]:
    """The rows of `records` ((sec, frac, wire_len, data) tuples) as (record index, row), each
    feature row with its count, and how many frames were skipped as cut and as not IP."""
    out, chains, skipped = [], {}, {"cut": 0, "not_ip": 0, "unsupported_link": 0}
    for i, (sec, frac, wire, data) in enumerate(records):
        r = row(linktype, data, sec=sec, frac=frac, nanosecond=nanosecond, swapped=swapped, wire_len=wire)
        if r == CUT:
            skipped["cut"] += 1
        elif r is None:
            skipped["not_ip" if linktype in SUPPORTED else "unsupported_link"] += 1
        else:
            f = r["features"]
            key = (r["ip_version"], r["dst_ip"])
            count, last = chains.get(key, (0, None))
            count = count + 1 if last is not None and f["timestamp"] - last <= 2.0 else 1
            chains[key] = (count, f["timestamp"])
            f["count"] = count
            out.append((i, r))
    return out, skipped


def read_classic(path: str) -> tuple[int, bool, bool, list]:
    """(link type, nanosecond, swapped, records) of a classic pcap file of version 2.4, records
    cut to the file's snapshot length as libpcap cuts them; swapped: not in this host's byte order."""
    with open(path, "rb") as fh:
        raw = fh.read()
    magic = raw[:4]
    order = "<" if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    nano = magic in (b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d")
    head = struct.Struct(order + dpkt.pcap.FileHdr.__hdr_fmt__[1:])
    _, major, minor, _, _, snaplen, linktype = head.unpack_from(raw)
    assert (major, minor) == (2, 4)
    snaplen = snaplen if 0 < snaplen <= 262144 else 262144
    rec = struct.Struct(order + dpkt.pcap.PktHdr.__hdr_fmt__[1:])
    records, pos = [], head.size
    while pos + rec.size <= len(raw):
        sec, frac, caplen, wire = rec.unpack_from(raw, pos)
        data = raw[pos + rec.size:pos + rec.size + caplen]
        records.append((sec, frac, wire, data[:snaplen]))
        pos += rec.size + caplen
    return linktype & 0x03FFFFFF, nano, (order == ">") != (sys.byteorder == "big"), records
