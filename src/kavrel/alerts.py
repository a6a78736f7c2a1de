"""IDS fast-alert logs as typed Arrow tables.

Every line is read natively, as the fast-alert lines of Snort 2 and 3 and
Suricata are written (with or without a year, without classification or
priority, IPv6 with its port unbracketed); lines that are not alerts are counted.
"""

from __future__ import annotations

import datetime as dt
import os
import zoneinfo
from typing import Literal, Union

import pyarrow as pa
import pyarrow.compute as pc

from kavrel import _engine

__all__ = ["ALERT_COLUMNS", "read_alerts", "zone"]

#: The columns of the alerts table, in table order.
ALERT_COLUMNS: tuple[str, ...] = _engine.ALERT_COLUMNS

DateOrder = Literal["auto", "mdy", "ymd"]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_EPOCH = dt.datetime(1970, 1, 1)
# A zone's offset is taken once per quarter hour of wall-clock time: every
# zone changes its offset on such a boundary.
_BUCKET_US = 15 * 60 * 1_000_000


def zone(tz: str | dt.tzinfo | None) -> dt.tzinfo | None:
    """The zone a sensor wrote its times in: None is this process's local zone."""
    if tz is None or isinstance(tz, dt.tzinfo):
        return tz
    if not isinstance(tz, str):
        raise TypeError(f"tz must be a zone name, a tzinfo or None, not {type(tz).__name__}")
    if tz.upper() == "UTC":
        return dt.timezone.utc
    try:
        return zoneinfo.ZoneInfo(tz)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"unknown time zone {tz!r}") from None


def _offset_us(bucket: int, tz: dt.tzinfo | None) -> int:
    wall = _EPOCH + dt.timedelta(microseconds=bucket * _BUCKET_US)
    # fold=0: a wall time the clock shows twice (the hour DST ends) is the earlier one.
    aware = wall.astimezone() if tz is None else wall.replace(tzinfo=tz)
    offset = aware.utcoffset()
    return 0 if offset is None else offset // dt.timedelta(microseconds=1)


def wall_to_utc(wall_us: pa.Array, tz: dt.tzinfo | None) -> pa.Array:
    """Wall-clock microseconds in zone `tz` as timestamp[us, UTC]."""
    wall_us = wall_us.cast(pa.int64())
    if tz is not dt.timezone.utc and len(wall_us) > wall_us.null_count:
        buckets = pc.floor(pc.divide(wall_us.cast(pa.float64()), _BUCKET_US)).cast(pa.int64())
        unique = pc.unique(buckets.drop_null())
        offsets = pa.array([_offset_us(b, tz) for b in unique.to_pylist()], pa.int64())
        wall_us = pc.subtract(wall_us, pc.take(offsets, pc.index_in(buckets, unique)))
    return wall_us.cast(pa.timestamp("us", tz="UTC"))


def first_wall_year_month(utc_us: int, tz: dt.tzinfo | None) -> tuple[int, int]:
    """The year and month of a UTC instant on the clocks of zone `tz`."""
    instant = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(microseconds=utc_us)
    local = instant.astimezone() if tz is None else instant.astimezone(tz)
    return local.year, local.month


def read_log(path: PathLike, tz: dt.tzinfo | None, year: int, rollover_month: int,
             date_order: DateOrder) -> pa.Table:
    """The alerts table, with the log's line counts in the schema metadata."""
    if date_order not in ("auto", "mdy", "ymd"):
        raise ValueError(f"date_order must be 'auto', 'mdy' or 'ymd', not {date_order!r}")
    if isinstance(year, bool) or not isinstance(year, int) or not 1 <= year <= 9999:
        raise ValueError(f"year must be a whole number from 1 to 9999, not {year!r}")
    schema_capsule, batch_capsules, lines, skipped, invalid = _engine.read_alert_log(os.fspath(path), year,
                                                                                     rollover_month, date_order)
    schema = pa.Schema._import_from_c_capsule(schema_capsule)
    batches = [pa.RecordBatch._import_from_c_capsule(schema.__arrow_c_schema__(), c) for c in batch_capsules]
    table = pa.Table.from_batches(batches, schema=schema)
    utc = wall_to_utc(table.column("timestamp").combine_chunks(), tz)
    table = table.set_column(0, pa.field("timestamp", utc.type), utc)
    return table.replace_schema_metadata({b"kavrel.lines": str(lines).encode(),
                                          b"kavrel.lines_skipped": str(skipped).encode(),
                                          b"kavrel.lines_invalid_utf8": str(invalid).encode()})


def read_alerts(path: PathLike, *, tz: str | dt.tzinfo | None = None, year: int | None = None,
                date_order: DateOrder = "auto") -> pa.Table:
    """One row per alert line of a fast-alert log.

    `tz` is the zone the sensor wrote its times in (None: this process's local zone; an IANA
    name or "UTC"); `year` places times written without one (default: the current year there);
    `date_order` reads three date fields as month/day/year ("mdy"), year/month/day ("ymd"), or
    by whether the first is above 12 ("auto"). Lines that are not alerts are counted in the
    schema metadata (b"kavrel.lines", b"kavrel.lines_skipped"). Bytes that are not UTF-8 are
    kept as U+FFFD (one for each run of them, as Python's "replace" handler does), and the lines
    that had any are counted there too (b"kavrel.lines_invalid_utf8").
    """
    zone_info = zone(tz)
    if year is None:
        year = dt.datetime.now(zone_info).year
    return read_log(path, zone_info, year, 0, date_order)


def lines_skipped(table: pa.Table) -> int:
    """How many non-blank lines of the log behind `table` were not alerts."""
    return int((table.schema.metadata or {}).get(b"kavrel.lines_skipped", b"0"))


def lines_invalid_utf8(table: pa.Table) -> int:
    """How many non-blank lines of the log behind `table` had bytes that are not UTF-8."""
    return int((table.schema.metadata or {}).get(b"kavrel.lines_invalid_utf8", b"0"))
