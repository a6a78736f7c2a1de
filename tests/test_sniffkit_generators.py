"""Arguments, messages and the life of the capture generators."""

import collections.abc
import gc
import os
import threading
import warnings

import pytest

import pcapgen as pg
from pcapgen import Record
from conftest import open_fds
from kavrel.core.base import sniffkit

FRAME = pg.eth(pg.ipv4("10.0.0.1", "10.0.0.2", 17, pg.udp(1, 2)))
GENERATORS = [(sniffkit.start_sniff, "start_sniff", "device_name"), (sniffkit.read_pcap, "read_pcap", "file_path")]


@pytest.mark.parametrize("func, name, param", GENERATORS)
@pytest.mark.parametrize(
    "bad, type_name", [("lo", "str"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), (3, "int")]
)
def test_wrong_type_fails_at_call(func, name, param, bad, type_name):
    with pytest.raises(TypeError) as exc:
        func(bad)
    assert str(exc.value) == f"Argument '{param}' has incorrect type (expected bytes, got {type_name})"


@pytest.mark.parametrize("func, name, param", GENERATORS)
def test_bytes_subclass_is_refused(func, name, param):
    class Path(bytes):
        pass

    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type \(expected bytes, got Path\)$"):
        func(Path(b"x"))


@pytest.mark.parametrize("func, name, param", GENERATORS)
def test_argument_count_and_keywords(func, name, param):
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 positional argument \(0 given\)$"):
        func()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 positional argument \(2 given\)$"):
        func(b"a", b"b")
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'other'$"):
        func(other=b"a")
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument '{param}'$"):
        func(b"a", **{param: b"b"})
    assert isinstance(func(**{param: b"x"}), collections.abc.Generator)


@pytest.mark.parametrize("func, name, param", GENERATORS)
def test_none_fails_at_first_next(func, name, param):
    g = func(None)
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_open_failures():
    g = sniffkit.read_pcap(b"/nonexistent/capture.pcap")
    with pytest.raises(RuntimeError) as exc:
        next(g)
    assert exc.value.args[0].startswith("Could not open file: /nonexistent/capture.pcap")
    assert len(exc.value.args) == 1
    with pytest.raises(StopIteration):
        next(g)
    g = sniffkit.start_sniff(b"no-such-device0")
    with pytest.raises(RuntimeError, match="^Could not open device: "):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_not_a_capture_file(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("hello, this is not a capture\n" * 10)
    with pytest.raises(RuntimeError, match="^Could not open file: .+"):
        next(sniffkit.read_pcap(os.fsencode(path)))


def test_embedded_nul_is_refused(make_pcap):
    path = make_pcap([FRAME])
    with pytest.raises(ValueError, match="embedded null byte"):
        next(sniffkit.read_pcap(path + b"\0.ignored"))


def test_empty_and_all_skipped_files(make_pcap):
    assert list(sniffkit.read_pcap(make_pcap([]))) == []
    assert list(sniffkit.read_pcap(make_pcap([pg.arp()] * 5000))) == []


def capture_fds(path: bytes) -> int:
    return sum(1 for target in open_fds() if target == os.fsdecode(path))


def test_nothing_opened_before_first_next(make_pcap):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    assert capture_fds(path) == 0
    next(g)
    assert capture_fds(path) == 1
    del g
    gc.collect()
    assert capture_fds(path) == 0


@pytest.mark.parametrize("ending", ["close", "drop", "finish", "throw", "error"])
def test_handle_closed_on_every_way_out(make_pcap, monkeypatch, ending):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    next(g)
    assert capture_fds(path) == 1
    if ending == "close":
        assert g.close() is None
        g.close()  # a second close is harmless
    elif ending == "drop":
        del g
    elif ending == "finish":
        assert len(list(g)) == 2
    elif ending == "throw":
        with pytest.raises(KeyError, match="boom"):
            g.throw(KeyError("boom"))
    else:
        monkeypatch.delattr(sniffkit, "time")
        with pytest.raises(NameError):
            next(g)
    assert capture_fds(path) == 0
    if ending != "drop":
        with pytest.raises(StopIteration):
            next(g)


def test_generator_protocol(make_pcap):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    assert iter(g) is g
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        g.send(1)
    assert g.send(None)["src_port"] == 1
    assert g.send("ignored")["src_port"] == 1
    next(g)
    with pytest.raises(StopIteration):
        g.send(None)
    with pytest.raises(ValueError, match="late"):
        g.throw(ValueError("late"))  # throwing into a finished generator raises it


def test_throw_forms(make_pcap):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    with pytest.raises(KeyError):
        g.throw(KeyError)  # before the first next: nothing opened, generator finished
    with pytest.raises(StopIteration):
        next(g)
    g = sniffkit.read_pcap(path)
    next(g)
    with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException"):
        g.throw(42)
    assert next(g)["src_port"] == 1  # a refused throw leaves the generator running
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="old style"):
            g.throw(ValueError, "old style")
    with pytest.raises(GeneratorExit):
        sniffkit.read_pcap(path).throw(GeneratorExit)


