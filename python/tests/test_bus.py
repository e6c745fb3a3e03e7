"""Opening, shutting down and failures of the bus, through python-can's public API."""

import ctypes
import logging
import threading
import time

import can
import pytest

from conftest import OUT_ERROR, OUT_IGNORE, OUT_TAKE
from ovelcanfd_can.library import Stats


def open_bus(**kwargs) -> can.BusABC:
    return can.Bus(interface="ovelcanfd", **kwargs)


def test_interface_is_registered_through_the_entry_point():
    import importlib.metadata

    names = [entry.value for entry in importlib.metadata.entry_points(group="can.interface") if entry.name == "ovelcanfd"]
    assert names == ["ovelcanfd_can:OvelCanFdBus"]
    assert "ovelcanfd" in can.interfaces.VALID_INTERFACES


def test_open_starts_every_channel_and_shutdown_stops_them(sim):
    bus = open_bus(channel="0, 1", bitrate=500000, data_bitrate=2000000)
    assert type(bus).__name__ == "OvelCanFdBus"
    assert sim.started(0) and sim.started(1)
    bus.shutdown()
    assert not sim.started(0) and not sim.started(1)
    bus.shutdown()  # a second shutdown does nothing


def test_channel_forms_select_the_channels(sim):
    with open_bus(channel=1) as bus:
        assert sim.started(1) and not sim.started(0)
    with open_bus(channel=[0, "1"]) as bus:
        assert sim.started(0) and sim.started(1)
    with open_bus() as bus:  # default channel 0
        assert sim.started(0) and not sim.started(1)
        assert bus.state == can.BusState.ACTIVE
    assert not sim.started(0)


@pytest.mark.parametrize("channel", ["0,0", "zero", 256, -1, [], True, 1.5])
def test_invalid_channel_arguments_raise_value_error(sim, channel):
    with pytest.raises(ValueError):
        open_bus(channel=channel)


@pytest.mark.parametrize("settings", [{"bitrate": 0}, {"bitrate": "fast"}, {"data_bitrate": -1}, {"listen_only": "maybe"},
                                      {"rx_latency_us": -1}, {"rx_latency_us": 10_000_001}, {"rx_latency_us": 0.5}])
def test_invalid_settings_raise_value_error(sim, settings):
    with pytest.raises(ValueError):
        open_bus(**settings)


def test_settings_given_as_text_by_configuration_files(sim):
    with open_bus(channel="0", bitrate="500000", fd="True", listen_only="false", receive_own_messages="1") as bus:
        assert bus.state == can.BusState.ACTIVE
        bus.send(can.Message(arbitration_id=1, data=b"x" * 12, is_fd=True))
        assert bus.recv(5).is_rx is False


def test_open_by_serial_number_picks_that_adapter(sim):
    second = sim.add_adapter("OVSIM0002", channels=1)
    with open_bus(serial="OVSIM0002") as bus:
        assert sim.started(0, adapter=second) and not sim.started(0, adapter=0)
        bus.send(can.Message(arbitration_id=5, data=b"\x01", is_extended_id=False))
    assert len(sim.out_frames(adapter=second)) == 1 and sim.out_frames(adapter=0) == []


def test_listen_only_is_passive(sim):
    with open_bus(listen_only=True, loopback=True) as bus:
        assert bus.state == can.BusState.PASSIVE


@pytest.mark.parametrize(
    "settings, text",
    [
        ({"serial": "NOPE"}, "failed to open device with serial number"),
        ({"channel": 2}, "channel 2: failed to set bitrate: InvalidChannel"),
        ({"channel": "0,5"}, "channel 5: failed to set bitrate: InvalidChannel"),
        ({"bitrate": 3000000}, "failed to set bitrate: InvalidBitrate(3000000)"),
    ],
)
def test_opening_failures_carry_the_library_text_and_release_everything(sim, settings, text):
    with pytest.raises(can.CanInitializationError) as failure:
        open_bus(**settings)
    assert text in str(failure.value)
    assert failure.value.error_code is not None and failure.value.error_code < 0
    assert not sim.started(0)


