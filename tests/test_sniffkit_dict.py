"""Shape, order and texts of the packet dictionaries."""

import os
import socket
import subprocess
import sys
import textwrap
import time

import pytest

import pcapgen as pg
from pcapgen import Record
from kavrel.core.base import sniffkit
from kavrel.columns import PACKET_DICT_KEYS

FIXED = ["success", "timestamp", "date_time", "frame_length", "src_mac", "dst_mac", "ip_proto", "ip_id",
         "wrong_fragment", "land", "src_port", "dst_port"]
V4, V6 = ("10.0.0.1", "10.0.0.2"), ("2001:db8::1", "::1")


def one(make_pcap, record):
    (d,) = list(sniffkit.read_pcap(make_pcap([record])))
    return d


@pytest.mark.parametrize(
    "frame, tail",
    [
        (pg.eth(pg.ipv4(*V4, 6, pg.tcp(1, 2))), ["protocol_type", "tcp_flag", "tcp_seq", "tcp_ack", "urgent"]),
        (pg.eth(pg.ipv6(*V6, 17, pg.udp(1, 2)), pg.ETH_IPV6), ["protocol_type", "udp_length"]),
        (pg.eth(pg.ipv6(*V6, 58, pg.icmp(128)), pg.ETH_IPV6), ["protocol_type", "icmp_type", "icmp_code"]),
        (pg.eth(pg.ipv4(*V4, 1, pg.icmp(8))), ["protocol_type", "icmp_type", "icmp_code"]),
        (pg.eth(pg.ipv4(*V4, 47, b"gre")), ["protocol_type"]),
    ],
    ids=["v4-tcp", "v6-udp", "v6-icmp", "v4-icmp", "v4-gre"],
)
def test_keys_in_order(make_pcap, frame, tail):
    d = one(make_pcap, frame)
    assert list(d) == FIXED + ["version", "src_ip", "dst_ip"] + tail
    assert [key for key in PACKET_DICT_KEYS if key in d] == list(d)


def test_value_types(make_pcap):
    d = one(make_pcap, pg.eth(pg.ipv4(*V4, 6, pg.tcp(1, 2, seq=0xFFFFFFFF, ack=0xFFFFFFFE))))
    assert d["success"] is True
    assert type(d["timestamp"]) is float
    for key in ("frame_length", "ip_proto", "ip_id", "wrong_fragment", "land", "src_port", "dst_port", "tcp_flag",
                "tcp_seq", "tcp_ack", "urgent"):
        assert type(d[key]) is int, key
    assert (d["tcp_seq"], d["tcp_ack"]) == (4294967295, 4294967294)


def test_texts(make_pcap):
    frame = pg.eth(pg.ipv6("::1", "fe80::1:2", 17, pg.udp(1, 2)), pg.ETH_IPV6,
                   src=bytes.fromhex("00005e0053af"), dst=bytes.fromhex("ff0a0b0c0d0e"))
    d = one(make_pcap, frame)
    assert (d["src_mac"], d["dst_mac"]) == ("00:00:5e:00:53:af", "ff:0a:0b:0c:0d:0e")
    assert (d["version"], d["src_ip"], d["dst_ip"], d["protocol_type"]) == ("IPv6", "::1", "fe80::1:2", "UDP")
    d4 = one(make_pcap, pg.eth(pg.ipv4("0.0.0.0", "255.10.100.9", 17, pg.udp(1, 2))))
    assert (d4["version"], d4["src_ip"], d4["dst_ip"]) == ("IPv4", "0.0.0.0", "255.10.100.9")


def test_frame_length_beyond_16_bits(make_pcap):
    d = one(make_pcap, Record(pg.eth(pg.ipv4(*V4, 6, pg.tcp(1, 2))), wire_len=4_294_967_295))
    assert d["frame_length"] == 4_294_967_295


