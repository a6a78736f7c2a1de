"""Alert tables: every fast-alert form read natively into typed columns, with the
same texts as the alert pattern gives."""

import datetime as dt
import os
import re
import time
from pathlib import Path

import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import kavrel
from kavrel import _engine
from kavrel.alerts import lines_invalid_utf8, lines_skipped
from kavrel.core.base import idslog

CORPUS = Path(__file__).parent / "data" / "alerts" / "fast_samples.log"
UTC = dt.timezone.utc

# ---- the native reading agrees with the pattern -----------------------------------------

WS = st.sampled_from([" ", "  ", "\t", "\u00a0", "\u2003 ", " \x0b"])
TRICKY = st.sampled_from(["[**]", " [**] ", " [**]", "]", "] ", "[", "[Classification: ", "[Priority: 3] ", "{",
                          "}", "{TCP} ", " -> ", " ->", "->", "-> ", "\u0663", "  ", "x", "[1:2:3]"])


@st.composite
def spiced(draw, base):
    """`base` with tricky pieces inserted anywhere."""
    text = draw(base)
    for _ in range(draw(st.integers(0, 3))):
        k = draw(st.integers(0, len(text)))
        text = text[:k] + draw(TRICKY) + text[k:]
    return text


@st.composite
def alert_like_lines(draw):
    """Lines close to a fast alert, each part written right, wrong or missing."""
    parts = [draw(st.sampled_from(["", "junk ", "Sep  5 16:05:26 dev snort: ", "12 "])),
             draw(st.sampled_from(["01/15-10:23:45.123456", "03/16/2024-03:30:07.764507", "21/12/28-12:55:38.7",
                                   "1/2/3/4-05:06:07.8", "01/15-10:23:45", "\u0660\u0661/\u0661\u0665-10:23:45.5"])),
             draw(WS), "[**]", draw(WS), draw(st.sampled_from(["[1:2:3]", "[1:1000001:1]", "[1:2]", "[\u0663:1:1]"])),
             draw(WS), draw(spiced(st.sampled_from(["msg", "ICMP test", "", "a [**] b", "x]"]))),
             draw(st.sampled_from([" [**]", " [**] ", "[**]"])), draw(WS)]
    if draw(st.booleans()):
        parts += ["[Classification: ", draw(spiced(st.sampled_from(["Misc", "Bad] Traffic", ""]))), "]", draw(WS)]
    if draw(st.booleans()):
        parts += [draw(st.sampled_from(["[Priority: 3]", "[Priority: ]", "[Priority: 10]"])), draw(WS)]
    parts += ["{", draw(st.sampled_from(["TCP", "IPV6-ICMP", "PROTO:255", "", "A}B"])), "}",
              draw(st.sampled_from([" ", "  ", ""])),
              draw(spiced(st.sampled_from(["10.0.0.1:80", "::1", "", "a -> b"]))),
              draw(st.sampled_from([" -> ", " ->", "->"])),
              draw(spiced(st.sampled_from(["8.8.8.8", "", "b -> c", "[2001:db8::1]:443"])))]
    return "".join(parts)


@settings(max_examples=3000, deadline=None)
@given(alert_like_lines())
def test_native_reading_agrees_with_the_pattern(line):
    assert _engine._fast_alert_groups(line) == idslog.parse_snort_line(line)


@settings(max_examples=500, deadline=None)
@given(st.text(st.characters(blacklist_characters="\n", blacklist_categories=("Cs",)), max_size=80))
def test_native_reading_agrees_on_any_text(line):
    assert _engine._fast_alert_groups(line) == idslog.parse_snort_line(line)


def python_lines(path: Path, errors: str = "replace") -> list[str]:
    """The stripped, non-blank lines of a log as Python's text mode reads it; the alerts table
    keeps bytes that are not UTF-8 as U+FFFD ("replace"), the converter's CSV drops them ("ignore")."""
    with open(path, encoding="utf-8", errors=errors) as fh:
        return [line.strip() for line in fh if line.strip()]


def endpoint_text(ip, port, written: str) -> bool:
    """Whether a typed address and port are what `written` says."""
    if ip is None:
        return written == "" and port is None
    addr = written if port is None else written[:written.rindex(":")].strip("[]")
    return kavrel_address(addr) == ip and (port is None or written.endswith(f":{port}"))


def kavrel_address(text: str) -> str:
    import ipaddress
    try:
        return str(ipaddress.ip_address(text))
    except ValueError:
        return text


