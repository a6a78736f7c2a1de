"""FeatureExtractor.process_pcap against the C ceiling and plain Python over dpkt.

On the deterministic 1,000,000-packet capture: the C loop (pcap_next_ex plus
the decoder), process_pcap warm (best of 3) and cold (one run in a fresh
process, which also gives the peak resident memory of a whole 1M run), and the
same features computed in plain Python with dpkt on the first 200,000 packets.
"""

from __future__ import annotations

import itertools
import os
import resource
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import dpkt  # noqa: E402
import gencap  # noqa: E402
from common import c_loop_seconds  # noqa: E402

from kavrel.core.ver100.metricor import FeatureExtractor  # noqa: E402

PACKETS = 1_000_000
DPKT_SLICE = 200_000
WARM_RUNS = 3
C_RATIO_TARGET = 6.5  # process_pcap time per frame, at most this many C loops
DPKT_SPEEDUP_TARGET = 12.0  # process_pcap packets per second over the dpkt version

# Runs in a fresh interpreter: one cold process_pcap over the whole file.
COLD_RUN = """
import sys, time
from kavrel.core.ver100.metricor import FeatureExtractor
start = time.perf_counter()
feats = FeatureExtractor().process_pcap(sys.argv[1].encode())
print(len(feats), time.perf_counter() - start)
"""


def pcap_records(path):
    """(wire length, timestamp, frame bytes) of each record; dpkt's Reader hides the wire length."""
    with open(path, "rb") as fh:
        fh.read(dpkt.pcap.FileHdr.__hdr_len__)
        while raw := fh.read(dpkt.pcap.LEPktHdr.__hdr_len__):
            hdr = dpkt.pcap.LEPktHdr(raw)
            yield hdr.len, hdr.tv_usec / 1e6 + hdr.tv_sec, fh.read(hdr.caplen)


def transport_ports(l4):
    if isinstance(l4, (dpkt.tcp.TCP, dpkt.udp.UDP)):
        return l4.sport, l4.dport
    # dpkt leaves cut or non-first-fragment transport headers as bytes
    return struct.unpack_from("!HH", l4) if len(l4) >= 4 else (0, 0)


def dpkt_features(path, limit):
    """The feature dictionaries, computed in Python with dpkt doing the decoding."""
    last, out = {}, []
    for wire_len, now, buf in itertools.islice(pcap_records(path), limit):
        ether_type = buf[12:14]  # untagged Ethernet II only, as the native decoder reads it
        if ether_type == b"\x08\x00" and len(buf) >= 34:
            ip = dpkt.ip.IP(buf[14:])
            proto, key = ip.p, (4, ip.dst)
            wrong_fragment = 1 if ip.mf or ip.offset else 0
        elif ether_type == b"\x86\xdd" and len(buf) >= 54:
            ip = dpkt.ip6.IP6(buf[14:])
            proto, key = ip.nxt, (6, ip.dst)  # the fixed header's Next Header
            wrong_fragment = 0
        else:
            continue
        sport, dport = transport_ports(ip.data) if proto in (6, 17) else (0, 0)
        land = 1 if key[0] == 4 and proto == 6 and ip.src == ip.dst and sport == dport else 0
        count, seen = last.get(key, (0, now))
        count = count + 1 if now - seen <= 2.0 else 1
        last[key] = (count, now)
        out.append({"timestamp": now, "src_port": sport, "dst_port": dport,
                    "protocol_type": "TCP" if proto == 6 else "UDP" if proto == 17 else "ICMP",
                    "src_bytes": wire_len, "land": land, "wrong_fragment": wrong_fragment, "count": count})
    return out


def main():
    path = gencap.capture_path(PACKETS)

    # First child, so that RUSAGE_CHILDREN's maximum is this run's and not the compiler's.
    cold = subprocess.run([sys.executable, "-c", COLD_RUN, path, os.path.join(ROOT, "src")],
                          check=True, capture_output=True, text=True).stdout.split()
    peak_mib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    cold_seconds = float(cold[1])

    frames, _, c_seconds = c_loop_seconds(path)

    extractor = FeatureExtractor()
    warm_seconds, feats = float("inf"), None
    for _ in range(WARM_RUNS):
        feats = None  # the previous list is freed before the next run
        start = time.perf_counter()
        feats = extractor.process_pcap(path.encode())
        warm_seconds = min(warm_seconds, time.perf_counter() - start)

    start = time.perf_counter()
    slow = dpkt_features(path, DPKT_SLICE)
    py_seconds = time.perf_counter() - start
    agree = slow == feats[: len(slow)]

    def ns(seconds, n):
        return seconds / n * 1e9

    c_ns, warm_ns, cold_ns = ns(c_seconds, frames), ns(warm_seconds, frames), ns(cold_seconds, frames)
    py_ns = ns(py_seconds, DPKT_SLICE)
    print(f"metricor: {os.path.basename(path)}, {frames:,} frames, {len(feats):,} feature dicts")
    print(f"{'':34}{'ns/frame':>10}{'frames/s':>12}{'vs C':>8}")
    rows = [("C loop (pcap_next_ex + decode)", c_ns), ("process_pcap, warm (best of 3)", warm_ns),
            ("process_pcap, cold (fresh process)", cold_ns), (f"Python + dpkt ({DPKT_SLICE:,} frames)", py_ns)]
    for name, value in rows:
        print(f"{name:34}{value:10.0f}{1e9 / value:12,.0f}{value / c_ns:7.1f}x")
    print(f"process_pcap / C loop: {warm_ns / c_ns:.2f}x warm, {cold_ns / c_ns:.2f}x cold "
          f"(target <= {C_RATIO_TARGET}x)")
    print(f"process_pcap speed-up over Python + dpkt: {py_ns / warm_ns:.1f}x warm, {py_ns / cold_ns:.1f}x cold "
          f"(target >= {DPKT_SPEEDUP_TARGET}x); same features: {'yes' if agree else 'NO'}")
    print(f"peak resident memory, one 1M process_pcap run: {peak_mib:,.0f} MiB")


if __name__ == "__main__":
    main()
