"""`ovelcanfd-sim serve` against python-can's own socketcand client and against raw TCP peers.

Everything stays on 127.0.0.1, on a port the system picks; every wait is bounded."""

import os
import re
import selectors
import signal
import socket
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

import can
import pytest

SIM_TOOL = os.environ.get("OVELCANFD_SIM_TOOL")
pytestmark = pytest.mark.skipif(not SIM_TOOL, reason="OVELCANFD_SIM_TOOL names the ovelcanfd-sim executable")
BOUND = 30.0


class Server:
    """`ovelcanfd-sim serve` on a free loopback port; stop() ends it with Ctrl-C."""

    def __init__(self, *options, traffic=None, adapters="SERVE001:2:1", bus_timing=False):
        environment = dict(os.environ, OVSIM_ADAPTERS=adapters, OVELCANFD_REPORT_LIVE="1")
        if bus_timing:
            environment["OVSIM_BUS_TIMING"] = "1"
        if traffic:
            environment["OVSIM_TRAFFIC"] = traffic
        command = [SIM_TOOL, "serve", "--listen", "127.0.0.1:0", *options]
        self.process = subprocess.Popen(command, env=environment, stderr=subprocess.PIPE)
        self.errors = b""
        deadline = time.monotonic() + BOUND
        while b"\n" not in self.errors or not re.search(rb"on 127\.0\.0\.1:(\d+)", self.errors):
            assert time.monotonic() < deadline, self.errors.decode()
            chunk = os.read(self.process.stderr.fileno(), 4096)
            assert chunk, "the server ended: " + self.errors.decode()
            self.errors += chunk
        self.port = int(re.search(rb"on 127\.0\.0\.1:(\d+)", self.errors).group(1))

    def bus(self, channel="can0") -> can.BusABC:
        return can.Bus(interface="socketcand", host="127.0.0.1", port=self.port, channel=channel)

    def connect(self) -> socket.socket:
        peer = socket.create_connection(("127.0.0.1", self.port), timeout=BOUND)
        return peer

    def stop(self) -> str:
        self.process.send_signal(signal.SIGINT)
        _, rest = self.process.communicate(timeout=BOUND)
        text = (self.errors + rest).decode()
        assert self.process.returncode == 0, text
        assert "live libusb objects at exit: 0" in text, text
        return text

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate(timeout=BOUND)


def read_messages(peer: socket.socket, count: int, pattern: str = r"<[^>]*>", bound: float = BOUND):
    """The first `count` messages matching `pattern` the peer reads; fails after `bound` seconds."""
    found, pending, deadline = [], b"", time.monotonic() + bound
    while len(found) < count:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"only {found} within {bound} s"
        peer.settimeout(remaining)
        chunk = peer.recv(65536)
        assert chunk, f"connection closed after {found}; pending {pending!r}"
        pending += chunk
        while b">" in pending:
            message, pending = pending.split(b">", 1)
            text = message.decode().lstrip() + ">"
            if re.fullmatch(pattern, text):
                found.append(text)
    return found[:count]


def read_until_closed(peer: socket.socket, bound: float = BOUND) -> bytes:
    received, deadline = b"", time.monotonic() + bound
    while True:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"still open after {bound} s: {received!r}"
        peer.settimeout(remaining)
        try:
            chunk = peer.recv(65536)
        except ConnectionResetError:
            return received
        if not chunk:
            return received
        received += chunk


def handshake(peer: socket.socket, channel="can0", mode="rawmode"):
    assert read_messages(peer, 1) == ["< hi >"]
    peer.sendall(f"< open {channel} >".encode())
    assert read_messages(peer, 1) == ["< ok >"]
    peer.sendall(f"< {mode} >".encode())
    assert read_messages(peer, 1) == ["< ok >"]


def receive(bus: can.BusABC, count: int, arbitration_id=None):
    messages, deadline = [], time.monotonic() + BOUND
    while len(messages) < count:
        assert time.monotonic() < deadline, f"only {len(messages)} messages"
        message = bus.recv(1.0)
        if message is not None and (arbitration_id is None or message.arbitration_id == arbitration_id):
            messages.append(message)
    return messages


def sequence(message) -> int:
    return int.from_bytes(bytes(message.data), "little")


