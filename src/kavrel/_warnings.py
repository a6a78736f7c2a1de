"""What a scan met on its way, said once: damaged captures and alerts that labelled nothing
warn; a read that failed becomes an OSError carrying where it failed."""

from __future__ import annotations

import warnings
from collections.abc import Iterable


class DamagedCapture(RuntimeWarning):
    """A capture could not be read to its end; the rows before the damage are kept. The
    capture's `path`, the byte `offset` where it is cut and libpcap's `text` are attributes."""

    path: str
    offset: int
    text: str


class UnmatchedAlerts(RuntimeWarning):
    """Alerts given to label a capture labelled none of its rows (packets or connections)."""


def warn_damage(damage: Iterable[tuple[str, int, str]], stacklevel: int = 3) -> None:
    """One DamagedCapture for each (path, byte offset, libpcap's text) the scan met."""
    for path, offset, text in damage:
        warning = DamagedCapture(damage_words(path, offset, text))
        warning.path, warning.offset, warning.text = path, offset, text  # type: ignore[attr-defined]
        warnings.warn(warning, stacklevel=stacklevel)


def warn_unmatched(unmatched: int, stacklevel: int = 3, row: str = "packet") -> None:
    if unmatched:
        warnings.warn(f"{unmatched:,} alert{'s' if unmatched != 1 else ''} labelled no {row}", UnmatchedAlerts,
                      stacklevel=stacklevel)


def damage_words(name: str, offset: int, text: str) -> str:
    return f"{name}: the capture is cut short at byte {offset:,} ({text}); the rows before it are kept"


def read_failure(failure: tuple[int, str, str | None, int], where: str | None = None) -> OSError:
    """The OSError of a failed read, as the engine describes it: (errno, what went wrong, the
    file or None, byte offset), said after the file's name (or `where`). The file, the offset
    and what went wrong are attributes too (path, offset, detail); `filename` stays unset, so
    that the message reads as one line that names the file once."""
    err, detail, path, offset = failure
    name = where if where is not None else path
    exc = OSError(err, detail if name is None else f"{name}: {detail}")
    exc.path = path  # type: ignore[attr-defined]
    exc.offset = offset  # type: ignore[attr-defined]
    exc.detail = detail  # type: ignore[attr-defined]
    return exc
