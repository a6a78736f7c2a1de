"""The traffic features of a list of connections, computed by the native code.

Every traffic test goes through traffic_features(); the native driver
(tests/native/traffic_driver.cpp) is compiled once per session.
"""

from __future__ import annotations

import functools
import json
import os
import shlex
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DRIVER_SOURCE = ROOT / "tests" / "native" / "traffic_driver.cpp"

COUNT_COLUMNS = ("count", "srv_count", "dst_host_count", "dst_host_srv_count")
COLUMNS = (
    "count", "srv_count", "serror_rate", "srv_serror_rate", "rerror_rate", "srv_rerror_rate", "same_srv_rate",
    "diff_srv_rate", "srv_diff_host_rate", "dst_host_count", "dst_host_srv_count", "dst_host_same_srv_rate",
    "dst_host_diff_srv_rate", "dst_host_same_src_port_rate", "dst_host_srv_diff_host_rate", "dst_host_serror_rate",
    "dst_host_srv_serror_rate", "dst_host_rerror_rate", "dst_host_srv_rerror_rate",
)
MODES = ("file", "live", "partitioned")


@functools.cache
def _compiled(source_mtime: float) -> Path:
    out = Path(tempfile.mkdtemp(prefix="kavrel-traffic-")) / "traffic_driver"
    # KAVREL_DRIVER_FLAGS adds flags, e.g. "-O1 -g -fsanitize=address,undefined".
    extra = shlex.split(os.environ.get("KAVREL_DRIVER_FLAGS", ""))
    subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'native'}",
                    str(DRIVER_SOURCE), "-o", str(out), *extra], check=True)
    return out


def driver() -> Path:
    if shutil.which("g++") is None:
        pytest.skip("g++ is not installed")
    return _compiled(DRIVER_SOURCE.stat().st_mtime)


def traffic_features(rows, *, time_window: float = 2.0, host_window: int = 100, mode: str = "file",
                     end_order=None, splits=None, history_bytes: int | None = None,
                     stats: dict | None = None, tmpdir: str | None = None) -> list[dict]:
    """The 19 traffic columns (and uid) of each row, in the order the rows are handed out.

    rows: dicts with uid, ts_ns, resp_ip, service, orig_port (None: no port) and conn_state, in table order.
    mode: "file"; "live", where connections end in end_order (uids; default: uid order) and each row also
    carries final_at, the index in end_order of the end that made it final; or "partitioned", a fresh
    computation from each uid in splits on, started from the history before it.
    history_bytes: the in-memory history bound (small values push history to the temporary file).
    stats: when given, filled with the driver's peak_in_memory, spilled and spill_errno.
    tmpdir: the driver's TMPDIR, where the history's temporary file is made.
    """
    if mode not in MODES:
        raise ValueError(f"unknown mode {mode!r}")
    args = [str(driver()), "--mode", mode, "--time-window", repr(float(time_window)),
            "--host-window", str(host_window)]
    if history_bytes is not None:
        args += ["--history-bytes", str(history_bytes)]
    if end_order is not None:
        args += ["--end-order", ",".join(map(str, end_order))]
    if splits:
        args += ["--split", ",".join(map(str, splits))]
    if stats is not None:
        args.append("--stats")
    lines = "".join(json.dumps({k: r[k] for k in ("uid", "ts_ns", "resp_ip", "service", "orig_port", "conn_state")})
                    + "\n" for r in rows)
    env = dict(os.environ, TMPDIR=tmpdir) if tmpdir is not None else None
    done = subprocess.run(args, input=lines, capture_output=True, text=True, check=False, timeout=300, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"traffic_driver failed ({done.returncode}): {done.stderr.strip()}")
    header, *body = done.stdout.splitlines()
    names = header.split("\t")
    out = []
    for line in body:
        values = dict(zip(names, line.split("\t"), strict=True))
        row = {"uid": int(values.pop("uid"))}
        if "final_at" in values:
            row["final_at"] = int(values.pop("final_at"))
        for name in COLUMNS:
            row[name] = int(values[name]) if name in COUNT_COLUMNS else float(values[name])
        out.append(row)
    if stats is not None:
        for item in done.stderr.split():
            key, _, value = item.partition("=")
            stats[key] = int(value)
    return out
