#!/usr/bin/env bash
# The demo behind `make demo`: the kavrel command line on the bundled samples.
# Usage: examples/demo.sh KAVREL_COMMAND OUT_DIR
set -euo pipefail
kavrel=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
step() { printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"; }

step kavrel devices
"$kavrel" devices

step kavrel features examples/sample-lo.pcap -o "$out/features.csv"
"$kavrel" features "$here/sample-lo.pcap" -o "$out/features.csv"
head -n 6 "$out/features.csv"

step kavrel packets examples/sample-lo.pcap --format csv -o "$out/packets.csv"
"$kavrel" packets "$here/sample-lo.pcap" --format csv -o "$out/packets.csv"
head -n 3 "$out/packets.csv"

cp "$here/alerts.log" "$out/alerts.log"
step kavrel alerts "$out/alerts.log" --subnet 192.168.1.0/24
"$kavrel" alerts "$out/alerts.log" --subnet 192.168.1.0/24
head -n 4 "$out/alerts.log.csv"

printf '\nOutputs: %s/features.csv (%s rows), %s/packets.csv, %s/alerts.log.csv\n' \
  "$out" "$(($(wc -l < "$out/features.csv") - 1))" "$out" "$out"
