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


@pytest.fixture(params=["recorded-vlan-qinq.pcap", "recorded-any-sll2.pcap", "recorded-ipv6-ext.pcap"])
def capture(request):
    return os.path.join(LINKTYPES, request.param)


def values(table: pa.Table) -> dict[str, list]:
    """Column -> Python values, timestamps as integer nanoseconds (consumers differ on datetime types)."""
    return {name: (col.cast(pa.int64()) if pa.types.is_timestamp(col.type) else col).to_pylist()
            for name, col in zip(table.column_names, table.columns)}


@pytest.mark.parametrize("read", [kavrel.read_packets, kavrel.read_features])
def test_pandas(capture, read):
    table = read(capture)
    df = table.to_pandas()
    for name, want in values(table).items():
        column = df[name]
        if str(column.dtype) == "datetime64[ns, UTC]":
            column = column.astype("int64")
        assert [None if pd.isna(v) else v for v in column.tolist()] == want, name
    assert str(df["timestamp"].dtype) == ("float64" if "count" in df else "datetime64[ns, UTC]")


@pytest.mark.parametrize("scan", [kavrel.scan_packets, kavrel.scan_features])
def test_polars_from_table_and_from_reader(capture, scan):
    want = values(scan(capture).read_all())
    for df in (pl.from_arrow(scan(capture).read_all()), pl.from_arrow(scan(capture, batch_size=50))):
        got = {name: (s.cast(pl.Int64) if s.dtype == pl.Datetime("ns", "UTC") else s).to_list()
               for name, s in df.to_dict().items()}
        assert got == want


def test_duckdb_queries_a_reader_by_name(capture):
    rows = kavrel.read_packets(capture).to_pylist()
    packets = kavrel.scan_packets(capture, batch_size=64)  # noqa: F841 (DuckDB finds it by name)
    got = duckdb.sql("SELECT dst_ip, count(*), sum(frame_length), count(vlan) FROM packets "
                     "GROUP BY dst_ip ORDER BY dst_ip").fetchall()
    by_dst = collections.defaultdict(list)
    for r in rows:
        by_dst[r["dst_ip"]].append(r)
    assert got == [(d, len(rs), sum(r["frame_length"] for r in rs), sum(r["vlan"] is not None for r in rs))
                   for d, rs in sorted(by_dst.items())]
    features = kavrel.scan_features(capture)  # noqa: F841
    assert duckdb.sql("SELECT * FROM features").fetchall() == \
        [tuple(r.values()) for r in kavrel.read_features(capture).to_pylist()]


@pytest.mark.parametrize("table, columns", [("packets", list(kavrel.PACKET_COLUMNS)), ("features", ["ttl"])])
def test_arrow_c_stream_of_the_native_scan(capture, table, columns):
    got = pa.RecordBatchReader.from_stream(_engine.Scan([capture], table, columns, 100)).read_all()
    want = kavrel.read_packets(capture) if table == "packets" else kavrel.read_features(capture, columns=columns)
    assert got.equals(want) and max(len(b) for b in got.to_batches()) == 100
