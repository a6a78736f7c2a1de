"""Captures as Arrow tables: the packets table and the features table.

Frames are read and decoded natively and handed over one record batch at a
time through the Arrow C stream interface; no Python object is made per packet.
"""

from __future__ import annotations

import datetime
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Literal

import pyarrow as pa

from kavrel import _checks, _engine, _labels
from kavrel._checks import (DEFAULT_BATCH_SIZE, DEFAULT_CHUNK_BYTES, FEATURE_COLUMNS, PACKET_COLUMNS,
                            ConnectionSettings, Source)
from kavrel._interrupts import signals
from kavrel._labels import Alerts
from kavrel._scan import ScanBase
from kavrel._shards import Table
from kavrel._warnings import DamagedCapture, UnmatchedAlerts, read_failure
from kavrel.parallel import ConnectionParallelScan, ParallelScan

__all__ = ["PACKET_COLUMNS", "FEATURE_COLUMNS", "LABEL_COLUMNS", "DamagedCapture", "UnmatchedAlerts", "read_packets",
           "scan_packets", "read_features", "scan_features"]

#: The columns alerts add after the others.
LABEL_COLUMNS: tuple[str, ...] = _engine.LABEL_COLUMNS

Reader = Literal["auto", "libpcap"]


class Scan(ScanBase):
    """One native scan of the captures, in this process: the packets, features or connection table."""

    def __init__(self, source: Source, table: Table, columns: list[str], batch_size: int,
                 reader: Reader = "auto", alerts: pa.RecordBatch | Callable[[], pa.RecordBatch] | bool | None = None,
                 paths: list[str] | None = None, settings: ConnectionSettings | None = None,
                 pipelined: bool = False) -> None:
        """`alerts` labels the rows: a batch of alert_labels(), or a function that makes one,
        which runs on a thread of its own while the capture is read (True: the columns only,
        for a scan opened to check the captures and learn the schema). `settings`: how a
        connection table is made; `pipelined`: its frames decoded on a thread of their own
        while this one assembles them (two cores, the same rows)."""
        self.paths = paths if paths is not None else _checks.capture_paths(source)
        self.row = "connection" if table == "connections" else "packet"
        self.alerts_error: BaseException | None = None
        self.loader: threading.Thread | None = None
        labels = (alerts.__arrow_c_array__() if isinstance(alerts, pa.RecordBatch)
                  else None if alerts is None else True)  # True: the alerts come later
        with signals.interruptible():  # opening waits for standard input; Ctrl-C need not
            self.native = native_scan(self.paths, table, columns, batch_size, reader, labels, settings, pipelined)
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
            raise read_failure(failure) from None
        self.report(self.native.damage(), self.native.unmatched_alerts())


def native_scan(paths: list[str], table: Table, columns: list[str], batch_size: int, reader: Reader,
                labels: object, settings: ConnectionSettings | None = None,
                pipelined: bool = False) -> _engine.Scan | _engine.ConnectionScan:
    """The engine's scan of one table: each table is a kind of native scan, taking the same
    sources and labels."""
    if table == "connections":
        s = settings or ConnectionSettings()
        return _engine.ConnectionScan(paths, columns, batch_size, s.timing(), s.time_window, s.host_window, reader,
                                      labels, pipelined)
    return _engine.Scan(paths, table, columns, batch_size, reader, labels)


def open_scan(source: Source, table: Table, columns: list[str], batch_size: int = DEFAULT_BATCH_SIZE,
              jobs: int = 1, chunk_bytes: int = DEFAULT_CHUNK_BYTES, alerts: Alerts | None = None,
              alerts_tz: str | datetime.tzinfo | None = None,
              settings: ConnectionSettings | None = None) -> ScanBase:
    """A scan of the captures, in one process or in `jobs` (checked columns expected). Every
    capture is opened first, so that what cannot be read is refused at once."""
    size = _checks.batch_size(batch_size)
    workers = _checks.job_count(jobs)
    chunk = _checks.chunk_bytes(chunk_bytes)
    paths = _checks.capture_paths(source)
    _checks.parallel_source(paths, workers)
    labels = _labels.labels_for(paths, alerts, alerts_tz)
    if workers == 1:
        return Scan(source, table, columns, size, alerts=labels, paths=paths, settings=settings)
    if table == "connections" and workers == 2:
        # Two cores: decoding on one and assembling on the other splits one pass evenly, where
        # shards would pay for handing every packet from reader to assembler.
        return Scan(source, table, columns, size, alerts=labels, paths=paths, settings=settings, pipelined=True)
    check = Scan(source, table, columns, size, alerts=True if labels is not None else None, paths=paths,
                 settings=settings)
    if table == "connections":
        return ConnectionParallelScan(paths, columns, size, workers, chunk, _labels.ready(labels), check.schema,
                                      settings or ConnectionSettings())
    return ParallelScan(paths, table, columns, size, workers, chunk, _labels.ready(labels), check.schema)


def scan_packets(source: Source, *, columns: Sequence[str] | None = None, batch_size: int = DEFAULT_BATCH_SIZE,
                 jobs: int = 1, chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> pa.RecordBatchReader:
    """The packets table of `source`, one record batch of at most `batch_size` rows at a time.

    `source` is a capture path or a sequence of paths read as one capture, in order; `columns`
    selects and orders the packet columns (default: all). `jobs` worker processes (0: one per
    core) read the capture in shards: a file each, and a classic file larger than `chunk_bytes`
    in byte ranges; the rows come in the same order.
    """
    return open_scan(source, "packets", _checks.packet_columns(columns), batch_size, jobs, chunk_bytes).reader()


def read_packets(source: Source, *, columns: Sequence[str] | None = None, jobs: int = 1,
                 chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> pa.Table:
    """The whole packets table of `source` (see scan_packets)."""
    return scan_packets(source, columns=columns, jobs=jobs, chunk_bytes=chunk_bytes).read_all()


def scan_features(source: Source, *, columns: Sequence[str] | None = None, batch_size: int = DEFAULT_BATCH_SIZE,
                  alerts: Alerts | None = None, alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                  chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> pa.RecordBatchReader:
    """The features table of `source`, one record batch at a time.

    `columns` names packet columns to append after the eight feature columns. The `count` chain
    carries across the files of `source`. `alerts` (a fast-alert log, or a table of
    kavrel.read_alerts) labels each packet: the columns alert_count, alert_sid, alert_msg and
    alert_priority follow; `alerts_tz` is the zone the sensor wrote its times in (None: local).
    `jobs` and `chunk_bytes` as for scan_packets; every `count` is the one a single pass gives.
    """
    chosen = _checks.packet_columns(columns, after=FEATURE_COLUMNS)
    return open_scan(source, "features", chosen, batch_size, jobs, chunk_bytes, alerts, alerts_tz).reader()


def read_features(source: Source, *, columns: Sequence[str] | None = None, alerts: Alerts | None = None,
                  alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                  chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> pa.Table:
    """The whole features table of `source` (see scan_features)."""
    return scan_features(source, columns=columns, alerts=alerts, alerts_tz=alerts_tz, jobs=jobs,
                         chunk_bytes=chunk_bytes).read_all()
