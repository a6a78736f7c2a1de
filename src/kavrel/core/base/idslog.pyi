"""Fast-alert IDS log lines to CSV, with internal-subnet flags."""

import re
from typing import TypedDict

SNORT_PATTERN: re.Pattern[str]

_ParsedAlert = TypedDict(
    "_ParsedAlert", {"ts": str, "sid": str, "msg": str, "class": str, "pri": str, "proto": str, "src": str, "dst": str}
)

def parse_snort_line(line: str | None) -> _ParsedAlert | None: ...
def is_internal(ip_str: str | None, subnet_str: str | None) -> int: ...
def process_alerts_to_csv(alert_log_path: str | None, ip_range: str | None) -> str | None: ...
