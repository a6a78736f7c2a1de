"""Runs every benchmark (bench_*.py) in turn, each in a process of its own (so that
one's memory and workers cannot touch another's figures), and prints their figures."""

import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    failed = []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        print(f"== {name}", flush=True)
        if subprocess.run([sys.executable, path], cwd=HERE).returncode != 0:
            failed.append(name)
        print(flush=True)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
