"""python-can's own machinery over the bus: Notifier, BufferedReader, Logger, can.logger, can.player."""

import os
import re
import selectors
import signal
import subprocess
import sys
import time

import can
import can.player
import pytest

from conftest import CAN_EFF_FLAG, FLAG_FD


def test_notifier_feeds_buffered_reader_and_logger(sim, tmp_path):
    log_path = tmp_path / "traffic.log"
    frames = [(0x100 + n, bytes([n]) * (n % 9)) for n in range(30)]
    with can.Bus(interface="ovelcanfd", channel="0,1", fd=True) as bus:
        reader = can.BufferedReader()
        logger = can.Logger(str(log_path))
        notifier = can.Notifier(bus, [reader, logger], timeout=0.1)
        for n, (can_id, data) in enumerate(frames):
            sim.feed(n % 2, can_id, data)
        sim.feed(1, 0x1ABCDE | CAN_EFF_FLAG, bytes(range(20)), dlc=11, flags=FLAG_FD)
        received = [reader.get_message(5) for _ in range(len(frames) + 1)]
        notifier.stop()
        logger.stop()
    assert [(m.arbitration_id, bytes(m.data), m.channel) for m in received[:-1]] == [
        (can_id, data, n % 2) for n, (can_id, data) in enumerate(frames)]
    assert (received[-1].is_fd, received[-1].dlc, received[-1].is_extended_id) == (True, 20, True)
    logged = list(can.LogReader(str(log_path)))
    assert [(m.arbitration_id, bytes(m.data)) for m in logged] == [(m.arbitration_id, bytes(m.data)) for m in received]


def read_lines_until(process, count: int, pattern: str, bound: float = 30.0):
    """Lines of the process's output until `count` of them match; fails after `bound` seconds."""
    matching, deadline, pending = [], time.monotonic() + bound, b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while len(matching) < count:
            remaining = deadline - time.monotonic()
            assert remaining > 0, f"only {len(matching)} lines matching {pattern!r} within {bound} s"
            if not selector.select(remaining):
                continue
            chunk = os.read(process.stdout.fileno(), 65536)
            assert chunk, f"the process ended after {len(matching)} matching lines"
            pending += chunk
            *lines, pending = pending.split(b"\n")
            matching += [line.decode() for line in lines if re.search(pattern, line.decode())]
    return matching[:count]


@pytest.mark.parametrize("state", [[], ["--passive"]])
def test_can_logger_prints_the_adapter_traffic(sim, state):
    environment = dict(os.environ, OVSIM_ADAPTERS="LOGGER01:1:1", OVSIM_TRAFFIC="500")
    command = [sys.executable, "-u", "-m", "can.logger", "-i", "ovelcanfd", "-c", "0", "-b", "500000", *state]
    process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        lines = read_lines_until(process, 20, r"ID: ")
    finally:
        process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=30)
    assert process.returncode == 0, errors.decode()
    # The generated stream: identifier 0x100, 8 data bytes holding a little-endian sequence number.
    sequences = []
    for line in lines:
        found = re.search(r"ID:\s+(\w+)\s.*DL:\s+(\d+)\s+((?:[0-9a-f]{2} ){8})", line)
        assert found, line
        assert (int(found.group(1), 16), int(found.group(2))) == (0x100, 8)
        sequences.append(int.from_bytes(bytes.fromhex(found.group(3)), "little"))
    if state:
        # Going listen-only restarts the channel after the first frames: it misses a few.
        assert sequences == sorted(set(sequences))
    else:
        assert sequences == list(range(20))


def test_can_player_sends_a_log_file(sim, tmp_path, monkeypatch):
    log_path = tmp_path / "replay.log"
    log_path.write_text(
        "(1.000000) can0 123#1122\n"
        "(1.001000) can0 1ABCDEF0#DEADBEEF\n"
        "(1.002000) can0 456##1" + "AB" * 12 + "\n"
        "(1.003000) can0 789#R\n"
        "(1.004000) can1 7FF#01\n"
    )
    arguments = ["can.player", "-i", "ovelcanfd", "-c", "0,1", "-b", "500000", "--fd", "--ignore-timestamps", str(log_path)]
    monkeypatch.setattr(sys, "argv", arguments)
    can.player.main()
    sent = [(f.can_id, f.dlc, f.flags, f.data[: 12 if f.flags else 8]) for f in sim.out_frames()]
    assert sent == [
        (0x123, 2, 0, b"\x11\x22" + bytes(6)),
        (0x1ABCDEF0 | CAN_EFF_FLAG, 4, 0, b"\xde\xad\xbe\xef" + bytes(4)),
        (0x456, 9, FLAG_FD | 0x04, b"\xab" * 12),
        (0x789 | 0x40000000, 0, 0, bytes(8)),
        (0x7FF, 1, 0, b"\x01" + bytes(7)),
    ]
    assert [f.channel for f in sim.out_frames()] == [0, 0, 0, 0, 1]  # each on its logged channel
    assert not sim.started(0) and not sim.started(1)


