"""A worker process of kavrel.parallel: python -m kavrel._shard_worker FD GIVEBACK MEND."""

import socket
import sys

from kavrel.parallel import Channel, worker

chan, giveback, mend = (socket.socket(fileno=int(fd)) for fd in sys.argv[1:4])
worker(Channel(chan), giveback=giveback, mend=Channel(mend))
