#!/usr/bin/env bash
# The demo behind `make demo`: the dataset engine through the command line on the
# bundled samples, the result read back from Python, and the alert converter.
# Usage: examples/demo.sh KAVREL_COMMAND OUT_DIR
set -euo pipefail
kavrel=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
# The interpreter kavrel was installed with, which has pyarrow.
python=$(dirname "$kavrel")/python
[ -x "$python" ] || python=python3
mkdir -p "$out"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
step() { printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '\n%s# %s%s\n' "$bold" "$*" "$plain"; }

note "the connection table of captures recorded between two network namespaces: one row per connection"
step kavrel connections examples/linux/*.pcap -o "$out/connections.parquet"
"$kavrel" connections "$here"/linux/*.pcap -o "$out/connections.parquet"
"$python" - "$out/connections.parquet" <<'EOF'
import sys

import pyarrow.parquet as pq

table = pq.read_table(sys.argv[1])
shown = ["uid", "protocol_type", "orig_ip", "resp_ip", "resp_port", "service", "conn_state", "history",
         "orig_pkts", "resp_pkts", "src_bytes", "dst_bytes", "count", "serror_rate", "rerror_rate"]
try:
    import pandas
except ImportError:
    for row in table.select(shown).to_pylist():
        print(row)
else:
    pandas.set_option("display.width", 200)
    frame = table.to_pandas()
    print(frame[shown].to_string(index=False))
    print()
    print(frame.groupby(["conn_state", "service"]).size().rename("connections").to_string())
EOF

step kavrel connections examples/linux/*.pcap --kdd -o "$out/kdd.csv"
"$kavrel" connections "$here"/linux/*.pcap --kdd -o "$out/kdd.csv"
head -n 4 "$out/kdd.csv"

step kavrel features examples/sample-lo.pcap -o "$out/features.parquet"
"$kavrel" features "$here/sample-lo.pcap" -o "$out/features.parquet"

step kavrel features examples/sample-lo.pcap -o "$out/features.csv"
"$kavrel" features "$here/sample-lo.pcap" -o "$out/features.csv"
head -n 6 "$out/features.csv"

step kavrel packets examples/sample-lo.pcap --columns timestamp,src_ip,dst_ip,ip_proto,src_port,dst_port,tcp_flags -o "$out/packets.csv"
"$kavrel" packets "$here/sample-lo.pcap" --columns timestamp,src_ip,dst_ip,ip_proto,src_port,dst_port,tcp_flags \
  -o "$out/packets.csv"
head -n 4 "$out/packets.csv"

note "read $out/features.parquet from Python: pyarrow, and pandas if it is installed"
"$python" - "$out/features.parquet" <<'EOF'
import sys

import pyarrow.parquet as pq

table = pq.read_table(sys.argv[1])
print(table.schema)
print(f"{table.num_rows} rows; busiest destination chain: count = {max(table['count'].to_pylist())}")
try:
    import pandas  # noqa: F401
except ImportError:
    print("(pandas is not installed: skipping the pandas view)")
else:
    frame = table.to_pandas()
    print(frame.groupby("protocol_type", observed=True).agg(packets=("count", "size"), bytes=("src_bytes", "sum")))
EOF

step kavrel features examples/sample-lo.pcap examples/sample-lo.pcap -j 2 -o "$out/features-2x.parquet"
"$kavrel" features "$here/sample-lo.pcap" "$here/sample-lo.pcap" -j 2 -o "$out/features-2x.parquet"

note "label the features with the IDS's alerts on the same packets (times in UTC)"
step kavrel features examples/sample-lo.pcap --alerts examples/sample-lo.alerts --alerts-tz UTC -o "$out/labelled.parquet"
"$kavrel" features "$here/sample-lo.pcap" --alerts "$here/sample-lo.alerts" --alerts-tz UTC -o "$out/labelled.parquet"
"$python" - "$out/labelled.parquet" <<'EOF'
import sys

import pyarrow.compute as pc
import pyarrow.parquet as pq

table = pq.read_table(sys.argv[1])
labelled = table.filter(pc.greater(table["alert_count"], 0))
print(f"{labelled.num_rows} of {table.num_rows} rows labelled:")
for row in labelled.select(["timestamp", "protocol_type", "dst_port", "alert_sid", "alert_msg"]).to_pylist():
    print("  ", row)
EOF

step kavrel alerts examples/alerts.log --tz UTC -o "$out/alerts.parquet"
"$kavrel" alerts "$here/alerts.log" --tz UTC -o "$out/alerts.parquet"

cp "$here/alerts.log" "$out/alerts.log"
step kavrel alerts "$out/alerts.log" --subnet 192.168.1.0/24 -o "$out/alerts.csv"
"$kavrel" alerts "$out/alerts.log" --subnet 192.168.1.0/24 -o "$out/alerts.csv"
head -n 4 "$out/alerts.csv"

printf '\nOutputs in %s: connections.parquet, kdd.csv, features.parquet, features.csv, packets.csv, features-2x.parquet, labelled.parquet,\nalerts.parquet, alerts.csv\n' "$out"
