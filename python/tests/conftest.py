"""Fixtures over the simulated adapter built into libovelcanfd-sim.so (its ovsim_* C API)."""

import ctypes
import os
import struct
import time
from typing import List, NamedTuple

import pytest

ECHO_ID_RX = 0xFFFFFFFF
CAN_EFF_FLAG, CAN_RTR_FLAG, CAN_ERR_FLAG = 0x80000000, 0x40000000, 0x20000000
FLAG_FD, FLAG_BRS, FLAG_ESI = 0x02, 0x04, 0x08
FEATURES_ALL = 0x103  # listen-only, loopback, CAN FD
OUT_TAKE, OUT_IGNORE, OUT_ERROR = 0, 1, 3


class OutFrame(NamedTuple):
    """A host frame the adapter took on bulk OUT, decoded from its wire bytes."""

    echo_id: int
    can_id: int
    dlc: int
    channel: int
    flags: int
    data: bytes
    wire_length: int


def _load_simulator() -> ctypes.CDLL:
    path = os.environ.get("OVELCANFD_LIBRARY")
    if not path:
        pytest.exit("OVELCANFD_LIBRARY must name libovelcanfd-sim.so (see python/README.md)", 2)
    lib = ctypes.CDLL(path)
    i32, u8, u32, u64 = ctypes.c_int32, ctypes.c_uint8, ctypes.c_uint32, ctypes.c_uint64
    signatures = {
        "ovsim_reset": (i32, []),
        "ovsim_add_adapter": (i32, [ctypes.c_char_p, u8, u32, u32]),
        "ovsim_feed_frame": (i32, [i32, u8, u32, u32, u8, u8, ctypes.c_char_p, u32, i32]),
        "ovsim_out_frame_count": (i32, [i32]),
        "ovsim_out_frame": (i32, [i32, i32, ctypes.c_char_p, i32]),
        "ovsim_set_out_behaviour": (i32, [i32, i32]),
        "ovsim_halt_in": (i32, [i32, i32]),
        "ovsim_channel_started": (i32, [i32, u8]),
        "ovsim_set_time_scale": (None, [ctypes.c_double]),
        "ovsim_live_objects": (i32, []),
        "ovsim_start_stream": (i32, [i32, u64, ctypes.c_char_p, u32, ctypes.c_bool, ctypes.c_double]),
        "ovsim_set_acknowledged": (i32, [i32, i32]),
        "ovsim_set_tx_buffer_frames": (i32, [i32, u32]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


class Simulator:
    """The simulated adapters; index 0 is the default "OVSIM0001" with two CAN FD channels."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self.lib = lib

    def add_adapter(self, serial: str, channels: int = 2, features: int = FEATURES_ALL) -> int:
        return self.lib.ovsim_add_adapter(serial.encode(), channels - 1, features, 80_000_000)

    def feed(self, channel: int, can_id: int, data: bytes = b"", dlc=None, flags: int = 0, adapter: int = 0):
        """Queues a frame arriving from the bus; can_id carries the gs_usb flag bits."""
        dlc = len(data) if dlc is None else dlc
        assert self.lib.ovsim_feed_frame(adapter, channel, ECHO_ID_RX, can_id, dlc, flags, data, len(data), -1) == 0

    def out_frames(self, adapter: int = 0) -> List[OutFrame]:
        frames = []
        for index in range(self.lib.ovsim_out_frame_count(adapter)):
            buffer = ctypes.create_string_buffer(80)
            length = self.lib.ovsim_out_frame(adapter, index, buffer, 80)
            raw = buffer.raw[:length]
            echo_id, can_id, dlc, channel, flags = struct.unpack_from("<IIBBB", raw)
            frames.append(OutFrame(echo_id, can_id, dlc, channel, flags, raw[12:], length))
        return frames

    def started(self, channel: int, adapter: int = 0) -> bool:
        return self.lib.ovsim_channel_started(adapter, channel) == 1

    def set_out_behaviour(self, behaviour: int, adapter: int = 0) -> None:
        assert self.lib.ovsim_set_out_behaviour(adapter, behaviour) == 0

    def set_acknowledged(self, acknowledged: bool, adapter: int = 0) -> None:
        """False: no node acknowledges, frames stay in the adapter's transmit buffer."""
        assert self.lib.ovsim_set_acknowledged(adapter, int(acknowledged)) == 0

    def set_tx_buffer_frames(self, frames: int, adapter: int = 0) -> None:
        assert self.lib.ovsim_set_tx_buffer_frames(adapter, frames) == 0

    def live_objects(self) -> int:
        return self.lib.ovsim_live_objects()


def os_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.fixture(scope="session")
def simulator_library() -> ctypes.CDLL:
    return _load_simulator()


@pytest.fixture
def sim(simulator_library):
    """A fresh default adapter; afterwards checks that the bus left no USB object or thread behind."""
    lib = simulator_library
    assert lib.ovsim_live_objects() == 0, "a previous test left libusb objects alive"
    assert lib.ovsim_reset() == 0
    lib.ovsim_set_time_scale(1.0)
    simulator = Simulator(lib)
    assert simulator.add_adapter("OVSIM0001") == 0
    threads_before = os_thread_count()
    yield simulator
    lib.ovsim_set_time_scale(1.0)
    assert lib.ovsim_live_objects() == 0, "libusb objects left alive"
    # A joined thread can stay listed for a moment while the kernel finishes its exit; a thread
    # that is really left running never goes away.
    deadline = time.monotonic() + 2.0
    while os_thread_count() > threads_before and time.monotonic() < deadline:
        time.sleep(0.001)
    assert os_thread_count() == threads_before, "threads left running"
