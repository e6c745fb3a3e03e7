"""Conversions between python-can messages and the library's frame record."""

import ctypes

from can import CanOperationError, Message
from can.util import dlc2len, len2dlc

from .library import Frame

MAX_STANDARD_ID = 0x7FF
MAX_EXTENDED_ID = 0x1FFFFFFF
MAX_CLASSIC_LENGTH = 8
MAX_FD_LENGTH = 64
_DATA_OFFSET = Frame.data.offset


class UnsendableFrameError(CanOperationError, ValueError):
    """A message the bus cannot send as it is; nothing was sent. Also a ValueError, which is
    what earlier versions raised."""


def data_length(dlc: int, fd: bool) -> int:
    """Bytes a received DLC code stands for; classic codes 9 to 15 mean 8 bytes."""
    if fd:
        return dlc2len(min(dlc, 15))
    return min(dlc, MAX_CLASSIC_LENGTH)


def message_from_record(record: Frame, timestamp: float) -> Message:
    """Builds the message for a received record (the record is only valid during the callback)."""
    fd = bool(record.fd)
    length = data_length(record.dlc, fd)
    remote = bool(record.rtr)
    data = None if remote else ctypes.string_at(ctypes.addressof(record) + _DATA_OFFSET, length)
    return Message(
        timestamp=timestamp,
        arbitration_id=record.id,
        is_extended_id=bool(record.extended),
        is_remote_frame=remote,
        is_error_frame=bool(record.err),
        channel=record.channel,
        dlc=length,
        data=data,
        is_fd=fd,
        is_rx=not record.echo,
        bitrate_switch=bool(record.brs),
        error_state_indicator=bool(record.esi),
    )


def record_from_message(message: Message, channel: int) -> Frame:
    """The record to transmit for a message on the given channel.

    Raises UnsendableFrameError for a message no adapter could send as it is, error frames
    included (an adapter sends the frames it is given; error frames are signalled by the
    controllers on the bus, not sent). An FD payload whose length
    has no DLC code of its own (e.g. 10 bytes) is padded with zeros to the next one (12).
    """
    identifier = message.arbitration_id
    extended = bool(message.is_extended_id)
    limit = MAX_EXTENDED_ID if extended else MAX_STANDARD_ID
    if not isinstance(identifier, int) or not 0 <= identifier <= limit:
        kind = "extended" if extended else "standard"
        raise UnsendableFrameError(f"identifier {identifier!r} is out of range for a {kind} frame (0 to {limit:#x})")
    fd = bool(message.is_fd)
    if not fd and (message.bitrate_switch or message.error_state_indicator):
        raise UnsendableFrameError("bitrate_switch and error_state_indicator exist only on CAN FD frames")
    data = bytes(message.data) if message.data is not None else b""
    remote = bool(message.is_remote_frame)
    if remote:
        if fd:
            raise UnsendableFrameError("CAN FD has no remote frames")
        if data:
            raise UnsendableFrameError("a remote frame carries no data")
        dlc = message.dlc
        if not isinstance(dlc, int) or not 0 <= dlc <= MAX_CLASSIC_LENGTH:
            raise UnsendableFrameError(f"a remote frame's dlc must be 0 to 8, not {dlc!r}")
    else:
        limit = MAX_FD_LENGTH if fd else MAX_CLASSIC_LENGTH
        if len(data) > limit:
            kind = "CAN FD" if fd else "classic CAN"
            raise UnsendableFrameError(f"{len(data)} data bytes are too many for a {kind} frame (at most {limit})")
        dlc = len2dlc(len(data))

    if message.is_error_frame:
        raise UnsendableFrameError("error frames cannot be sent")

    record = Frame()
    record.channel = channel
    record.id = identifier
    record.dlc = dlc
    ctypes.memmove(ctypes.addressof(record) + _DATA_OFFSET, data, len(data))
    record.extended = extended
    record.fd = fd
    record.brs = bool(message.bitrate_switch)
    record.esi = bool(message.error_state_indicator)
    record.rtr = remote
    return record
