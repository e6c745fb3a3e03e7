"""Message timestamps from the adapter's clock and the bus state from its error frames."""

import struct
import time

import can

from conftest import CAN_ERR_FLAG, FEATURES_ALL, ECHO_ID_RX

FEATURE_HW_TIMESTAMP = 0x10


def test_timestamp_is_the_adapter_stamp_when_it_has_one(sim):
    assert sim.add_adapter("OVSIM0002", features=FEATURES_ALL | FEATURE_HW_TIMESTAMP) == 1
    with can.Bus(interface="ovelcanfd", serial="OVSIM0002") as bus:
        # A classic frame with its stamp after the 8 data bytes: 5 s after the adapter was
        # plugged in, so about 5 s ahead of the host's clock.
        payload = bytes(range(8)) + struct.pack("<I", 5_000_000)
        assert sim.lib.ovsim_feed_frame(1, 0, ECHO_ID_RX, 0x12, 8, 0, payload, len(payload), 24) == 0
        msg = bus.recv(timeout=5)
        assert msg is not None and msg.data == bytes(range(8))
        assert 3.5 < msg.timestamp - time.time() < 5.5
    # Without stamps: the host's clock when the transfer completed.
    with can.Bus(interface="ovelcanfd") as bus:
        sim.feed(0, 0x34, b"\x01")
        msg = bus.recv(timeout=5)
        assert msg is not None and abs(msg.timestamp - time.time()) < 1


def test_state_follows_the_error_frames(sim):
    with can.Bus(interface="ovelcanfd") as bus:
        assert bus.state == can.BusState.ACTIVE
        sim.feed(0, CAN_ERR_FLAG | 0x204, bytes([0, 0x20, 0, 0, 0, 0, 130, 0]))
        assert bus.recv(timeout=5).is_error_frame
        assert bus.state == can.BusState.PASSIVE
        sim.feed(0, CAN_ERR_FLAG | 0x40, bytes(8))
        assert bus.recv(timeout=5).is_error_frame
        assert bus.state == can.BusState.ERROR
