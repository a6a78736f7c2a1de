"""Alert tables and labels: read_alerts on a 1,000,000-line log, and
read_features of the 1,000,000-packet capture labelled by 100,000 alerts
raised for its packets, against read_features alone."""

from __future__ import annotations

import datetime as dt
import os

from common import OUT, PACKETS, capture, timed

import kavrel
from bench_idslog import write_log

LINES = 1_000_000
ALERTS = 100_000
LINES_TARGET = 1_000_000  # lines/s at least
LABEL_TARGET = 1.3  # labelled run at most this many times read_features alone


def alerts_for(path: str, out: str) -> None:
    """A fast-alert log of ALERTS alerts on packets of `path`, in UTC, as Snort writes them."""
    table = kavrel.read_packets(path, columns=["timestamp", "ip_proto", "src_ip", "dst_ip", "src_port", "dst_port"])
    step = max(1, table.num_rows // ALERTS)
    names = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "IPV6-ICMP"}
    with open(out, "w") as fh:
        for row in table.slice(0, step * ALERTS).to_pylist()[::step]:
            proto = names.get(row["ip_proto"], f"PROTO:{row['ip_proto']}")
            ports = row["src_port"] is not None and proto in ("TCP", "UDP")
            src = f"{row['src_ip']}:{row['src_port']}" if ports else row["src_ip"]
            dst = f"{row['dst_ip']}:{row['dst_port']}" if ports else row["dst_ip"]
            stamp = row["timestamp"].astimezone(dt.timezone.utc).strftime("%m/%d/%y-%H:%M:%S.%f")
            fh.write(f"{stamp}  [**] [1:2000001:1] bench alert [**] [Classification: Misc activity] "
                     f"[Priority: 2] {{{proto}}} {src} -> {dst}\n")


def main() -> dict:
    os.makedirs(OUT, exist_ok=True)
    log = os.path.join(OUT, "alerts-1M.log")
    if not os.path.exists(log):
        from pathlib import Path

        write_log(Path(log), LINES)
    table, secs = timed(kavrel.read_alerts, log, repeat=3)
    rate = LINES / secs
    print(f"read_alerts on {LINES:,} lines ({table.num_rows:,} alerts): {secs:.3f} s, {rate:,.0f} lines/s "
          f"(target >= {LINES_TARGET:,}: {'ok' if rate >= LINES_TARGET else 'BELOW TARGET'})")

    path = capture(PACKETS)
    labels = os.path.join(OUT, "alerts-100k.log")
    if not os.path.exists(labels):
        alerts_for(path, labels)
    plain, plain_secs = timed(kavrel.read_features, path, repeat=3)
    labelled, label_secs = timed(lambda: kavrel.read_features(path, alerts=labels, alerts_tz="UTC"), repeat=3)
    ratio = label_secs / plain_secs
    hits = sum(1 for c in labelled.column("alert_count").to_pylist() if c)
    print(f"read_features, {PACKETS:,} packets: {plain_secs:.3f} s alone, {label_secs:.3f} s labelled by "
          f"{ALERTS:,} alerts ({hits:,} packets labelled) = {ratio:.2f}x "
          f"(target <= {LABEL_TARGET}: {'ok' if ratio <= LABEL_TARGET else 'ABOVE TARGET'})")
    return {"read_alerts_lines_s": rate, "label_x": ratio}


if __name__ == "__main__":
    main()
