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
the shards' per-destination summaries (see kavrel._shards).

Dask and distributed are an optional extra: pip install kavrel[dask].
"""

from __future__ import annotations

import datetime
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from kavrel import _checks, _engine, _labels, _shards
from kavrel._checks import DEFAULT_BATCH_SIZE, DEFAULT_CHUNK_BYTES, FEATURE_COLUMNS, Source
from kavrel._labels import Alerts
from kavrel._shards import Chain, Summary, Task
from kavrel._warnings import read_failure
from kavrel.dataset import Scan

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - the extra is not installed
    raise ImportError("kavrel.dask needs the dask extra: pip install 'kavrel[dask]'") from exc

__all__ = ["read_features", "read_packets"]


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
