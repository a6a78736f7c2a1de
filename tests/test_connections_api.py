"""read_connections and scan_connections as users call them: what each argument takes and
refuses, the columns asked for and their order, the schema, batches, and the traffic columns of
a realistic capture against their invariants and the independent model of tests/traffic_oracle.py."""

from __future__ import annotations

import math
import os
import random
import subprocess
import sys

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import connection_mix
import connection_traffic as ct
import kavrel
import pcapgen as pg
import traffic_oracle
from connection_traffic import A4, A6, B4, B6, C4, S

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import genconn  # noqa: E402

U8, U16, U32, U64, F64, STR = pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64(), pa.float64(), pa.string()
TS = pa.timestamp("ns", tz="UTC")

# The table's columns in order, as the connection table and its traffic features are defined:
# ports are null where a protocol has none and vlan where a frame had no tag; nothing else is.
OWN = [
    ("uid", U64), ("ts", TS), ("last_ts", TS), ("duration", F64), ("ip_version", U8), ("protocol_type", STR),
    ("ip_proto", U8), ("orig_ip", STR), ("resp_ip", STR), ("orig_port", U16), ("resp_port", U16), ("vlan", U16),
    ("service", STR), ("conn_state", STR), ("history", STR), ("end_reason", STR), ("orig_pkts", U64),
    ("resp_pkts", U64), ("orig_ip_bytes", U64), ("resp_ip_bytes", U64), ("src_bytes", U64), ("dst_bytes", U64),
    ("land", U8), ("wrong_fragment", U32), ("urgent", U32),
]
TIME_WINDOW = ["count", "srv_count", "serror_rate", "srv_serror_rate", "rerror_rate", "srv_rerror_rate",
               "same_srv_rate", "diff_srv_rate", "srv_diff_host_rate"]
HOST_WINDOW = ["dst_host_count", "dst_host_srv_count", "dst_host_same_srv_rate", "dst_host_diff_srv_rate",
               "dst_host_same_src_port_rate", "dst_host_srv_diff_host_rate", "dst_host_serror_rate",
               "dst_host_srv_serror_rate", "dst_host_rerror_rate", "dst_host_srv_rerror_rate"]
TRAFFIC = TIME_WINDOW + HOST_WINDOW
COUNTS = {"count", "srv_count", "dst_host_count", "dst_host_srv_count"}
NULLABLE = {"orig_port", "resp_port", "vlan"}
OWN_NAMES = [name for name, _ in OWN]
# KDD'99's features that are not about content, in its order; its `flag` is conn_state here.
KDD = ["duration", "protocol_type", "service", "conn_state", "src_bytes", "dst_bytes", "land", "wrong_fragment",
       "urgent", *TRAFFIC]


def expected_schema() -> pa.Schema:
    fields = [pa.field(name, kind, nullable=name in NULLABLE) for name, kind in OWN]
    fields += [pa.field(name, U32 if name in COUNTS else F64, nullable=False) for name in TRAFFIC]
    return pa.schema(fields)


def mixed_traffic() -> list:
    """A few connections of every protocol kind, tagged and untagged, over IPv4 and IPv6."""
    return [
        (0, ct.tcp(A4, B4, 40000, 80, ct.SYN)),
        (1000, ct.tcp(B4, A4, 80, 40000, ct.SYN | ct.ACK)),
        (2000, ct.tcp(A4, B4, 40000, 80, ct.ACK)),
        (3000, ct.udp(A6, B6, 5353, 53, b"query")),
        (4000, ct.udp(B6, A6, 53, 5353, b"answer!")),
        (5000, ct.icmp(A4, C4, 8, ident=7)),
        (6000, ct.icmp(C4, A4, 0, ident=7)),
        (7000, ct.icmp(A6, B6, 128, ident=9)),
        (8000, ct.ip(A4, B4, ct.GRE, b"\0" * 8)),
        (9000, pg.Record(pg.arp())),
        (10_000, pg.Record(pg.vlan(ct.udp(A4, C4, 1000, 53, b"v"), vid=0))),
        (11_000, pg.Record(pg.vlan(ct.udp(A4, C4, 1000, 53, b"v"), vid=7))),
        (2 * S, ct.tcp(A4, B4, 40001, 22, ct.SYN)),
        (2 * S + 10, ct.tcp(B4, A4, 22, 40001, ct.RST | ct.ACK)),
    ]


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    return ct.write(tmp_path_factory.mktemp("mixed") / "mixed.pcap", mixed_traffic())


@pytest.fixture(scope="module")
def realistic(tmp_path_factory):
    """The benchmark's kind of traffic, small: about 6,000 connections in 26 seconds."""
    path = str(tmp_path_factory.mktemp("genconn") / "conn.pcap")
    genconn.make_capture(path, 120_000)
    return path


