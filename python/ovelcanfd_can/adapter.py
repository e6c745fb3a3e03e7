"""One library handle per adapter and process, shared by the buses opened on its channels.

The library lets one handle hold an adapter and the USB device can be claimed once, so a second
bus on another channel of the same adapter borrows the first one's handle. The handle's receive
callback hands every frame to the bus that owns the frame's channel; the handle is closed when the
last of its channels is released.
"""

import ctypes
import math
import queue
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from can import CanInitializationError, CanOperationError

from .frames import message_from_record
from .library import (
    ERR_BUSY,
    ERR_TIMEOUT,
    FAILED_SEND_REASONS,
    OK,
    AdapterDetails,
    BusStateRecord,
    FailedSend,
    Frame,
    RxHandler,
    adapter_details,
    last_error,
    reception_end,
    rx_timestamp,
)


# A send waiting for room wakes this often (seconds) to notice a shutdown, which waits for it.
_SEND_WAIT_SLICE = 0.1


class Sink:
    """Where the frames of one bus's channels go: its receive queue, echoes included or not."""

    __slots__ = ("queue", "receive_own_messages")

    def __init__(self, receive_own_messages: bool) -> None:
        self.queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self.receive_own_messages = receive_own_messages


class SharedAdapter:
    """An open handle and the channels that buses of this process have started on it."""

    def __init__(self, library: ctypes.CDLL, serial: Optional[str], path: Optional[str] = None) -> None:
        self.library = library
        self.serial = serial
        self.path = path
        self.handle: Optional[int] = None
        # channel -> sink; replaced, never changed in place, so that the dispatch thread reads a
        # consistent mapping without a lock.
        self._sinks: Dict[int, Sink] = {}
        # Sends run concurrently; closing waits for those in progress so that the handle is never
        # freed under one.
        self._sends = threading.Condition()
        self._active_sends = 0
        self._closing = False
        # Failed queued sends taken from the library but not yet reported, by channel: each bus
        # reports those of its own channels.
        self._failures_lock = threading.Lock()
        self._failures: Dict[int, List[int]] = {}
        self._rx_handler = RxHandler(lambda record, info, _user: self._on_frame(record, info))

    # -- life ----------------------------------------------------------------------------------

    def open(self) -> None:
        lib = self.library
        handle = lib.ovel_canfd_init()
        if not handle:
            raise CanInitializationError("ovel_canfd_init failed: out of memory")
        if self.path is not None:
            code = lib.ovel_canfd_open_with_device_path(handle, self.path.encode("utf-8"))
            context = f"adapter at {self.path!r}: "
        elif self.serial is None:
            code, context = lib.ovel_canfd_open(handle), ""
        else:
            code = lib.ovel_canfd_open_with_device_serial_number(handle, self.serial.encode("utf-8"))
            context = f"adapter {self.serial!r}: "
        if code != OK:
            text = last_error(lib, handle)
            lib.ovel_canfd_deinit(handle)
            raise CanInitializationError(f"{context}{text}", error_code=code)
        lib.ovel_canfd_set_rx_handler(handle, self._rx_handler, None)
        self.handle = handle

    def close(self) -> None:
        with self._sends:
            self._closing = True
            self._sends.wait_for(lambda: self._active_sends == 0)
            handle, self.handle = self.handle, None
        if handle is not None:
            # Close ends the dispatch thread after the frames still queued have been delivered,
            # so the callback is no longer called once it returns.
            self.library.ovel_canfd_close(handle)
            self.library.ovel_canfd_deinit(handle)

    @property
    def channels(self) -> List[int]:
        return list(self._sinks)

    def add_sink(self, channels: List[int], sink: Sink) -> None:
        sinks = dict(self._sinks)
        sinks.update((index, sink) for index in channels)
        self._sinks = sinks

    def remove_sink(self, channels: List[int]) -> None:
        self._sinks = {index: sink for index, sink in self._sinks.items() if index not in channels}

    # -- reception -----------------------------------------------------------------------------

    def _on_frame(self, record_pointer: "ctypes._Pointer[Frame]", info_pointer: Any) -> None:
        # Runs on the library's dispatch thread: nothing may escape into C, and a frame that
        # cannot be converted is reported to the reader in its place rather than dropped unseen.
        sink = None
        try:
            timestamp = rx_timestamp(info_pointer.contents) if info_pointer else time.time()
            record = record_pointer.contents
            sink = self._sinks.get(record.channel)
            if sink is None or (record.echo and not sink.receive_own_messages):
                return
            sink.queue.put(message_from_record(record, timestamp))
        except BaseException as error:  # pylint: disable=broad-except
            try:
                if sink is not None:
                    sink.queue.put(CanOperationError(f"a received frame could not be converted: {error!r}"))
            except BaseException:  # pylint: disable=broad-except
                pass

    def details(self) -> Optional[AdapterDetails]:
        """The open adapter's details, or None when the library could not give them."""
        with self._sends:
            if self._closing or self.handle is None:
                return None
            handle = self.handle
            found = adapter_details(self.library, handle)
        return found if found.size else None

    @contextmanager
    def _call(self) -> Iterator[Optional[int]]:
        """The handle for one call (None once shut down), which close waits for."""
        with self._sends:
            if self._closing or self.handle is None:
                handle = None
            else:
                self._active_sends += 1
                handle = self.handle
        try:
            yield handle
        finally:
            if handle is not None:
                with self._sends:
                    self._active_sends -= 1
                    self._sends.notify_all()

    def bus_state(self, channel: int) -> Optional[int]:
        """The channel's OVEL_CANFD_STATE_* value, or None when the library could not tell."""
        with self._call() as handle:
            if handle is None:
                return None
            record = BusStateRecord(size=ctypes.sizeof(BusStateRecord))
            if self.library.ovel_canfd_get_bus_state(handle, channel, ctypes.byref(record)) != OK:
                return None
            return int(record.state)

    def reception_end(self) -> Optional[str]:
        """Why reception ended by itself, or None while it runs, was stopped or the handle closed."""
        with self._call() as handle:
            return None if handle is None else reception_end(self.library, handle)

    def restart(self, channels: List[int], listen_only: bool) -> None:
        """Stops the channels, sets listen-only on or off and starts them again."""
        with _registry_lock, self._call() as handle:
            if handle is None:
                raise CanOperationError("the bus is shut down")
            lib = self.library
            for index in channels:
                # Turning listen-only off fails only on an adapter that cannot have it on.
                steps = ((lib.ovel_canfd_stop, ()), (lib.ovel_canfd_set_monitor, (listen_only,)),
                         (lib.ovel_canfd_start, ()))
                for call, arguments in steps:
                    code = call(handle, index, *arguments)
                    if code != OK and (call is not lib.ovel_canfd_set_monitor or listen_only):
                        raise CanOperationError(f"channel {index}: {last_error(lib, handle)}", error_code=code)

    # -- transmission --------------------------------------------------------------------------

    @property
    def queued_sends(self) -> bool:
        """Whether the library has queued sends (ovel_canfd_send and its companions)."""
        return all(
            hasattr(self.library, name)
            for name in ("ovel_canfd_send", "ovel_canfd_flush", "ovel_canfd_get_failed_sends")
        )

    def transmit(self, record: Frame) -> None:
        with self._call() as handle:
            if handle is None:
                raise CanOperationError("the bus is shut down")
            code = self.library.ovel_canfd_transmit(handle, ctypes.byref(record))
            if code != OK:
                raise CanOperationError(last_error(self.library, handle), error_code=code)

    def send(self, record: Frame, timeout: Optional[float]) -> None:
        """Queues the frame: waits for room in its channel's window for `timeout` seconds (None:
        until there is room, 0: not at all) and raises CanOperationError("Transmit buffer full
        ...") when there was none. Frames of the channel that failed after earlier sends are
        raised first, and this frame is then not sent."""
        lib = self.library
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        send_id = ctypes.c_uint32()
        with self._call() as handle:
            if handle is None:
                raise CanOperationError("the bus is shut down")
            self._raise_failures(handle, [record.channel])
            while True:
                remaining = _SEND_WAIT_SLICE if deadline is None else deadline - time.monotonic()
                wait_ms = max(0, math.ceil(min(remaining, _SEND_WAIT_SLICE) * 1000))
                code = lib.ovel_canfd_send(handle, ctypes.byref(record), wait_ms, ctypes.byref(send_id))
                if code == OK:
                    return
                if code not in (ERR_BUSY, ERR_TIMEOUT):
                    raise CanOperationError(last_error(lib, handle), error_code=code)
                if self._closing:
                    raise CanOperationError("the bus is shut down")
                if deadline is not None and time.monotonic() >= deadline:
                    waited = "" if not timeout or timeout <= 0 else f" within {timeout} s"
                    raise CanOperationError(
                        f"Transmit buffer full: no room in channel {record.channel}'s send window{waited}",
                        error_code=code,
                    )

    def _collect_failures(self, handle: int) -> None:
        batch = (FailedSend * 64)()
        count = ctypes.c_uint32()
        with self._failures_lock:
            while (
                self.library.ovel_canfd_get_failed_sends(handle, batch, len(batch), ctypes.byref(count)) == OK
                and count.value > 0
            ):
                for failed in batch[: count.value]:
                    self._failures.setdefault(failed.channel, []).append(failed.reason)

    def take_failures(self, handle: int, channels: List[int]) -> List[str]:
        """Texts for the queued frames of `channels` that failed since last asked, one per
        channel and reason ("channel 0: 2 messages did not go out: ...")."""
        self._collect_failures(handle)
        texts = []
        with self._failures_lock:
            for channel in channels:
                reasons = self._failures.pop(channel, [])
                for reason in sorted(set(reasons)):
                    count = reasons.count(reason)
                    texts.append(
                        f"channel {channel}: {count} message{'s' if count > 1 else ''} did not go "
                        f"out: {FAILED_SEND_REASONS.get(reason, 'unknown reason')}"
                    )
        return texts

    def _raise_failures(self, handle: int, channels: List[int]) -> None:
        texts = self.take_failures(handle, channels)
        if texts:
            raise CanOperationError("earlier messages were not sent: " + "; ".join(texts))


