"""qx318: QX318 measuring devices on an RS-485 bus, from Python.

    import qx318
    with qx318.open_port("/dev/ttyUSB0", baud=115200) as port:
        dev = port.device(3)
        print(dev.hello())
        dev.write_parameter(qx318.parameter_code(5, groups=2), 300)
        image = dev.image()   # width, height, pixels (bytes), word3, word4

Every failure raises a DeviceError; its family says what kind: NoAnswer,
AnswerCorrupt, PortUnavailable, or InvalidArgument for an argument refused
before anything is sent (docs/arguments.md). error.reason is a Reason.

A pure-Python layer over the QX318_RS485 shared library (ctypes). The
library is the file named by the environment variable QX318_LIBRARY, else
the one beside this package, else the one the system's loader finds.
"""

from ._bus import (DEFAULT_MAX_PIXELS, MAX_MEASURE_VALUES, Device, Hello, Image, Measurement, Port,
                   open_port, parameter_code)
from ._errors import (FAMILIES, AnswerCorrupt, DeviceError, InvalidArgument, NoAnswer,
                      PortUnavailable, Reason)
from ._library import LIBRARY_NAME, LIBRARY_VARIABLE, LibraryError, load_library

__version__ = "1.0.0.1"

__all__ = [
    "DEFAULT_MAX_PIXELS", "FAMILIES", "MAX_MEASURE_VALUES", "AnswerCorrupt", "Device",
    "DeviceError", "Hello", "Image", "InvalidArgument", "LIBRARY_NAME", "LIBRARY_VARIABLE",
    "LibraryError", "Measurement", "NoAnswer", "Port", "PortUnavailable", "Reason",
    "load_library", "open_port", "parameter_code",
]
