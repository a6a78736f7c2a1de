"""Captures as Dask DataFrames: one partition per shard, on a cluster.

    from dask.distributed import Client
    import kavrel.dask

    client = Client()                       # or Client("scheduler:8786")
    features = kavrel.dask.read_features(["day1.pcap", "day2.pcap"])
    features.to_parquet("features/", write_index=False)

The capture files must be readable at the same paths on every worker (shared
storage). The rows are those of one sequential pass, in the same order: each
shard counts on its own, and the count carried from shard to shard is worked
out by a chain of small tasks in the graph itself, one per shard, that see only
the shards' per-destination summaries (see kavrel._shards). The connection table,
whose connections may span any number of shards, is built in three phases: events
per shard, connections per group of buckets, and partitions merged by uid (see
read_connections).

Dask and distributed are an optional extra: pip install kavrel[dask].
"""

from __future__ import annotations

import datetime
import math
import operator
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from kavrel import _checks, _engine, _labels, _shards
from kavrel._checks import (DEFAULT_BATCH_SIZE, DEFAULT_CHUNK_BYTES, FEATURE_COLUMNS, TRAFFIC_COLUMNS,
                            ConnectionSettings, Source)
from kavrel._labels import Alerts
from kavrel._shards import Chain, Summary, Task
from kavrel._warnings import DamagedCapture, damage_words, read_failure
from kavrel.dataset import Scan

try:
    import dask
    import dask.dataframe as dd
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    import numpy as np
    import pandas as pd
except ImportError as exc:  # pragma: no cover - the extra is not installed
    raise ImportError("kavrel.dask needs the dask extra: pip install 'kavrel[dask]'") from exc

__all__ = ["read_connections", "read_features", "read_packets"]


@dataclass(frozen=True)
class _Part:
    rows: bytes               # Arrow IPC
    mend: bytes | None        # a features shard's mending values, uint32 per row
    summary: Summary


@dataclass(frozen=True)
class _ChainState:
    """The sequential pass after a shard: the carry state as bytes, and where the file stands."""
    carry: bytes = b""
    next_record: int | None = None
    file_done: bool = False


@dataclass(frozen=True)
class _Decision:
    verdict: str              # "carry" or "skip"
    carry: bytes | None       # the shard's carries (features)
    exact_start: int | None   # read again from here: the guessed start was not the record the walk met


def _scan(task: Task, alerts: bytes | None) -> _Part:
    labels = _shards.from_ipc(alerts).combine_chunks().to_batches()[0] if alerts is not None else None
    summary, rows = _shards.read(task, labels)
    if summary.failure is not None:
        raise read_failure(summary.failure, task.shard.where())
    mend = rows.mend_values() if task.table == "features" else None
    stream = pa.RecordBatchReader.from_stream(rows)
    return _Part(_shards.to_ipc(stream, stream.schema), mend, summary)


def _summary(part: _Part) -> Summary:
    return part.summary


def _step(state: _ChainState, summary: Summary, task: Task, alerts: bytes | None) -> tuple[_ChainState, _Decision]:
    """One step of the sequential pass, as kavrel._shards.Chain takes it."""
    chain = Chain(task.table == "features", _engine.CarryState(state.carry), state.next_record, state.file_done)
    exact = None
    verdict, answer = chain.decide(task.shard, summary)
    if verdict == "redo":
        exact = answer
        retask = task.redo(answer)  # type: ignore[arg-type]
        verdict, answer = chain.decide(retask.shard, _scan(retask, alerts).summary)
    return (_ChainState(chain.carry.serialize(), chain.next_record, chain.file_done),
            _Decision(verdict, answer if isinstance(answer, bytes) else None, exact))


def _state(step: tuple[_ChainState, _Decision]) -> _ChainState:
    return step[0]


def _decision(step: tuple[_ChainState, _Decision]) -> _Decision:
    return step[1]


