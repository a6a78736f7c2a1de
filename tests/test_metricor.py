import copy
import gc
import itertools
import os
import pickle
import re
import socket
import subprocess
import sys
import threading
import time
import warnings
import weakref

import pytest

import pcapgen as pg
from conftest import open_fds
from kavrel.core.base import sniffkit
from kavrel.columns import FEATURE_DICT_KEYS
from kavrel.core.ver100.metricor import FeatureExtractor

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
import gencap  # noqa: E402

KEYS = ["timestamp", "src_port", "dst_port", "protocol_type", "src_bytes", "land", "wrong_fragment", "count"]
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="live capture needs root")


def packet(dst="10.0.0.2", t=0.0, proto=17, src="10.0.0.1"):
    """A packet to `dst` (IPv6 when it has a colon) stamped `t` seconds."""
    body = {6: pg.tcp(1000, 80), 17: pg.udp(1000, 53)}.get(proto, pg.icmp(8))
    if ":" in dst:
        frame = pg.eth(pg.ipv6(src if ":" in src else "2001:db8::1", dst, proto, body), pg.ETH_IPV6)
    else:
        frame = pg.eth(pg.ipv4(src, dst, proto, body))
    return pg.Record(frame, ts_sec=int(t), ts_usec=round(t % 1 * 1e6))


def extract(tmp_path, records, fe=None):
    path = pg.write_pcap(tmp_path / "run.pcap", records)
    return (fe or FeatureExtractor()).process_pcap(path.encode())


def counts(feats):
    return [f["count"] for f in feats]


# ---- the connection counter ------------------------------------------------

@pytest.mark.parametrize("stamps, expected", [
    ([0.0, 1.0, 2.5, 4.5, 6.6], [1, 2, 3, 4, 1]),  # gaps 1.0, 1.5, exactly 2.0, then 2.1
    ([0.0, 10.0], [1, 1]),
    ([10.0, 9.0, 11.5], [1, 2, 1]),  # an earlier stamp continues the chain and becomes the reference
    ([100.0, 0.0, 1.0, 3.0], [1, 2, 3, 4]),
])
def test_count_chain(tmp_path, stamps, expected):
    feats = extract(tmp_path, [packet(t=t) for t in stamps])
    assert counts(feats) == expected
    assert [f["timestamp"] for f in feats] == [int(t) + round(t % 1 * 1e6) / 1e6 for t in stamps]


@pytest.mark.parametrize("dsts, expected", [
    (["10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3", "10.0.0.2"], [1, 1, 2, 2, 3]),
    (["2001:db8::2", "2001:db8::3", "2001:db8::2"], [1, 1, 2]),
    # IPv4 and IPv6 destinations never share an entry, however alike their bytes
    (["10.0.0.2", "::ffff:10.0.0.2", "a00:2::", "::a00:2", "10.0.0.2", "::ffff:10.0.0.2"], [1, 1, 1, 1, 2, 2]),
    (["2001:db8::2", "0.0.0.0", "10.0.0.9", "2001:db8::3"], [1, 1, 1, 1]),
])
def test_count_per_destination(tmp_path, dsts, expected):
    # packets, not connections: sources and protocols vary, only the destination matters
    recs = [packet(d, t=i / 10, proto=(6, 17, 1)[i % 3], src=f"10.1.1.{i}") for i, d in enumerate(dsts)]
    assert counts(extract(tmp_path, recs)) == expected


def test_undecodable_frames_are_skipped(tmp_path):
    recs = [packet(t=0.0), pg.arp(), pg.vlan(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2))), packet(t=1.0)]
    assert counts(extract(tmp_path, recs)) == [1, 2]
    assert extract(tmp_path, [pg.arp()]) == [] and extract(tmp_path, []) == []


def test_table_cleared_after_file_run(tmp_path):
    fe = FeatureExtractor()
    first = extract(tmp_path, [packet(t=t) for t in (0, 1, 2)], fe)
    assert counts(first) == [1, 2, 3]
    assert extract(tmp_path, [packet(t=t) for t in (0, 1, 2)], fe) == first


