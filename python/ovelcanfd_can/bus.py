"""The python-can bus over libovelcanfd: one adapter, one or more of its channels."""

import atexit
import ctypes
import logging
import queue
import threading
import time
from typing import Any, List, Optional, Sequence, Set, Tuple, Union

import can
from can import BusState, CanInitializationError, CanOperationError, Message

from .frames import message_from_record, record_from_message
from .library import (
    OK,
    STATE_BUS_OFF,
    STATE_ERROR_PASSIVE,
    BusStateRecord,
    Frame,
    RxCallback,
    RxHandler,
    last_error,
    load_library,
    rx_timestamp,
)

LOG = logging.getLogger("can.ovelcanfd")

MAX_CHANNEL = 255
MAX_BITRATE = 0xFFFFFFFF

# Marks the end of reception in the receive queue; it wakes every reader blocked in recv.
_SHUT_DOWN = object()

# Buses not shut down yet. The strong references keep each bus's ctypes callback alive as long as
# the library may call it, and let the interpreter's exit shut forgotten buses down before a
# dispatch thread could call into a finalizing interpreter.
_open_buses: Set["OvelCanFdBus"] = set()
_open_buses_lock = threading.Lock()


@atexit.register
def _shut_down_forgotten_buses() -> None:
    with _open_buses_lock:
        buses = list(_open_buses)
    for bus in buses:
        bus.shutdown()


def parse_channels(channel: Any) -> List[int]:
    """Channel indexes from an index, a list of indexes or a comma-separated text ("0,1")."""
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
        if isinstance(item, bool) or not isinstance(item, (int, str)):
            raise ValueError(f"channel {item!r} is not a channel index")
        try:
            index = int(item)
        except ValueError:
            raise ValueError(f"channel {item!r} is not a channel index") from None
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


def _bitrate(value: Any, name: str) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 < value <= MAX_BITRATE:
        raise ValueError(f"{name} must be a positive number of bit/s, not {value!r}")
    return value