def _dtype(t: pa.DataType) -> Any:
    # Arrow-backed columns, except a dictionary's: as pandas' category (what Table.to_pandas
    # gives) its dtype can be written to Parquet's pandas metadata and read back.
    return None if pa.types.is_dictionary(t) else pd.ArrowDtype(t)


def _frame(table: pa.Table) -> pd.DataFrame:
    frame = table.to_pandas(types_mapper=_dtype)
    # Every partition, empty ones and the meta included, has the column's whole set of categories.
    for name, values in _engine.DICTIONARIES.items():
        if name in frame.columns:
            frame[name] = frame[name].cat.set_categories(values)
    return frame


def _mended(rows: pa.Table, mend: bytes, carry: bytes) -> pa.Table:
    """The rows with the carries added to each destination's first chain."""
    counts = []
    at = 0
    for batch in rows.to_batches():
        values = mend[at:at + 4 * batch.num_rows]
        at += 4 * batch.num_rows
        schema, array = _engine.mended_counts(batch, values, carry)
        counts.append(pa.RecordBatch._import_from_c_capsule(schema, array).column(0))
    i = rows.schema.get_field_index("count")
    return rows.set_column(i, rows.schema.field(i), pa.chunked_array(counts, pa.uint32()))


def _finish(part: _Part, decision: _Decision, task: Task, alerts: bytes | None, schema: pa.Schema) -> pd.DataFrame:
    if decision.verdict == "skip":
        return _frame(schema.empty_table())
    if decision.exact_start is not None:
        part = _scan(task.redo(decision.exact_start), alerts)
    rows = _shards.from_ipc(part.rows)
    if decision.carry is not None and part.mend is not None:
        rows = _mended(rows, part.mend, decision.carry)
    return _frame(rows.cast(schema))


def _graph(paths: Sequence[str], table: _shards.Table, columns: list[str], chunk_bytes: int,
           labels: pa.RecordBatch | None, schema: pa.Schema) -> dd.DataFrame:
    alerts = _shards.to_ipc([labels], labels.schema) if labels is not None else None
    state: Any = _ChainState()
    parts = []
    for shard in _shards.plan(paths, chunk_bytes):
        task = Task(shard, table, columns, DEFAULT_BATCH_SIZE, labels is not None)
        part = dask.delayed(_scan, pure=True)(task, alerts)
        step = dask.delayed(_step, pure=True, nout=2)(state, dask.delayed(_summary)(part), task, alerts)
        state = dask.delayed(_state)(step)
        parts.append(dask.delayed(_finish, pure=True)(part, dask.delayed(_decision)(step), task, alerts, schema))
    return dd.from_delayed(parts, meta=_frame(schema.empty_table()), verify_meta=False)


def _open(source: Source, table: _shards.Table, columns: list[str], chunk_bytes: int,
          labels: _labels.Labels | None = None) -> dd.DataFrame:
    """The frame, the captures checked here first so that what cannot be read is refused at once."""
    paths = _checks.capture_paths(source)
    _checks.parallel_source(paths, 2)
    chunk = _checks.chunk_bytes(chunk_bytes)
    check = Scan(source, table, columns, DEFAULT_BATCH_SIZE, alerts=True if labels is not None else None,
                 paths=paths)
    return _graph(paths, table, columns, chunk, _labels.ready(labels), check.schema)


def read_features(paths: Source, *, columns: Sequence[str] | None = None,
                  chunk_bytes: int = DEFAULT_CHUNK_BYTES, alerts: Alerts | None = None,
                  alerts_tz: str | datetime.tzinfo | None = None) -> dd.DataFrame:
    """The features table of a capture as a Dask DataFrame, one partition per shard; the
    arguments as for kavrel.read_features."""
    chosen = _checks.packet_columns(columns, after=FEATURE_COLUMNS)
    labels = _labels.labels_for(_checks.capture_paths(paths), alerts, alerts_tz)
    return _open(paths, "features", chosen, chunk_bytes, labels)