def test_date_time_is_local_whole_seconds(make_pcap):
    recs = [Record(pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), ts_sec=s, ts_usec=u)
            for s, u in [(1_700_000_000, 500_000), (1_700_000_000, 999_999), (1_700_000_001, 0), (-5 & 0xFFFFFFFF, 0)]]
    got = [d["date_time"] for d in sniffkit.read_pcap(make_pcap(recs))]
    want = [time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s)) for s in (1_700_000_000, 1_700_000_000,
                                                                            1_700_000_001, -5)]
    assert got == want


def run_isolated(code: str, tz: str) -> str:
    env = dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, check=True,
                          capture_output=True, text=True).stdout.strip()


def test_date_time_follows_tzset(make_pcap):
    path = make_pcap([Record(pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2))), ts_sec=1_700_000_000)] * 2)
    code = f"""
        import os, time
        from kavrel.core.base import sniffkit
        g = sniffkit.read_pcap({path!r})
        a = next(g)["date_time"]
        os.environ["TZ"] = "ICT-7"; time.tzset()
        b = next(g)["date_time"]
        print(a, "|", b)
    """
    assert run_isolated(code, "UTC") == "2023-11-14 22:13:20 | 2023-11-15 05:13:20"


def test_replaced_time_and_socket_globals_are_used(make_pcap, monkeypatch):
    path = make_pcap([pg.eth(pg.ipv6(*V6, 17, pg.udp(1, 2)), pg.ETH_IPV6)] * 2)
    calls = []

    class FakeTime:
        @staticmethod
        def localtime(sec):
            calls.append(("localtime", sec))
            return time.gmtime(0)

        @staticmethod
        def strftime(fmt, tm):
            calls.append(("strftime", fmt))
            return "fake-date"

    class FakeSocket:
        AF_INET6 = socket.AF_INET6

        @staticmethod
        def inet_ntop(family, packed):
            calls.append(("inet_ntop", family, type(packed), len(packed)))
            return "fake-ip"

    g = sniffkit.read_pcap(path)
    first = next(g)
    monkeypatch.setattr(sniffkit, "time", FakeTime)
    monkeypatch.setattr(sniffkit, "socket", FakeSocket)
    second = next(g)
    assert first["date_time"] != "fake-date" and first["src_ip"] == "2001:db8::1"
    assert (second["date_time"], second["src_ip"], second["dst_ip"]) == ("fake-date", "fake-ip", "fake-ip")
    assert ("localtime", 1_700_000_000) in calls and ("strftime", "%Y-%m-%d %H:%M:%S") in calls
    assert ("inet_ntop", socket.AF_INET6, bytes, 16) in calls


def test_patched_function_in_real_time_module_is_used(make_pcap, monkeypatch):
    path = make_pcap([pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2)))])
    monkeypatch.setattr(time, "strftime", lambda fmt, tm: "patched")
    assert next(sniffkit.read_pcap(path))["date_time"] == "patched"


@pytest.mark.parametrize("name", ["time", "socket"])
def test_missing_global_raises_name_error_and_closes(make_pcap, monkeypatch, name):
    path = make_pcap([pg.eth(pg.ipv6(*V6, 17, pg.udp(1, 2)), pg.ETH_IPV6)] * 3)
    monkeypatch.delattr(sniffkit, name)
    g = sniffkit.read_pcap(path)
    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_error_from_host_time_ends_generator(make_pcap, monkeypatch):
    path = make_pcap([pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2)))] * 2)

    def refuse(sec):
        raise OverflowError("no such time")

    monkeypatch.setattr(time, "localtime", refuse)
    g = sniffkit.read_pcap(path)
    with pytest.raises(OverflowError, match="no such time"):
        next(g)
    assert list(g) == []


def test_module_with_replaced_class_is_asked(make_pcap, monkeypatch):
    # Attribute lookup on such a module may not reach its namespace at all.
    path = make_pcap([pg.eth(pg.ipv4(*V4, 17, pg.udp(1, 2)))])
    import types

    class Shifted(types.ModuleType):
        localtime = property(lambda self: lambda sec: time.gmtime(0))

    monkeypatch.setattr(time, "__class__", Shifted)
    assert next(sniffkit.read_pcap(path))["date_time"] == time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(0))
