import builtins
import ctypes
import os
import shutil
import subprocess
import sys

import pytest

from kavrel.core.base import nicpick

UP = 2
LPI = "Loopback Pseudo-Interface 1"


def devs(*specs):
    """Entries from "name" (up) or ("name", flags)."""
    return [{"name": s, "description": "", "flags": UP} if isinstance(s, str)
            else {"name": s[0], "description": "", "flags": s[1]} for s in specs]


class Name(str):
    pass


@pytest.mark.parametrize("devices, expected", [
    (devs("lo0", ("wlan0", 0), "eth0"), b"eth0"),
    (devs(("lo0", 0), ("eth1", 0)), b"eth1"),
    (devs(("wlan0", 0xFF), "eth0"), b"wlan0"),
    (devs("xeth0", "ETH0", "eth0"), b"eth0"),
    (devs("Ethernet 2", ("eth0", 0)), b"Ethernet 2"),
    (devs(LPI, ("enp0s3", 1), "lo0"), b"enp0s3"),
    (devs("lo0", "lo", ("eth0", 0)), b"lo"),
    (devs("lo0"), b"lo0"),
    (devs(LPI, "lo0"), LPI.encode()),
    (devs("lo0", "", ("eth1", 0)), b"lo0"),
    (devs("", "lo0"), None),
    (devs("ethé0"), "ethé0".encode()),
    ([], None),
])
def test_choice(monkeypatch, devices, expected):
    monkeypatch.setattr(nicpick, "get_all_devices", lambda: devices)
    assert nicpick.get_auto_device() == expected


@pytest.mark.parametrize("devices, error", [
    ([{"flags": UP}], KeyError),
    ([{"name": "lo0"}], KeyError),  # flags are read before lo0 is skipped
    (devs(Name("eth0")), TypeError),
    (devs((Name("tun0"), 0)), TypeError),
    (devs(Name("lo0")), TypeError),
])
def test_choice_errors(monkeypatch, devices, error):
    monkeypatch.setattr(nicpick, "get_all_devices", lambda: devices)
    with pytest.raises(error):
        nicpick.get_auto_device()


def test_lister_looked_up_by_name(monkeypatch):
    monkeypatch.delattr(nicpick, "get_all_devices")
    with pytest.raises(NameError, match="^name 'get_all_devices' is not defined$"):
        nicpick.get_auto_device()
    monkeypatch.setattr(builtins, "get_all_devices", lambda: devs("eth7"), raising=False)
    assert nicpick.get_auto_device() == b"eth7"


def test_docstrings():
    assert nicpick.get_all_devices.__doc__ == "Liệt kê tất cả các thiết bị mạng."
    assert nicpick.get_auto_device.__doc__ == (
        "\n    Tự động tìm kiếm card mạng phù hợp nhất để thực hiện sniffing."
        "\n    Trả về: bytes (tên card mạng) hoặc None.\n    ")


# Pseudo-devices that need a service or kernel support to open.
PSEUDO = ("any", "nflog", "nfqueue", "bluetooth-monitor", "dbus-", "usbmon")


def test_real_devices():
    devices = nicpick.get_all_devices()
    for entry in devices:
        assert [(k, type(v)) for k, v in entry.items()] == [("name", str), ("description", str), ("flags", int)]
        assert 0 <= entry["flags"] < 2**32
    if os.path.isdir("/sys/class/net"):
        assert set(os.listdir("/sys/class/net")) <= {d["name"] for d in devices}
    names = [d["name"].encode() for d in devices]
    assert nicpick.get_auto_device() in (names or [None])
    if os.geteuid() != 0:
        return
    pcap = ctypes.CDLL("libpcap.so.0.8")
    pcap.pcap_open_live.restype = ctypes.c_void_p
    pcap.pcap_close.argtypes = [ctypes.c_void_p]
    for entry in devices:
        errbuf = ctypes.create_string_buffer(256)
        handle = pcap.pcap_open_live(entry["name"].encode(), 65535, 0, 100, errbuf)
        if handle:
            pcap.pcap_close(handle)
        else:  # a device that is down, or a pseudo-device, may refuse
            assert entry["name"].startswith(PSEUDO) or not entry["flags"] & UP, (entry, errbuf.value)


def test_listing_does_not_leak_descriptors():
    nicpick.get_all_devices()
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(1000):
        nicpick.get_all_devices()
    assert len(os.listdir("/proc/self/fd")) == before


# libpcap results this machine cannot produce, from a stand-in preloaded over libpcap.
FAKE_PCAP = r"""
#include <pcap/pcap.h>
#include <stdlib.h>
#include <string.h>
int fake_frees;
static pcap_if_t second = {.name = "wlan0", .description = "Wi-Fi \xe1\xbb\x95", .flags = PCAP_IF_UP};
static pcap_if_t first = {.next = &second, .flags = 0xFFFFFFFFu};
int pcap_findalldevs(pcap_if_t **all, char *errbuf) {
    const char *mode = getenv("FAKE_PCAP");
    if (strncmp(mode, "fail", 4) == 0) { strcpy(errbuf, mode + 5); return -1; }
    second.name = strcmp(mode, "bad-name") ? "wlan0" : "\xff";
    *all = strcmp(mode, "empty") ? &first : NULL;
    return 0;
}
void pcap_freealldevs(pcap_if_t *all) { (void)all; ++fake_frees; }
"""
PROBE = """if 1:
    import ctypes
    from kavrel.core.base import nicpick
    try:
        print(repr(nicpick.get_all_devices()))
    except Exception as e:
        print(type(e).__name__ + ": " + str(e))
    print(ctypes.c_int.in_dll(ctypes.CDLL(None), "fake_frees").value)
"""
BAD = "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"
CHAIN = [{"name": "", "description": "", "flags": 2**32 - 1}, {"name": "wlan0", "description": "Wi-Fi ổ", "flags": UP}]


@pytest.mark.parametrize("mode, result, frees", [
    ("fail:denied ủ", "RuntimeError: Lỗi tìm thiết bị: denied ủ", 0),
    ("fail:", "RuntimeError: Lỗi tìm thiết bị: ", 0),
    ("fail:\udcff", BAD, 0),
    ("empty", "[]", 0),
    ("chain", repr(CHAIN), 1),
    ("bad-name", BAD, 1),
])
def test_libpcap_results(tmp_path, mode, result, frees):
    if not shutil.which("cc"):
        pytest.skip("needs a C compiler")
    (tmp_path / "fake.c").write_text(FAKE_PCAP)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", tmp_path / "fake.so", tmp_path / "fake.c"], check=True)
    # After any preload already there: a sanitizer runtime must stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "fake.so")]))
    env = dict(os.environ, LD_PRELOAD=preload, FAKE_PCAP=mode,
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, check=True)
    assert proc.stdout.splitlines() == [result, str(frees)]


@pytest.mark.parametrize("name", ["get_all_devices", "get_auto_device"])
def test_arguments_are_refused(name):
    func = getattr(nicpick, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 0 positional arguments \(1 given\)$"):
        func(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'x'$"):
        func(x=1)
