"""The type stubs: mypy --strict on a usage module, and stubtest against the built modules."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ["kavrel.core.base.sniffkit", "kavrel.core.base.nicpick", "kavrel.core.base.idslog",
           "kavrel.core.ver100.metricor"]


def run(*args: str) -> subprocess.CompletedProcess:
    # Run from a neutral directory so the installed package (with its stubs) is what gets checked.
    return subprocess.run([sys.executable, "-m", *args], cwd=HERE + "/..", capture_output=True, text=True,
                          env=dict(os.environ, MYPY_CACHE_DIR=os.path.join(HERE, ".artifacts", "mypy")))


def test_usage_passes_strict_mypy():
    r = run("mypy", "--strict", "--no-incremental", os.path.join(HERE, "typing_usage.py"))
    assert r.returncode == 0, r.stdout + r.stderr


def test_wrong_use_is_caught():
    bad = os.path.join(HERE, ".artifacts", "typing_bad.py")
    os.makedirs(os.path.dirname(bad), exist_ok=True)
    with open(bad, "w") as fh:
        fh.write("from kavrel.core.base import sniffkit\n"
                 "for p in sniffkit.read_pcap('x.pcap'):\n"
                 "    n: str = p['frame_length']\n")
    r = run("mypy", "--strict", "--no-incremental", bad)
    assert r.returncode == 1
    assert 'incompatible type "str"; expected "bytes | None"' in r.stdout
    assert 'Incompatible types in assignment (expression has type "int", variable has type "str")' in r.stdout


def test_stubs_match_runtime():
    r = run("mypy.stubtest", *MODULES)
    assert r.returncode == 0, r.stdout + r.stderr


def stub_fields(stub: str, cls: str) -> list[str]:
    """The annotated fields of a TypedDict class in a stub file, in order."""
    import ast

    import kavrel

    path = os.path.join(os.path.dirname(kavrel.__file__), *stub.split("/"))
    tree = ast.parse(open(path, encoding="utf-8").read())
    (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls]
    return [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]


def test_stub_dicts_follow_the_key_order():
    from kavrel.columns import FEATURE_DICT_KEYS, PACKET_DICT_KEYS

    assert stub_fields("core/base/sniffkit.pyi", "PacketDict") == list(PACKET_DICT_KEYS)
    assert stub_fields("core/ver100/metricor.pyi", "FeatureDict") == list(FEATURE_DICT_KEYS)
