"""Finding libovelcanfd and declaring its C API (include/ovelcanfd.h) for ctypes."""

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Callable, Dict, List, Mapping, Optional

from can import CanInterfaceNotImplementedError

#: Environment variable naming the library file to load; it takes precedence over the search.
LIBRARY_ENVIRONMENT_VARIABLE = "OVELCANFD_LIBRARY"
#: The library's file names on each system, tried when the system search by name finds nothing.
LIBRARY_FILE_NAMES = {
    "win32": ["ovelcanfd.dll"],
    "cygwin": ["ovelcanfd.dll"],
    "darwin": ["libovelcanfd.dylib", "libovelcanfd.0.dylib"],
}
#: The soname on Linux and the other systems with ELF libraries.
LIBRARY_SONAME = "libovelcanfd.so.0"

OK = 0
ERR_TIMEOUT = -4
ERR_BUSY = -12


class Frame(ctypes.Structure):
    """The C record ovel_canfd_frame: 80 bytes, alignment 4, host byte order."""

    _fields_ = [
        ("channel", ctypes.c_uint8),
        ("id", ctypes.c_uint32),
        ("dlc", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 64),
        ("extended", ctypes.c_bool),
        ("fd", ctypes.c_bool),
        ("brs", ctypes.c_bool),
        ("esi", ctypes.c_bool),
        ("echo", ctypes.c_bool),
        ("rtr", ctypes.c_bool),
        ("err", ctypes.c_bool),
    ]


# A layout that drifted from the C header would corrupt every frame, so refuse to import.
assert ctypes.sizeof(Frame) == 80 and ctypes.alignment(Frame) == 4
assert Frame.data.offset == 9 and Frame.extended.offset == 73 and Frame.err.offset == 79

class Stats(ctypes.Structure):
    """The C record ovel_canfd_stats, 192 bytes; an older library fills only `size` bytes."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("rx_state", ctypes.c_uint32),
        ("rx_end_reason", ctypes.c_uint32),
        ("rx_transfers_in_flight", ctypes.c_uint32),
    ] + [
        (name, ctypes.c_uint64)
        for name in (
            "rx_frames", "rx_delivered", "rx_echoes", "rx_overflow_flags", "rx_dropped_short",
            "rx_dropped_header", "rx_dropped_overflow", "rx_dropped_no_memory", "rx_queue_depth",
            "rx_queue_high_water", "rx_transfer_errors", "rx_refusals", "rx_halts_cleared",
            "rx_retries", "tx_frames", "tx_failures", "tx_timeouts", "send_queued", "send_echoed",
            "send_failed", "send_failures_not_kept", "send_echoes_unmatched",
        )
    ]


assert ctypes.sizeof(Stats) == 192 and Stats.rx_frames.offset == 16
assert Stats.tx_timeouts.offset == 144 and Stats.send_queued.offset == 152


class FailedSend(ctypes.Structure):
    """The C record ovel_canfd_failed_send: a queued frame that did not go out, 8 bytes."""

    _fields_ = [
        ("send_id", ctypes.c_uint32),
        ("channel", ctypes.c_uint8),
        ("reason", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 2),
    ]


assert ctypes.sizeof(FailedSend) == 8 and FailedSend.reason.offset == 5

#: ovel_canfd_failed_send.reason, worded for a message.
FAILED_SEND_REASONS = {
    1: "the USB transfer failed",
    2: "the adapter did not take it within 1 s (no other node acknowledges?)",
    3: "it was still not on the bus when its channel was stopped (no other node acknowledges?)",
    4: "the adapter went away",
    5: "the adapter was closed first",
}


RX_ENDED = 2
_RX_END_REASONS = {
    1: "the adapter is gone",
    2: "the receive endpoint stalls however often it is cleared",
    3: "receive transfers keep failing",
}
#: ovel_canfd_adapter_info.availability: can be opened now.
ADAPTER_FREE = 0
_PATH_SIZE, _STRING_SIZE = 32, 128


class AdapterInfo(ctypes.Structure):
    """The C record ovel_canfd_adapter_info: one plugged adapter, 432 bytes."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("bus", ctypes.c_uint8),
        ("kernel_driver", ctypes.c_bool),
        ("availability", ctypes.c_int32),
        ("path", ctypes.c_char * _PATH_SIZE),
        ("serial_number", ctypes.c_char * _STRING_SIZE),
        ("manufacturer", ctypes.c_char * _STRING_SIZE),
        ("product", ctypes.c_char * _STRING_SIZE),
    ]


