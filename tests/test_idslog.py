"""idslog: fast-alert line parsing, the IPv4 subnet test and the alert log to CSV conversion."""

import builtins
import csv
import gc
import io
import ipaddress
import os
import re
import tracemalloc
import types
import warnings
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from kavrel.core.base import idslog

CORPUS = Path(__file__).parent / "data" / "alerts" / "fast_samples.log"
PATTERN_TEXT = (r"(?P<ts>\d+/\d+(?:/\d+)?-\d+:\d+:\d+\.\d+)\s+\[\*\*\]\s+\[(?P<sid>\d+:\d+:\d+)\]\s+(?P<msg>.*?) "
                r"\[\*\*\]\s+(?:\[Classification: (?P<class>.*?)\]\s+)?(?:\[Priority: (?P<pri>\d+)\]\s+)?"
                r"{(?P<proto>[^}]+)}\s+(?P<src>.*?) -> ?(?P<dst>.*)")
# The pattern before alerts with a year, without classification or priority, and
# with any protocol text were read.
YEARLESS_PATTERN = re.compile(
    r"(?P<ts>\d+/\d+-\d+:\d+:\d+\.\d+)\s+\[\*\*\]\s+\[(?P<sid>\d+:\d+:\d+)\]\s+(?P<msg>.*?) \[\*\*\]\s+"
    r"\[Classification: (?P<class>.*?)\]\s+\[Priority: (?P<pri>\d+)\]\s+{(?P<proto>\w+)}\s+(?P<src>.*?) -> (?P<dst>.*)")
ORACLE = re.compile(PATTERN_TEXT)
KEYS = ["ts", "sid", "msg", "class", "pri", "proto", "src", "dst"]
HEADER = "timestamp,sid,msg,classification,priority,protocol,src_ip,dst_ip,is_src_internal,is_dst_internal\r\n"


def alert(src="192.168.1.5", dst="8.8.8.8", msg="ICMP test", cls="Misc activity", proto="ICMP", pre=""):
    return (f"{pre}01/15-10:23:45.123456  [**] [1:1000001:1] {msg} [**] [Classification: {cls}] "
            f"[Priority: 3] {{{proto}}} {src} -> {dst}")


def oracle_parse(line):
    match = ORACLE.search(line)
    return match.groupdict("") if match else None


def oracle_csv(log_path, ip_range):
    """The conversion written with re and csv; the subnet test gets an IPv4 address without its port."""
    def inside(text):
        port = re.fullmatch(r"(\d+\.\d+\.\d+\.\d+):([0-9]{1,5})", text, re.ASCII)
        return idslog.is_internal(port[1] if port and int(port[2]) < 65536 else text, ip_range)

    out = io.StringIO(newline="")
    writer = csv.writer(out)
    writer.writerow(HEADER.strip().split(","))
    with open(log_path, encoding="utf-8", errors="ignore") as log:
        for a in filter(None, map(oracle_parse, map(str.strip, log))):
            writer.writerow([a[k] for k in KEYS] + [inside(a["src"]), inside(a["dst"])])
    return out.getvalue().encode("utf-8")


@pytest.fixture
def convert(tmp_path):
    """Writes the log bytes, converts them and returns the CSV bytes."""
    def run(data: bytes, ip_range="192.168.1.0/24"):
        log = tmp_path / "alert.log"
        log.write_bytes(data)
        assert idslog.process_alerts_to_csv(str(log), ip_range) == str(log) + ".csv"
        return Path(str(log) + ".csv").read_bytes()
    return run


# ---- parser -------------------------------------------------------------------

def test_corpus_lines_parse_like_the_oracle():
    assert len(PATTERN_TEXT) == 231
    assert (idslog.SNORT_PATTERN.pattern, idslog.SNORT_PATTERN.flags) == (PATTERN_TEXT, ORACLE.flags)
    lines = CORPUS.read_bytes().decode("utf-8").splitlines(keepends=True)
    for line in lines + [line.strip() for line in lines]:
        got = idslog.parse_snort_line(line)
        assert got == oracle_parse(line), line
        assert got is None or (list(got) == KEYS and all(type(v) is str for v in got.values()))
        # What the pattern read before, it still reads the same way.
        before = YEARLESS_PATTERN.search(line)
        if before and not re.search(r"\d+/\d+/\d+-", line):
            assert got == before.groupdict(), line
    # Every fast alert parses; what is left are blank lines, syslog and CSV forms.
    skipped = [line for line in lines if idslog.parse_snort_line(line) is None]
    assert all(not re.match(r"\d+/\d+", line.strip()) or "," in line.split("[**]")[0] for line in skipped)
    assert len(skipped) == 6