def test_two_generators_are_independent(make_pcap):
    path = make_pcap([Record(FRAME, ts_sec=i) for i in range(4)])
    a, b = sniffkit.read_pcap(path), sniffkit.read_pcap(path)
    assert [next(a)["timestamp"], next(a)["timestamp"], next(b)["timestamp"], next(a)["timestamp"]] == [0, 1, 0, 2]


@pytest.mark.parametrize("cut", [3, 10])
def test_truncated_file_warns_after_its_packets(make_pcap, tmp_path, cut):
    path = make_pcap([FRAME] * 4)
    data = open(path, "rb").read()
    short = tmp_path / "short.pcap"
    short.write_bytes(data[:-cut])
    with pytest.warns(RuntimeWarning, match="^Could not read from file: .*truncated"):
        got = list(sniffkit.read_pcap(os.fsencode(short)))
    assert len(got) == 3
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        g = sniffkit.read_pcap(os.fsencode(short))
        with pytest.raises(RuntimeWarning):
            list(g)
    assert capture_fds(os.fsencode(short)) == 0


def test_running_generator_refuses_reentry(make_pcap, monkeypatch):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    seen = []

    class ReentrantTime:
        @staticmethod
        def localtime(sec):
            for action in (lambda: next(g), g.close, lambda: g.throw(KeyError), lambda: g.send(None)):
                with pytest.raises(ValueError, match="^generator already executing$"):
                    action()
                seen.append(action)
            return __import__("time").localtime(sec)

        strftime = staticmethod(__import__("time").strftime)

    monkeypatch.setattr(sniffkit, "time", ReentrantTime)
    assert next(g)["src_port"] == 1
    assert len(seen) == 4


def test_many_generators_do_not_leak_handles(make_pcap):
    path = make_pcap([FRAME] * 2)
    for i in range(300):
        g = sniffkit.read_pcap(path)
        next(g)
        if i % 2:
            g.close()
    del g
    gc.collect()
    assert capture_fds(path) == 0


def test_generator_usable_from_threads(make_pcap):
    path = make_pcap([Record(FRAME, ts_sec=i) for i in range(100)])
    g = sniffkit.read_pcap(path)
    out, lock = [], threading.Lock()

    def worker():
        while True:
            try:
                with lock:
                    item = next(g)
            except StopIteration:
                return
            out.append(item["timestamp"])

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(out) == list(range(100))


def test_stop_iteration_inside_is_not_a_normal_end(make_pcap, monkeypatch):
    path = make_pcap([FRAME] * 3)
    g = sniffkit.read_pcap(path)
    next(g)

    def refuse(sec):
        raise StopIteration

    monkeypatch.setattr(sniffkit, "time", type("T", (), {"localtime": staticmethod(refuse),
                                                         "strftime": staticmethod(__import__("time").strftime)}))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as exc:
        next(g)
    assert isinstance(exc.value.__cause__, StopIteration)
    g = sniffkit.read_pcap(path)
    monkeypatch.undo()
    next(g)
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        g.throw(StopIteration)

