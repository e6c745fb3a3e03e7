"""The python-can bus over libovelcanfd: one adapter, one or more of its channels."""

import ctypes
import logging
import queue
import re
import time
import weakref
from typing import Any, List, Optional, Sequence, Tuple, Union

import can
from can import BusState, CanInitializationError, CanOperationError, Message

from .adapter import SharedAdapter, Sink, attach, detach
from .frames import UnsendableFrameError, record_from_message
from .library import (
    OK,
    STATE_BUS_OFF,
    STATE_ERROR_PASSIVE,
    BitTimingRecord,
    adapter_details,
    last_error,
    list_adapters,
    load_library,
)

LOG = logging.getLogger("can.ovelcanfd")

MAX_CHANNEL = 255
MAX_BITRATE = 0xFFFFFFFF

# What the ovelcanfd tool uses too when no bitrate is given: a bus opened without one must not
# start on whatever timing the adapter happened to have.
DEFAULT_BITRATE = 500_000
DEFAULT_DATA_BITRATE = 2_000_000
# CiA's recommended sample points, in permille, for the nominal and the CAN FD data phase.
DEFAULT_SAMPLE_POINT = 875
DEFAULT_DATA_SAMPLE_POINT = 750

# "can1", as SocketCAN names channels and as log files recorded elsewhere carry them.
_CHANNEL_NAME = re.compile(r"can(\d+)")

# Marks the end of reception in the receive queue; it wakes every reader blocked in recv.
_SHUT_DOWN = object()
# How often a waiting recv() looks whether reception ended by itself, in seconds.
_RECEPTION_CHECK_PERIOD = 0.1

# Keyword arguments accepted and ignored: can.logger passes single_handle (a Vector option) to
# every interface.
_IGNORED_ARGUMENTS = frozenset({"single_handle"})


class UnsupportedArgumentError(CanInitializationError, TypeError):
    """A keyword argument this interface does not take; nothing was opened."""


def _release(adapter: SharedAdapter, channels: List[int], sink: Sink, log_failures: bool,
             flush_seconds: float = 0.0) -> None:
    # Runs at shutdown, or when a bus nobody shut down is collected or the interpreter exits
    # (weakref.finalize): it must not refer to the bus itself.
    warn = (lambda text: LOG.warning("%s", text)) if log_failures else None
    detach(adapter, channels, warn, flush_seconds)
    sink.queue.put(_SHUT_DOWN)


def _flush_bound(bitrate: int) -> float:
    """Seconds a shutdown waits for queued frames: the 1 s the library gives the adapter to take
    a frame, and the most a full window (10 frames; 64-byte CAN FD frames without bit-rate
    switch, stuff bits included, stay below 700 bits) takes on the bus at `bitrate`."""
    return 1.0 + 10 * 700 / max(bitrate, 1)


def _channel_index(item: Any) -> Optional[int]:
    """The index an item names (1, "1", "can1"), or None when it names none."""
    if isinstance(item, bool):
        return None
    if isinstance(item, int):
        return item
    if isinstance(item, str):
        text = item.strip()
        named = _CHANNEL_NAME.fullmatch(text)
        if named:
            return int(named.group(1))
        if re.fullmatch(r"[+-]?\d+", text):
            return int(text)
    return None


def parse_channels(channel: Any) -> List[int]:
    """Channel indexes from an index, a name ("can1"), a list of these or a comma-separated
    text ("0,1", "can0,can1")."""
    if channel is None:
        return [0]
    if isinstance(channel, str):
        items: Sequence[Any] = [part.strip() for part in channel.split(",")]
    elif isinstance(channel, (list, tuple)):
        items = channel
    else:
        items = [channel]
    indexes = []
    for item in items:
        index = _channel_index(item)
        if index is None:
            raise ValueError(f"channel {item!r} is not a channel index")
        if not 0 <= index <= MAX_CHANNEL:
            raise ValueError(f"channel {index} is out of range (0 to {MAX_CHANNEL})")
        if index in indexes:
            raise ValueError(f"channel {index} is given twice")
        indexes.append(index)
    if not indexes:
        raise ValueError("no channel given")
    return indexes


def _flag(value: Any, name: str) -> bool:
    """An on/off setting; configuration files hand these over as text."""
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    if isinstance(value, str) and value.strip().lower() in ("1", "true", "yes", "on", "0", "false", "no", "off"):
        return value.strip().lower() in ("1", "true", "yes", "on")
    raise ValueError(f"{name} must be True or False, not {value!r}")


