"""kavrel: datasets from network traffic, over libpcap.

The dataset engine reads captures into Arrow tables:

    kavrel.read_packets(path)      one row per IPv4/IPv6 frame, every header field
    kavrel.read_features(path)     per-packet features with the 2-second per-destination count
    kavrel.read_connections(path)  one row per connection: Zeek's conn_state, KDD'99's features
    kavrel.scan_packets / scan_features / scan_connections   the same as a stream of record batches
    kavrel.scan_live(device)       either table from a live device, batch by batch

The per-packet modules live in kavrel.core.base (sniffkit, idslog, nicpick) and
kavrel.core.ver100 (metricor); the command line is kavrel.cli.
"""

from __future__ import annotations

# Not `typing`: the package is imported first by the command, whose Ctrl-C handling starts only
# once it is in, and typing alone takes longer to load than everything else before it.
TYPE_CHECKING = False

__version__ = "0.2.0"

_DATASET = ("PACKET_COLUMNS", "FEATURE_COLUMNS", "LABEL_COLUMNS", "DamagedCapture", "UnmatchedAlerts", "read_packets",
            "scan_packets", "read_features", "scan_features")
_CONNECTIONS = ("CONNECTION_COLUMNS", "KDD_COLUMNS", "read_connections", "scan_connections")
_ALERTS = ("ALERT_COLUMNS", "read_alerts")
_LIVE = ("scan_live", "LiveReader")
__all__ = [*_DATASET, *_CONNECTIONS, *_ALERTS, *_LIVE]

if TYPE_CHECKING:
    from kavrel.alerts import ALERT_COLUMNS, read_alerts
    from kavrel.connections import CONNECTION_COLUMNS, KDD_COLUMNS, read_connections, scan_connections
    from kavrel.dataset import (FEATURE_COLUMNS, LABEL_COLUMNS, PACKET_COLUMNS, DamagedCapture, UnmatchedAlerts,
                                read_features, read_packets, scan_features, scan_packets)
    from kavrel.live import LiveReader, scan_live


def __getattr__(name: str) -> object:
    # The dataset API loads pyarrow; the per-packet modules do not need it.
    if name in _DATASET:
        from kavrel import dataset

        return getattr(dataset, name)
    if name in _CONNECTIONS:
        from kavrel import connections

        return getattr(connections, name)
    if name in _ALERTS:
        from kavrel import alerts

        return getattr(alerts, name)
    if name in _LIVE:
        from kavrel import live

        return getattr(live, name)
    raise AttributeError(f"module 'kavrel' has no attribute {name!r}")
