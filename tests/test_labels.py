"""Alerts as labels of the features table, with captures made together with the
alert lines each sensor would write for them."""

import datetime as dt
import time
import zoneinfo

import pytest

import kavrel
import pcapgen as pg

UTC = dt.timezone.utc
A4, B4 = "10.1.0.1", "10.2.0.2"
A6, B6 = "2001:df1:c200:c::35", "2001:4860:4860::8888"

# How each sensor writes the time of an alert, in its own zone.
SENSORS = {
    "snort2": "%m/%d-%H:%M:%S.%f",
    "snort2 -y": "%m/%d/%y-%H:%M:%S.%f",
    "suricata": "%m/%d/%Y-%H:%M:%S.%f",
    "snort3 -y": "%y/%m/%d-%H:%M:%S.%f",
}


def frames():
    """(frame, proto text, src, dst) of the packets, one of each kind the labeller must tell apart."""
    return [
        (pg.eth(pg.ipv4(A4, B4, 6, pg.tcp(40000, 80))), "TCP", f"{A4}:40000", f"{B4}:80"),
        (pg.eth(pg.ipv4(A4, B4, 17, pg.udp(5353, 53))), "UDP", f"{A4}:5353", f"{B4}:53"),
        (pg.eth(pg.ipv4(A4, B4, 1, pg.icmp(8, 0))), "ICMP", f"{A4}:8", f"{B4}:0"),
        # an IPv6 address with its port, unbracketed and uncompressed, as Snort writes it
        (pg.eth(pg.ipv6(A6, B6, 6, pg.tcp(60884, 443)), pg.ETH_IPV6), "TCP",
         "2001:df1:c200:c:0:0:0:35:60884", "2001:4860:4860:0:0:0:0:8888:443"),
        (pg.eth(pg.ipv6(A6, B6, 58, pg.icmp(128, 0)), pg.ETH_IPV6), "IPV6-ICMP", A6, B6),
        (pg.eth(pg.ipv4(A4, B4, 47, b"\x00\x00\x08\x00")), "PROTO:47", A4, B4),
    ]


def capture(tmp_path, start: dt.datetime, step_s=0.5, repeat=3):
    """A capture of the frames `repeat` times from `start`; returns its path and the packets' UTC times."""
    records, times = [], []
    t = start.astimezone(UTC)
    for _ in range(repeat):
        for frame, *_ in frames():
            records.append(pg.Record(frame, ts_sec=int(t.timestamp()), ts_usec=t.microsecond))
            times.append(t)
            t += dt.timedelta(seconds=step_s, microseconds=137)
    path = tmp_path / "labelled.pcap"
    pg.write_pcap(path, records)
    return path, times


def alert_line(when: dt.datetime, zone, sensor: str, proto: str, src: str, dst: str, *, sid=1000, pri=2):
    stamp = when.astimezone(zone).strftime(SENSORS[sensor])
    return (f"{stamp}  [**] [1:{sid}:1] alert {sid} [**] [Classification: Misc activity] [Priority: {pri}] "
            f"{{{proto}}} {src} -> {dst}")


@pytest.mark.parametrize("sensor", SENSORS)
@pytest.mark.parametrize("zone_name", ["UTC", "Europe/Berlin", None])
def test_every_sensor_form_labels_its_packets(tmp_path, monkeypatch, sensor, zone_name):
    if zone_name is None:  # the sensor and this process share a local zone
        monkeypatch.setenv("TZ", "America/Sao_Paulo")
        time.tzset()
    zone = zoneinfo.ZoneInfo(zone_name or "America/Sao_Paulo")
    path, times = capture(tmp_path, dt.datetime(2024, 6, 30, 23, 59, 58, 250000, zone))
    kinds = frames()
    # every packet of the second round raises one alert
    lines = [alert_line(times[len(kinds) + i], zone, sensor, k[1], k[2], k[3], sid=100 + i)
             for i, k in enumerate(kinds)]
    log = tmp_path / "fast.log"
    log.write_text("\n".join(lines) + "\n")
    try:
        table = kavrel.read_features(path, alerts=log, alerts_tz=zone_name)
    finally:
        monkeypatch.undo()
        time.tzset()
    assert table.column_names[-4:] == list(kavrel.LABEL_COLUMNS)
    rows = table.to_pylist()
    n = len(kinds)
    assert [r["alert_count"] for r in rows] == [0] * n + [1] * n + [0] * n
    assert [r["alert_sid"] for r in rows[n:2 * n]] == [f"1:{100 + i}:1" for i in range(n)]
    assert {r["alert_msg"] for r in rows[n:2 * n]} == {f"alert {100 + i}" for i in range(n)}
    assert all(r["alert_priority"] == 2 for r in rows[n:2 * n])
    assert all(r["alert_sid"] is None and r["alert_priority"] is None for r in rows[:n] + rows[2 * n:])


def test_year_less_alerts_over_new_year(tmp_path):
    zone = zoneinfo.ZoneInfo("Europe/Berlin")
    path, times = capture(tmp_path, dt.datetime(2023, 12, 31, 23, 59, 59, 0, zone), step_s=0.4)
    kind = frames()[0]
    december, january = times[0], times[-6]
    assert (december.astimezone(zone).year, january.astimezone(zone).year) == (2023, 2024)
    log = tmp_path / "fast.log"
    log.write_text("\n".join(alert_line(t, zone, "snort2", *kind[1:]) for t in (december, january)) + "\n")
    rows = kavrel.read_features(path, alerts=log, alerts_tz="Europe/Berlin").to_pylist()
    assert [i for i, r in enumerate(rows) if r["alert_count"]] == [0, len(rows) - 6]


