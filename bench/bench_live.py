"""Live capture: frames injected on a veth pair in a network namespace of our own, captured by
kavrel.scan_live into the features table, by sniffkit.start_sniff as dicts, and by tcpdump -w /dev/null.

Each consumer gets the same 2 MiB kernel buffer (libpcap's default, the one sniffkit has), so a
run shows what it keeps up with rather than what the buffer hides. Reported: packets per second
captured with the sender flat out, and the highest paced rate each holds without a kernel drop.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

from common import HERE, OUT

PORT, SENTINEL = 7777, 7778
BUFFER = 2 << 20
SECONDS = 2.0  # each paced run, long enough that the buffer cannot hide a slow consumer
FLAT_OUT = 3_000_000
RATES = [25_000, 50_000, 100_000, 200_000, 400_000, 600_000, 800_000, 1_000_000, 1_200_000, 1_400_000]

KAVREL = f"""
import sys, time, pyarrow.compute as pc, kavrel
reader = kavrel.scan_live("kvcap", filter="udp", buffer_bytes={BUFFER}, batch_seconds=0.2)
rows = 0
ready = False
for batch in reader:
    rows += pc.sum(pc.equal(batch["dst_port"], {PORT})).as_py() or 0
    if not ready and pc.any(pc.equal(batch["dst_port"], {SENTINEL} + 1)).as_py():
        print("ready", flush=True)  # the first batch has been through: the consumer is warm
        ready, cpu = True, time.process_time()
    if pc.any(pc.equal(batch["dst_port"], {SENTINEL})).as_py():
        break
s = reader.stats()
reader.close()
print(rows, s["dropped"], time.process_time() - cpu, flush=True)
"""

SNIFFKIT = f"""
import time
from kavrel.core.base import sniffkit
g = sniffkit.start_sniff(b"kvcap")
rows = 0
ready = False
for d in g:
    port = d.get("dst_port")
    if port == {SENTINEL} + 1 and not ready:
        print("ready", flush=True)
        ready, cpu = True, time.process_time()
    elif port == {PORT}:
        rows += 1
    elif port == {SENTINEL}:
        break
