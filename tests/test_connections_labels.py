"""Alerts as labels of the connection table, against an independent model of the rule: an alert
names a connection when its protocol and its two endpoints (either direction; ICMP and other
protocols by the addresses alone) are the connection's and its microsecond lies within those of
the connection's first and last packet. The sample logs, captures made for their alerts, crafted
alerts at every edge, and the same labels at any parallelism."""

from __future__ import annotations

import datetime as dt
import ipaddress
import os
import random
import re
import warnings

import pyarrow as pa
import pytest

import connection_mix
import connection_oracle as oracle
import connection_traffic as ct
import kavrel
import pcapgen as pg
from connection_traffic import ACK, FIN, PSH, SYN

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
DATA = os.path.join(ROOT, "tests", "data")
SERVICES = oracle.load_services(os.path.join(DATA, "services", "kdd_services.tsv"))
LABELS = ["alert_count", "alert_sid", "alert_msg", "alert_priority"]
PROTOCOLS = {"TCP": 6, "UDP": 17, "ICMP": 1, "IPV6-ICMP": 58}
UTC = dt.timezone.utc
US = 1000  # ns


# ---- the rule, from its definition ------------------------------------------------------------------

def floor_us(ns: int) -> int:
    return ns // US


def proto_number(text: str) -> int | None:
    if text in PROTOCOLS:
        return PROTOCOLS[text]
    found = re.fullmatch(r"PROTO:(\d+)", text)
    return int(found.group(1)) if found and int(found.group(1)) < 256 else None


def names(alert: dict, conn: dict) -> bool:
    if alert["proto"] is None or alert["src"] is None or alert["dst"] is None:
        return False
    if alert["proto"] != conn["ip_proto"] or alert["src"].version != conn["ip_version"]:
        return False
    # A connection whose last packet is stamped before its first (the clock went back) spans
    # the time between the two.
    first, last = sorted((floor_us(conn["ts"]), floor_us(conn["last_ts"])))
    if not first <= alert["time_us"] <= last:
        return False
    ends = [(ipaddress.ip_address(conn["orig_ip"]), conn["orig_port"]),
            (ipaddress.ip_address(conn["resp_ip"]), conn["resp_port"])]
    for (a, a_port), (b, b_port) in (ends, ends[::-1]):
        if (alert["src"], alert["dst"]) != (a, b):
            continue
        if alert["proto"] not in (6, 17):
            return True  # ICMP and every other protocol: the addresses alone
        # A port the alert gives must be the connection's (a connection without ports has none).
        if all(p is None or (q is not None and p == q) for p, q in ((alert["sport"], a_port), (alert["dport"], b_port))):
            return True
    return False


def labelled(conns: list[dict], alerts: list[dict]) -> tuple[list[tuple], int]:
    """Each connection's (alert_count, alert_sid, alert_msg, alert_priority) and the number of
    alerts that named none. The shown alert is the most severe (the lowest priority; none is
    least severe), the first in the log among equals."""
    hit = [False] * len(alerts)
    out = []
    for conn in conns:
        mine = []
        for i, alert in enumerate(alerts):
            if names(alert, conn):
                hit[i] = True
                mine.append(i)
        if not mine:
            out.append((0, None, None, None))
            continue
        best = alerts[min(mine, key=lambda i: (256 if alerts[i]["priority"] is None else alerts[i]["priority"], i))]
        out.append((len(mine), f"{best['gid']}:{best['sid']}:{best['rev']}", best["msg"], best["priority"]))
    return out, hit.count(False)


def alerts_of(table: pa.Table) -> list[dict]:
    """The alerts of a kavrel.read_alerts table (or one made alike), as the model takes them."""
    out = []
    for r in table.to_pylist():
        ts = r["timestamp"]
        out.append({
            "time_us": None if ts is None else (ts - dt.datetime(1970, 1, 1, tzinfo=UTC)) // dt.timedelta(microseconds=1),
            "proto": proto_number(r["protocol"]),
            "src": None if r["src_ip"] is None else ipaddress.ip_address(r["src_ip"]),
            "dst": None if r["dst_ip"] is None else ipaddress.ip_address(r["dst_ip"]),
            "sport": r["src_port"], "dport": r["dst_port"], "priority": r["priority"],
            "gid": r["gid"], "sid": r["sid"], "rev": r["rev"], "msg": r["msg"],
        })
    return out


