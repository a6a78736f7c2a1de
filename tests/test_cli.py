"""The kavrel command line, run as a real process on real files."""

import csv
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import needs_root
from kavrel.core.base import sniffkit
from kavrel.core.ver100.metricor import FeatureExtractor

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SAMPLE = os.path.join(ROOT, "examples", "sample-lo.pcap")
ALERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "alerts", "fast_samples.log")
SCRIPT = os.path.join(os.path.dirname(sys.executable), "kavrel")
COMMAND = [SCRIPT] if os.path.exists(SCRIPT) else [sys.executable, "-m", "kavrel"]


def kavrel(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=120, **kwargs)


def test_packets_jsonl_matches_read_pcap():
    r = kavrel("packets", SAMPLE)
    assert r.returncode == 0 and r.stderr == ""
    got = [json.loads(line) for line in r.stdout.splitlines()]
    assert got == list(sniffkit.read_pcap(os.fsencode(SAMPLE)))


def test_packets_csv_has_every_column(tmp_path):
    out = tmp_path / "packets.csv"
    r = kavrel("packets", SAMPLE, "--format", "csv", "-o", str(out))
    assert r.returncode == 0 and r.stdout == ""
    rows = list(csv.DictReader(out.open(newline="")))
    want = list(sniffkit.read_pcap(os.fsencode(SAMPLE)))
    assert len(rows) == len(want)
    header = out.read_text().splitlines()[0].split(",")
    assert header[:12] == list(want[0])[:12] and "udp_length" in header and "icmp_code" in header
    for row, packet in zip(rows, want):
        assert {k: v for k, v in row.items() if v != ""} == {k: str(v) for k, v in packet.items()}


def test_features_csv_matches_process_pcap(tmp_path):
    out = tmp_path / "features.csv"
    r = kavrel("features", SAMPLE, "-o", str(out))
    assert r.returncode == 0, r.stderr
    rows = list(csv.reader(out.open(newline="")))
    want = FeatureExtractor().process_pcap(os.fsencode(SAMPLE))
    assert rows[0] == list(want[0])
    assert rows[1:] == [[str(v) for v in d.values()] for d in want]


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["packets", "missing.pcap"], 1, "missing.pcap: no such file"),
        (["features", "missing.pcap"], 1, "missing.pcap: no such file"),
        (["packets", ALERTS], 1, "cannot read capture"),
        (["features", ALERTS], 1, "cannot read capture"),
        (["alerts", "missing.log", "--subnet", "10.0.0.0/8"], 1, "missing.log: no such alert log"),
        (["sniff", "-i", "no-such-device0", "-c", "1"], 1, "no-such-device0"),
    ],
)
def test_errors_are_one_line_without_traceback(args, status, message):
    r = kavrel(*args)
    assert r.returncode == status
    assert r.stderr.count("\n") == 1 and message in r.stderr, r.stderr


@pytest.mark.parametrize("args, message", [
    (["packets", SAMPLE, "--format", "xml"], "invalid choice"),
    (["features"], "required"),
    (["bogus"], "invalid choice"),
    (["alerts", ALERTS, "--subnet", "10.0.0.0/33"], "invalid subnet"),
    (["alerts", ALERTS], "--subnet"),
    (["sniff", "-c", "0"], "positive"),
])
def test_usage_errors_show_the_usage_then_one_error(tmp_path, args, message):
    r = kavrel(*args, cwd=tmp_path)
    assert r.returncode == 2 and r.stdout == ""
    command = args[0] if args[0] != "bogus" else ""
    assert r.stderr.startswith(f"usage: kavrel {command}".rstrip())
    errors = [line for line in r.stderr.splitlines() if not line.startswith(("usage:", " "))]
    assert len(errors) == 1 and errors[0].startswith(f"kavrel {command}".rstrip() + ": error: ")
    assert message in errors[0] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("command", ["features", "packets"])
def test_truncated_capture_keeps_rows_and_warns_in_one_line(tmp_path, command):
    data = open(SAMPLE, "rb").read()
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(data[:-20])
    r = kavrel(command, str(cut))
    assert r.returncode == 0
    assert r.stderr.startswith("kavrel: warning: ") and "truncated" in r.stderr and r.stderr.count("\n") == 1
    assert len(r.stdout.splitlines()) == 51 + (command == "features")  # all but the cut packet (+ header)


def test_unwritable_output_fails_cleanly(tmp_path):
    r = kavrel("packets", SAMPLE, "-o", str(tmp_path / "no-dir" / "out.jsonl"))
    assert r.returncode == 1 and "cannot write" in r.stderr and "Traceback" not in r.stderr


def test_alerts_writes_csv_beside_log(tmp_path):
    log = tmp_path / "alert"
    shutil.copy(ALERTS, log)
    r = kavrel("alerts", str(log), "--subnet", "192.168.0.0/16")
    assert r.returncode == 0
    assert r.stdout.strip() == str(log) + ".csv"
    rows = list(csv.reader(open(r.stdout.strip(), newline="", encoding="utf-8")))
    assert rows[0][-2:] == ["is_src_internal", "is_dst_internal"] and len(rows) > 10
    assert any(row[-2] == "1" for row in rows[1:])


def test_devices_table_marks_the_choice():
    r = kavrel("devices")
    assert r.returncode == 0
    lines = r.stdout.splitlines()
    assert lines[0].split() == ["NAME", "FLAGS", "DESCRIPTION"]
    assert sum(1 for line in lines[1:-1] if line.startswith("*")) == 1
    assert any(line.split()[0] == "lo" and "loopback" in line for line in lines[1:-1])


def test_output_to_closed_pipe_is_quiet():
    proc = subprocess.Popen([*COMMAND, "packets", SAMPLE], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=60) == 0
    assert b"Traceback" not in proc.stderr.read()


def send_udp_until(stop: threading.Event, port: int) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        while not stop.is_set():
            s.sendto(b"cli", ("127.0.0.1", port))
            time.sleep(0.02)


@needs_root
@pytest.mark.parametrize("extra, key", [([], "src_mac"), (["--features"], "count")])
def test_sniff_count_on_loopback(extra, key):
    stop = threading.Event()
    sender = threading.Thread(target=send_udp_until, args=(stop, 9), daemon=True)
    sender.start()
    try:
        r = kavrel("sniff", "-i", "lo", "-c", "3", *extra)
    finally:
        stop.set()
        sender.join()
    assert r.returncode == 0, r.stderr
    records = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(records) == 3 and all(key in rec for rec in records)
    assert "3 packets captured on lo" in r.stderr


@needs_root
def test_sniff_ctrl_c_ends_with_summary():
    proc = subprocess.Popen([*COMMAND, "sniff", "-i", "lo", "--format", "csv"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert out.startswith("success,timestamp,date_time")
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
