import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pcapgen  # noqa: E402

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "captures")


def is_root() -> bool:
    return hasattr(os, "geteuid") and os.geteuid() == 0


needs_root = pytest.mark.skipif(not is_root(), reason="live capture needs root")


@pytest.fixture
def make_pcap(tmp_path):
    """Writes records to a fresh pcap file and returns its path as bytes."""
    counter = iter(range(1_000_000))

    def make(records, **kwargs) -> bytes:
        path = tmp_path / f"capture-{next(counter)}.pcap"
        pcapgen.write_pcap(path, records, **kwargs)
        return os.fsencode(path)

    return make


def open_fds() -> set[str]:
    """Targets of this process's open file descriptors."""
    out = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            out.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    return out