def test_missing_adapter_and_missing_feature_are_initialization_errors(sim):
    bare = sim.add_adapter("CLASSIC01", channels=1, features=0)
    with pytest.raises(can.CanInitializationError, match="failed to set fd mode"):
        open_bus(serial="CLASSIC01", fd=True)
    with pytest.raises(can.CanInitializationError, match="failed to set monitoring mode"):
        open_bus(serial="CLASSIC01", listen_only=True)
    with pytest.raises(can.CanInitializationError, match="failed to set hardware loopback mode"):
        open_bus(serial="CLASSIC01", loopback=True)
    assert not sim.started(0, adapter=bare)
    assert sim.lib.ovsim_reset() == 0
    with pytest.raises(can.CanInitializationError, match="failed to open device: DeviceNotFound"):
        open_bus()


def test_library_that_cannot_be_loaded_names_what_was_tried(sim, monkeypatch, tmp_path):
    missing = tmp_path / "libnothere.so"
    monkeypatch.setenv("OVELCANFD_LIBRARY", str(missing))
    with pytest.raises(can.CanInterfaceNotImplementedError) as failure:
        open_bus()
    assert str(missing) in str(failure.value) and "OVELCANFD_LIBRARY" in str(failure.value)


def wait_for_failed_sends(bus, count):
    """Waits until the library has counted `count` failed queued sends on the bus's handle."""
    adapter = bus._adapter  # pylint: disable=protected-access
    deadline = time.monotonic() + 30
    while True:
        stats = Stats(size=ctypes.sizeof(Stats))
        assert adapter.library.ovel_canfd_get_stats(adapter.handle, ctypes.byref(stats)) == 0
        if stats.send_failed >= count:
            return
        assert time.monotonic() < deadline, f"{stats.send_failed} failed sends, not {count}"
        time.sleep(0.005)


def test_frames_failing_after_send_are_raised_by_the_next_send_and_logged_at_shutdown(sim, caplog):
    bus = open_bus()
    sim.lib.ovsim_set_time_scale(0.01)
    # The adapter never takes the transfer: the library fails it after its (scaled) 1 s.
    sim.set_out_behaviour(OUT_IGNORE)
    bus.send(can.Message(arbitration_id=1, data=b"\x01"))
    wait_for_failed_sends(bus, 1)
    sim.set_out_behaviour(OUT_TAKE)
    with pytest.raises(can.CanOperationError, match=r"channel 0: 1 message did not go out: the adapter did not "
                                                    r"take it within 1 s \(no other node acknowledges\?\)"):
        bus.send(can.Message(arbitration_id=2, data=b"\x02"))
    sim.set_out_behaviour(OUT_ERROR)
    bus.send(can.Message(arbitration_id=3, data=b"\x03"))
    wait_for_failed_sends(bus, 2)
    sim.set_out_behaviour(OUT_TAKE)
    with pytest.raises(can.CanOperationError, match="1 message did not go out: the USB transfer failed"):
        bus.send(can.Message(arbitration_id=4, data=b"\x04"))
    bus.send(can.Message(arbitration_id=5, data=b"\x05"))  # each failure is raised once
    assert [frame.can_id & 0x1FFFFFFF for frame in sim.out_frames()] == [1, 3, 5]
    # No node acknowledges: the frame is still in the adapter when shutdown stops the channel.
    sim.set_acknowledged(False)
    bus.send(can.Message(arbitration_id=6, data=b"\x06"))
    with caplog.at_level(logging.WARNING, logger="can.ovelcanfd"):
        bus.shutdown()
    assert "channel 0: 1 message did not go out: it was still not on the bus when its channel was stopped" in caplog.text


def test_send_timeout_is_the_wait_for_room_in_the_channels_window(sim):
    # No node acknowledges and the adapter buffers a whole window: the 10 frames in flight stay.
    sim.set_tx_buffer_frames(16)
    message = lambda n: can.Message(arbitration_id=n, data=bytes([n]), is_extended_id=False)
    with open_bus(receive_own_messages=True) as bus:
        sim.set_acknowledged(False)
        for n in range(10):
            bus.send(message(n), timeout=0)
        with pytest.raises(can.CanOperationError, match="Transmit buffer full"):
            bus.send(message(10), timeout=0)
        started = time.monotonic()
        with pytest.raises(can.CanOperationError, match="Transmit buffer full.* within 0.2 s"):
            bus.send(message(10), timeout=0.2)
        assert time.monotonic() - started >= 0.2
        outcome = []
        blocked = threading.Thread(target=lambda: outcome.append(bus.send(message(10))))
        blocked.start()
        blocked.join(0.2)
        assert blocked.is_alive(), "timeout=None returned while the window was full"
        sim.set_acknowledged(True)
        blocked.join(30)
        assert not blocked.is_alive() and outcome == [None]
        echoes = [bus.recv(5).arbitration_id for _ in range(11)]
        assert bus.recv(0.1) is None
    # Every frame once, in order: none of the refused sends went out.
    assert echoes == list(range(11))
    assert [frame.can_id for frame in sim.out_frames()] == list(range(11))


