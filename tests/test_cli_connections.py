"""`kavrel connections`, run as a real process on real and crafted captures."""

import json
import os
import warnings
import re
import shutil
import signal
import subprocess
import time

import numpy as np
import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest

import connection_traffic as ct
import interrupt_trials as trials
import kavrel
import pcapgen as pg
from test_cli import COMMAND, SAMPLE, SAMPLE_ALERTS, kavrel_run

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, "data", "captures")
SUMMARY = re.compile(r"^kavrel: ([\d,]+) connections? written to (.+); ([\d,]+) frames? read, ([\d,]+) skipped "
                     r"\(([\d,]+) not IP, ([\d,]+) unsupported link type, ([\d,]+) cut\) in [\d.]+ s$")
LABELS = ["alert_count", "alert_sid", "alert_msg", "alert_priority"]
EXTENSION = {"csv": ".csv", "jsonl": ".jsonl", "parquet": ".parquet"}


def capture(name: str) -> str:
    return SAMPLE if name == "sample-lo.pcap" else os.path.join(CAPTURES, name)


def read_back(path, fmt: str, schema: pa.Schema) -> pa.Table:
    """A written connection table read by a reader of its format, in the table's types."""
    if fmt == "parquet":
        return pq.read_table(path)
    if fmt == "csv":
        # An empty history is "" and an absent port is nothing: only the unquoted empty field is null.
        options = pyarrow.csv.ConvertOptions(column_types={f.name: f.type for f in schema}, strings_can_be_null=True,
                                             quoted_strings_can_be_null=False)
        return pyarrow.csv.read_csv(path, convert_options=options).cast(schema)
    rows = [json.loads(line) for line in open(path, encoding="utf-8")]
    as_text = pa.schema([f.with_type(pa.string()) if pa.types.is_timestamp(f.type) else f for f in schema])
    for row in rows:
        assert list(row) == schema.names
        for f in schema:
            if pa.types.is_timestamp(f.type):
                assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z", row[f.name]), row[f.name]
    return pa.Table.from_pylist(rows, schema=as_text).cast(schema)


def written(tmp_path, r: subprocess.CompletedProcess, args: list[str]):
    """Where a run's table went: its -o file, or its standard output saved to a file."""
    if "-o" in args:
        assert r.stdout == ""
        return tmp_path / args[args.index("-o") + 1]
    out = tmp_path / "stdout"
    out.write_text(r.stdout)
    return out


def bits(column: pa.ChunkedArray) -> np.ndarray:
    return column.to_numpy().view(np.uint64)


# ---- the table, in every format --------------------------------------------------------------

# Real captures: TCP, UDP and ICMP from a Linux host (a scan, HTTP, DNS), IPv6 with empty histories,
# protocols without ports, a pcapng file with times past 2106, and one with no connection at all.
REAL = ["sample-lo.pcap", "linux-scan.pcap", "linux-http.pcap", "resp_3_malicious.pcap", "afs.pcap",
        "ipv6-routing-header.pcap", "IGMP_V1.pcap", "time_2106_overflow.pcapng", "802.1ad_QinQ.pcap"]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("name", REAL)
