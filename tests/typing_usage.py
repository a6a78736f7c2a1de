"""Typical use of the package, type-checked with mypy --strict against the stubs."""

from __future__ import annotations

from kavrel.core.base import idslog, nicpick, sniffkit
from kavrel.core.ver100.metricor import FeatureExtractor


def busiest_port(path: bytes) -> int:
    ports: dict[int, int] = {}
    for packet in sniffkit.read_pcap(path):
        if packet["protocol_type"] == "TCP":
            ports[packet["dst_port"]] = ports.get(packet["dst_port"], 0) + packet.get("urgent", 0) + 1
    return max(ports, key=ports.__getitem__) if ports else 0


def live_counts(limit: int) -> list[int]:
    device = nicpick.get_auto_device()
    if device is None:
        return []
    counts: list[int] = []
    gen = FeatureExtractor().process_live(device)
    try:
        for features in gen:
            counts.append(features["count"])
            if len(counts) >= limit:
                break
    finally:
        gen.close()
    return counts


def total_bytes(path: bytes) -> int:
    return sum(f["src_bytes"] for f in FeatureExtractor().iter_pcap(path)) + len(FeatureExtractor().process_pcap(path))


def device_names() -> list[str]:
    return [d["name"] + d["description"] for d in nicpick.get_all_devices() if d["flags"] & 2]


def internal_sources(lines: list[str], subnet: str) -> list[str]:
    out: list[str] = []
    for line in lines:
        alert = idslog.parse_snort_line(line)
        if alert is not None and idslog.is_internal(alert["src"], subnet) == 1:
            out.append(alert["msg"])
    csv_path: str | None = idslog.process_alerts_to_csv("alert.log", subnet)
    return out + ([csv_path] if csv_path else [])
