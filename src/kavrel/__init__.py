"""kavrel: per-packet records and features from network traffic, over libpcap.

The native modules live in kavrel.core.base (sniffkit, idslog, nicpick) and
kavrel.core.ver100 (metricor); the command line is kavrel.cli.
"""

__version__ = "0.1.0"
