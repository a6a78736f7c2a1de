"""Damaged and unusual capture files: each is read or refused cleanly, never a crash or hang."""

import os
import struct

import pytest

import pcapgen as pg
from pcapgen import Record
from kavrel.core.base import sniffkit
from kavrel.core.ver100.metricor import FeatureExtractor

FRAME = pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2, b"payload")))


def pcapng(interfaces: list[int], packets: list[tuple[int, bytes]], late_interfaces: list[int] = ()) -> bytes:
    """A little-endian pcapng file: one section, interface blocks of the given link types,
    enhanced packet blocks, then `late_interfaces` described only after the packets."""

    def block(kind: int, body: bytes) -> bytes:
        body += bytes(-len(body) % 4)
        length = 12 + len(body)
        return struct.pack("<II", kind, length) + body + struct.pack("<I", length)

    out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
    out += [block(1, struct.pack("<HHI", link, 0, 65535)) for link in interfaces]
    for iface, data in packets:
        out.append(block(6, struct.pack("<IIIII", iface, 0, 1_000_000, len(data), len(data)) + data))
    out += [block(1, struct.pack("<HHI", link, 0, 65535)) for link in late_interfaces]
    return b"".join(out)


def read_both(path: bytes):
    """(packets from read_pcap, features from process_pcap), warnings left to the caller."""
    return list(sniffkit.read_pcap(path)), FeatureExtractor().process_pcap(path)


@pytest.mark.parametrize(
    "content",
    [b"", b"hello world, not a capture\n" * 4, struct.pack("<I", 0xDEADBEEF) + bytes(40),
     pg.pcap_bytes([FRAME])[:10], pg.pcap_bytes([FRAME])[:23]],
    ids=["empty", "text", "bad-magic", "header-cut-10", "header-cut-23"],
)
def test_unreadable_files_are_refused_at_open(tmp_path, content):
    path = tmp_path / "bad.pcap"
    path.write_bytes(content)
    with pytest.raises(RuntimeError, match="^Could not open file: .+"):
        next(sniffkit.read_pcap(os.fsencode(path)))
    with pytest.raises(RuntimeError, match="^Lỗi mở file PCAP: .+"):
        FeatureExtractor().process_pcap(os.fsencode(path))


@pytest.mark.parametrize("cut", [1, 8, 16, 17, 20], ids=lambda c: f"cut-{c}")
def test_truncated_last_record_warns(tmp_path, cut):
    data = pg.pcap_bytes([FRAME] * 3)
    path = tmp_path / "cut.pcap"
    path.write_bytes(data[: len(data) - len(FRAME) - 16 + cut])  # the third record loses its tail
    with pytest.warns(RuntimeWarning, match="truncated"):
        packets, features = read_both(os.fsencode(path))
    assert len(packets) == len(features) == 2


def test_caplen_above_snaplen_is_trimmed(make_pcap):
    path = make_pcap([Record(FRAME)], snaplen=38)
    (packet,) = sniffkit.read_pcap(path)
    assert packet["src_port"] == 1 and packet["udp_length"] == 0  # bytes 38+ were trimmed away


def test_absurd_caplen_is_a_read_error(tmp_path):
    good = pg.pcap_bytes([FRAME])
    bad = struct.pack("<IIII", 0, 0, 10_000_000, 10_000_000) + bytes(64)
    path = tmp_path / "huge.pcap"
    path.write_bytes(good + bad)
    with pytest.warns(RuntimeWarning):
        packets, features = read_both(os.fsencode(path))
    assert len(packets) == len(features) == 1


def test_zero_length_records_are_skipped(make_pcap):
    path = make_pcap([Record(b"", wire_len=0), Record(FRAME), Record(b"", wire_len=1500)])
    packets, features = read_both(path)
    assert len(packets) == len(features) == 1


def test_pcapng_is_read(tmp_path):
    path = tmp_path / "one.pcapng"
    path.write_bytes(pcapng([1], [(0, FRAME), (0, pg.arp()), (0, FRAME)]))
    packets, features = read_both(os.fsencode(path))
    assert [p["src_port"] for p in packets] == [1, 1]
    assert [f["count"] for f in features] == [1, 2]


def test_pcapng_with_two_link_types(tmp_path):
    path = tmp_path / "two.pcapng"
    raw_ip = FRAME[14:]
    path.write_bytes(pcapng([1], [(0, FRAME), (0, FRAME)], late_interfaces=[101]))
    with pytest.warns(RuntimeWarning):
        packets, features = read_both(os.fsencode(path))
    assert len(packets) == len(features) == 2  # libpcap stops at the second link type
    path.write_bytes(pcapng([1, 101], [(0, FRAME), (1, raw_ip)]))
    with pytest.warns(RuntimeWarning):
        packets, features = read_both(os.fsencode(path))
    assert packets == features == []


def test_non_utf8_error_text_raises_decode_error(tmp_path):
    path = os.fsencode(tmp_path) + b"/missing-\xff\xfe.pcap"
    with pytest.raises(UnicodeDecodeError):
        next(sniffkit.read_pcap(path))
    with pytest.raises(UnicodeDecodeError):
        FeatureExtractor().process_pcap(path)
    with pytest.raises(UnicodeDecodeError):
        next(sniffkit.start_sniff(b"no-such-\xff-dev"))


CAPTURES = os.path.join(os.path.dirname(__file__), "data", "captures")


@pytest.mark.parametrize("name", sorted(n for n in os.listdir(CAPTURES) if n.endswith((".pcap", ".pcapng"))))
def test_real_captures_never_fail(name):
    path = os.path.join(CAPTURES, name)
    packets, features = read_both(os.fsencode(path))
    assert len(packets) == len(features)
