"""The kavrel command's entry point (python -m kavrel, which the kavrel program runs): SIGINT
and SIGTERM are taken over before the command line and what it imports load, so that an early
Ctrl-C ends the command as a late one does."""

import os
import signal
import sys


# numpy, which pyarrow loads, starts OpenBLAS with a thread per core that spins after every
# call into it; in the command those threads would take the cores from the capture readers,
# which need all of them. Set before anything loads numpy, and only for the command: a program
# that uses kavrel as a library keeps its own settings. A value the user set is kept.
THREAD_LIMITS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def main() -> int:
    for name in THREAD_LIMITS:
        os.environ.setdefault(name, "1")
    try:
        from kavrel import _interrupts

        _interrupts.install()
        if os.environ.pop("KAVREL_SIGNALS_BLOCKED", None):
            # Started by the kavrel program, which blocked them while the interpreter started:
            # one sent meanwhile is delivered now, to these handlers.
            signal.pthread_sigmask(signal.SIG_UNBLOCK, _interrupts.SIGNALS)
        from kavrel import cli

        status = cli.main()
    except KeyboardInterrupt:  # before the handlers were in
        status = 128 + signal.SIGINT
        print("kavrel: interrupted", file=sys.stderr)
    except BaseException as exc:
        from kavrel import _interrupts

        if not isinstance(exc, _interrupts.Interrupted):
            raise
        status = exc.status
        print(f"kavrel: {exc.words}", file=sys.stderr)
    # The command is done: its output is complete or removed, its workers stopped. Leaving now,
    # without the interpreter's shutdown, means no signal can come while that shutdown has put
    # the default handlers back (and end the process as killed by it after all).
    if "kavrel.parallel" in sys.modules:
        sys.modules["kavrel.parallel"].stop_all()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            if stream is sys.stdout and status == 0:
                status = 1  # output that could not be written
    os._exit(status)
