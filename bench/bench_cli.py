"""`kavrel features` end to end: capture to Parquet and to CSV, against the CSV
path from before the dataset engine and against tshark exporting comparable
fields; and the peak memory of a 10,000,000-packet run."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time

from common import HERE, OUT, PACKETS, capture

KAVREL = os.path.join(os.path.dirname(sys.executable), "kavrel")
TSHARK_FIELDS = ["frame.time_epoch", "tcp.srcport", "udp.srcport", "tcp.dstport", "udp.dstport", "ip.proto",
                 "ipv6.nxt", "frame.len", "ip.flags.mf", "ip.frag_offset"]
PARQUET_TARGET = 5.0  # Parquet packets/s over the old CSV path's
BIG = 10 * PACKETS
BIG_RSS_TARGET_MIB = 300


def run_measured(argv: list[str], stdout=None) -> tuple[float, int]:
    """(wall seconds, peak RSS in MiB) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout or subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv[0]} failed: {err}")
    return took, usage.ru_maxrss // 1024


def line(name: str, packets: int, secs: float, rss: int, extra: str = "") -> str:
    return f"  {name:<34} {secs:8.2f} s {packets / secs:>12,.0f} pkt/s  peak RSS {rss:5d} MiB{extra}"


def main() -> dict:
    os.makedirs(OUT, exist_ok=True)
    path = capture(PACKETS)
    print(f"kavrel features end to end on {os.path.basename(path)} ({PACKETS:,} packets)")
    results = {}
    runs = {
        "kavrel features -> Parquet": [KAVREL, "features", path, "-o", os.path.join(OUT, "features-1M.parquet")],
        "kavrel features -> CSV": [KAVREL, "features", path, "-o", os.path.join(OUT, "features-1M.csv")],
        "before the engine: dicts -> CSV": [sys.executable, os.path.join(HERE, "legacy_features_csv.py"), path,
                                            os.path.join(OUT, "features-1M-legacy.csv")],
    }
    for name, argv in runs.items():
        secs, rss = run_measured(argv)
        results[name] = secs
        print(line(name, PACKETS, secs, rss))
    speedup = results["before the engine: dicts -> CSV"] / results["kavrel features -> Parquet"]
    verdict = "ok" if speedup >= PARQUET_TARGET else "BELOW TARGET"
    print(f"  Parquet = {speedup:.1f}x the packets/s of the CSV path before the engine (target >= {PARQUET_TARGET}): "
          f"{verdict}")
    if shutil.which("tshark"):
        argv = ["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=,", "-E", "header=y"]
        for field in TSHARK_FIELDS:
            argv += ["-e", field]
        with open(os.path.join(OUT, "tshark-1M.csv"), "wb") as fh:
            secs, rss = run_measured(argv, stdout=fh)
        results["tshark"] = secs
        print(line("tshark -T fields -> CSV", PACKETS, secs, rss))
        print(f"  kavrel Parquet = {secs / results['kavrel features -> Parquet']:.0f}x tshark's packets/s")
    else:
        print("  tshark not installed: skipped (apt-get install tshark)")
    big = capture(BIG)
    big_out = os.path.join(OUT, "features-10M.parquet")
    secs, rss = run_measured([KAVREL, "features", big, "-o", big_out])
    os.remove(big_out)
    verdict = "ok" if rss < BIG_RSS_TARGET_MIB else "ABOVE TARGET"
    print(line(f"kavrel features, {BIG:,} packets", BIG, secs, rss,
               f" (target < {BIG_RSS_TARGET_MIB} MiB: {verdict})"))
    results.update(parquet_x_legacy=speedup, big_rss_mib=rss)
    return results


if __name__ == "__main__":
    main()