def test_a_closed_bus_refuses_to_send_and_ends_reception(sim):
    bus = open_bus()
    sim.feed(0, 0x10, b"\x01")
    assert bus.recv(5).arbitration_id == 0x10
    sim.feed(0, 0x11, b"\x02")
    bus.shutdown()
    # At once, whatever was still queued.
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.recv(0)
    assert drain(bus) == []
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.send(can.Message(arbitration_id=1, data=b"\x01"))


def drain(bus):
    ids = []
    try:
        while True:
            ids.append(bus.recv(None).arbitration_id)
    except can.CanOperationError:
        return ids


def test_shutdown_wakes_a_reader_blocked_in_recv(sim):
    bus = open_bus()
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(drain(bus)))
    reader.start()
    bus.shutdown()
    reader.join(10)
    assert not reader.is_alive() and outcome == [[]]


def test_concurrent_senders_lose_no_frame(sim):
    with open_bus(receive_own_messages=True) as bus:
        def sender(base):
            for n in range(50):
                bus.send(can.Message(arbitration_id=base + n, data=bytes([n]), is_extended_id=False))

        threads = [threading.Thread(target=sender, args=(base,)) for base in (0x100, 0x200, 0x300)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        echoes = [bus.recv(5).arbitration_id for _ in range(150)]
    for base in (0x100, 0x200, 0x300):
        assert [i for i in echoes if base <= i < base + 0x100] == list(range(base, base + 50))



def test_buses_on_channels_of_one_adapter_share_it_and_close_independently(sim):
    first = open_bus(channel=0, receive_own_messages=True)
    second = open_bus(channel=1)
    with pytest.raises(can.CanInitializationError, match="channel 1 of this adapter is already used"):
        open_bus(channel="1")
    sim.feed(0, 0x10, b"\x00")
    sim.feed(1, 0x11, b"\x01")
    assert (first.recv(5).arbitration_id, second.recv(5).arbitration_id) == (0x10, 0x11)
    assert first.recv(0) is None and second.recv(0) is None
    first.send(can.Message(arbitration_id=0x20, data=b"\x02", is_extended_id=False))
    assert first.recv(5).is_rx is False and second.recv(0.1) is None
    first.shutdown()
    assert not sim.started(0) and sim.started(1)
    sim.feed(1, 0x12, b"\x03")
    assert second.recv(5).arbitration_id == 0x12
    second.send(can.Message(arbitration_id=0x21, data=b"\x04", is_extended_id=False, channel=1))
    second.shutdown()
    assert not sim.started(1)
    assert [(f.channel, f.can_id) for f in sim.out_frames()] == [(0, 0x20), (1, 0x21)]


def test_a_bus_dropped_without_shutdown_releases_the_adapter_when_collected(sim):
    import gc

    bus = open_bus(channel="0,1")
    bus.send(can.Message(arbitration_id=1, data=b"\x01"))
    del bus
    gc.collect()
    assert not sim.started(0) and not sim.started(1)
    with open_bus(channel=0):  # the adapter can be opened again
        assert sim.started(0)


def test_unknown_arguments_are_refused(sim):
    with pytest.raises(can.CanInitializationError, match="bitrat"):
        open_bus(bitrat=500000)
    assert not sim.started(0)
    with open_bus(single_handle=True):  # what can.logger passes to every interface
        assert sim.started(0)


def test_two_adapters_of_one_process_hear_each_other_on_a_shared_bus(tmp_path):
    import os
    import subprocess
    import sys

    script = """
import can
a = can.Bus(interface="ovelcanfd", serial="A1", channel=0, bitrate=500000)
b = can.Bus(interface="ovelcanfd", serial="B1", channel=0, bitrate=500000)
a.send(can.Message(arbitration_id=0x123, data=b"\\x01\\x02", is_extended_id=False))
heard = b.recv(5)
print(hex(heard.arbitration_id), heard.data.hex(), heard.is_rx, a.recv(0.2))
a.shutdown()
b.shutdown()
"""
    environment = dict(os.environ, OVSIM_BUS=str(tmp_path / "bus"), OVSIM_ADAPTERS="A1:1,B1:1")
    result = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True, timeout=60)
    assert result.stdout.split() == ["0x123", "0102", "True", "None"], result.stderr
