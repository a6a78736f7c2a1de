"""The kavrel command line, run as a real process on real files."""

import contextlib
import csv
import fcntl
import json
import os
import pty
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest

import kavrel
import pcapgen as pg
from conftest import needs_root
from netns import needs_netns
from kavrel.core.base import idslog

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SAMPLE = os.path.join(ROOT, "examples", "sample-lo.pcap")
ALERT_LOG = os.path.join(ROOT, "examples", "alerts.log")
SAMPLE_ALERTS = os.path.join(ROOT, "examples", "sample-lo.alerts")  # alerts on SAMPLE's packets, UTC
ALERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "alerts", "fast_samples.log")
SCRIPT = os.path.join(os.path.dirname(sys.executable), "kavrel")
COMMAND = [SCRIPT] if os.path.exists(SCRIPT) else [sys.executable, "-m", "kavrel"]
SUMMARY = re.compile(r"^kavrel: [\d,]+ rows? written to .+; [\d,]+ frames? skipped \(.*\) in [\d.]+ s$")
NO_PRIVILEGE_TO_READ = ["setpriv", "--bounding-set=-dac_override,-dac_read_search",
                        "--inh-caps=-dac_override,-dac_read_search"]


def kavrel_run(*args, **kwargs) -> subprocess.CompletedProcess:
    if "stdout" not in kwargs:
        kwargs.setdefault("capture_output", True)
    return subprocess.run([*COMMAND, *args], text=True, timeout=120, **kwargs)


def read_back(path, fmt: str, schema: pa.Schema) -> pa.Table:
    """A written table read by a reader of its format, in the engine's types."""
    if fmt == "parquet":
        return pq.read_table(path)
    if fmt == "csv":
        types = {f.name: f.type.value_type if pa.types.is_dictionary(f.type) else f.type for f in schema}
        options = pyarrow.csv.ConvertOptions(column_types=types, strings_can_be_null=True)
        return pyarrow.csv.read_csv(path, convert_options=options).cast(schema)
    rows = [json.loads(line) for line in open(path, encoding="utf-8")]
    for row in rows:
        for field in schema:
            if pa.types.is_timestamp(field.type):
                assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z", row[field.name])
    return pa.Table.from_pylist(rows).cast(schema)


# ---- features and packets -------------------------------------------------------------


