"""The traffic features again, straight from their definition, in plain Python.

For each connection: walk back through the table while it is within time_window
of it (stopping at the first older one), take the host_window connections
ending with it, and count. Slow and plain on purpose; the native values must
equal these exactly, in every way of feeding them.
"""

from __future__ import annotations

import ipaddress
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from traffic_util import MODES, traffic_features

SYN_ERRORS = frozenset({"S0", "S1", "S2", "S3"})
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def window_ns(seconds: float) -> int:
    """llround(seconds * 1e9): the product in double, halves away from zero."""
    x = seconds * 1e9
    whole = math.floor(x)
    return whole + (1 if x - whole >= 0.5 else 0)


def host(row):
    # ip_address tells 10.0.0.1 from ::ffff:10.0.0.1: address and IP version both.
    return ipaddress.ip_address(row["resp_ip"])


def time_window_members(rows, i: int, w_ns: int) -> list[int]:
    members, j = [], i
    while j >= 0 and rows[i]["ts_ns"] - rows[j]["ts_ns"] <= w_ns:
        members.append(j)
        j -= 1
    return members


def host_window_members(i: int, host_window: int) -> list[int]:
    return list(range(max(0, i - host_window + 1), i + 1))


def share(part, whole) -> float:
    return len(part) / len(whole) if whole else 0.0


def features(rows, *, time_window: float = 2.0, host_window: int = 100) -> list[dict]:
    w_ns = window_ns(time_window)
    out = []
    for i, c in enumerate(rows):
        tw = [rows[j] for j in time_window_members(rows, i, w_ns)]
        hw = [rows[j] for j in host_window_members(i, host_window)]

        def syn(rs):
            return [r for r in rs if r["conn_state"] in SYN_ERRORS]

        def rej(rs):
            return [r for r in rs if r["conn_state"] == "REJ"]

        same_host = [r for r in tw if host(r) == host(c)]
        same_srv = [r for r in tw if r["service"] == c["service"]]
        dst_host = [r for r in hw if host(r) == host(c)]
        dst_host_srv = [r for r in dst_host if r["service"] == c["service"]]
        window_srv = [r for r in hw if r["service"] == c["service"]]
        out.append({
            "uid": c["uid"],
            "count": len(same_host),
            "srv_count": len(same_srv),
            "serror_rate": share(syn(same_host), same_host),
            "srv_serror_rate": share(syn(same_srv), same_srv),
            "rerror_rate": share(rej(same_host), same_host),
            "srv_rerror_rate": share(rej(same_srv), same_srv),
            "same_srv_rate": share([r for r in same_host if r["service"] == c["service"]], same_host),
            "diff_srv_rate": share([r for r in same_host if r["service"] != c["service"]], same_host),
            "srv_diff_host_rate": share([r for r in same_srv if host(r) != host(c)], same_srv),
            "dst_host_count": len(dst_host),
            "dst_host_srv_count": len(dst_host_srv),
            "dst_host_same_srv_rate": share(dst_host_srv, dst_host),
            "dst_host_diff_srv_rate": share([r for r in dst_host if r["service"] != c["service"]], dst_host),
            # None == None: portless connections share their "port".
            "dst_host_same_src_port_rate": share([r for r in dst_host if r["orig_port"] == c["orig_port"]], dst_host),
            "dst_host_srv_diff_host_rate": share([r for r in window_srv if host(r) != host(c)], window_srv),
            "dst_host_serror_rate": share(syn(dst_host), dst_host),
            "dst_host_srv_serror_rate": share(syn(window_srv), window_srv),
            "dst_host_rerror_rate": share(rej(dst_host), dst_host),
            "dst_host_srv_rerror_rate": share(rej(window_srv), window_srv),
        })
    return out


def handout(rows, end_order, *, time_window: float = 2.0, host_window: int = 100) -> list[tuple[int, int]]:
    """(final_at, uid) of every row in the order a live run hands them out: a row is final after the first
    end at which it and every connection of its two windows have ended; rows final at the same end come in
    uid order."""
    w_ns = window_ns(time_window)
    position = {r["uid"]: i for i, r in enumerate(rows)}
    needs = [set(time_window_members(rows, i, w_ns)) | set(host_window_members(i, host_window))
             for i in range(len(rows))]
    ended, out, done = set(), [], set()
    for k, uid in enumerate(end_order):
        ended.add(position[uid])
        for i in range(len(rows)):
            if i not in done and needs[i] <= ended:
                out.append((k, rows[i]["uid"]))
                done.add(i)
    return out


# -- random tables: few hosts and services, gaps around the window, timestamps that go back --

# a00:1:: has the bytes of 10.0.0.1 followed by zeros: only the IP version tells them apart.
HOSTS = ("10.0.0.1", "10.0.0.2", "192.0.2.7", "2001:db8::1", "::ffff:10.0.0.1", "a00:1::")
SERVICES = ("http", "smtp", "domain_u", "private")
STATES = ("SF", "S0", "S1", "S2", "S3", "REJ", "RSTO", "RSTR", "RSTOS0", "SH", "OTH")
PORTS = (None, 0, 1024, 1025, 80)
STARTS = (0, 1_700_000_000 * 10**9, INT64_MIN + 3, INT64_MAX - 10**12)
WINDOWS = (2.0, 3e-9, 2.5e-9, 1e-9)


@st.composite
def tables(draw, mode: str):
    time_window = draw(st.sampled_from(WINDOWS))
    w = window_ns(time_window)
    gap = st.sampled_from((0, 1, w - 1, w, w + 1, 2 * w, -1, -w, -w - 1, -5 * w - 3, 10 * w))
    n = draw(st.integers(1, 40))
    ts = draw(st.sampled_from(STARTS))
    uid = draw(st.integers(0, 5))
    rows = []
    for _ in range(n):
        rows.append({
            "uid": uid,
            "ts_ns": ts,
            "resp_ip": draw(st.sampled_from(HOSTS)),
            "service": draw(st.sampled_from(SERVICES)),
            "orig_port": draw(st.sampled_from(PORTS)),
            "conn_state": draw(st.sampled_from(STATES)),
        })
        uid += draw(st.integers(1, 3))
        ts = min(max(ts + draw(gap), INT64_MIN), INT64_MAX)
    kwargs = {
        "time_window": time_window,
        "host_window": draw(st.sampled_from((1, 2, 3, 5, 100))),
        # 16 bytes: one connection in memory, the rest read back from the temporary file.
        "history_bytes": draw(st.sampled_from((None, 16, 48))),
    }
    if mode == "live":
        kwargs["end_order"] = draw(st.permutations([r["uid"] for r in rows]))
    elif mode == "partitioned":
        kwargs["splits"] = draw(st.lists(st.sampled_from([r["uid"] for r in rows]), max_size=4, unique=True))
    return rows, kwargs


@pytest.mark.parametrize("mode", MODES)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_native_equals_definition(mode, data):
    rows, kwargs = data.draw(tables(mode))
    got = traffic_features(rows, mode=mode, **kwargs)
    want = features(rows, time_window=kwargs["time_window"], host_window=kwargs["host_window"])
    if mode == "live":
        order = handout(rows, kwargs["end_order"], time_window=kwargs["time_window"],
                        host_window=kwargs["host_window"])
        assert [(r["final_at"], r["uid"]) for r in got] == order
        got = sorted(({k: v for k, v in r.items() if k != "final_at"} for r in got), key=lambda r: r["uid"])
    assert got == want
