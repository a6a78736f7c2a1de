"""The features CSV as the command line wrote it before the dataset engine:
per-packet dictionaries from FeatureExtractor.iter_pcap, rows handed to the
csv module in chunks. Kept as the baseline of `make bench`.

    legacy_features_csv.py CAPTURE OUT.csv
"""

import csv
import itertools
import os
import sys

from kavrel.columns import FEATURE_DICT_KEYS
from kavrel.core.ver100.metricor import FeatureExtractor


def main(capture: str, out_path: str) -> None:
    gen = FeatureExtractor().iter_pcap(os.fsencode(capture))
    with open(out_path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(FEATURE_DICT_KEYS)
        values = map(dict.values, gen)
        while chunk := list(itertools.islice(values, 4096)):
            writer.writerows(chunk)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
