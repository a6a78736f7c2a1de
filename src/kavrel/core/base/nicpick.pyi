"""Capture devices and the automatic choice of one."""

from typing import TypedDict, type_check_only

@type_check_only
class DeviceEntry(TypedDict):
    name: str
    description: str
    flags: int

def get_all_devices() -> list[DeviceEntry]: ...
def get_auto_device() -> bytes | None: ...
