"""The kavrel command line: a thin layer over the four native modules.

    kavrel features CAPTURE [-o OUT.csv]
    kavrel packets CAPTURE [--format jsonl|csv] [-o OUT]
    kavrel sniff [-i DEVICE] [--features] [-c COUNT] [--format jsonl|csv] [-o OUT]
    kavrel alerts LOG --subnet CIDR
    kavrel devices

Exit status: 0 on success, 1 when the work failed, 2 for usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import ipaddress
import itertools
import json
import os
import sys
import time
import warnings
from typing import IO, Any, Iterable, Iterator

from kavrel import __version__
from kavrel.columns import FEATURE_DICT_KEYS, PACKET_DICT_KEYS

PROG = "kavrel"

# `kavrel packets --format csv` writes every key a packet dict can have;
# absent keys are empty fields.
PACKET_COLUMNS = PACKET_DICT_KEYS
FEATURE_COLUMNS = FEATURE_DICT_KEYS

# libpcap's interface flags (pcap/pcap.h).
PCAP_IF_LOOPBACK = 0x01
PCAP_IF_UP = 0x02
PCAP_IF_RUNNING = 0x04
PCAP_IF_WIRELESS = 0x08
PCAP_IF_CONNECTION_STATUS = 0x30
CONNECTION_WORDS = {0x10: "connected", 0x20: "disconnected", 0x30: "not-applicable"}
# libpcap's status codes, as the modules' open failures carry them (exc.pcap_status).
PCAP_ERROR_NO_SUCH_DEVICE = -5
PCAP_ERROR_PERM_DENIED = -8
PCAP_ERROR_PROMISC_PERM_DENIED = -11

NEEDS_PRIVILEGE = "live capture needs root or CAP_NET_RAW"
CHUNK = 4096  # rows handed to the CSV writer at once


class Failure(Exception):
    """An expected failure: reported as one line on stderr, exit status 1."""


class UsageError(Exception):
    """A bad command line: the usage line and one error line on stderr, exit status 2."""

    def __init__(self, message: str, parser: argparse.ArgumentParser | None = None) -> None:
        super().__init__(message)
        self.parser = parser


# ---- output ----------------------------------------------------------------


@contextlib.contextmanager
def open_output(path: str | None, *, csv_mode: bool) -> Iterator[IO[str]]:
    if path is None or path == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    try:
        fh = open(path, "w", encoding="utf-8", newline="" if csv_mode else None)
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None
    with fh:
        yield fh


class Progress:
    """Packets and rate on stderr, redrawn a few times a second, only on a terminal."""

    def __init__(self, label: str) -> None:
        self.enabled = sys.stderr.isatty()
        self.label = label
        self.count = 0
        self.start = self.last = time.monotonic()

    def tick(self, n: int = 1) -> None:
        before = self.count
        self.count += n
        if self.enabled and self.count // 4096 != before // 4096:
            now = time.monotonic()
            if now - self.last >= 0.25:
                self.last = now
                self._draw(now)

    def _draw(self, now: float) -> None:
        rate = self.count / max(now - self.start, 1e-9)
        sys.stderr.write(f"\r{self.label}: {self.count:,} packets, {rate:,.0f} packets/s ")
        sys.stderr.flush()

    def done(self) -> None:
        if self.enabled:
            self._draw(time.monotonic())
            sys.stderr.write("\n")


def write_records(records: Iterable[dict], out: IO[str], fmt: str, columns: tuple[str, ...],
                  progress: Progress | None = None, limit: int | None = None) -> int:
    """Writes dicts as JSON lines or CSV rows; returns how many were written."""
    n = 0
    if fmt == "csv":
        writer = csv.DictWriter(out, fieldnames=columns, restval="", extrasaction="ignore")
        writer.writeheader()
        emit = writer.writerow
    else:
        dumps = json.dumps

        def emit(record: dict) -> None:
            out.write(dumps(record))
            out.write("\n")

    for record in records:
        emit(record)
        n += 1
        if progress is not None:
            progress.tick()
        if limit is not None and n >= limit:
            break
    return n


# ---- capture helpers ---------------------------------------------------------


def capture_path(path: str) -> bytes:
    if not os.path.exists(path):
        raise Failure(f"{path}: no such file")
    if os.path.isdir(path):
        raise Failure(f"{path}: is a directory")
    if not os.access(path, os.R_OK):
        raise Failure(f"{path}: permission denied")
    return os.fsencode(path)


def open_failure(path: str, exc: BaseException) -> Failure:
    os_errno = getattr(exc, "errno", None)
    reason = os.strerror(os_errno) if os_errno else "not a pcap or pcapng file"
    return Failure(f"{path}: cannot read capture ({reason})")


def first_then_rest(gen: Iterator[dict], on_open_error) -> Iterator[dict]:
    """Runs the first step separately, so an open failure can be told apart from later errors."""
    try:
        first = next(gen)
    except StopIteration:
        return
    except RuntimeError as exc:
        raise on_open_error(exc) from None
    yield first
    yield from gen


# ---- commands ------------------------------------------------------------------


def cmd_features(args: argparse.Namespace) -> int:
    from kavrel.core.ver100.metricor import FeatureExtractor

    path = capture_path(args.capture)
    progress = Progress("features")
    gen = FeatureExtractor().iter_pcap(path)
    try:
        with open_output(args.output, csv_mode=True) as out:
            rows = first_then_rest(gen, lambda exc: open_failure(args.capture, exc))
            writer = csv.writer(out)
            writer.writerow(FEATURE_COLUMNS)
            # Chunks keep the per-row loop inside the csv module's C code.
            values = map(dict.values, rows)
            while chunk := list(itertools.islice(values, CHUNK)):
                writer.writerows(chunk)
                progress.tick(len(chunk))
    finally:
        gen.close()
        progress.done()
    return 0


def cmd_packets(args: argparse.Namespace) -> int:
    from kavrel.core.base import sniffkit

    path = capture_path(args.capture)
    progress = Progress("packets")
    gen = sniffkit.read_pcap(path)
    try:
        with open_output(args.output, csv_mode=args.format == "csv") as out:
            records = first_then_rest(gen, lambda exc: open_failure(args.capture, exc))
            write_records(records, out, args.format, PACKET_COLUMNS, progress)
    finally:
        gen.close()
        progress.done()
    return 0


def live_open_failure(device: str, exc: BaseException) -> Failure:
    status = getattr(exc, "pcap_status", None)
    if status in (PCAP_ERROR_PERM_DENIED, PCAP_ERROR_PROMISC_PERM_DENIED):
        return Failure(f"{NEEDS_PRIVILEGE} ({device}: permission denied)")
    if status == PCAP_ERROR_NO_SUCH_DEVICE:
        return Failure(f"{device}: no such capture device")
    return Failure(str(exc))


def cmd_sniff(args: argparse.Namespace) -> int:
    from kavrel.core.base import nicpick, sniffkit

    if args.count is not None and args.count < 1:
        raise UsageError("-c/--count must be a positive number")
    if args.interface:
        device = os.fsencode(args.interface)
    else:
        device = nicpick.get_auto_device()
        if device is None:
            raise Failure("no capture device found")
    name = os.fsdecode(device)
    if args.features:
        from kavrel.core.ver100.metricor import FeatureExtractor

        gen = FeatureExtractor().process_live(device)
        columns = FEATURE_COLUMNS
    else:
        gen = sniffkit.start_sniff(device)
        columns = PACKET_COLUMNS
    if sys.stderr.isatty():
        print(f"{PROG}: capturing on {name}", file=sys.stderr)
    written = 0
    start = time.monotonic()
    interrupted = False
    try:
        with open_output(args.output, csv_mode=args.format == "csv") as out:
            records = first_then_rest(gen, lambda exc: live_open_failure(name, exc))
            counted = _counting(records)
            try:
                written = write_records(counted, out, args.format, columns, limit=args.count)
            except KeyboardInterrupt:
                interrupted = True
                written = counted.n  # type: ignore[attr-defined]
            if args.output in (None, "-"):
                out.flush()
    except RuntimeError as exc:  # the device failed mid-capture
        raise Failure(str(exc)) from None
    finally:
        gen.close()
    took = time.monotonic() - start
    reason = "interrupted" if interrupted else "done"
    print(f"{PROG}: {written:,} packets captured on {name} in {took:.1f} s ({reason})", file=sys.stderr)
    return 0


class _counting:
    """Counts the records handed out, so an interrupted write still knows how many went out."""

    def __init__(self, it: Iterable[dict]) -> None:
        self.it = iter(it)
        self.n = 0

    def __iter__(self) -> "_counting":
        return self

    def __next__(self) -> dict:
        item = next(self.it)
        self.n += 1
        return item


def parse_subnet(text: str) -> str:
    try:
        ipaddress.IPv4Network(text, strict=False)
    except ValueError:
        raise UsageError(f"invalid subnet {text!r}: expected an IPv4 address or address/prefix, "
                         "such as 192.168.1.0/24") from None
    if text.count("/") > 1 or text != text.strip():
        raise UsageError(f"invalid subnet {text!r}")
    return text


def cmd_alerts(args: argparse.Namespace) -> int:
    from kavrel.core.base import idslog

    subnet = parse_subnet(args.subnet)
    log = args.log
    if not os.path.exists(log):
        raise Failure(f"{log}: no such alert log")
    if os.path.isdir(log):
        raise Failure(f"{log}: is a directory")
    try:
        out = idslog.process_alerts_to_csv(log, subnet)
    except OSError as exc:
        raise Failure(f"{exc.filename or log}: {exc.strerror or exc}") from None
    if out is None:
        raise Failure(f"{log}: no such alert log")
    print(out)
    return 0


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
        raise Failure(str(exc)) from None
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


# ---- argument parsing ------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        raise UsageError(message, self)


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description="Per-packet records and features from network traffic.")
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    f = sub.add_parser("features", help="KDD-style per-packet features of a capture file, as CSV")
    f.add_argument("capture", metavar="CAPTURE")
    f.add_argument("-o", "--output", metavar="OUT.csv", help="output file (default: standard output)")
    f.set_defaults(func=cmd_features, parser=f)

    k = sub.add_parser("packets", help="decoded packets of a capture file, as JSON lines or CSV")
    k.add_argument("capture", metavar="CAPTURE")
    k.add_argument("--format", choices=("jsonl", "csv"), default="jsonl")
    k.add_argument("-o", "--output", metavar="OUT", help="output file (default: standard output)")
    k.set_defaults(func=cmd_packets, parser=k)

    s = sub.add_parser("sniff", help="capture live: decoded packets or features")
    s.add_argument("-i", "--interface", metavar="DEVICE", help="capture device (default: automatic choice)")
    s.add_argument("--features", action="store_true", help="write features instead of packets")
    s.add_argument("-c", "--count", type=int, metavar="COUNT", help="stop after COUNT records")
    s.add_argument("--format", choices=("jsonl", "csv"), default="jsonl")
    s.add_argument("-o", "--output", metavar="OUT", help="output file (default: standard output)")
    s.set_defaults(func=cmd_sniff, parser=s)

    a = sub.add_parser("alerts", help="convert a fast-alert log to CSV (written beside the log)")
    a.add_argument("log", metavar="LOG")
    a.add_argument("--subnet", required=True, metavar="CIDR", help="internal IPv4 subnet, e.g. 192.168.1.0/24")
    a.set_defaults(func=cmd_alerts, parser=a)

    d = sub.add_parser("devices", help="list capture devices and the automatic choice")
    d.set_defaults(func=cmd_devices, parser=d)
    return p


def show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    # One line, like the errors: "a truncated capture ended early" is for the user, not a traceback.
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    warnings.showwarning = show_warning
    parser = build_parser()
    args = None
    try:
        args = parser.parse_args(argv)
        return args.func(args)
    except UsageError as exc:
        used = exc.parser or getattr(args, "parser", None) or parser
        used.print_usage(sys.stderr)
        print(f"{used.prog}: error: {exc}", file=sys.stderr)
        return 2
    except Failure as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
