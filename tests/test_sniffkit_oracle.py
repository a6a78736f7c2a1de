"""read_pcap against an independent decoder, field by field, on generated and real captures."""

import glob
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

import oracle
import pcapgen as pg
from conftest import CORPUS
from kavrel.core.base import sniffkit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import gencap  # noqa: E402


def compare(path: str) -> int:
    got = list(sniffkit.read_pcap(os.fsencode(path)))
    want = oracle.expected_dicts(path)
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert list(g.items()) == list(w.items()), f"packet {i}"
    return len(got)


def test_generated_mixed_capture(tmp_path):
    path = gencap.make_capture(str(tmp_path / "mixed.pcap"), 5000)
    assert compare(path) > 4500


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
CLASSIC = sorted(p for p in glob.glob(os.path.join(CORPUS, "*.pcap")) if "nano" not in p)
CLASSIC.append(os.path.join(EXAMPLES, "sample-lo.pcap"))  # recorded on lo while real clients talked


@pytest.mark.parametrize("path", CLASSIC, ids=os.path.basename)
def test_real_capture(path):
    compare(path)


def test_real_pcapng_files_read():
    # pcapng goes through libpcap too; the oracle only reads classic files, so check the totals.
    counts = {os.path.basename(p): len(list(sniffkit.read_pcap(os.fsencode(p))))
              for p in glob.glob(os.path.join(CORPUS, "*.pcapng"))}
    assert counts == {"time_2106_overflow.pcapng": 1, "OSPFv2_Capture_FINAL.pcapng": 30,
                      "time_2107.pcapng": 1}


frames = st.one_of(
    st.binary(min_size=0, max_size=120),
    st.builds(lambda t, body: pg.eth(body, t), st.sampled_from([0x0800, 0x86DD]), st.binary(max_size=100)),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(frames, st.integers(0, 130), st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1)),
                min_size=1, max_size=20))
def test_arbitrary_bytes(tmp_path_factory, records):
    recs = [pg.Record(f, ts_sec=sec, ts_usec=usec % 2_000_000, caplen=min(cap, len(f))) for f, cap, sec, usec in records]
    path = tmp_path_factory.mktemp("hyp") / "x.pcap"
    pg.write_pcap(path, recs)
    compare(str(path))
