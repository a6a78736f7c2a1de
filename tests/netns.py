"""Runs test code inside a network namespace of its own, so live captures see
only the traffic the test makes."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
import uuid

import pytest


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
