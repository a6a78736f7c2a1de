"""Decoded packets from a live device or a capture file."""

from collections.abc import Generator
from typing import Literal, NotRequired, TypedDict, type_check_only

@type_check_only
class PacketDict(TypedDict):
    """One decoded IPv4/IPv6 frame. Keys come in this order; the protocol keys only for their protocol."""

    success: Literal[True]
    timestamp: float
    date_time: str
    frame_length: int
    src_mac: str
    dst_mac: str
    ip_proto: int
    ip_id: int
    wrong_fragment: int
    land: int
    src_port: int
    dst_port: int
    version: Literal["IPv4", "IPv6"]
    src_ip: str
    dst_ip: str
    protocol_type: Literal["TCP", "UDP", "ICMP", "Others"]
    tcp_flag: NotRequired[int]
    tcp_seq: NotRequired[int]
    tcp_ack: NotRequired[int]
    urgent: NotRequired[int]
    udp_length: NotRequired[int]
    icmp_type: NotRequired[int]
    icmp_code: NotRequired[int]

def start_sniff(device_name: bytes | None) -> Generator[PacketDict, object, None]: ...
def read_pcap(file_path: bytes | None) -> Generator[PacketDict, object, None]: ...