@pytest.mark.parametrize("line, expected", [
    (alert(), dict(ts="01/15-10:23:45.123456", sid="1:1000001:1", pri="3", src="192.168.1.5", dst="8.8.8.8")),
    (alert("10.0.0.1:1234", "10.0.0.2:80", proto="TCP"), dict(src="10.0.0.1:1234", dst="10.0.0.2:80")),
    (alert("fe80::1:5353", "[2001:db8::1]:443", proto="UDP"), dict(src="fe80::1:5353", dst="[2001:db8::1]:443")),
    (alert(pre="Jan 15 10:23:45 sensor snort[812]: "), dict(ts="01/15-10:23:45.123456")),
    (alert(msg='ET "odd", [x] a [**] b', cls="Bad] Traffic"), {"msg": 'ET "odd", [x] a [**] b', "class": "Bad] Traffic"}),
    (alert(dst="8.8.8.8\r\n"), dict(dst="8.8.8.8\r")),
    (alert("a", "b -> c"), dict(src="a", dst="b -> c")),
    (alert().replace(".123456", ""), None),
    (alert().replace("01/15-", "03/16/2024-"), dict(ts="03/16/2024-10:23:45.123456", sid="1:1000001:1")),
    (alert().replace("01/15-", "03/16/24-"), dict(ts="03/16/24-10:23:45.123456")),
    (alert().replace(" [Priority: 3]", ""), {"class": "Misc activity", "pri": ""}),
    (alert().replace(" [Classification: Misc activity]", ""), {"class": "", "pri": "3"}),
    (alert().replace(" [Classification: Misc activity] [Priority: 3]", ""), {"class": "", "pri": "", "proto": "ICMP"}),
    (alert("::", "ff02::1:ff00:1", proto="IPV6-ICMP"), dict(proto="IPV6-ICMP", src="::", dst="ff02::1:ff00:1")),
    (alert("10.0.0.1", "10.0.0.2", proto="PROTO:255"), dict(proto="PROTO:255")),
    (alert("", "", proto="ARP").rstrip(), dict(proto="ARP", src="", dst="")),
])
def test_parse_written_lines(line, expected):
    got = idslog.parse_snort_line(line)
    assert got == oracle_parse(line)
    assert got == expected if expected is None else {k: got[k] for k in expected} == expected


def test_parser_uses_the_pattern_bound_at_call_time(monkeypatch):
    monkeypatch.setattr(idslog, "SNORT_PATTERN", re.compile(r"(?P<src>\w+)=(?P<dst>\w+)"))
    assert idslog.parse_snort_line("x a=b") == {"src": "a", "dst": "b"}
    monkeypatch.delattr(idslog, "SNORT_PATTERN")
    with pytest.raises(NameError, match="^name 'SNORT_PATTERN' is not defined$"):
        idslog.parse_snort_line("x")
    monkeypatch.setattr(builtins, "SNORT_PATTERN", ORACLE, raising=False)
    assert idslog.parse_snort_line(alert())["src"] == "192.168.1.5"
    fake = types.SimpleNamespace(search=lambda line: types.SimpleNamespace(groupdict=lambda: [line]))
    monkeypatch.setattr(idslog, "SNORT_PATTERN", fake, raising=False)
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        idslog.parse_snort_line("x")


# ---- subnet test ----------------------------------------------------------------

