"""Each extension module exports its PyInit_ entry alone: anything else it shows
can bind to another library's copy of the same symbol when both are loaded."""

import importlib
import shutil
import subprocess

import pytest

MODULES = ["kavrel._engine", "kavrel.core.base.sniffkit", "kavrel.core.base.idslog",
           "kavrel.core.base.nicpick", "kavrel.core.ver100.metricor"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("name", MODULES)
def test_only_the_entry_is_exported(name):
    path = importlib.import_module(name).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{name.rsplit('.', 1)[1]}"]
