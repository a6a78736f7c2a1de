"""Connections on the connection benchmark capture (bench/genconn.py): `kavrel connections` end
to end against NFStream (flows with its statistical features, to pandas) and argus (flow records
to a file); read_connections against read_features; jobs=2 against jobs=1 on the 10,000,000-frame
capture; the traffic features' cost (every column against the connection's own); and the peak
memory of a 10,000,000-frame run, plain and with one connection open from the first frame to the
last."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from common import HERE, OUT, PACKETS, row, timed

KAVREL = os.path.join(os.path.dirname(sys.executable), "kavrel")
BIG = 10 * PACKETS

NFSTREAM_TARGET = 20.0  # kavrel connections' packets/s over NFStream's, at least
ARGUS_TARGET = 1.0  # over argus's
FEATURES_RATIO = 1.5  # read_connections' time over read_features', at most
JOBS_TARGET = 1.7  # jobs=2 over jobs=1, in packets/s
TRAFFIC_RATIO = 1.3  # read_connections with the traffic columns over without, at most
RSS_TARGET_MIB = 500

NFSTREAM = """
import sys
from nfstream import NFStreamer
flows = NFStreamer(source=sys.argv[1], statistical_analysis=True).to_pandas()
print(len(flows), len(flows.columns))
"""


def conn_capture(count: int, long: bool = False) -> tuple[str, dict]:
    """The capture and what the generator says it holds. Generated in a child process, as in
    common.capture, so this process stays small."""
    argv = [sys.executable, os.path.join(HERE, "genconn.py"), str(count)] + (["--long"] if long else [])
    path = subprocess.run(argv, check=True, capture_output=True, text=True).stdout.strip()
    with open(path[:-len(".pcap")] + ".json") as fh:
        return path, json.load(fh)


def verdict(ok: bool, target: str) -> str:
    return f"(target {target}: {'ok' if ok else 'MISSED'})"


def run_measured(argv: list[str], repeat: int = 1, output: str | None = None) -> tuple[float, float, int, str]:
    """(best wall seconds, its CPU seconds, peak RSS in MiB, stdout) of a child process run
    `repeat` times, its `output` file removed before each run (argus appends to one). The CPU
    time counts the child's own children (NFStream's meters) too."""
    best = None
    for _ in range(repeat):
        if output and os.path.exists(output):
            os.remove(output)
        with tempfile.TemporaryFile() as err:  # a file, not a pipe: a chatty child cannot block on it
            start = time.perf_counter()
            proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err)
            out = proc.stdout.read()  # small: a count or nothing
            _, status, usage = os.wait4(proc.pid, 0)
            took = time.perf_counter() - start
            proc.stdout.close()
            proc.returncode = os.waitstatus_to_exitcode(status)
            if proc.returncode != 0:
                err.seek(0)
                raise RuntimeError(f"{argv[0]} failed: {err.read().decode(errors='replace')}")
        result = (took, usage.ru_utime + usage.ru_stime, usage.ru_maxrss // 1024, out.decode())
        best = result if best is None or took < best[0] else best
    return best


def line(name: str, packets: int, run: tuple, extra: str = "") -> str:
    secs, cpu, rss, _ = run
    return (f"  {name:<34} {secs:8.2f} s {packets / secs:>12,.0f} pkt/s  CPU {cpu:7.2f} s  peak RSS {rss:5d} MiB"
            f"{extra}")


def peers(path: str, frames: int, made: dict) -> dict:
    results = {}
    try:
        import nfstream  # noqa: F401
    except ImportError:
        print("  NFStream not installed: skipped (pip install nfstream)")
    else:
        run = run_measured([sys.executable, "-c", NFSTREAM, path])
        flows, columns = map(int, run[3].split())
        results["nfstream_s"] = run[0]
        print(line("NFStream, statistics -> pandas", frames, run, f"  {flows:,} flows of {columns} columns"))
    if shutil.which("argus"):
        out = os.path.join(OUT, "conn-1M.argus")
        # -X: argus's own defaults, not the system's /etc/argus.conf (which adds a second output file).
        run = run_measured(["argus", "-X", "-r", path, "-w", out], repeat=3, output=out)
        results["argus_s"] = run[0]
        print(line("argus -r -w", frames, run, f"  {os.path.getsize(out) / 1e6:,.1f} MB of records"))
        os.remove(out)
    else:
        print("  argus not installed: skipped (apt-get install argus-server)")
    print(f"  (the generator made {made['connections']['total']:,} connections)")
    return results


def connections_module():
    """kavrel, once it has read_connections; else None."""
    try:
        import kavrel
    except ImportError:
        return None
    return kavrel if hasattr(kavrel, "read_connections") else None


def end_to_end(path: str, frames: int, made: dict, results: dict) -> None:
    out = os.path.join(OUT, "conn-1M.parquet")
    run = run_measured([KAVREL, "connections", path, "-o", out], repeat=3, output=out)
    secs = run[0]
    import pyarrow.parquet as pq

    rows = pq.ParquetFile(out).metadata.num_rows
    same = "same as" if rows == made["connections"]["total"] else "DIFFERENT from"
    results["kavrel_s"] = secs
    print(line("kavrel connections -> Parquet", frames, run, f"  {rows:,} connections ({same} the generator's)"))
    for peer, target in (("nfstream_s", NFSTREAM_TARGET), ("argus_s", ARGUS_TARGET)):
        if peer in results:
            speedup = results[peer] / secs
            name = peer[:-2].replace("nfstream", "NFStream")
            print(f"  kavrel = {speedup:.1f}x {name}'s packets/s {verdict(speedup >= target, f'>= {target}x')}")
            results[f"x_{peer[:-2]}"] = speedup


def against_features(kavrel, path: str, frames: int, results: dict) -> None:
    _, feat_s = timed(kavrel.read_features, path, repeat=3)
    _, conn_s = timed(kavrel.read_connections, path, repeat=3)
    ratio = conn_s / feat_s
    print(row("read_features", frames, feat_s))
    print(row("read_connections", frames, conn_s) + f"  {ratio:.2f}x read_features' time "
          f"{verdict(ratio <= FEATURES_RATIO, f'<= {FEATURES_RATIO}x')}")
    results["features_ratio"] = ratio


def traffic_cost(kavrel, path: str, frames: int, results: dict) -> None:
    """Every column against the connection's own 25: what KDD'99's traffic windows cost."""
    own = list(kavrel.CONNECTION_COLUMNS[:kavrel.CONNECTION_COLUMNS.index("urgent") + 1])
    _, own_s = timed(lambda: kavrel.read_connections(path, columns=own), repeat=3)
    _, all_s = timed(kavrel.read_connections, path, repeat=3)
    ratio = all_s / own_s
    print(row("read_connections, own columns", frames, own_s))
    print(row("read_connections, + traffic columns", frames, all_s) + f"  {ratio:.2f}x "
          f"{verdict(ratio <= TRAFFIC_RATIO, f'<= {TRAFFIC_RATIO}x')}")
    results["traffic_ratio"] = ratio


