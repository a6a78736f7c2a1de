"""The connection table as a Dask DataFrame is the one sequential pass's, row for row, on a
cluster of worker processes too: connections across shards and files, close delays and
timeouts across shard boundaries, traffic windows across partitions, clocks that go back."""

import glob
import os
import struct
import time
import warnings

import pytest

pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import kavrel  # noqa: E402
import kavrel.dask  # noqa: E402
import pcapgen as pg  # noqa: E402
from conftest import CORPUS  # noqa: E402
from kavrel import _engine, _shards  # noqa: E402
from traffic_oracle import features as traffic_definition  # noqa: E402

FIN, SYN, RST, ACK = 0x01, 0x02, 0x04, 0x10
T0 = 1_700_000_000.0
LONG = ("10.0.0.1", 40000, "10.0.0.2", 80)     # open from the first packets to the last
CLOSING = ("10.0.0.3", 41000, "10.0.0.4", 22)  # closed mid-way, then its key used again


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


def record(t: float, ip: bytes) -> pg.Record:
    sec = int(t // 1)
    return pg.Record(pg.eth(ip), ts_sec=sec, ts_usec=round((t - sec) * 1e6))


def tcp(t: float, key: tuple, flags: int, payload: bytes = b"", *, reply: bool = False) -> pg.Record:
    src, sport, dst, dport = key if not reply else (key[2], key[3], key[0], key[1])
    return record(t, pg.ipv4(src, dst, 6, pg.tcp(sport, dport, flags=flags, payload=payload)))


def udp(t: float, src: str, sport: int, dst: str, dport: int, payload: bytes = b"") -> pg.Record:
    return record(t, pg.ipv4(src, dst, 17, pg.udp(sport, dport, payload)))


def crafted(bait: bytes = b"") -> tuple[list[pg.Record], dict]:
    """Short UDP and TCP connections to a few hosts every 50 ms (windows of many rows), with
    LONG's packets spread over the whole capture, CLOSING closed near the middle, answered
    within the close delay and its key used again past it, and a stretch stamped 40 s in the
    past. Returns the records and which of them belong to LONG and CLOSING."""
    records, t = [], T0
    where: dict = {"long": [], "closing": []}

    def add(r: pg.Record, name: str | None = None) -> None:
        if name:
            where[name].append(len(records))
        records.append(r)

    add(tcp(t, LONG, SYN), "long")
    add(tcp(t + 0.001, LONG, SYN | ACK, reply=True), "long")
    add(tcp(t + 0.002, LONG, ACK), "long")
    for i in range(600):
        t += 0.05
        if i == 300:
            t -= 40.0  # the capture's clock goes back: these rows are older than the rows before them
        if i == 340:
            t += 40.0
        host = f"10.2.0.{i % 7}"
        if i % 5 == 4:   # a refused port: REJ
            add(tcp(t, ("10.1.0.9", 30000 + i, host, 1000 + i % 3), SYN))
            add(tcp(t + 0.001, ("10.1.0.9", 30000 + i, host, 1000 + i % 3), RST | ACK, reply=True))
        else:            # a DNS or NTP exchange
            port = 53 if i % 3 else 123
            add(udp(t, f"10.1.0.{i % 5}", 1024 + i, host, port, bait))
            add(udp(t + 0.002, host, port, f"10.1.0.{i % 5}", 1024 + i, b"answer"))
        if i % 40 == 20:
            add(tcp(t + 0.01, LONG, ACK, b"x" * (i % 90 + 1), reply=i % 80 == 20), "long")
        if i == 100:
            add(tcp(t, CLOSING, SYN), "closing")
            add(tcp(t + 0.001, CLOSING, SYN | ACK, reply=True), "closing")
            add(tcp(t + 0.002, CLOSING, ACK | FIN), "closing")
            add(tcp(t + 0.003, CLOSING, ACK | FIN, reply=True), "closing")
        if i == 140:  # 2 s after both FINs, within close_delay: the same connection
            add(tcp(t, CLOSING, ACK), "closing")
        if i == 260:  # 8 s after: a new connection of the same key
            add(tcp(t, CLOSING, ACK, b"late"), "closing")
    t += 0.05
    add(tcp(t, LONG, ACK | FIN), "long")
    add(tcp(t + 0.001, LONG, ACK | FIN, reply=True), "long")
    add(tcp(t + 0.002, LONG, ACK), "long")
    return records, where


def record_offsets(records: list[pg.Record]) -> list[int]:
    out, at = [], 24
    for r in records:
        out.append(at)
        at += 16 + len(r.frame)
    return out


def shard_of(offset: int, chunk_bytes: int) -> int:
    """The range a record starting at `offset` is read in (ranges are cut every chunk_bytes after the header)."""
    return max(0, (offset - 24) // chunk_bytes)


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    records, where = crafted()
    folder = tmp_path_factory.mktemp("connections")
    path = str(folder / "crafted.pcap")
    pg.write_pcap(path, records)
    # the same records cut into three files, a cut inside LONG and one between CLOSING's packets
    cuts = [0, where["long"][4] + 1, where["closing"][4], len(records)]
    parts = []
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        parts.append(str(folder / f"part-{k}.pcap"))
        pg.write_pcap(parts[-1], records[a:b])
    return {"path": path, "parts": parts, "records": records, "where": where}


def as_arrow(frame: pd.DataFrame, want: pa.Table) -> pa.Table:
    """A computed frame back in the engine's types, to compare with its table value for value."""
    return pa.Table.from_pandas(frame.reset_index(drop=True), preserve_index=False).cast(want.schema)


def assert_same(frame: dd.DataFrame, want: pa.Table) -> tuple[pa.Table, list[int]]:
    """The frame's rows equal to the table's; the frame as a table, and its partitions' sizes."""
    parts = dask.compute(*frame.to_delayed())
    table = as_arrow(pd.concat(parts), want)
    for name in want.column_names:  # the column that differs, named
        assert table.column(name).equals(want.column(name)), name
    assert table.equals(want)
    return table, [len(p) for p in parts]


def test_the_crafted_capture_is_what_the_tests_below_rely_on(capture):
    """LONG is one connection over three ranges, CLOSING's answer within the close delay lies in
    a later range and joins, and its key's packet past the delay starts a new one."""
    chunk = 2000
    offsets = record_offsets(capture["records"])
    assert len({shard_of(offsets[i], chunk) for i in capture["where"]["long"]}) >= 3
    fins, answer, late = capture["where"]["closing"][3], capture["where"]["closing"][4], capture["where"]["closing"][5]
    assert shard_of(offsets[fins], chunk) < shard_of(offsets[answer], chunk) < shard_of(offsets[late], chunk)
    want = kavrel.read_connections(capture["path"]).to_pylist()
    rows = {(r["orig_ip"], r["orig_port"], r["resp_ip"], r["resp_port"]): r
            for r in want if r["protocol_type"] == "TCP"}
    long = rows[LONG]
    # the handshake, 15 data packets (i = 20, 60, ..., 580; the 8 at i = 20 + 80m are replies), the close
    assert (long["orig_pkts"], long["resp_pkts"], long["conn_state"]) == (2 + 7 + 2, 1 + 8 + 1, "SF")
    closing = [r for r in want if (r["orig_ip"], r["orig_port"]) == CLOSING[:2]]
    assert [(r["orig_pkts"], r["resp_pkts"], r["conn_state"]) for r in closing] == [(3, 2, "SF"), (1, 0, "OTH")]
    # the stretch stamped in the past: rows whose ts is below an earlier row's by over 2 s
    ts = [r["ts"] for r in want]
    assert any(b < a - pd.Timedelta(seconds=30) for a, b in zip(ts, ts[1:]))


SETTINGS = [{}, {"udp_timeout": 0.6, "tcp_timeout": 3.0, "close_delay": 0.5, "time_window": 0.7, "host_window": 3},
            {"time_window": 9.0, "host_window": 250}]


def crafted_rows_are_the_sequential_rows(capture, settings, chunk_bytes):
    want = kavrel.read_connections(capture["path"], **settings)
    frame = kavrel.dask.read_connections(capture["path"], chunk_bytes=chunk_bytes, **settings)
    assert frame.npartitions == len(_shards.plan([capture["path"]], chunk_bytes))
    got, sizes = assert_same(frame, want)
    # the traffic columns also as their definition gives them, from the frame's own columns
    stamps = got.column("ts").cast(pa.int64()).to_pylist()
    rows = [dict(r, ts_ns=t) for r, t in zip(got.drop_columns(["ts", "last_ts"]).to_pylist(), stamps)]
    defined = traffic_definition(rows, **{k: v for k, v in settings.items() if k in ("time_window", "host_window")})
    assert [{k: r[k] for k in d} for r, d in zip(rows, defined)] == defined
    if chunk_bytes < 1 << 20:
        # partitions hold the connections that start in their range, and the time window of each
        # one's first row holds the row before it, in the partition before
        firsts = [sum(sizes[:k]) for k in range(1, len(sizes)) if sizes[k]]
        assert sum(sizes) == want.num_rows and len(firsts) > 10
        window = settings.get("time_window", 2.0) * 1e9
        assert all(stamps[i] - stamps[i - 1] <= window for i in firsts)


@pytest.mark.parametrize("settings", SETTINGS, ids=["defaults", "short", "wide-windows"])
def test_crafted_on_the_cluster_are_the_sequential_rows(client, capture, settings):
    crafted_rows_are_the_sequential_rows(capture, settings, 2000)


@pytest.mark.parametrize("settings", SETTINGS, ids=["defaults", "short", "wide-windows"])
@pytest.mark.parametrize("chunk_bytes", [512, 1 << 30])
def test_crafted_in_any_shards_are_the_sequential_rows(capture, settings, chunk_bytes):
    with dask.config.set(scheduler="synchronous"):
        crafted_rows_are_the_sequential_rows(capture, settings, chunk_bytes)


@pytest.mark.parametrize("chunk_bytes", [2000, 1 << 30])
def test_a_capture_split_into_files_is_one_capture(client, capture, chunk_bytes):
    want = kavrel.read_connections(capture["path"])
    assert kavrel.read_connections(capture["parts"]).equals(want)
    assert_same(kavrel.dask.read_connections(capture["parts"], chunk_bytes=chunk_bytes), want)


def corpus() -> list[str]:
    return sorted(glob.glob(os.path.join(CORPUS, "*.pcap*")))


def test_the_real_captures_on_the_cluster_are_the_sequential_rows(client):
    paths = corpus()
    want = kavrel.read_connections(paths)
    assert want.num_rows > 150
    assert_same(kavrel.dask.read_connections(paths, chunk_bytes=1 << 30), want)


def test_the_real_captures_in_small_ranges_are_the_sequential_rows():
    paths = corpus()
    want = kavrel.read_connections(paths)
    with dask.config.set(scheduler="synchronous"):
        frame = kavrel.dask.read_connections(paths, chunk_bytes=4096)
        assert frame.npartitions > 2 * len(paths)
        assert_same(frame, want)


@pytest.mark.parametrize("columns", [["uid", "service", "count", "dst_host_srv_count"], ["conn_state", "uid"],
                                     list(kavrel.KDD_COLUMNS)])
def test_chosen_columns(capture, columns):
    want = kavrel.read_connections(capture["path"], columns=columns)
    with dask.config.set(scheduler="synchronous"):
        assert_same(kavrel.dask.read_connections(capture["path"], columns=columns, chunk_bytes=1500), want)


@pytest.mark.parametrize("groups", [1, 3, 16])
def test_any_number_of_bucket_groups(monkeypatch, capture, groups):
    """However the buckets are dealt to assemblers, the table is the same."""
    monkeypatch.setattr(kavrel.dask, "_group_count", lambda: groups)
    want = kavrel.read_connections(capture["path"])
    with dask.config.set(scheduler="synchronous"):
        assert_same(kavrel.dask.read_connections(capture["path"], chunk_bytes=900), want)


def write_alerts(path, records: list[pg.Record], picks: list[int]) -> int:
    """A fast-alert log naming the UDP packets `picks` (and one alert at a time with no packet);
    returns how many name a connection."""
    lines = []
    for i in picks + [None]:
        r = records[i] if i is not None else pg.Record(b"", ts_sec=int(T0) - 3600)
        stamp = time.strftime("%m/%d/%y-%H:%M:%S", time.gmtime(r.ts_sec)) + f".{r.ts_usec:06d}"
        if i is None:
            lines.append(f"{stamp}  [**] [1:7:1] nothing [**] [Priority: 3] {{UDP}} 10.9.9.9:1 -> 10.9.9.8:2")
            continue
        src, dst = (".".join(map(str, r.frame[14 + 12:14 + 16])), ".".join(map(str, r.frame[14 + 16:14 + 20])))
        sport, dport = struct.unpack_from("!HH", r.frame, 34)
        lines.append(f"{stamp}  [**] [1:{1000 + i}:1] probe {i} [**] [Priority: {i % 4}] {{UDP}} "
                     f"{src}:{sport} -> {dst}:{dport}")
    path.write_text("\n".join(lines) + "\n")
    return len(picks)


def test_alerts_label_the_same_connections(client, capture, tmp_path):
    records = capture["records"]
    picks = [i for i, r in enumerate(records) if r.frame[14 + 9] == 17][::9]
    named = write_alerts(tmp_path / "fast.log", records, picks)
    with pytest.warns(kavrel.UnmatchedAlerts, match="1 alert labelled no connection"):
        want = kavrel.read_connections(capture["path"], alerts=tmp_path / "fast.log", alerts_tz="UTC")
    assert sum(want.column("alert_count").to_pylist()) == named  # each names the one connection of its packet
    got, _ = assert_same(kavrel.dask.read_connections(capture["path"], alerts=tmp_path / "fast.log",
                                                      alerts_tz="UTC", chunk_bytes=2500), want)
    assert got.column_names[-4:] == list(kavrel.LABEL_COLUMNS)


def test_written_to_parquet_reads_back_as_the_sequential_table(client, capture, tmp_path):
    want = kavrel.read_connections(capture["path"])
    frame = kavrel.dask.read_connections(capture["path"], chunk_bytes=3000)
    assert str(frame.dtypes["ts"]) == "timestamp[ns, tz=UTC][pyarrow]"
    assert str(frame.dtypes["uid"]) == "uint64[pyarrow]"
    assert frame.dtypes["conn_state"] == pd.StringDtype("pyarrow")
    frame.to_parquet(tmp_path / "connections", write_index=False, name_function=lambda i: f"part-{i:06d}.parquet")
    assert pq.read_table(tmp_path / "connections").cast(want.schema).equals(want)
    for back in (dd.read_parquet(tmp_path / "connections"), pd.read_parquet(tmp_path / "connections")):
        assert dict(back.dtypes) == dict(frame.dtypes)
        assert as_arrow(back if isinstance(back, pd.DataFrame) else back.compute(), want).equals(want)


def test_a_wrong_guess_of_a_record_start_is_read_again(capture, tmp_path):
    """Payloads that look like record headers: a range's guessed start is none of the file's records."""
    bait = b"".join(struct.pack("<IIII", int(T0), 0, 0, 0) for _ in range(12))
    records, _ = crafted(bait)
    path = tmp_path / "bait.pcap"
    pg.write_pcap(path, records)
    data = path.read_bytes()
    cut = data.index(bait, 5000) + 3
    native = _engine.EventShard((str(path), cut, len(data), True), 4, _engine.MemoryFile())
    native.read()
    assert native.bounds()[0] not in set(record_offsets(records))
    want = kavrel.read_connections(path)
    with dask.config.set(scheduler="synchronous"):
        assert_same(kavrel.dask.read_connections(path, chunk_bytes=cut - 24), want)


def damaged(capture, tmp_path, how: str) -> tuple[str, int]:
    """The crafted capture cut off in a record near its middle, or with a record there too long to be one."""
    data = open(capture["path"], "rb").read()
    at = 24
    while at < len(data) // 2:
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
    bad = data[:at + 20] if how == "cut" else data[:at + 8] + struct.pack("<I", 300_000) + data[at + 12:]
    path = tmp_path / "damaged.pcap"
    path.write_bytes(bad)
    return str(path), at


def sequential(paths) -> tuple[pa.Table, list[str]]:
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        table = kavrel.read_connections(paths)
    return table, [str(w.message) for w in seen if issubclass(w.category, kavrel.DamagedCapture)]


@pytest.mark.parametrize("how", ["cut", "huge record"])
def test_damage_ends_the_file_and_warns_as_one_pass_does(capture, tmp_path, how):
    path, at = damaged(capture, tmp_path, how)
    paths = [path, capture["parts"][2]]  # the file after it still counts its frames from the damage on
    want, want_warnings = sequential(paths)
    assert len(want_warnings) == 1 and f"at byte {at:,}" in want_warnings[0]
    with dask.config.set(scheduler="synchronous"), warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert_same(kavrel.dask.read_connections(paths, chunk_bytes=1500), want)
    assert [str(w.message) for w in seen if issubclass(w.category, kavrel.DamagedCapture)] == want_warnings
    damage = next(w.message for w in seen if issubclass(w.category, kavrel.DamagedCapture))
    assert (damage.path, damage.offset) == (path, at)


def test_damage_on_the_cluster_warns_in_the_client(client, capture, tmp_path):
    path, _ = damaged(capture, tmp_path, "cut")
    want, want_warnings = sequential([path])
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert_same(kavrel.dask.read_connections(path, chunk_bytes=2500), want)
        # the worker's warning reaches the client as an event, soon after the result
        deadline = time.monotonic() + 30
        while not any(issubclass(w.category, kavrel.DamagedCapture) for w in seen) and time.monotonic() < deadline:
            time.sleep(0.02)
    assert [str(w.message) for w in seen if issubclass(w.category, kavrel.DamagedCapture)] == want_warnings


def test_a_capture_gone_when_it_is_read_raises_naming_it(capture, tmp_path):
    path = tmp_path / "gone.pcap"
    path.write_bytes(open(capture["path"], "rb").read())
    frame = kavrel.dask.read_connections(path, chunk_bytes=2000)
    os.remove(path)
    with dask.config.set(scheduler="synchronous"), pytest.raises(OSError) as failed:
        frame.compute()
    assert str(path) in str(failed.value)


def test_bad_arguments_are_refused_before_anything_is_read(capture):
    with pytest.raises(ValueError, match="tcp_timeout"):
        kavrel.dask.read_connections(capture["path"], tcp_timeout=0)
    with pytest.raises(ValueError, match="host_window"):
        kavrel.dask.read_connections(capture["path"], host_window=0)
    with pytest.raises(ValueError):
        kavrel.dask.read_connections(capture["path"], columns=["nonsense"])
    with pytest.raises(ValueError, match="standard input"):
        kavrel.dask.read_connections("-")
    with pytest.raises(FileNotFoundError):
        kavrel.dask.read_connections(capture["path"] + ".missing")


def test_events_sent_whole_from_a_file_used_before_assemble_the_same(capture):
    """A memory file that held another shard before does not lie as blocks end to end: each
    group is then sent the whole file, and assembles the same rows."""
    groups = [[0], [1]]  # two buckets: the whole capture fills more blocks of them than the part
    rows = []
    for reuse in (False, True):
        memory = _engine.MemoryFile()
        if reuse:  # the whole capture first: more than the part read after it
            _shards.read(_shards.Task(_shards.Shard(capture["path"]), "connections", [], 1000, buckets=2),
                         None, memory)
            memory.reset()
        task = _shards.Task(_shards.Shard(capture["parts"][1]), "connections", [], 1000, buckets=2)
        summary, events = _shards.read(task, None, memory)
        pieces = _shards.events_by_group(events, memory, groups)
        whole = memory.capacity()
        assert all(len(p.data) == whole for p in pieces) == reuse
        made = []
        for buckets, piece in zip(groups, pieces):
            out = kavrel.dask._assemble(kavrel._checks.ConnectionSettings(), buckets,
                                        [kavrel.dask._Piece(summary.frames, piece)])
            made.append(out[0])
        rows.append(kavrel.dask._merged(made))
    assert rows[0] == rows[1] and len(rows[0]) == 144 * kavrel.read_connections(capture["parts"][1]).num_rows