def _sample_point(value: Any, name: str) -> Optional[int]:
    """A sample point in permille from a percentage (87.5, as python-can's BitTiming gives it)
    or a fraction (0.875, as ip link takes it)."""
    if value is None:
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = float("nan")
    if isinstance(value, bool) or not 0 < number < 100:
        raise ValueError(f"{name} must be a percentage (87.5) or a fraction (0.875), not {value!r}")
    permille = round(number * 1000) if number < 1 else round(number * 10)
    if not 0 < permille < 1000:
        raise ValueError(f"{name} {value!r} is not between 0.1 % and 99.9 %")
    return permille


def _quanta(timing: Any, prefix: str, clock: int) -> BitTimingRecord:
    """The library's record for one phase of a python-can BitTiming or BitTimingFd."""
    try:
        f_clock = getattr(timing, "f_clock", None)
    except ValueError:  # python-can before 4.3 when no clock was given
        f_clock = None
    if f_clock is not None and f_clock != clock:
        raise CanInitializationError(
            f"timing is for a {f_clock} Hz CAN clock; this adapter's is {clock} Hz"
        )
    try:
        brp, tseg1, tseg2, sjw = (int(getattr(timing, prefix + field)) for field in ("brp", "tseg1", "tseg2", "sjw"))
    except (AttributeError, ValueError, TypeError) as error:
        raise ValueError(f"timing {timing!r} lacks a {prefix or 'nominal '}time quanta field: {error}") from None
    if not all(0 < value <= MAX_BITRATE for value in (brp, tseg1, tseg2, sjw)):
        raise ValueError(f"timing {timing!r} has a {prefix}field that is not a positive 32-bit count")
    # tseg1 split as the Linux kernel's gs_usb driver sends it.
    prop_seg = tseg1 // 2
    return BitTimingRecord(brp=brp, prop_seg=prop_seg, phase_seg1=tseg1 - prop_seg, phase_seg2=tseg2, sjw=sjw)


def _whole_number(value: Any, low: int, high: int, message: str) -> Optional[int]:
    """None, or a whole number from low to high (also as text, from configuration files)."""
    if value is None:
        return None
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{message}, not {value!r}")
    return value


def _bitrate(value: Any, name: str) -> Optional[int]:
    return _whole_number(value, 1, MAX_BITRATE, f"{name} must be a positive number of bit/s")


MAX_RX_LATENCY_US = 10_000_000


def _rx_latency(value: Any) -> Optional[int]:
    return _whole_number(
        value, 0, MAX_RX_LATENCY_US,
        f"rx_latency_us must be a whole number of microseconds from 0 to {MAX_RX_LATENCY_US}",
    )


