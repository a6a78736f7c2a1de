"""Traffic features (count, srv_count, the dst_host_* columns) against values worked out by hand."""

from __future__ import annotations

import errno
import random
from fractions import Fraction as F

import pytest

from traffic_oracle import features, test_native_equals_definition  # noqa: F401  (collected here)
from traffic_util import COLUMNS, MODES, traffic_features

S = 1_000_000_000  # ns


def conn(uid, ts_ns, resp_ip="10.0.0.1", service="http", orig_port=40000, conn_state="SF"):
    return {"uid": uid, "ts_ns": ts_ns, "resp_ip": resp_ip, "service": service, "orig_port": orig_port,
            "conn_state": conn_state}


def run_every_way(rows, **kwargs) -> list[dict]:
    """The rows by uid, after checking that file, live (ends in reverse) and partitioned runs agree."""
    file = traffic_features(rows, mode="file", **kwargs)
    live = traffic_features(rows, mode="live", end_order=[r["uid"] for r in reversed(rows)], **kwargs)
    live = sorted(({k: v for k, v in r.items() if k != "final_at"} for r in live), key=lambda r: r["uid"])
    parts = traffic_features(rows, mode="partitioned", splits=[r["uid"] for r in rows[1::3]], **kwargs)
    assert file == live == parts
    return file


# -- the worked example of the README: five connections by hand --

