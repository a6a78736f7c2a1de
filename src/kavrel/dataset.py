"""Captures as Arrow tables: the packets table and the features table.

Frames are read and decoded natively and handed over one record batch at a
time through the Arrow C stream interface; no Python object is made per packet.
"""

from __future__ import annotations

import datetime
import errno
import functools
import os
import stat
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Literal, Union

import pyarrow as pa
import pyarrow.compute as pc

from kavrel import _engine, alerts as alert_logs, parallel
from kavrel._interrupts import signals

__all__ = ["PACKET_COLUMNS", "FEATURE_COLUMNS", "LABEL_COLUMNS", "DamagedCapture", "UnmatchedAlerts", "read_packets",
           "scan_packets", "read_features", "scan_features"]

#: The columns of the packets table, in table order.
PACKET_COLUMNS: tuple[str, ...] = _engine.PACKET_COLUMNS
#: The columns of the features table, in table order.
FEATURE_COLUMNS: tuple[str, ...] = _engine.FEATURE_COLUMNS


class DamagedCapture(RuntimeWarning):
    """A capture could not be read to its end; the rows before the damage are kept."""


class UnmatchedAlerts(RuntimeWarning):
    """Alerts given to label a capture labelled none of its packets."""


#: The columns alerts add after the others.
LABEL_COLUMNS = ("alert_count", "alert_sid", "alert_msg", "alert_priority")

DEFAULT_BATCH_SIZE = 65536
# String offsets are 32-bit: a batch of this many rows of the longest texts still fits.
MAX_BATCH_SIZE = 1 << 24

PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
Source = Union[PathLike, Sequence[PathLike]]
Reader = Literal["auto", "libpcap"]
Alerts = Union[PathLike, pa.Table]

# The IP protocol number of each way an alert names its protocol.
_PROTOCOLS = {"TCP": 6, "UDP": 17, "ICMP": 1, "IPV6-ICMP": 58}


def protocol_number(text: str) -> int | None:
    if text in _PROTOCOLS:
        return _PROTOCOLS[text]
    if text.startswith("PROTO:") and text[6:].isascii() and text[6:].isdigit() and int(text[6:]) < 256:
        return int(text[6:])
    return None


def alert_labels(table: pa.Table) -> pa.RecordBatch:
    """The columns of an alerts table the labeller reads, in the types it takes."""
    missing = [c for c in ("timestamp", "gid", "sid", "rev", "msg", "priority", "protocol", "src_ip", "dst_ip",
                           "src_port", "dst_port") if c not in table.column_names]
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


def capture_paths(source: Source) -> list[str]:
    """The capture paths of `source` ("-" is standard input), in order."""
    if isinstance(source, (str, bytes, os.PathLike)):
        items: Sequence[PathLike] = [source]
    elif isinstance(source, Sequence):
        items = source
    else:
        raise TypeError(f"source must be a path or a sequence of paths, not {type(source).__name__}")
    paths = []
    for item in items:
        if not isinstance(item, (str, bytes, os.PathLike)):
            raise TypeError(f"a capture path must be str, bytes or os.PathLike, not {type(item).__name__}")
        paths.append(os.fsdecode(item))
    if not paths:
        raise ValueError("no capture given")
    return paths


def packet_columns(columns: Sequence[str] | None, *, after: tuple[str, ...] = ()) -> list[str]:
    """The packet columns asked for, checked; None means all of them (none after the feature columns)."""
    if columns is None:
        return [] if after else list(PACKET_COLUMNS)
    if isinstance(columns, str):
        raise TypeError("columns must be a sequence of column names, not a str")
    chosen = list(columns)
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError(f"a column name must be str, not {type(name).__name__}")
        if name not in PACKET_COLUMNS:
            raise ValueError(f"unknown packet column {name!r}; the packet columns are: {', '.join(PACKET_COLUMNS)}")
        if name in after:
            raise ValueError(f"column {name!r} is already a feature column")
    seen = set()
    for name in chosen:
        if name in seen:
            raise ValueError(f"column {name!r} is asked for twice")
        seen.add(name)
    if not chosen and not after:
        # A batch of no columns would carry no rows: the frames would vanish without a word.
        raise ValueError("the packets table needs at least one column")
    return chosen