def test_python_can_clients_receive_every_frame_send_and_survive_a_killed_peer():
    with Server(traffic="400") as server:
        first, second, other = server.bus("can0"), server.bus("can0"), server.bus("can1")
        try:
            # Every client of a channel gets every frame of it, in order, and only its channel's.
            for bus in (first, second):
                numbers = [sequence(m) for m in receive(bus, 30)]
                assert numbers == list(range(numbers[0], numbers[0] + 60, 2)), numbers
                assert {m.arbitration_id for m in receive(bus, 5)} == {0x100}
            assert {m.arbitration_id for m in receive(other, 10)} == {0x101}

            # A frame one client sends goes out on the adapter and its echo reaches the other
            # clients of the channel, not the sender (as SocketCAN raw sockets behave).
            first.send(can.Message(arbitration_id=0x123, data=[1, 0xF1], is_extended_id=False))
            first.send(can.Message(arbitration_id=0x1ABCDEF0, data=[9] * 8, is_extended_id=True))
            heard = [m for m in receive(second, 2, None) if m.arbitration_id != 0x100]
            while len(heard) < 2:
                heard += [m for m in receive(second, 1) if m.arbitration_id != 0x100]
            assert [(m.arbitration_id, bytes(m.data)) for m in heard] == [
                (0x123, b"\x01\xf1"), (0x1ABCDEF0, b"\x09" * 8)]
            assert all(m.arbitration_id == 0x100 for m in receive(first, 50))

            # A client killed while frames stream to it leaves the others undisturbed.
            killed = subprocess.Popen([sys.executable, "-c", (
                "import can, sys, time\n"
                f"bus = can.Bus(interface='socketcand', host='127.0.0.1', port={server.port}, channel='can0')\n"
                "bus.recv(10); print('receiving', flush=True); time.sleep(60)\n")],
                stdout=subprocess.PIPE)
            assert killed.stdout.readline() == b"receiving\n"
            killed.kill()
            killed.communicate(timeout=BOUND)
            numbers = [sequence(m) for m in receive(second, 100)]
            assert numbers == list(range(numbers[0], numbers[0] + 200, 2))
        finally:
            for bus in (first, second, other):
                bus.shutdown()
        report = server.stop()
    assert report.count(" left") == 4, report
    assert "frames dropped for slow clients: 0" in report, report


def test_frames_a_client_sends_are_in_flight_together_and_all_go_out_before_the_end():
    # At 10 kbit/s a frame takes some 6 ms on the bus: the client's burst runs ahead of it.
    with Server("--bitrate", "10000", bus_timing=True) as server:
        sender, listener = server.bus("can0"), server.bus("can0")
        try:
            for k in range(16):
                sender.send(can.Message(arbitration_id=0x321, data=[k, 0], is_extended_id=False))
            heard = [bytes(m.data)[0] for m in receive(listener, 16, 0x321)]
            assert heard == list(range(16)), heard
        finally:
            sender.shutdown()
            listener.shutdown()
        report = server.stop()
    waiting = re.search(r"most transmits waiting for the adapter at once: (\d+)", report)
    assert waiting and int(waiting.group(1)) >= 2, report
    assert "not sent" not in report, report


