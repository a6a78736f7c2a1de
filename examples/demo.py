"""Reads the bundled loopback capture with sniffkit and prints a short summary."""

from __future__ import annotations

import collections
import os
import sys

from kavrel.core.base import sniffkit

HERE = os.path.dirname(os.path.abspath(__file__))


def main(path: str) -> None:
    packets = list(sniffkit.read_pcap(os.fsencode(path)))
    print(f"{path}: {len(packets)} decoded packets")
    kinds = collections.Counter((p["version"], p["protocol_type"]) for p in packets)
    for (version, proto), n in sorted(kinds.items()):
        print(f"  {version:<5} {proto:<7} {n:>4}")
    flows = collections.Counter((p["src_ip"], p["dst_ip"], p["dst_port"]) for p in packets)
    print("busiest destinations:")
    for (src, dst, port), n in flows.most_common(3):
        print(f"  {src} -> {dst} port {port}: {n} packets")
    print("first packet:")
    for key, value in packets[0].items():
        print(f"  {key:<15} {value!r}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample-lo.pcap"))