class AdapterDetails(ctypes.Structure):
    """The C record ovel_canfd_adapter_details: the open adapter, 488 bytes."""

    _fields_ = [
        (name, ctypes.c_uint32)
        for name in (
            "size", "channel_count", "can_clock_hz", "features", "sw_version", "hw_version",
            "tseg1_min", "tseg1_max", "tseg2_min", "tseg2_max", "sjw_max",
            "brp_min", "brp_max", "brp_inc",
        )
    ] + [("adapter", AdapterInfo)]


assert ctypes.sizeof(AdapterInfo) == 432 and AdapterInfo.path.offset == 16
assert ctypes.sizeof(AdapterDetails) == 488 and AdapterDetails.adapter.offset == 56

#: ovel_canfd_rx_callback: void (*)(const ovel_canfd_frame*).
RxCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(Frame))

RX_HW_TIMESTAMP = 0x1


class RxInfo(ctypes.Structure):
    """The C record ovel_canfd_rx_info: what the library knows about a frame's arrival."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("sequence", ctypes.c_uint64),
        ("host_time_ns", ctypes.c_int64),
        ("hw_time_ns", ctypes.c_int64),
        ("hw_timestamp_us", ctypes.c_uint64),
        # Valid when size > 40: the echo's ovel_canfd_send identifier, 0 for other frames.
        ("send_id", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


assert ctypes.sizeof(RxInfo) == 48 and RxInfo.hw_timestamp_us.offset == 32 and RxInfo.send_id.offset == 40

#: ovel_canfd_rx_handler: void (*)(const ovel_canfd_frame*, const ovel_canfd_rx_info*, void*).
RxHandler = ctypes.CFUNCTYPE(None, ctypes.POINTER(Frame), ctypes.POINTER(RxInfo), ctypes.c_void_p)


def rx_timestamp(info: RxInfo) -> float:
    """Seconds since 1970: the adapter's hardware timestamp when valid, else the host's clock
    when the USB transfer completed."""
    if info.flags & RX_HW_TIMESTAMP:
        return info.hw_time_ns / 1e9
    return info.host_time_ns / 1e9


class BusStateRecord(ctypes.Structure):
    """The C record ovel_canfd_bus_state."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("state", ctypes.c_uint32),
        ("source", ctypes.c_uint32),
        ("rx_errors", ctypes.c_uint32),
        ("tx_errors", ctypes.c_uint32),
    ]


STATE_ERROR_PASSIVE, STATE_BUS_OFF = 2, 3


class BitTimingRecord(ctypes.Structure):
    """ovel_canfd_bit_timing: a timing in time quanta, and what it gives on the bus."""

    _fields_ = [
        ("brp", ctypes.c_uint32),
        ("prop_seg", ctypes.c_uint32),
        ("phase_seg1", ctypes.c_uint32),
        ("phase_seg2", ctypes.c_uint32),
        ("sjw", ctypes.c_uint32),
        ("bitrate", ctypes.c_uint32),
        ("sample_point_permille", ctypes.c_uint32),
    ]

