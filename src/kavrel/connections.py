"""Captures as connection tables: one row per connection, KDD'99's features included.

Packets are grouped into connections by key (protocol, endpoints, VLAN), split by timeouts
and teardowns, and each connection becomes one row with Zeek's `conn_state` and `history`,
KDD'99's nine intrinsic features and its nineteen traffic features over the time and host
windows. The README gives every rule; the table is the same at any parallelism.
"""

from __future__ import annotations

import datetime
from collections.abc import Sequence

import pyarrow as pa

from kavrel import _checks
from kavrel._checks import CONNECTION_COLUMNS, DEFAULT_BATCH_SIZE, DEFAULT_CHUNK_BYTES, KDD_COLUMNS, Source
from kavrel._labels import Alerts
from kavrel.dataset import open_scan

__all__ = ["CONNECTION_COLUMNS", "KDD_COLUMNS", "read_connections", "scan_connections"]


def scan_connections(source: Source, *, columns: Sequence[str] | None = None, alerts: Alerts | None = None,
                     alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                     chunk_bytes: int = DEFAULT_CHUNK_BYTES, tcp_timeout: float = 300.0, udp_timeout: float = 60.0,
                     icmp_timeout: float = 60.0, other_timeout: float = 60.0, close_delay: float = 5.0,
                     time_window: float = 2.0, host_window: int = 100,
                     batch_size: int = DEFAULT_BATCH_SIZE) -> pa.RecordBatchReader:
    """The connection table of `source`, one record batch of at most `batch_size` rows at a time,
    in `uid` order.

    `source` is a capture path or a sequence of paths read as one capture, in order. `columns`
    selects and orders the columns (default: all of CONNECTION_COLUMNS; KDD_COLUMNS gives KDD'99's
    28 features); the traffic features are computed only when one of them is asked for. `alerts`
    (a fast-alert log, or a table of kavrel.read_alerts) labels each connection: alert_count,
    alert_sid, alert_msg and alert_priority follow; `alerts_tz` is the zone the sensor wrote its
    times in (None: local). `jobs` and `chunk_bytes` as for kavrel.scan_packets: the rows are the
    same at any parallelism.

    A connection ends after `tcp_timeout`, `udp_timeout`, `icmp_timeout` (ICMP and ICMPv6) or
    `other_timeout` seconds without a packet, and `close_delay` seconds after both sides sent FIN
    or a side sent RST. `time_window` (seconds) and `host_window` (connections) are KDD'99's two
    windows of the traffic features.
    """
    settings = _checks.connection_settings(tcp_timeout=tcp_timeout, udp_timeout=udp_timeout,
                                           icmp_timeout=icmp_timeout, other_timeout=other_timeout,
                                           close_delay=close_delay, time_window=time_window,
                                           host_window=host_window)
    chosen = _checks.connection_columns(columns)
    return open_scan(source, "connections", chosen, batch_size, jobs, chunk_bytes, alerts, alerts_tz,
                     settings=settings).reader()


def read_connections(source: Source, *, columns: Sequence[str] | None = None, alerts: Alerts | None = None,
                     alerts_tz: str | datetime.tzinfo | None = None, jobs: int = 1,
                     chunk_bytes: int = DEFAULT_CHUNK_BYTES, tcp_timeout: float = 300.0, udp_timeout: float = 60.0,
                     icmp_timeout: float = 60.0, other_timeout: float = 60.0, close_delay: float = 5.0,
                     time_window: float = 2.0, host_window: int = 100) -> pa.Table:
    """The whole connection table of `source` (see scan_connections)."""
    return scan_connections(source, columns=columns, alerts=alerts, alerts_tz=alerts_tz, jobs=jobs,
                            chunk_bytes=chunk_bytes, tcp_timeout=tcp_timeout, udp_timeout=udp_timeout,
                            icmp_timeout=icmp_timeout, other_timeout=other_timeout, close_delay=close_delay,
                            time_window=time_window, host_window=host_window).read_all()
