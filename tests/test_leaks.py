"""Every public entry called 100,000 times keeps memory and descriptors flat."""

import gc
import os
import sys

import pytest

import pcapgen as pg
from kavrel.core.base import idslog, nicpick, sniffkit
from kavrel.core.ver100.metricor import FeatureExtractor

N = 100_000
# Sanitizer allocators hold freed memory in quarantine, so resident size says nothing there.
SANITIZED = bool(os.environ.get("KAVREL_SANITIZED"))
ALERT = ("01/15-10:23:45.123456  [**] [1:1000001:1] ICMP test [**] [Classification: Misc activity] "
         "[Priority: 3] {TCP} 192.168.1.5:443 -> 10.0.0.2:80")


def rss_kib() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def usage():
    gc.collect()
    return sys.getallocatedblocks(), rss_kib(), len(os.listdir("/proc/self/fd"))


def assert_flat(step, n=N):
    for _ in range(min(n, 2000)):  # warm caches, free lists and interned objects
        step()
    blocks0, rss0, fds0 = usage()
    for _ in range(n):
        step()
    blocks1, rss1, fds1 = usage()
    assert blocks1 - blocks0 < 500, f"{blocks1 - blocks0} blocks more"
    assert SANITIZED or rss1 - rss0 < 4096, f"{rss1 - rss0} KiB more"
    assert fds1 == fds0


@pytest.fixture(scope="module")
def small_pcap(tmp_path_factory):
    path = tmp_path_factory.mktemp("leak") / "small.pcap"
    frames = [pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 6, pg.tcp(1, 2))),
              pg.eth(pg.ipv6("::1", "::2", 17, pg.udp(1, 2)), pg.ETH_IPV6), pg.arp()]
    pg.write_pcap(path, frames)
    return os.fsencode(path)


def generator_steps(make, path):
    def unstarted():
        make(path)

    def closed_mid_way():
        g = make(path)
        next(g)
        g.close()

    def finished():
        for _ in make(path):
            pass

    def failing():
        g = make(b"/nonexistent/file.pcap")
        try:
            next(g)
        except RuntimeError:
            pass

    def thrown():
        g = make(path)
        next(g)
        try:
            g.throw(KeyError)
        except KeyError:
            pass

    return [unstarted, closed_mid_way, finished, failing, thrown]


GEN_CASES = ["unstarted", "closed", "finished", "failing", "thrown"]


@pytest.mark.parametrize("case", range(5), ids=GEN_CASES)
def test_read_pcap(small_pcap, case):
    assert_flat(generator_steps(sniffkit.read_pcap, small_pcap)[case])


@pytest.mark.parametrize("case", range(5), ids=GEN_CASES)
def test_iter_pcap(small_pcap, case):
    fx = FeatureExtractor()
    assert_flat(generator_steps(fx.iter_pcap, small_pcap)[case])


def test_live_generators_unstarted_or_failing():
    fx = FeatureExtractor()

    def unstarted():
        sniffkit.start_sniff(b"lo")
        fx.process_live(b"lo")

    def failing():
        for g in (sniffkit.start_sniff(b"no-such-dev0"), fx.process_live(b"no-such-dev0")):
            try:
                next(g)
            except RuntimeError:
                pass

    assert_flat(unstarted)
    # Each failed open makes and releases a packet socket, which the kernel frees slowly.
    assert_flat(failing, 100)


def test_process_pcap(small_pcap):
    fx = FeatureExtractor()

    def step():
        fx.process_pcap(small_pcap)
        try:
            fx.process_pcap(b"/nonexistent/file.pcap")
        except RuntimeError:
            pass

    assert_flat(step)


def test_idslog_entries(tmp_path):
    log = tmp_path / "alert"
    log.write_text(ALERT + "\nnot an alert\n")
    path = str(log)

    def step():
        idslog.parse_snort_line(ALERT)
        idslog.parse_snort_line("nothing here")
        idslog.is_internal("192.168.1.5", "192.168.1.0/24")
        idslog.is_internal("bad", "10.0.0.0/abc")

    assert_flat(step)
    assert_flat(lambda: idslog.process_alerts_to_csv(path, "10.0.0.0/8"))


def test_get_all_devices():
    assert_flat(nicpick.get_all_devices)
    assert_flat(nicpick.get_auto_device)