def scale_out(kavrel, path: str, frames: int, results: dict) -> None:
    """jobs=2 against jobs=1 on one large file: split into byte ranges, every connection put back
    together across them (the result must be the same table)."""
    table, conn_s = timed(kavrel.read_connections, path, repeat=2)
    print(row(f"read_connections {frames // 1_000_000}M, jobs=1", frames, conn_s))
    import kavrel.parallel

    kavrel.parallel.shutdown()
    start = time.perf_counter()
    cold = kavrel.read_connections(path, jobs=2)
    cold_s = time.perf_counter() - start
    assert cold.equals(table), "jobs=2 connections differ from jobs=1"
    del cold
    got, two_s = timed(lambda: kavrel.read_connections(path, jobs=2), repeat=2)
    assert got.equals(table), "jobs=2 connections differ from jobs=1"
    speedup = conn_s / two_s
    print(row("  jobs=2, workers warm", frames, two_s) + f"  {speedup:.2f}x jobs=1 "
          f"{verdict(speedup >= JOBS_TARGET, f'>= {JOBS_TARGET}x')}")
    print(row("  jobs=2, workers started", frames, cold_s) + f"  {conn_s / cold_s:.2f}x jobs=1")
    results["jobs_speedup"] = speedup


def peak_memory(results: dict) -> None:
    for long in (False, True):
        big, made = conn_capture(BIG, long)
        out = os.path.join(OUT, "conn-10M.parquet")
        run = run_measured([KAVREL, "connections", big, "-o", out])
        os.remove(out)
        rss = run[2]
        name = f"kavrel connections, {BIG // 1_000_000}M{' + long one' if long else ''}"
        print(line(name, made["frames"], run, f"  {verdict(rss < RSS_TARGET_MIB, f'< {RSS_TARGET_MIB} MiB')}"))
        results["rss_long_mib" if long else "rss_mib"] = rss


def main() -> dict:
    os.makedirs(OUT, exist_ok=True)
    path, made = conn_capture(PACKETS)
    frames = made["frames"]
    print(f"connections of {os.path.basename(path)} ({frames:,} frames, {made['connections']['total']:,} connections "
          f"over {made['host_pairs']:,} host pairs)")
    results = peers(path, frames, made)
    kavrel = connections_module()
    if kavrel is None:
        raise SystemExit("kavrel is not installed in this interpreter")
    end_to_end(path, frames, made, results)
    against_features(kavrel, path, frames, results)
    traffic_cost(kavrel, path, frames, results)
    big, big_made = conn_capture(BIG)
    scale_out(kavrel, big, big_made["frames"], results)
    peak_memory(results)
    return results


if __name__ == "__main__":
    main()