def model_rows(path) -> list[dict]:
    """The independent model's connections of a capture."""
    return oracle.connections(oracle.frames_of_file(path), SERVICES, **ct.SETTINGS)


def read_labels(path, alerts, **kwargs) -> tuple[list[tuple], int]:
    """The API's labels of every connection, and the count its UnmatchedAlerts warning gives."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        table = kavrel.read_connections(path, columns=["uid"], alerts=alerts, **ct.SETTINGS, **kwargs)
    assert table.column_names == ["uid", *LABELS]
    counts = [int(re.match(r"^([\d,]+) alerts? labelled no ", str(w.message)).group(1).replace(",", ""))
              for w in seen if issubclass(w.category, kavrel.UnmatchedAlerts)]
    assert len(counts) <= 1
    rows = [(r["alert_count"], r["alert_sid"], r["alert_msg"], r["alert_priority"]) for r in table.to_pylist()]
    return rows, counts[0] if counts else 0


EVERY_WAY = [{}, {"jobs": 2, "chunk_bytes": 512}, {"jobs": 3, "chunk_bytes": 2000}]


def assert_labels(path, alerts, want: tuple[list[tuple], int], **kwargs) -> None:
    for way in EVERY_WAY:
        assert read_labels(path, alerts, **kwargs, **way) == want, way


# ---- the sample capture and its alert log ---------------------------------------------------------

FAST = re.compile(r"(\d\d)/(\d\d)/(\d\d)-(\d\d):(\d\d):(\d\d)\.(\d{6})\s+\[\*\*\] \[(\d+):(\d+):(\d+)\] (.*?) \[\*\*\]"
                  r".*?\[Priority: (\d+)\] \{([^}]+)\} (\S+) -> (\S+)$")


def endpoint(text: str, proto: str) -> tuple:
    if proto in ("TCP", "UDP"):
        address, _, port = text.rpartition(":")
        return ipaddress.ip_address(address), int(port)
    return ipaddress.ip_address(text), None


def test_the_sample_capture_and_its_alerts():
    # examples/sample-lo.alerts was written for packets of examples/sample-lo.pcap (times in UTC,
    # with the year); read here line by line, without the product's parser.
    alerts = []
    with open(os.path.join(EXAMPLES, "sample-lo.alerts")) as fh:
        for line in fh:
            m = FAST.match(line.strip())
            mo, d, y, h, mi, s, us, gid, sid, rev, msg, pri, proto, src, dst = m.groups()
            when = dt.datetime(2000 + int(y), int(mo), int(d), int(h), int(mi), int(s), int(us), tzinfo=UTC)
            (src, sport), (dst, dport) = endpoint(src, proto), endpoint(dst, proto)
            alerts.append({"time_us": int(when.timestamp()) * 10**6 + int(us), "proto": PROTOCOLS[proto], "src": src,
                           "dst": dst, "sport": sport, "dport": dport, "priority": int(pri), "gid": int(gid),
                           "sid": int(sid), "rev": int(rev), "msg": msg})
    path = os.path.join(EXAMPLES, "sample-lo.pcap")
    want = labelled(model_rows(path), alerts)
    # Every alert names its connection; the two IPv4 pings are one connection by identifier.
    assert want[1] == 0 and sorted(c for c, *_ in want[0] if c) == [1, 1, 1, 2]
    assert_labels(path, os.path.join(EXAMPLES, "sample-lo.alerts"), want, alerts_tz="UTC")


# ---- captures made for a log's alerts ---------------------------------------------------------------

def connection_for(alert: dict, variant: int, ident: int) -> list[tuple[int, bytes]]:
    """A connection of the alert's protocol and endpoints around its time, in ns: the alert at
    the first packet's microsecond, at the last's, inside with the connection the other way
    round, 1 us after its last packet, or 1 us before its first."""
    t = alert["time_us"] * US
    src, dst = str(alert["src"]), str(alert["dst"])
    if variant == 2:
        src, dst = dst, src
    sport = alert["sport"] if alert["sport"] is not None else 1111
    dport = alert["dport"] if alert["dport"] is not None else 2222
    if variant == 2:
        sport, dport = dport, sport
    start = {0: t + 999, 1: t - 2 * 10**6, 2: t - 10**6, 3: t - 3 * 10**6, 4: t + US}[variant]
    end = {0: t + 3 * 10**6, 1: t + 999, 2: t + 10**6, 3: t - US + 999, 4: t + 4 * 10**6}[variant]
    proto = alert["proto"]
    if proto == 6:
        return [(start, ct.tcp(src, dst, sport, dport, SYN)), ((start + end) // 2, ct.tcp(dst, src, dport, sport, SYN | ACK)),
                (end, ct.tcp(src, dst, sport, dport, PSH | ACK, b"x"))]
    if proto == 17:
        return [(start, ct.udp(src, dst, sport, dport, b"q")), (end, ct.udp(dst, src, dport, sport, b"a"))]
    if proto in (1, 58) and (proto == 58) == (":" in src):
        request, reply = (128, 129) if proto == 58 else (8, 0)
        return [(start, ct.icmp(src, dst, request, ident=ident)), (end, ct.icmp(dst, src, reply, ident=ident))]
    return [(start, ct.ip(src, dst, proto, b"\0" * 8)), (end, ct.ip(dst, src, proto, b"\0" * 8))]


def capture_for(tmp_path, alerts: list[dict]) -> str:
    items = []
    for k, alert in enumerate(alerts):
        if alert["time_us"] is None or alert["proto"] is None or alert["src"] is None or alert["dst"] is None:
            continue
        if alert["src"].version != alert["dst"].version:
            continue
        items += connection_for(alert, k % 5, ident=k)
    items.sort(key=lambda item: item[0])
    recs = [pg.Record(pg.eth(p, ct.ethertype(p)), *divmod(t, 10**9)) for t, p in items]
    return pg.write_pcap(tmp_path / "made.pcap", recs, nanosecond=True)


@pytest.mark.parametrize("log", [os.path.join(EXAMPLES, "alerts.log"), os.path.join(DATA, "alerts", "fast_samples.log")],
                         ids=os.path.basename)
def test_a_capture_made_for_a_logs_alerts(tmp_path, log):
    table = kavrel.read_alerts(log, tz="UTC", year=2026)
    alerts = alerts_of(table)
    path = capture_for(tmp_path, alerts)
    want = labelled(model_rows(path), alerts)
    usable = sum(1 for k, a in enumerate(alerts) if a["time_us"] is not None and a["proto"] is not None
                 and a["src"] is not None and a["dst"] is not None)
    # Four of every five alerts were placed on their connection, the fifth just outside.
    assert 0 < want[1] and sum(c for c, *_ in want[0]) >= usable * 3 // 5
    assert_labels(path, table, want)
    if log.endswith("alerts.log"):  # the log itself, its year taken from the capture
        assert_labels(path, log, want, alerts_tz="UTC")


# ---- crafted alerts at every edge --------------------------------------------------------------------

def alert_table(alerts: list[dict]) -> pa.Table:
    """An alerts table as kavrel.read_alerts makes one, from the model's alerts."""
    return pa.table({
        "timestamp": pa.array([a["time_us"] for a in alerts], pa.int64()).cast(pa.timestamp("us", tz="UTC")),
        "gid": pa.array([a["gid"] for a in alerts], pa.uint32()),
        "sid": pa.array([a["sid"] for a in alerts], pa.uint32()),
        "rev": pa.array([a["rev"] for a in alerts], pa.uint32()),
        "msg": pa.array([a["msg"] for a in alerts], pa.string()),
        "priority": pa.array([a["priority"] for a in alerts], pa.uint8()),
        "protocol": pa.array([a["protocol"] for a in alerts], pa.string()),
        "src_ip": pa.array([None if a["src"] is None else str(a["src"]) for a in alerts], pa.string()),
        "dst_ip": pa.array([None if a["dst"] is None else str(a["dst"]) for a in alerts], pa.string()),
        "src_port": pa.array([a["sport"] for a in alerts], pa.uint16()),
        "dst_port": pa.array([a["dport"] for a in alerts], pa.uint16()),
    })


