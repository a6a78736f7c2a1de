"""Runs every benchmark (bench_*.py) in turn and prints their figures."""

import glob
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
    name = os.path.splitext(os.path.basename(path))[0]
    print(f"== {name}", flush=True)
    importlib.import_module(name).main()
    print(flush=True)
