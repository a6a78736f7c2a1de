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
the shards' per-destination summaries (see kavrel.parallel).

Dask and distributed are an optional extra: pip install kavrel[dask].
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from kavrel import _engine, dataset, parallel

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - the extra is not installed
    raise ImportError("kavrel.dask needs the dask extra: pip install 'kavrel[dask]'") from exc

__all__ = ["read_features", "read_packets"]


@dataclass(frozen=True)
class _Part:
    rows: bytes               # Arrow IPC; a features shard with its mending columns
    summary: parallel.Summary


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


def _scan(task: parallel.Task, alerts: bytes | None) -> _Part:
    labels = parallel.read_ipc(alerts).combine_chunks().to_batches()[0] if alerts is not None else None
    sink = pa.BufferOutputStream()
    summary = parallel.read_shard(task, labels, sink)
    rows = sink.getvalue().to_pybytes()
    if summary.failure is not None:
        errno, text = summary.failure
        raise OSError(errno, f"{task.shard.where()}: {text}")
    return _Part(rows, summary)


def _summary(part: _Part) -> parallel.Summary:
    return part.summary


def _step(state: _ChainState, summary: parallel.Summary, task: parallel.Task,
          alerts: bytes | None) -> tuple[_ChainState, _Decision]:
    """One step of the sequential pass, as kavrel.parallel.Chain takes it."""
    chain = parallel.Chain(task.table == "features", _engine.CarryState(state.carry), state.next_record,
                           state.file_done)
    exact = None
    verdict, answer = chain.decide(task.shard, summary)
    if verdict == "redo":
        exact = answer
        retask = parallel.Task(task.shard.exactly_at(answer), task.table, task.columns, task.batch_size,
                               task.labelled)
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


def _finish(part: _Part, decision: _Decision, task: parallel.Task, alerts: bytes | None,
            schema: pa.Schema) -> pd.DataFrame:
    if decision.verdict == "skip":
        return _frame(schema.empty_table())
    if decision.exact_start is not None:
        part = _scan(parallel.Task(task.shard.exactly_at(decision.exact_start), task.table, task.columns,
                                   task.batch_size, task.labelled), alerts)
    rows = parallel.read_ipc(part.rows)
    if decision.carry is not None:
        rows = parallel.mend(rows, decision.carry)
    return _frame(rows.cast(schema))


def _graph(paths: Sequence[str], table: str, columns: list[str], chunk_bytes: int,
           labels: pa.RecordBatch | None, schema: pa.Schema) -> dd.DataFrame:
    alerts = parallel.ipc_bytes([labels], labels.schema) if labels is not None else None
    shards = list(parallel.plan(paths, chunk_bytes))
    state: Any = _ChainState()
    parts = []
    for shard in shards:
        task = parallel.Task(shard, table, columns, dataset.DEFAULT_BATCH_SIZE, labels is not None)
        part = dask.delayed(_scan, pure=True)(task, alerts)
        step = dask.delayed(_step, pure=True, nout=2)(state, dask.delayed(_summary)(part), task, alerts)
        state = dask.delayed(_state)(step)
        parts.append(dask.delayed(_finish, pure=True)(part, dask.delayed(_decision)(step), task, alerts, schema))
    return dd.from_delayed(parts, meta=_frame(schema.empty_table()), verify_meta=False)


def _open(source: dataset.Source, table: str, columns: list[str], labelled: bool) -> tuple[list[str], pa.Schema]:
    """The paths, checked here first so that what cannot be read is refused at once, and the schema."""
    paths = dataset.capture_paths(source)
    check = dataset.Scan(source, table, columns, dataset.DEFAULT_BATCH_SIZE, alerts=True if labelled else None,
                         paths=paths)
    return paths, check.schema


def read_features(paths: dataset.Source, *, columns: Sequence[str] | None = None,
                  chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES, alerts: dataset.Alerts | None = None,
                  alerts_tz: str | datetime.tzinfo | None = None) -> dd.DataFrame:
    """The features table of a capture as a Dask DataFrame, one partition per shard; the
    arguments as for kavrel.read_features."""
    chosen = dataset.packet_columns(columns, after=dataset.FEATURE_COLUMNS)
    chunk = parallel.check_chunk_bytes(chunk_bytes)
    listed, schema = _open(paths, "features", chosen, alerts is not None)
    labels = None
    if isinstance(alerts, pa.Table):
        labels = dataset.alert_labels(alerts)
    elif alerts is not None:
        labels = dataset.alerts_for(listed, os.fspath(alerts), dataset.alert_logs.zone(alerts_tz))
    return _graph(listed, "features", chosen, chunk, labels, schema)


def read_packets(paths: dataset.Source, *, columns: Sequence[str] | None = None,
                 chunk_bytes: int = parallel.DEFAULT_CHUNK_BYTES) -> dd.DataFrame:
    """The packets table of a capture as a Dask DataFrame, one partition per shard."""
    chosen = dataset.packet_columns(columns)
    chunk = parallel.check_chunk_bytes(chunk_bytes)
    listed, schema = _open(paths, "packets", chosen, False)
    return _graph(listed, "packets", chosen, chunk, None, schema)