def test_every_format_reads_back_as_the_library_table(tmp_path, name, fmt):
    want = kavrel.read_connections(capture(name))
    args = ["-o", "out" + EXTENSION[fmt]]
    r = kavrel_run("connections", capture(name), *args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    got = read_back(written(tmp_path, r, args), fmt, want.schema)
    assert got.schema.names == list(kavrel.CONNECTION_COLUMNS) and got.equals(want)
    summary = SUMMARY.match(r.stderr)
    assert summary and r.stderr.count("\n") == 1, r.stderr
    assert int(summary[1].replace(",", "")) == want.num_rows and summary[2] == "out" + EXTENSION[fmt]


@pytest.mark.parametrize("args, fmt", [([], "csv"), (["--format", "jsonl"], "jsonl"),
                                       (["-o", "out.table", "--format", "parquet"], "parquet")])
def test_standard_output_and_named_formats(tmp_path, args, fmt):
    want = kavrel.read_connections(SAMPLE)
    r = kavrel_run("connections", SAMPLE, *args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert read_back(written(tmp_path, r, args), fmt, want.schema).equals(want)
    assert SUMMARY.match(r.stderr)[2] == ("standard output" if "-o" not in args else args[args.index("-o") + 1])


PARALLEL_SETS = [["linux-scan.pcap", "linux-http.pcap", "linux-dns.pcap", "linux-ping.pcap"],
                 ["sample-lo.pcap", "sample-lo.pcap", "sample-lo.pcap"], ["resp_3_malicious.pcap"]]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("names", PARALLEL_SETS, ids=["four-files", "one-file-thrice", "one-file"])
def test_two_jobs_write_the_one_pass_table(tmp_path, names, fmt):
    paths = [capture(n) for n in names]
    want = kavrel.read_connections(paths)
    r = kavrel_run("connections", *paths, "-j", "2", "-o", "out" + EXTENSION[fmt], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert read_back(tmp_path / ("out" + EXTENSION[fmt]), fmt, want.schema).equals(want)
    assert int(SUMMARY.match(r.stderr)[1]) == want.num_rows


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_kdd_writes_exactly_the_kdd_columns(tmp_path, fmt, jobs):
    paths = [capture("linux-scan.pcap"), capture("linux-http.pcap")]
    r = kavrel_run("connections", *paths, "--kdd", "-j", jobs, "-o", "kdd" + EXTENSION[fmt], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    want = kavrel.read_connections(paths, columns=kavrel.KDD_COLUMNS)
    got = read_back(tmp_path / ("kdd" + EXTENSION[fmt]), fmt, want.schema)
    assert tuple(got.column_names) == kavrel.KDD_COLUMNS and len(kavrel.KDD_COLUMNS) == 28
    assert got.equals(want)
    if fmt == "csv":
        header = open(tmp_path / "kdd.csv", encoding="utf-8").readline()
        assert header.strip().replace('"', "").split(",") == list(kavrel.KDD_COLUMNS)


# ---- rates in full ------------------------------------------------------------------------------

HOST = "10.0.0.9"
# Seven UDP connections to one host, 100 ms apart (all in one 2-second window), each from a port of
# its own, to DNS, NTP, TFTP, then DNS four times.
SERVICES = [53, 123, 69, 53, 53, 53, 53]
# By hand: connection k's time window holds connections 0..k, all to HOST. same_srv_rate is the share
# of them with k's service: 1/1, 1/2 (DNS, NTP), 1/3 (TFTP), then DNS with 2/4, 3/5, 4/6, 5/7.
SAME_SRV = [1 / 1, 1 / 2, 1 / 3, 2 / 4, 3 / 5, 4 / 6, 5 / 7]
# diff_srv_rate, the share with another service, is its own quotient (not 1 - same_srv_rate, which
# differs in the last bit for 2/3 and 2/6).
DIFF_SRV = [0 / 1, 1 / 2, 2 / 3, 2 / 4, 2 / 5, 2 / 6, 2 / 7]
# Every originator port differs: the share with k's port is 1/(k+1).
SAME_SRC_PORT = [1 / k for k in range(1, 8)]


def rate_capture(path) -> str:
    return ct.write(path, [(i * ct.S // 10, ct.udp("10.0.0.1", HOST, 40000 + i, port, b"q"))
                           for i, port in enumerate(SERVICES)])


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_rates_read_back_bit_for_bit(tmp_path, fmt):
    path = rate_capture(tmp_path / "rates.pcap")
    out = tmp_path / ("rates" + EXTENSION[fmt])
    r = kavrel_run("connections", path, "-o", str(out))
    assert r.returncode == 0, r.stderr
    want = kavrel.read_connections(path)
    got = read_back(out, fmt, want.schema)
    assert np.array_equal(bits(got["same_srv_rate"]), np.array(SAME_SRV).view(np.uint64))
    assert np.array_equal(bits(got["dst_host_same_src_port_rate"]), np.array(SAME_SRC_PORT).view(np.uint64))
    assert np.array_equal(bits(got["diff_srv_rate"]), np.array(DIFF_SRV).view(np.uint64))
    for name, field in zip(want.column_names, want.schema):
        if pa.types.is_floating(field.type):
            assert np.array_equal(bits(got[name]), bits(want[name])), name
    if fmt != "parquet":
        text = out.read_text()
        # The shortest text that reads back as the same float64, and no rounding to fewer digits.
        for value in (1 / 3, 2 / 3, 5 / 7, 1 / 7):
            assert repr(value) in text, value


# ---- columns -----------------------------------------------------------------------------------


@pytest.mark.parametrize("text, names", [
    ("service,uid,conn_state", ["service", "uid", "conn_state"]),
    (" srv_count , history,ts", ["srv_count", "history", "ts"]),
    ("dst_host_srv_rerror_rate", ["dst_host_srv_rerror_rate"]),
])
def test_columns_in_the_order_asked(tmp_path, text, names):
    r = kavrel_run("connections", SAMPLE, "--columns", text, "-o", "out.csv", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert open(tmp_path / "out.csv", encoding="utf-8").readline().strip().replace('"', "").split(",") == names
    want = kavrel.read_connections(SAMPLE, columns=names)
    assert read_back(tmp_path / "out.csv", "csv", want.schema).equals(want)


# ---- settings -----------------------------------------------------------------------------------

A, B = ct.A4, ct.B4
SYN, ACK, FIN = ct.SYN, ct.ACK, ct.FIN
MS = ct.S // 1000
# Each setting against crafted traffic whose connections it changes, with what a run gives by
# default and with the option (by hand, from the rules of the table):
SETTING_CASES = {
    # Two UDP packets of one key 1 s apart: one connection, or two when 0.5 s of silence ends one.
    "udp": (["--udp-timeout", "0.5"], [(0, ct.udp(A, B, 1000, 53, b"q")), (ct.S, ct.udp(B, A, 53, 1000, b"r"))],
            "uid", [0], [0, 1]),
    "icmp": (["--icmp-timeout", "0.5"], [(0, ct.icmp(A, B, 8, ident=7)), (ct.S, ct.icmp(B, A, 0, ident=7))],
             "uid", [0], [0, 1]),
    "other": (["--other-timeout", "0.5"], [(0, ct.ip(A, B, ct.GRE, b"gre-")), (ct.S, ct.ip(B, A, ct.GRE, b"gre-"))],
              "uid", [0], [0, 1]),
    "tcp": (["--tcp-timeout", "0.5"], [(0, ct.tcp(A, B, 1000, 80, ACK, b"x")),
                                       (ct.S, ct.tcp(B, A, 80, 1000, ACK, b"y"))], "uid", [0], [0, 1]),
    # A handshake and both FINs within 40 ms, then a late ACK 1 s after the second FIN: inside the
    # 5-second close delay it joins; past a 0.5-second one it starts a connection of its own.
    "close": (["--close-delay", "0.5"], [(0, ct.tcp(A, B, 1000, 80, SYN)), (10 * MS, ct.tcp(B, A, 80, 1000, SYN | ACK)),
                                         (20 * MS, ct.tcp(A, B, 1000, 80, ACK)),
                                         (30 * MS, ct.tcp(A, B, 1000, 80, FIN | ACK)),
                                         (40 * MS, ct.tcp(B, A, 80, 1000, FIN | ACK)),
                                         (40 * MS + ct.S, ct.tcp(A, B, 1000, 80, ACK))],
              "uid", [0], [0, 5]),
    # Two DNS connections to one host 1 s apart: the second sees the first in a 2-second window,
    # not in a 0.5-second one.
    "time-window": (["--time-window", "0.5"], [(0, ct.udp(A, B, 1000, 53, b"q")), (ct.S, ct.udp(A, B, 1001, 53, b"q"))],
                    "count", [1, 2], [1, 1]),
    # The same two: a host window of one connection holds only the connection itself.
    "host-window": (["--host-window", "1"], [(0, ct.udp(A, B, 1000, 53, b"q")), (ct.S, ct.udp(A, B, 1001, 53, b"q"))],
                    "dst_host_count", [1, 2], [1, 1]),
}


@pytest.mark.parametrize("case", list(SETTING_CASES))
def test_each_setting_reaches_the_table(tmp_path, case):
    option, items, column, by_default, with_option = SETTING_CASES[case]
    path = ct.write(tmp_path / "in.pcap", items)
    values = []
    for args in ([], option):
        r = kavrel_run("connections", path, *args, "-o", str(tmp_path / "out.parquet"))
        assert r.returncode == 0, r.stderr
        values.append(pq.read_table(tmp_path / "out.parquet")[column].to_pylist())
    assert values == [by_default, with_option]


# ---- labels ------------------------------------------------------------------------------------

# examples/SOURCES.txt: sample-lo.alerts names the DNS-shaped query, the SYN to the closed port, two
# IPv4 pings (one echo connection: the same identifier, a second apart) and one IPv6 ping.
# Each is keyed by (ip_version, protocol_type, orig_port, resp_port): ICMP's are the echo request's type
# and code. The alert_sid is the log's gid:sid:rev.
LABELLED = {(4, "UDP", 39506, 15353): (1, "1:1000102:1"), (4, "TCP", 35430, 18099): (1, "1:1000101:3"),
            (4, "ICMP", 8, 0): (2, "1:1000103:2"), (6, "ICMP", 128, 0): (1, "1:1000104:1")}
NO_SUCH_FLOW = "12/08/26-11:14:19.540176  [**] [1:9:1] no such flow [**] [Priority: 3] {TCP} 10.9.9.9:1 -> 10.9.9.8:2\n"


@pytest.mark.parametrize("extra, unmatched", [("", 0), (NO_SUCH_FLOW, 1)])
@pytest.mark.parametrize("args", [[], ["--kdd"], ["-j", "2"]])
def test_alerts_label_the_connections_they_name(tmp_path, args, extra, unmatched):
    log = tmp_path / "sensor.log"
    log.write_text(open(SAMPLE_ALERTS, encoding="utf-8").read() + extra)
    r = kavrel_run("connections", SAMPLE, *args, "--alerts", str(log), "--alerts-tz", "UTC",
                   "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 0, r.stderr  # an alert that labels nothing is worth saying, no failure
    got = pq.read_table(tmp_path / "out.parquet")
    columns = kavrel.KDD_COLUMNS if "--kdd" in args else None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        want = kavrel.read_connections(SAMPLE, columns=columns, alerts=str(log), alerts_tz="UTC")
    assert [w.category for w in caught] == [kavrel.UnmatchedAlerts] * unmatched
    assert got.equals(want)
    assert got.column_names == list(columns or kavrel.CONNECTION_COLUMNS) + LABELS
    full = kavrel.read_connections(SAMPLE).append_column("alert_count", got["alert_count"]).append_column(
        "alert_sid", got["alert_sid"])
    labelled = {(row["ip_version"], row["protocol_type"], row["orig_port"], row["resp_port"]):
                (row["alert_count"], row["alert_sid"]) for row in full.to_pylist() if row["alert_count"]}
    assert labelled == LABELLED
    notes = r.stderr.splitlines()
    assert len(notes) == 1 + unmatched and SUMMARY.match(notes[-1])
    if unmatched:
        assert notes[0].startswith("kavrel: 1 alert labelled no ")


# ---- the summary, damage, refusals and errors ----------------------------------------------------


@pytest.mark.parametrize("files, words", [
    # One UDP datagram, then a frame cut inside its Ethernet header and an ARP request.
    ([[pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2))), pg.eth(b"")[:10], pg.arp()]],
     "1 connection written to standard output; 3 frames read, 2 skipped (1 not IP, 0 unsupported link type, "
     "1 cut)"),
    # Two files read as one: the second datagram answers the first (one connection), and two frames
    # of 802.11, which has no decoder.
    ([[pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2)))],
      [pg.eth(pg.ipv4("10.0.0.2", "10.0.0.1", 17, pg.udp(2, 1)))],
      ([pg.eth(pg.ipv4("10.0.0.1", "10.0.0.3", 17))] * 2, 105)],
     "1 connection written to standard output; 4 frames read, 2 skipped (0 not IP, 2 unsupported link type, "
     "0 cut)"),
    ([[pg.arp()]], "0 connections written to standard output; 1 frame read, 1 skipped (1 not IP, 0 unsupported "
                   "link type, 0 cut)"),
])
def test_summary_counts_connections_and_frames(tmp_path, files, words):
    paths = []
    for i, item in enumerate(files):
        records, linktype = item if isinstance(item, tuple) else (item, 1)
        paths.append(pg.write_pcap(tmp_path / f"{i}.pcap", records, linktype=linktype))
    r = kavrel_run("connections", *paths)
    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith(f"kavrel: {words} in ") and SUMMARY.match(r.stderr)


def test_truncated_capture_keeps_rows_warns_and_fails(tmp_path):
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(open(SAMPLE, "rb").read()[:-20])  # the last record loses its end
    r = kavrel_run("connections", str(cut), "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 1
    warning, summary = r.stderr.splitlines()
    assert warning.startswith("kavrel: warning: ") and warning.count(str(cut)) == 1 and "cut short" in warning
    assert SUMMARY.match(summary)[3] == "51"
    with pytest.warns(RuntimeWarning):
        want = kavrel.read_connections(str(cut))
    assert pq.read_table(tmp_path / "out.parquet").equals(want)


@pytest.mark.parametrize("name", ["same", "symlink", "hardlink"])
def test_output_that_is_a_capture_is_refused(tmp_path, name):
    capture_copy = tmp_path / "capture.pcap"
    shutil.copy(SAMPLE, capture_copy)
    out = {"same": capture_copy, "symlink": tmp_path / "link.csv", "hardlink": tmp_path / "hard.csv"}[name]
    if name == "symlink":
        out.symlink_to(capture_copy)
    elif name == "hardlink":
        os.link(capture_copy, out)
    r = kavrel_run("connections", SAMPLE, str(capture_copy), "-o", str(out), "--format", "csv")
    assert r.returncode == 2 and r.stderr.endswith(f"the output {out} is the capture {capture_copy}: it would be "
                                                   "destroyed\n")
    assert capture_copy.read_bytes() == open(SAMPLE, "rb").read()


@pytest.mark.parametrize("args, reason", [
    (["missing.pcap"], "missing.pcap: No such file or directory"),
    ([os.path.join(HERE, "data", "alerts", "fast_samples.log")], "not a capture file"),
    ([SAMPLE, "--alerts", "missing.log"], "missing.log: No such file or directory"),
    (["-", "-j", "2"], "standard input cannot be read in parallel"),
])
def test_failures_are_one_line(tmp_path, args, reason):
    r = kavrel_run("connections", *args, "-o", "out.csv", cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and reason in r.stderr, r.stderr
    assert "Traceback" not in r.stderr and os.listdir(tmp_path) == []


@pytest.mark.parametrize("args, message", [
    (["--tcp-timeout", "0"], "--tcp-timeout must be a positive, finite number of seconds"),
    (["--udp-timeout", "-1"], "--udp-timeout must be a positive, finite number of seconds"),
    (["--icmp-timeout", "nan"], "--icmp-timeout must be a positive, finite number of seconds"),
    (["--other-timeout", "inf"], "--other-timeout must be a positive, finite number of seconds"),
    (["--tcp-timeout", "2e9"], "and at most 1e+09, not 2000000000.0"),
    (["--close-delay", "-0.5"], "--close-delay must be a finite number of seconds from 0 to 1e+09, not -0.5"),
    (["--time-window", "0"], "--time-window must be a positive, finite number of seconds"),
    (["--host-window", "0"], "--host-window must be a whole number from 1 to 4,294,967,295, not 0"),
    (["--host-window", "1.5"], "argument --host-window: invalid int value: '1.5'"),
    (["--udp-timeout", "soon"], "argument --udp-timeout: invalid float value: 'soon'"),
    (["--kdd", "--columns", "uid"], "not allowed with argument"),
    (["--columns", "uid,nope"], "--columns: unknown connection column 'nope'"),
    (["--columns", "uid,uid"], "--columns: column 'uid' is asked for twice"),
    (["--columns", ""], "--columns: unknown connection column ''"),
    (["-j", "-1"], "--jobs"),
    (["--format", "parquet"], "Parquet is not written to standard output"),
    (["-o", "out.txt"], "cannot tell the format of out.txt"),
    (["-", "-"], "standard input (-) can only be the first capture"),
    (["--alerts", SAMPLE_ALERTS, "--alerts-tz", "Mars/Base"], "unknown time zone 'Mars/Base'"),
])
def test_bad_settings_are_one_usage_error(tmp_path, args, message):
    r = kavrel_run("connections", SAMPLE, *args, cwd=tmp_path)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.startswith("usage: kavrel connections")
    errors = [line for line in r.stderr.splitlines() if not line.startswith(("usage:", " "))]
    assert len(errors) == 1 and errors[0].startswith("kavrel connections: error: "), r.stderr
    assert message in errors[0] and os.listdir(tmp_path) == []


def test_settings_at_their_limits_are_taken(tmp_path):
    # The smallest and largest values each check lets through still make a table.
    args = ["--tcp-timeout", "1e9", "--udp-timeout", "1e-9", "--close-delay", "0", "--host-window", "4294967295",
            "--time-window", "1e9", "-o", "out.parquet"]
    r = kavrel_run("connections", SAMPLE, *args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert pq.read_table(tmp_path / "out.parquet").equals(kavrel.read_connections(
        SAMPLE, tcp_timeout=1e9, udp_timeout=1e-9, close_delay=0, host_window=2**32 - 1, time_window=1e9))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_progress_bar_on_a_terminal(tmp_path, jobs):
    import fcntl
    import pty
    import struct
    import termios

    main, side = pty.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    paths = [capture("linux-scan.pcap"), capture("linux-http.pcap")]
    proc = subprocess.Popen([*COMMAND, "connections", *paths, "-j", jobs, "-o", str(tmp_path / "out.csv")],
                            stderr=side, stdout=subprocess.DEVNULL)
    os.close(side)
    seen = b""
    try:
        while chunk := os.read(main, 4096):
            seen += chunk
    except OSError:  # reading a pty whose other side closed ends in EIO
        pass
    os.close(main)
    assert proc.wait(timeout=60) == 0
    text = seen.decode()
    assert re.search(r"kavrel: +\d+%\|.*\| .*packets/s", text), text
    summary = SUMMARY.match(text.rsplit("\r", 2)[-2].strip())  # the bar is cleared, the summary stays
    assert summary and int(summary[1]) == kavrel.read_connections(paths).num_rows


# ---- interrupts ----------------------------------------------------------------------------------


@pytest.mark.parametrize("out", ["out.csv", "out.jsonl", "out.parquet"])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_interrupt_removes_the_partial_output(tmp_path, out, signum):
    data = open(SAMPLE, "rb").read()
    proc = subprocess.Popen([*COMMAND, "connections", "-", "-o", str(tmp_path / out)], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp_path)
    proc.stdin.write(data[:24 + 16 + 74])  # the file header and the first record
    proc.stdin.flush()
    deadline = time.monotonic() + 30
    while not any(name.endswith(".part") for name in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(signum)
    proc.stdin.close()
    assert proc.wait(timeout=30) == 128 + signum
    assert proc.stderr.read() == (b"kavrel: interrupted\n" if signum == signal.SIGINT else b"kavrel: terminated\n")
    assert os.listdir(tmp_path) == []


# As tests/test_interrupts.py: from before the command line has loaded to past the end of the run.
MOMENTS = [(signal.SIGINT, 0.0, None), (signal.SIGTERM, 0.004, None), (signal.SIGINT, 0.15, None),
           (signal.SIGTERM, 0.5, 0.01), (signal.SIGINT, 1.2, 0.2), (signal.SIGTERM, 3.0, None)]


@pytest.fixture(scope="module")
def interrupt_setup(tmp_path_factory):
    setup = trials.Setup.make(str(tmp_path_factory.mktemp("interrupts")), packets=60_000, log_lines=10)
    # The rows of a complete output: the capture's connections, and those of it read twice as one.
    rows = {1: kavrel.read_connections(setup.capture).num_rows,
            2: kavrel.read_connections([setup.capture] * 2).num_rows}
    return setup, rows


def connection_trial(setup, rows: dict[int, int], folder: str, name: str) -> trials.Trial:
    out = os.path.join(folder, "out")
    argv = {"connections -": ["connections", "-", "-o", out + ".csv"],
            "connections --kdd": ["connections", setup.capture, "--kdd", "-o", out + ".jsonl"],
            "connections -j 2": ["connections", setup.capture, setup.capture, "-j", "2", "-o", out + ".parquet"]}[name]
    return trials.Trial(name, argv, argv[-1], rows[2 if "-j" in argv else 1],
                        feed=setup.capture if "-" in argv else None)


@pytest.mark.parametrize("signum, delay, second", MOMENTS,
                         ids=[f"{signal.Signals(s).name}-{d}s" + ("-twice" if t else "") for s, d, t in MOMENTS])
@pytest.mark.parametrize("name", ["connections -", "connections --kdd", "connections -j 2"])
def test_a_signal_at_any_moment_leaves_nothing_behind(interrupt_setup, tmp_path, name, signum, delay, second):
    trial = connection_trial(*interrupt_setup, str(tmp_path), name)
    assert trials.run(trial, str(tmp_path), signum, delay, second) == []


# ---- the command's own process --------------------------------------------------------------------


def threads_while_waiting(env: dict[str, str]) -> int:
    """The threads of `kavrel connections -` once it has loaded everything and waits for the capture."""
    proc = subprocess.Popen([*COMMAND, "connections", "-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 30
        while True:  # the capture's reader polls standard input
            assert time.monotonic() < deadline and proc.poll() is None
            tasks = os.listdir(f"/proc/{proc.pid}/task")
            calls = set()
            for task in tasks:
                try:
                    calls.add(open(f"/proc/{proc.pid}/task/{task}/syscall").read().split()[0])
                except OSError:
                    pass
            if calls & {"7", "271"}:  # poll or ppoll (x86-64): nothing more starts until data comes
                return len(tasks)
            time.sleep(0.02)
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2 or os.uname().machine != "x86_64",
                    reason="needs two cores (OpenBLAS starts no thread on one) and x86-64 system call numbers")
def test_the_command_starts_no_math_library_threads():
    env = {k: v for k, v in os.environ.items() if not k.endswith("_NUM_THREADS")}
    # A value the user set is kept: OpenBLAS then starts its one thread beside the command's own.
    assert threads_while_waiting(env | {"OPENBLAS_NUM_THREADS": "2"}) == threads_while_waiting(env) + 1
