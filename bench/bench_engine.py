"""The dataset engine in process: read_features and read_packets (every column)
against the C loop of pcap_next_ex + parse_packet, with kavrel's own reader
and with libpcap's, on the same 1,000,000-packet capture."""

from __future__ import annotations

import os

from common import PACKETS, c_loop_seconds, capture, row, timed

import kavrel
from kavrel.dataset import Scan

FEATURES_TARGET = 2.0  # time per frame, at most this many C loops
PACKETS_TARGET = 3.5


def table(path: str, kind: str, reader: str):
    columns = [] if kind == "features" else list(kavrel.PACKET_COLUMNS)
    return Scan(path, kind, columns, 65536, reader).reader().read_all()


def main() -> dict:
    path = capture(PACKETS)
    frames, decoded, c_secs = c_loop_seconds(path)
    c_per = c_secs / frames
    print(f"dataset engine on {os.path.basename(path)} ({frames:,} frames)")
    print(row("C loop (pcap_next_ex + parse_packet)", frames, c_secs))
    results = {"c_us": c_per * 1e6}
    for kind, target in (("features", FEATURES_TARGET), ("packets", PACKETS_TARGET)):
        for reader, label in (("auto", "kavrel's reader"), ("libpcap", "libpcap")):
            tab, secs = timed(table, path, kind, reader, repeat=3)
            ratio = secs / frames / c_per
            verdict = "ok" if ratio <= target else "ABOVE TARGET"
            print(row(f"read_{kind}, {label}", frames, secs, c_per) + f"  (target <= {target}x: {verdict})")
            results[f"{kind}_{reader}_x_c_loop"] = ratio
        print(f"  {tab.num_rows:,} rows, {tab.nbytes / 2**20:,.0f} MiB in Arrow")
    return results


if __name__ == "__main__":
    main()