class OvelCanFdBus(can.BusABC):
    """A gs_usb adapter's channels through libovelcanfd, with CAN FD, echoes and failure texts.

    Frames received on any of the bus's channels reach recv() in the order the adapter delivered
    them; each message's ``channel`` is its channel index.
    """

    def __init__(
        self,
        channel: Union[int, str, Sequence[Union[int, str]], None] = 0,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        serial: Optional[str] = None,
        bitrate: Optional[int] = None,
        data_bitrate: Optional[int] = None,
        fd: Optional[bool] = None,
        listen_only: bool = False,
        loopback: bool = False,
        receive_own_messages: bool = False,
        **kwargs: Any,
    ) -> None:
        """Opens the adapter, applies the settings to every channel given and starts them.

        :param channel: a channel index, a list of indexes or a comma-separated text; default 0.
        :param serial: open the adapter with this USB serial number instead of the first one.
        :param bitrate: nominal bitrate in bit/s for every channel (unset: the adapter's own).
        :param data_bitrate: CAN FD data-phase bitrate; implies ``fd`` unless fd is given.
        :param fd: CAN FD mode.
        :param listen_only: listen-only (monitor) mode: the channels never acknowledge or send.
        :param loopback: the adapter's hardware loopback.
        :param receive_own_messages: deliver the adapter's echoes of sent frames (``is_rx`` False).
        :raises ValueError: a setting out of range.
        :raises can.CanInterfaceNotImplementedError: the library cannot be loaded.
        :raises can.CanInitializationError: the adapter could not be opened or set up; the
            message carries the library's failure text.
        """
        self._channels = parse_channels(channel)
        self._serial = serial
        self._bitrate = _bitrate(bitrate, "bitrate")
        self._data_bitrate = _bitrate(data_bitrate, "data_bitrate")
        self._fd = _flag(fd, "fd") if fd is not None else self._data_bitrate is not None
        self._listen_only = _flag(listen_only, "listen_only")
        self._loopback = _flag(loopback, "loopback")
        self._receive_own_messages = _flag(receive_own_messages, "receive_own_messages")
        if serial is not None and (not isinstance(serial, str) or "\0" in serial):
            raise ValueError(f"serial must be a text without NUL characters, not {serial!r}")
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)

        self._library = load_library()
        # Keeps shutdown from freeing the handle while another thread is still sending on it.
        self._lock = threading.Lock()
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._started: List[int] = []
        self._handle: Optional[int] = None
        self._rx_callback = RxCallback(self._on_frame)
        self._rx_handler = RxHandler(lambda record, info, _user: self._on_frame(record, info))
        self.channel_info = (
            f"ovelcanfd adapter {serial if serial is not None else '(first found)'}, "
            f"channel {','.join(map(str, self._channels))}"
        )

        handle = self._library.ovel_canfd_init()
        if not handle:
            raise CanInitializationError("ovel_canfd_init failed: out of memory")
        self._handle = handle
        with _open_buses_lock:
            _open_buses.add(self)
        try:
            self._open_and_start(handle)
        except BaseException:
            self._release(log_failures=False)
            raise

    # -- opening -------------------------------------------------------------------------------

    def _check(self, code: int, handle: int, context: str) -> None:
        if code != OK:
            text = last_error(self._library, handle)
            raise CanInitializationError(f"{context}{text}", error_code=code)

    def _open_and_start(self, handle: int) -> None:
        lib = self._library
        if self._serial is None:
            self._check(lib.ovel_canfd_open(handle), handle, "")
        else:
            code = lib.ovel_canfd_open_with_device_serial_number(handle, self._serial.encode("utf-8"))
            self._check(code, handle, f"adapter {self._serial!r}: ")
        if hasattr(lib, "ovel_canfd_set_rx_handler"):
            lib.ovel_canfd_set_rx_handler(handle, self._rx_handler, None)
        else:
            lib.ovel_canfd_set_rx_callback(handle, self._rx_callback)
        for index in self._channels:
            where = f"channel {index}: "
            if self._bitrate is not None:
                self._check(lib.ovel_canfd_set_bitrate(handle, index, self._bitrate), handle, where)
            if self._data_bitrate is not None:
                code = lib.ovel_canfd_set_data_bitrate(handle, index, self._data_bitrate)
                self._check(code, handle, where)
            if self._fd:
                self._check(lib.ovel_canfd_set_fd(handle, index, True), handle, where)
            if self._listen_only:
                self._check(lib.ovel_canfd_set_monitor(handle, index, True), handle, where)
            if self._loopback:
                self._check(lib.ovel_canfd_set_hw_loopback(handle, index, True), handle, where)
        for index in self._channels:
            self._check(lib.ovel_canfd_start(handle, index), handle, f"channel {index}: ")
            self._started.append(index)

    # -- reception -----------------------------------------------------------------------------

    def _on_frame(self, record_pointer: "ctypes._Pointer[Frame]", info_pointer: Any = None) -> None:
        # Runs on the library's dispatch thread: nothing may escape into C, and a frame that
        # cannot be converted is reported to the reader in its place rather than dropped unseen.
        try:
            timestamp = rx_timestamp(info_pointer.contents) if info_pointer else time.time()
            record = record_pointer.contents
            if record.echo and not self._receive_own_messages:
                return
            self._queue.put(message_from_record(record, timestamp))
        except BaseException as error:  # pylint: disable=broad-except
            try:
                self._queue.put(CanOperationError(f"a received frame could not be converted: {error!r}"))
            except BaseException:  # pylint: disable=broad-except
                pass

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        try:
            if timeout is not None and timeout <= 0:
                item = self._queue.get(block=False)
            else:
                item = self._queue.get(block=True, timeout=timeout)
        except queue.Empty:
            return None, False
        if item is _SHUT_DOWN:
            self._queue.put(_SHUT_DOWN)
            raise CanOperationError("the bus is shut down")
        if isinstance(item, CanOperationError):
            raise item
        return item, False

    # -- transmission --------------------------------------------------------------------------

    def _transmit_channel(self, channel: Any) -> int:
        if channel is None:
            return self._channels[0]
        try:
            index = int(channel)
        except (TypeError, ValueError):
            # A label of another interface, as in a log file recorded elsewhere ("can0").
            return self._channels[0]
        if index not in self._channels:
            raise ValueError(f"channel {channel!r} is not one of this bus's channels {self._channels}")
        return index

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Sends the message and waits until the adapter has taken it (at most about 1 s).

        ``msg.channel`` picks one of the bus's channels (None, or another interface's label such
        as "can0": the first). ``timeout`` is not used: the library's own wait bounds the call.

        :raises ValueError: the message cannot be sent as it is; nothing was sent.
        :raises can.CanOperationError: the library refused or failed; the message carries its
            failure text.
        """
        record = record_from_message(msg, self._transmit_channel(msg.channel))
        if record.fd and not self._fd:
            raise ValueError("a CAN FD frame on a bus opened without fd=True")
        with self._lock:
            if self._handle is None:
                raise CanOperationError("the bus is shut down")
            code = self._library.ovel_canfd_transmit(self._handle, ctypes.byref(record))
            if code != OK:
                raise CanOperationError(last_error(self._library, self._handle), error_code=code)

    # -- state and shutdown --------------------------------------------------------------------

    @property
    def state(self) -> BusState:
        """ERROR when a channel is off the bus (bus-off, or the adapter cannot say), PASSIVE when
        one is error-passive or the bus listens only, otherwise ACTIVE."""
        worst = BusState.PASSIVE if self._listen_only else BusState.ACTIVE
        with self._lock:
            if self._handle is None or not hasattr(self._library, "ovel_canfd_get_bus_state"):
                return worst
            for index in self._channels:
                record = BusStateRecord(size=ctypes.sizeof(BusStateRecord))
                if self._library.ovel_canfd_get_bus_state(self._handle, index, ctypes.byref(record)) != OK:
                    LOG.warning("channel %d: %s", index, last_error(self._library, self._handle))
                    return BusState.ERROR
                if record.state >= STATE_BUS_OFF:
                    return BusState.ERROR
                if record.state == STATE_ERROR_PASSIVE:
                    worst = BusState.PASSIVE
        return worst

    @state.setter
    def state(self, new_state: BusState) -> None:
        raise NotImplementedError("the state is chosen when the bus is opened (listen_only)")

    @property
    def channels(self) -> List[int]:
        """The channel indexes this bus has started."""
        return list(self._channels)

    def _release(self, log_failures: bool) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            lib = self._library
            for index in self._started:
                if lib.ovel_canfd_stop(handle, index) != OK and log_failures:
                    LOG.warning("channel %d: %s", index, last_error(lib, handle))
            self._started = []
            # Close ends the dispatch thread after the frames still queued have been delivered,
            # so the callback is no longer called once it returns.
            lib.ovel_canfd_close(handle)
            lib.ovel_canfd_deinit(handle)
        self._queue.put(_SHUT_DOWN)
        with _open_buses_lock:
            _open_buses.discard(self)

    def shutdown(self) -> None:
        """Stops the channels, closes the adapter and frees the handle; a second call does nothing.

        Frames received before still come out of recv(), after which it raises CanOperationError.
        """
        super().shutdown()
        self._release(log_failures=True)
