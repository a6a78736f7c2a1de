"""Reading in shards on many cores gives the rows of one sequential pass, value for
value and in order, the 2-second count included; failures end the run."""

import os
import signal
import struct
import subprocess
import sys
import textwrap
import time
import warnings

import pyarrow as pa
import pytest

import kavrel
import pcapgen as pg
from kavrel import _checks, _engine, _shards, parallel


def packet(dst: str, t: float, *, src="10.0.0.1", sport=1000, payload=b"") -> pg.Record:
    v6 = ":" in dst
    ip = (pg.ipv6(src if ":" in src else "2001:db8::1", dst, 17, pg.udp(sport, 53, payload)) if v6
          else pg.ipv4(src, dst, 17, pg.udp(sport, 53, payload)))
    sec = int(t // 1)
    return pg.Record(pg.eth(ip, pg.ETH_IPV6 if v6 else pg.ETH_IPV4), ts_sec=sec, ts_usec=round((t - sec) * 1e6))


def adversarial() -> list[pg.Record]:
    """Chains that cross many shards, sleep through some, restart at exactly 2.0 s, go back in time."""
    records, t = [], 1_700_000_000.0
    for i in range(3000):
        t += 0.25 if i % 97 else 2.0  # now and then a gap of exactly 2.0 s: the chain continues
        records.append(packet("10.9.9.9", t, sport=i % 50))                  # one chain through everything
        if i % 500 < 20:
            records.append(packet("192.0.2.7", t + 0.1))                    # away for most shards
        if i % 300 == 0:
            records.append(packet("198.51.100.1", t - 3.0))                 # stamped well in the past
            records.append(packet("2001:db8::dead", t + (2.5 if i % 600 else 1.99)))  # restarts or not
        if i % 7 == 0:
            records.append(packet("2001:db8::beef", t, payload=bytes(i % 300)))
    return records


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("shards") / "adversarial.pcap"
    pg.write_pcap(path, adversarial())
    return str(path)


@pytest.mark.parametrize("jobs", [2, 0])
@pytest.mark.parametrize("chunk_bytes", [700, 10_000, 1 << 30])
def test_one_file_in_ranges_counts_as_one_pass(capture, jobs, chunk_bytes):
    want = kavrel.read_features(capture, columns=["dst_ip"])
    got = kavrel.read_features(capture, columns=["dst_ip"], jobs=jobs, chunk_bytes=chunk_bytes)
    assert got.equals(want)
    assert len(_shards.plan([capture], chunk_bytes)) == (1 if chunk_bytes > os.path.getsize(capture) else
                                                          len(range(24 + chunk_bytes, os.path.getsize(capture),
                                                                    chunk_bytes)) + 1)


def test_many_files_with_chains_across_them(tmp_path):
    records = adversarial()
    paths = []
    for k in range(0, len(records), 150):  # cuts between packets of the same chain, 2 s gaps at some
        paths.append(str(tmp_path / f"part-{k:05d}.pcap"))
        pg.write_pcap(paths[-1], records[k:k + 150])
    pg.write_pcap(tmp_path / "all.pcap", records)
    want = kavrel.read_features(paths)
    assert want.equals(kavrel.read_features(tmp_path / "all.pcap"))
    for jobs, chunk in [(2, 1 << 30), (2, 2000), (3, 5000)]:
        assert kavrel.read_features(paths, jobs=jobs, chunk_bytes=chunk).equals(want)
    assert kavrel.read_packets(paths, jobs=2, chunk_bytes=3000).equals(kavrel.read_packets(paths))


def fake_records(n: int, sec: int) -> bytes:
    """Bytes that look like a run of empty pcap records: what a guessed cut may land on."""
    return b"".join(struct.pack("<IIII", sec, 0, 0, 0) for _ in range(n))


def test_a_wrong_guess_of_a_record_start_is_read_again(tmp_path):
    bait = fake_records(12, 1_700_000_000)
    records = [packet(f"10.1.{i % 200}.1", 1_700_000_000 + i * 0.01, payload=bait) for i in range(400)]
    path = tmp_path / "bait.pcap"
    pg.write_pcap(path, records)
    data = path.read_bytes()
    # A cut inside the bait: the first plausible start there is none of the file's records.
    cut = data.index(bait, 5000) + 3
    native = _engine.Scan([(str(path), cut, len(data), True)], "features", [], 1000)
    true_starts = set()
    at = 24
    while at < len(data):
        true_starts.add(at)
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
    assert native.bounds()[0] not in true_starts
    chunk = cut - 24
    assert kavrel.read_features(path, jobs=2, chunk_bytes=chunk).equals(kavrel.read_features(path))


@pytest.mark.parametrize("damage", ["cut", "huge record"])
def test_damage_in_a_range_stops_the_file_as_one_pass_does(tmp_path, capture, damage):
    data = open(capture, "rb").read()
    at = 24
    while at < len(data) // 2:
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
    bad = data[:at + 20] if damage == "cut" else data[:at + 8] + struct.pack("<I", 300_000) + data[at + 12:]
    path = tmp_path / "damaged.pcap"
    path.write_bytes(bad)
    runs = []
    for kwargs in ({}, {"jobs": 2, "chunk_bytes": 5000}):
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            table = kavrel.read_features([path, capture], **kwargs)
        runs.append((table, [str(w.message) for w in seen]))
    (want, want_warnings), (got, got_warnings) = runs
    assert got.equals(want)
    assert got_warnings == want_warnings and len(want_warnings) == 1 and f"at byte {at:,}" in want_warnings[0]


def test_labels_with_many_workers(tmp_path):
    records = [packet(f"10.2.0.{i % 9}", 1_700_000_000 + i * 0.003, sport=2000 + i % 40) for i in range(900)]
    pg.write_pcap(tmp_path / "x.pcap", records)
    lines = []
    for i, r in list(enumerate(records))[::7] + [(0, pg.Record(b"", ts_sec=1, ts_usec=0))]:
        stamp = time.strftime("%m/%d/%y-%H:%M:%S", time.gmtime(r.ts_sec)) + f".{r.ts_usec:06d}"
        lines.append(f"{stamp}  [**] [1:9:1] m [**] [Priority: 1] {{UDP}} 10.0.0.1:{2000 + i % 40} "
                     f"-> 10.2.0.{i % 9}:53")
    (tmp_path / "fast.log").write_text("\n".join(lines) + "\n")
    runs = []
    for kwargs in ({}, {"jobs": 2, "chunk_bytes": 4000}):
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            table = kavrel.read_features(tmp_path / "x.pcap", alerts=tmp_path / "fast.log", alerts_tz="UTC",
                                         **kwargs)
        runs.append((table, [str(w.message) for w in seen]))
    (want, want_warnings), (got, got_warnings) = runs
    assert got.equals(want) and sum(want.column("alert_count").to_pylist()) == len(lines) - 1
    assert got_warnings == want_warnings == ["1 alert labelled no packet"]


@pytest.mark.parametrize("kwargs, error", [
    (dict(jobs=-1), ValueError), (dict(jobs=1.5), ValueError), (dict(chunk_bytes=0), ValueError),
])
def test_bad_settings(capture, kwargs, error):
    with pytest.raises(error):
        kavrel.read_features(capture, **kwargs)


def test_standard_input_is_read_in_one_pass_only(capture):
    with pytest.raises(ValueError, match="standard input"):
        with open(capture, "rb") as fh:
            os.dup2(fh.fileno(), 0)
            kavrel.read_features("-", jobs=2)


def worker_pids() -> list[int]:
    pids = []
    for task in os.listdir(f"/proc/{os.getpid()}/task"):
        with open(f"/proc/{os.getpid()}/task/{task}/children") as fh:
            pids += [int(p) for p in fh.read().split()]
    return pids


def test_a_worker_that_dies_ends_the_run_naming_the_shard(capture):
    parallel.shutdown()
    reader = kavrel.scan_features(capture, jobs=2, chunk_bytes=700, batch_size=10)
    reader.read_next_batch()
    for pid in worker_pids():
        os.kill(pid, signal.SIGKILL)
    with pytest.raises(RuntimeError, match=rf"^{capture} \(from byte [\d,]+\): the worker (reading it|given it had) died"):
        for _ in reader:
            pass
    # the next run starts new workers
    assert kavrel.read_features(capture, jobs=2, chunk_bytes=5000).num_rows > 0


INTERRUPTED = """
import kavrel, os, sys
reader = kavrel.scan_features([{path!r}] * 200, jobs=3, chunk_bytes=800)
reader.read_next_batch()
print(os.getpid(), flush=True)
for _ in reader:
    pass
"""


def test_ctrl_c_stops_every_worker(capture):
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED.format(path=capture))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    pid = int(proc.stdout.readline())
    with open(f"/proc/{pid}/task/{pid}/children") as fh:
        workers = [int(p) for p in fh.read().split()]
    assert len(workers) == 2  # beside the reader on a thread of the parent
    os.kill(pid, signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert "KeyboardInterrupt" in err
    for w in workers:  # gone, not orphaned
        assert not os.path.exists(f"/proc/{w}") or open(f"/proc/{w}/stat").read().split()[2] == "Z"


@pytest.mark.parametrize("chunk_bytes", [1, 100, 600])
def test_the_smallest_chunks_are_raised_and_their_rows_gathered(capture, chunk_bytes):
    # However small the chunks asked for, the plan costs nothing to keep and the rows come in
    # batches of about batch_size, not one per shard.
    assert _checks.chunk_bytes(chunk_bytes) == max(chunk_bytes, _checks.MIN_CHUNK_BYTES)
    want = kavrel.read_features(capture, columns=["dst_ip"])
    batches = list(kavrel.scan_features(capture, columns=["dst_ip"], jobs=2, chunk_bytes=chunk_bytes,
                                        batch_size=1000))
    shards = len(_shards.plan([capture], _checks.chunk_bytes(chunk_bytes)))
    assert shards > 100
    assert pa.Table.from_batches(batches).equals(want)
    assert all(b.num_rows >= 250 for b in batches[:-1]) and len(batches) <= want.num_rows // 250 + 1


def test_standard_input_is_refused_for_many_jobs_before_it_is_read():
    # standard input a pipe that says nothing: the refusal cannot wait for it
    code = "import kavrel\ntry:\n    kavrel.read_features('-', jobs=2)\nexcept ValueError as exc:\n    print(exc)\n"
    proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        out, _ = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert "standard input cannot be read in parallel" in out


@pytest.mark.parametrize("table", ["packets", "features", "connections"])
@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_a_file_gone_before_its_turn_fails_after_the_rows_before_it(tmp_path, table, jobs):
    """Every file is opened first, so one that goes away later fails when its turn comes; the
    rows of the files before it come first, at any parallelism, and the error names it."""
    import shutil

    import kavrel

    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    names = ["http", "scan", "dns"]
    paths = [str(tmp_path / f"{n}.pcap") for n in names]
    for name, path in zip(names, paths):
        shutil.copy(os.path.join(root, "examples", "linux", f"{name}.pcap"), path)
    scan = getattr(kavrel, f"scan_{table}")
    whole = getattr(kavrel, f"read_{table}")(paths[:1])
    reader = scan(paths, jobs=jobs, chunk_bytes=512)
    os.remove(paths[1])
    got = []
    with pytest.raises(FileNotFoundError, match=r"scan\.pcap: No such file or directory"):
        for batch in reader:
            got.append(batch)
    assert pa.Table.from_batches(got, whole.schema).equals(whole)