g.close()
print(rows, -1, time.process_time() - cpu, flush=True)
"""


class Namespace:
    def __init__(self) -> None:
        self.name = f"kavrel-bench-{uuid.uuid4().hex[:8]}"
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        self.run("sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1", "net.ipv6.conf.default.disable_ipv6=1")
        for command in ("link set lo up", "link add kvcap type veth peer name kvpeer", "link set kvcap up",
                        "link set kvpeer up"):
            subprocess.run(["ip", "-n", self.name, *command.split()], check=True)

    def cmd(self, *args: str) -> list[str]:
        return ["ip", "netns", "exec", self.name, *args]

    def run(self, *args: str) -> str:
        return subprocess.run(self.cmd(*args), check=True, capture_output=True, text=True).stdout

    def close(self) -> None:
        subprocess.run(["ip", "netns", "delete", self.name], check=False)


def sender() -> str:
    os.makedirs(OUT, exist_ok=True)
    exe = os.path.join(OUT, "live_sender")
    src = os.path.join(HERE, "live_sender.cpp")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        subprocess.run(["g++", "-std=c++20", "-O2", src, "-o", exe], check=True)
    return exe


def send(ns: Namespace, exe: str, count: int, rate: float, port: int = PORT) -> tuple[int, float]:
    sent, secs = ns.run(exe, "kvpeer", str(count), str(rate), str(port)).split()
    return int(sent), float(secs)


def trial(ns: Namespace, exe: str, consumer: str, count: int, rate: float) -> tuple[int, int, float, float]:
    """(frames captured, kernel drops or -1 if not known, seconds the sender took, the consumer's
    CPU seconds while it captured)."""
    if consumer == "tcpdump":
        proc = subprocess.Popen(ns.cmd("tcpdump", "-i", "kvcap", "-w", "/dev/null", "-B", str(BUFFER // 1024),
                                       "-Z", "root", "udp"), stderr=subprocess.PIPE, text=True)
        assert "listening on" in proc.stderr.readline()
    else:
        code = KAVREL if consumer == "kavrel" else SNIFFKIT
        proc = subprocess.Popen(ns.cmd(sys.executable, "-c", code), stdout=subprocess.PIPE, text=True)
        while not select_ready(proc):  # knock until a frame has been through
            send(ns, exe, 1, 0, SENTINEL + 1)
        assert proc.stdout.readline().strip() == "ready"
    sent, secs = send(ns, exe, count, rate)
    assert sent == count
    if consumer == "tcpdump":
        time.sleep(1.5)  # past its 1 s read time-out, so the last block is in
        proc.send_signal(signal.SIGINT)
        err = proc.stderr.read()
        _, _, usage = os.wait4(proc.pid, 0)
        proc.returncode = 0
        captured = int(re.search(r"(\d+) packets captured", err).group(1))
        dropped = int(re.search(r"(\d+) packets dropped by kernel", err).group(1))
        return captured, dropped, secs, usage.ru_utime + usage.ru_stime
    while proc.poll() is None:
        send(ns, exe, 64, 0, SENTINEL)
        time.sleep(0.05)
    rows, dropped, cpu = proc.stdout.read().split()
    return int(rows), int(dropped), secs, float(cpu)


def select_ready(proc: subprocess.Popen) -> bool:
    import select

    return bool(select.select([proc.stdout], [], [], 0.05)[0])


def lost(captured: int, dropped: int, sent: int) -> int:
    return max(sent - captured, dropped if dropped > 0 else 0)


def main() -> dict:
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("tcpdump"):
        print("  skipped: needs root, iproute2 and tcpdump")
        return {}
    exe = sender()
    ns = Namespace()
    results: dict = {}
    consumers = ("kavrel", "tcpdump", "sniffkit")
    try:
        print(f"veth pair in a namespace, 60-byte UDP frames to 1,024 destinations, {BUFFER >> 20} MiB buffers")
        print(f"  flat out ({FLAT_OUT:,} frames):")
        sender_pps = 0.0
        for consumer in consumers:
            captured, dropped, secs, cpu = trial(ns, exe, consumer, FLAT_OUT, 0)
            sender_pps = max(sender_pps, FLAT_OUT / secs)
            miss = lost(captured, dropped, FLAT_OUT)
            print(f"    {consumer:<9} sent at {FLAT_OUT / secs:>11,.0f} pkt/s, captured {captured:>9,} "
                  f"({captured / secs:>11,.0f} pkt/s), lost {miss:>9,}; {cpu / captured * 1e6:5.3f} us of CPU "
                  f"a packet ({captured / cpu:>11,.0f} pkt per CPU second)")
            results[f"{consumer}_flat_out_pps"] = captured / secs
            results[f"{consumer}_pkt_per_cpu_s"] = captured / cpu
        print(f"  highest paced rate held without a loss ({SECONDS:.0f} s at each rate):")
        held = {}
        last = max(r for r in RATES if r <= 0.95 * sender_pps)
        for consumer in consumers:
            best = 0
            for rate in RATES:
                count = int(rate * SECONDS)
                captured, dropped, secs, _ = trial(ns, exe, consumer, count, rate)
                if count / secs < 0.95 * rate:
                    break  # past what the sender manages
                if lost(captured, dropped, count):
                    break
                best = rate
            held[consumer] = best
            print(f"    {consumer:<9} {best:>11,} pkt/s" + (" (the most the sender paces)" if best == last else ""))
            results[f"{consumer}_held_pps"] = best
        verdict = "yes" if held["kavrel"] >= held["tcpdump"] else "no"
        print(f"  kavrel holds the rate tcpdump holds without drops: {verdict}")
        results["kavrel_holds_tcpdump_rate"] = verdict == "yes"
    finally:
        ns.close()
    return results


if __name__ == "__main__":
    main()