@pytest.mark.parametrize("command, args, fmt, columns", [
    ("packets", ["-o", "out.parquet"], "parquet", None),
    ("packets", ["-o", "out.csv"], "csv", None),
    ("packets", [], "csv", None),  # standard output
    ("packets", ["-o", "out.jsonl", "--columns", "dst_ip,timestamp,src_port"], "jsonl", ["dst_ip", "timestamp", "src_port"]),
    ("features", ["-o", "out.PARQUET"], "parquet", None),
    ("features", ["-o", "out.data", "--format", "jsonl"], "jsonl", None),
    ("features", ["--columns", "src_ip,vlan"], "csv", ["src_ip", "vlan"]),
])
def test_table_output_equals_the_engine(tmp_path, command, args, fmt, columns):
    r = kavrel_run(command, SAMPLE, *args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    read = kavrel.read_packets if command == "packets" else kavrel.read_features
    want = read(SAMPLE, columns=columns)
    if "-o" in args:
        out = tmp_path / args[args.index("-o") + 1]
        assert r.stdout == ""
    else:
        out = tmp_path / "stdout"
        out.write_text(r.stdout)
    assert read_back(out, fmt, want.schema).equals(want)
    assert SUMMARY.match(r.stderr) and r.stderr.count("\n") == 1, r.stderr


def test_captures_are_read_as_one(tmp_path):
    # The second copy continues the first one's count chains.
    r = kavrel_run("features", SAMPLE, SAMPLE, "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 0, r.stderr
    got = pq.read_table(tmp_path / "out.parquet")
    assert got.equals(kavrel.read_features([SAMPLE, SAMPLE]))
    assert not got.equals(pa.concat_tables([kavrel.read_features(SAMPLE)] * 2))


@pytest.mark.parametrize("command", ["features", "packets"])
def test_jobs_give_the_one_pass_rows(tmp_path, command):
    r = kavrel_run(command, SAMPLE, SAMPLE, SAMPLE, "-j", "2", "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 0, r.stderr
    read = kavrel.read_packets if command == "packets" else kavrel.read_features
    assert pq.read_table(tmp_path / "out.parquet").equals(read([SAMPLE] * 3))


@pytest.mark.parametrize("extra, unmatched", [("", 0), (
    "12/08/26-11:14:19.540176  [**] [1:9:1] no such flow [**] [Priority: 3] {TCP} 10.9.9.9:1 -> 10.9.9.8:2\n", 1)])
def test_features_labelled_with_alerts(tmp_path, extra, unmatched):
    log = tmp_path / "sensor.log"
    log.write_text(open(SAMPLE_ALERTS, encoding="utf-8").read() + extra)
    r = kavrel_run("features", SAMPLE, "--alerts", str(log), "--alerts-tz", "UTC", "-o", str(tmp_path / "out.parquet"))
    # An alert that labels nothing is worth saying but is no failure.
    assert r.returncode == 0, r.stderr
    got = pq.read_table(tmp_path / "out.parquet")
    with pytest.warns(kavrel.dataset.UnmatchedAlerts) if unmatched else contextlib.nullcontext():
        assert got.equals(kavrel.read_features(SAMPLE, alerts=str(log), alerts_tz="UTC"))
    assert got.column_names[-4:] == ["alert_count", "alert_sid", "alert_msg", "alert_priority"]
    # examples/SOURCES.txt: the log's five alerts each name one packet of the sample.
    assert sum(got["alert_count"].to_pylist()) == 5
    notes = r.stderr.splitlines()
    assert (notes[0] == "kavrel: 1 alert labelled no packet") if unmatched else len(notes) == 1
    assert SUMMARY.match(notes[-1])


def test_standard_input(tmp_path):
    want = kavrel.read_features(SAMPLE)
    with open(SAMPLE, "rb") as fh:
        r = kavrel_run("features", "-", "-o", str(tmp_path / "file.parquet"), stdin=fh)
    assert r.returncode == 0, r.stderr
    assert pq.read_table(tmp_path / "file.parquet").equals(want)
    piped = subprocess.run(f"cat {SAMPLE} | {' '.join(COMMAND)} features - {SAMPLE} -o {tmp_path / 'pipe.parquet'}",
                           shell=True, capture_output=True, text=True, timeout=60)
    assert piped.returncode == 0, piped.stderr
    assert pq.read_table(tmp_path / "pipe.parquet").equals(kavrel.read_features([SAMPLE, SAMPLE]))


@pytest.mark.parametrize("files, words", [
    ([[pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2))), pg.arp()]],
     "1 row written to standard output; 1 frame skipped (1 not IP, 0 unsupported link type, 0 cut)"),
    ([[pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2))), pg.eth(b"")[:10], pg.arp()],
      ([pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17))] * 2, 105)],  # 802.11: no decoder
     "1 row written to standard output; 4 frames skipped (1 not IP, 2 unsupported link type, 1 cut)"),
])
def test_summary_counts_skipped_frames_by_reason(tmp_path, files, words):
    paths = []
    for i, item in enumerate(files):
        records, linktype = item if isinstance(item, tuple) else (item, 1)
        paths.append(pg.write_pcap(tmp_path / f"{i}.pcap", records, linktype=linktype))
    r = kavrel_run("packets", *paths)
    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith(f"kavrel: {words} in ")


