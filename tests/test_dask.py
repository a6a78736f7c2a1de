"""A Dask cluster of two worker processes gives the rows of one sequential pass."""

import pytest

pytest.importorskip("distributed")
import pandas as pd  # noqa: E402
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


@pytest.mark.parametrize("chunk_bytes", [4000, 1 << 30])
def test_features_on_the_cluster_are_the_sequential_rows(client, captures, chunk_bytes):
    frame = kavrel.dask.read_features(captures, columns=["dst_ip"], chunk_bytes=chunk_bytes)
    want = kavrel.read_features(captures, columns=["dst_ip"])
    assert frame.npartitions > (len(captures) if chunk_bytes < 1 << 20 else len(captures) - 1)
    got = frame.compute().reset_index(drop=True)
    assert got.equals(want.to_pandas(types_mapper=pd.ArrowDtype))


def test_written_to_parquet_reads_back_as_the_sequential_table(client, captures, tmp_path):
    kavrel.dask.read_features(captures, chunk_bytes=6000).to_parquet(
        tmp_path / "features", write_index=False, name_function=lambda i: f"part-{i:06d}.parquet")
    want = kavrel.read_features(captures)
    back = pq.read_table(tmp_path / "features")
    assert back.select(want.column_names).cast(want.schema).equals(want)


def test_packets_on_the_cluster(client, captures):
    got = kavrel.dask.read_packets(captures, chunk_bytes=5000).compute().reset_index(drop=True)
    assert got.equals(kavrel.read_packets(captures).to_pandas(types_mapper=pd.ArrowDtype))