@pytest.fixture(scope="module")
def mix(tmp_path_factory):
    return connection_mix.write(tmp_path_factory.mktemp("mix") / "mix.pcap", seed=11, n=3000)


# ---- the schema and the columns asked for ---------------------------------------------------------

def test_schema_is_the_connection_table(mixed):
    table = kavrel.read_connections(mixed)
    assert table.schema.equals(expected_schema())
    assert kavrel.CONNECTION_COLUMNS == tuple(expected_schema().names)
    for name in table.column_names:
        if name not in NULLABLE:
            assert table.column(name).null_count == 0, name
    rows = {(r["protocol_type"], r["vlan"]): r for r in table.to_pylist()}
    other = rows[("OTHER", None)]
    assert (other["ip_proto"], other["orig_port"], other["resp_port"]) == (ct.GRE, None, None)
    # VLAN 0 is a tag, not the absence of one.
    assert {k[1] for k in rows if k[0] == "UDP"} == {None, 0, 7}


def test_labelled_schema_ends_with_the_features_tables_label_columns(mixed, tmp_path):
    log = tmp_path / "empty.log"
    log.write_text("")
    table = kavrel.read_connections(mixed, alerts=log, alerts_tz="UTC")
    features = kavrel.read_features(mixed, alerts=log, alerts_tz="UTC")
    labels = list(kavrel.LABEL_COLUMNS)
    assert table.column_names == [*expected_schema().names, *labels]
    assert [table.schema.field(n) for n in labels] == [features.schema.field(n) for n in labels]
    assert table.column("alert_count").to_pylist() == [0] * table.num_rows


def test_kdd_columns_give_exactly_kdds_table(mixed, realistic):
    assert kavrel.KDD_COLUMNS == tuple(KDD)
    for path in (mixed, realistic):
        whole = kavrel.read_connections(path)
        kdd = kavrel.read_connections(path, columns=kavrel.KDD_COLUMNS)
        assert kdd.column_names == KDD
        assert kdd.equals(whole.select(KDD))


@pytest.mark.parametrize("seed", range(4))
def test_columns_come_in_the_order_asked_for(mixed, seed):
    whole = kavrel.read_connections(mixed)
    rng = random.Random(seed)
    names = rng.sample(list(kavrel.CONNECTION_COLUMNS), rng.randrange(1, len(kavrel.CONNECTION_COLUMNS) + 1))
    for jobs in (1, 2):
        got = kavrel.read_connections(mixed, columns=names, jobs=jobs, chunk_bytes=512)
        assert got.column_names == names
        assert got.equals(whole.select(names))


@pytest.mark.parametrize("columns, error, words", [
    (["flag"], ValueError, "unknown connection column 'flag'"),
    (["uid", "Uid"], ValueError, "unknown connection column 'Uid'"),
    (["alert_count"], ValueError, "unknown connection column 'alert_count'"),  # labels come with alerts
    (["src_ip"], ValueError, "unknown connection column 'src_ip'"),            # a packet column
    (["count", "count"], ValueError, "twice"),
    ([], ValueError, "at least one column"),
    ("uid", TypeError, "not a str"),
    ([b"uid"], TypeError, "must be str"),
    ([None], TypeError, "must be str"),
])
def test_columns_refused(mixed, columns, error, words):
    for call in (kavrel.read_connections, kavrel.scan_connections):
        with pytest.raises(error, match=words):
            call(mixed, columns=columns)


@pytest.mark.parametrize("columns", [
    TRAFFIC, ["dst_host_srv_rerror_rate"], ["uid", "count"], ["srv_diff_host_rate", "service", "uid"],
])
def test_traffic_columns_asked_for_alone_have_the_whole_tables_values(realistic, columns):
    assert kavrel.read_connections(realistic, columns=columns).equals(
        kavrel.read_connections(realistic).select(columns))


def test_own_columns_are_the_same_with_or_without_the_traffic_columns(realistic, mixed):
    for path in (mixed, realistic):
        own = kavrel.read_connections(path, columns=OWN_NAMES)
        assert own.equals(kavrel.read_connections(path).select(OWN_NAMES))
        # The windows shape only the traffic columns.
        assert own.equals(kavrel.read_connections(path, columns=OWN_NAMES, time_window=1e-9, host_window=1))


# ---- the settings -------------------------------------------------------------------------------

NOT_SECONDS = [0, 0.0, -1, -0.5, math.nan, math.inf, -math.inf, 1e9 * 1.5, "5", None, True, [5.0]]


