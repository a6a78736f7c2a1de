"""The order of the keys of the per-packet and per-feature dictionaries.

The native modules insert keys in this order; the stubs, the command line and
the README follow it, and the tests hold all of them to it.
"""

from __future__ import annotations

# Every key a packet dictionary can have, in insertion order: twelve that every
# packet has, the IP version and addresses, then protocol_type and the keys of
# its protocol (TCP, UDP, ICMP; none for any other).
PACKET_DICT_KEYS = (
    "success", "timestamp", "date_time", "frame_length", "src_mac", "dst_mac", "ip_proto", "ip_id",
    "wrong_fragment", "land", "src_port", "dst_port",
    "version", "src_ip", "dst_ip",
    "protocol_type", "tcp_flag", "tcp_seq", "tcp_ack", "urgent", "udp_length", "icmp_type", "icmp_code",
)

# The keys of a feature dictionary, in insertion order.
FEATURE_DICT_KEYS = (
    "timestamp", "src_port", "dst_port", "protocol_type", "src_bytes", "land", "wrong_fragment", "count",
)