_handle = ctypes.c_void_p
_SIGNATURES = {
    "ovel_canfd_init": (_handle, []),
    "ovel_canfd_deinit": (ctypes.c_int32, [_handle]),
    "ovel_canfd_open": (ctypes.c_int32, [_handle]),
    "ovel_canfd_open_with_device_serial_number": (ctypes.c_int32, [_handle, ctypes.c_char_p]),
    "ovel_canfd_close": (ctypes.c_int32, [_handle]),
    "ovel_canfd_get_channel_count": (ctypes.c_int32, [_handle]),
    "ovel_canfd_get_last_error": (ctypes.c_char_p, [_handle]),
    "ovel_canfd_set_bitrate": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_uint32]),
    "ovel_canfd_set_data_bitrate": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_uint32]),
    "ovel_canfd_set_enabled": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool]),
    "ovel_canfd_set_fd": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool]),
    "ovel_canfd_set_hw_loopback": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool]),
    "ovel_canfd_set_monitor": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool]),
    "ovel_canfd_start": (ctypes.c_int32, [_handle, ctypes.c_uint8]),
    "ovel_canfd_stop": (ctypes.c_int32, [_handle, ctypes.c_uint8]),
    "ovel_canfd_set_rx_callback": (ctypes.c_int32, [_handle, RxCallback]),
    "ovel_canfd_transmit": (ctypes.c_int32, [_handle, ctypes.POINTER(Frame)]),
    "ovel_canfd_get_stats": (ctypes.c_int32, [_handle, ctypes.POINTER(Stats)]),
    "ovel_canfd_list_adapters": (ctypes.c_int32, [ctypes.POINTER(AdapterInfo), ctypes.c_size_t]),
    "ovel_canfd_open_with_device_path": (ctypes.c_int32, [_handle, ctypes.c_char_p]),
    "ovel_canfd_get_adapter_info": (ctypes.c_int32, [_handle, ctypes.POINTER(AdapterDetails)]),
}

# Declared when the library has them (older builds lack them; the bus then does without).
_OPTIONAL_SIGNATURES = {
    "ovel_canfd_set_rx_handler": (ctypes.c_int32, [_handle, RxHandler, ctypes.c_void_p]),
    "ovel_canfd_get_bus_state": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.POINTER(BusStateRecord)]),
    "ovel_canfd_set_bitrate_sample_point": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_uint32, ctypes.c_uint32]),
    "ovel_canfd_set_data_bitrate_sample_point": (
        ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_uint32, ctypes.c_uint32]),
    "ovel_canfd_set_bit_timing": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool, ctypes.POINTER(BitTimingRecord)]),
    "ovel_canfd_get_bit_timing": (ctypes.c_int32, [_handle, ctypes.c_uint8, ctypes.c_bool, ctypes.POINTER(BitTimingRecord)]),
    # Queued sends; without them send() waits for each frame's transfer (ovel_canfd_transmit).
    "ovel_canfd_send": (
        ctypes.c_int32, [_handle, ctypes.POINTER(Frame), ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]),
    "ovel_canfd_flush": (ctypes.c_int32, [_handle, ctypes.c_int32, ctypes.c_uint32]),
    "ovel_canfd_get_failed_sends": (
        ctypes.c_int32, [_handle, ctypes.POINTER(FailedSend), ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]),
    "ovel_canfd_set_rx_latency": (ctypes.c_int32, [_handle, ctypes.c_uint32]),
}

_loaded_lock = threading.Lock()
_loaded: Dict[str, ctypes.CDLL] = {}


def _declare(library: ctypes.CDLL, origin: str) -> ctypes.CDLL:
    for name, (restype, argtypes) in _SIGNATURES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise CanInterfaceNotImplementedError(
                f"{origin} is not libovelcanfd: it lacks {name}"
            ) from None
        function.restype = restype
        function.argtypes = argtypes
    for name, (restype, argtypes) in _OPTIONAL_SIGNATURES.items():
        if hasattr(library, name):
            function = getattr(library, name)
            function.restype = restype
            function.argtypes = argtypes
    return library


