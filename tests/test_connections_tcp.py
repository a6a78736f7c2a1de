"""TCP connections: conn_state and history for crafted exchanges, each expected value worked out
by hand from the table in CONNECTIONS.md and the history letters; turning round, closing, the
close delay and a new SYN on a closing connection."""

import pytest

import connection_traffic as ct
from connection_traffic import ACK, FIN, PSH, RST, SYN, URG
from connections_util import connections

O, R = "O", "R"  # who sends: the side that sends the first packet, or the other
TENTH = ct.S // 10


def segments(steps, v6=False, sport=40000, dport=80, start=0, gap=TENTH):
    """IP packets of an exchange between (A, sport) and (B, dport): steps are (who, flags, payload bytes)."""
    a, b = (ct.A6, ct.B6) if v6 else (ct.A4, ct.B4)
    out = []
    for i, (who, flags, size) in enumerate(steps):
        src, dst, sp, dp = (a, b, sport, dport) if who == O else (b, a, dport, sport)
        out.append((start + i * gap, ct.tcp(src, dst, sp, dp, flags, b"x" * size)))
    return out


HANDSHAKE = [(O, SYN, 0), (R, SYN | ACK, 0), (O, ACK, 0)]
DATA = [(O, PSH | ACK, 5), (R, ACK, 0), (R, PSH | ACK, 7)]

# (steps, conn_state, history), each from the table's rules read by hand.
EXCHANGES = {
    "syn-unanswered": ([(O, SYN, 0)], "S0", "S"),
    "full-close": (HANDSHAKE + DATA + [(O, FIN | ACK, 0), (R, FIN | ACK, 0), (O, ACK, 0)], "SF", "ShADadFf"),
    "rejected": ([(O, SYN, 0), (R, RST | ACK, 0)], "REJ", "Sr"),
    "both-reset-no-payload": ([(O, SYN, 0), (R, SYN | ACK, 0), (O, RST, 0), (R, RST, 0)], "REJ", "ShRr"),
    "both-reset-payload": (HANDSHAKE + [(O, PSH | ACK, 3), (O, RST, 0), (R, RST, 0)], "RSTR", "ShADRr"),
    "lone-rst": ([(O, RST, 0)], "OTH", "R"),
    "mid-stream": ([(O, PSH | ACK, 10), (R, ACK, 0), (R, PSH | ACK, 4)], "OTH", "Dad"),
    "synack-first": ([(O, SYN | ACK, 0), (R, ACK, 0)], "OTH", "^hA"),
    "established": (HANDSHAKE + DATA, "S1", "ShADad"),
    "orig-fin-only": (HANDSHAKE + [(O, FIN | ACK, 0)], "S2", "ShAF"),
    "resp-fin-only": (HANDSHAKE + [(R, FIN | ACK, 0)], "S3", "ShAf"),
    "orig-resets": (HANDSHAKE + DATA + [(O, RST, 0)], "RSTO", "ShADadR"),
    "resp-resets": (HANDSHAKE + DATA + [(R, RST | ACK, 0)], "RSTR", "ShADadr"),
    "syn-then-orig-rst": ([(O, SYN, 0), (O, RST, 0)], "RSTOS0", "SR"),
    "syn-data-rst": ([(O, SYN, 0), (O, PSH, 2), (O, RST, 0)], "RSTOS0", "SDR"),
    "syn-ack-rst": ([(O, SYN, 0), (O, ACK, 0), (O, RST, 0)], "OTH", "SAR"),
    "synack-then-rst": ([(O, SYN | ACK, 0), (O, RST, 0)], "RSTRH", "^hr"),
    "syn-fin": ([(O, SYN, 0), (O, FIN, 0)], "SH", "SF"),
    "syn-fin-one-segment": ([(O, SYN | FIN, 0)], "SH", "SF"),
    "synack-then-fin": ([(O, SYN | ACK, 0), (O, FIN, 0)], "SHR", "^hf"),
    "data-both-no-handshake": ([(O, PSH | ACK, 1), (R, PSH | ACK, 1)], "OTH", "Dd"),
    "letters-once-each-way": (HANDSHAKE + [(O, PSH | ACK, 5), (O, PSH | ACK, 5), (R, PSH | ACK, 1), (R, PSH | ACK, 1),
                                          (O, ACK, 0), (R, ACK, 0)], "S1", "ShADda"),
    "one-packet-order": ([(O, SYN, 0), (R, SYN | ACK | FIN | RST, 3)], "REJ", "Shdfr"),
}


