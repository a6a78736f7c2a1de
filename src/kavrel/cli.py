"""The kavrel command line.

    kavrel connections CAPTURE... [-o OUT] [--format parquet|csv|jsonl] [--columns A,B | --kdd]
    kavrel features CAPTURE... [-o OUT] [--format parquet|csv|jsonl] [--columns A,B]
    kavrel packets CAPTURE... [-o OUT] [--format parquet|csv|jsonl] [--columns A,B]
    kavrel sniff [-i DEVICE] [-f FILTER | FILTER...] [--features] [-c COUNT] [-G SECONDS] [-o PATTERN]
    kavrel alerts LOG [--subnet CIDR] [-o OUT]
    kavrel devices

`connections`, `features`, `packets` and `sniff` stream the dataset engine's tables batch by batch;
`alerts` writes the typed alerts table or the converter's CSV; `devices` lists devices.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import errno
import ipaddress
import math
import os
import stat
import sys
import tempfile
import time
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from kavrel import __version__
from kavrel._interrupts import Interrupted, signals
from kavrel._target import Target, WriteError

if TYPE_CHECKING:
    import pyarrow as pa

    from kavrel._checks import ConnectionSettings
    from kavrel._scan import ScanBase

PROG = "kavrel"

TABLE_FORMATS = ("parquet", "csv", "jsonl")
EXTENSIONS = {".parquet": "parquet", ".csv": "csv", ".jsonl": "jsonl"}
STDIN = "-"

EXIT_STATUS = """\
exit status:
  0    success
  1    failure, or a damaged capture (the rows before the damage are written)
  2    usage error
  130  interrupted (Ctrl-C), 143 terminated (SIGTERM); no partial output file is left behind"""

# libpcap's interface flags (pcap/pcap.h).
PCAP_IF_LOOPBACK = 0x01
PCAP_IF_UP = 0x02
PCAP_IF_RUNNING = 0x04
PCAP_IF_WIRELESS = 0x08
PCAP_IF_CONNECTION_STATUS = 0x30
CONNECTION_WORDS = {0x10: "connected", 0x20: "disconnected", 0x30: "not-applicable"}

NEEDS_PRIVILEGE = "live capture needs root or CAP_NET_RAW"


class Failure(Exception):
    """An expected failure: reported as one line on stderr, exit status 1."""


class UsageError(Exception):
    """A bad command line: the usage line and one error line on stderr, exit status 2."""

    def __init__(self, message: str, parser: argparse.ArgumentParser | None = None) -> None:
        super().__init__(message)
        self.parser = parser


# ---- words -----------------------------------------------------------------------


def plural(n: int, word: str, words: str | None = None) -> str:
    return f"{n:,} {word if n == 1 else words or word + 's'}"


def shown(path: str) -> str:
    return "standard input" if path == STDIN else path


def os_words(exc: OSError) -> str:
    """A system error as one line: the file it names (when it names one), then what went wrong."""
    text = exc.strerror or str(exc)
    if exc.filename:
        return f"{shown(os.fsdecode(exc.filename))}: {text}"
    path = getattr(exc, "path", None)  # a read that failed part-way
    if path is not None:
        return f"{shown(path)}: {exc.detail}"  # type: ignore[attr-defined]
    return text


def warn_line(message: object) -> None:
    text = " ".join(str(message).split())
    print(f"{PROG}: warning: {text}", file=sys.stderr)


def show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    # Warnings are for the user: one line each, never a source excerpt.
    warn_line(message)


def silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's final flush
    of whatever could not be written raises nothing more."""
    with contextlib.suppress(OSError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


# ---- features and packets: the dataset engine's tables -----------------------------


def chosen_format(fmt: str | None, target: Target) -> str:
    if fmt is None:
        if target.in_place or target.path is None:  # standard output, a device, a FIFO: no name to go by
            return "csv"
        fmt = EXTENSIONS.get(os.path.splitext(target.path)[1].lower())
        if fmt is None:
            raise UsageError(f"cannot tell the format of {target.path} from its name: give --format "
                             "or end it in .parquet, .csv or .jsonl")
    if fmt == "parquet" and target.path is None:
        raise UsageError("Parquet is not written to standard output: give -o OUT.parquet")
    return fmt


def chosen_columns(text: str | None, table: str) -> list[str]:
    from kavrel._checks import FEATURE_COLUMNS, packet_columns

    names = None if text is None else [name.strip() for name in text.split(",")]
    try:
        return packet_columns(names, after=FEATURE_COLUMNS if table == "features" else ())
    except ValueError as exc:
        raise UsageError(f"--columns: {exc}") from None


def refuse_overwriting(inputs: list[str], target: Target, noun: str) -> None:
    """Refuses an output that is one of the inputs, under any name (a symlink, a hard link)."""
    written = target.identity()
    if written is None:
        return
    for path in inputs:
        try:
            st = os.fstat(sys.stdin.fileno()) if path == STDIN else os.stat(path)
        except (OSError, ValueError):
            continue  # the engine says why it cannot be read
        if (st.st_dev, st.st_ino) == written:
            raise UsageError(f"the output {target.name} is the {noun} {shown(path)}: it would be destroyed")


def total_bytes(captures: list[str], stats: dict[str, int]) -> int | None:
    """The bytes the scan will read, when known: not for standard input from a pipe."""
    if STDIN in captures:
        with contextlib.suppress(OSError, ValueError):
            if not stat.S_ISREG(os.fstat(sys.stdin.fileno()).st_mode):
                return None
    return stats["bytes_total"] or None


def open_scan(args: argparse.Namespace, columns: list[str], settings: ConnectionSettings | None = None) -> ScanBase:
    from kavrel import dataset

    alerts = getattr(args, "alerts", None)
    try:
        return dataset.open_scan(args.captures, args.command, columns, jobs=args.jobs, alerts=alerts,
                                 alerts_tz=getattr(args, "alerts_tz", None), settings=settings)
    except OSError as exc:
        if alerts is not None and exc.filename == alerts:
            raise Failure(f"{alerts}: {exc.strerror}") from None
        raise Failure(os_words(exc)) from None
    except ValueError as exc:
        name = getattr(exc, "filename", None)
        if name is not None:  # not a capture file
            raise Failure(f"{shown(name)}: not a capture file ({exc.libpcap_text})") from None  # type: ignore
        raise Failure(str(exc)) from None


class ReadAhead:
    """A scan's batches read on a thread of their own, up to `depth` ahead: the next batch is
    decoded while this one is written (both release the interpreter lock). However the block
    is left (Ctrl-C, SIGTERM, a closed pipe, a failed write), the scan is cancelled and the
    thread waited for, so that no thread is inside native code when the process exits. A read
    that fails after some rows is a Failure, raised where the batches are taken."""

    _END = object()

    def __init__(self, scan: ScanBase, depth: int = 2) -> None:
        import queue
        import threading

        self.scan = scan
        # A queue implemented in C, whose get() a signal ends cleanly; `room` bounds it.
        self.ready: queue.SimpleQueue = queue.SimpleQueue()
        self.room = threading.Semaphore(depth)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._pull, name="kavrel-read-ahead")

    def __enter__(self) -> ReadAhead:
        self.thread.start()
        return self

    def __iter__(self) -> Iterator[pa.RecordBatch]:
        while True:
            with signals.interruptible():
                item = self.ready.get()
            self.room.release()
            if item is self._END:
                return
            if isinstance(item, OSError):
                raise Failure(os_words(item)) from None
            if isinstance(item, BaseException):
                raise item
            yield item

    def _put(self, item: object) -> bool:
        while not self.room.acquire(timeout=0.05):
            if self.stop.is_set():
                return False
        self.ready.put(item)
        return True

    def _pull(self) -> None:
        try:
            for batch in self.scan.batches():
                if self.stop.is_set() or not self._put(batch):
                    return
        except BaseException as exc:  # handed over, raised where the batches are taken
            self._put(exc)
            return
        self._put(self._END)

    def __exit__(self, *exc_info: object) -> None:
        self.stop.set()
        self.scan.cancel()
        self.thread.join()