@pytest.mark.parametrize("ip, subnet, expected", [
    ("10.0.0.1", "10.0.0.1", 1), ("10.0.0.2", "10.0.0.1", 0), ("10.0.0.0", "10.0.0.0/2147483647", 1),
    ("10.1.2.3", "10.0.0.0/8/16", 1), ("10.1.2.3", "10.0.0.0/ +8 ", 1), ("10.0.255.1", "10.0.0.0/1_6", 1),
    ("10.0.255.1", "10.0.0.0/\u0661\u0666", 1), ("8.8.8.8", "0.0.0.0/-0", 1), ("8.8.8.8", "0.0.0.0/-1", 0),
    ("10.0.0.0", "10.0.0.0/2147483648", 0), ("10.0.0.1", "10.0.0.0/", 0), ("10.0.0.1", "10.0.0.0/0x8", 0),
    ("192.168.1.5:443", "192.168.1.0/24", 0), (" 10.0.0.1", "10.0.0.0/8", 0), ("fe80::1", "fe80::/10", 0),
    ("", "10.0.0.0/8", 0), (None, "10.0.0.0/8", 0), ("10.0.0.1", None, 0), ("10.0.0.1", "/8", 0),
    ("\ud800", "10.0.0.0/8", 0), ("10.0.0.1", "10.0.0.0/\ud800", 0), ("10.0.0.1\x00junk", "10.0.0.0/8", 0),
    ("10.0.0.1", "10.0.0.0\x00/8", 0),
])
def test_is_internal_table(ip, subnet, expected):
    result = idslog.is_internal(ip, subnet)
    assert type(result) is int and result == expected


@given(st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1), st.integers(0, 40))
def test_is_internal_matches_ipaddress(address, network, prefix):
    ip, net = ipaddress.IPv4Address(address), ipaddress.IPv4Address(network)
    expected = ip in ipaddress.IPv4Network(f"{net}/{min(prefix, 32)}", strict=False)
    assert idslog.is_internal(str(ip), f"{net}/{prefix}") == expected


# ---- Python entries -----------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: idslog.parse_snort_line(), "parse_snort_line() takes exactly 1 positional argument (0 given)"),
    (lambda: idslog.parse_snort_line(type("Text", (str,), {})("x")),
     "Argument 'line' has incorrect type (expected str, got Text)"),
    (lambda: idslog.is_internal("a"), "is_internal() takes exactly 2 positional arguments (1 given)"),
    (lambda: idslog.is_internal("a", 2), "Argument 'subnet_str' has incorrect type (expected str, got int)"),
    (lambda: idslog.is_internal(1, 2), "Argument 'ip_str' has incorrect type (expected str, got int)"),
    (lambda: idslog.process_alerts_to_csv(ip_range=b"b", alert_log_path=b"a"),
     "Argument 'alert_log_path' has incorrect type (expected str, got bytes)"),
    (lambda: idslog.process_alerts_to_csv("a", b"b"), "Argument 'ip_range' has incorrect type (expected str, got bytes)"),
    (lambda: idslog.parse_snort_line(None), "expected string or bytes-like object"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


# ---- conversion ---------------------------------------------------------------------

@pytest.mark.parametrize("ip_range", ["192.168.86.0/24", "0.0.0.0/0", None, "bogus"])
def test_corpus_csv_matches_oracle(convert, ip_range):
    assert convert(CORPUS.read_bytes(), ip_range) == oracle_csv(CORPUS, ip_range)


def test_written_log_csv(convert, tmp_path):
    lines = [alert(), "\u00a0  " + alert() + " \t\u3000", "\t \u3000", alert(msg='say "hi", then\tgo'), "noise",
             alert("10.0.0.1:80", "192.168.1.200:65535", proto="TCP"), alert(msg="bad@@bytes")]
    data = "\r\n".join(lines).encode().replace(b"@@", b"\xff\xfe")
    out = convert(data)
    assert out == oracle_csv(tmp_path / "alert.log", "192.168.1.0/24")
    row = "01/15-10:23:45.123456,1:1000001:1,ICMP test,Misc activity,3,ICMP,192.168.1.5,8.8.8.8,1,0\r\n"
    assert out.decode().splitlines(keepends=True)[:3] == [HEADER, row, row] and out.count(b"\r\n") == 6
    assert ',"say ""hi"", then\tgo",' in out.decode() and ",badbytes," in out.decode()
    assert convert(b"") == convert(b"\n \n# no alerts\n") == HEADER.encode()  # also overwrites


@pytest.mark.parametrize("src, flag", [
    ("192.168.1.5:0", 1), ("192.168.1.5:00443", 1), ("192.168.1.5:65535", 1), ("192.168.1.5:65536", 0),
    ("192.168.1.5:000443", 0), ("192.168.1.5:", 0), ("192.168.1.5:\u0664\u0664", 0), ("192.168.1.5:443:80", 0),
    ("192.168.2.5:443", 0),
])
def test_port_suffix_is_dropped_for_the_subnet_test_only(convert, src, flag):
    assert convert(alert(src, src, proto="TCP").encode()).decode().endswith(f",{src},{src},{flag},{flag}\r\n")


def test_module_bindings_used_by_the_conversion(monkeypatch, convert, tmp_path):
    assert idslog.process_alerts_to_csv(str(tmp_path / "none"), None) is None
    assert not (tmp_path / "none.csv").exists()
    data = alert().encode()
    expected = convert(data)
    for name in ("parse_snort_line", "is_internal"):
        monkeypatch.setattr(idslog, name, lambda *a: 1 / 0)
    monkeypatch.setattr(builtins, "open", lambda *a, **k: 1 / 0)  # taken once at import
    assert convert(data) == expected
    monkeypatch.undo()
    swapped = PATTERN_TEXT.replace("<src>", "<x>").replace("<dst>", "<src>").replace("<x>", "<dst>")
    monkeypatch.setattr(idslog, "SNORT_PATTERN", re.compile(swapped))
    assert convert(data).endswith(b",8.8.8.8,192.168.1.5,0,1\r\n")
    monkeypatch.setattr(idslog, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=lambda p: 0)))
    assert idslog.process_alerts_to_csv(str(CORPUS), None) is None


