"""The engine on real captures: against what tshark read (expected.tsv), against the independent
decoder, the two readers against each other, and the features table against the per-packet records."""

import csv
import glob
import os
import struct
import warnings

import pytest
from scapy.utils import RawPcapNgReader

import engine_oracle
from conftest import CORPUS
from kavrel.core.ver100.metricor import FeatureExtractor
from test_engine_decode import scan

LINKTYPES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "linktypes")
ALL = sorted(glob.glob(os.path.join(LINKTYPES, "*.pcap*")) + glob.glob(os.path.join(CORPUS, "*.pcap*")))
CLASSIC = [p for p in ALL if p.endswith(".pcap")]


with open(os.path.join(LINKTYPES, "SOURCES.txt")) as fh:  # file -> frames, IP frames, tagged frames
    SOURCES = {f[0]: tuple(map(int, f[2:])) for f in map(str.split, fh) if len(f) == 5 and ".pcap" in f[0]}
TSHARK: dict[str, list[dict]] = {}
with open(os.path.join(LINKTYPES, "expected.tsv")) as fh:
    for r in csv.DictReader(fh, delimiter="\t"):
        TSHARK.setdefault(r["file"], []).append(r)


def number(text: str) -> int | None:
    return int(text) if text else None


def catch(run):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = run()
    return result, [w.category for w in caught]


@pytest.mark.parametrize("name", sorted(SOURCES))
def test_linktype_corpus_against_tshark(name):
    path = os.path.join(LINKTYPES, name)
    frames, ip_frames, tagged = SOURCES[name]
    table, stats = scan(path)
    want = TSHARK.get(name, [])
    assert (stats["frames"], table.num_rows, len(want)) == (frames, ip_frames, ip_frames)
    assert table.num_rows - table["vlan"].null_count == tagged
    for got, w in zip(table.to_pylist(), want):
        where = f"frame {w['frame']}"
        assert (got["src_ip"], got["dst_ip"], got["vlan"]) == (w["src_ip"], w["dst_ip"], number(w["vlan"])), where
        if w["ip_proto"]:
            assert got["ip_proto"] == int(w["ip_proto"]), where
            assert (got["src_port"], got["dst_port"]) == (number(w["src_port"]), number(w["dst_port"])), where
        else:
            # tshark dissected no transport: a later IPv6 fragment, or a protocol without ports
            # (GRE, AH, mobility header); the engine claims no ports either.
            assert got["src_port"] is None and got["dst_port"] is None, where
            assert got["fragment"] or got["ip_proto"] not in (6, 17), where


@pytest.mark.parametrize("path", CLASSIC, ids=os.path.basename)
def test_real_captures_against_the_independent_decoder(path):
    linktype, nano, swapped, records = engine_oracle.read_classic(path)
    want, skipped = engine_oracle.rows(linktype, records, nanosecond=nano, swapped=swapped)
    packets, stats = scan(path)
    features, _ = scan(path, "features")
    assert {k: stats[k] for k in skipped} == skipped
    assert features.to_pylist() == [r.pop("features") for _, r in want]
    assert packets.to_pylist() == [r for _, r in want]


@pytest.mark.parametrize("table", ["packets", "features"])
@pytest.mark.parametrize("path", CLASSIC, ids=os.path.basename)
def test_both_readers_agree(path, table):
    (auto, auto_stats), auto_warnings = catch(lambda: scan(path, table, "auto"))
    (lib, lib_stats), lib_warnings = catch(lambda: scan(path, table, "libpcap"))
    assert auto.equals(lib) and auto_warnings == lib_warnings
    assert auto_stats == lib_stats


@pytest.mark.parametrize("path", [p for p in ALL if p.endswith(".pcapng")], ids=os.path.basename)
def test_pcapng_timestamps_in_full(path):
    # pcapng stamps are 64-bit: a capture made after 2106 keeps its date
    with RawPcapNgReader(path) as reader:
        want = [((m.tshigh << 32 | m.tslow) * 1_000_000_000) // m.tsresol for _, m in reader]
    table, _ = scan(path)
    assert table.num_rows == len(want) and table["timestamp"].to_pylist() == want


def untagged_ethernet(path) -> bool:
    """Ethernet, and no VLAN tag or IPv6 extension header on any frame (read at fixed offsets)."""
    if path.endswith(".pcapng"):
        with RawPcapNgReader(path) as reader:
            frames = [(m.linktype, data) for data, m in reader]
    else:
        linktype, _, _, records = engine_oracle.read_classic(path)
        frames = [(linktype, data) for *_, data in records]
    for linktype, data in frames:
        kind = struct.unpack_from(">H", data, 12)[0] if len(data) >= 14 else 0
        if linktype != 1:
            return False
        if kind in engine_oracle.TPIDS or (kind == 0x86DD and len(data) > 20 and data[20] in (0, 43, 44, 60)):
            return False
    return True


ETHERNET = [p for p in ALL if untagged_ethernet(p)]


@pytest.mark.parametrize("path", ETHERNET, ids=os.path.basename)
def test_features_equal_the_per_packet_records(path):
    import kavrel
    old, old_warnings = catch(lambda: FeatureExtractor().process_pcap(os.fsencode(path)))
    new, new_warnings = catch(lambda: kavrel.read_features(path).to_pylist())
    assert new == old
    # The engine's damage warning is a RuntimeWarning of its own kind.
    assert len(new_warnings) == len(old_warnings) and all(map(issubclass, new_warnings, old_warnings))


def crafted() -> dict[str, bytes]:
    """Damaged and odd Ethernet captures, untagged and without IPv6 extension headers."""
    import pcapgen as pg
    from test_engine_decode import PACKETS
    frames = [pg.eth(p, t) for name, (p, t) in PACKETS.items() if not name.endswith(("fragment6", "routing"))
              and "hbh" not in name]
    stamps = [pg.Record(f, ts_sec=s, ts_usec=u) for f, (s, u) in
              zip(frames * 2, [(7, 2**32 - 1), (7, 2**31), (2**31, 5), (8, 1_500_000_000)] * 9)]
    whole = pg.pcap_bytes(frames)
    return {
        "all-packets": whole,
        "cut-in-record-header": whole[:-len(frames[-1]) - 9],
        "cut-in-record-data": whole[:-3],
        "caplen-above-262144": whole + struct.pack("<IIII", 0, 0, 262145, 262145) + bytes(64),
        "caplen-above-snaplen": pg.pcap_bytes(frames, snaplen=40),
        "v2.3-lengths-swapped": pg.pcap_bytes(
            [pg.Record(f, caplen=min(60, len(f)), swap_lengths=True) for f in frames], version=(2, 3)),
        "v2.2": pg.pcap_bytes([pg.Record(f, swap_lengths=True) for f in frames], version=(2, 2)),
        **{f"{order}-{unit}-odd-stamps": pg.pcap_bytes(stamps, big_endian=order == "be", nanosecond=unit == "ns")
           for order in ("le", "be") for unit in ("us", "ns")},
    }


@pytest.mark.parametrize("name", sorted(crafted()))
def test_features_equal_the_per_packet_records_on_crafted_captures(tmp_path, name):
    path = tmp_path / f"{name}.pcap"
    path.write_bytes(crafted()[name])
    test_features_equal_the_per_packet_records(str(path))