def read_packets(paths: Source, *, columns: Sequence[str] | None = None,
                 chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> dd.DataFrame:
    """The packets table of a capture as a Dask DataFrame, one partition per shard."""
    return _open(paths, "packets", _checks.packet_columns(columns), chunk_bytes)


# ---- the connection table ---------------------------------------------------------------
#
# A connection may span any number of shards, so no shard can make its rows alone. Each
# shard's reader files its IP packets as events by bucket (a hash of the connection key) and
# hands each group of buckets its own blocks, as bytes; the chain of summaries decides, as for
# the other tables, which ranges one pass reads and from where. One task per group then
# assembles its buckets over every shard in order, and splits its rows by the shard their
# first frame lies in; each partition merges its rows of every group by uid. The traffic
# windows reach back over the rows before a partition: each partition keeps the rows that a
# later one may still reach, and one small task passes them on from partition to partition.

# Buckets a connection key is hashed into; they are dealt to the groups.
_BUCKETS = 64
# Groups at the most: each is one task that sees every shard, and splits its rows by shard.
_MOST_GROUPS = 16

# A row as BucketAssembly.take_rows() makes it (native/connections/assembler.hpp, Connection):
# 144 bytes in host order, the uid and the first packet's time first.
_ROW = np.dtype([("uid", "=u8"), ("ts", "=i8"), ("rest", "V128")])
_INT64_MIN = -(1 << 63)


@dataclass(frozen=True)
class _ShardEvents:
    summary: Summary
    groups: list[_shards.GroupEvents]


@dataclass(frozen=True)
class _Piece:
    """A shard as one group's assembler takes it: its frames, and its events of the group
    (None: one pass reads none of it)."""
    frames: int
    events: _shards.GroupEvents | None


def _bucket_groups(groups: int) -> list[list[int]]:
    return [list(range(g, _BUCKETS, groups)) for g in range(groups)]


def _group_count() -> int:
    """Groups of buckets: one per thread of the cluster the default client is connected to
    (else one per core), within _MOST_GROUPS."""
    threads = 0
    try:
        from distributed import default_client

        threads = sum(default_client().nthreads().values())
    except (ImportError, ValueError):
        pass
    return max(1, min(_MOST_GROUPS, threads or os.cpu_count() or 1))


def _read_events(task: Task, groups: int) -> _ShardEvents:
    """Phase 1: a shard's packets as events by bucket, in a memory file of this task's own,
    handed on as bytes (a descriptor means nothing on another machine)."""
    memory = _engine.MemoryFile()
    summary, events = _shards.read(task, None, memory)
    if summary.failure is not None:
        raise read_failure(summary.failure, task.shard.where())
    pieces = _shards.events_by_group(events, memory, _bucket_groups(groups))  # type: ignore[arg-type]
    return _ShardEvents(summary, pieces)


def _events_summary(part: _ShardEvents) -> Summary:
    return part.summary


def _connection_steps(summaries: list[Summary], tasks: list[Task]) -> list[tuple[_Decision, list]]:
    """The sequential pass over every shard's summary, in one task (the assemblers wait for
    every shard anyway): what one pass reads of each shard, and the damage that read meets."""
    chain = Chain(False)
    out = []
    for task, summary in zip(tasks, summaries):
        exact: int | None = None
        verdict, answer = chain.decide(task.shard, summary)
        if verdict == "redo":
            exact = answer  # type: ignore[assignment]
            retask = task.redo(answer)  # type: ignore[arg-type]
            summary = _read_events(retask, 1).summary
            verdict, answer = chain.decide(retask.shard, summary)
        out.append((_Decision(verdict, None, exact), summary.damage if verdict != "skip" else []))
    return out


def _settle(part: _ShardEvents, step: tuple[_Decision, list], task: Task, groups: int) -> tuple:
    """The shard as one pass reads it: each group's piece."""
    decision = step[0]
    if decision.verdict == "skip":
        return tuple([_Piece(0, None)] * groups)
    if decision.exact_start is not None:
        part = _read_events(task.redo(decision.exact_start), groups)
    return tuple(_Piece(part.summary.frames, g) for g in part.groups)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _assemble(settings: ConnectionSettings, buckets: list[int], pieces: list[_Piece]) -> tuple:
    """Phase 2: one group's connections over every shard in order, split by the shard whose
    frames hold each one's first packet (its partition), then the earliest `ts` of each part
    (None: no row)."""
    assembly = _engine.BucketAssembly(settings.timing(), buckets)
    offset, starts = 0, []
    for piece in pieces:
        starts.append(offset)
        if piece.events is None:
            continue
        # The assembler maps what it is fed: the bytes go back into a memory file here.
        fd = os.memfd_create("kavrel-events", os.MFD_CLOEXEC)
        try:
            _write_all(fd, piece.events.data)
            assembly.feed(fd, piece.events.description, offset)
        finally:
            os.close(fd)
        offset += piece.frames
    assembly.finish()
    rows = np.frombuffer(assembly.take_rows(), _ROW)
    parts = np.split(rows, np.searchsorted(rows["uid"], starts[1:]))
    return (*[p.tobytes() for p in parts], [int(p["ts"].min()) if len(p) else None for p in parts])


def _times(by_group: list[list[int | None]]) -> tuple[list[int | None], list[int | None]]:
    """Each partition's earliest `ts`, and the earliest of it and of every partition after it."""
    n = len(by_group[0])
    earliest: list[int | None] = []
    for k in range(n):
        known = [t for g in by_group if (t := g[k]) is not None]
        earliest.append(min(known) if known else None)
    ahead: list[int | None] = [None] * (n + 1)
    for k in reversed(range(n)):
        later = [t for t in (earliest[k], ahead[k + 1]) if t is not None]
        ahead[k] = min(later) if later else None
    return earliest, ahead


def _merged(pieces: list[bytes]) -> bytes:
    """A partition's rows of every group, in uid order."""
    rows = np.concatenate([np.frombuffer(p, _ROW) for p in pieces])
    return rows[np.argsort(rows["uid"], kind="stable")].tobytes()


def _reach(rows: bytes, earliest: int | None, settings: ConnectionSettings) -> bytes:
    """Of `rows` (the table's rows in order up to some point), those the traffic windows of
    rows after them stamped `earliest` or later may reach: the last host_window - 1, and every
    one after the last stamped more than time_window before `earliest` (the walk back of a time
    window stops there at the latest; a nanosecond to spare). Rows that go back in time may
    make this everything: their windows reach as far back as the one pass's."""
    if earliest is None:
        return b""
    ts = np.frombuffer(rows, _ROW)["ts"]
    by_count = max(len(ts) - (settings.host_window - 1), 0)
    older = earliest - math.ceil(settings.time_window * 1e9) - 1
    old = np.flatnonzero(ts < older) if older > _INT64_MIN else np.empty(0, np.intp)
    by_time = int(old[-1]) + 1 if len(old) else 0
    return rows[min(by_count, by_time) * _ROW.itemsize:]


def _local_tail(pieces: list[bytes], times: tuple[list[int | None], list[int | None]], k: int,
                settings: ConnectionSettings) -> bytes:
    """Of partition k - 1's rows, those partition k or any after it may reach."""
    return _reach(_merged(pieces), times[1][k], settings)


def _tails(local: list[bytes], times: tuple[list[int | None], list[int | None]],
           settings: ConnectionSettings) -> list[bytes]:
    """For each partition, the rows before it that it or any partition after it may reach,
    from the rows each partition keeps for those after it (`local`, from partition 0 on)."""
    out = [b""]
    for k, rows in enumerate(local, 1):
        out.append(_reach(out[-1] + rows, times[1][k], settings))
    return out


def _warn_damage(damage: list[tuple[str, int, str]]) -> None:
    """Damage said where the partition is made: on a cluster's worker, to every client too."""
    try:
        from distributed import warn
    except ImportError:  # pragma: no cover - distributed comes with the extra
        warn = warnings.warn  # type: ignore[assignment]
    for path, offset, text in damage:
        warning = DamagedCapture(damage_words(path, offset, text))
        warning.path, warning.offset, warning.text = path, offset, text  # type: ignore[attr-defined]
        warn(warning)


def _alert_capsules(alerts: bytes | None) -> tuple[object, object] | None:
    if alerts is None:
        return None
    table = _shards.from_ipc(alerts)
    return pa.RecordBatch.from_arrays([c.combine_chunks() for c in table.columns],
                                      schema=table.schema).__arrow_c_array__()


def _connection_part(pieces: list[bytes], before: bytes, times: tuple[list[int | None], list[int | None]], k: int,
                     step: tuple[_Decision, list], columns: list[str], alerts: bytes | None,
                     settings: ConnectionSettings, schema: pa.Schema) -> pd.DataFrame:
    """Phase 3: partition k from its rows of every group, labelled, their traffic windows
    reaching back into the rows before it."""
    merge = _engine.ConnectionMerge(columns, DEFAULT_BATCH_SIZE, settings.time_window, settings.host_window,
                                    _alert_capsules(alerts), history=_reach(before, times[0][k], settings))
    merge.push(_merged(pieces))
    batches = [pa.RecordBatch._import_from_c_capsule(*pair) for pair in merge.release(_shards.NO_LIMIT, True)]
    _warn_damage(step[1])
    table = pa.Table.from_batches(batches) if batches else schema.empty_table()
    return _connection_frame(table.cast(schema))


def _connection_dtype(t: pa.DataType) -> Any:
    # Text as pandas' own string dtype over Arrow, which Parquet's pandas metadata gives back
    # as it was (an ArrowDtype string comes back as this one); the rest Arrow-backed.
    return pd.StringDtype("pyarrow") if pa.types.is_string(t) else _dtype(t)


def _connection_frame(table: pa.Table) -> pd.DataFrame:
    return table.to_pandas(types_mapper=_connection_dtype)


def _connection_graph(paths: Sequence[str], columns: list[str], chunk_bytes: int, labels: pa.RecordBatch | None,
                      schema: pa.Schema, settings: ConnectionSettings, groups: int) -> dd.DataFrame:
    # One layer of plain tasks: a graph of delayed calls, each carrying every layer before it,
    # would take time quadratic in the shards to build.
    alerts = _shards.to_ipc([labels], labels.schema) if labels is not None else None
    plan = _shards.plan(paths, chunk_bytes)
    n = len(plan)
    files = [(p, os.stat(p).st_size, os.stat(p).st_mtime_ns) for p in dict.fromkeys(paths)]
    name = "kavrel-connections-" + dask.base.tokenize(files, columns, chunk_bytes, alerts, settings, groups, schema)
    graph: dict[Any, Any] = {}
    alerts_key = None
    if alerts is not None:
        alerts_key = (f"{name}-alerts", 0)
        graph[alerts_key] = alerts
    tasks = [Task(shard, "connections", [], DEFAULT_BATCH_SIZE, buckets=_BUCKETS) for shard in plan]
    for i, task in enumerate(tasks):
        graph[(f"{name}-events", i)] = (_read_events, task, groups)
        graph[(f"{name}-summary", i)] = (_events_summary, (f"{name}-events", i))
    graph[(f"{name}-steps", 0)] = (_connection_steps, [(f"{name}-summary", i) for i in range(n)], tasks)
    for i, task in enumerate(tasks):
        graph[(f"{name}-step", i)] = (operator.getitem, (f"{name}-steps", 0), i)
        graph[(f"{name}-settled", i)] = (_settle, (f"{name}-events", i), (f"{name}-step", i), task, groups)
        for g in range(groups):
            graph[(f"{name}-piece", i, g)] = (operator.getitem, (f"{name}-settled", i), g)
    for g, buckets in enumerate(_bucket_groups(groups)):
        graph[(f"{name}-group", g)] = (_assemble, settings, buckets, [(f"{name}-piece", i, g) for i in range(n)])
        for k in range(n + 1):  # each partition's rows, then their earliest times
            graph[(f"{name}-rows", g, k)] = (operator.getitem, (f"{name}-group", g), k)
    times = (f"{name}-times", 0)
    graph[times] = (_times, [(f"{name}-rows", g, n) for g in range(groups)])
    if any(c in TRAFFIC_COLUMNS for c in columns):
        for k in range(1, n):
            graph[(f"{name}-local", k)] = (_local_tail, [(f"{name}-rows", g, k - 1) for g in range(groups)], times, k,
                                           settings)
        graph[(f"{name}-tails", 0)] = (_tails, [(f"{name}-local", k) for k in range(1, n)], times, settings)
        for k in range(n):
            graph[(f"{name}-tail", k)] = (operator.getitem, (f"{name}-tails", 0), k)
    for k in range(n):
        before = (f"{name}-tail", k) if (f"{name}-tail", k) in graph else b""
        graph[(f"{name}-part", k)] = (_connection_part, [(f"{name}-rows", g, k) for g in range(groups)], before,
                                      times, k, (f"{name}-step", k), columns, alerts_key, settings, schema)
    layers = HighLevelGraph.from_collections(name, graph)
    parts = [Delayed((f"{name}-part", k), layers, layer=name) for k in range(n)]
    return dd.from_delayed(parts, meta=_connection_frame(schema.empty_table()), verify_meta=False)


def read_connections(source: Source, *, columns: Sequence[str] | None = None, alerts: Alerts | None = None,
                     alerts_tz: str | datetime.tzinfo | None = None, chunk_bytes: int = DEFAULT_CHUNK_BYTES,
                     tcp_timeout: float = 300.0, udp_timeout: float = 60.0, icmp_timeout: float = 60.0,
                     other_timeout: float = 60.0, close_delay: float = 5.0, time_window: float = 2.0,
                     host_window: int = 100) -> dd.DataFrame:
    """The connection table of a capture as a Dask DataFrame; the arguments as for
    kavrel.read_connections, and the rows equal to its, in order.

    There is one partition per shard: partition k holds the connections whose first packet
    lies in shard k's frames, so the partitions are in uid order and about a shard's rows
    each (a shard one pass does not read, after damage in its file, gives an empty one).
    Each shard is read by a task of its own into events by bucket; one task per group of
    buckets (as many as the cluster has threads, up to 16) assembles its connections over
    every shard in order; each partition is then merged on a worker from every group's rows,
    its traffic windows reaching back into the rows before it. Rows travel between tasks as
    bytes in this host's byte order: the workers are taken to be of one architecture.

    The columns are Arrow-backed: numbers and times as pandas.ArrowDtype (`uint64[pyarrow]`,
    `timestamp[ns, tz=UTC][pyarrow]`, ...), text as pandas.StringDtype("pyarrow"), so that
    every dtype comes back from Parquet's pandas metadata as it was written. A damaged capture
    warns (DamagedCapture) when the partition of its shard is computed, on a cluster in the
    client too; a failed read raises OSError.
    """
    settings = _checks.connection_settings(tcp_timeout=tcp_timeout, udp_timeout=udp_timeout,
                                           icmp_timeout=icmp_timeout, other_timeout=other_timeout,
                                           close_delay=close_delay, time_window=time_window,
                                           host_window=host_window)
    chosen = _checks.connection_columns(columns)
    paths = _checks.capture_paths(source)
    _checks.parallel_source(paths, 2)
    chunk = _checks.chunk_bytes(chunk_bytes)
    labels = _labels.labels_for(paths, alerts, alerts_tz)
    check = Scan(source, "connections", chosen, DEFAULT_BATCH_SIZE, alerts=True if labels is not None else None,
                 paths=paths, settings=settings)
    return _connection_graph(paths, chosen, chunk, _labels.ready(labels), check.schema, settings, _group_count())