def test_corpus_rows_have_the_patterns_texts(tmp_path):
    table = kavrel.read_alerts(CORPUS, tz="UTC", year=2024)
    assert table.column_names == list(kavrel.ALERT_COLUMNS)
    lines = python_lines(CORPUS)
    parsed = [(line, a) for line in lines if (a := idslog.parse_snort_line(line))]
    assert len(parsed) == table.num_rows == 137
    assert lines_skipped(table) == len(lines) - len(parsed) == 4
    for (line, a), row in zip(parsed, table.to_pylist()):
        assert (row["ts_text"], f"{row['gid']}:{row['sid']}:{row['rev']}", row["msg"], row["protocol"]) == \
               (a["ts"], a["sid"], a["msg"], a["proto"])
        written = f"[Classification: {a['class']}]" in line
        assert row["classification"] == (a["class"] if written else None)
        assert row["priority"] == (int(a["pri"]) if a["pri"] else None)
        assert endpoint_text(row["src_ip"], row["src_port"], a["src"]), (row, a)
        assert endpoint_text(row["dst_ip"], row["dst_port"], a["dst"]), (row, a)
        assert row["timestamp"] is not None


def write_log(tmp_path, lines, *, newline="\n", data=None) -> Path:
    path = tmp_path / "alert.log"
    path.write_bytes(data if data is not None else newline.join(lines).encode() + newline.encode())
    return path


ALERT = "{ts}  [**] [1:2000:3] test [**] [Classification: Misc] [Priority: 2] {{TCP}} 10.0.0.1:1234 -> 10.0.0.2:80"


@pytest.mark.parametrize("ts, tz, year, order, expected", [
    ("01/15-10:23:45.123456", "UTC", 2023, "auto", dt.datetime(2023, 1, 15, 10, 23, 45, 123456, UTC)),
    ("01/15-10:23:45.5", "UTC", 2023, "auto", dt.datetime(2023, 1, 15, 10, 23, 45, 500000, UTC)),
    ("03/16/24-03:30:07.764507", "UTC", 1999, "auto", dt.datetime(2024, 3, 16, 3, 30, 7, 764507, UTC)),
    ("03/16/2024-03:30:07.764507", "UTC", 1999, "auto", dt.datetime(2024, 3, 16, 3, 30, 7, 764507, UTC)),
    ("21/12/28-12:55:38.765402", "UTC", 1999, "auto", dt.datetime(2021, 12, 28, 12, 55, 38, 765402, UTC)),
    ("09/03/21-12:37:16.428952", "UTC", 1999, "auto", dt.datetime(2021, 9, 3, 12, 37, 16, 428952, UTC)),
    ("09/03/21-12:37:16.428952", "UTC", 1999, "ymd", dt.datetime(2009, 3, 21, 12, 37, 16, 428952, UTC)),
    ("22/01/02-11:30:23.358639", "UTC", 1999, "mdy", None),  # month 22
    # Local wall time: New York in summer is UTC-4, in winter UTC-5.
    ("07/04-12:00:00.000001", "America/New_York", 2024, "auto", dt.datetime(2024, 7, 4, 16, 0, 0, 1, UTC)),
    ("01/04/2024-12:00:00.0", "America/New_York", 1999, "auto", dt.datetime(2024, 1, 4, 17, 0, 0, 0, UTC)),
    # The hour the clocks go back happens twice: the earlier is taken.
    ("11/03-01:30:00.0", "America/New_York", 2024, "auto", dt.datetime(2024, 11, 3, 5, 30, 0, 0, UTC)),
    ("02/30-10:00:00.0", "UTC", 2024, "auto", None),
    ("02/29-10:00:00.0", "UTC", 2023, "auto", None),
    ("12/31-24:00:00.0", "UTC", 2024, "auto", None),
])
def test_times(tmp_path, ts, tz, year, order, expected):
    table = kavrel.read_alerts(write_log(tmp_path, [ALERT.format(ts=ts)]), tz=tz, year=year, date_order=order)
    assert table.column("timestamp").type == pa.timestamp("us", tz="UTC")
    (row,) = table.to_pylist()
    assert row["ts_text"] == ts
    assert row["timestamp"] == expected


def test_local_zone_is_the_process_zone(tmp_path, monkeypatch):
    monkeypatch.setenv("TZ", "Asia/Kolkata")  # UTC+05:30 all year
    time.tzset()
    try:
        table = kavrel.read_alerts(write_log(tmp_path, [ALERT.format(ts="06/01-05:30:00.0")]), year=2024)
    finally:
        monkeypatch.undo()
        time.tzset()
    assert table.column("timestamp")[0].as_py() == dt.datetime(2024, 6, 1, 0, 0, tzinfo=UTC)