NAMES = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "IPV6-ICMP"}


def alerts_around(conns: list[dict], seed: int, n: int) -> list[dict]:
    """Alerts on random connections: at and beside the edges of their spans, either way round,
    with and without ports, wrong ports, protocols and addresses, several priorities."""
    rng = random.Random(seed)
    out = []
    for k in range(n):
        c = rng.choice(conns)
        first, last = floor_us(c["ts"]), floor_us(c["last_ts"])
        when = rng.choice([first, last, first - 1, last + 1, (first + last) // 2, min(first, last) - 1])
        src, dst = ipaddress.ip_address(c["orig_ip"]), ipaddress.ip_address(c["resp_ip"])
        sport, dport = c["orig_port"], c["resp_port"]
        if rng.random() < 0.4:
            src, dst, sport, dport = dst, src, dport, sport
        proto = c["ip_proto"]
        twist = rng.random()
        if twist < 0.15:
            sport = dport = None  # no ports: any
        elif twist < 0.25 and sport is not None:
            sport = (sport + 1) % 65536
        elif twist < 0.32:
            proto = rng.choice([6, 17, 1, 58, 47])
        elif twist < 0.38:
            dst = ipaddress.ip_address("10.99.0.1") if dst.version == 4 else ipaddress.ip_address("2001:db8::99")
        elif twist < 0.45 and proto in (1, 58):
            sport, dport = 3, 3  # an ICMP alert's type and code say nothing of a connection
        out.append({"time_us": when, "proto": proto, "protocol": NAMES.get(proto, f"PROTO:{proto}"), "src": src,
                    "dst": dst, "sport": sport if proto in (6, 17, 1, 58) else None,
                    "dport": dport if proto in (6, 17, 1, 58) else None,
                    "priority": rng.choice([1, 2, 3, None]), "gid": 1, "sid": 1000 + k, "rev": 1 + k % 3,
                    "msg": f"alert {k}"})
    return out


@pytest.mark.parametrize("seed", range(4))
def test_crafted_alerts_on_mixed_traffic(tmp_path, seed):
    path = connection_mix.write(tmp_path / "mix.pcap", seed, n=600, back=0.05)
    conns = model_rows(path)
    alerts = alerts_around(conns, seed, 400)
    want = labelled(conns, alerts)
    assert want[1] > 0 and max(c for c, *_ in want[0]) > 1
    assert_labels(path, alert_table(alerts), want)


def edge_alert(when_us: int, src: str, dst: str, proto: str = "TCP", sport=40000, dport=80, sid=1, priority=2) -> dict:
    return {"time_us": when_us, "proto": PROTOCOLS[proto], "protocol": proto, "src": ipaddress.ip_address(src),
            "dst": ipaddress.ip_address(dst), "sport": sport, "dport": dport, "priority": priority, "gid": 1,
            "sid": sid, "rev": 1, "msg": f"m{sid}"}


@pytest.mark.parametrize("nanosecond", [True, False], ids=["ns-capture", "us-capture"])
def test_the_span_to_the_microsecond_edges_included(tmp_path, nanosecond):
    # A TCP connection from 12:00:00.123456(789) to 12:00:00.500000(999), worked out by hand:
    # its alerts are those of microseconds 123456 to 500000, either way round; 123455 and
    # 500001 name nothing.
    base = int(dt.datetime(2026, 3, 1, 12, tzinfo=UTC).timestamp())
    frac = (123_456_789, 300_000_000, 500_000_999) if nanosecond else (123_456, 300_000, 500_000)
    a, b = ct.A4, ct.B4
    recs = [pg.Record(pg.eth(ct.tcp(a, b, 40000, 80, SYN)), base, frac[0]),
            pg.Record(pg.eth(ct.tcp(b, a, 80, 40000, SYN | ACK)), base, frac[1]),
            pg.Record(pg.eth(ct.tcp(a, b, 40000, 80, FIN | ACK)), base, frac[2])]
    path = pg.write_pcap(tmp_path / "edge.pcap", recs, nanosecond=nanosecond)
    us = base * 10**6
    alerts = [edge_alert(us + 123_455, a, b, sid=1), edge_alert(us + 123_456, a, b, sid=2, priority=3),
              edge_alert(us + 500_000, b, a, sport=80, dport=40000, sid=3, priority=1),
              edge_alert(us + 500_001, a, b, sid=4, priority=1), edge_alert(us + 300_000, a, b, "UDP", sid=5),
              edge_alert(us + 300_000, a, b, sport=None, dport=None, sid=6, priority=3)]
    want = ([(3, "1:3:1", "m3", 1)], 3)
    assert labelled(model_rows(path), alerts) == want
    assert_labels(path, alert_table(alerts), want)


def test_icmp_alerts_name_their_connection_by_the_addresses_alone(tmp_path):
    a, b = ct.A4, ct.C4
    items = [(0, ct.icmp(a, b, 8, ident=5)), (1000, ct.icmp(b, a, 0, ident=5)),
             (2000, ct.icmp(a, b, 8, ident=6)), (3000, ct.icmp(b, a, 3, 1))]
    path = ct.write(tmp_path / "icmp.pcap", items)
    at = (ct.T0 + 1000) // US  # inside the first echo pair's span only
    alerts = [{"time_us": at, "proto": 1, "protocol": "ICMP", "src": ipaddress.ip_address(b),
               "dst": ipaddress.ip_address(a), "sport": 0, "dport": 0, "priority": 1, "gid": 1, "sid": 9, "rev": 1,
               "msg": "reply"}]
    # The echo pair by identifier 5 holds 0..1 us; the other two are a microsecond and more later.
    want = ([(1, "1:9:1", "reply", 1), (0, None, None, None), (0, None, None, None)], 0)
    assert labelled(model_rows(path), alerts) == want
    assert_labels(path, alert_table(alerts), want)


def test_a_span_whose_clock_went_back_runs_from_the_earlier_packet_to_the_later(tmp_path):
    # UDP at 10 s, its answer stamped 9 s: one connection (a gap that goes back joins) whose
    # duration is -1 s. Alerts at 9 s, 9.5 s and 10 s name it; a microsecond outside, nothing.
    a, b = ct.A4, ct.B4
    path = ct.write(tmp_path / "back.pcap", [(10 * 10**9, ct.udp(a, b, 7, 53, b"q")), (9 * 10**9, ct.udp(b, a, 53, 7, b"a"))])
    t0 = ct.T0 // US
    alerts = [edge_alert(t0 + us, a, b, "UDP", sport=7, dport=53, sid=k, priority=k)
              for k, us in enumerate([9 * 10**6 - 1, 9 * 10**6, 9_500_000, 10 * 10**6, 10 * 10**6 + 1], start=1)]
    conns = model_rows(path)
    assert [(c["duration"], c["orig_pkts"], c["resp_pkts"]) for c in conns] == [(-1.0, 1, 1)]
    want = ([(3, "1:2:1", "m2", 2)], 2)
    assert labelled(conns, alerts) == want
    assert_labels(path, alert_table(alerts), want)


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("make_alerts, tz, error", [
    (lambda d: d / "missing.log", "UTC", FileNotFoundError),
    (lambda d: d, "UTC", IsADirectoryError),
    (lambda d: d / "fast.log", "Nowhere/City", ValueError),
    (lambda d: pa.table({"timestamp": pa.array([0], pa.int64())}), None, ValueError),  # not an alerts table
])
def test_alerts_that_cannot_label(tmp_path, jobs, make_alerts, tz, error):
    path = ct.write(tmp_path / "x.pcap", [(0, ct.udp(ct.A4, ct.B4, 1, 2))])
    (tmp_path / "fast.log").write_text("")
    with pytest.raises(error):
        kavrel.read_connections(path, alerts=make_alerts(tmp_path), alerts_tz=tz, jobs=jobs)
