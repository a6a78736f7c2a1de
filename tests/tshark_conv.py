"""Reads tshark's conversation tables (`tshark -q -z conv,tcp -z conv,udp -z conv,ip -z conv,ipv6`)
as saved beside a capture, so tests can compare with them without running tshark.

In each row, A is the endpoint that sent the conversation's first frame and B the other; tshark's
"->" columns count the frames from A to B and "<-" those from B to A. Byte counts are frame
lengths. tshark prints a count below 10,000 exactly ("7345 bytes") and a larger one cut to whole
thousands ("31 kB" is 31,000 to 31,999 bytes), so a count is a range. The relative start is the
seconds from the capture's first frame (9 decimals); the duration is rounded to 4 decimals.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

LAYERS = {"TCP": "tcp", "UDP": "udp", "IPv4": "ip", "IPv6": "ipv6"}
# tshark's size prefixes are powers of 1000 (format_size with SI units).
UNITS = {"bytes": 1, "kB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12}

_SECTION = re.compile(r"^(TCP|UDP|IPv4|IPv6) Conversations$")
_COUNT = r"(\d+)\s+(\d+)\s*(bytes|kB|MB|GB|TB)"
_ROW = re.compile(rf"^(\S+)\s+<->\s+(\S+)\s+{_COUNT}\s+{_COUNT}\s+{_COUNT}\s+(\d+\.\d+)\s+(-?\d+\.\d+)\s*$")


@dataclass(frozen=True)
class Size:
    """A byte count as tshark prints it: exact in bytes, else cut to its unit."""

    value: int
    unit: str

    @property
    def low(self) -> int:
        return self.value * UNITS[self.unit]

    @property
    def high(self) -> int:
        return self.low + UNITS[self.unit] - 1

    def __contains__(self, count: int) -> bool:
        return self.low <= count <= self.high


@dataclass(frozen=True)
class Conversation:
    layer: str  # "tcp", "udp", "ip" (IPv4) or "ipv6"
    a: str
    a_port: int | None  # None for the ip and ipv6 tables
    b: str
    b_port: int | None
    frames_ab: int
    bytes_ab: Size
    frames_ba: int
    bytes_ba: Size
    start: float  # seconds after the capture's first frame
    duration: float

    @property
    def frames(self) -> int:
        return self.frames_ab + self.frames_ba

    def endpoints(self) -> frozenset:
        """The two endpoints, unordered: ((address, port), (address, port))."""
        return frozenset({(self.a, self.a_port), (self.b, self.b_port)})


def split_endpoint(text: str, with_port: bool) -> tuple[str, int | None]:
    if not with_port:
        return text, None
    # An IPv6 address holds colons itself: the port is after the last one.
    address, _, port = text.rpartition(":")
    if not address or not port.isdigit():
        raise ValueError(f"no port in endpoint {text!r}")
    return address, int(port)


def parse(text: str) -> dict[str, list[Conversation]]:
    """Every table in `text`, by layer, rows in the order tshark printed them (most frames first)."""
    tables: dict[str, list[Conversation]] = {}
    layer = None
    for number, line in enumerate(text.splitlines(), 1):
        head = _SECTION.match(line.strip())
        if head:
            layer = LAYERS[head.group(1)]
            if layer in tables:
                raise ValueError(f"line {number}: a second {head.group(1)} table")
            tables[layer] = []
            continue
        if "<->" not in line:
            continue
        row = _ROW.match(line.strip())
        if row is None or layer is None:
            raise ValueError(f"line {number}: not a conversation row: {line!r}")
        g = row.groups()
        with_port = layer in ("tcp", "udp")
        a, a_port = split_endpoint(g[0], with_port)
        b, b_port = split_endpoint(g[1], with_port)
        ba, ab, total = (g[2:5], g[5:8], g[8:11])  # tshark prints "<-" (B to A) before "->" (A to B)
        conv = Conversation(layer, a, a_port, b, b_port, int(ab[0]), Size(int(ab[1]), ab[2]), int(ba[0]),
                            Size(int(ba[1]), ba[2]), float(g[11]), float(g[12]))
        if conv.frames != int(total[0]):
            raise ValueError(f"line {number}: the frames each way do not add up to the total")
        tables[layer].append(conv)
    return tables


def read(path) -> dict[str, list[Conversation]]:
    with open(path) as fh:
        return parse(fh.read())