class Progress:
    """A bar on stderr: percent of the bytes read, packets (frames) per second, time left."""

    def __init__(self, total: int | None, enabled: bool) -> None:
        self.bar = None
        if not enabled:
            return
        from tqdm import tqdm

        if total is None:
            layout = "{desc}: {n_fmt}B read [{elapsed}{postfix}]"
        else:
            layout = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{elapsed}<{remaining}{postfix}]"
        try:
            width = os.get_terminal_size(sys.stderr.fileno()).columns
        except OSError:
            width = 0
        # A terminal that reports no size (a bare pty, a serial line) would get no bar at all.
        size: dict[str, Any] = {"dynamic_ncols": True} if width else {"ncols": 80, "nrows": 24}
        self.bar = tqdm(total=total, desc=PROG, unit="B", unit_scale=True, file=sys.stderr, leave=False,
                        bar_format=layout, postfix="0 packets/s", **size)

    def update(self, stats: dict[str, int]) -> None:
        if self.bar is None:
            return
        elapsed = max(self.bar.format_dict["elapsed"], 1e-6)
        self.bar.set_postfix_str(f"{stats['frames'] / elapsed:,.0f} packets/s", refresh=False)
        self.bar.update(stats["bytes_done"] - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def summary(rows: int, target: Target, stats: dict[str, int], seconds: float) -> str:
    skipped = stats["not_ip"] + stats["unsupported_link"] + stats["cut"]
    return (f"{PROG}: {plural(rows, 'row')} written to {target.name}; {plural(skipped, 'frame')} skipped "
            f"({stats['not_ip']:,} not IP, {stats['unsupported_link']:,} unsupported link type, "
            f"{stats['cut']:,} cut) in {seconds:.2f} s")


def table_target(args: argparse.Namespace) -> tuple[Target, str]:
    """The output and its format, and the checks every table command makes before reading:
    an output that is a capture, standard input past the first capture, -j, --alerts-tz."""
    target = Target(args.output)
    refuse_overwriting(args.captures, target, "capture")
    if STDIN in args.captures[1:]:
        raise UsageError("standard input (-) can only be the first capture")
    fmt = chosen_format(args.format, target)
    if args.jobs < 0:
        raise UsageError("-j/--jobs must be 0 (every core) or more")
    if getattr(args, "alerts_tz", None) is not None:
        from kavrel.alerts import zone

        try:
            zone(args.alerts_tz)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    return target, fmt


def write_scan(scan: ScanBase, target: Target, fmt: str, captures: list[str]) -> tuple[int, bool]:
    """Writes the scan's batches to `target` as they come, with the progress bar on a terminal;
    what the scan met on the way is said on stderr. (rows written, whether a capture was damaged)"""
    from kavrel._formats import batch_writer
    from kavrel._warnings import DamagedCapture, UnmatchedAlerts, damage_words

    # The bar would tangle with rows drawn on the same terminal.
    terminal_out = target.path is None and sys.stdout.isatty()
    progress = Progress(total_bytes(captures, scan.stats()), sys.stderr.isatty() and not terminal_out)
    rows = 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        try:
            with scan, target.open(signals.committing) as out, ReadAhead(scan) as batches:
                writer = target.attempt(lambda: batch_writer(fmt, out, scan.schema))
                try:
                    for batch in batches:
                        target.attempt(lambda: writer.write(batch))
                        signals.check()
                        rows += batch.num_rows
                        if progress.bar is not None:  # the counters wait for the batch being read
                            progress.update(scan.stats())
                except BaseException:
                    writer.abandon()
                    raise
                target.attempt(writer.close)
        except (Interrupted, KeyboardInterrupt):
            caught.clear()  # said in one line; what the scan met on the way is of no use now
            raise
        finally:
            progress.close()
            for w in caught:
                if issubclass(w.category, UnmatchedAlerts):
                    print(f"{PROG}: {w.message}", file=sys.stderr)
                elif isinstance(w.message, DamagedCapture):
                    m = w.message
                    warn_line(damage_words(shown(m.path), m.offset, m.text))
                else:
                    warn_line(w.message)
    return rows, any(issubclass(w.category, DamagedCapture) for w in caught)


def cmd_table(args: argparse.Namespace) -> int:
    """`features` and `packets`: the table of the captures, written batch by batch."""
    start = time.monotonic()
    target, fmt = table_target(args)
    columns = chosen_columns(args.columns, args.command)
    scan = open_scan(args, columns)
    rows, damaged = write_scan(scan, target, fmt, args.captures)
    print(summary(rows, target, scan.stats(), time.monotonic() - start), file=sys.stderr)
    # A damaged capture is a failure even though its rows are kept.
    return 1 if damaged else 0


# ---- connections: one row per connection -------------------------------------------

# How connections are made and the traffic windows: scan_connections' keywords, each an option
# of the same name (--tcp-timeout for tcp_timeout).
CONNECTION_SETTINGS = ("tcp_timeout", "udp_timeout", "icmp_timeout", "other_timeout", "close_delay", "time_window",
                       "host_window")


def option_name(setting: str) -> str:
    return "--" + setting.replace("_", "-")


def chosen_connection_columns(args: argparse.Namespace) -> list[str]:
    from kavrel._checks import KDD_COLUMNS, connection_columns

    if args.kdd:
        return list(KDD_COLUMNS)
    names = None if args.columns is None else [name.strip() for name in args.columns.split(",")]
    try:
        return connection_columns(names)
    except ValueError as exc:
        raise UsageError(f"--columns: {exc}") from None


def chosen_settings(args: argparse.Namespace) -> ConnectionSettings:
    """The settings given, checked one by one so that the error names the option that is wrong;
    the others keep the library's defaults."""
    from kavrel._checks import connection_settings

    given = {name: getattr(args, name) for name in CONNECTION_SETTINGS if getattr(args, name) is not None}
    for name, value in given.items():
        try:
            connection_settings(**{name: value})
        except ValueError as exc:
            words = str(exc)
            if words.startswith(name + " "):  # the library names its keyword; the user typed the option
                words = option_name(name) + words[len(name):]
            raise UsageError(words) from None
    return connection_settings(**given)


def connection_summary(connections: int, target: Target, stats: dict[str, int], seconds: float) -> str:
    skipped = stats["not_ip"] + stats["unsupported_link"] + stats["cut"]
    return (f"{PROG}: {plural(connections, 'connection')} written to {target.name}; {plural(stats['frames'], 'frame')} "
            f"read, {skipped:,} skipped ({stats['not_ip']:,} not IP, {stats['unsupported_link']:,} unsupported link "
            f"type, {stats['cut']:,} cut) in {seconds:.2f} s")


def cmd_connections(args: argparse.Namespace) -> int:
    """`connections`: the connection table of the captures, written batch by batch."""
    start = time.monotonic()
    target, fmt = table_target(args)
    columns = chosen_connection_columns(args)
    settings = chosen_settings(args)
    scan = open_scan(args, columns, settings)
    rows, damaged = write_scan(scan, target, fmt, args.captures)
    print(connection_summary(rows, target, scan.stats(), time.monotonic() - start), file=sys.stderr)
    return 1 if damaged else 0


# ---- sniff: live capture into the engine's tables ----------------------------------


def libpcap_text(exc: BaseException) -> str:
    """What libpcap said of a failure, as the engine and the modules hand it on."""
    return getattr(exc, "libpcap_text", None) or str(exc)


def live_open_failure(device: str, exc: OSError) -> Failure:
    if isinstance(exc, PermissionError):
        return Failure(f"{NEEDS_PRIVILEGE} ({device}: permission denied)")
    if exc.errno == errno.ENODEV:
        return Failure(f"{device}: no such capture device")
    return Failure(f"{device}: cannot capture ({libpcap_text(exc)})")


def sniff_format(fmt: str | None, pattern: str | None) -> str:
    """The format asked for, else the one -o's extension names; JSON lines on standard
    output and on devices, where there is no extension to go by."""
    if pattern is None:
        if fmt == "parquet":
            raise UsageError("Parquet is not written to standard output: give -o OUT.parquet")
        return fmt or "jsonl"
    if fmt is not None:
        return fmt
    named = EXTENSIONS.get(os.path.splitext(pattern)[1].lower())
    if named is not None:
        return named
    if Target(pattern).in_place:
        return "jsonl"
    raise UsageError(f"cannot tell the format of {pattern} from its name: give --format "
                     "or end it in .parquet, .csv or .jsonl")


def check_directory(pattern: str, rotating: bool) -> None:
    """Refuses, before the capture starts, a directory the files could not be made in."""
    name = time.strftime(pattern) if rotating else pattern
    target = Target(name)
    if target.directory is None:
        return
    try:
        fd, probe = tempfile.mkstemp(prefix=".kavrel-", suffix=".part", dir=target.directory)
    except OSError as exc:
        raise Failure(f"cannot write {name}: {exc.strerror or exc}") from None
    os.close(fd)
    os.unlink(probe)


def capture_device(interface: str | None) -> str:
    if interface:
        return interface
    from kavrel.core.base import nicpick

    try:
        device = nicpick.get_auto_device()
    except RuntimeError as exc:
        raise Failure(f"cannot list capture devices ({libpcap_text(exc)})") from None
    if device is None:
        raise Failure("no capture device found")
    return os.fsdecode(device)


# The options of --connections: how packets become connections, and the traffic windows.
SNIFF_CONNECTION_OPTIONS = ("tcp_timeout", "udp_timeout", "icmp_timeout", "other_timeout", "close_delay",
                            "time_window", "host_window")


def sniff_kind(args: argparse.Namespace) -> str:
    if args.connections and args.features:
        raise UsageError("give --features or --connections, not both")
    if not args.connections:
        given = [name for name in SNIFF_CONNECTION_OPTIONS if getattr(args, name) is not None]
        if args.kdd:
            given.insert(0, "kdd")
        if given:
            raise UsageError(f"--{given[0].replace('_', '-')} is an option of --connections")
    return "connections" if args.connections else "features" if args.features else "packets"


def sniff_connection_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The connection settings given, checked as read_connections checks them."""
    from kavrel._checks import connection_settings

    given = {name: getattr(args, name) for name in SNIFF_CONNECTION_OPTIONS if getattr(args, name) is not None}
    try:
        connection_settings(**given)
    except ValueError as exc:
        words = str(exc)
        for name in given:  # "tcp_timeout must be ..." as "--tcp-timeout must be ..."
            if words.startswith(name + " "):
                words = "--" + name.replace("_", "-") + words[len(name):]
        raise UsageError(words) from None
    return given


def sniff_connection_columns(args: argparse.Namespace) -> list[str]:
    from kavrel._checks import KDD_COLUMNS, connection_columns

    if args.kdd:
        if args.columns is not None:
            raise UsageError("give --columns or --kdd, not both")
        return list(KDD_COLUMNS)
    names = None if args.columns is None else [name.strip() for name in args.columns.split(",")]
    try:
        return connection_columns(names)
    except ValueError as exc:
        raise UsageError(f"--columns: {exc}") from None


def cmd_sniff(args: argparse.Namespace) -> int:
    from kavrel import _sniff
    from kavrel.live import MAX_SNAPLEN, scan_live

    if args.count is not None and args.count < 1:
        raise UsageError("-c/--count must be a positive number")
    if args.filter is not None and args.expression:
        raise UsageError("give the capture filter with -f or as the trailing words, not both")
    expression = args.filter if args.filter is not None else " ".join(args.expression) or None
    pattern = None if args.output in (None, "-") else args.output
    if args.rotate is not None:
        if not (args.rotate > 0 and math.isfinite(args.rotate)):
            raise UsageError("-G must be a number of seconds above 0")
        if pattern is None:
            raise UsageError("-G needs -o PATTERN to name its files, e.g. -o 'feat-%%Y%%m%%d-%%H%%M%%S.parquet'")
    if args.buffer_size is not None and not 1 <= args.buffer_size <= (2**31 - 1) >> 10:
        raise UsageError("-B must be a number of KiB from 1 to 2,097,151")
    fmt = sniff_format(args.format, pattern)
    kind = sniff_kind(args)
    settings: dict[str, Any] = {}
    if kind == "connections":
        columns = sniff_connection_columns(args)
        settings = sniff_connection_settings(args)
    else:
        columns = chosen_columns(args.columns, kind)
    # Rotation cuts the rows by their time (a connection's first packet), read even when not written.
    time_column = "ts" if kind == "connections" else "timestamp"
    time_read_only = args.rotate is not None and kind != "features" and time_column not in columns
    if time_read_only:
        columns = [time_column, *columns]
    if pattern is not None:
        check_directory(pattern, args.rotate is not None)
    name = capture_device(args.interface)
    batch_seconds = 1.0 if args.rotate is None else min(1.0, args.rotate / 4)
    try:
        reader = scan_live(name, kind=kind, filter=expression, snaplen=args.snaplen or MAX_SNAPLEN,
                           promisc=not args.no_promisc,
                           buffer_bytes=None if args.buffer_size is None else args.buffer_size << 10,
                           batch_seconds=batch_seconds, columns=columns, **settings)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except OSError as exc:
        raise live_open_failure(name, exc) from None
    start = time.time()
    # Said once the device is open and its filter set: from here on no frame is missed.
    print(f"{PROG}: capturing on {name}, link type {reader.linktype}"
          + (f", filter {expression!r}" if expression else ""), file=sys.stderr, flush=True)
    # Rows may reach the reader up to a batch's age after their time, and a buffer block after that.
    sink = _sniff.Sink(pattern, fmt, reader.schema, args.rotate, start, grace=batch_seconds + 0.5,
                       time_read_only=time_read_only, time_column=time_column, in_order=kind != "connections")
    try:
        with reader:
            reason, failure = _sniff.run(reader, sink, args.count)
    except WriteError as exc:
        lost = sink.abandon()
        raise Failure(f"{exc} ({plural(lost, 'row')} not written; the capture stopped)") from None
    stats = reader.stats()
    # A connection row is made of many frames: the connections made say more than the frames left over.
    made = (plural(stats["rows"], "connection") if kind == "connections"
            else f"{stats['frames'] - stats['rows']:,} not decoded")
    if args.rotate is None:
        where = "standard output" if pattern is None else pattern
    else:
        names = [n for n, _ in sink.closed]
        where = plural(len(names), "file") + (f" ({names[0]} to {names[-1]})" if len(names) > 1
                                              else f" ({names[0]})" if names else "")
    took = time.time() - start
    print(f"{PROG}: {plural(sink.rows, 'row')} written to {where}; {plural(stats['frames'], 'frame')} captured on "
          f"{name} ({made}) in {took:.1f} s ({reason}); {_sniff.stats_words(stats)}",
          file=sys.stderr)
    if failure is not None:
        raise Failure(f"{name}: capture failed ({libpcap_text(failure)})")
    return 0


# ---- alerts -------------------------------------------------------------------------


def parse_subnet(text: str) -> str:
    """An internal subnet as the converter takes it, A.B.C.D/N; a netmask or hostmask after the
    "/" (as ipaddress reads them) becomes the prefix length it stands for."""
    try:
        network = ipaddress.IPv4Network(text, strict=False)
    except ValueError:
        raise UsageError(f"invalid subnet {text!r}: expected an IPv4 address, address/prefix or "
                         "address/netmask, such as 192.168.1.0/24 or 192.168.1.0/255.255.255.0") from None
    if text.count("/") > 1 or text != text.strip():
        raise UsageError(f"invalid subnet {text!r}")
    address, slash, mask = text.partition("/")
    if slash and not mask.isdigit():
        return f"{address}/{network.prefixlen}"
    return text


def count_lines(path: str) -> int:
    """The lines of `path` that hold more than white space, read as the converter reads them
    (text mode: a line ends at "\n", "\r\n" or "\r")."""
    try:
        with open(path, encoding="utf-8", errors="ignore") as fh:
            return sum(1 for line in fh if line.strip())
    except OSError as exc:
        raise Failure(f"{path}: {exc.strerror or exc}") from None


def count_rows(csv_path: str) -> int:
    limit = csv.field_size_limit()
    csv.field_size_limit(sys.maxsize)  # an alert's message may be of any length
    try:
        with open(csv_path, newline="", encoding="utf-8", errors="replace") as fh:
            return max(sum(1 for _ in csv.reader(fh)) - 1, 0)
    finally:
        csv.field_size_limit(limit)


def convert_alerts(log: str, subnet: str, shown_as: str, csv_name: str) -> str:
    """The converter's CSV for `log`, written beside it; errors name the log as
    `shown_as` and the CSV as `csv_name`."""
    from kavrel.core.base import idslog

    try:
        with signals.interruptible():
            out = idslog.process_alerts_to_csv(log, subnet)
    except OSError as exc:
        if exc.filename in (None, log):
            raise Failure(f"{shown_as}: {exc.strerror or exc}") from None
        raise Failure(f"cannot write {csv_name}: {exc.strerror or exc}") from None
    if out is None:
        raise Failure(f"{shown_as}: no such alert log")
    return out


TYPED_TABLE_ONLY = ("tz", "year")


def cmd_alerts(args: argparse.Namespace) -> int:
    subnet = parse_subnet(args.subnet) if args.subnet is not None else None
    log = args.log
    # Without -o the CSV goes beside the log, as LOG.csv, written like every other output.
    target = Target(args.output if args.output is not None else log + ".csv")
    refuse_overwriting([log], target, "alert log")
    # Any other OUT name stays CSV, as it always was.
    named_parquet = target.path is not None and target.path.lower().endswith(".parquet")
    if (args.format or ("parquet" if named_parquet else "csv")) == "parquet":
        if args.output is None or target.path is None:
            raise UsageError("Parquet is not written to standard output; give -o OUT.parquet")
        return write_alert_table(args, target)
    given = [f"--{name.replace('_', '-')}" for name in TYPED_TABLE_ONLY if getattr(args, name) is not None]
    if args.date_order != "auto":
        given.append("--date-order")
    if given:
        raise UsageError(f"{', '.join(given)} apply to the typed table only (-o OUT.parquet); "
                         "the CSV keeps the log's times as they are written")
    if subnet is None:
        subnet = ""  # no internal subnet: every is_*_internal flag 0
    lines = count_lines(log)
    # The converter always writes beside the log it is given: it gets a link to the log in a
    # scratch directory beside OUT, so that nothing is written in place and the result can be
    # renamed into place whole.
    scratch = target.attempt(lambda: tempfile.TemporaryDirectory(prefix=".kavrel-", dir=target.directory))
    with scratch as where:
        link = os.path.join(where, "alerts")
        os.symlink(os.path.abspath(log), link)
        made = convert_alerts(link, subnet, log, target.name)
        alerts = count_rows(made)
        signals.check()
        target.place(made, signals.committing)
    if target.path is not None:
        print(target.path)
    print(f"{PROG}: {plural(alerts, 'alert')} written to {target.name}; "
          f"{plural(lines - alerts, 'line')} skipped (not alerts)", file=sys.stderr)
    return 0


def write_alert_table(args: argparse.Namespace, target: Target) -> int:
    """The typed alerts table, as Parquet."""
    from kavrel._formats import batch_writer
    from kavrel.alerts import lines_invalid_utf8, lines_skipped, read_alerts

    try:
        table = read_alerts(args.log, tz=args.tz, year=args.year, date_order=args.date_order)
    except OSError as exc:
        raise Failure(f"{args.log}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    signals.check()
    with target.open(signals.committing) as out:
        writer = target.attempt(lambda: batch_writer("parquet", out, table.schema))
        try:
            for batch in table.to_batches():
                target.attempt(lambda: writer.write(batch))
                signals.check()
        except BaseException:
            writer.abandon()
            raise
        target.attempt(writer.close)
    invalid = lines_invalid_utf8(table)
    print(f"{PROG}: {plural(table.num_rows, 'alert')} written to {target.name}; "
          f"{plural(lines_skipped(table), 'line')} skipped (not alerts)"
          + (f"; {plural(invalid, 'line')} with bytes that are not UTF-8, kept as U+FFFD" if invalid else ""),
          file=sys.stderr)
    return 0


# ---- devices ------------------------------------------------------------------------


def flag_words(flags: int) -> str:
    words = []
    for bit, word in ((PCAP_IF_UP, "up"), (PCAP_IF_RUNNING, "running"), (PCAP_IF_LOOPBACK, "loopback"),
                      (PCAP_IF_WIRELESS, "wireless")):
        if flags & bit:
            words.append(word)
    status = CONNECTION_WORDS.get(flags & PCAP_IF_CONNECTION_STATUS)
    if status:
        words.append(status)
    return ",".join(words) or "-"


def cmd_devices(args: argparse.Namespace) -> int:
    from kavrel.core.base import nicpick

    try:
        devices = nicpick.get_all_devices()
        auto = nicpick.get_auto_device()
    except RuntimeError as exc:
        raise Failure(f"cannot list capture devices ({libpcap_text(exc)})") from None
    if not devices:
        print("no capture devices found")
        return 0
    chosen = os.fsdecode(auto) if auto is not None else None
    rows = [("", "NAME", "FLAGS", "DESCRIPTION")]
    for d in devices:
        rows.append(("*" if d["name"] == chosen else "", d["name"], flag_words(d["flags"]), d["description"]))
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    for r in rows:
        print(f"{r[0]:<{widths[0]}} {r[1]:<{widths[1]}}  {r[2]:<{widths[2]}}  {r[3]}".rstrip())
    print("* automatic choice (kavrel sniff without -i)")
    return 0


# ---- argument parsing ------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        raise UsageError(message, self)


def add_table_command(sub: Any, name: str, help: str, description: str, columns_help: str) -> None:
    from kavrel._engine import PACKET_COLUMNS

    p = sub.add_parser(name, help=help, description=description, epilog=EXIT_STATUS,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("captures", nargs="+", metavar="CAPTURE",
                   help="pcap or pcapng files, read in order as one capture; - is standard input")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file (default: standard output, as CSV); replaced only when the run succeeds")
    p.add_argument("--format", choices=TABLE_FORMATS,
                   help="output format (default: from OUT's extension .parquet, .csv or .jsonl; CSV on "
                        "standard output, where Parquet is not written). JSON lines is the slow format: "
                        "every value becomes a Python object on the way")
    p.add_argument("--columns", metavar="A,B,...", help=f"{columns_help}; the packet columns are: "
                                                        f"{', '.join(PACKET_COLUMNS)}")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="worker processes reading the captures in shards, 0 for one per core (default: 1); "
                        "the rows are the same, in the same order")
    if name == "features":
        p.add_argument("--alerts", metavar="LOG",
                       help="label each packet with the alerts of this fast-alert log: alert_count, alert_sid, "
                            "alert_msg, alert_priority after the other columns")
        p.add_argument("--alerts-tz", metavar="ZONE",
                       help="the zone the sensor wrote its alert times in, e.g. UTC or Europe/Berlin "
                            "(default: this machine's)")
    p.set_defaults(func=cmd_table, parser=p)


def add_connections_command(sub: Any) -> None:
    from kavrel._checks import CONNECTION_COLUMNS, ConnectionSettings

    default = ConnectionSettings()
    p = sub.add_parser(
        "connections", help="one row per connection: Zeek's conn_state and history, KDD'99's features",
        description="One row per connection, in uid order (the index of its first frame in the captures):\n"
                    "TCP and UDP by their two endpoints, ICMP echo by identifier, other ICMP by type\n"
                    "and code, any other protocol by its addresses; the outermost VLAN ID is part of\n"
                    "every key. Each row has Zeek's conn_state and history, KDD'99's nine intrinsic\n"
                    "features and its nineteen traffic features over the time and host windows.\n"
                    "Connections carry across the captures.",
        epilog=EXIT_STATUS, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("captures", nargs="+", metavar="CAPTURE",
                   help="pcap or pcapng files, read in order as one capture; - is standard input")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file (default: standard output, as CSV); replaced only when the run succeeds")
    p.add_argument("--format", choices=TABLE_FORMATS,
                   help="output format (default: from OUT's extension .parquet, .csv or .jsonl; CSV on "
                        "standard output, where Parquet is not written). Rates and durations are written "
                        "in full: read back, each is the same float64. JSON lines is the slow format")
    chosen = p.add_mutually_exclusive_group()
    chosen.add_argument("--columns", metavar="A,B,...",
                        help=f"the columns to write, in this order (default: all): {', '.join(CONNECTION_COLUMNS)}")
    chosen.add_argument("--kdd", action="store_true",
                        help="write KDD'99's 28 features that are not about content, in KDD's order (its flag "
                             "is conn_state)")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="worker processes reading the captures in shards, 0 for one per core (default: 1); "
                        "the rows are the same, in the same order")
    p.add_argument("--alerts", metavar="LOG",
                   help="label each connection with the alerts of this fast-alert log that name its protocol "
                        "and endpoints within its time: alert_count, alert_sid, alert_msg, alert_priority after "
                        "the other columns")
    p.add_argument("--alerts-tz", metavar="ZONE",
                   help="the zone the sensor wrote its alert times in, e.g. UTC or Europe/Berlin "
                        "(default: this machine's)")
    timing = p.add_argument_group("how packets make connections")
    for name, what in (("tcp_timeout", "a TCP connection"), ("udp_timeout", "a UDP connection"),
                       ("icmp_timeout", "an ICMP or ICMPv6 connection"),
                       ("other_timeout", "a connection of any other protocol")):
        timing.add_argument(option_name(name), type=float, metavar="S",
                            help=f"seconds without a packet that end {what} (default: {getattr(default, name):g})")
    timing.add_argument("--close-delay", type=float, metavar="S",
                        help="seconds a connection closed by both FINs or a RST still takes packets "
                             f"(default: {default.close_delay:g})")
    windows = p.add_argument_group("KDD'99's traffic windows")
    windows.add_argument("--time-window", type=float, metavar="S",
                         help="the time window: the connections at most S seconds before each one "
                              f"(default: {default.time_window:g})")
    windows.add_argument("--host-window", type=int, metavar="N",
                         help="the host window: each connection and the N - 1 before it "
                              f"(default: {default.host_window})")
    p.set_defaults(func=cmd_connections, parser=p)


def build_parser() -> argparse.ArgumentParser:
    from kavrel._engine import MAX_SNAPLEN

    p = _Parser(prog=PROG, description="Network captures as tables for traffic analysis and IDS datasets.",
                epilog=EXIT_STATUS, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    add_connections_command(sub)
    add_table_command(sub, "features", "per-packet features of captures (2-second per-destination count)",
                      "One row per IPv4/IPv6 frame: timestamp, src_port, dst_port, protocol_type,\n"
                      "src_bytes, land, wrong_fragment, count (packets in a row to the same destination,\n"
                      "each at most 2 s after the previous one). The count carries across the captures.",
                      "packet columns to add after the eight feature columns")
    add_table_command(sub, "packets", "decoded packets of captures, every header field",
                      "One row per IPv4/IPv6 frame, a column per header field, empty where a field\n"
                      "does not apply.", "the packet columns to write, in this order (default: all)")

    s = sub.add_parser(
        "sniff", help="capture live into the packets, features or connection table, to files rotated by time",
        description="Live capture, decoded natively into the packets table (or the features table with "
                    "--features, or the connection table with --connections), written batch by batch. With -G "
                    "the output rotates every SECONDS into files named by strftime on -o; each file appears "
                    "under its name only once complete. Ctrl-C or SIGTERM finishes the current file with every "
                    "row read and prints the kernel's drop counters. With --connections each connection's row "
                    "is written once it is final (its connection has ended, and with traffic columns every "
                    "connection of its windows too), the rows of the connections still open at the end of the "
                    "capture last; -G cuts the files by the connection's ts, a row that comes after its "
                    "window's file is done going into the file open then.",
        epilog="example: kavrel sniff -i eth0 --features -G 3600 -o 'feat-%%Y%%m%%d-%%H%%M%%S.parquet' tcp or udp")
    s.add_argument("-i", "--interface", metavar="DEVICE", help="capture device, any for all (default: automatic "
                                                               "choice)")
    s.add_argument("-f", "--filter", metavar="FILTER", help="BPF capture filter, as for tcpdump")
    s.add_argument("expression", nargs="*", metavar="FILTER", help="the capture filter as trailing words")
    s.add_argument("--features", action="store_true", help="write the features table instead of the packets table")
    s.add_argument("--connections", action="store_true",
                   help="write the connection table instead of the packets table, a row per connection")
    s.add_argument("--columns", metavar="A,B,...", help="packet columns: the packets table's columns, or the "
                                                        "ones to add after the eight feature columns; with "
                                                        "--connections, the connection columns (default: all)")
    c = s.add_argument_group("connections (with --connections, as for kavrel connections)")
    c.add_argument("--kdd", action="store_true", help="write exactly KDD'99's 28 features (conn_state is its flag)")
    c.add_argument("--tcp-timeout", type=float, metavar="SECONDS",
                   help="a TCP connection ends after this long without a packet (default: 300)")
    c.add_argument("--udp-timeout", type=float, metavar="SECONDS", help="the same for UDP (default: 60)")
    c.add_argument("--icmp-timeout", type=float, metavar="SECONDS", help="the same for ICMP and ICMPv6 (default: 60)")
    c.add_argument("--other-timeout", type=float, metavar="SECONDS",
                   help="the same for any other IP protocol (default: 60)")
    c.add_argument("--close-delay", type=float, metavar="SECONDS",
                   help="a TCP connection ends this long after both sides sent FIN or a side sent RST (default: 5)")
    c.add_argument("--time-window", type=float, metavar="SECONDS",
                   help="KDD'99's time window of the traffic features (default: 2)")
    c.add_argument("--host-window", type=int, metavar="N",
                   help="KDD'99's host window of the traffic features, in connections (default: 100)")
    s.add_argument("-c", "--count", type=int, metavar="COUNT", help="stop after COUNT rows")
    s.add_argument("-G", "--rotate", type=float, metavar="SECONDS",
                   help="start a new file every SECONDS of capture time, named by strftime on -o")
    s.add_argument("-o", "--output", metavar="OUT",
                   help="output file, or with -G a strftime pattern (default: standard output)")
    s.add_argument("--format", choices=TABLE_FORMATS,
                   help="output format (default: from OUT's extension; JSON lines on standard output)")
    s.add_argument("-s", "--snaplen", type=int, default=0, metavar="BYTES",
                   help=f"bytes captured of each frame (default, and 0 as for tcpdump: {MAX_SNAPLEN:,}, every byte)")
    s.add_argument("-B", "--buffer-size", type=int, metavar="KIB",
                   help="the kernel's capture buffer in KiB (default: 32768)")
    s.add_argument("-p", "--no-promiscuous-mode", dest="no_promisc", action="store_true",
                   help="do not put the device into promiscuous mode")
    s.set_defaults(func=cmd_sniff, parser=s)

    a = sub.add_parser("alerts", help="a fast-alert log as CSV (with internal-subnet flags) or as a typed table")
    a.add_argument("log", metavar="LOG")
    a.add_argument("--subnet", metavar="CIDR",
                   help="internal IPv4 subnet for the CSV's is_*_internal flags, e.g. 192.168.1.0/24 "
                        "(default: none, every flag 0)")
    a.add_argument("-o", "--output", metavar="OUT",
                   help="output file, - for standard output (default: LOG.csv beside the log); "
                        "OUT.parquet writes the typed alerts table")
    a.add_argument("--format", choices=("csv", "parquet"), help="output format (default: from OUT's extension)")
    a.add_argument("--tz", metavar="ZONE", help="typed table: the zone the sensor wrote its times in (default: "
                                                "this machine's)")
    a.add_argument("--year", type=int, metavar="YEAR",
                   help="typed table: the year of times written without one (default: this year)")
    a.add_argument("--date-order", choices=("auto", "mdy", "ymd"), default="auto",
                   help="typed table: how a date with three fields is read (default: auto)")
    a.set_defaults(func=cmd_alerts, parser=a)

    d = sub.add_parser("devices", help="list capture devices and the automatic choice")
    d.set_defaults(func=cmd_devices, parser=d)
    return p


def main(argv: list[str] | None = None) -> int:
    warnings.showwarning = show_warning
    parser = None
    args = None
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        signals.check()
        return args.func(args)
    except UsageError as exc:
        used = exc.parser or getattr(args, "parser", None) or parser
        assert used is not None
        used.print_usage(sys.stderr)
        print(f"{used.prog}: error: {exc}", file=sys.stderr)
        return 2
    except (Failure, WriteError) as exc:
        if isinstance(exc, WriteError) and exc.to_stdout:
            silence_stdout()
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except Interrupted as stop:
        print(f"{PROG}: {stop.words}", file=sys.stderr)
        return stop.status
    except KeyboardInterrupt:  # the command line run in a process whose signals it did not take over
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly.
        silence_stdout()
        return 0


if __name__ == "__main__":
    sys.exit(main())