class OvelCanFdBus(can.BusABC):
    """A gs_usb adapter's channels through libovelcanfd, with CAN FD, echoes and failure texts.

    Frames received on any of the bus's channels reach recv() in the order the adapter delivered
    them; each message's ``channel`` is its channel index. Several buses of one process may use
    different channels of the same adapter: they share its handle.
    """

    def __init__(
        self,
        channel: Union[int, str, Sequence[Union[int, str]], None] = 0,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        serial: Optional[str] = None,
        path: Optional[str] = None,
        bitrate: Optional[int] = None,
        data_bitrate: Optional[int] = None,
        fd: Optional[bool] = None,
        listen_only: bool = False,
        loopback: bool = False,
        receive_own_messages: bool = False,
        timing: Any = None,
        sample_point: Any = None,
        data_sample_point: Any = None,
        rx_latency_us: Any = None,
        **kwargs: Any,
    ) -> None:
        """Opens the adapter (or shares this process's open handle of it), applies the settings
        to every channel given and starts them.

        :param channel: a channel index, a list of indexes or a comma-separated text; default 0.
        :param serial: open the adapter with this USB serial number instead of the first one.
        :param path: open the adapter at this USB port path ("1-2.3", as listed by
            ``can.detect_available_configs("ovelcanfd")``) instead of the first one.
        :param bitrate: nominal bitrate in bit/s for every channel (default 500000).
        :param data_bitrate: CAN FD data-phase bitrate (default 2000000 with ``fd``); implies
            ``fd`` unless fd is given.
        :param fd: CAN FD mode.
        :param timing: a ``can.BitTiming`` (nominal phase) or ``can.BitTimingFd`` (both phases,
            implies ``fd``) giving the time quanta exactly; its ``f_clock``, when given, must be
            the adapter's CAN clock. Replaces ``bitrate``/``data_bitrate``.
        :param sample_point: nominal sample point in percent (87.5) or as a fraction (0.875);
            default 87.5 %.
        :param data_sample_point: the data phase's; default 75 %.
        :param listen_only: listen-only (monitor) mode: the channels never acknowledge or send.
        :param loopback: the adapter's hardware loopback.
        :param receive_own_messages: deliver the adapter's echoes of sent frames (``is_rx`` False).
        :param rx_latency_us: let received frames wait up to this many microseconds (0 to
            10,000,000) to be handed over in batches, for less CPU on a busy bus; the adapter's
            handle has one, shared by the buses of this process that use it (the last one given
            holds). Default: leave it as it is (0 on a fresh handle).
        :raises ValueError: a setting out of range.
        :raises UnsupportedArgumentError: a keyword argument this interface does not take.
        :raises can.CanInterfaceNotImplementedError: the library cannot be loaded.
        :raises can.CanInitializationError: the adapter could not be opened or set up, or a
            channel is already used by another bus of this process; the message carries the
            library's failure text.
        """
        unknown = sorted(set(kwargs) - _IGNORED_ARGUMENTS)
        if unknown:
            raise UnsupportedArgumentError(
                f"unknown argument{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} for the "
                "ovelcanfd interface (it takes channel, can_filters, serial, path, bitrate, data_bitrate, "
                "fd, listen_only, loopback, receive_own_messages, timing, sample_point, "
                "data_sample_point, rx_latency_us)"
            )
        self._channels = parse_channels(channel)
        self._serial = serial
        self._bitrate = _bitrate(bitrate, "bitrate") or DEFAULT_BITRATE
        given_data_bitrate = _bitrate(data_bitrate, "data_bitrate")
        self._timing = timing
        fd_timing = timing is not None and hasattr(timing, "data_brp")
        self._fd = _flag(fd, "fd") if fd is not None else given_data_bitrate is not None or fd_timing
        self._data_bitrate = given_data_bitrate or DEFAULT_DATA_BITRATE
        self._sample_point = _sample_point(sample_point, "sample_point") or DEFAULT_SAMPLE_POINT
        self._data_sample_point = (
            _sample_point(data_sample_point, "data_sample_point") or DEFAULT_DATA_SAMPLE_POINT
        )
        self._listen_only = _flag(listen_only, "listen_only")
        self._loopback = _flag(loopback, "loopback")
        self._rx_latency_us = _rx_latency(rx_latency_us)
        receive_own = _flag(receive_own_messages, "receive_own_messages")
        if serial is not None and (not isinstance(serial, str) or "\0" in serial):
            raise ValueError(f"serial must be a text without NUL characters, not {serial!r}")
        if path is not None and (not isinstance(path, str) or "\0" in path):
            raise ValueError(f"path must be a text without NUL characters, not {path!r}")
        if path is not None and serial is not None:
            raise ValueError("give serial or path, not both")
        super().__init__(channel=channel, can_filters=can_filters)
        try:
            self._open(serial, path, receive_own)
        except BaseException:
            # Nothing is left open: python-can 4.3+ must not call this bus "not properly shut
            # down" when it is collected.
            self._is_shutdown = True
            raise

    def _open(self, serial: Optional[str], path: Optional[str], receive_own: bool) -> None:
        self._shut_down = False
        if hasattr(can, "CanProtocol"):  # python-can 4.3+
            self._can_protocol = can.CanProtocol.CAN_FD if self._fd else can.CanProtocol.CAN_20
        self._sink = Sink(receive_own)
        self._queue = self._sink.queue
        self.channel_info = (
            f"ovelcanfd adapter {serial if serial is not None else '(first found)'}, "
            f"channel {','.join(map(str, self._channels))}"
        )
        library = load_library()
        self._adapter = attach(library, serial, self._channels, self._configure, self._sink, path)
        details = self._adapter.details()
        if details is not None:
            opened = details.adapter
            self.channel_info = (
                f"ovelcanfd adapter {opened.serial_number.decode('ascii', 'replace') or '-'} "
                f"at USB {opened.path.decode('ascii', 'replace')}, "
                f"channel {','.join(map(str, self._channels))}"
            )
        # Releases the channels when the bus is shut down, collected without a shutdown, or left
        # open at interpreter exit (before a dispatch thread could call into a finalizing one).
        nominal = getattr(self._timing, "nom_bitrate", None) or getattr(self._timing, "bitrate", None)
        self._flush_seconds = _flush_bound(int(nominal or self._bitrate))
        self._finalizer = weakref.finalize(
            self, _release, self._adapter, list(self._channels), self._sink, False, self._flush_seconds
        )

    # -- opening -------------------------------------------------------------------------------

    def _configure(self, lib: Any, handle: int, index: int) -> None:
        where = f"channel {index}: "

        def check(code: int) -> None:
            if code != OK:
                raise CanInitializationError(f"{where}{last_error(lib, handle)}", error_code=code)

        # A mode that is off is written too, as the shared handle keeps what an earlier bus of
        # this process set on the channel; an adapter without the feature refuses that write,
        # but then the mode cannot be on.
        for setter, wanted in (
            (lib.ovel_canfd_set_fd, self._fd),
            (lib.ovel_canfd_set_monitor, self._listen_only),
            (lib.ovel_canfd_set_hw_loopback, self._loopback),
        ):
            code = setter(handle, index, wanted)
            if wanted:
                check(code)
        if self._rx_latency_us is not None:
            if not hasattr(lib, "ovel_canfd_set_rx_latency"):
                raise CanInitializationError(f"{where}this libovelcanfd has no receive latency budget")
            check(lib.ovel_canfd_set_rx_latency(handle, self._rx_latency_us))
        # After the modes: an adapter without CAN FD says so as the fd setting's failure.
        if self._timing is not None:
            clock = adapter_details(lib, handle).can_clock_hz
            phases = [(False, "nom_" if hasattr(self._timing, "nom_brp") else "")]
            if hasattr(self._timing, "data_brp"):
                phases.append((True, "data_"))
            for data_phase, prefix in phases:
                record = _quanta(self._timing, prefix, clock)
                check(lib.ovel_canfd_set_bit_timing(handle, index, data_phase, ctypes.byref(record)))
        elif hasattr(lib, "ovel_canfd_set_bitrate_sample_point"):
            check(lib.ovel_canfd_set_bitrate_sample_point(handle, index, self._bitrate, self._sample_point))
            if self._fd:
                check(lib.ovel_canfd_set_data_bitrate_sample_point(
                    handle, index, self._data_bitrate, self._data_sample_point))
        else:  # a library older than its sample-point setters
            check(lib.ovel_canfd_set_bitrate(handle, index, self._bitrate))
            if self._fd:
                check(lib.ovel_canfd_set_data_bitrate(handle, index, self._data_bitrate))

    @staticmethod
    def _detect_available_configs() -> List[can.typechecking.AutoDetectedConfig]:
        """One configuration per adapter that can be opened now (channel 0), by serial number
        when it has one, else by USB port path. Reads USB descriptors only."""
        try:
            adapters = list_adapters(load_library())
        except can.CanInterfaceNotImplementedError:
            return []
        configs: List[can.typechecking.AutoDetectedConfig] = []
        for adapter in adapters:
            if not adapter["free"]:
                continue
            config: Any = {"interface": "ovelcanfd", "channel": 0}
            if adapter["serial"]:
                config["serial"] = adapter["serial"]
            else:
                config["path"] = adapter["path"]
            configs.append(config)
        return configs

    # -- reception -----------------------------------------------------------------------------

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        # Waits in slices, so that reception ending by itself is noticed by a waiting reader too.
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            wait = _RECEPTION_CHECK_PERIOD if deadline is None else min(_RECEPTION_CHECK_PERIOD, deadline - time.monotonic())
            try:
                item = self._queue.get(block=wait > 0, timeout=wait if wait > 0 else None)
                break
            except queue.Empty:
                reason = self._adapter.reception_end()
                if reason is not None:
                    raise CanOperationError(reason)
                if deadline is not None and time.monotonic() >= deadline:
                    return None, False
        if item is _SHUT_DOWN:
            self._queue.put(_SHUT_DOWN)
            raise CanOperationError("the bus is shut down")
        if isinstance(item, CanOperationError):
            raise item
        return item, False

    # -- transmission --------------------------------------------------------------------------

    def _transmit_channel(self, channel: Any) -> int:
        # A bus on one channel sends everything there, as python-can's other interfaces do: a
        # log recorded on can1 replays on whatever channel the player opened.
        if channel is None or len(self._channels) == 1:
            return self._channels[0]
        index = _channel_index(channel)
        if index is None:
            # A label of another interface, as in a log file recorded elsewhere ("vcan0").
            return self._channels[0]
        if index not in self._channels:
            raise UnsendableFrameError(
                f"channel {channel!r} is not one of this bus's channels {self._channels}"
            )
        return index

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Queues the message for the adapter and returns once it is handed to USB, so that a
        sender runs at the bus's pace: up to 10 messages per channel are in flight, each until
        the adapter's echo says it was on the bus (the Linux kernel's gs_usb driver does the
        same), and they go out in the order sent.

        ``timeout`` is how long to wait for room when the channel's 10 are in flight: None
        waits until there is room; a number of seconds waits up to that long, then raises
        can.CanOperationError ("Transmit buffer full ..."), as socketcan does for a full queue;
        0 does not wait. A message that fails after it was handed over (the adapter does not
        take it within 1 s, e.g. because no other node acknowledges; the adapter goes away) is
        reported by the next ``send()`` on its channel, which raises can.CanOperationError
        naming the reason and sends nothing, or, when none follows, by a warning in the
        "can.ovelcanfd" log at shutdown. ``shutdown()`` first waits, about 1 s plus what 10
        frames take on the bus, for queued messages to go out. ``flush_tx_buffer()`` discards
        nothing: messages handed to USB cannot be called back.

        With a library that has no queued sends, each message is sent with
        ovel_canfd_transmit: the call waits until the adapter has taken it (at most about 1 s)
        and ``timeout`` cannot shorten that.

        On a bus of several channels, ``msg.channel`` (1, "1" or "can1") picks one of them (None,
        or another interface's label such as "vcan0": the first); a bus of one channel sends
        every message on it, whatever its ``channel`` says.

        :raises UnsendableFrameError: (a can.CanOperationError and a ValueError) the message
            cannot be sent as it is, e.g. an error frame or an identifier out of range; nothing
            was sent.
        :raises can.CanOperationError: no room within ``timeout``; an earlier message failed;
            or the library refused or failed, with its failure text. This message was not sent.
        """
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                    or timeout != timeout):
            raise ValueError(f"timeout must be None or a number of seconds, not {timeout!r}")
        record = record_from_message(msg, self._transmit_channel(msg.channel))
        if record.fd and not self._fd:
            raise UnsendableFrameError("a CAN FD frame on a bus opened without fd=True")
        if self._adapter.queued_sends:
            self._adapter.send(record, timeout)
        else:
            self._adapter.transmit(record)

    # -- state and shutdown --------------------------------------------------------------------

    @property
    def state(self) -> BusState:
        """ERROR when a channel is off the bus (bus-off, or the adapter cannot say), PASSIVE when
        one is error-passive or the bus listens only, otherwise ACTIVE."""
        worst = BusState.PASSIVE if self._listen_only else BusState.ACTIVE
        for index in self._channels:
            state = self._adapter.bus_state(index)
            if state is None or state >= STATE_BUS_OFF:
                return BusState.ERROR
            if state == STATE_ERROR_PASSIVE:
                worst = BusState.PASSIVE
        return worst

    @state.setter
    def state(self, new_state: BusState) -> None:
        """PASSIVE restarts the bus's channels listen-only, ACTIVE restarts them acknowledging
        and sending (can.logger's --passive and --active); ERROR cannot be chosen."""
        if new_state not in (BusState.ACTIVE, BusState.PASSIVE):
            raise ValueError(f"the bus can be made ACTIVE or PASSIVE, not {new_state}")
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        self._adapter.restart(self._channels, new_state == BusState.PASSIVE)
        self._listen_only = new_state == BusState.PASSIVE

    @property
    def channels(self) -> List[int]:
        """The channel indexes this bus has started."""
        return list(self._channels)

    def shutdown(self) -> None:
        """Stops the bus's channels, and closes the adapter and frees the handle unless another
        bus of this process still uses it; a second call does nothing.

        recv() raises CanOperationError from then on, also in a thread blocked in it; frames
        received before and not read yet are dropped.
        """
        super().shutdown()
        self._shut_down = True
        finalizer = getattr(self, "_finalizer", None)
        if finalizer is not None and finalizer.alive:
            finalizer.detach()
            _release(self._adapter, self._channels, self._sink, True, self._flush_seconds)
