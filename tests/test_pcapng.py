"""pcapng read by kavrel's own block walker: every interface with its own link type, snapshot
length and time resolution; against libpcap wherever libpcap reads the file, and against what the
blocks say where it does not."""

import glob
import os
import subprocess
import sys
import warnings

import pyarrow as pa
import pytest

import kavrel
import pcapgen as pg
from conftest import CORPUS
from test_engine_corpus import ALL, LINKTYPES, catch
from test_engine_decode import scan

PCAPNG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pcapng")
MERGED = os.path.join(PCAPNG, "merged-linktypes.pcapng")
MERGED_FROM = [os.path.join(CORPUS, "dns_tcp.pcap"), os.path.join(LINKTYPES, "recorded-any-sll.pcap"),
               os.path.join(LINKTYPES, "babel_rtt.pcap")]

UDP = pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1000, 53, b"query" * 20))


def test_interfaces_of_different_link_types_are_each_decoded_by_their_own():
    (got, stats), caught = catch(lambda: scan(MERGED))
    parts = [scan(p)[0] for p in MERGED_FROM]
    assert caught == []
    assert got.equals(pa.concat_tables(parts))
    assert (stats["frames"], stats["rows"], stats["not_ip"], stats["cut"]) == (263, 261, 2, 0)
    # libpcap stops at the second interface, before the first packet: the fault this walk mends
    (lib, _), lib_caught = catch(lambda: scan(MERGED, reader="libpcap"))
    assert lib.num_rows == 0 and lib_caught == [kavrel.DamagedCapture]


@pytest.mark.parametrize("table", ["packets", "features"])
@pytest.mark.parametrize("path", [p for p in ALL if p.endswith(".pcapng")], ids=os.path.basename)
def test_both_readers_agree_on_real_pcapng(path, table):
    (auto, auto_stats), auto_warnings = catch(lambda: scan(path, table, "auto"))
    (lib, lib_stats), lib_warnings = catch(lambda: scan(path, table, "libpcap"))
    assert auto.equals(lib) and auto_warnings == lib_warnings and auto_stats == lib_stats


def crafted(big_endian: bool) -> dict[str, pg.Pcapng]:
    eth = pg.eth(UDP)
    files = {}
    for name, tsresol, offset in [("micro", None, None), ("nano", 9, None), ("milli", 3, None),
                                  ("binary20", 0x80 | 20, None), ("binary40", 0x80 | 40, None),
                                  ("offset", 6, 1_000_000_000), ("tenths", 1, -5)]:
        f = pg.Pcapng(big_endian=big_endian).interface(1, tsresol=tsresol, tsoffset=offset)
        for k, units in enumerate([0, 1, 999_999, 10**15 + 7, (1 << 52) + 12345, 1 << 62]):
            f.packet(eth + bytes([k]), units)
        files[name] = f
    files["blocks"] = (pg.Pcapng(big_endian=big_endian).statistics().interface(1, 200).packet(eth, 5)
                       .simple(eth + b"x" * 200).obsolete(eth, 7).statistics().block(pg.PCAPNG_NRB, b"\0" * 4)
                       .packet(eth[:40], 8, wire_len=len(eth)))
    files["sections"] = (pg.Pcapng(big_endian=big_endian).interface(1).packet(eth, 1).section().interface(1)
                         .packet(eth, 2))
    return files


@pytest.mark.parametrize("big_endian", [False, True], ids=["little", "big"])
def test_crafted_pcapng_as_libpcap_reads_it(tmp_path, big_endian):
    for name, f in crafted(big_endian).items():
        path = f.write(tmp_path / f"{name}.pcapng")
        (auto, auto_stats), auto_warnings = catch(lambda: scan(path))
        (lib, lib_stats), lib_warnings = catch(lambda: scan(path, reader="libpcap"))
        assert auto.num_rows > 0 and auto_warnings == [], name
        assert auto.equals(lib) and auto_warnings == lib_warnings and auto_stats == lib_stats, name


@pytest.mark.parametrize("tsresol, tsoffset, units, want_ns", [
    (None, None, 1_700_000_000_123_456, 1_700_000_000_123_456_000),
    (9, None, 1_700_000_000_123_456_789, 1_700_000_000_123_456_789),
    (3, 10, 1_700_000_000_123, 1_700_000_010_123_000_000),
    (0x80 | 10, None, 1024 * 5 + 512, 5_500_000_000),
])
def test_time_in_the_interfaces_resolution(tmp_path, tsresol, tsoffset, units, want_ns):
    path = pg.Pcapng().interface(1, tsresol=tsresol, tsoffset=tsoffset).packet(pg.eth(UDP), units).write(
        tmp_path / "t.pcapng")
    assert scan(path)[0]["timestamp"].to_pylist() == [want_ns]