@pytest.mark.parametrize("command", ["features", "packets"])
def test_truncated_capture_keeps_rows_warns_and_fails(tmp_path, command):
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(open(SAMPLE, "rb").read()[:-20])  # the last record loses its end
    r = kavrel_run(command, str(cut), "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 1
    warning, summary = r.stderr.splitlines()
    assert warning.startswith("kavrel: warning: ") and warning.count(str(cut)) == 1 and "cut short" in warning
    assert SUMMARY.match(summary)
    read = kavrel.read_packets if command == "packets" else kavrel.read_features
    with pytest.warns(RuntimeWarning):
        want = read(str(cut))
    assert want.num_rows == 51 and pq.read_table(tmp_path / "out.parquet").equals(want)


# ---- what a run must never do ------------------------------------------------------------


@pytest.mark.parametrize("name", ["same", "symlink", "hardlink"])
def test_output_that_is_an_input_is_refused(tmp_path, name):
    capture = tmp_path / "capture.pcap"
    shutil.copy(SAMPLE, capture)
    out = {"same": capture, "symlink": tmp_path / "link.csv", "hardlink": tmp_path / "hard.csv"}[name]
    if name == "symlink":
        out.symlink_to(capture)
    elif name == "hardlink":
        os.link(capture, out)
    r = kavrel_run("packets", SAMPLE, str(capture), "-o", str(out), "--format", "csv")
    assert r.returncode == 2 and "it would be destroyed" in r.stderr
    assert capture.read_bytes() == open(SAMPLE, "rb").read()
    log = tmp_path / "alert"
    shutil.copy(ALERT_LOG, log)
    os.link(log, tmp_path / "alert-link")
    r = kavrel_run("alerts", str(log), "--subnet", "10.0.0.0/8", "-o", str(tmp_path / "alert-link"))
    assert r.returncode == 2 and log.read_bytes() == open(ALERT_LOG, "rb").read()


@pytest.mark.parametrize("to_stdout", [False, True])
def test_full_device_is_one_line_and_exit_1(to_stdout):
    before = set(os.listdir("/dev"))
    if to_stdout:
        with open("/dev/full", "w") as full:
            r = kavrel_run("packets", SAMPLE, stdout=full, stderr=subprocess.PIPE)
    else:
        r = kavrel_run("packets", SAMPLE, "-o", "/dev/full")
    assert r.returncode == 1
    assert r.stderr.endswith(": No space left on device\n") and r.stderr.count("\n") == 1, r.stderr
    assert set(os.listdir("/dev")) == before


def test_failed_write_leaves_the_old_file(tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    # A file size limit makes the write fail once the output passes 4 KiB.
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))  # noqa: E731
    r = kavrel_run("packets", SAMPLE, SAMPLE, "-o", str(out), preexec_fn=limit)
    assert r.returncode == 1 and r.stderr == f"kavrel: cannot write {out}: File too large\n"
    assert os.listdir(tmp_path) == ["out.csv"] and out.read_text() == "old\n"


