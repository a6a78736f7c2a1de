"""A worker process of kavrel.parallel: python -m kavrel._shard_worker FD."""

import multiprocessing.connection
import sys

from kavrel.parallel import worker

worker(multiprocessing.connection.Connection(int(sys.argv[1])))
