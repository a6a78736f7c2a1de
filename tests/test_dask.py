"""A Dask cluster of two worker processes gives the rows of one sequential pass."""

import pytest

pytest.importorskip("distributed")
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import kavrel  # noqa: E402
import kavrel.dask  # noqa: E402
import pcapgen as pg  # noqa: E402
from test_parallel import adversarial  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cluster")
    records = adversarial()
    paths = []
    for k, part in enumerate((records[:2500], records[2500:2600], records[2600:])):
        paths.append(str(folder / f"capture-{k}.pcap"))
        pg.write_pcap(paths[-1], part)
    return paths


def as_arrow(frame: pd.DataFrame, want: pa.Table) -> pa.Table:
    """A computed frame back in the engine's types, to compare with its table value for value."""
    return pa.Table.from_pandas(frame.reset_index(drop=True), preserve_index=False).cast(want.schema)


@pytest.mark.parametrize("chunk_bytes", [4000, 1 << 30])
def test_features_on_the_cluster_are_the_sequential_rows(client, captures, chunk_bytes):
    frame = kavrel.dask.read_features(captures, columns=["dst_ip"], chunk_bytes=chunk_bytes)
    want = kavrel.read_features(captures, columns=["dst_ip"])
    assert frame.npartitions > (len(captures) if chunk_bytes < 1 << 20 else len(captures) - 1)
    got = frame.compute()
    assert as_arrow(got, want).equals(want)
    # the dtypes Table.to_pandas gives a dictionary, Arrow's for the rest
    assert isinstance(got["protocol_type"].dtype, pd.CategoricalDtype)
    assert list(got["protocol_type"].cat.categories) == ["TCP", "UDP", "ICMP"]
    assert str(got["count"].dtype) == "uint32[pyarrow]"


def test_written_to_parquet_reads_back_as_the_sequential_table(client, captures, tmp_path):
    kavrel.dask.read_features(captures, chunk_bytes=6000).to_parquet(
        tmp_path / "features", write_index=False, name_function=lambda i: f"part-{i:06d}.parquet")
    want = kavrel.read_features(captures)
    back = pq.read_table(tmp_path / "features")
    assert back.select(want.column_names).cast(want.schema).equals(want)


READERS = {"features": (kavrel.dask.read_features, kavrel.read_features),
           "packets": (kavrel.dask.read_packets, kavrel.read_packets)}


@pytest.mark.parametrize("table", sorted(READERS))
def test_every_table_round_trips_through_a_partitioned_parquet_dataset(client, captures, tmp_path, table):
    on_cluster, sequential = READERS[table]
    want = sequential(captures)
    on_cluster(captures, chunk_bytes=5000).to_parquet(tmp_path / table, write_index=False,
                                                      name_function=lambda i: f"part-{i:06d}.parquet")
    # read back by Dask and by pandas, whole and a column at a time, in order
    assert as_arrow(dd.read_parquet(tmp_path / table).compute(), want).equals(want)
    assert as_arrow(pd.read_parquet(tmp_path / table), want).equals(want)
    first = want.column_names[0]
    column = dd.read_parquet(tmp_path / table, columns=[first]).compute()
    assert as_arrow(column, want.select([first])).equals(want.select([first]))


def test_packets_on_the_cluster(client, captures):
    got = kavrel.dask.read_packets(captures, chunk_bytes=5000).compute()
    want = kavrel.read_packets(captures)
    assert as_arrow(got, want).equals(want)
