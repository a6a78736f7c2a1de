"""What went wrong, as attributes a program acts on without reading a message: the file and
offset of damage and of a failed read, libpcap's words and status, on every reader."""

import errno
import os
import subprocess
import sys
import warnings

import pytest

import kavrel
import pcapgen as pg
from conftest import needs_root
from kavrel.core.base import sniffkit

FRAME = pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2, b"payload")))
RECORD_LEN = 16 + len(FRAME)


@pytest.mark.parametrize("jobs", [1, 2])
def test_damage_names_its_file_and_offset(tmp_path, jobs):
    good = pg.write_pcap(tmp_path / "good.pcap", [pg.Record(FRAME)] * 3)
    cut = tmp_path / "cut.pcap"
    cut.write_bytes(pg.pcap_bytes([FRAME] * 3)[:-3])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = kavrel.read_packets([good, str(cut)], columns=["ttl"], jobs=jobs, chunk_bytes=512)
    damage = [w.message for w in caught if isinstance(w.message, kavrel.DamagedCapture)]
    assert table.num_rows == 5 and len(damage) == 1
    assert (damage[0].path, damage[0].offset) == (str(cut), 24 + 2 * RECORD_LEN)
    assert damage[0].text and damage[0].text in str(damage[0])


@pytest.mark.parametrize("content, kind", [
    (None, FileNotFoundError), (b"\xde\xad\xbe\xef" + bytes(40), ValueError), (b"\xd4\xc3\xb2\xa1" + bytes(6), ValueError),
], ids=["missing", "bad-magic", "header-cut"])
def test_open_failures_name_the_file(tmp_path, content, kind):
    path = tmp_path / "bad.pcap"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(kind) as exc:
        kavrel.read_features(str(path))
    assert exc.value.filename == str(path)
    if kind is ValueError:
        # libpcap's own words, alone, and in the message after the file's name
        assert exc.value.libpcap_text and str(exc.value) == f"{path}: not a capture file ({exc.value.libpcap_text})"


SHRINK = """
import os, sys, kavrel
path, size = sys.argv[1], int(sys.argv[2])
reader = kavrel.scan_packets(path, columns=["captured_length"], batch_size=100)
reader.read_next_batch()
os.truncate(path, size)
try:
    for batch in reader:
        pass
except OSError as e:
    print(e.errno, e.path == path, e.offset, repr(e.detail), e.strerror == f"{path}: {e.detail}")
"""


def test_a_failed_read_says_where(tmp_path):
    path = pg.write_pcap(tmp_path / "big.pcap", [pg.Record(FRAME)] * 20_000)
    size = 64 * os.sysconf("SC_PAGE_SIZE")
    r = subprocess.run([sys.executable, "-c", SHRINK, path, str(size)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    err, same_path, offset, detail, worded = r.stdout.split(maxsplit=4)
    assert (int(err), same_path, worded.split()[-1]) == (errno.EIO, "True", "True")
    # the failed read is at the first record the vanished pages held
    assert int(offset) == 24 + (size - 24) // RECORD_LEN * RECORD_LEN and str(path) not in detail


@needs_root
def test_a_missing_device_says_so_in_attributes():
    with pytest.raises(OSError) as exc:
        kavrel.scan_live("kavrel-none0")
    e = exc.value
    assert (e.errno, e.device, e.pcap_status) == (errno.ENODEV, "kavrel-none0", -5)
    assert e.libpcap_text and not e.libpcap_text.startswith("kavrel-none0:")
    assert str(e).endswith(f"kavrel-none0: {e.libpcap_text}")


def test_the_modules_hand_libpcaps_words_on(tmp_path):
    path = tmp_path / "missing.pcap"
    with pytest.raises(RuntimeError) as exc:
        next(sniffkit.read_pcap(os.fsencode(path)))
    assert exc.value.libpcap_text and str(exc.value).endswith(exc.value.libpcap_text)
    assert exc.value.errno == errno.ENOENT
