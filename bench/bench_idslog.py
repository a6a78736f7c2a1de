"""Times idslog.process_alerts_to_csv against the same conversion in plain Python.

Generates a deterministic fast-alert log in a temporary directory, converts it
with both, checks that the two CSV files are byte-identical, and prints the
throughput of each, their ratio and how much the resident set grew while the
native conversion ran.

    .venv/bin/python bench/bench_idslog.py [--lines N]
"""

from __future__ import annotations

import argparse
import csv
import os
import random
import re
import resource
import socket
import sys
import tempfile
import time
from pathlib import Path

try:
    from kavrel.core.base import idslog
except ImportError:  # run from a source tree with the module built in place
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    from kavrel.core.base import idslog

SUBNET = "192.168.1.0/24"
TARGET_RATIO = 1.2
SEED = 20240115

MESSAGES = [
    "ICMP PING NMAP",
    "ET SCAN Suspicious inbound to MSSQL port 1433",
    'SQL injection attempt "union select"',
    "POLICY outbound, possible exfiltration",
    "BAD-TRAFFIC same SRC/DST",
    "Port scan detected",
]
CLASSES = ["Attempted Information Leak", "Misc activity", "Potentially Bad Traffic", "Detection of a Network Scan"]


# ---- input ---------------------------------------------------------------


def _address(rng: random.Random) -> str:
    if rng.random() < 0.4:
        return f"192.168.1.{rng.randrange(256)}"
    return f"{rng.randrange(1, 224)}.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)}"


def _line(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.05:
        return "Jan 15 10:23:45 sensor snort[812]: [1:469:3] ICMP PING NMAP {ICMP} 10.0.0.1 -> 10.0.0.2"
    if kind < 0.07:
        return "   "
    stamp = f"{rng.randrange(1, 13):02d}/{rng.randrange(1, 29):02d}-{rng.randrange(24):02d}:" \
            f"{rng.randrange(60):02d}:{rng.randrange(60):02d}.{rng.randrange(10**6):06d}"
    head = (f"{stamp}  [**] [1:{rng.randrange(1000, 3000000)}:{rng.randrange(1, 9)}] {rng.choice(MESSAGES)} [**] "
            f"[Classification: {rng.choice(CLASSES)}] [Priority: {rng.randrange(1, 4)}]")
    if kind < 0.30:
        return f"{head} {{ICMP}} {_address(rng)} -> {_address(rng)}"
    if kind < 0.35:
        return f"{head} {{TCP}} fe80::{rng.randrange(65536):x}:{rng.randrange(65536)} -> ff02::1:443"
    proto = "TCP" if kind < 0.75 else "UDP"
    return f"{head} {{{proto}}} {_address(rng)}:{rng.randrange(65536)} -> {_address(rng)}:{rng.randrange(1, 1024)}"


def write_log(path: Path, lines: int, seed: int = SEED) -> None:
    rng = random.Random(seed)
    with open(path, "w", encoding="utf-8", newline="\n") as log:
        for start in range(0, lines, 10_000):
            log.write("\n".join(_line(rng) for _ in range(min(10_000, lines - start))))
            log.write("\n")


# ---- the same conversion in plain Python -----------------------------------

_PORT_SUFFIX = re.compile(r"(.*):([0-9]{1,5})", re.DOTALL)


def _subnet(ip_range: str | None) -> tuple[int, int] | None:
    """(network, mask) of the subnet text, or None when no address can be inside."""
    if not ip_range:
        return None
    parts = ip_range.split("/")
    prefix = 32
    if len(parts) > 1:
        try:
            prefix = int(parts[1])
        except ValueError:
            return None
        if not 0 <= prefix < 2**31:
            return None
    try:
        network = int.from_bytes(socket.inet_pton(socket.AF_INET, parts[0]))
    except (OSError, ValueError):
        return None
    mask = 0xFFFFFFFF if prefix >= 32 else (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF
    return network & mask, mask


def python_convert(alert_log_path: str, ip_range: str | None, out_path: str) -> str | None:
    if not os.path.exists(alert_log_path):
        return None
    subnet = _subnet(ip_range)
    pattern = re.compile(idslog.SNORT_PATTERN.pattern)

    def inside(text: str) -> int:
        if subnet is None or not text:
            return 0
        port = _PORT_SUFFIX.fullmatch(text)
        if port and int(port[2]) <= 65535:
            text = port[1]
        try:
            address = int.from_bytes(socket.inet_pton(socket.AF_INET, text))
        except (OSError, ValueError):
            return 0
        return 1 if address & subnet[1] == subnet[0] else 0

    with open(alert_log_path, "r", encoding="utf-8", errors="ignore") as log:
        with open(out_path, "w", newline="", encoding="utf-8") as out:
            writerow = csv.writer(out).writerow
            writerow(["timestamp", "sid", "msg", "classification", "priority", "protocol",
                      "src_ip", "dst_ip", "is_src_internal", "is_dst_internal"])
            for line in log:
                line = line.strip()
                if not line:
                    continue
                match = pattern.search(line)
                if match is None:
                    continue
                a = match.groupdict()
                writerow([a["ts"], a["sid"], a["msg"], a["class"], a["pri"], a["proto"], a["src"], a["dst"],
                          inside(a["src"]), inside(a["dst"])])
    return out_path


# ---- measuring ---------------------------------------------------------------


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for row in status:
                if row.startswith(field + ":"):
                    return int(row.split()[1])
    except OSError:
        pass
    return None


def _reset_peak_rss() -> bool:
    """Lets VmHWM measure from now on (Linux); False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def _timed_native(log_path: str) -> tuple[float, int]:
    """Seconds taken and peak RSS growth (KiB) of one native conversion."""
    reset = _reset_peak_rss()
    before = _status_kib("VmRSS") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    idslog.process_alerts_to_csv(log_path, SUBNET)
    elapsed = time.perf_counter() - start
    peak = _status_kib("VmHWM") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return elapsed, max(0, (peak or 0) - (before or 0))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=1_000_000, help="lines in the generated log")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="bench-idslog-") as tmp:
        log_path = Path(tmp) / "alert.log"
        write_log(log_path, args.lines)
        size_mib = log_path.stat().st_size / 2**20

        native_s, rss_growth_kib = _timed_native(str(log_path))
        start = time.perf_counter()
        python_convert(str(log_path), SUBNET, str(log_path) + ".py.csv")
        python_s = time.perf_counter() - start

        native_csv = (Path(tmp) / "alert.log.csv").read_bytes()
        python_csv = (Path(tmp) / "alert.log.py.csv").read_bytes()
        identical = native_csv == python_csv
        rows = native_csv.count(b"\r\n") - 1

    ratio = python_s / native_s
    print(f"log: {args.lines:,} lines, {size_mib:.1f} MiB, {rows:,} alert rows")
    print(f"native  process_alerts_to_csv: {native_s:7.3f} s  {args.lines / native_s:12,.0f} lines/s")
    print(f"plain Python (re, csv)       : {python_s:7.3f} s  {args.lines / python_s:12,.0f} lines/s")
    print(f"ratio: {ratio:.2f}x (target >= {TARGET_RATIO}x) {'ok' if ratio >= TARGET_RATIO else 'BELOW TARGET'}")
    print(f"peak RSS growth during the native conversion: {rss_growth_kib:,} KiB")
    print(f"outputs byte-identical: {'yes' if identical else 'NO'}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
