"""The connection table of captures, for the connection tests.

Every connection test reads its rows through `connections()`, which is
kavrel.read_connections, the table users get. What the public call cannot
reach goes through the native connection core's own driver,
tests/native/connection_driver.cpp (compiled once per test session into a
temporary directory; those tests skip where g++ or libpcap is missing): a
bound on the rows held back (`hold_bytes`), the assembler's state saved and
loaded on the way (`connections_reloaded()`), each packet's bucket for a
sharded run (`packet_buckets()`) and the service table as compiled
(`service_table()`).
"""

from __future__ import annotations

import atexit
import functools
import json
import os
import re
import resource
import shutil
import subprocess
import tempfile

import pyarrow as pa
import pytest

import kavrel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER_SOURCE = os.path.join(ROOT, "tests", "native", "connection_driver.cpp")

UINT64, UINT32, UINT16, UINT8 = pa.uint64(), pa.uint32(), pa.uint16(), pa.uint8()
TIMESTAMP = pa.timestamp("ns", tz="UTC")

SCHEMA = pa.schema([
    pa.field("uid", UINT64, nullable=False),
    pa.field("ts", TIMESTAMP, nullable=False),
    pa.field("last_ts", TIMESTAMP, nullable=False),
    pa.field("duration", pa.float64(), nullable=False),
    pa.field("ip_version", UINT8, nullable=False),
    pa.field("protocol_type", pa.string(), nullable=False),
    pa.field("ip_proto", UINT8, nullable=False),
    pa.field("orig_ip", pa.string(), nullable=False),
    pa.field("resp_ip", pa.string(), nullable=False),
    pa.field("orig_port", UINT16),
    pa.field("resp_port", UINT16),
    pa.field("vlan", UINT16),
    pa.field("service", pa.string(), nullable=False),
    pa.field("conn_state", pa.string(), nullable=False),
    pa.field("history", pa.string(), nullable=False),
    pa.field("end_reason", pa.string(), nullable=False),
    pa.field("orig_pkts", UINT64, nullable=False),
    pa.field("resp_pkts", UINT64, nullable=False),
    pa.field("orig_ip_bytes", UINT64, nullable=False),
    pa.field("resp_ip_bytes", UINT64, nullable=False),
    pa.field("src_bytes", UINT64, nullable=False),
    pa.field("dst_bytes", UINT64, nullable=False),
    pa.field("land", UINT8, nullable=False),
    pa.field("wrong_fragment", UINT32, nullable=False),
    pa.field("urgent", UINT32, nullable=False),
])
COLUMNS = SCHEMA.names

# Settings in seconds, as connections() takes them.
SETTINGS = ("tcp_timeout", "udp_timeout", "icmp_timeout", "other_timeout", "close_delay")


@functools.cache
def _driver() -> str:
    if not shutil.which("g++"):
        pytest.skip("g++ is not installed")
    out_dir = tempfile.mkdtemp(prefix="kavrel-connections-")
    atexit.register(shutil.rmtree, out_dir, True)
    binary = os.path.join(out_dir, "connection_driver")
    cmd = ["g++", "-O1", "-std=c++20", "-I" + os.path.join(ROOT, "native"),
           "-I" + os.path.join(ROOT, "src", "kavrel", "core", "base"), DRIVER_SOURCE, "-lpcap", "-o", binary]
    if os.environ.get("KAVREL_SANITIZED"):  # the sanitizer run checks the connection core too
        cmd[1:1] = ["-g", "-fno-omit-frame-pointer", "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=_child_env())
    if done.returncode != 0:
        if "pcap" in done.stderr and ("No such file" in done.stderr or "cannot find -lpcap" in done.stderr):
            pytest.skip("libpcap (libpcap-dev) is not installed")
        raise RuntimeError("the connection driver did not compile:\n" + done.stderr)
    return binary


def _child_env() -> dict:
    # A sanitizer runtime preloaded into the interpreter stays out of the compiler and the driver.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _paths(source) -> list[str]:
    items = source if isinstance(source, (list, tuple)) else [source]
    return [os.fsdecode(os.fspath(p)) for p in items]


def _run(args: list[str], file_limit: int | None = None) -> list[dict]:
    def limit() -> None:  # the driver's alone: set here, it would cut pytest's own output short
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    done = subprocess.run([_driver(), *args], capture_output=True, text=True, env=_child_env(),
                          preexec_fn=limit if file_limit is not None else None)
    if done.returncode != 0:
        message = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"status {done.returncode}"
        found = re.search(r"\(errno (\d+)\)$", message)
        if found:
            raise OSError(int(found.group(1)), message)
        if done.returncode == 2:
            raise ValueError(message)
        raise RuntimeError(message)
    return [json.loads(line) for line in done.stdout.splitlines()]


def _table(rows: list[dict]) -> pa.Table:
    return pa.table({name: pa.array([r[name] for r in rows], type=SCHEMA.field(name).type) for name in COLUMNS},
                    schema=SCHEMA)


def _options(settings: dict) -> list[str]:
    out = []
    for name, value in settings.items():
        if name not in SETTINGS and name != "hold_bytes":
            raise TypeError(f"unknown setting {name!r}")
        if value is not None:
            out += ["--" + name.replace("_", "-"), repr(value)]
    return out


def connections(source, file_limit: int | None = None, **settings) -> pa.Table:
    """The connection table of `source` (a capture file, or a list of them read as one capture):
    one row per connection in uid order, the connection's own columns. Settings: tcp_timeout,
    udp_timeout, icmp_timeout, other_timeout, close_delay (seconds), read by
    kavrel.read_connections; with hold_bytes (the bound on rows held back in memory) the driver
    reads it instead, `file_limit` its file-size limit in bytes. A failure with an errno raises
    OSError."""
    if "hold_bytes" in settings:
        return _table(_run(_options(settings) + _paths(source), file_limit))
    for name in settings:
        if name not in SETTINGS:
            raise TypeError(f"unknown setting {name!r}")
    chosen = {name: value for name, value in settings.items() if value is not None}
    return kavrel.read_connections(_paths(source), columns=COLUMNS, **chosen)


def connections_reloaded(source, every: int, **settings) -> pa.Table:
    """connections(), with the assembler's state saved and loaded into a fresh one every `every` packets."""
    return _table(_run(_options(settings) + ["--reload-every", str(every)] + _paths(source)))


def packet_buckets(source) -> list[tuple[int, int]]:
    """(frame index, bucket) of every IP packet of `source`, as a sharded run would spread them."""
    return [(r["frame"], r["bucket"]) for r in _run(["--buckets"] + _paths(source))]


def service_table() -> list[dict]:
    """The service table as the connection core holds it, row by row."""
    return _run(["--services"])


__all__ = ["COLUMNS", "SCHEMA", "SETTINGS", "connections", "connections_reloaded", "packet_buckets",
           "service_table"]
