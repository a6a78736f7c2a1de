"""The tables and readers handed to their usual consumers: pandas, polars, DuckDB and pyarrow's
C stream import, each seeing the same values as the Arrow table."""

import collections
import os

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import kavrel
from kavrel import _engine

LINKTYPES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "linktypes")
CAPTURES = [os.path.join(LINKTYPES, n) for n in ("recorded-vlan-qinq.pcap", "recorded-any-sll2.pcap",
                                                 "recorded-ipv6-ext.pcap")]


def values(table: pa.Table) -> dict[str, list]:
    """Column -> Python values, timestamps as integer nanoseconds (consumers differ on datetime types)."""
    out = {}
    for name in table.column_names:
        col = table[name]
        if pa.types.is_timestamp(col.type):
            col = col.cast(pa.int64())
        out[name] = col.to_pylist()
    return out


@pytest.fixture(params=CAPTURES, ids=os.path.basename)
def capture(request):
    return request.param


@pytest.mark.parametrize("read", [kavrel.read_packets, kavrel.read_features])
def test_pandas(capture, read):
    table = read(capture)
    df = table.to_pandas()
    for name, want in values(table).items():
        column = df[name]
        if name == "timestamp" and pa.types.is_timestamp(table.schema.field(name).type):
            assert str(column.dtype) == "datetime64[ns, UTC]"
            column = column.astype("int64")
        got = [None if pd.isna(v) else v for v in column.tolist()]
        assert got == want, name
    if "protocol_type" in df:
        assert set(df["protocol_type"].cat.categories) == {"TCP", "UDP", "ICMP"}


@pytest.mark.parametrize("scan", [kavrel.scan_packets, kavrel.scan_features])
def test_polars_from_table_and_from_reader(capture, scan):
    want = values(scan(capture).read_all())
    for df in (pl.from_arrow(scan(capture).read_all()), pl.from_arrow(scan(capture, batch_size=50))):
        assert df.height == len(want["timestamp"])
        for name, col in want.items():
            series = df[name]
            if series.dtype == pl.Datetime:
                assert series.dtype.time_zone == "UTC"
                series = series.cast(pl.Int64)
            assert series.to_list() == col, name


def test_duckdb_queries_a_reader_by_name(capture):
    table = kavrel.read_packets(capture)
    packets = kavrel.scan_packets(capture, batch_size=64)  # noqa: F841 (DuckDB finds it by name)
    got = duckdb.sql("SELECT dst_ip, count(*), sum(frame_length), count(vlan) FROM packets "
                     "GROUP BY dst_ip ORDER BY dst_ip").fetchall()
    rows = table.to_pylist()
    by_dst = collections.defaultdict(list)
    for r in rows:
        by_dst[r["dst_ip"]].append(r)
    want = [(d, len(rs), sum(r["frame_length"] for r in rs), sum(r["vlan"] is not None for r in rs))
            for d, rs in sorted(by_dst.items())]
    assert got == want
    features = kavrel.scan_features(capture)  # noqa: F841
    assert duckdb.sql("SELECT * FROM features").fetchall() == \
        [tuple(r.values()) for r in kavrel.read_features(capture).to_pylist()]


@pytest.mark.parametrize("table, columns", [("packets", list(kavrel.PACKET_COLUMNS)), ("features", ["ttl"])])
def test_arrow_c_stream_of_the_native_scan(capture, table, columns):
    stream = pa.RecordBatchReader.from_stream(_engine.Scan([capture], table, columns, 100))
    got = stream.read_all()
    want = kavrel.read_packets(capture) if table == "packets" else kavrel.read_features(capture, columns=columns)
    assert got.equals(want)
    assert all(len(b) <= 100 for b in got.to_batches())