SIM_TOOL = os.environ.get("OVELCANFD_SIM_TOOL")
needs_sim_tool = pytest.mark.skipif(not SIM_TOOL, reason="OVELCANFD_SIM_TOOL names the ovelcanfd-sim executable")


def run_sim_tool(*arguments):
    done = subprocess.run([SIM_TOOL, *arguments], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@needs_sim_tool
def test_candump_logs_go_both_ways_between_python_can_and_the_tool(tmp_path):
    # python-can's writer (" R"/" T" direction marks, error frames, FD flags) -> play.
    python_log = tmp_path / "python.log"
    writer = can.CanutilsLogWriter(str(python_log))
    for message in [
        can.Message(timestamp=1.0, arbitration_id=0x123, data=b"\x11\x22", is_extended_id=False, channel=0),
        can.Message(timestamp=1.25, arbitration_id=0x1ABCDEF0, data=b"\xde\xad", channel="can1", is_rx=False),
        can.Message(timestamp=1.5, arbitration_id=0x456, is_extended_id=False, is_fd=True, bitrate_switch=True,
                    data=bytes(range(12)), channel=1),
        can.Message(timestamp=1.75, arbitration_id=0x789, is_extended_id=False, is_remote_frame=True, channel=0),
        can.Message(timestamp=2.0, is_error_frame=True, channel=0),
    ]:
        writer.on_message_received(message)
    writer.stop()
    assert run_sim_tool("play", "-v", "-t", str(python_log)).splitlines() == [
        "(0000000001.000000) can0 123#1122",
        "(0000000001.250000) can1 1ABCDEF0#DEAD",
        "(0000000001.500000) can1 456##1000102030405060708090A0B",
        "(0000000001.750000) can0 789#R",
    ]

    # dump's log file -> python-can's reader; the generated stream counts in its first bytes.
    our_log = tmp_path / "ours.log"
    environment = dict(os.environ, OVSIM_TRAFFIC="500:fd")
    done = subprocess.run([SIM_TOOL, "dump", "-n", "6", "--log", str(our_log)], env=environment,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    read = list(can.LogReader(str(our_log)))
    # Frames generated before a channel had started are not on the bus for it: the counts may
    # skip, but each frame is the one its count says, in order.
    counts = [int.from_bytes(m.data[:4], "little") for m in read]
    assert len(read) == 6 and counts == sorted(set(counts))
    assert [(m.arbitration_id, m.channel, m.is_fd, m.is_extended_id, len(m.data)) for m in read] == [
        (0x100 + n % 2, f"can{n % 2}", True, False, 64) for n in counts]
    assert read[0].timestamp > 1.6e9


@needs_sim_tool
def test_a_bus_opened_without_bitrates_hears_the_tool_with_its_defaults(tmp_path):
    # Both sides' defaults: 500 kbit/s, 2 Mbit/s data phase; the bus delivers a frame only to a
    # channel at the sender's bitrates.
    script = """
import subprocess, sys
import can
with can.Bus(interface="ovelcanfd", channel=0, fd=True) as bus:
    subprocess.run([sys.argv[1], "send", "0", "123#11", "456##1AABB"], check=True)
    heard = [bus.recv(10) for _ in range(2)]
    print([(hex(m.arbitration_id), m.is_fd) for m in heard if m is not None])
"""
    environment = dict(os.environ, OVSIM_BUS=str(tmp_path / "bus"))
    result = subprocess.run([sys.executable, "-c", script, SIM_TOOL], env=environment, capture_output=True,
                            text=True, timeout=120)
    assert result.stdout.strip() == "[('0x123', False), ('0x456', True)]", result.stderr