def test_each_interface_keeps_its_own_snapshot_and_resolution(tmp_path):
    # A pcapng libpcap refuses (the interfaces differ): what the blocks say, frame by frame.
    raw, eth = UDP, pg.eth(UDP)
    f = (pg.Pcapng().interface(1, 60, tsresol=9).interface(101, 0, tsresol=6).interface(113, 262144)
         .packet(eth[:60], 5, interface=0, wire_len=len(eth)).packet(raw, 7, interface=1)
         .packet(pg.sll(UDP, pg.ETH_IPV4), 9, interface=2)
         .simple(eth))  # simple blocks belong to the first interface: cut to its 60 bytes
    (got, stats), caught = catch(lambda: scan(f.write(tmp_path / "mixed.pcapng")))
    assert caught == [] and stats["rows"] == 4
    assert got["timestamp"].to_pylist() == [5, 7_000, 9_000, 0]
    assert got["captured_length"].to_pylist() == [60, len(raw), 16 + len(raw), 60]
    assert got["src_mac"].to_pylist()[1] is None and got["src_ip"].to_pylist() == ["10.0.0.1"] * 4


@pytest.mark.parametrize("big_endian", [False, True], ids=["little", "big"])
def test_cut_at_every_byte_as_libpcap_says(tmp_path, big_endian):
    f = crafted(big_endian)["blocks"]
    whole = f.bytes()
    starts = [sum(map(len, f.blocks[:k])) for k in range(len(f.blocks) + 1)]
    path = tmp_path / "cut.pcapng"
    for n in range(len(whole)):
        path.write_bytes(whole[:n])
        (auto, auto_damage), auto_warnings = catch(lambda: _outcome(path, "auto"))
        (lib, lib_damage), lib_warnings = catch(lambda: _outcome(path, "libpcap"))
        assert (auto, auto_warnings) == (lib, lib_warnings), n
        assert [text for _, _, text in auto_damage] == [text for _, _, text in lib_damage], n
        # libpcap names where its read began; the walk names the block that is cut
        assert [at for _, at, _ in auto_damage] == [max(s for s in starts if s <= n)] * len(lib_damage), n


def _outcome(path, reader):
    try:
        table, stats = scan(path, reader=reader)
    except ValueError as exc:
        return ("refused", str(exc)), []
    native = kavrel._engine.Scan([str(path)], "packets", ["timestamp"], 100, reader, None)
    list(pa.RecordBatchReader.from_stream(native))
    return (table.to_pylist(), stats["frames"]), native.damage()


@pytest.mark.parametrize("bad, words", [
    (lambda b: b[:8] + b"\x00\x00\x00\x00" + b[12:], "unknown file format"),
    (lambda b: b[:12] + b"\x02\x00" + b[14:], "unsupported pcapng savefile version 2.0"),
    (lambda b: b[:28] + pg.Pcapng().packet(b"x").blocks[-1], "packet block before any Interface"),
    (lambda b: b[:28], "no Interface Description Blocks"),
])
def test_what_is_no_pcapng_is_refused_with_libpcaps_words(tmp_path, bad, words):
    whole = pg.Pcapng().interface(1).packet(pg.eth(UDP)).bytes()
    path = tmp_path / "bad.pcapng"
    path.write_bytes(bad(whole))
    for reader in ("auto", "libpcap"):
        with pytest.raises(ValueError, match=words):
            scan(path, reader=reader)


def test_standard_input(tmp_path):
    want = kavrel.read_packets(MERGED)
    with open(MERGED, "rb") as fh:
        out = subprocess.run([sys.executable, "-c", "import sys, kavrel, pyarrow.parquet as pq; "
                              "pq.write_table(kavrel.read_packets('-'), sys.argv[1])", str(tmp_path / "o.parquet")],
                             input=fh.read(), capture_output=True)
    assert out.returncode == 0, out.stderr
    import pyarrow.parquet as pq

    assert pq.read_table(tmp_path / "o.parquet").equals(want)