def test_recv_raises_once_reception_ended_by_itself(sim):
    with open_bus() as bus:
        sim.feed(0, 0x123, b"\x01")
        assert bus.recv(5).arbitration_id == 0x123
        sim.lib.ovsim_halt_in(0, 1)  # a stall that clearing does not cure
        with pytest.raises(can.CanOperationError, match="stalls however often it is cleared"):
            bus.recv(10)
def test_detected_configs_open_the_adapters_that_are_free(sim):
    assert sim.lib.ovsim_add_adapter(None, 0, 0x103, 80_000_000) == 1  # no serial number
    configs = can.detect_available_configs(interfaces=["ovelcanfd"])
    assert configs == [
        {"interface": "ovelcanfd", "channel": 0, "serial": "OVSIM0001"},
        {"interface": "ovelcanfd", "channel": 0, "path": "1-2"},
    ]
    with can.Bus(**configs[1]) as bus:
        assert bus.channel_info == "ovelcanfd adapter - at USB 1-2, channel 0"
        assert sim.started(0, adapter=1) and not sim.started(0, adapter=0)
        assert can.detect_available_configs(interfaces=["ovelcanfd"]) == configs[:1]
    with open_bus(serial="OVSIM0001") as bus:
        assert bus.channel_info == "ovelcanfd adapter OVSIM0001 at USB 1-1, channel 0"


def sent_timing(bus, data_phase=False):
    """(bitrate, sample point permille, brp, prop_seg, phase_seg1, phase_seg2, sjw) last sent."""
    import ctypes

    from ovelcanfd_can.library import BitTimingRecord, load_library

    record = BitTimingRecord()
    assert load_library().ovel_canfd_get_bit_timing(bus._adapter.handle, bus.channels[0], data_phase,
                                                    ctypes.byref(record)) == 0
    return (record.bitrate, record.sample_point_permille, record.brp, record.prop_seg, record.phase_seg1,
            record.phase_seg2, record.sjw)


def test_bit_timing_defaults_to_the_tools_bitrates_and_cia_sample_points(sim):
    with open_bus() as bus:  # no bitrate: 500 kbit/s as the ovelcanfd tool, not the adapter's own
        assert sent_timing(bus)[:2] == (500000, 875)
        assert sent_timing(bus, True)[0] == 0  # classic: no data phase sent
        if hasattr(can, "CanProtocol"):
            assert bus.protocol == can.CanProtocol.CAN_20
    with open_bus(fd=True) as bus:
        assert (sent_timing(bus)[:2], sent_timing(bus, True)[:2]) == ((500000, 875), (2000000, 750))
        if hasattr(can, "CanProtocol"):
            assert bus.protocol == can.CanProtocol.CAN_FD
    with open_bus(bitrate=250000, data_bitrate=4000000, sample_point=80, data_sample_point="0.7") as bus:
        assert (sent_timing(bus)[:2], sent_timing(bus, True)[:2]) == ((250000, 800), (4000000, 700))
    with pytest.raises(ValueError, match="sample_point"):
        open_bus(sample_point=100)


