"""The service of a connection: the native table against the KDD'99 table row for row, and
services named by responder port, originator port 20, the dynamic range and ICMP type/code."""

import os

import pytest

import connection_traffic as ct
from connection_traffic import A4, A6, ACK, B4, B6, GRE, SYN
from connections_util import connections, service_table

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "services", "kdd_services.tsv")


def table_rows() -> list[dict]:
    out = []
    with open(TABLE) as fh:
        lines = [line.rstrip("\n") for line in fh if not line.startswith("#")]
    header = lines[0].split("\t")
    for line in lines[1:]:
        row = dict(zip(header, line.split("\t")))
        out.append({"service": row["service"], "protocol": row["protocol"], "first": int(row["first"]),
                    "last": int(row["last"]), "code": row["code"] if row["code"] == "*" else int(row["code"])})
    return out


def test_native_table_is_the_kdd_table():
    assert service_table() == table_rows()


# (packet starting the connection, service), each read off the KDD'99 table by hand.
CASES = {
    "tcp-http": (ct.tcp(A4, B4, 40000, 80, SYN), "http"),
    "tcp-x11-range-end": (ct.tcp(A4, B4, 40000, 6063, SYN), "X11"),
    "tcp-past-x11": (ct.tcp(A4, B4, 40000, 6064, SYN), "other"),
    "tcp-ftp-data-listed": (ct.tcp(A4, B4, 40000, 20, SYN), "ftp_data"),
    "tcp-from-port-20": (ct.tcp(A4, B4, 20, 40000, SYN), "ftp_data"),
    "tcp-from-port-20-listed": (ct.tcp(A4, B4, 20, 21, SYN), "ftp"),
    "tcp-dynamic": (ct.tcp(A4, B4, 1234, 49152, SYN), "private"),
    "tcp-below-dynamic": (ct.tcp(A4, B4, 1234, 49151, SYN), "other"),
    "tcp-domain": (ct.tcp(A6, B6, 1234, 53, SYN), "domain"),
    "udp-domain": (ct.udp(A4, B4, 1234, 53), "domain_u"),
    "udp-http-unlisted": (ct.udp(A4, B4, 1234, 80), "other"),
    "udp-from-port-20": (ct.udp(A4, B4, 20, 9999), "ftp_data"),
    "udp-dynamic": (ct.udp(A4, B4, 1234, 65535), "private"),
    "udp-ntp": (ct.udp(A6, B6, 123, 123), "ntp_u"),
    "tcp-turned-round": (ct.tcp(B4, A4, 80, 40000, SYN | ACK), "http"),
    "tcp-mid-stream-reversed": (ct.tcp(B4, A4, 80, 40000, ACK), "other"),
    "icmp-echo": (ct.icmp(A4, B4, 8), "eco_i"),
    "icmp-echo-reply": (ct.icmp(A4, B4, 0), "ecr_i"),
    "icmp-port-unreachable": (ct.icmp(A4, B4, 3, 3), "urp_i"),
    "icmp-host-unreachable": (ct.icmp(A4, B4, 3, 1), "urh_i"),
    "icmp-net-unreachable": (ct.icmp(A4, B4, 3, 0), "oth_i"),
    "icmp-redirect": (ct.icmp(A4, B4, 5, 2), "red_i"),
    "icmp-timestamp-reply": (ct.icmp(A4, B4, 14), "tim_i"),
    "icmp-time-exceeded": (ct.icmp(A4, B4, 11), "oth_i"),
    "icmp6-echo": (ct.icmp(A6, B6, 128), "eco_i"),
    "icmp6-reply": (ct.icmp(A6, B6, 129), "ecr_i"),
    "icmp6-port-unreachable": (ct.icmp(A6, B6, 1, 4), "urp_i"),
    "icmp6-redirect": (ct.icmp(A6, B6, 137), "red_i"),
    "icmp6-type-8-not-echo": (ct.icmp(A6, B6, 8), "oth_i"),
    "icmp-type-128-not-echo": (ct.icmp(A4, B4, 128), "oth_i"),
    "gre": (ct.ip(A4, B4, GRE, b"\x00" * 4), "other"),
    "tcp-ports-cut": (ct.tcp(A4, B4, 1234, 80, SYN)[:22], "other"),
    "icmp-type-cut": (ct.icmp(A4, B4, 8)[:20], "oth_i"),
}


@pytest.mark.parametrize("name", CASES)
def test_service(tmp_path, name):
    packet, service = CASES[name]
    rows = ct.as_rows(connections(ct.write(tmp_path / "s.pcap", [(0, packet)]), **ct.SETTINGS))
    assert [r["service"] for r in rows] == [service]
