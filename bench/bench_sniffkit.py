"""read_pcap against the C ceiling, dpkt and scapy on the same 1,000,000-packet capture."""

from __future__ import annotations

import os
import socket
import time

import dpkt

from common import PACKETS, c_loop_seconds, capture, row, timed
from kavrel.core.base import sniffkit

SCAPY_SLICE = 20_000


def run_read_pcap(path: str) -> int:
    n = 0
    for _ in sniffkit.read_pcap(os.fsencode(path)):
        n += 1
    return n


def _mac(b: bytes) -> str:
    return ":".join(f"{x:02x}" for x in b)


def _dict(ts, wire_len, eth, ip, v4: bool) -> dict:
    """The packet dictionary built from already-decoded layers, as a Python program would."""
    sec = int(ts)
    d = {"success": True, "timestamp": ts, "date_time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(sec)),
         "frame_length": wire_len, "src_mac": _mac(eth.src), "dst_mac": _mac(eth.dst)}
    proto = ip.p if v4 else ip.nxt
    l4 = ip.data
    d.update(ip_proto=proto, ip_id=ip.id if v4 else ip.flow, wrong_fragment=int(v4 and bool(ip.mf or ip.offset)),
             land=0, src_port=getattr(l4, "sport", 0) if proto in (6, 17) else 0,
             dst_port=getattr(l4, "dport", 0) if proto in (6, 17) else 0)
    if v4:
        d.update(version="IPv4", src_ip=socket.inet_ntoa(ip.src), dst_ip=socket.inet_ntoa(ip.dst))
    else:
        d.update(version="IPv6", src_ip=socket.inet_ntop(socket.AF_INET6, ip.src),
                 dst_ip=socket.inet_ntop(socket.AF_INET6, ip.dst))
    if proto == 6 and hasattr(l4, "flags"):
        d.update(protocol_type="TCP", tcp_flag=l4.flags, tcp_seq=l4.seq, tcp_ack=l4.ack, urgent=(l4.flags >> 5) & 1)
    elif proto == 17 and hasattr(l4, "ulen"):
        d.update(protocol_type="UDP", udp_length=l4.ulen)
    elif proto in (1, 58) and hasattr(l4, "type"):
        d.update(protocol_type="ICMP", icmp_type=l4.type, icmp_code=l4.code)
    else:
        d.update(protocol_type="Others")
    return d


def run_dpkt(path: str) -> int:
    n = 0
    with open(path, "rb") as fh:
        for ts, buf in dpkt.pcap.Reader(fh):
            try:
                eth = dpkt.ethernet.Ethernet(buf)
            except dpkt.UnpackError:
                continue
            ip = eth.data
            if isinstance(ip, dpkt.ip.IP):
                _dict(ts, len(buf), eth, ip, True)
            elif isinstance(ip, dpkt.ip6.IP6):
                _dict(ts, len(buf), eth, ip, False)
            else:
                continue
            n += 1
    return n


def run_scapy(path: str, limit: int) -> int:
    from scapy.layers.inet import IP
    from scapy.layers.inet6 import IPv6
    from scapy.layers.l2 import Ether
    from scapy.utils import RawPcapReader

    n = 0
    with RawPcapReader(path) as reader:
        for i, (buf, meta) in enumerate(reader):
            if i >= limit:
                break
            eth = Ether(buf)
            ip = eth.getlayer(IP) or eth.getlayer(IPv6)
            if ip is None:
                continue
            l4 = ip.payload
            d = {"success": True, "timestamp": meta.sec + meta.usec / 1e6,
                 "date_time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(meta.sec)),
                 "frame_length": meta.wirelen, "src_mac": eth.src, "dst_mac": eth.dst,
                 "src_ip": ip.src, "dst_ip": ip.dst, "src_port": getattr(l4, "sport", 0),
                 "dst_port": getattr(l4, "dport", 0)}
            d["protocol_type"] = l4.name
            n += 1
    return n


def main() -> dict:
    path = capture(PACKETS)
    frames, decoded, c_secs = c_loop_seconds(path)
    c_per = c_secs / frames
    native, native_secs = timed(run_read_pcap, path, repeat=2)
    assert native == decoded
    via_dpkt, dpkt_secs = timed(run_dpkt, path)
    via_scapy, scapy_secs = timed(run_scapy, path, SCAPY_SLICE)
    print(f"sniffkit.read_pcap on {os.path.basename(path)} ({frames:,} frames, {decoded:,} decoded)")
    print(row("C loop (pcap_next_ex + parse_packet)", frames, c_secs))
    print(row("read_pcap, every dict", frames, native_secs, c_per))
    print(row("dpkt, same dicts in Python", frames, dpkt_secs, c_per))
    print(row(f"scapy, first {SCAPY_SLICE:,} frames", SCAPY_SLICE, scapy_secs, c_per))
    ratio_c = (native_secs / frames) / c_per
    ratio_dpkt = (frames / native_secs) / (frames / dpkt_secs)
    ratio_scapy = (frames / native_secs) / (SCAPY_SLICE / scapy_secs)
    print(f"  read_pcap per packet = {ratio_c:.1f}x the C loop (target <= 22); "
          f"{ratio_dpkt:.1f}x dpkt's packets/s (target >= 4); {ratio_scapy:.0f}x scapy's")
    return {"c_us": c_per * 1e6, "read_pcap_us": native_secs / frames * 1e6, "x_c_loop": ratio_c,
            "x_dpkt": ratio_dpkt, "x_scapy": ratio_scapy, "dpkt_decoded": via_dpkt, "scapy_decoded": via_scapy}


if __name__ == "__main__":
    main()
