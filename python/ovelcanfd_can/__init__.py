"""python-can interface for gs_usb CAN and CAN FD adapters through libovelcanfd.

    can.Bus(interface="ovelcanfd", channel=0, bitrate=500000)

The library is loaded from the path in OVELCANFD_LIBRARY, else found by the system's library
search (libovelcanfd.so.0).
"""

from .bus import OvelCanFdBus, UnsupportedArgumentError, parse_channels
from .frames import UnsendableFrameError
from .library import LIBRARY_ENVIRONMENT_VARIABLE, load_library

__all__ = [
    "OvelCanFdBus",
    "UnsendableFrameError",
    "UnsupportedArgumentError",
    "parse_channels",
    "LIBRARY_ENVIRONMENT_VARIABLE",
    "load_library",
]
__version__ = "0.1.0"