@pytest.mark.parametrize("out", ["out.csv", "out.parquet"])
def test_interrupt_removes_the_partial_output(tmp_path, out):
    data = open(SAMPLE, "rb").read()
    proc = subprocess.Popen([*COMMAND, "features", "-", "-o", str(tmp_path / out)], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=tmp_path)
    proc.stdin.write(data[:24 + 16 + 74])  # the file header and the first record
    proc.stdin.flush()
    deadline = time.monotonic() + 30
    while not any(name.endswith(".part") for name in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    proc.stdin.close()
    assert proc.wait(timeout=30) == 130
    assert proc.stderr.read() == b"kavrel: interrupted\n"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args", [[SAMPLE, "missing.pcap"], [SAMPLE, ALERTS]])
def test_nothing_is_written_before_every_capture_opens(args):
    r = kavrel_run("packets", *args)
    assert r.returncode == 1 and r.stdout == ""


# ---- errors -------------------------------------------------------------------------------


@pytest.mark.parametrize("args, name, reason", [
    (["packets", "missing.pcap"], "missing.pcap", "No such file or directory"),
    (["features", ALERTS], ALERTS, "not a capture file"),
    (["features", ROOT], ROOT, "Is a directory"),
    (["features", "-"], "standard input", "not a capture file"),
    (["packets", SAMPLE, "-o", os.path.join(ROOT, "no-dir", "out.csv")], os.path.join(ROOT, "no-dir", "out.csv"),
     "No such file or directory"),
    (["alerts", "missing.log", "--subnet", "10.0.0.0/8"], "missing.log", "No such file or directory"),
    (["sniff", "-i", "no-such-device0", "-c", "1"], "no-such-device0", "no such capture device"),
    # Refused before the capture opens: no rows would have anywhere to go.
    (["sniff", "-i", "lo", "-G", "1", "-o", os.path.join(ROOT, "no-dir", "f-%S.parquet")],
     os.path.join(ROOT, "no-dir", "f-"), "No such file or directory"),
])
def test_failures_are_one_line_naming_the_file_once(args, name, reason):
    r = kavrel_run(*args, stdin=subprocess.DEVNULL)
    assert r.returncode == 1
    assert r.stderr.count("\n") == 1 and r.stderr.count(name) == 1 and reason in r.stderr, r.stderr


def test_unreadable_capture_is_one_line(tmp_path):
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv not available")
    capture = tmp_path / "secret.pcap"
    shutil.copy(SAMPLE, capture)
    capture.chmod(0)
    r = subprocess.run([*NO_PRIVILEGE_TO_READ, *COMMAND, "packets", str(capture)], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 1 and r.stderr == f"kavrel: {capture}: Permission denied\n"


@pytest.mark.parametrize("args, message", [
    (["packets", SAMPLE, "--format", "xml"], "invalid choice"),
    (["packets", SAMPLE, "--format", "parquet"], "standard output"),
    (["packets", SAMPLE, "-o", "out.txt"], "cannot tell the format"),
    (["packets", SAMPLE, "--columns", "src_ip,nope"], "unknown packet column 'nope'"),
    (["features", SAMPLE, "--columns", "timestamp"], "already a feature column"),
    (["features", SAMPLE, "-"], "standard input"),
    (["features"], "required"),
    (["bogus"], "invalid choice"),
    (["alerts", ALERTS, "--subnet", "10.0.0.0/33"], "invalid subnet"),
    (["sniff", "-c", "0"], "positive"),
    (["sniff", "-f", "udp", "tcp"], "not both"),
    (["sniff", "-G", "1"], "-o PATTERN"),
    (["sniff", "-G", "0", "-o", "f-%S.csv"], "above 0"),
    (["sniff", "--format", "parquet"], "standard output"),
    (["features", SAMPLE, "-j", "-1"], "--jobs"),
    (["features", SAMPLE, "--alerts", ALERTS, "--alerts-tz", "Mars/Base"], "unknown time zone 'Mars/Base'"),
    (["alerts", ALERTS, "--format", "parquet"], "standard output"),
])
def test_usage_errors_show_the_usage_then_one_error(tmp_path, args, message):
    r = kavrel_run(*args, cwd=tmp_path)
    assert r.returncode == 2 and r.stdout == ""
    command = args[0] if args[0] != "bogus" else ""
    assert r.stderr.startswith(f"usage: kavrel {command}".rstrip())
    errors = [line for line in r.stderr.splitlines() if not line.startswith(("usage:", " "))]
    assert len(errors) == 1 and errors[0].startswith(f"kavrel {command}".rstrip() + ": error: ")
    assert message in errors[0] and os.listdir(tmp_path) == []


def test_output_to_closed_pipe_is_quiet():
    proc = subprocess.Popen([*COMMAND, "packets", SAMPLE, SAMPLE, SAMPLE], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=60) == 0
    assert b"Traceback" not in proc.stderr.read()


# ---- progress -------------------------------------------------------------------------------


@pytest.mark.parametrize("rows, columns", [(24, 100), (0, 0)])  # a terminal that reports no size too
def test_progress_bar_on_a_terminal(tmp_path, rows, columns):
    main, side = pty.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    proc = subprocess.Popen([*COMMAND, "features", SAMPLE, "-o", str(tmp_path / "out.csv")], stderr=side,
                            stdout=subprocess.DEVNULL)
    os.close(side)
    seen = b""
    with contextlib.suppress(OSError):  # reading a pty whose other side closed ends in EIO
        while chunk := os.read(main, 4096):
            seen += chunk
    os.close(main)
    assert proc.wait(timeout=60) == 0
    text = seen.decode()
    assert re.search(r"kavrel: +\d+%\|.*\| .*packets/s", text), text
    assert SUMMARY.match(text.rsplit("\r", 2)[-2].strip())  # the bar is cleared, the summary stays


def test_no_progress_bar_off_a_terminal(tmp_path):
    r = kavrel_run("features", SAMPLE, "-o", str(tmp_path / "out.csv"))
    assert r.returncode == 0 and SUMMARY.match(r.stderr) and r.stderr.count("\n") == 1


# ---- alerts and devices ----------------------------------------------------------------------


def test_alerts_report_their_counts_and_write_where_asked(tmp_path):
    log = tmp_path / "alerts.log"
    shutil.copy(ALERT_LOG, log)
    (tmp_path / "alerts.log.csv").write_text("kept\n")
    lines = sum(1 for line in open(log, "rb") if line.strip())
    r = kavrel_run("alerts", str(log), "--subnet", "192.168.1.0/24", "-o", str(tmp_path / "out.csv"))
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "alerts.log.csv").read_text() == "kept\n"
    # examples/SOURCES.txt: the start-up notice is the one line that is not an alert.
    assert r.stderr == f"kavrel: {lines - 1} alerts written to {tmp_path / 'out.csv'}; 1 line skipped (not alerts)\n"
    reference = tmp_path / "reference"
    shutil.copy(ALERT_LOG, reference)
    assert (tmp_path / "out.csv").read_bytes() == open(idslog.process_alerts_to_csv(str(reference), "192.168.1.0/24"),
                                                       "rb").read()
    assert sorted(os.listdir(tmp_path)) == ["alerts.log", "alerts.log.csv", "out.csv", "reference", "reference.csv"]


def test_alerts_as_a_typed_table(tmp_path):
    r = kavrel_run("alerts", ALERT_LOG, "--tz", "Asia/Ho_Chi_Minh", "--year", "2024", "-o",
                   str(tmp_path / "alerts.parquet"))
    assert r.returncode == 0, r.stderr
    got = pq.read_table(tmp_path / "alerts.parquet")
    from kavrel.alerts import read_alerts
    want = read_alerts(ALERT_LOG, tz="Asia/Ho_Chi_Minh", year=2024)
    assert got.equals(want) and got.num_rows > 0
    assert r.stderr == f"kavrel: {got.num_rows} alerts written to {tmp_path / 'alerts.parquet'}; 1 line skipped (not alerts)\n"
    assert os.listdir(tmp_path) == ["alerts.parquet"]


def test_alerts_without_a_subnet_flag_nothing_internal(tmp_path):
    r = kavrel_run("alerts", ALERT_LOG, "-o", str(tmp_path / "out.csv"))
    assert r.returncode == 0, r.stderr
    with open(tmp_path / "out.csv", newline="") as fh:
        rows = list(csv.DictReader(fh))
    assert rows and {(row["is_src_internal"], row["is_dst_internal"]) for row in rows} == {("0", "0")}
    assert any(row["src_ip"].startswith("192.168.1.") for row in rows)  # internal, had a subnet been given


@pytest.mark.parametrize("text, words", [
    ("starting up\n\nnot an alert either\n", "0 alerts written to {}; 2 lines skipped"),
    (open(ALERT_LOG, encoding="utf-8").readlines()[0] + "\nstarting up\n", "1 alert written to {}; 1 line skipped"),
])
def test_alerts_counts_beside_the_log(tmp_path, text, words):
    log = tmp_path / "alert"
    log.write_text(text)
    r = kavrel_run("alerts", str(log), "--subnet", "10.0.0.0/8")
    assert r.returncode == 0 and r.stdout == f"{log}.csv\n"
    assert r.stderr == f"kavrel: {words.format(f'{log}.csv')} (not alerts)\n"
    assert open(f"{log}.csv").readline().startswith("timestamp,sid,msg")


@pytest.mark.parametrize("link", [os.link, os.symlink], ids=["hard", "symbolic"])
def test_alerts_never_write_over_the_log_they_read(tmp_path, link):
    log = tmp_path / "a.log"
    shutil.copy(ALERT_LOG, log)
    link(log, tmp_path / "a.log.csv")  # LOG.csv, the default output, is the log under another name
    r = kavrel_run("alerts", str(log))
    assert r.returncode == 2 and r.stderr.endswith(f"the output {log}.csv is the alert log {log}: it would be "
                                                   "destroyed\n")
    assert log.read_bytes() == open(ALERT_LOG, "rb").read()


def test_alerts_beside_the_log_replace_the_old_csv_whole(tmp_path):
    log = tmp_path / "a.log"
    shutil.copy(ALERT_LOG, log)
    (tmp_path / "a.log.csv").write_text("an older CSV\n")
    os.chmod(tmp_path / "a.log.csv", 0o640)
    r = kavrel_run("alerts", str(log))
    assert r.returncode == 0, r.stderr
    reference = tmp_path / "reference"
    shutil.copy(ALERT_LOG, reference)
    assert (tmp_path / "a.log.csv").read_bytes() == open(idslog.process_alerts_to_csv(str(reference), ""), "rb").read()
    assert os.stat(tmp_path / "a.log.csv").st_mode & 0o777 == 0o640  # replaced, keeping its mode
    assert sorted(os.listdir(tmp_path)) == ["a.log", "a.log.csv", "reference", "reference.csv"]


@pytest.mark.parametrize("to_stdout", [False, True])
def test_alert_messages_of_any_length_go_to_csv(tmp_path, to_stdout):
    long = "m" * (300 << 10)  # past the csv module's default field limit
    line = next(line for line in open(ALERT_LOG, encoding="utf-8") if "[**]" in line)
    log = tmp_path / "long.log"
    log.write_text(re.sub(r"(\[\*\*\] \[\d+:\d+:\d+\] )", lambda m: m.group(1) + long + " ", line, count=1))
    args = ["-o", "-"] if to_stdout else []
    r = kavrel_run("alerts", str(log), *args)
    assert r.returncode == 0, r.stderr
    text = r.stdout if to_stdout else (tmp_path / "long.log.csv").read_text()
    assert long in text and "1 alert written" in r.stderr


@pytest.mark.parametrize("subnet", ["192.168.1.0/255.255.255.0", "192.168.1.0/0.0.0.255", "192.168.1.7/24"])
def test_a_subnet_with_a_netmask_flags_what_its_prefix_flags(tmp_path, subnet):
    runs = []
    for given in ("192.168.1.0/24", subnet):
        out = tmp_path / f"{len(runs)}.csv"
        r = kavrel_run("alerts", ALERT_LOG, "--subnet", given, "-o", str(out))
        assert r.returncode == 0, r.stderr
        runs.append(out.read_bytes())
    assert runs[0] == runs[1] and b",1," in runs[0]


def test_lines_ended_by_a_carriage_return_alone_are_counted_as_lines(tmp_path):
    lines = open(ALERT_LOG, encoding="utf-8").read().splitlines()
    log = tmp_path / "cr.log"
    log.write_bytes("\r".join(lines).encode() + b"\r")
    r = kavrel_run("alerts", str(log), "-o", str(tmp_path / "out.csv"))
    assert r.returncode == 0, r.stderr
    assert r.stderr.endswith(f"; 1 line skipped (not alerts)\n")


@pytest.mark.parametrize("option", [["--tz", "UTC"], ["--year", "2020"], ["--date-order", "ymd"]])
def test_typed_table_options_are_refused_for_csv(tmp_path, option):
    r = kavrel_run("alerts", ALERT_LOG, "-o", str(tmp_path / "out.csv"), *option)
    assert r.returncode == 2 and "apply to the typed table only" in r.stderr
    assert os.listdir(tmp_path) == []


def test_bytes_that_are_not_utf8_are_said_in_the_summary(tmp_path):
    line = next(line for line in open(ALERT_LOG, "rb") if b"[**]" in line)
    log = tmp_path / "bad.log"
    log.write_bytes(re.sub(rb"(\[\*\*\] \[\d+:\d+:\d+\] )", lambda m: m.group(1) + b"\xff\xfe", line, count=1)
                    + line)
    r = kavrel_run("alerts", str(log), "--tz", "UTC", "-o", str(tmp_path / "out.parquet"))
    assert r.returncode == 0, r.stderr
    assert r.stderr.endswith("; 1 line with bytes that are not UTF-8, kept as U+FFFD\n")
    assert "\ufffd" in pq.read_table(tmp_path / "out.parquet")["msg"][0].as_py()


def test_an_alert_log_that_is_a_directory_is_named(tmp_path):
    r = kavrel_run("features", SAMPLE, "--alerts", str(tmp_path))
    assert r.returncode == 1 and r.stderr == f"kavrel: {tmp_path}: Is a directory\n"


def test_devices_table_marks_the_choice():
    r = kavrel_run("devices")
    assert r.returncode == 0
    lines = r.stdout.splitlines()
    assert lines[0].split() == ["NAME", "FLAGS", "DESCRIPTION"]
    assert sum(1 for line in lines[1:-1] if line.startswith("*")) == 1
    assert any(line.split()[0] == "lo" and "loopback" in line for line in lines[1:-1])


# ---- sniff -------------------------------------------------------------------------------------


@contextlib.contextmanager
def loopback_traffic():
    stop = threading.Event()

    def send():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            while not stop.is_set():
                s.sendto(b"cli", ("127.0.0.1", 9))
                time.sleep(0.02)

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    try:
        yield
    finally:
        stop.set()
        sender.join()


@needs_root
@pytest.mark.parametrize("extra, key, count, words", [([], "src_mac", 3, "3 rows"),
                                                     (["--features"], "count", 1, "1 row"),
                                                     (["-s", "0"], "captured_length", 2, "2 rows")])  # as tcpdump
def test_sniff_count_on_loopback(extra, key, count, words):
    with loopback_traffic():
        r = kavrel_run("sniff", "-i", "lo", "-c", str(count), *extra)
    assert r.returncode == 0, r.stderr
    records = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(records) == count and all(key in rec for rec in records)
    assert r.stderr.splitlines()[-1].startswith(f"kavrel: {words} written to standard output; ")


@needs_root
def test_sniff_write_failure_is_one_line():
    with loopback_traffic():
        r = kavrel_run("sniff", "-i", "lo", "-c", "3", "--features", "-o", "/dev/full", "udp", "port", "9")
    assert r.returncode == 1
    assert r.stderr.splitlines()[1:] == ["kavrel: cannot write /dev/full: No space left on device (3 rows not "
                                         "written; the capture stopped)"]


@needs_root
def test_sniff_ctrl_c_ends_with_summary():
    proc = subprocess.Popen([*COMMAND, "sniff", "-i", "lo", "--format", "csv"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert out.splitlines()[0].replace('"', "").split(",") == list(kavrel.PACKET_COLUMNS)
    assert "(interrupted)" in err.splitlines()[-1] and "Traceback" not in err


@needs_root
def test_sniff_without_privileges_says_so():
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv not available")
    # Still root, but without CAP_NET_RAW: the capture socket is refused.
    drop = ["setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw"]
    r = subprocess.run([*drop, *COMMAND, "sniff", "-i", "lo", "-c", "1"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.startswith("kavrel: live capture needs root or CAP_NET_RAW (") and "Traceback" not in r.stderr


# ---- sniff on a veth pair of the test's own -----------------------------------------------------

LIVE_SUMMARY = re.compile(r"^kavrel: ([\d,]+) rows? written to (.+); ([\d,]+) frames? captured on kvcap \(([\d,]+) "
                          r"not decoded\) in [\d.]+ s \((done|interrupted|terminated)\); ([\d,]+) received, "
                          r"([\d,]+) dropped by the kernel, ([\d,]+) by the interface$")


def udp_frame(port: int) -> bytes:
    return pg.eth(pg.ipv4("10.9.0.1", "10.9.0.2", 17, pg.udp(40000, port)))


def sniff_on(link, *args, cwd=None) -> subprocess.Popen:
    """`kavrel sniff -i kvcap ARGS` in the link's namespace, returned once it captures."""
    proc = subprocess.Popen(["ip", "netns", "exec", link.name, *COMMAND, "sniff", "-i", "kvcap", *args], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    proc.first_line = proc.stderr.readline()  # type: ignore[attr-defined]
    assert proc.first_line.startswith("kavrel: capturing on kvcap, link type 1"), proc.first_line  # type: ignore
    return proc


def finished(proc: subprocess.Popen, sig: int | None = None) -> tuple[int, str, str]:
    if sig is not None:
        time.sleep(0.3)  # past the kernel's hand-over of the last frames
        proc.send_signal(sig)
    out, err = proc.communicate(timeout=30)
    return proc.returncode, out, proc.first_line + err  # type: ignore[attr-defined]


@needs_netns
@pytest.mark.parametrize("args, fmt, sig", [
    (["--features"], "parquet", signal.SIGINT),
    (["--features"], "csv", signal.SIGTERM),
    (["--columns", "dst_port"], "jsonl", signal.SIGTERM),  # the time cuts the files without being written
])
def test_sniff_rotates_into_complete_files(link, tmp_path, args, fmt, sig):
    proc = sniff_on(link, *args, "-G", "1", "-o", f"f-%H%M%S.{fmt}", "udp", cwd=tmp_path)
    ports = list(range(1000, 1150))
    link.send([udp_frame(p) for p in ports], 0.025)  # about 4 s
    code, out, err = finished(proc, sig)
    assert code == 0 and out == "", err
    summary = LIVE_SUMMARY.match(err.splitlines()[-1])
    assert summary and summary[5] == ("interrupted" if sig == signal.SIGINT else "terminated"), err
    files = sorted(os.listdir(tmp_path))
    assert len(files) >= 3 and all(re.fullmatch(rf"f-\d{{6}}\.{fmt}", f) for f in files), files
    schema = (kavrel.read_features if args == ["--features"] else kavrel.read_packets)(
        SAMPLE, columns=None if args == ["--features"] else ["dst_port"]).schema
    tables = [read_back(tmp_path / f, fmt, schema) for f in files]
    assert tables[0].schema.names == schema.names and all(t.num_rows for t in tables)
    # Together the files are every packet sent, in order, each once.
    assert sum((t["dst_port"].to_pylist() for t in tables), []) == ports
    assert summary[1] == str(len(ports)) and summary[2] == f"{len(files)} files ({files[0]} to {files[-1]})"
    if "timestamp" in schema.names:  # each file holds the rows of one second of its own
        spans = [(min(t["timestamp"].to_pylist()), max(t["timestamp"].to_pylist())) for t in tables]
        assert all(hi - lo < 1 for lo, hi in spans) and all(a[1] < b[0] for a, b in zip(spans, spans[1:]))


@needs_netns
@pytest.mark.parametrize("filter_args", [["udp", "dst", "port", "7"], ["-f", "udp dst port 7"]])
def test_sniff_filter_passes_exactly_its_half(link, tmp_path, filter_args):
    proc = sniff_on(link, *filter_args, "-o", "out.parquet", cwd=tmp_path)
    link.send([udp_frame(7 + i % 2) for i in range(200)], 0.001)
    code, _, err = finished(proc, signal.SIGINT)
    assert code == 0, err
    assert pq.read_table(tmp_path / "out.parquet")["dst_port"].to_pylist() == [7] * 100
    summary = LIVE_SUMMARY.match(err.splitlines()[-1])
    assert summary.group(1, 2, 3, 7) == ("100", "out.parquet", "100", "0")


@needs_netns
def test_sniff_bad_filter_is_a_usage_error(link):
    r = subprocess.run(["ip", "netns", "exec", link.name, *COMMAND, "sniff", "-i", "kvcap", "udp", "port", "nine"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.splitlines()[-1].startswith("kavrel sniff: error: bad capture filter 'udp port nine': ")


@needs_netns
def test_sniff_counts_the_kernels_drops(link, tmp_path):
    proc = sniff_on(link, "-B", "1", "--features", "-o", "out.parquet", "udp", cwd=tmp_path)
    link.send([udp_frame(9)] * 50_000)  # far faster than a ring of a few frames empties
    code, _, err = finished(proc, signal.SIGINT)
    summary = LIVE_SUMMARY.match(err.splitlines()[-1])
    assert code == 0 and summary, err
    rows, dropped = int(summary[1].replace(",", "")), int(summary[7].replace(",", ""))
    assert rows == pq.read_metadata(tmp_path / "out.parquet").num_rows and 0 < rows < 50_000 and dropped > 0


@needs_netns
def test_sniff_device_removed_keeps_its_rows_and_fails(link, tmp_path):
    proc = sniff_on(link, "--features", "-o", "out.parquet", "udp", cwd=tmp_path)
    link.send([udp_frame(9)] * 40)
    time.sleep(0.3)
    link.ip("link", "delete", "kvcap")
    code, _, err = finished(proc)
    assert code == 1 and err.splitlines()[-1] == "kavrel: kvcap: capture failed (The interface disappeared)", err
    assert LIVE_SUMMARY.match(err.splitlines()[-2])[1] == "40"
    assert pq.read_table(tmp_path / "out.parquet").num_rows == 40