@pytest.mark.parametrize("v6", [False, True], ids=["ipv4", "ipv6"])
@pytest.mark.parametrize("name", EXCHANGES)
def test_exchange_state_and_history(tmp_path, name, v6):
    steps, state, history = EXCHANGES[name]
    path = ct.write(tmp_path / "x.pcap", segments(steps, v6=v6))
    rows = ct.as_rows(connections(path, **ct.SETTINGS))
    assert len(rows) == 1, rows  # the whole exchange is one connection, no tail
    row = rows[0]
    assert (row["conn_state"], row["history"]) == (state, history)
    turned = history.startswith("^")
    assert row["orig_pkts"] == sum((who == O) != turned for who, _, _ in steps)
    assert row["resp_pkts"] == sum((who == R) != turned for who, _, _ in steps)
    assert row["src_bytes"] == sum(size for who, _, size in steps if (who == O) != turned)
    assert row["dst_bytes"] == sum(size for who, _, size in steps if (who == R) != turned)
    # Turned round, the receiver of the SYN+ACK is the originator.
    a, b = (ct.A6, ct.B6) if v6 else (ct.A4, ct.B4)
    assert (row["orig_ip"], row["orig_port"], row["resp_ip"], row["resp_port"]) == (
        (b, 80, a, 40000) if turned else (a, 40000, b, 80))


@pytest.mark.parametrize("closing, reason", [
    ([(O, FIN | ACK, 0), (R, FIN | ACK, 0)], "fin"),
    ([(R, RST, 0)], "rst"),
    ([(O, RST | ACK, 0)], "rst"),
    ([(O, FIN | ACK, 0), (R, FIN | RST | ACK, 0)], "fin"),  # both FINs and a RST at once: FIN first
])
@pytest.mark.parametrize("after, joins", [(2 * ct.S, True), (2 * ct.S + 1, False)], ids=["at-delay", "past-delay"])
def test_close_delay(tmp_path, closing, reason, after, joins):
    # The close delay runs from the packet that made the connection closing.
    steps = HANDSHAKE + closing
    items = segments(steps)
    closed_at = items[-1][0]
    items.append((closed_at + after, ct.tcp(ct.A4, ct.B4, 40000, 80, ACK)))
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert rows[0]["end_reason"] == reason
    assert rows[0]["orig_pkts"] + rows[0]["resp_pkts"] == len(steps) + joins
    if joins:
        assert len(rows) == 1
    else:
        assert [(r["history"], r["conn_state"], r["end_reason"]) for r in rows[1:]] == [("A", "OTH", "eof")]


@pytest.mark.parametrize("second, joins", [(2 * ct.S, True), (2 * ct.S + 1, False)], ids=["at-delay", "past-delay"])
def test_close_delay_runs_from_the_closing_packet(tmp_path, second, joins):
    # Packets after the closing one do not move the close delay on.
    items = segments(HANDSHAKE + [(O, FIN | ACK, 0), (R, FIN | ACK, 0)])
    closed_at = items[-1][0]
    items += [(closed_at + ct.S, ct.tcp(ct.A4, ct.B4, 40000, 80, ACK)),
              (closed_at + second, ct.tcp(ct.B4, ct.A4, 80, 40000, ACK))]
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert [r["orig_pkts"] + r["resp_pkts"] for r in rows] == ([7] if joins else [6, 1])


@pytest.mark.parametrize("closing", [
    [(O, FIN | ACK, 0), (R, FIN | ACK, 0)],
    [(R, RST | ACK, 0)],
])
@pytest.mark.parametrize("flags, restarts", [(SYN, True), (SYN | ACK, False), (ACK, False)])
def test_new_syn_inside_close_delay(tmp_path, closing, flags, restarts):
    items = segments(HANDSHAKE + closing)
    items.append((items[-1][0] + TENTH, ct.tcp(ct.A4, ct.B4, 40000, 80, flags)))
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert len(rows) == 1 + restarts
    if restarts:
        assert (rows[1]["conn_state"], rows[1]["history"], rows[1]["uid"]) == ("S0", "S", len(items) - 1)
        assert rows[0]["end_reason"] in ("fin", "rst")


def test_half_closed_syn_joins(tmp_path):
    # One FIN is not closing: a SYN then is just another segment of the connection.
    items = segments(HANDSHAKE + [(O, FIN | ACK, 0), (O, SYN, 0)])
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert [(r["orig_pkts"], r["history"], r["end_reason"]) for r in rows] == [(4, "ShAF", "eof")]


@pytest.mark.parametrize("flags, urgent", [(URG | ACK, 1), (ACK, 0), (0xFF, 1)])
def test_urgent_counts_urg_segments(tmp_path, flags, urgent):
    items = segments([(O, SYN, 0), (R, flags, 0), (O, URG | ACK | PSH, 1)])
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert sum(r["urgent"] for r in rows) == urgent + 1


@pytest.mark.parametrize("src, dst, sport, dport, land", [
    (ct.A4, ct.A4, 80, 80, 1), (ct.A4, ct.A4, 80, 81, 0), (ct.A4, ct.B4, 80, 80, 0), (ct.A6, ct.A6, 7, 7, 1),
])
def test_land(tmp_path, src, dst, sport, dport, land):
    items = [(0, ct.tcp(src, dst, sport, dport, SYN)), (TENTH, ct.tcp(dst, src, dport, sport, SYN | ACK))]
    rows = ct.as_rows(connections(ct.write(tmp_path / "x.pcap", items), **ct.SETTINGS))
    assert [r["land"] for r in rows] == [land]
    # With both endpoints equal every packet goes the way of the first.
    assert (rows[0]["orig_pkts"], rows[0]["resp_pkts"]) == ((2, 0) if (src, sport) == (dst, dport) else (1, 1))
