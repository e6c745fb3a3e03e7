"""Frames both ways: the exact wire bytes sent and every message field received."""

import can
import pytest

from conftest import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, FLAG_BRS, FLAG_ESI, FLAG_FD


def open_bus(**kwargs) -> can.BusABC:
    return can.Bus(interface="ovelcanfd", **kwargs)


def test_loopback_echo_comes_back_only_with_receive_own_messages(sim):
    with open_bus(bitrate=500000, loopback=True, receive_own_messages=True) as bus:
        bus.send(can.Message(arbitration_id=0x123, data=b"\x11\x22\x33", is_extended_id=False))
        echo = bus.recv(5)
        assert (echo.arbitration_id, echo.is_extended_id, echo.data, echo.dlc) == (0x123, False, b"\x11\x22\x33", 3)
        assert echo.is_rx is False and echo.channel == 0 and not echo.is_fd
    with open_bus(bitrate=500000, loopback=True) as bus:
        bus.send(can.Message(arbitration_id=0x124, data=b"\x01", is_extended_id=False))
        # The adapter echoes before it takes the next frame from the bus, so an echo that got
        # through would come out ahead of this one.
        sim.feed(0, 0x55, b"\x05")
        received = bus.recv(5)
        assert (received.arbitration_id, received.is_rx, received.data) == (0x55, True, b"\x05")
    assert [frame.can_id for frame in sim.out_frames()] == [0x123, 0x124]


def test_classic_frame_wire_bytes(sim):
    with open_bus(bitrate=500000) as bus:
        bus.send(can.Message(arbitration_id=0x1ABCDEF0 & 0x1FFFFFFF, data=b"\xde\xad\xbe\xef\x00\x01\x02\x03"))
        bus.send(can.Message(arbitration_id=0x7FF, data=b"", is_extended_id=False))
    first, second = sim.out_frames()
    assert (first.can_id, first.dlc, first.channel, first.flags) == (0x1ABCDEF0 | CAN_EFF_FLAG, 8, 0, 0)
    assert first.data[:8] == b"\xde\xad\xbe\xef\x00\x01\x02\x03" and first.wire_length == 20
    assert (second.can_id, second.dlc, second.data[:8]) == (0x7FF, 0, bytes(8))


def test_fd_frames_with_brs_and_esi_and_64_bytes_both_ways(sim):
    payload = bytes(range(64))
    with open_bus(bitrate=500000, data_bitrate=2000000, fd=True, receive_own_messages=True) as bus:
        bus.send(can.Message(arbitration_id=0x1234567, data=payload, is_fd=True, bitrate_switch=True, error_state_indicator=True))
        echo = bus.recv(5)
        assert (echo.is_fd, echo.bitrate_switch, echo.error_state_indicator, echo.dlc, echo.data) == (True, True, True, 64, payload)
        assert echo.is_rx is False

        sim.feed(0, 0x18DAF110 | CAN_EFF_FLAG, payload[::-1], dlc=15, flags=FLAG_FD | FLAG_BRS | FLAG_ESI)
        sim.feed(0, 0x321, bytes(range(12)), dlc=9, flags=FLAG_FD)
        sim.feed(0, 0x322, bytes(range(1, 9)), dlc=8)
        long, twelve, classic = bus.recv(5), bus.recv(5), bus.recv(5)
    assert (long.arbitration_id, long.is_extended_id, long.is_fd, long.bitrate_switch, long.error_state_indicator) == (
        0x18DAF110, True, True, True, True)
    assert (long.dlc, long.data, long.is_rx, long.channel) == (64, payload[::-1], True, 0)
    assert (twelve.dlc, twelve.data, twelve.bitrate_switch, twelve.is_extended_id) == (12, bytes(range(12)), False, False)
    assert (classic.is_fd, classic.dlc, classic.data) == (False, 8, bytes(range(1, 9)))
    sent = sim.out_frames()[0]
    assert (sent.can_id, sent.dlc, sent.flags, sent.data[:64], sent.wire_length) == (
        0x1234567 | CAN_EFF_FLAG, 15, FLAG_FD | FLAG_BRS | FLAG_ESI, payload, 76)


def test_fd_payload_between_dlc_steps_is_padded_to_the_next_length(sim):
    with open_bus(fd=True, receive_own_messages=True) as bus:
        bus.send(can.Message(arbitration_id=0x10, data=b"\xff" * 10, is_fd=True))
        echo = bus.recv(5)
    assert (echo.dlc, echo.data) == (12, b"\xff" * 10 + b"\x00\x00")
    assert sim.out_frames()[0].dlc == 9