EXAMPLE = [
    conn(1, 0, "10.0.0.5", "http", 40001, "SF"),
    conn(2, S // 2, "10.0.0.5", "http", 40002, "S0"),
    conn(3, 12 * S // 10, "10.0.0.9", "http", 40002, "REJ"),
    conn(4, 24 * S // 10, "10.0.0.5", "smtp", 40002, "S0"),
    conn(5, 26 * S // 10, "10.0.0.5", "http", 40001, "SF"),
]
# Each row of the worked example's table: the 19 columns in order, for connections 1 to 5.
EXAMPLE_VALUES = {
    1: [1, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0],
    2: [2, 2, F(1, 2), F(1, 2), 0, 0, 1, 0, 0, 2, 2, 1, 0, F(1, 2), 0, F(1, 2), F(1, 2), 0, 0],
    3: [1, 3, 0, F(1, 3), 1, F(1, 3), 1, 0, F(2, 3), 1, 1, 1, 0, 1, F(2, 3), 0, F(1, 3), 1, F(1, 3)],
    4: [2, 1, 1, 1, 0, 0, F(1, 2), F(1, 2), 0, 3, 1, F(1, 3), F(2, 3), F(2, 3), 0, F(2, 3), 1, 0, 0],
    5: [2, 2, F(1, 2), 0, 0, F(1, 2), F(1, 2), F(1, 2), F(1, 2), 4, 3, F(3, 4), F(1, 4), F(1, 2), F(1, 4),
        F(1, 2), F(1, 4), 0, F(1, 4)],
}


@pytest.mark.parametrize("uid", sorted(EXAMPLE_VALUES))
def test_worked_example(uid):
    row = next(r for r in run_every_way(EXAMPLE) if r["uid"] == uid)
    # The nearest double to each fraction is what a / b in double gives.
    assert [row[c] for c in COLUMNS] == [float(v) for v in EXAMPLE_VALUES[uid]]


# -- scans and floods --

@pytest.mark.parametrize(("state", "syn", "rej"), [
    ("S0", 1.0, 0.0), ("S1", 1.0, 0.0), ("S2", 1.0, 0.0), ("S3", 1.0, 0.0),
    ("REJ", 0.0, 1.0), ("SF", 0.0, 0.0), ("RSTO", 0.0, 0.0), ("RSTOS0", 0.0, 0.0), ("SH", 0.0, 0.0),
])
def test_flood_to_one_host(state, syn, rej):
    # 30 connections to one host and service, 50 ms apart: all within 2 s of each other.
    rows = [conn(k, k * S // 20, orig_port=1024 + k, conn_state=state) for k in range(30)]
    got = run_every_way(rows)
    assert [r["count"] for r in got] == list(range(1, 31))
    assert [r["dst_host_count"] for r in got] == list(range(1, 31))
    for r in got:
        assert (r["serror_rate"], r["srv_serror_rate"], r["dst_host_serror_rate"]) == (syn, syn, syn)
        assert (r["rerror_rate"], r["srv_rerror_rate"], r["dst_host_srv_rerror_rate"]) == (rej, rej, rej)
        assert r["same_srv_rate"] == r["dst_host_same_srv_rate"] == 1.0
    # Every source port differs: only c itself shares c's.
    assert [r["dst_host_same_src_port_rate"] for r in got] == [1 / k for k in range(1, 31)]


@pytest.mark.parametrize("gap_ns", [S // 100, S // 10])
def test_vertical_scan(gap_ns):
    # One host, a new service each time: the k-th connection shares its service with none of the others.
    rows = [conn(k, k * gap_ns, service=f"svc{k}", conn_state="REJ") for k in range(15)]
    got = run_every_way(rows)
    for k, r in enumerate(got, start=1):
        assert (r["count"], r["srv_count"], r["dst_host_srv_count"]) == (k, 1, 1)
        assert r["same_srv_rate"] == 1 / k and r["diff_srv_rate"] == (k - 1) / k
        assert r["dst_host_diff_srv_rate"] == (k - 1) / k
        assert r["srv_diff_host_rate"] == 0.0


@pytest.mark.parametrize("gap_ns", [S // 100, S // 10])
def test_horizontal_scan(gap_ns):
    # One service, a new host each time (IPv4 and IPv6).
    hosts = [f"10.0.1.{k}" if k % 2 else f"2001:db8::{k:x}" for k in range(15)]
    rows = [conn(k, k * gap_ns, resp_ip=h, service="ssh", conn_state="S0") for k, h in enumerate(hosts)]
    got = run_every_way(rows)
    for k, r in enumerate(got, start=1):
        assert (r["count"], r["srv_count"], r["dst_host_count"]) == (1, k, 1)
        assert r["srv_diff_host_rate"] == r["dst_host_srv_diff_host_rate"] == (k - 1) / k
        assert r["srv_serror_rate"] == r["dst_host_srv_serror_rate"] == 1.0


# -- window edges --

@pytest.mark.parametrize(("time_window", "gap_ns", "count"), [
    (2.0, 2 * S, 2),          # exactly 2.0 s apart: inside
    (2.0, 2 * S + 1, 1),      # 1 ns more: outside
    (2.0, 2 * S - 1, 2),
    (0.5, S // 2, 2),
    (0.5, S // 2 + 1, 1),
    (1e-9, 1, 2),             # a 1 ns window
    (1e-9, 2, 1),
    (2.5e-9, 3, 2),           # 2.5 ns rounds away from zero, to 3
    (2.5e-9, 4, 1),
])
def test_time_window_edge(time_window, gap_ns, count):
    rows = [conn(1, 10 * S), conn(2, 10 * S + gap_ns)]
    got = run_every_way(rows, time_window=time_window)
    assert [r["count"] for r in got] == [1, count]
    assert got[1]["srv_count"] == count


@pytest.mark.parametrize(("position", "host_window", "dst_host_count"), [
    (99, 100, 2),   # the 100th connection still sees the first
    (100, 100, 1),  # the 101st does not
    (100, 101, 2),
    (101, 101, 1),
])
def test_host_window_edge(position, host_window, dst_host_count):
    # Connections 10 s apart (time windows of one); the first and the last to 10.0.0.1, the rest elsewhere.
    rows = [conn(k, k * 10 * S, resp_ip="10.0.0.1" if k in (0, position) else f"10.1.{k // 250}.{k % 250}",
                 orig_port=None, conn_state="S0") for k in range(position + 1)]
    last = run_every_way(rows, host_window=host_window)[-1]
    assert (last["count"], last["dst_host_count"], last["dst_host_srv_count"]) == (1, dst_host_count,
                                                                                  dst_host_count)
    in_window = min(position + 1, host_window)
    assert last["dst_host_srv_diff_host_rate"] == float(F(in_window - dst_host_count, in_window))
    assert last["dst_host_same_src_port_rate"] == 1.0  # null ports are the same port


@pytest.mark.parametrize(("seconds", "counts"), [
    # 0 takes 5 (a negative gap, within the window); 5.5 stops at 0 (5.5 s older) and leaves out 5,
    # which is within the window again.
    ([5, 0, 5.5], [1, 2, 1]),
    # 10 stops at 0; 1 takes 10 (-9 s) and 0 (1 s).
    ([0, 10, 1], [1, 1, 3]),
    # ... and 9 stops at 1 (8 s older).
    ([0, 10, 1, 9], [1, 1, 3, 1]),
    # 103 stops at 100 (3 s older); 0, older than all, takes every one.
    ([100, 101, 102, 103, 0], [1, 2, 3, 3, 5]),
    # 9 takes 10; 11 takes 9 and 10; 12.5 takes 11 and stops at 9; 11.5 takes 12.5 and 11, stops at 9.
    ([10, 9, 11, 12.5, 11.5], [1, 2, 3, 2, 3]),
])
def test_timestamps_that_go_back(seconds, counts):
    rows = [conn(k, int(t * S)) for k, t in enumerate(seconds)]
    assert [r["count"] for r in run_every_way(rows)] == counts


@pytest.mark.parametrize(("first", "second", "same"), [
    ("10.0.0.1", "10.0.0.1", True),
    ("10.0.0.1", "10.0.0.2", False),
    ("10.0.0.1", "::ffff:10.0.0.1", False),   # another IP version
    ("10.0.0.1", "a00:1::", False),           # the same first four bytes, another version
    ("2001:db8::1", "2001:db8:0:0::1", True),  # one address, two spellings
])
def test_same_host(first, second, same):
    got = run_every_way([conn(1, 0, resp_ip=first), conn(2, 1, resp_ip=second)])
    assert got[1]["count"] == got[1]["dst_host_count"] == (2 if same else 1)
    assert got[1]["srv_diff_host_rate"] == (0.0 if same else 0.5)


@pytest.mark.parametrize(("first", "second", "rate"), [
    (None, None, 1.0),  # null equals null
    (None, 0, 0.5),     # and no number
    (0, 0, 1.0),
    (80, 8080, 0.5),
])
def test_same_source_port(first, second, rate):
    got = run_every_way([conn(1, 0, orig_port=first), conn(2, 1, orig_port=second)])
    assert got[1]["dst_host_same_src_port_rate"] == rate


# -- live: a row waits only for the connections in its windows --

@pytest.mark.parametrize(("end_order", "final_at"), [
    # Connection 0 stays open to the end. Host window 3: rows 1 and 2 see it, 3 and 4 do not.
    ([1, 2, 3, 4, 0], {3: 2, 4: 3, 0: 4, 1: 4, 2: 4}),
    # In table order each row is final at its own end.
    ([0, 1, 2, 3, 4], {0: 0, 1: 1, 2: 2, 3: 3, 4: 4}),
    # 4 ends first but needs 2 and 3; 2 and 3 need 1; 1 needs 0.
    ([4, 3, 2, 1, 0], {4: 2, 3: 3, 2: 4, 1: 4, 0: 4}),
])
def test_live_rows_wait_for_their_windows(end_order, final_at):
    rows = [conn(k, k * 10 * S, resp_ip=f"10.0.0.{k}") for k in range(5)]
    got = traffic_features(rows, mode="live", host_window=3, end_order=end_order)
    assert {r["uid"]: r["final_at"] for r in got} == final_at
    # Handed out in finality order, and by uid among rows final at the same end.
    assert [(r["final_at"], r["uid"]) for r in got] == sorted((k, u) for u, k in final_at.items())
    assert sorted(got, key=lambda r: r["uid"]) == [dict(r, final_at=final_at[r["uid"]]) for r in
                                                   traffic_features(rows, host_window=3)]


# -- long sequences: invariants, partitions, history in the temporary file --

def random_table(n: int, seed: int, *, back: float) -> list[dict]:
    """n connections over 300 hosts and 70 services, mostly 1 ms apart, with a share `back` going back."""
    rng = random.Random(seed)
    rows, ts = [], 1_700_000_000 * S
    for uid in range(n):
        rows.append(conn(uid, ts, f"10.0.{rng.randrange(2)}.{rng.randrange(150)}", f"s{rng.randrange(70)}",
                         rng.choice([None, 53, 1024 + rng.randrange(8)]),
                         rng.choice(["SF"] * 6 + ["S0", "S1", "REJ", "RSTO"])))
        step = rng.randrange(2 * S // 1000)
        if rng.random() < back:
            step = -rng.choice([S // 2, 2 * S, 30 * S])
        ts += step
    return rows


@pytest.mark.parametrize("back", [0.0, 0.001])
def test_invariants_over_a_long_sequence(back):
    got = traffic_features(random_table(20_000, 1, back=back))
    for r in got:
        assert r["count"] >= 1 and r["srv_count"] >= 1 and r["dst_host_srv_count"] >= 1
        assert r["dst_host_same_srv_rate"] * r["dst_host_count"] == pytest.approx(r["dst_host_srv_count"],
                                                                                  abs=1e-9)
        assert r["same_srv_rate"] + r["diff_srv_rate"] == pytest.approx(1.0, abs=1e-9)
        assert r["dst_host_same_srv_rate"] + r["dst_host_diff_srv_rate"] == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("history_bytes", [None, 16, 4096])
@pytest.mark.parametrize("splits", [[1], [2500, 2501], list(range(100, 4000, 397))])
def test_partitions_equal_one_pass(splits, history_bytes):
    rows = random_table(4000, 2, back=0.002)
    whole = traffic_features(rows)
    assert traffic_features(rows, mode="partitioned", splits=splits, history_bytes=history_bytes) == whole
    assert whole[:300] == features(rows[:300])


@pytest.mark.parametrize(("mode", "history_bytes"), [("file", 16), ("file", 1600), ("live", 1600)])
def test_history_beyond_its_bound_goes_to_the_temporary_file(mode, history_bytes):
    rows = random_table(5000, 3, back=0.003)
    kwargs = {"end_order": [r["uid"] for r in rows]} if mode == "live" else {}
    stats = {}
    got = traffic_features(rows, mode=mode, history_bytes=history_bytes, stats=stats, **kwargs)
    got = [{k: v for k, v in r.items() if k != "final_at"} for r in got]
    assert got == traffic_features(rows)
    assert stats["spill_errno"] == 0 and stats["spilled"] >= 5000 - history_bytes // 16
    assert stats["peak_in_memory"] <= max(history_bytes // 16, 1)


@pytest.mark.parametrize("tmpdir_name", ["missing", "a-file"])
def test_history_stays_in_memory_when_no_temporary_file_can_be_made(tmp_path, tmpdir_name):
    (tmp_path / "a-file").write_text("")
    rows = random_table(3000, 4, back=0.003)
    stats = {}
    got = traffic_features(rows, history_bytes=160, stats=stats, tmpdir=str(tmp_path / tmpdir_name))
    assert got == traffic_features(rows)
    assert stats["spill_errno"] in (errno.ENOENT, errno.ENOTDIR)
    assert (stats["spilled"], stats["peak_in_memory"]) == (0, 3000)


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"time_window": 0.0}, "time_window"),
    ({"time_window": -2.0}, "time_window"),
    ({"time_window": float("nan")}, "time_window"),
    ({"time_window": 1e10}, "time_window"),
    ({"host_window": 0}, "host_window"),
    ({"host_window": 2**32}, "host_window"),
])
def test_settings_refused(kwargs, message):
    with pytest.raises(RuntimeError, match=message):
        traffic_features([conn(1, 0)], **kwargs)


@pytest.mark.parametrize("mode", MODES)
def test_uids_must_increase(mode):
    with pytest.raises(RuntimeError, match="increasing uid order"):
        traffic_features([conn(5, 0), conn(4, 1)], mode=mode)
