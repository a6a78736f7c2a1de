"""An independent reference for the packet dictionaries.

Record metadata comes from scapy's raw pcap reader; header layouts come from
dpkt's header definitions. Frames are decoded at fixed offsets (IHL honoured,
IPv6 extension headers not followed), and a field that the capture cut short
reads as 0, as the native decoder does.
"""

from __future__ import annotations

import socket
import struct
import time

import dpkt
from scapy.utils import RawPcapReader

_LAYOUTS = {
    cls: (struct.Struct(cls.__hdr_fmt__), cls.__hdr_fields__)
    for cls in (dpkt.ethernet.Ethernet, dpkt.ip.IP, dpkt.ip6.IP6, dpkt.tcp.TCP, dpkt.udp.UDP, dpkt.icmp.ICMP)
}


def _fields(cls, data: bytes, offset: int) -> dict:
    """Header fields of `cls` at `offset`; each field whose bytes are not all captured is 0."""
    layout, names = _LAYOUTS[cls]
    padded = data + bytes(max(0, offset + layout.size - len(data)))
    values = layout.unpack_from(padded, offset)
    out = {}
    pos = offset
    for name, code, value in zip(names, _codes(layout.format), values):
        size = struct.calcsize(">" + code)
        out[name] = value if pos + size <= len(data) else (0 if isinstance(value, int) else None)
        pos += size
    return out


def _codes(fmt: str) -> list[str]:
    codes, count = [], ""
    for ch in fmt.lstrip("<>!=@"):
        if ch.isdigit():
            count += ch
        else:
            codes.append(count + ch)
            count = ""
    return codes


def _mac(b: bytes) -> str:
    return ":".join(f"{x:02x}" for x in b)


def _s32(v: int) -> int:
    return v - (1 << 32) if v & 0x80000000 else v


def expected_dict(sec: int, usec: int, wire_len: int, data: bytes) -> dict | None:
    """The packet dictionary for one record, or None when the frame is skipped."""
    eth = _fields(dpkt.ethernet.Ethernet, data, 0)
    if len(data) < 14 or eth["type"] not in (0x0800, 0x86DD):
        return None
    v4 = eth["type"] == 0x0800
    if len(data) < (34 if v4 else 54):
        return None
    ts_sec = _s32(sec & 0xFFFFFFFF)
    d = {
        "success": True,
        "timestamp": _s32(usec & 0xFFFFFFFF) / 1_000_000.0 + ts_sec,
        "date_time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts_sec)),
        "frame_length": wire_len,
        "src_mac": _mac(data[6:12]),
        "dst_mac": _mac(data[0:6]),
    }
    if v4:
        ip = _fields(dpkt.ip.IP, data, 14)
        proto, ip_id = ip["p"], ip["id"]
        wrong = int(bool(ip["_flags_offset"] & 0x2000) or bool(ip["_flags_offset"] & 0x1FFF))
        l4 = 14 + 4 * (ip["_v_hl"] & 0x0F)
        tail = {"version": "IPv4", "src_ip": socket.inet_ntoa(ip["src"]), "dst_ip": socket.inet_ntoa(ip["dst"])}
    else:
        ip = _fields(dpkt.ip6.IP6, data, 14)
        proto, ip_id, wrong, l4 = ip["nxt"], ip["_v_fc_flow"] & 0xFFFFF, 0, 54
        tail = {
            "version": "IPv6",
            "src_ip": socket.inet_ntop(socket.AF_INET6, ip["src"]),
            "dst_ip": socket.inet_ntop(socket.AF_INET6, ip["dst"]),
        }
    sport = dport = land = 0
    extra: dict = {}
    if proto == 6:
        tcp = _fields(dpkt.tcp.TCP, data, l4)
        sport, dport = tcp["sport"], tcp["dport"]
        flags = data[l4 + 13] if l4 + 13 < len(data) else 0
        ports_captured = l4 + 4 <= len(data)
        land = int(v4 and ports_captured and ip["src"] == ip["dst"] and sport == dport)
        extra = {"protocol_type": "TCP", "tcp_flag": flags, "tcp_seq": tcp["seq"], "tcp_ack": tcp["ack"],
                 "urgent": (flags >> 5) & 1}
    elif proto == 17:
        udp = _fields(dpkt.udp.UDP, data, l4)
        sport, dport = udp["sport"], udp["dport"]
        extra = {"protocol_type": "UDP", "udp_length": udp["ulen"]}
    elif proto in (1, 58):
        icmp = _fields(dpkt.icmp.ICMP, data, l4)
        extra = {"protocol_type": "ICMP", "icmp_type": icmp["type"], "icmp_code": icmp["code"]}
    else:
        extra = {"protocol_type": "Others"}
    d.update(ip_proto=proto, ip_id=ip_id, wrong_fragment=wrong, land=land, src_port=sport, dst_port=dport)
    d.update(tail)
    d.update(extra)
    return d


def expected_dicts(path: str) -> list[dict]:
    """Reference dictionaries for a classic pcap file, in file order."""
    out = []
    with RawPcapReader(path) as reader:
        snaplen = reader.snaplen
        for data, meta in reader:
            if snaplen and len(data) > snaplen:  # libpcap trims records longer than the file's snapshot
                data = data[:snaplen]
            d = expected_dict(meta.sec, meta.usec, meta.wirelen, data)
            if d is not None:
                out.append(d)
    return out
