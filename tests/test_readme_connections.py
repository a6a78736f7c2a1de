"""The README's connection examples, run through the product: the worked example of the
traffic features as a capture of real TCP exchanges, and the pandas example."""

from __future__ import annotations

import os
import re
from fractions import Fraction

import pytest

import kavrel
from pcapgen import Record, eth, ipv4, tcp, write_pcap

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SYN, ACK, FIN, RST = 0x02, 0x10, 0x01, 0x04
CLIENT = "10.0.0.1"
PORTS = {"http": 80, "smtp": 25}


def readme_section() -> str:
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    start = text.index("#### A worked example of the traffic features")
    return text[start:text.index("\n### ", start)]


def tables(section: str) -> list[list[list[str]]]:
    """Every markdown table of the section, as rows of cells (the header row first)."""
    found, rows = [], []
    for line in section.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip("|").split("|")]
            if not all(set(c) <= {"-"} for c in cells):
                rows.append(cells)
        elif rows:
            found.append(rows)
            rows = []
    return found


def exchange(state: str, client_port: int, server: str, port: int) -> list[tuple[str, str, bytes]]:
    """(sender, receiver, TCP segment) of a connection that ends in `state`."""
    out = [(CLIENT, server, tcp(client_port, port, seq=100, flags=SYN))]
    back = lambda flags, **kw: (server, CLIENT, tcp(port, client_port, flags=flags, **kw))  # noqa: E731
    forth = lambda flags, **kw: (CLIENT, server, tcp(client_port, port, flags=flags, **kw))  # noqa: E731
    if state == "SF":
        out += [back(SYN | ACK, seq=500, ack=101), forth(ACK, seq=101, ack=501),
                forth(ACK, seq=101, ack=501, payload=b"GET / HTTP/1.0\r\n\r\n"),
                back(ACK, seq=501, ack=119, payload=b"HTTP/1.0 200 OK\r\n\r\n"),
                forth(FIN | ACK, seq=119, ack=520), back(FIN | ACK, seq=520, ack=120), forth(ACK, seq=120, ack=521)]
    elif state == "REJ":
        out.append(back(RST | ACK, seq=0, ack=101))
    else:
        assert state == "S0"
    return out


def example_capture(tmp_path, rows: list[list[str]]) -> str:
    header, body = rows[0], rows[1:]
    records = []
    for cells in body:
        row = dict(zip(header, cells))
        start_us = int(Fraction(row["ts (s)"]) * 1_000_000)
        for k, (src, dst, segment) in enumerate(exchange(row["conn_state"], int(row["orig_port"]), row["resp_ip"],
                                                         PORTS[row["service"]])):
            t = 1_700_000_000_000_000 + start_us + 1000 * k  # a millisecond between segments
            records.append(Record(eth(ipv4(src, dst, 6, segment)), ts_sec=t // 1_000_000, ts_usec=t % 1_000_000))
    return write_pcap(tmp_path / "worked.pcap", records)


def test_worked_example_through_the_engine(tmp_path):
    connections, values = tables(readme_section())[:2]
    path = example_capture(tmp_path, connections)
    table = kavrel.read_connections(path)
    assert table.num_rows == 5
    # The five connections are what the example says, in its order.
    header = connections[0]
    for cells, got in zip(connections[1:], table.to_pylist()):
        row = dict(zip(header, cells))
        assert (got["resp_ip"], got["service"], got["orig_port"], got["conn_state"]) == (
            row["resp_ip"], row["service"], int(row["orig_port"]), row["conn_state"])
    assert values[0][0] == "column" and len(values) - 1 == 19
    for cells in values[1:]:
        column, expected = cells[0], [Fraction(c) for c in cells[1:]]
        # The columns hold the nearest double to each fraction, which a / b in double gives.
        assert table[column].to_pylist() == [float(v) if "rate" in column else int(v) for v in expected], column


@pytest.mark.parametrize("jobs", [1, 2])
def test_worked_example_in_shards(tmp_path, jobs):
    connections = tables(readme_section())[0]
    path = example_capture(tmp_path, connections)
    one = kavrel.read_connections(path)
    assert kavrel.read_connections(path, jobs=jobs, chunk_bytes=600).equals(one)


def test_pandas_example_runs():
    pytest.importorskip("pandas")
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    section = text[text.index("### The connection table"):]
    code = re.search(r"```python\n(.*?)```", section, flags=re.S).group(1)
    runnable = "\n".join(line for line in code.splitlines() if "monday.pcap" not in line)
    scope: dict = {}
    cwd = os.getcwd()
    os.chdir(ROOT)
    try:
        exec(compile(runnable, "README", "exec"), scope)
    finally:
        os.chdir(cwd)
    counts = scope["frame"].groupby(["conn_state", "service"]).size()
    # The recorded scans of closed ports are answered by RST: REJ rows, one per port.
    assert counts.loc["REJ"].sum() == 9
    assert counts.sum() == scope["conns"].num_rows