def check_batch_size(batch_size: object) -> int:
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or not 1 <= batch_size <= MAX_BATCH_SIZE:
        raise ValueError(f"batch_size must be a whole number from 1 to {MAX_BATCH_SIZE:,}, not {batch_size!r}")
    return batch_size


def warn_damage(path: str, offset: int, text: str) -> None:
    warnings.warn(f"{path}: the capture is cut short at byte {offset:,} ({text}); the rows before it are kept",
                  DamagedCapture, stacklevel=3)


def warn_unmatched(unmatched: int) -> None:
    if unmatched:
        warnings.warn(f"{unmatched:,} alert{'s' if unmatched != 1 else ''} labelled no packet", UnmatchedAlerts,
                      stacklevel=3)


class Scan:
    """One native scan and its batches as a stream, with what the scan met."""

    def __init__(self, source: Source, table: Literal["packets", "features"], columns: list[str], batch_size: int,
                 reader: Reader = "auto", alerts: pa.RecordBatch | Callable[[], pa.RecordBatch] | bool | None = None,
                 paths: list[str] | None = None) -> None:
        """`alerts` labels the rows: a batch of alert_labels(), or a function that makes one,
        which runs on a thread of its own while the capture is read (True: the columns only,
        for a scan opened to check the captures and learn the schema)."""
        self.paths = paths if paths is not None else capture_paths(source)
        self.alerts_error: BaseException | None = None
        self.loader: threading.Thread | None = None
        labels = (alerts.__arrow_c_array__() if isinstance(alerts, pa.RecordBatch)
                  else None if alerts is None else True)  # True: the alerts come later
        with signals.interruptible():  # opening waits for standard input; Ctrl-C need not
            self.native = _engine.Scan(self.paths, table, columns, batch_size, reader, labels)
        if callable(alerts):
            # Not a daemon: no thread may be inside native code when the interpreter exits.
            self.loader = threading.Thread(target=self._load_alerts, args=(alerts,), name="kavrel-alerts")
            self.loader.start()
        self.stream = pa.RecordBatchReader.from_stream(self.native)
        self.schema = self.stream.schema

    def cancel(self) -> None:
        """Makes the batches end with OSError(ECANCELED) as soon as they can; any thread."""
        self.native.cancel()

    def close(self) -> None:
        """Waits for the alerts being loaded, if they are (a read of the log cannot be cut)."""
        if self.loader is not None:
            self.loader.join()

    def __enter__(self) -> Scan:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _load_alerts(self, make: Callable[[], pa.RecordBatch]) -> None:
        try:
            batch = make()
        except BaseException as exc:  # reaches the reader of the batches
            self.alerts_error = exc
            self.native.set_alerts(None, f"the alerts could not be read: {exc}")
        else:
            self.native.set_alerts(batch.__arrow_c_array__())

    def stats(self) -> dict[str, int]:
        return self.native.stats()

    def batches(self) -> Iterator[pa.RecordBatch]:
        """The batches; a file cut short warns at the end, a failed read raises OSError after the rows before it."""
        try:
            yield from self.stream
        except (OSError, pa.ArrowInvalid):
            if self.alerts_error is not None:
                raise self.alerts_error from None
            failure = self.native.failure()
            if failure is None:
                raise
            raise OSError(*failure) from None
        for path, offset, text in self.native.damage():
            warn_damage(path, offset, text)
        warn_unmatched(self.native.unmatched_alerts())

    def reader(self) -> pa.RecordBatchReader:
        return pa.RecordBatchReader.from_batches(self.schema, self.batches())