# Adapters open in this process, by library and serial number (None: the first one found).
_adapters: Dict[Tuple[int, Optional[str], Optional[str]], SharedAdapter] = {}
# Held while channels are started, stopped or the registry changes; never while a send waits.
_registry_lock = threading.RLock()

Configure = Callable[[ctypes.CDLL, int, int], None]


def attach(library: ctypes.CDLL, serial: Optional[str], channels: List[int], configure: Configure,
           sink: Sink, path: Optional[str] = None) -> SharedAdapter:
    """Opens the adapter, or shares the handle already open here, and starts `channels` on it.

    `configure(library, handle, channel)` applies a bus's settings before its channels start.
    Raises CanInitializationError with the library's failure text; on failure nothing this call
    started or opened is left behind.
    """
    key = (id(library), serial, path)
    with _registry_lock:
        adapter = _adapters.get(key)
        opened = adapter is None
        if adapter is None:
            adapter = SharedAdapter(library, serial, path)
            adapter.open()
        taken = sorted(set(channels) & set(adapter.channels))
        if taken:
            raise CanInitializationError(
                f"channel {taken[0]} of this adapter is already used by another bus of this process"
            )
        handle = adapter.handle
        assert handle is not None
        started: List[int] = []
        # The sink is in place before the first channel starts: the frames the adapter hands
        # over at once (under load, before start even returns here) must not find none.
        adapter.add_sink(channels, sink)
        try:
            for index in channels:
                configure(library, handle, index)
            for index in channels:
                code = library.ovel_canfd_start(handle, index)
                if code != OK:
                    text = last_error(library, handle)
                    raise CanInitializationError(f"channel {index}: {text}", error_code=code)
                started.append(index)
        except BaseException:
            for index in started:
                library.ovel_canfd_stop(handle, index)
            adapter.remove_sink(channels)
            if opened:
                adapter.close()
            raise
        _adapters[key] = adapter
        return adapter


def detach(adapter: SharedAdapter, channels: List[int], warn: Optional[Callable[[str], None]],
           flush_seconds: float = 0.0) -> None:
    """Stops `channels`, after waiting up to `flush_seconds` for their queued frames to go out;
    closes the adapter when no bus of this process uses it any more. Queued frames that did not
    go out are told to `warn`."""
    with _registry_lock:
        adapter.remove_sink(channels)
        handle = adapter.handle
        if handle is not None:
            queued = adapter.queued_sends
            if queued:
                # Stopping a channel drops the frames still in flight on it.
                deadline = time.monotonic() + flush_seconds
                for index in channels:
                    wait_ms = max(0, math.ceil((deadline - time.monotonic()) * 1000))
                    adapter.library.ovel_canfd_flush(handle, index, wait_ms)
            for index in channels:
                if adapter.library.ovel_canfd_stop(handle, index) != OK and warn is not None:
                    warn(f"channel {index}: {last_error(adapter.library, handle)}")
            if queued and warn is not None:
                for text in adapter.take_failures(handle, channels):
                    warn(text)
        if not adapter.channels:
            _adapters.pop((id(adapter.library), adapter.serial, adapter.path), None)
            adapter.close()
