"""The python-can bus over libovelcanfd: one adapter, one or more of its channels."""

import logging
import queue
import time
import weakref
from typing import Any, List, Optional, Sequence, Tuple, Union

import can
from can import BusState, CanInitializationError, CanOperationError, Message

from .adapter import SharedAdapter, Sink, attach, detach
from .frames import UnsendableFrameError, record_from_message
from .library import OK, STATE_BUS_OFF, STATE_ERROR_PASSIVE, last_error, list_adapters, load_library

LOG = logging.getLogger("can.ovelcanfd")

MAX_CHANNEL = 255
MAX_BITRATE = 0xFFFFFFFF

# Marks the end of reception in the receive queue; it wakes every reader blocked in recv.
_SHUT_DOWN = object()
# How often a waiting recv() looks whether reception ended by itself, in seconds.
_RECEPTION_CHECK_PERIOD = 0.1

# Keyword arguments accepted and ignored: can.logger passes single_handle (a Vector option) to
# every interface.
_IGNORED_ARGUMENTS = frozenset({"single_handle"})


class UnsupportedArgumentError(CanInitializationError, TypeError):
    """A keyword argument this interface does not take; nothing was opened."""


def _release(adapter: SharedAdapter, channels: List[int], sink: Sink, log_failures: bool) -> None:
    # Runs at shutdown, or when a bus nobody shut down is collected or the interpreter exits
    # (weakref.finalize): it must not refer to the bus itself.
    warn = (lambda text: LOG.warning("%s", text)) if log_failures else None
    detach(adapter, channels, warn)
    sink.queue.put(_SHUT_DOWN)


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
        **kwargs: Any,
    ) -> None:
        """Opens the adapter (or shares this process's open handle of it), applies the settings
        to every channel given and starts them.

        :param channel: a channel index, a list of indexes or a comma-separated text; default 0.
        :param serial: open the adapter with this USB serial number instead of the first one.
        :param path: open the adapter at this USB port path ("1-2.3", as listed by
            ``can.detect_available_configs("ovelcanfd")``) instead of the first one.
        :param bitrate: nominal bitrate in bit/s for every channel (unset: the adapter's own).
        :param data_bitrate: CAN FD data-phase bitrate; implies ``fd`` unless fd is given.
        :param fd: CAN FD mode.
        :param listen_only: listen-only (monitor) mode: the channels never acknowledge or send.
        :param loopback: the adapter's hardware loopback.
        :param receive_own_messages: deliver the adapter's echoes of sent frames (``is_rx`` False).
        :raises ValueError: a setting out of range.
        :raises UnsupportedArgumentError: a keyword argument this interface does not take
            (``timing`` among them: give ``bitrate`` and ``data_bitrate``).
        :raises can.CanInterfaceNotImplementedError: the library cannot be loaded.
        :raises can.CanInitializationError: the adapter could not be opened or set up, or a
            channel is already used by another bus of this process; the message carries the
            library's failure text.
        """
        if "timing" in kwargs:
            raise UnsupportedArgumentError(
                "timing is not supported by the ovelcanfd interface: give bitrate (and "
                "data_bitrate), the library chooses the bit timing"
            )
        unknown = sorted(set(kwargs) - _IGNORED_ARGUMENTS)
        if unknown:
            raise UnsupportedArgumentError(
                f"unknown argument{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} for the "
                "ovelcanfd interface (it takes channel, can_filters, serial, path, bitrate, data_bitrate, "
                "fd, listen_only, loopback, receive_own_messages)"
            )
        self._channels = parse_channels(channel)
        self._serial = serial
        self._bitrate = _bitrate(bitrate, "bitrate")
        self._data_bitrate = _bitrate(data_bitrate, "data_bitrate")
        self._fd = _flag(fd, "fd") if fd is not None else self._data_bitrate is not None
        self._listen_only = _flag(listen_only, "listen_only")
        self._loopback = _flag(loopback, "loopback")
        receive_own = _flag(receive_own_messages, "receive_own_messages")
        if serial is not None and (not isinstance(serial, str) or "\0" in serial):
            raise ValueError(f"serial must be a text without NUL characters, not {serial!r}")
        if path is not None and (not isinstance(path, str) or "\0" in path):
            raise ValueError(f"path must be a text without NUL characters, not {path!r}")
        if path is not None and serial is not None:
            raise ValueError("give serial or path, not both")
        super().__init__(channel=channel, can_filters=can_filters)

        self._shut_down = False
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
        self._finalizer = weakref.finalize(
            self, _release, self._adapter, list(self._channels), self._sink, False
        )

    # -- opening -------------------------------------------------------------------------------

    def _configure(self, lib: Any, handle: int, index: int) -> None:
        where = f"channel {index}: "

        def check(code: int) -> None:
            if code != OK:
                raise CanInitializationError(f"{where}{last_error(lib, handle)}", error_code=code)

        if self._bitrate is not None:
            check(lib.ovel_canfd_set_bitrate(handle, index, self._bitrate))
        if self._data_bitrate is not None:
            check(lib.ovel_canfd_set_data_bitrate(handle, index, self._data_bitrate))
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
        if channel is None:
            return self._channels[0]
        try:
            index = int(channel)
        except (TypeError, ValueError):
            # A label of another interface, as in a log file recorded elsewhere ("can0").
            return self._channels[0]
        if index not in self._channels:
            raise UnsendableFrameError(
                f"channel {channel!r} is not one of this bus's channels {self._channels}"
            )
        return index

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Sends the message and waits until the adapter has taken it (at most about 1 s).

        ``msg.channel`` picks one of the bus's channels (None, or another interface's label such
        as "can0": the first). ``timeout`` cannot shorten the wait: the library's call cannot be
        interrupted, and giving up on a frame that the adapter may still take would report a
        failure for a frame that goes out (a retry would send it twice). The library's own
        bound (about 1 s) applies to every call.

        :raises UnsendableFrameError: (a can.CanOperationError and a ValueError) the message
            cannot be sent as it is, e.g. an error frame or an identifier out of range; nothing
            was sent.
        :raises can.CanOperationError: the library refused or failed; the message carries its
            failure text.
        """
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        record = record_from_message(msg, self._transmit_channel(msg.channel))
        if record.fd and not self._fd:
            raise UnsendableFrameError("a CAN FD frame on a bus opened without fd=True")
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
        raise NotImplementedError("the state is chosen when the bus is opened (listen_only)")

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
            _release(self._adapter, self._channels, self._sink, True)
