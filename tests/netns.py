"""Runs test code inside a network namespace of its own, so live captures see
only the traffic the test makes."""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time
import uuid
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    import kavrel


def available() -> bool:
    return os.geteuid() == 0 and shutil.which("ip") is not None


needs_netns = pytest.mark.skipif(not available(), reason="needs root and iproute2 for a network namespace")


def run_in_netns(code: str, *, timeout: float = 60, setup: tuple[str, ...] = ()) -> str:
    """Runs `code` with python in a new namespace whose lo is up; returns its stdout."""
    name = f"kavrel-{uuid.uuid4().hex[:10]}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
        for command in setup:
            subprocess.run(["ip", "-n", name, *command.split()], check=True)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        proc = subprocess.run(
            ["ip", "netns", "exec", name, sys.executable, "-c", textwrap.dedent(code)],
            env=env, capture_output=True, text=True, timeout=timeout,
        )
        assert proc.returncode == 0, proc.stderr
        return proc.stdout
    finally:
        subprocess.run(["ip", "netns", "delete", name], check=False)


@contextlib.contextmanager
def inside(name: str):
    """Moves this thread into the namespace `name` (sockets opened meanwhile stay there)."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        os.setns(target, os.CLONE_NEWNET)
        yield
    finally:
        os.setns(own, os.CLONE_NEWNET)
        os.close(own)
        os.close(target)


class Link:
    """A namespace with a quiet veth pair: frames sent on `kvpeer` arrive on `kvcap`."""

    def __init__(self, name: str) -> None:
        self.name = name
        with inside(name):
            self.peer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
            self.peer.bind(("kvpeer", 0))

    def scan(self, device: str = "kvcap", **kwargs) -> kavrel.LiveReader:
        import kavrel

        with inside(self.name):
            return kavrel.scan_live(device, **kwargs)

    def send(self, frames, gap: float = 0.0) -> None:
        for frame in frames:
            self.peer.send(frame)
            if gap:
                time.sleep(gap)

    def packet_sockets(self) -> int:
        with inside(self.name), open("/proc/thread-self/net/packet") as fh:
            return len(fh.readlines()) - 1

    def ip(self, *command: str) -> None:
        subprocess.run(["ip", "-n", self.name, *command], check=True)
