"""The checks of the arguments every entry point takes, each made once: what a caller may pass,
and the words it is refused with."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Union

from kavrel import _engine

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Source = Union[PathLike, Sequence[PathLike]]

#: The columns of the packets and features tables, in table order (the engine's own lists).
PACKET_COLUMNS: tuple[str, ...] = _engine.PACKET_COLUMNS
FEATURE_COLUMNS: tuple[str, ...] = _engine.FEATURE_COLUMNS
#: The columns of the connection table, in table order: the connection's own, then KDD'99's
#: traffic features (the engine's list); KDD'99's 28 features that are not about content.
CONNECTION_COLUMNS: tuple[str, ...] = _engine.CONNECTION_COLUMNS
KDD_COLUMNS: tuple[str, ...] = _engine.KDD_COLUMNS
TRAFFIC_COLUMNS: tuple[str, ...] = CONNECTION_COLUMNS[CONNECTION_COLUMNS.index("urgent") + 1:]
#: Rows in a batch unless asked otherwise.
DEFAULT_BATCH_SIZE: int = _engine.DEFAULT_BATCH_ROWS
# String offsets are 32-bit: a batch of this many rows of the longest addresses still fits.
MAX_BATCH_SIZE = 1 << 24
#: Byte ranges a large classic capture is cut into, by default, and the smallest one asked for.
DEFAULT_CHUNK_BYTES = 64 << 20
MIN_CHUNK_BYTES = 512


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
    chosen = column_names(columns, PACKET_COLUMNS, "packet")
    for name in chosen:
        if name in after:
            raise ValueError(f"column {name!r} is already a feature column")
    if not chosen and not after:
        # A batch of no columns would carry no rows: the frames would vanish without a word.
        raise ValueError("the packets table needs at least one column")
    return chosen


def connection_columns(columns: Sequence[str] | None) -> list[str]:
    """The connection columns asked for, checked; None means all of them."""
    if columns is None:
        return list(CONNECTION_COLUMNS)
    chosen = column_names(columns, CONNECTION_COLUMNS, "connection")
    if not chosen:
        raise ValueError("the connection table needs at least one column")
    return chosen


@dataclass(frozen=True)
class ConnectionSettings:
    """How packets are grouped into connections, and the traffic features' windows."""
    tcp_timeout: float = 300.0
    udp_timeout: float = 60.0
    icmp_timeout: float = 60.0
    other_timeout: float = 60.0
    close_delay: float = 5.0
    time_window: float = 2.0
    host_window: int = 100

    def timing(self) -> tuple[float, float, float, float, float]:
        return (self.tcp_timeout, self.udp_timeout, self.icmp_timeout, self.other_timeout, self.close_delay)


# The longest timeout taken: about 31 years, far from overflowing a deadline in nanoseconds.
MAX_TIMEOUT = 1e9


def connection_settings(*, tcp_timeout: object = 300.0, udp_timeout: object = 60.0, icmp_timeout: object = 60.0,
                        other_timeout: object = 60.0, close_delay: object = 5.0, time_window: object = 2.0,
                        host_window: object = 100) -> ConnectionSettings:
    """The settings checked: each timeout and the time window a positive, finite number of
    seconds, the close delay zero or more, the host window a whole number of connections."""
    timeouts = {name: seconds(name, value, MAX_TIMEOUT) for name, value in
                (("tcp_timeout", tcp_timeout), ("udp_timeout", udp_timeout), ("icmp_timeout", icmp_timeout),
                 ("other_timeout", other_timeout), ("time_window", time_window))}
    if (isinstance(close_delay, bool) or not isinstance(close_delay, (int, float)) or not _finite(close_delay)
            or not 0 <= close_delay <= MAX_TIMEOUT):
        raise ValueError(f"close_delay must be a finite number of seconds from 0 to {MAX_TIMEOUT:g}, "
                         f"not {close_delay!r}")
    return ConnectionSettings(close_delay=float(close_delay), host_window=whole("host_window", host_window, 1,
                                                                                   2**32 - 1), **timeouts)


def column_names(columns: Sequence[str], known: Sequence[str], table: str) -> list[str]:
    """`columns` checked against the `known` columns of `table`: each a str, known, and named once."""
    if isinstance(columns, str):
        raise TypeError("columns must be a sequence of column names, not a str")
    chosen = list(columns)
    seen = set()
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError(f"a column name must be str, not {type(name).__name__}")
        if name not in known:
            raise ValueError(f"unknown {table} column {name!r}; the {table} columns are: {', '.join(known)}")
        if name in seen:
            raise ValueError(f"column {name!r} is asked for twice")
        seen.add(name)
    return chosen


def whole(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be a whole number from {low:,} to {high:,}, not {value!r}")
    return value


def _finite(value: int | float) -> bool:
    """math.isfinite, for a whole number too large for a float as well (it is not one)."""
    try:
        return math.isfinite(value)
    except OverflowError:
        return False


def seconds(name: str, value: object, high: float = math.inf) -> float:
    """A positive, finite number of seconds (at most `high`)."""
    if (isinstance(value, bool) or not isinstance(value, (int, float)) or not _finite(value)
            or not 0 < value <= high):
        most = "" if high == math.inf else f" and at most {high:g}"
        raise ValueError(f"{name} must be a positive, finite number of seconds{most}, not {value!r}")
    return float(value)


def batch_size(value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_BATCH_SIZE:
        raise ValueError(f"batch_size must be a whole number from 1 to {MAX_BATCH_SIZE:,}, not {value!r}")
    return value


def job_count(jobs: object) -> int:
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 0:
        raise ValueError(f"jobs must be a whole number, 0 for every core, not {jobs!r}")
    if jobs == 0:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return jobs


def chunk_bytes(value: object) -> int:
    """A chunk size, raised to MIN_CHUNK_BYTES: smaller ranges hold a few records each and cost a task."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"chunk_bytes must be a positive whole number, not {value!r}")
    return max(value, MIN_CHUNK_BYTES)


def parallel_source(paths: list[str], jobs: int) -> None:
    """Refuses standard input for more than one job, before it is touched."""
    if jobs > 1 and "-" in paths:
        raise ValueError("standard input cannot be read in parallel; read it with jobs=1")


def device_name(device: str | bytes | None) -> str:
    """The device to capture on: the automatic choice for None."""
    if device is None:
        from kavrel.core.base import nicpick

        chosen = nicpick.get_auto_device()
        if chosen is None:
            raise OSError("no capture device found")
        return os.fsdecode(chosen)
    if not isinstance(device, (str, bytes)):
        raise TypeError(f"device must be str, bytes or None, not {type(device).__name__}")
    name = os.fsdecode(device)
    if not name or "\0" in name:
        raise ValueError(f"bad device name {name!r}")
    return name