def failure_leaks(action, tmp_path):
    """Runs an action that must raise; returns its exception, the ResourceWarnings and fds left under tmp_path."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        with pytest.raises(Exception) as info:
            action()
        gc.collect()
    fds = [os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")]
    return (info.value, [w for w in seen if w.category is ResourceWarning],
            [fd for fd in fds if fd.startswith(str(tmp_path))])


def test_files_closed_on_error_paths(tmp_path, monkeypatch):
    log = tmp_path / "alert.log"
    log.write_text("\n".join([alert()] * 5))
    (tmp_path / "dir.log").mkdir()
    error, *leaks = failure_leaks(lambda: idslog.process_alerts_to_csv(str(tmp_path / "dir.log"), None), tmp_path)
    assert isinstance(error, IsADirectoryError) and leaks == [[], []] and not (tmp_path / "dir.log.csv").exists()
    (tmp_path / "alert.log.csv").mkdir()
    error, *leaks = failure_leaks(lambda: idslog.process_alerts_to_csv(str(log), None), tmp_path)
    assert isinstance(error, IsADirectoryError) and leaks == [[], []]
    (tmp_path / "alert.log.csv").rmdir()

    outputs = []

    def writer(out):  # a csv module whose writer fails on its fourth row
        outputs.append(out)
        real, calls = csv.writer(out), iter(range(9))
        return types.SimpleNamespace(writerow=lambda row: real.writerow(row) if next(calls) < 3 else 1 / 0)

    monkeypatch.setattr(idslog, "csv", types.SimpleNamespace(writer=writer))
    error, *leaks = failure_leaks(lambda: idslog.process_alerts_to_csv(str(log), None), tmp_path)
    assert isinstance(error, ZeroDivisionError) and leaks == [[], []] and outputs[0].closed
    written = (tmp_path / "alert.log.csv").read_text(newline="")
    assert written.startswith(HEADER) and written.count("\r\n") == 3


def test_memory_stays_flat_on_a_large_log(tmp_path):
    log = tmp_path / "big.log"
    block = "\n".join(alert(f"192.168.1.{i}:{i}", "10.0.0.1", proto="TCP") for i in range(200)) + "\n"
    with open(log, "w") as f:
        f.writelines(block for _ in range(1000))
    tracemalloc.start()
    try:
        idslog.process_alerts_to_csv(str(log), "192.168.1.0/24")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < min(1 << 20, log.stat().st_size // 50)
    assert Path(str(log) + ".csv").read_bytes().count(b",1,0\r\n") == 200_000