def test_several_alerts_on_a_packet_and_alerts_on_none(tmp_path):
    path, times = capture(tmp_path, dt.datetime(2024, 3, 1, 12, 0, 0, 5, UTC))
    _, proto, src, dst = frames()[0]
    t = times[0]
    lines = [
        alert_line(t, UTC, "suricata", proto, src, dst, sid=1, pri=2),
        alert_line(t, UTC, "suricata", proto, src, dst, sid=2, pri=1),  # the most severe, first of its priority
        alert_line(t, UTC, "suricata", proto, src, dst, sid=3, pri=1),
        alert_line(t, UTC, "suricata", proto, src, dst, sid=4, pri=3),
        # each of these names no packet: another port, another address, a microsecond later,
        # the ports of an ICMP alert that are not its packet's type and code, another protocol
        alert_line(t, UTC, "suricata", proto, src, f"{B4}:81", sid=5),
        alert_line(t, UTC, "suricata", proto, src.replace("10.1.0.1", "10.1.0.9"), dst, sid=6),
        alert_line(t + dt.timedelta(microseconds=1), UTC, "suricata", proto, src, dst, sid=7),
        alert_line(times[2], UTC, "suricata", "ICMP", f"{A4}:0", f"{B4}:8", sid=8),
        alert_line(t, UTC, "suricata", "UDP", src, dst, sid=9),
    ]
    log = tmp_path / "fast.log"
    log.write_text("\r\n".join(lines) + "\r\n")
    with pytest.warns(RuntimeWarning, match=r"^5 alerts labelled no packet$"):
        rows = kavrel.read_features(path, alerts=log, alerts_tz="UTC").to_pylist()
    assert (rows[0]["alert_count"], rows[0]["alert_sid"], rows[0]["alert_priority"]) == (4, "1:2:1", 1)
    assert sum(r["alert_count"] for r in rows) == 4


def test_a_table_labels_as_its_log_does(tmp_path):
    path, times = capture(tmp_path, dt.datetime(2024, 3, 1, 12, 0, 0, 5, UTC))
    lines = [alert_line(times[i], UTC, "snort2 -y", *k[1:], sid=i) for i, k in enumerate(frames())]
    log = tmp_path / "fast.log"
    log.write_text("\n".join(lines) + "\nnot an alert\n")
    from_log = kavrel.read_features(path, alerts=log, alerts_tz="UTC")
    alerts = kavrel.read_alerts(log, tz="UTC")
    from_table = kavrel.read_features([path, path], columns=["src_ip"], alerts=alerts)
    assert from_table.slice(0, from_log.num_rows).drop_columns(["src_ip"]).equals(from_log)
    # the second copy of the capture is labelled too: same times, same packets
    assert from_table.column("alert_count").to_pylist()[from_log.num_rows:] == \
           from_log.column("alert_count").to_pylist()


@pytest.mark.parametrize("make_alerts, tz, error", [
    (lambda d: d / "missing.log", "UTC", FileNotFoundError),
    (lambda d: d, "UTC", IsADirectoryError),  # found, but fails while the capture is read
    (lambda d: d / "fast.log", "Nowhere/City", ValueError),
])
def test_alerts_that_cannot_label(tmp_path, make_alerts, tz, error):
    path, _ = capture(tmp_path, dt.datetime(2024, 3, 1, tzinfo=UTC))
    (tmp_path / "fast.log").write_text("")
    with pytest.raises(error):
        kavrel.read_features(path, alerts=make_alerts(tmp_path), alerts_tz=tz)


@pytest.mark.parametrize("ahead", [False, True], ids=["alerts-first", "read-ahead"])
def test_megabyte_messages_cut_the_batch_where_their_text_would_not_fit(tmp_path, ahead):
    # Every packet is named by an alert of a megabyte-long message: a batch of them holds more
    # text than its offsets can. With the offsets' limit set low, the same must happen in small.
    import pyarrow as pa
    from kavrel import _engine, _labels

    path, times = capture(tmp_path, dt.datetime(2024, 3, 1, 12, tzinfo=UTC), repeat=12)
    lines = []
    for when, (frame, proto, src, dst) in zip(times, frames() * 12):
        line = alert_line(when, UTC, "suricata", proto, src, dst, sid=len(lines) + 1)
        lines.append(line.replace("alert ", "x" * ((1 << 20) + len(lines)) + " ", 1))
    log = tmp_path / "fast.log"
    log.write_text("\n".join(lines) + "\n")
    want = kavrel.read_features(path, alerts=log, alerts_tz="UTC")
    assert want["alert_count"].to_pylist() == [1] * len(times)
    labels = _labels.alert_labels(kavrel.read_alerts(log, tz="UTC"))
    limit = 3 << 20  # about three messages
    native = _engine.Scan([str(path)], "features", [], 1000, "auto", True if ahead else labels.__arrow_c_array__(),
                          _text_limit=limit)
    if ahead:  # the rows are read before their alerts are in, and cut when labelled
        native.set_alerts(labels.__arrow_c_array__())
    batches = list(pa.RecordBatchReader.from_stream(native))
    assert pa.Table.from_batches(batches).equals(want)
    sizes = [sum(len(m) for m in b["alert_msg"].to_pylist()) for b in batches]
    assert len(batches) > len(times) // 3 and max(sizes) <= limit