@pytest.mark.parametrize("value", NOT_SECONDS, ids=repr)
@pytest.mark.parametrize("name", ["tcp_timeout", "udp_timeout", "icmp_timeout", "other_timeout", "time_window"])
def test_a_duration_that_is_not_a_positive_finite_number_is_refused(mixed, name, value):
    for jobs in (1, 2):
        with pytest.raises(ValueError, match=name):
            kavrel.read_connections(mixed, jobs=jobs, **{name: value})
    with pytest.raises(ValueError, match=name):
        kavrel.scan_connections(mixed, **{name: value})


@pytest.mark.parametrize("name", ["tcp_timeout", "time_window", "close_delay"])
def test_a_whole_number_of_seconds_too_large_for_a_float_is_refused(mixed, name):
    with pytest.raises(ValueError, match=name):
        kavrel.read_connections(mixed, **{name: 10**400})


@pytest.mark.parametrize("value", [-1, -1e-9, math.nan, math.inf, -math.inf, "1", None, True], ids=repr)
def test_close_delay_refused(mixed, value):
    with pytest.raises(ValueError, match="close_delay"):
        kavrel.read_connections(mixed, close_delay=value)


@pytest.mark.parametrize("value", [0, -1, 1.0, 1.5, 2**32, True, "100", None], ids=repr)
def test_host_window_refused(mixed, value):
    with pytest.raises(ValueError, match="host_window"):
        kavrel.read_connections(mixed, host_window=value)


@pytest.mark.parametrize("value", [0, -1, 1.5, True, 2**24 + 1, "10", None], ids=repr)
def test_batch_size_refused(mixed, value):
    with pytest.raises(ValueError, match="batch_size"):
        kavrel.scan_connections(mixed, batch_size=value)


def test_settings_at_their_limits(mixed):
    # A zero close delay is a delay; the largest window and batch are taken as given (the
    # capture's dozen connections fit in any host window of 100 or more).
    within = kavrel.read_connections(mixed, close_delay=0, host_window=2**32 - 1, tcp_timeout=1e9)
    assert within.equals(kavrel.read_connections(mixed, close_delay=0.0))
    assert pa.Table.from_batches(list(kavrel.scan_connections(mixed, batch_size=2**24))).equals(
        kavrel.read_connections(mixed))


def test_timeouts_reach_the_assembly(tmp_path):
    # One UDP flow with a 3 s gap: one connection under a 5 s timeout, two under 2 s; ICMP, TCP
    # and other protocols keep their own timeouts.
    items = [(0, ct.udp(A4, B4, 1, 2)), (3 * S, ct.udp(A4, B4, 1, 2)),
             (0, ct.icmp(A4, C4, 8)), (3 * S, ct.icmp(A4, C4, 8)),
             (0, ct.tcp(A4, C4, 5, 6, ct.ACK)), (3 * S, ct.tcp(A4, C4, 5, 6, ct.ACK)),
             (0, ct.ip(A4, C4, ct.GRE, b"")), (3 * S, ct.ip(A4, C4, ct.GRE, b""))]
    items.sort(key=lambda item: item[0])
    path = ct.write(tmp_path / "gaps.pcap", items)
    for name, proto in [("udp_timeout", "UDP"), ("icmp_timeout", "ICMP"), ("tcp_timeout", "TCP"),
                        ("other_timeout", "OTHER")]:
        for seconds, rows in [(5.0, 1), (3.0, 1), (2.999999999, 2), (2.0, 2)]:
            got = kavrel.read_connections(path, columns=["protocol_type"], **{name: seconds})
            assert got.column("protocol_type").to_pylist().count(proto) == rows, (name, seconds)


# ---- batches --------------------------------------------------------------------------------------

@pytest.mark.parametrize("jobs, chunk_bytes", [(1, 1 << 26), (2, 512), (3, 4000)])
@pytest.mark.parametrize("batch_size", [1, 3, 1000, 1 << 20])
def test_batches_hold_at_most_batch_size_rows_and_make_the_table(mix, jobs, chunk_bytes, batch_size):
    want = kavrel.read_connections(mix, columns=["uid", "service", "count"], **ct.SETTINGS)
    reader = kavrel.scan_connections(mix, **ct.SETTINGS, columns=["uid", "service", "count"], jobs=jobs,
                                     chunk_bytes=chunk_bytes, batch_size=batch_size)
    assert reader.schema.equals(want.schema)
    batches = list(reader)
    assert all(0 < b.num_rows <= batch_size for b in batches)
    assert pa.Table.from_batches(batches, schema=want.schema).equals(want)


# ---- the traffic columns of realistic traffic -----------------------------------------------------

