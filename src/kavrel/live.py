"""Live capture into Arrow record batches: the packets, features or connection table of a
device's traffic.

Frames are read and decoded natively; a batch goes out when it holds `batch_rows` rows or
`batch_seconds` have passed since its first row, so a quiet link still delivers.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Literal, Union

import pyarrow as pa

from kavrel import _checks, _engine
from kavrel._checks import FEATURE_COLUMNS, MAX_BATCH_SIZE, ConnectionSettings
from kavrel._interrupts import signals
from kavrel._scan import ScanBase

__all__ = ["LiveReader", "scan_live"]

Device = Union[str, bytes]

# The longest frame libpcap captures whole.
MAX_SNAPLEN: int = _engine.MAX_SNAPLEN
# The kernel's capture buffer unless told: 16 times libpcap's default, so that a consumer's pause
# (an hour's file closed and the next opened) costs no frames on a busy link.
DEFAULT_BUFFER_BYTES: int = _engine.DEFAULT_BUFFER_BYTES


class _Batch:
    """One batch's capsules, for pyarrow's import through __arrow_c_array__."""

    __slots__ = ("schema", "array")

    def __init__(self, schema: object, array: object) -> None:
        self.schema, self.array = schema, array

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self.schema, self.array


class LiveReader(ScanBase):
    """A live capture's record batches, in capture order.

    Iterate it for `pyarrow.RecordBatch` objects (the wait for traffic releases the interpreter
    lock; Ctrl-C or a signal handler that raises ends the iteration with that exception, after
    the rows read before it), or hand it to any consumer of the Arrow C stream
    (`pyarrow.RecordBatchReader.from_stream`, polars, DuckDB). Such a consumer pulls the batches
    without the interpreter and waits as long as the link is quiet: stopping it on Ctrl-C is up
    to the consumer, or to `close()` from another thread, which ends the stream.

    A device that fails (removed, taken down) ends the iteration with OSError carrying libpcap's
    text, once the rows read before it have been handed over. For the connection table, the
    rows read before an interruption or a failure include those of every connection still open
    then: the capture's end ends them.
    """

    def __init__(self, native: _engine.LiveScan, device: str) -> None:
        self._native = native
        self._pending: BaseException | None = None
        #: The device captured on.
        self.device = device
        #: The batches' schema.
        self.schema: pa.Schema = pa.schema(native)

    @property
    def linktype(self) -> int:
        """The device's link type (a DLT_* number: 1 Ethernet, 113 Linux cooked, ...)."""
        return self._native.linktype

    def __iter__(self) -> Iterator[pa.RecordBatch]:
        return self

    def __next__(self) -> pa.RecordBatch:
        if self._pending is not None:
            # The capture has ended: the rows it left come first, without a wait.
            got = self._native.next_batch()
            if got is None:
                pending, self._pending = self._pending, None
                raise pending
            return self._batch(got[0])
        got = self._native.next_batch()
        if got is None:
            raise StopIteration
        array, self._pending = got
        return self._batch(array)

    def _batch(self, array: object) -> pa.RecordBatch:
        return pa.record_batch(_Batch(self._native.__arrow_c_schema__(), array))

    def read_next_batch(self) -> pa.RecordBatch:
        """The next batch; StopIteration once the capture has ended."""
        return self.__next__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._native.__arrow_c_stream__(requested_schema)

    def stats(self) -> dict[str, int]:
        """The capture's counters, as libpcap's pcap_stats gave them at the latest batch (or at
        the end): `received`, `dropped` (by the kernel, the capture buffer being full) and
        `if_dropped` (by the interface); with `frames` read and `rows` built."""
        return self._native.stats()

    def close(self) -> None:
        """Ends the capture and closes the device; a batch being read in another thread ends."""
        self._pending = None
        self._native.close()

    def batches(self) -> Iterator[pa.RecordBatch]:
        return iter(self)

    def cancel(self) -> None:
        """As close(): the capture ends."""
        self.close()


