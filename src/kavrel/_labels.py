"""The alerts a scan labels its rows with, in the form the engine's labeller takes."""

from __future__ import annotations

import datetime
import errno
import functools
import os
import stat
from collections.abc import Callable
from typing import Union

import pyarrow as pa
import pyarrow.compute as pc

from kavrel import _engine, alerts as alert_logs
from kavrel._checks import PathLike

Alerts = Union[PathLike, pa.Table]
#: Alerts ready to label with, or a function that reads them (run while the capture is read).
Labels = Union[pa.RecordBatch, Callable[[], pa.RecordBatch]]

# The IP protocol number of each way an alert names its protocol.
_PROTOCOLS = {"TCP": 6, "UDP": 17, "ICMP": 1, "IPV6-ICMP": 58}
_LABELLER_COLUMNS = ("timestamp", "gid", "sid", "rev", "msg", "priority", "protocol", "src_ip", "dst_ip",
                     "src_port", "dst_port")


def protocol_number(text: str) -> int | None:
    if text in _PROTOCOLS:
        return _PROTOCOLS[text]
    if text.startswith("PROTO:") and text[6:].isascii() and text[6:].isdigit() and int(text[6:]) < 256:
        return int(text[6:])
    return None


def alert_labels(table: pa.Table) -> pa.RecordBatch:
    """The columns of an alerts table the labeller reads, in the types it takes."""
    missing = [c for c in _LABELLER_COLUMNS if c not in table.column_names]
    if missing:
        raise ValueError(f"the alerts table lacks the columns {', '.join(missing)}")
    t = table.combine_chunks()
    protocols = t.column("protocol").cast(pa.string())
    names = pc.unique(protocols).drop_null()
    numbers = pa.array([protocol_number(n) for n in names.to_pylist()], pa.int16())
    columns = {
        "time_us": t.column("timestamp").cast(pa.timestamp("us", tz="UTC")).cast(pa.int64()),
        "protocol": pc.take(numbers, pc.index_in(protocols, names)),
        "src_ip": t.column("src_ip").cast(pa.string()),
        "dst_ip": t.column("dst_ip").cast(pa.string()),
        "src_port": t.column("src_port").cast(pa.int32()),
        "dst_port": t.column("dst_port").cast(pa.int32()),
        "priority": t.column("priority").cast(pa.int32()),
        "gid": t.column("gid").cast(pa.uint32()),
        "sid": t.column("sid").cast(pa.uint32()),
        "rev": t.column("rev").cast(pa.uint32()),
        "msg": t.column("msg").cast(pa.string()),
    }
    arrays = [c.combine_chunks() if isinstance(c, pa.ChunkedArray) else c for c in columns.values()]
    return pa.RecordBatch.from_arrays(arrays, names=list(columns))


def alerts_for(source_paths: list[str], log: str, zone: datetime.tzinfo | None) -> pa.RecordBatch:
    """The alerts of a log that label a capture. A time without a year is in the year of the
    capture's first packet, or the next one for a month before that packet's (a capture over
    New Year)."""
    first = _engine.first_time_ns(source_paths[0]) if source_paths[0] != "-" else None
    if first is None:
        year, month = datetime.datetime.now(zone).year, 0
    else:
        year, month = alert_logs.first_wall_year_month(first // 1000, zone)
    return alert_labels(alert_logs.read_log(log, zone, year, month, "auto"))


def labels_for(paths: list[str], alerts: Alerts | None, alerts_tz: str | datetime.tzinfo | None) -> Labels | None:
    """What labels a scan of `paths`: a table's alerts at once, a log's read later (but what
    cannot be read at all, refused now)."""
    if alerts is None:
        return None
    if isinstance(alerts, pa.Table):
        return alert_labels(alerts)
    log = os.fspath(alerts)
    zone = alert_logs.zone(alerts_tz)
    if stat.S_ISDIR(os.stat(log).st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), log)
    return functools.partial(alerts_for, paths, log, zone)


def ready(labels: Labels | None) -> pa.RecordBatch | None:
    """The alerts themselves, read now if they were to be read later."""
    return labels() if callable(labels) else labels