def oracle_rows(table: pa.Table) -> list[dict]:
    """What tests/traffic_oracle.py takes of each connection."""
    ns = table.column("ts").cast(pa.int64()).to_pylist()
    own = table.select(["uid", "resp_ip", "service", "orig_port", "conn_state"]).to_pylist()
    for row, t in zip(own, ns):
        row["ts_ns"] = t
    return own


def traffic_of(table: pa.Table) -> list[dict]:
    return table.select(["uid", *TRAFFIC]).to_pylist()


@pytest.mark.parametrize("time_window, host_window, first, last", [
    (2.0, 100, 0, 500),
    (0.5, 7, 0, 2000),
    (0.25, 250, 4000, 4600),  # well inside: the model starts from the rows its windows need
    (1e-3, 1, 0, 3000),
])
def test_traffic_columns_against_the_model(realistic, time_window, host_window, first, last):
    table = kavrel.read_connections(realistic, time_window=time_window, host_window=host_window)
    rows = oracle_rows(table)
    # Timestamps never go back in this capture: a window reaches back host_window rows, or
    # time_window seconds, and no further.
    start = first
    while start > 0 and (first - start < host_window or rows[first]["ts_ns"] - rows[start]["ts_ns"]
                         <= traffic_oracle.window_ns(time_window)):
        start -= 1
    want = traffic_oracle.features(rows[start:last], time_window=time_window, host_window=host_window)
    assert traffic_of(table.slice(first, last - first)) == want[first - start:]


BENCH_CAPTURE = os.path.join(ROOT, "bench", "out", "conn-1000000.pcap")


@pytest.mark.parametrize("capture", ["realistic"] + (["bench"] if os.path.exists(BENCH_CAPTURE) else []))
def test_kdd_invariants_over_every_row(request, capture):
    path = request.getfixturevalue("realistic") if capture == "realistic" else BENCH_CAPTURE
    table = kavrel.read_connections(path, columns=["uid", *TRAFFIC])
    assert table.num_rows > 5000

    def col(name):
        return table.column(name)

    def close(a, b):
        return pc.all(pc.less_equal(pc.abs(pc.subtract(a, b)), 1e-9)).as_py()

    for name in ("count", "srv_count", "dst_host_count", "dst_host_srv_count"):
        assert pc.min(col(name)).as_py() >= 1, name  # each connection counts itself
    assert pc.max(col("dst_host_count")).as_py() <= 100
    assert close(pc.multiply(col("dst_host_same_srv_rate"), col("dst_host_count").cast(pa.float64())),
                 col("dst_host_srv_count").cast(pa.float64()))
    assert close(pc.add(col("same_srv_rate"), col("diff_srv_rate")), 1.0)
    assert close(pc.add(col("dst_host_same_srv_rate"), col("dst_host_diff_srv_rate")), 1.0)
    for name in TRAFFIC:
        if name not in COUNTS:
            assert 0.0 <= pc.min(col(name)).as_py() and pc.max(col(name)).as_py() <= 1.0, name
    if capture == "realistic":  # the bench capture's other runs are the parallel tests' business
        assert kavrel.read_connections(path, columns=["uid", *TRAFFIC], jobs=2, chunk_bytes=1 << 20).equals(table)


@pytest.mark.parametrize("time_window, host_window", [(2.0, 100), (3.0, 3), (1e-9, 1), (2.5e-9, 2), (4.0, 150)])
@pytest.mark.parametrize("seed", [21, 22])
def test_traffic_columns_of_mixed_traffic_against_the_model(tmp_path, seed, time_window, host_window):
    # Nanosecond gaps, exact window edges and timestamps that go back.
    path = connection_mix.write(tmp_path / "mix.pcap", seed, n=800, back=0.1)
    settings = dict(ct.SETTINGS, time_window=time_window, host_window=host_window)
    table = kavrel.read_connections(path, **settings)
    want = traffic_oracle.features(oracle_rows(table), time_window=time_window, host_window=host_window)
    assert traffic_of(table) == want
    assert traffic_of(kavrel.read_connections(path, jobs=2, chunk_bytes=512, **settings)) == want


STDIN = """
import sys, pyarrow as pa, kavrel
table = kavrel.read_connections("-", close_delay=2.0, udp_timeout=5.0)
with pa.ipc.new_stream(sys.stdout.buffer, table.schema) as out:
    out.write_table(table)
"""


def test_standard_input_reads_as_the_file(mix):
    with open(mix, "rb") as fh:
        done = subprocess.run([sys.executable, "-c", STDIN], stdin=fh, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    got = pa.ipc.open_stream(done.stdout).read_all()
    assert got.equals(kavrel.read_connections(mix, close_delay=2.0, udp_timeout=5.0))
    with pytest.raises(ValueError, match="standard input"):
        kavrel.read_connections("-", jobs=2)