def open_scan(source: Source, table: Literal["packets", "features"], columns: list[str],
              batch_size: int = DEFAULT_BATCH_SIZE, jobs: int = 1, chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES,
              alerts: Alerts | None = None,
              alerts_tz: str | datetime.tzinfo | None = None) -> Scan | parallel.ParallelScan:
    """A scan of the captures, in one process or in `jobs` (checked columns expected): its
    .schema, .batches() and .stats(). Every capture is opened first, so that what cannot be read
    is refused at once."""
    size = check_batch_size(batch_size)
    workers = parallel.job_count(jobs)
    chunk = parallel.check_chunk_bytes(chunk_bytes)
    paths = capture_paths(source)
    if workers > 1 and "-" in paths:  # refused before standard input is touched
        raise ValueError("standard input cannot be read in parallel; read it with jobs=1")
    labels: pa.RecordBatch | Callable[[], pa.RecordBatch] | None = None
    if isinstance(alerts, pa.Table):
        labels = alert_labels(alerts)
    elif alerts is not None:
        # The log is read while the capture is: refuse what cannot work at once.
        log = os.fspath(alerts)
        if stat.S_ISDIR(os.stat(log).st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), log)
        labels = functools.partial(alerts_for, paths, log, alert_logs.zone(alerts_tz))
    if workers == 1:
        return Scan(source, table, columns, size, alerts=labels, paths=paths)
    check = Scan(source, table, columns, size, alerts=True if labels is not None else None, paths=paths)
    if callable(labels):
        labels = labels()
    return parallel.ParallelScan(paths, table, columns, size, workers, chunk, labels, check.schema)


def _reader(source: Source, table: Literal["packets", "features"], columns: list[str], batch_size: int, jobs: int,
            chunk_bytes: int, alerts: Alerts | None = None,
            alerts_tz: str | datetime.tzinfo | None = None) -> pa.RecordBatchReader:
    return open_scan(source, table, columns, batch_size, jobs, chunk_bytes, alerts, alerts_tz).reader()


def scan_packets(source: Source, *, columns: Sequence[str] | None = None, batch_size: int = DEFAULT_BATCH_SIZE,
                 jobs: int = 1, chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES) -> pa.RecordBatchReader:
    """The packets table of `source`, one record batch of at most `batch_size` rows at a time.

    `source` is a capture path or a sequence of paths read as one capture, in order; `columns`
    selects and orders the packet columns (default: all). `jobs` worker processes (0: one per
    core) read the capture in shards: a file each, and a classic file larger than `chunk_bytes`
    in byte ranges; the rows come in the same order.
    """
    return _reader(source, "packets", packet_columns(columns), batch_size, jobs, chunk_bytes)


def read_packets(source: Source, *, columns: Sequence[str] | None = None, jobs: int = 1,
                 chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES) -> pa.Table:
    """The whole packets table of `source` (see scan_packets)."""
    return scan_packets(source, columns=columns, jobs=jobs, chunk_bytes=chunk_bytes).read_all()


def scan_features(source: Source, *, columns: Sequence[str] | None = None, batch_size: int = DEFAULT_BATCH_SIZE,
                  alerts: Alerts | None = None, alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                  chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES) -> pa.RecordBatchReader:
    """The features table of `source`, one record batch at a time.

    `columns` names packet columns to append after the eight feature columns. The `count` chain
    carries across the files of `source`. `alerts` (a fast-alert log, or a table of
    kavrel.read_alerts) labels each packet: the columns alert_count, alert_sid, alert_msg and
    alert_priority follow; `alerts_tz` is the zone the sensor wrote its times in (None: local).
    `jobs` and `chunk_bytes` as for scan_packets; every `count` is the one a single pass gives.
    """
    chosen = packet_columns(columns, after=FEATURE_COLUMNS)
    return _reader(source, "features", chosen, batch_size, jobs, chunk_bytes, alerts, alerts_tz)


def read_features(source: Source, *, columns: Sequence[str] | None = None, alerts: Alerts | None = None,
                  alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                  chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES) -> pa.Table:
    """The whole features table of `source` (see scan_features)."""
    return scan_features(source, columns=columns, alerts=alerts, alerts_tz=alerts_tz, jobs=jobs,
                         chunk_bytes=chunk_bytes).read_all()
