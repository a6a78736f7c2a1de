import os
import subprocess
import sys
import uuid

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pcapgen  # noqa: E402
from netns import Link  # noqa: E402

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


@pytest.fixture
def link():
    name = f"kavrel-{uuid.uuid4().hex[:10]}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        # No addresses and no IPv6: the kernel itself sends nothing on the pair.
        subprocess.run(["ip", "netns", "exec", name, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                        "net.ipv6.conf.default.disable_ipv6=1"], check=True)
        for command in ("link set lo up", "link add kvcap type veth peer name kvpeer", "link set kvcap up",
                        "link set kvpeer up"):
            subprocess.run(["ip", "-n", name, *command.split()], check=True)
        lk = Link(name)
        yield lk
        lk.peer.close()
    finally:
        subprocess.run(["ip", "netns", "delete", name], check=False)