def test_hostile_peers_get_an_error_or_are_dropped_and_the_others_go_on():
    with Server("--handshake-timeout", "1", "--fd", traffic="200:fd") as server:
        watcher = server.connect()
        handshake(watcher)

        garbled = server.connect()
        read_messages(garbled, 1)
        garbled.sendall(b"hello\r\n< open can7 >")
        assert read_messages(garbled, 2) == ["< error garbage outside a command >", "< error could not open bus >"]
        assert read_until_closed(garbled) == b""

        confused = server.connect()
        handshake(confused)
        confused.sendall(b"< send 12345 2 1 >< send 123 9 1 2 3 4 5 6 7 8 9 >< frobnicate >< echo >")
        answers = read_messages(confused, 4, r"< (error|echo).*>")
        assert [a.split(":")[0] for a in answers] == [
            "< error syntax error in send", "< error syntax error in send", "< error unknown command >", "< echo >"]

        too_long = server.connect()
        read_messages(too_long, 1)
        too_long.sendall(b"< " + b"a" * 2000)
        assert read_until_closed(too_long).strip() == b"< error command too long >"

        silent = server.connect()
        start = time.monotonic()
        assert read_until_closed(silent) == b"< hi >< error timeout: no open command >"
        assert 0.5 < time.monotonic() - start < BOUND

        cut = server.connect()
        handshake(cut)
        cut.sendall(b"< send 123 8 11 22 3")
        cut.close()

        # CAN FD frames come whole, in the fdframe form with the FD flag set.
        frames = read_messages(watcher, 20, r"< fdframe .*>")
        for text in frames:
            found = re.fullmatch(r"< fdframe 100 0[4-7] \d+\.\d{6} ([0-9A-F]{128}) >", text)
            assert found, text
        watcher.sendall(b"< echo >")
        read_messages(watcher, 1, r"< echo >")

        # Other modes on the same channel at the same time: a BCM subscription to one identifier
        # and control mode's statistics.
        subscriber = server.connect()
        handshake(subscriber, "can1", "bcmmode")
        subscriber.sendall(b"< subscribe 0 0 101 >< subscribe 1 0 102 >")
        assert read_messages(subscriber, 1) == ["< error subscription intervals are not supported >"]
        assert len(read_messages(subscriber, 5, r"< fdframe 101 .*>")) == 5
        control = server.connect()
        handshake(control, "can0", "controlmode")
        control.sendall(b"< statistics 100 >")
        stats = [[int(n) for n in m.split()[2:6]] for m in read_messages(control, 2, r"< stat .*>")]
        assert stats[1][1] > stats[0][1] > 0 and stats[1][0] == 64 * stats[1][1], stats
        report = server.stop()
    assert report.count(" left") == 8, report


def test_a_slow_client_loses_frames_counted_while_a_fast_one_loses_none():
    with Server("--queue", "64", "--fd", traffic="2000:fd") as server:
        slow = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect(("127.0.0.1", server.port))
        handshake(slow)
        # python-can skips fdframe messages: the fast client reads can0 over raw TCP.
        fast = server.connect()
        handshake(fast)
        frames = read_messages(fast, 3000, r"< fdframe .*>")
        numbers = [int.from_bytes(bytes.fromhex(t.split()[5][:16]), "little") for t in frames]
        assert numbers == list(range(numbers[0], numbers[0] + 2 * len(numbers), 2))
        report = server.stop()
    dropped = [int(n) for n in re.findall(r"frames queued, (\d+) dropped", report)]
    assert len(dropped) == 2 and min(dropped) == 0 and max(dropped) > 0, report
    totals = int(re.search(r"frames dropped for slow clients: (\d+)", report).group(1))
    assert totals == max(dropped), report


def test_beacon_only_when_asked_and_an_allow_list_keeps_others_out():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.settimeout(BOUND)
        beacon_port = listener.getsockname()[1]
        with Server("--beacon", f"127.0.0.1:{beacon_port}", "--allow", "127.0.0.2") as server:
            beacon = ElementTree.fromstring(listener.recv(4096).decode())
            refused = server.connect()
            assert read_until_closed(refused) == b""
            report = server.stop()
        assert "refused 127.0.0.1: not in --allow" in report, report
        assert beacon.tag == "CANBeacon" and beacon.attrib["type"] == "adapter"
        assert beacon.find("URL").text == f"can://127.0.0.1:{server.port}"
        assert [bus.attrib["name"] for bus in beacon.findall("Bus")] == ["can0", "can1"]
        # Without --beacon, nothing is sent.
        with Server() as server:
            listener.settimeout(0.5)
            with pytest.raises(socket.timeout):
                listener.recv(4096)
            server.stop()


def test_python_can_connects_and_reads_in_order_under_heavy_traffic():
    # A queue of 10 s of traffic: a loaded machine may keep python-can from reading for a while.
    with Server("--queue", "100000", traffic="10000", adapters="HEAVY001:1:0") as server:
        # Its handshake reads "< ok >" with a single recv: frames must not ride along.
        for _ in range(15):
            server.bus().shutdown()
        # Its reads cut the stream anywhere; python-can 4.1 drops the byte after the last '>'.
        bus = server.bus()
        try:
            numbers = [sequence(m) for m in receive(bus, 3000)]
        finally:
            bus.shutdown()
        report = server.stop()
    assert numbers == list(range(numbers[0], numbers[0] + 3000)), report
