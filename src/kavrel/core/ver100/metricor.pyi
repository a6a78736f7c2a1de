"""KDD-style per-packet features with a 2-second per-destination count."""

from collections.abc import Generator
from typing import Literal, NoReturn, TypedDict, type_check_only

from typing_extensions import disjoint_base

@type_check_only
class FeatureDict(TypedDict):
    timestamp: float
    src_port: int
    dst_port: int
    protocol_type: Literal["TCP", "UDP", "ICMP"]
    src_bytes: int
    land: int
    wrong_fragment: int
    count: int

@disjoint_base
class FeatureExtractor:
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def process_pcap(self, file_path: bytes | None) -> list[FeatureDict]: ...
    def process_live(self, device_name: bytes | None) -> Generator[FeatureDict, object, None]: ...
    def iter_pcap(self, file_path: bytes | None) -> Generator[FeatureDict, object, None]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...
