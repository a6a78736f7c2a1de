"""What the four capture generators do when their work fails: a StopIteration
raised inside them, and open failures that carry libpcap's status and errno."""

import ctypes
import ctypes.util
import errno
import os
import shutil
import subprocess
import sys

import pytest

import pcapgen as pg
from conftest import needs_root
from netns import needs_netns, run_in_netns
from kavrel.core.base import sniffkit
from kavrel.core.ver100.metricor import FeatureExtractor

PCAP_ERROR = -1
PCAP_ERROR_NO_SUCH_DEVICE = -5
PCAP_ERROR_PERM_DENIED = -8

FILE_GENERATORS = {
    "read_pcap": sniffkit.read_pcap,
    "iter_pcap": lambda path: FeatureExtractor().iter_pcap(path),
}
LIVE_GENERATORS = {
    "start_sniff": ("from kavrel.core.base import sniffkit", "sniffkit.start_sniff"),
    "process_live": ("from kavrel.core.ver100.metricor import FeatureExtractor",
                     "FeatureExtractor().process_live"),
}


@pytest.mark.parametrize("make", FILE_GENERATORS.values(), ids=FILE_GENERATORS)
def test_stop_iteration_before_the_first_item_is_an_error(make, tmp_path, monkeypatch):
    # The only packet is cut mid-record, so the first step warns before it could
    # yield; a warning hook that raises StopIteration must not end the loop quietly.
    whole = pg.pcap_bytes([pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2)))])
    path = tmp_path / "cut.pcap"
    path.write_bytes(whole[:-5])

    def refuse(*args, **kwargs):
        raise StopIteration

    monkeypatch.setattr("warnings.showwarning", refuse)
    g = make(os.fsencode(path))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as exc:
        next(g)
    assert isinstance(exc.value.__cause__, StopIteration)
    assert next(g, "finished") == "finished"


LIVE_STOP_ITERATION = """
import signal
{import_line}

def refuse(signum, frame):
    raise StopIteration

signal.signal(signal.SIGALRM, refuse)
g = {make}(b"lo")
signal.setitimer(signal.ITIMER_REAL, 0.3)  # fires while the first step waits on a quiet lo
try:
    next(g)
except RuntimeError as e:
    print(type(e.__cause__).__name__, e)
print(next(g, "finished"))
"""


@needs_netns
@pytest.mark.parametrize("name", LIVE_GENERATORS)
def test_live_stop_iteration_before_the_first_item_is_an_error(name):
    import_line, make = LIVE_GENERATORS[name]
    out = run_in_netns(LIVE_STOP_ITERATION.format(import_line=import_line, make=make))
    assert out.splitlines() == ["StopIteration generator raised StopIteration", "finished"]


def pcap_open_live_text(device: bytes) -> str:
    """What libpcap's own pcap_open_live says for `device`, with the settings the modules use."""
    lib = ctypes.CDLL(ctypes.util.find_library("pcap"))
    lib.pcap_open_live.restype = ctypes.c_void_p
    lib.pcap_open_live.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_char_p]
    errbuf = ctypes.create_string_buffer(256)
    handle = lib.pcap_open_live(device, 65535, 1, 1000, errbuf)
    assert not handle, "the device opened"
    return errbuf.value.decode()


@pytest.mark.parametrize("open_gen, prefix", [
    (sniffkit.start_sniff, "Could not open device: "),
    (lambda d: FeatureExtractor().process_live(d), "Lỗi mở card mạng: "),
])
def test_device_open_failure_reads_as_libpcaps_and_carries_its_status(open_gen, prefix):
    with pytest.raises(RuntimeError) as exc:
        next(open_gen(b"kavrel-missing0"))
    assert exc.value.args == (prefix + pcap_open_live_text(b"kavrel-missing0"),)
    assert (exc.value.pcap_status, exc.value.errno) == (PCAP_ERROR_NO_SUCH_DEVICE, None)


@pytest.mark.parametrize("content, want_errno", [(None, errno.ENOENT), (b"not a capture\n" * 4, None),
                                                 ("directory", errno.EISDIR)])
@pytest.mark.parametrize("run", [
    lambda p: next(sniffkit.read_pcap(p)),
    lambda p: next(FeatureExtractor().iter_pcap(p)),
    lambda p: FeatureExtractor().process_pcap(p),
], ids=["read_pcap", "iter_pcap", "process_pcap"])
def test_file_open_failure_carries_errno(tmp_path, run, content, want_errno):
    path = tmp_path / "capture.pcap"
    if content == "directory":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(RuntimeError) as exc:
        run(os.fsencode(path))
    assert exc.value.args[0].startswith(("Could not open file: ", "Lỗi mở file PCAP: "))
    assert (exc.value.errno, exc.value.pcap_status) == (want_errno, PCAP_ERROR)


NO_RAW_SOCKETS = """
from kavrel.core.base import sniffkit
try:
    next(sniffkit.start_sniff(b"lo"))
except RuntimeError as e:
    print(e.pcap_status)
"""


@needs_root
def test_device_permission_failure_carries_its_status():
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv not available")
    drop = ["setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw"]
    r = subprocess.run([*drop, sys.executable, "-c", NO_RAW_SOCKETS], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert r.stdout.split() == [str(PCAP_ERROR_PERM_DENIED)], r.stderr