def test_classic_dlc_above_8_is_received_as_8_bytes(sim):
    with open_bus() as bus:
        sim.feed(0, 0x10, bytes(range(8)), dlc=15)
        message = bus.recv(5)
    assert (message.dlc, message.data, message.is_fd) == (8, bytes(range(8)), False)


def test_two_channels_interleaved_keep_their_order(sim):
    with open_bus(channel="0,1", fd=True, receive_own_messages=True) as bus:
        for sequence in range(40):
            sim.feed(sequence % 2, 0x200 + sequence % 2, sequence.to_bytes(2, "little"))
        received = [bus.recv(5) for _ in range(40)]
        for sequence in range(10):
            bus.send(can.Message(arbitration_id=0x300 + sequence, data=bytes([sequence]), channel=sequence % 2, is_extended_id=False))
        echoes = [bus.recv(5) for _ in range(10)]
    assert [(m.channel, m.arbitration_id, int.from_bytes(m.data, "little")) for m in received] == [
        (s % 2, 0x200 + s % 2, s) for s in range(40)]
    assert [(m.channel, m.arbitration_id, m.is_rx) for m in echoes] == [(s % 2, 0x300 + s, False) for s in range(10)]
    assert [(f.channel, f.can_id) for f in sim.out_frames()] == [(s % 2, 0x300 + s) for s in range(10)]


def test_error_frames_are_received_and_refused_for_sending_remote_frames_go_both_ways(sim):
    with open_bus(receive_own_messages=True) as bus:
        sim.feed(0, 0x004 | CAN_ERR_FLAG, bytes([0, 0x08, 0, 0, 0, 0, 0, 0]))
        sim.feed(0, 0x7DF | CAN_RTR_FLAG, b"", dlc=4)
        error, remote = bus.recv(5), bus.recv(5)
        bus.send(can.Message(arbitration_id=0x123, is_remote_frame=True, dlc=6, is_extended_id=False))
        with pytest.raises(can.CanOperationError, match="error frames cannot be sent"):
            bus.send(can.Message(arbitration_id=0x004, is_error_frame=True, data=bytes(8), is_extended_id=False))
        remote_echo = bus.recv(5)
    assert (error.is_error_frame, error.arbitration_id, error.data) == (True, 0x004, bytes([0, 0x08, 0, 0, 0, 0, 0, 0]))
    assert (remote.is_remote_frame, remote.arbitration_id, remote.dlc, remote.data) == (True, 0x7DF, 4, bytearray())
    assert (remote_echo.is_remote_frame, remote_echo.dlc, remote_echo.data) == (True, 6, bytearray())
    [remote_out] = sim.out_frames()
    assert (remote_out.can_id, remote_out.dlc) == (0x123 | CAN_RTR_FLAG, 6)


def remote_with_data() -> can.Message:
    message = can.Message(arbitration_id=1, is_remote_frame=True, dlc=1)
    message.data = bytearray(b"\x01")
    return message


@pytest.mark.parametrize(
    "message",
    [
        can.Message(arbitration_id=0x800, is_extended_id=False),
        can.Message(arbitration_id=0x20000000),
        can.Message(arbitration_id=-1),
        can.Message(arbitration_id=1, data=bytes(9)),
        can.Message(arbitration_id=1, data=bytes(65), is_fd=True),
        can.Message(arbitration_id=1, is_remote_frame=True, is_fd=True),
        remote_with_data(),
        can.Message(arbitration_id=1, is_remote_frame=True, dlc=9),
        can.Message(arbitration_id=1, data=b"\x01", bitrate_switch=True),
        can.Message(arbitration_id=1, is_error_frame=True),
    ],
    ids=["std-id", "ext-id", "negative-id", "classic-9", "fd-65", "fd-remote", "remote-data", "remote-dlc", "brs-classic", "error-frame"],
)
def test_invalid_messages_raise_can_errors_and_send_nothing(sim, message):
    with open_bus(fd=True) as bus:
        with pytest.raises(can.CanOperationError) as refused:
            bus.send(message)
        assert isinstance(refused.value, ValueError)  # what earlier versions raised
    assert sim.out_frames() == []


def test_fd_frame_on_a_classic_bus_is_refused(sim):
    with open_bus() as bus:
        with pytest.raises(ValueError, match="fd"):
            bus.send(can.Message(arbitration_id=1, data=b"\x01", is_fd=True))
    assert sim.out_frames() == []


def test_foreign_channel_label_goes_out_on_the_first_channel(sim):
    with open_bus(channel="1,0") as bus:
        bus.send(can.Message(arbitration_id=1, data=b"\x01", channel="vcan0", is_extended_id=False))
        bus.send(can.Message(arbitration_id=2, data=b"\x02", channel="can0", is_extended_id=False))
    assert [(f.can_id, f.channel) for f in sim.out_frames()] == [(1, 1), (2, 0)]