def _candidates(
    platform: Optional[str] = None,
    environ: Optional[Mapping[str, str]] = None,
    find_library: Callable[[str], Optional[str]] = ctypes.util.find_library,
) -> List[str]:
    """The names load_library tries, in order, on `platform` (sys.platform by default)."""
    environ = os.environ if environ is None else environ
    explicit = environ.get(LIBRARY_ENVIRONMENT_VARIABLE)
    if explicit:
        # A path the user named is the only one tried: falling back to another build of the
        # library would hide the mistake.
        return [explicit]
    platform = sys.platform if platform is None else platform
    found = find_library("ovelcanfd")
    names = [found] if found else []
    for name in LIBRARY_FILE_NAMES.get(platform, [LIBRARY_SONAME]):
        if name not in names:
            names.append(name)
    return names


def load_library() -> ctypes.CDLL:
    """Loads the library named by OVELCANFD_LIBRARY, else the one the system search finds.

    Raises CanInterfaceNotImplementedError telling every name tried and why each failed.
    """
    tried = []
    with _loaded_lock:
        for name in _candidates():
            if name in _loaded:
                return _loaded[name]
            try:
                library = ctypes.CDLL(name)
            except OSError as error:
                tried.append(f"{name!r} ({error})")
                continue
            _loaded[name] = _declare(library, repr(name))
            return _loaded[name]
    how = (
        f"from {LIBRARY_ENVIRONMENT_VARIABLE}"
        if os.environ.get(LIBRARY_ENVIRONMENT_VARIABLE)
        else f"by the system's library search ({LIBRARY_ENVIRONMENT_VARIABLE} is not set)"
    )
    raise CanInterfaceNotImplementedError(
        f"cannot load libovelcanfd {how}; tried: " + "; ".join(tried)
    )


def last_error(library: ctypes.CDLL, handle: int) -> str:
    """The failure text of the handle's most recent call."""
    text = library.ovel_canfd_get_last_error(handle)
    return text.decode("utf-8", errors="replace") if text else ""


def reception_end(library: ctypes.CDLL, handle: int) -> Optional[str]:
    """Why the handle's reception ended by itself, or None while it runs or was stopped."""
    stats = Stats(size=ctypes.sizeof(Stats))
    if library.ovel_canfd_get_stats(handle, ctypes.byref(stats)) != OK or stats.rx_state != RX_ENDED:
        return None
    reason = _RX_END_REASONS.get(stats.rx_end_reason, f"reason {stats.rx_end_reason}")
    return f"reception ended by itself: {reason}; stop and start again to recover"
def _text(field: bytes) -> str:
    return field.decode("ascii", errors="replace")


def list_adapters(library: ctypes.CDLL) -> List[Dict[str, object]]:
    """Every adapter plugged in (ovel_canfd_list_adapters): path, serial number, strings, and
    whether it can be opened now. An empty list when libusb cannot list the devices."""
    infos = (AdapterInfo * 0)()
    count = library.ovel_canfd_list_adapters(None, 0)
    # Adapters plugged in between two calls make the second one report more: ask again.
    while count > len(infos):
        infos = (AdapterInfo * count)()
        infos[0].size = ctypes.sizeof(AdapterInfo)
        count = library.ovel_canfd_list_adapters(infos, count)
    return [
        {
            "path": _text(info.path),
            "serial": _text(info.serial_number),
            "manufacturer": _text(info.manufacturer),
            "product": _text(info.product),
            "free": info.availability == ADAPTER_FREE,
        }
        for info in infos[: max(count, 0)]
    ]


def adapter_details(library: ctypes.CDLL, handle: int) -> AdapterDetails:
    """The open adapter's details (ovel_canfd_get_adapter_info); size 0 when it failed."""
    details = AdapterDetails()
    details.size = ctypes.sizeof(AdapterDetails)
    if library.ovel_canfd_get_adapter_info(handle, ctypes.byref(details)) != OK:
        details.size = 0
    return details
