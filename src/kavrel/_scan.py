"""What every reader of a table is: the sequential scan, the parallel one, and the live
capture (kavrel.dask's partitions read shards the parallel scan's way)."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import pyarrow as pa

from kavrel._warnings import warn_damage, warn_unmatched


class ScanBase:
    """A table's record batches, read once, in order: `schema`, `batches()` (or `reader()`, the
    same as a RecordBatchReader), `stats()` as the read goes; `cancel()` from any thread makes
    the batches end as soon as they can; `close()` (or the `with` block's end) lets go of
    whatever the scan holds."""

    schema: pa.Schema
    row = "packet"  # what one row of its table is, for what it says

    def batches(self) -> Iterator[pa.RecordBatch]:
        raise NotImplementedError

    def stats(self) -> dict[str, int]:
        raise NotImplementedError

    def cancel(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def reader(self) -> pa.RecordBatchReader:
        return pa.RecordBatchReader.from_batches(self.schema, self.batches())

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def report(self, damage: Iterable[tuple[str, int, str]], unmatched: int) -> None:
        """What the scan met, said once its batches are all out: the damaged captures, the
        alerts that labelled nothing."""
        warn_damage(damage, stacklevel=5)
        warn_unmatched(unmatched, stacklevel=5, row=self.row)
