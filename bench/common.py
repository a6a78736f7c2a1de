"""Shared pieces of the benchmarks: the capture, the C ceiling, timing."""

from __future__ import annotations

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT = os.path.join(HERE, "out")
sys.path.insert(0, HERE)


PACKETS = 1_000_000


def capture(count: int = PACKETS) -> str:
    # Generated in a child process, so this process stays small: children forked
    # from it for measuring would otherwise start with its pages.
    out = subprocess.run([sys.executable, os.path.join(HERE, "gencap.py"), str(count)], check=True,
                         capture_output=True, text=True)
    return out.stdout.strip()


def include_flags() -> list[str]:
    """The include root the native modules build with."""
    return ["-I", os.path.join(ROOT, "native")]


def native_headers() -> list[str]:
    roots = [os.path.join(ROOT, "native"), os.path.join(ROOT, "src", "kavrel", "core", "base")]
    return [os.path.join(d, f) for r in roots for d, _, fs in os.walk(r) for f in fs if f.endswith(".hpp")]


def c_loop_seconds(path: str, repeat: int = 3) -> tuple[int, int, float]:
    """(frames, decoded, best seconds) of pcap_next_ex + parse_packet in plain C++."""
    os.makedirs(OUT, exist_ok=True)
    exe = os.path.join(OUT, "cloop")
    src = os.path.join(HERE, "cloop.cpp")
    if not os.path.exists(exe) or os.path.getmtime(exe) < max(os.path.getmtime(p) for p in [src, *native_headers()]):
        subprocess.run(["g++", "-std=c++20", "-O2", *include_flags(), src, "-lpcap", "-o", exe], check=True)
    best = None
    for _ in range(repeat):
        frames, decoded, secs = subprocess.run([exe, path], check=True, capture_output=True,
                                               text=True).stdout.split()
        best = float(secs) if best is None else min(best, float(secs))
    return int(frames), int(decoded), best


def timed(fn, *args, repeat: int = 1):
    """(result, best seconds) of fn(*args)."""
    best, result = None, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn(*args)
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    return result, best


def row(name: str, packets: int, seconds: float, ceiling_per_packet: float | None = None) -> str:
    per = seconds / packets
    extra = f"  {per / ceiling_per_packet:6.1f}x C loop" if ceiling_per_packet else ""
    return f"  {name:<34} {packets:>9,} pkts {seconds:8.3f} s {packets / seconds:>12,.0f} pkt/s {per * 1e6:8.3f} us/pkt{extra}"