@pytest.mark.parametrize("proto, src, dst, expected", [
    ("TCP", "10.0.0.1:1234", "10.0.0.2:80", ("10.0.0.1", 1234, "10.0.0.2", 80)),
    ("TCP", "2001:df1:c200:c:0:0:0:35:60884", "2001:4860:4860:0:0:0:0:8888:80",
     ("2001:df1:c200:c::35", 60884, "2001:4860:4860::8888", 80)),
    ("UDP", "fe80::1:5353", "[2001:db8::1]:443", ("fe80::1", 5353, "2001:db8::1", 443)),
    ("ICMP", "192.168.56.107:8", "192.168.56.101:0", ("192.168.56.107", 8, "192.168.56.101", 0)),
    ("IPV6-ICMP", "fe80::215:5dff:fe2e:83e", "ff02::2", ("fe80::215:5dff:fe2e:83e", None, "ff02::2", None)),
    ("IPV6-ICMP", "::", "ff02::1:ff9e:26aa", ("::", None, "ff02::1:ff9e:26aa", None)),
    ("PROTO:255", "10.0.0.1", "10.0.0.2", ("10.0.0.1", None, "10.0.0.2", None)),
    ("ARP", "", "", (None, None, None, None)),
    ("TCP", "sensor.example", "10.0.0.2:70000", ("sensor.example", None, "10.0.0.2:70000", None)),
])
def test_addresses_and_ports(tmp_path, proto, src, dst, expected):
    line = f"01/15-10:23:45.1 [**] [1:2:3] m [**] [Priority: 1] {{{proto}}} {src} -> {dst}".rstrip()
    (row,) = kavrel.read_alerts(write_log(tmp_path, [line]), tz="UTC", year=2024).to_pylist()
    assert (row["src_ip"], row["src_port"], row["dst_ip"], row["dst_port"]) == expected
    assert row["protocol"] == proto


@pytest.mark.parametrize("data", [
    b"\xef\xbb\xbf" + ALERT.format(ts="01/15-10:23:45.1").encode() + b"\r\n\r\nnot an alert\r\n",
    ALERT.format(ts="01/15-10:23:45.1").encode() + b"\rgarbage\xff\xfe line\r" + b"  \t \n",
    ALERT.format(ts="01/15-10:23:45.1").replace("test", "t\xe9st").encode("latin-1") + b"\nx",
    ("\u00a0" + ALERT.format(ts="01/15-10:23:45.1") + "\u3000\n\n").encode() + b"\x00 trailing",
])
def test_line_endings_and_bad_bytes_read_as_python_reads_them(tmp_path, data):
    path = write_log(tmp_path, [], data=data)
    lines = python_lines(path)
    table = kavrel.read_alerts(path, tz="UTC", year=2024)
    parsed = [a for a in map(idslog.parse_snort_line, lines) if a]
    assert [r["msg"] for r in table.to_pylist()] == [a["msg"] for a in parsed]
    assert lines_skipped(table) == len(lines) - len(parsed)
    assert lines_invalid_utf8(table) == sum("\ufffd" in line for line in lines)


@pytest.mark.parametrize("kwargs, error", [
    (dict(date_order="dmy"), ValueError), (dict(tz="Mars/Olympus"), ValueError), (dict(year=0), ValueError),
    (dict(tz=5), TypeError),
])
def test_bad_arguments(tmp_path, kwargs, error):
    with pytest.raises(error):
        kavrel.read_alerts(write_log(tmp_path, [ALERT.format(ts="01/15-10:23:45.1")]), **kwargs)


def test_missing_log(tmp_path):
    with pytest.raises(FileNotFoundError) as exc:
        kavrel.read_alerts(tmp_path / "none.log")
    assert exc.value.filename == os.fspath(tmp_path / "none.log")


def test_large_log_in_batches(tmp_path):
    lines = [ALERT.format(ts=f"01/15-10:23:{i % 60:02d}.{i:06d}") for i in range(70_001)] + ["x"]
    table = kavrel.read_alerts(write_log(tmp_path, lines), tz="UTC", year=2024)
    assert table.num_rows == 70_001 and lines_skipped(table) == 1
    assert table.column("timestamp")[70_000].as_py().microsecond == 70_000
    assert re.fullmatch(r"01/15-10:23:\d\d\.070000", table.column("ts_text")[70_000].as_py())


def test_a_batch_of_alerts_is_cut_before_text_its_offsets_cannot_hold(tmp_path):
    lines = [ALERT.format(ts=f"01/15-10:23:{i:02d}.1").replace("test", "m" * ((1 << 20) + i)) for i in range(10)]
    path = write_log(tmp_path, lines)
    whole = kavrel.read_alerts(path, tz="UTC", year=2024)
    limit = (5 << 20) // 2  # two messages and a half
    schema, batches, *counts = _engine.read_alert_log(str(path), 2024, 0, "auto", limit)
    import pyarrow as pa

    schema = pa.Schema._import_from_c_capsule(schema)
    cut = [pa.RecordBatch._import_from_c_capsule(schema.__arrow_c_schema__(), b) for b in batches]
    assert [b.num_rows for b in cut] == [2, 2, 2, 2, 2]
    assert [m for b in cut for m in b["msg"].to_pylist()] == whole["msg"].to_pylist()
    assert counts == [10, 0, 0]
