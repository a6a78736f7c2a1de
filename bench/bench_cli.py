"""`kavrel features` end to end (capture to CSV) against tshark exporting comparable fields."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time

from common import OUT, PACKETS, capture

KAVREL = os.path.join(os.path.dirname(sys.executable), "kavrel")
TSHARK_FIELDS = ["frame.time_epoch", "tcp.srcport", "udp.srcport", "tcp.dstport", "udp.dstport", "ip.proto",
                 "ipv6.nxt", "frame.len", "ip.flags.mf", "ip.frag_offset"]


def run_measured(argv: list[str], stdout=None) -> tuple[float, int]:
    """(wall seconds, peak RSS in MiB) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout or subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed: {err}")
    return took, usage.ru_maxrss // 1024


def count_rows(path: str) -> int:
    with open(path, "rb") as fh:
        return sum(1 for _ in fh) - 1


def main() -> dict:
    os.makedirs(OUT, exist_ok=True)
    results = {}
    path = capture(PACKETS)
    out_csv = os.path.join(OUT, "features-1M.csv")
    k_secs, k_rss = run_measured([KAVREL, "features", path, "-o", out_csv])
    rows = count_rows(out_csv)
    print(f"kavrel features vs tshark on {os.path.basename(path)} ({PACKETS:,} packets, {rows:,} rows)")
    print(f"  kavrel features -> CSV   {k_secs:8.2f} s {PACKETS / k_secs:>12,.0f} pkt/s  peak RSS {k_rss:5d} MiB")
    results.update(kavrel_s=k_secs, kavrel_pps=PACKETS / k_secs, kavrel_rss_mib=k_rss)
    if shutil.which("tshark"):
        t_csv = os.path.join(OUT, "tshark-1M.csv")
        argv = ["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=,", "-E", "header=y"]
        for field in TSHARK_FIELDS:
            argv += ["-e", field]
        with open(t_csv, "wb") as fh:
            t_secs, t_rss = run_measured(argv, stdout=fh)
        print(f"  tshark -T fields -> CSV  {t_secs:8.2f} s {PACKETS / t_secs:>12,.0f} pkt/s  peak RSS {t_rss:5d} MiB")
        print(f"  kavrel = {t_secs / k_secs:.1f}x tshark's packets/s (target >= 10)")
        results.update(tshark_s=t_secs, x_tshark=t_secs / k_secs)
    else:
        print("  tshark not installed: skipped (apt-get install tshark)")
    big = capture(5 * PACKETS)
    big_csv = os.path.join(OUT, "features-5M.csv")
    b_secs, b_rss = run_measured([KAVREL, "features", big, "-o", big_csv])
    print(f"  kavrel features, {5 * PACKETS:,} packets {b_secs:7.2f} s {5 * PACKETS / b_secs:>12,.0f} pkt/s  "
          f"peak RSS {b_rss:5d} MiB (target < 100 MiB at any size)")
    os.remove(big_csv)
    results.update(kavrel_5m_s=b_secs, kavrel_5m_rss_mib=b_rss)
    return results


if __name__ == "__main__":
    main()
