"""The command line's output formats, each written batch by batch through pyarrow."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Callable
from typing import IO, Protocol

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv
import pyarrow.parquet


class BatchWriter(Protocol):
    def write(self, batch: pa.RecordBatch) -> None: ...
    def close(self) -> None: ...
    def abandon(self) -> None: ...


class _Writer:
    def close(self) -> None:
        pass

    def abandon(self) -> None:
        """Closes after a failure: quietly, and now rather than when collected, when a
        writer still open would write its ending to a file that is gone."""
        with contextlib.suppress(Exception):
            self.close()


class CsvWriter(_Writer):
    def __init__(self, out: IO[bytes], schema: pa.Schema) -> None:
        self.writer = pyarrow.csv.CSVWriter(out, schema)

    def write(self, batch: pa.RecordBatch) -> None:
        self.writer.write_batch(batch)

    def close(self) -> None:
        self.writer.close()


class ParquetWriter(_Writer):
    def __init__(self, out: IO[bytes], schema: pa.Schema) -> None:
        self.writer = pyarrow.parquet.ParquetWriter(out, schema)

    def write(self, batch: pa.RecordBatch) -> None:
        self.writer.write_batch(batch)

    def close(self) -> None:
        self.writer.close()


class JsonLinesWriter(_Writer):
    """One JSON object per row, timestamps as ISO-8601 text. Every value becomes a
    Python object on the way, which is why this is the slow format."""

    def __init__(self, out: IO[bytes], schema: pa.Schema) -> None:
        self.out = out
        self.times = [i for i, field in enumerate(schema) if pa.types.is_timestamp(field.type)]

    def write(self, batch: pa.RecordBatch) -> None:
        for i in self.times:
            text = pc.strftime(batch.column(i), format="%Y-%m-%dT%H:%M:%SZ")
            batch = batch.set_column(i, batch.schema.field(i).with_type(pa.string()), text)
        dumps = json.dumps
        self.out.write("".join([dumps(row) + "\n" for row in batch.to_pylist()]).encode())


WRITERS: dict[str, Callable[[IO[bytes], pa.Schema], BatchWriter]] = {
    "csv": CsvWriter, "parquet": ParquetWriter, "jsonl": JsonLinesWriter,
}


def batch_writer(fmt: str, out: IO[bytes], schema: pa.Schema) -> BatchWriter:
    return WRITERS[fmt](out, schema)