def test_explicit_timing_is_sent_as_given_within_the_adapter_limits(sim):
    nominal = dict(f_clock=80_000_000, brp=10, tseg1=13, tseg2=2, sjw=2)
    with open_bus(timing=can.BitTiming(**nominal)) as bus:
        assert sent_timing(bus) == (500000, 875, 10, 6, 7, 2, 2)
    if hasattr(can, "BitTimingFd"):  # python-can 4.3+
        timing = can.BitTimingFd(f_clock=80_000_000, nom_brp=2, nom_tseg1=63, nom_tseg2=16, nom_sjw=16,
                                 data_brp=1, data_tseg1=29, data_tseg2=10, data_sjw=10)
        with open_bus(timing=timing) as bus:
            assert bus.protocol == can.CanProtocol.CAN_FD
            assert (sent_timing(bus)[:2], sent_timing(bus, True)[:2]) == ((500000, 800), (2000000, 750))
    with pytest.raises(can.CanInitializationError, match="failed to set bit timing: InvalidArgument..sjw"):
        open_bus(timing=can.BitTiming(**dict(nominal, sjw=3)))  # longer than phase_seg2
    with pytest.raises(can.CanInitializationError, match="40000000 Hz CAN clock"):
        open_bus(timing=can.BitTiming(**dict(nominal, f_clock=40_000_000)))
    assert not sim.started(0)


def test_messages_of_other_channels_go_out_where_the_bus_sends(sim):
    def message(channel):
        return can.Message(arbitration_id=0x10, data=b"\x01", is_extended_id=False, channel=channel)

    with open_bus(channel=0) as bus:  # one channel: everything goes out on it
        for channel in (1, "1", "can1", "vcan7", None):
            bus.send(message(channel))
    with open_bus(channel="can0,can1") as bus:
        assert bus.channels == [0, 1]
        for channel in (1, "can1", "can0", "0", None, "vcan3"):
            bus.send(message(channel))
        with pytest.raises(can.CanOperationError, match="not one of this bus's channels"):
            bus.send(message("can5"))
    with open_bus(channel="can1") as bus:
        assert sim.started(1) and not sim.started(0)
    assert [f.channel for f in sim.out_frames()] == [0] * 5 + [1, 1, 0, 0, 0, 0]


def test_a_receive_latency_budget_delivers_every_frame_in_order(sim):
    with open_bus(rx_latency_us="20000") as bus:
        for n in range(200):
            sim.feed(0, 0x100, n.to_bytes(2, "little"))
        received = [bus.recv(5) for _ in range(200)]
    assert [int.from_bytes(m.data, "little") for m in received if m is not None] == list(range(200))


def test_frames_delivered_while_the_bus_opens_are_not_lost(sim, monkeypatch):
    import ovelcanfd_can.adapter as adapter_module

    # Widens the moment between the channel's start and the bus being ready to take frames.
    registered = adapter_module.SharedAdapter.add_sink

    def add_sink_slowly(self, channels, sink):
        import time

        time.sleep(0.2)
        registered(self, channels, sink)

    monkeypatch.setattr(adapter_module.SharedAdapter, "add_sink", add_sink_slowly)
    sim.feed(0, 0x10, b"\x00")  # the adapter hands it over as soon as reception starts
    with open_bus() as bus:
        received = bus.recv(5)
        assert received is not None and received.arbitration_id == 0x10


def test_state_can_be_set_passive_and_active_as_can_logger_does(sim):
    with open_bus(channel="0,1") as bus:
        bus.state = can.BusState.PASSIVE
        assert bus.state == can.BusState.PASSIVE and sim.started(0) and sim.started(1)
        sim.feed(1, 0x11, b"\x01")
        assert bus.recv(5).arbitration_id == 0x11
        bus.state = can.BusState.ACTIVE
        assert bus.state == can.BusState.ACTIVE
        bus.send(can.Message(arbitration_id=0x12, data=b"\x02", is_extended_id=False))
        with pytest.raises(ValueError):
            bus.state = can.BusState.ERROR


def test_a_failed_open_leaves_a_bus_that_python_can_sees_as_shut_down(sim):
    with pytest.raises(can.CanInitializationError) as failure:
        open_bus(serial="NOPE")
    # python-can 4.3+ warns "was not properly shut down" when it collects a bus without this.
    traceback = failure.value.__traceback__
    buses = []
    while traceback is not None:
        candidate = traceback.tb_frame.f_locals.get("self")
        if type(candidate).__name__ == "OvelCanFdBus":
            buses.append(candidate)
        traceback = traceback.tb_next
    assert buses and all(bus._is_shutdown for bus in buses)