def test_overlapping_runs_share_the_table(tmp_path):
    fe = FeatureExtractor()
    path = pg.write_pcap(tmp_path / "a.pcap", [packet(t=t) for t in (0, 1, 2)]).encode()
    gen = fe.iter_pcap(path)
    assert counts([next(gen), next(gen)]) == [1, 2]
    assert counts(fe.process_pcap(path)) == [3, 4, 5]  # continues the suspended chain, then clears
    assert counts(gen) == [1]
    gen = fe.iter_pcap(path)
    next(gen)
    gen.close()
    assert counts(fe.process_pcap(path)) == [1, 2, 3]


# ---- the feature dictionary ------------------------------------------------

S4, D4, S6, D6 = "10.0.0.1", "10.0.0.2", "2001:db8::1", "2001:db8::2"


@pytest.mark.parametrize("frame, proto, ports", [
    (pg.eth(pg.ipv4(S4, D4, 6, pg.tcp(1234, 80))), "TCP", (1234, 80)),
    (pg.eth(pg.ipv4(S4, D4, 47, pg.udp(7, 7))), "ICMP", (0, 0)),  # GRE
    (pg.eth(pg.ipv4(S4, D4, 2, pg.udp(7, 7))), "ICMP", (0, 0)),  # IGMP
    (pg.eth(pg.ipv6(S6, D6, 58, pg.icmp(128)), pg.ETH_IPV6), "ICMP", (0, 0)),
    (pg.eth(pg.ipv6(S6, D6, 17, pg.udp(1, 65535)), pg.ETH_IPV6), "UDP", (1, 65535)),
    (pg.eth(pg.ipv6(S6, D6, 0, pg.udp(7, 7)), pg.ETH_IPV6), "ICMP", (0, 0)),  # Hop-by-Hop first
])
def test_dictionary(tmp_path, frame, proto, ports):
    (feat,) = extract(tmp_path, [pg.Record(frame, ts_sec=1_700_000_000, ts_usec=250_000)])
    assert list(feat) == KEYS == list(FEATURE_DICT_KEYS)
    assert feat == dict(zip(KEYS, (1_700_000_000.25, *ports, proto, len(frame), 0, 0, 1)))
    assert [type(v) for v in feat.values()] == [float, int, int, str, int, int, int, int]


@pytest.mark.parametrize("record, expected", [
    (pg.Record(pg.eth(pg.ipv4(S4, S4, 6, pg.tcp(80, 80)))), {"land": 1}),
    (pg.Record(pg.eth(pg.ipv6(S6, S6, 6, pg.tcp(80, 80)), pg.ETH_IPV6)), {"land": 0}),
    (pg.Record(pg.eth(pg.ipv4(S4, D4, 17, pg.udp(1, 2), flags_frag=0x00B9))), {"wrong_fragment": 1}),
    (pg.Record(pg.eth(pg.ipv4(S4, D4, 6, pg.tcp(5, 6, payload=bytes(1460)))), caplen=96), {"src_bytes": 1514}),
    (pg.Record(pg.eth(pg.ipv4(S4, D4, 17, pg.udp(1, 2))), wire_len=262_144), {"src_bytes": 262_144}),
])
def test_record_fields(tmp_path, record, expected):
    (feat,) = extract(tmp_path, [record])
    assert {k: feat[k] for k in expected} == expected


def test_matches_independent_oracle(tmp_path):
    path = gencap.make_capture(str(tmp_path / "mixed.pcap"), 30_000).encode()
    last, expected = {}, []
    for p in sniffkit.read_pcap(path):
        key, now = (p["version"], p["dst_ip"]), p["timestamp"]
        count, seen = last.get(key, (0, now))
        last[key] = (count + 1 if now - seen <= 2.0 else 1, now)
        expected.append({"timestamp": now, "src_port": p["src_port"], "dst_port": p["dst_port"],
                         "protocol_type": {6: "TCP", 17: "UDP"}.get(p["ip_proto"], "ICMP"),
                         "src_bytes": p["frame_length"], "land": p["land"],
                         "wrong_fragment": p["wrong_fragment"], "count": last[key][0]})
    got = FeatureExtractor().process_pcap(path)
    assert list(FeatureExtractor().iter_pcap(path)) == got
    assert len(got) == len(expected) and len(last) > 1000
    assert next(((i, g, e) for i, (g, e) in enumerate(zip(got, expected)) if g != e), None) is None
    assert {f["count"] == 1 for f in got[5000:]} == {True, False}  # chains both restart and grow


