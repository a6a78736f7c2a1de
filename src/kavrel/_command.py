"""The kavrel command's entry point: SIGINT and SIGTERM are taken over before the command line
and what it imports load, so that an early Ctrl-C ends the command as a late one does."""

from __future__ import annotations

import sys


def main() -> int:
    from kavrel import _interrupts

    try:
        _interrupts.install()
        from kavrel import cli
    except _interrupts.Interrupted as stop:
        print(f"kavrel: {stop.words}", file=sys.stderr)
        return stop.status
    return cli.main()