def scan_live(device: Device | None = None, *, kind: Literal["features", "packets", "connections"] = "features",
              filter: str | None = None, snaplen: int = MAX_SNAPLEN, promisc: bool = True,
              buffer_bytes: int | None = None, immediate: bool = False, batch_rows: int = _checks.DEFAULT_BATCH_SIZE,
              batch_seconds: float = 1.0, columns: Sequence[str] | None = None, tcp_timeout: float = 300.0,
              udp_timeout: float = 60.0, icmp_timeout: float = 60.0, other_timeout: float = 60.0,
              close_delay: float = 5.0, time_window: float = 2.0, host_window: int = 100) -> LiveReader:
    """Captures `device` into record batches of the features table (`kind="features"`: the eight
    feature columns, then the packet columns named in `columns`), the packets table
    (`kind="packets"`: the packet columns named in `columns`, default all) or the connection table
    (`kind="connections"`: the connection columns named in `columns`, default all of
    CONNECTION_COLUMNS), as the file engine builds them, stamped with the capture's times
    (nanoseconds where the device gives them).

    `device` None takes nicpick's automatic choice; "any" captures every device (Linux cooked
    frames). `filter` is a BPF expression compiled for the device (ValueError with libpcap's text
    when it does not compile, before any frame is read). `buffer_bytes` sizes the kernel's capture
    buffer (None: 32 MiB), which holds what arrives while the batches are not being read
    (frames past it are counted in stats()["dropped"]); `immediate` hands each frame over as it arrives rather than
    a buffer block at a time. A batch goes out with `batch_rows` rows or `batch_seconds` after its
    first row, whichever comes first; no batch is empty.

    The `count` feature forgets a destination idle for more than 302 s of capture time (300 s
    past the 2-second window), so days of traffic fit in memory: a count differs from the file
    engine's only for a packet stamped more than 300 s before one already seen.

    The connection table takes `tcp_timeout`, `udp_timeout`, `icmp_timeout`, `other_timeout`,
    `close_delay`, `time_window` and `host_window` as read_connections does (ValueError for the
    same settings), and its rows are read_connections' rows of a capture file of the same frames,
    `uid` included (the frame's index since this capture started), in the order they become
    final: without a traffic column, a row comes out when its connection ends; with one, once
    its connection and every connection in its two windows have ended. Only the open connections
    and the rows not yet final are held, so a long capture runs in flat memory (with a traffic
    column, the windows also keep 16 bytes of every connection, up to 16 MiB, and the older ones
    in a temporary file, as read_connections does: a connection stamped earlier may reach back
    over them). Closing the capture (close(), the end of iteration on an interruption, a device
    that fails) ends every open connection, and their rows come out before the capture's end.

    A connection ends when a frame is stamped past its deadline, as in a file; when no frame
    comes, the capture's clock is carried on: a read that finds nothing tells that every frame
    still to come will be stamped after that moment (the earlier of the system clock, which
    stamps the frames, and the latest frame's stamp carried on by the monotonic clock), less a
    margin of the kernel's buffer block timeout and one second for a frame to reach the capture.
    So a quiet link's connections end about that margin after their deadline (for a FIN
    teardown, `close_delay` after it; for a UDP flow, `udp_timeout` after its last packet), and
    each ends exactly as the next frame would have ended it in a file. The one value that can
    then differ is the `end_reason` of a connection that timed out without closing, when the
    capture ends before any later frame: `idle` here (its timeout passed while the capture was
    watching), where a file, which holds no time after its last frame, says `eof`.

    A missing device raises OSError (ENODEV), a capture not permitted PermissionError, each with
    libpcap's text.
    """
    if kind not in ("features", "packets", "connections"):
        raise ValueError(f"kind must be 'features', 'packets' or 'connections', not {kind!r}")
    settings = _checks.connection_settings(tcp_timeout=tcp_timeout, udp_timeout=udp_timeout,
                                           icmp_timeout=icmp_timeout, other_timeout=other_timeout,
                                           close_delay=close_delay, time_window=time_window,
                                           host_window=host_window)
    if kind == "connections":
        chosen = _checks.connection_columns(columns)
    else:
        if settings != ConnectionSettings():
            raise ValueError("the timeouts, close_delay and the traffic windows are settings of "
                             "kind='connections'")
        chosen = (_checks.packet_columns(columns, after=FEATURE_COLUMNS) if kind == "features"
                  else _checks.packet_columns(columns))
    if filter is not None and not isinstance(filter, str):
        raise TypeError(f"filter must be str or None, not {type(filter).__name__}")
    _checks.whole("snaplen", snaplen, 1, MAX_SNAPLEN)
    _checks.whole("batch_rows", batch_rows, 1, MAX_BATCH_SIZE)
    buffer = DEFAULT_BUFFER_BYTES if buffer_bytes is None else _checks.whole("buffer_bytes", buffer_bytes, 1,
                                                                              2**31 - 1)
    seconds = _checks.seconds("batch_seconds", batch_seconds, 86400)
    name = _checks.device_name(device)
    with signals.interruptible():  # a large filter takes a while to compile; Ctrl-C need not wait
        native = _engine.LiveScan(os.fsencode(name), kind, chosen, filter, snaplen, bool(promisc), buffer,
                                  bool(immediate), batch_rows, seconds, settings.timing(), settings.time_window,
                                  settings.host_window)
    return LiveReader(native, name)