# ---- read errors -----------------------------------------------------------

@pytest.mark.parametrize("cut", [5, 50])  # inside the last packet's bytes, inside its record header
@pytest.mark.parametrize("method", ["process_pcap", "iter_pcap"])
def test_truncated_file(tmp_path, cut, method):
    recs = [packet(t=t) for t in (0, 1, 2)]
    data = pg.pcap_bytes(recs)
    path = tmp_path / "cut.pcap"
    path.write_bytes(data[:-cut])
    fe = FeatureExtractor()
    run = lambda: list(getattr(fe, method)(bytes(path)))  # noqa: E731
    with pytest.warns(RuntimeWarning, match="^Lỗi đọc file PCAP: truncated dump file"):
        assert counts(run()) == [1, 2]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pytest.raises(RuntimeWarning, run)
    assert counts(extract(tmp_path, recs, fe)) == [1, 2, 3]  # both runs still cleared the table


# ---- arguments and the class ----------------------------------------------

class Bytes(bytes):
    pass


@pytest.mark.parametrize("call, exc, message", [
    (lambda fe: fe.process_pcap(), TypeError, "process_pcap() takes exactly 1 positional argument (0 given)"),
    (lambda fe: fe.process_live(b"a", b"b"), TypeError, "process_live() takes exactly 1 positional argument (2 given)"),
    (lambda fe: fe.process_pcap(path=b"a"), TypeError, "process_pcap() got an unexpected keyword argument 'path'"),
    (lambda fe: fe.process_live(b"lo", device_name=b"lo"), TypeError,
     "process_live() got multiple values for keyword argument 'device_name'"),
    (lambda fe: fe.process_pcap("a.pcap"), TypeError,
     "Argument 'file_path' has incorrect type (expected bytes, got str)"),
    (lambda fe: fe.iter_pcap(file_path=bytearray(b"a")), TypeError,
     "Argument 'file_path' has incorrect type (expected bytes, got bytearray)"),
    (lambda fe: fe.process_live(Bytes(b"lo")), TypeError,
     "Argument 'device_name' has incorrect type (expected bytes, got Bytes)"),
    (lambda fe: fe.process_pcap(None), TypeError, "expected bytes, NoneType found"),
    (lambda fe: next(fe.process_live(device_name=None)), TypeError, "expected bytes, NoneType found"),
    (lambda fe: next(fe.iter_pcap(None)), TypeError, "expected bytes, NoneType found"),
    (lambda fe: fe.process_live(None).send(1), TypeError, "can't send non-None value to a just-started generator"),
    (lambda fe: fe.process_pcap(b"/nonexistent/x.pcap"), RuntimeError,
     "Lỗi mở file PCAP: /nonexistent/x.pcap: No such file or directory"),
    (lambda fe: next(fe.iter_pcap(b"/nonexistent/x.pcap")), RuntimeError, "Lỗi mở file PCAP: /nonexistent/x.pcap"),
    (lambda fe: next(fe.process_live(b"kavrel-missing0")), RuntimeError, "Lỗi mở card mạng: "),
    (lambda fe: fe.process_pcap(b"a\0b"), ValueError, "embedded null byte"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message)):
        call(FeatureExtractor())


class Plain(FeatureExtractor):
    pass


class Slotted(FeatureExtractor):
    __slots__ = ("label",)

    def __init__(self, label, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.label = label


@pytest.mark.parametrize("cls, args", [(FeatureExtractor, (1, "x")), (Plain, ()), (Slotted, ("s", 2))])
def test_class_and_subclasses(tmp_path, cls, args):
    before = sys.getrefcount(cls)
    fe = cls(*args, key=3)
    assert counts(extract(tmp_path, [packet(t=0), packet(t=1)], fe)) == [1, 2]
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({})):
        with pytest.raises(TypeError, match=f"^{NO_REDUCE}$"):
            refuse(fe)
    del fe
    for _ in range(1000):
        cls(*args)
    gc.collect()
    assert sys.getrefcount(cls) == before  # instances give their type reference back


def test_generator_in_a_cycle_with_its_extractor_is_collected(tmp_path):
    # A subclass instance can hold its own generator; the cycle must still close the file.
    path = pg.write_pcap(tmp_path / "run.pcap", [packet(t=0), packet(t=1), packet(t=2)]).encode()
    fe = Plain()
    fe.gen = fe.iter_pcap(path)
    next(fe.gen)
    assert any(t == path.decode() for t in open_fds())
    gone = weakref.ref(fe)
    del fe
    gc.collect()
    assert gone() is None
    assert not any(t == path.decode() for t in open_fds())


def test_class_surface():
    assert FeatureExtractor.process_pcap.__doc__ == "Hàm API gọi từ Python để xử lý toàn bộ file PCAP"
    assert FeatureExtractor.process_live.__doc__ == \
        "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng"
    fe = FeatureExtractor()
    pytest.raises(AttributeError, setattr, fe, "x", 1)
    pytest.raises(TypeError, weakref.ref, fe)
    assert not gc.is_tracked(fe)


# ---- live capture on loopback (root) ---------------------------------------

@pytest.fixture
def loopback_port():
    """A UDP port on 127.0.0.1 that a thread sends 20-byte datagrams to every 20 ms."""
    stop, rx = threading.Event(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", 0))

    def send():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
            while not stop.wait(0.02):
                tx.sendto(b"k" * 20, rx.getsockname())
    sender = threading.Thread(target=send)
    sender.start()
    yield rx.getsockname()[1]
    stop.set()
    sender.join()
    rx.close()


def take(gen, port, n):
    return list(itertools.islice((f for f in gen if f["dst_port"] == port), n))


@needs_root
@pytest.mark.parametrize("end", ["close", "drop", "throw"])
def test_live_capture(tmp_path, loopback_port, end):
    fe = FeatureExtractor()
    gen = fe.process_live(b"lo")
    feats = take(gen, loopback_port, 4)
    assert all(f["protocol_type"] == "UDP" and f["src_bytes"] == 14 + 20 + 8 + 20 for f in feats)
    assert all(abs(f["timestamp"] - time.time()) < 10 for f in feats)
    assert counts(feats) == sorted(set(counts(feats)))
    # a run that fails to start opens nothing and leaves the shared table alone
    for arg in (None, b"kavrel-missing0"):
        pytest.raises((TypeError, RuntimeError), next, fe.process_live(arg))
    assert take(gen, loopback_port, 1)[0]["count"] > feats[-1]["count"]
    if end == "close":
        gen.close()
    elif end == "throw":
        pytest.raises(KeyError, gen.throw, KeyError("x"))
    else:
        del gen
    now = int(time.time())
    assert counts(extract(tmp_path, [packet("127.0.0.1", t=now), packet("127.0.0.1", t=now)], fe)) == [1, 2]


READ_ERROR_SCRIPT = """
import subprocess, threading
from kavrel.columns import FEATURE_DICT_KEYS
from kavrel.core.ver100.metricor import FeatureExtractor
subprocess.run("ip link add va type veth peer name vb && ip link set va up", shell=True, check=True)
gen = FeatureExtractor().process_live(b"va")
threading.Timer(0.3, subprocess.run, (["ip", "link", "del", "va"],)).start()
try:
    while True:
        next(gen)
except RuntimeError as e:
    print(e)
print(next(gen, "finished"))
"""


@needs_root
def test_live_read_error():
    ns = f"kavrel-metricor-{os.getpid()}"
    if subprocess.run(["ip", "netns", "add", ns], capture_output=True).returncode:
        pytest.skip("cannot create a network namespace")
    try:
        run = subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", READ_ERROR_SCRIPT], timeout=60,
                             capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    finally:
        subprocess.run(["ip", "netns", "del", ns])
    error, *rest = run.stdout.splitlines() or [run.stderr]
    assert error.startswith("Lỗi đọc card mạng: ") and len(error) > 19 and rest == ["finished"], run.stderr
