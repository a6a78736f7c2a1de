"""Every command-line example in the README runs as shown."""

import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import is_root

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
BIN = os.path.dirname(sys.executable)


def examples() -> list[str]:
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    lines = re.findall(r"^\$ (kavrel .*?)(?:\s+#.*)?$", text, flags=re.M)
    assert len(lines) >= 5
    return lines


@pytest.mark.parametrize("command", examples())
def test_readme_example(tmp_path, command):
    if "sniff" in command:
        if not is_root():
            pytest.skip("live capture needs root")
        if " -c " not in command:
            pytest.skip("runs until interrupted")
    shutil.copytree(os.path.join(ROOT, "examples"), tmp_path / "examples")
    before = set(tmp_path.rglob("*"))
    stop = threading.Event()

    def traffic():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            while not stop.is_set():
                s.sendto(b"readme", ("127.0.0.1", 9))
                time.sleep(0.02)

    sender = threading.Thread(target=traffic, daemon=True)
    sender.start()
    try:
        env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
        r = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp_path, env=env, capture_output=True,
                           text=True, timeout=120)
    finally:
        stop.set()
        sender.join()
    assert r.returncode == 0, r.stderr
    assert "Traceback" not in r.stderr
    assert r.stdout or set(tmp_path.rglob("*")) != before  # it wrote somewhere


def test_documented_key_order_is_the_modules():
    from kavrel.columns import PACKET_DICT_KEYS

    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    spans = [" ".join(s.split()) for s in re.findall(r"`(success timestamp [a-z_\s]+?)`", text)]
    assert spans and all(span.split() == list(PACKET_DICT_KEYS) for span in spans)
