"""A worker process of kavrel.parallel: python -m kavrel._shard_worker FD."""

import socket
import sys

from kavrel.parallel import Channel, worker

worker(Channel(socket.socket(fileno=int(sys.argv[1]))))
