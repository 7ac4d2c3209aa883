"""Ports and devices: one method per command, Python values in and out, and
DeviceError for every failure."""

import collections
import ctypes
import operator
import threading

from ._library import HelloAnswer, ImageHeader, MeasureHeader, load_library

#: The most values a measurement answer can announce (16383 pairs).
MAX_MEASURE_VALUES = 32766
#: Room for an image unless a caller asks for more: a device's largest image
#: (16383 x 16383 pixels) would take 268 MB.
DEFAULT_MAX_PIXELS = 4 * 1024 * 1024

_INVALID_PORT = ctypes.c_void_p(-1).value

Hello = collections.namedtuple(
    "Hello", "value1 value2 value3 value4 value5 value6 value7")
Hello.__doc__ = "The seven values of a device's hello answer, uninterpreted."

Measurement = collections.namedtuple("Measurement", "lead_value pairs")
Measurement.__doc__ = "A measurement: the 7-bit lead value and a list of (first, second) pairs."


class Image(collections.namedtuple("Image", "width height pixels word3 word4")):
    """An image: height rows of width 7-bit pixels in bytes, row r starting at
    r * width, and the device's third and fourth header words."""

    __slots__ = ()

    def to_array(self):
        """The pixels as a height x width NumPy array of uint8 (needs NumPy)."""
        try:
            import numpy  # pylint: disable=import-outside-toplevel
        except ImportError as missing:
            raise ImportError("an image as an array needs NumPy; Image.pixels has the "
                              "pixels as bytes") from missing
        return numpy.frombuffer(self.pixels, dtype=numpy.uint8).reshape(
            self.height, self.width).copy()


class DeviceError(Exception):
    """A call failed. Names the command, the port and the device address
    (None for opening a port), and, when the library gives one, its reason:
    reason (a stable number), reason_text and detail."""

    def __init__(self, command, port, address, reason=None, reason_text=None, detail=None,
                 note=None):
        self.command = command
        self.port = port
        self.address = address
        self.reason = reason
        self.reason_text = reason_text
        self.detail = detail
        message = command
        if address is not None:
            message += f" to address {address}"
        message += f" on {port} failed"
        if reason_text:
            message += f": {reason_text}"
        if detail:
            message += f" ({detail})"
        if note:
            message += f"; {note}"
        super().__init__(message)


def _in_range(name, value, low, high):
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{name} {value} is outside {low}-{high}")
    return value


def parameter_code(number, groups=2):
    """The code of a parameter: its number (0-127) and the number of 7-bit
    groups its value travels in."""
    number = _in_range("parameter number", number, 0, 127)
    groups = _in_range("group count", groups, 0, 255)
    return groups << 8 | number


def _checked_code(code):
    code = _in_range("parameter code", code, 0, 0xFFFF)
    # The number travels in one 7-bit data byte: 128-255 cannot reach a device.
    if code & 0xFF > 127:
        raise ValueError(f"parameter {code & 0xFF} cannot be addressed: numbers are 0-127")
    return code


class Port:
    """An open converter port. Closes on close(), at the end of a with block,
    or when collected. Exchanges through one Port are serialised: a port
    carries one exchange at a time."""

    def __init__(self, description, baud=115200, library=None):
        self._library = load_library(library)
        self._description = str(description)
        self._lock = threading.Lock()
        self._handle = None
        baud = _in_range("baud rate", baud, 1, 0xFFFFFFFF)
        handle = ctypes.c_void_p()
        with self._lock:
            if not self._library.QX318_OpenPort(self._description.encode(), baud,
                                                ctypes.byref(handle)):
                raise self._failure("open", None)
        self._handle = handle.value

    @property
    def description(self):
        return self._description

    @property
    def closed(self):
        return self._handle is None

    @property
    def library(self):
        """The loaded library (its path, whether it gives reasons)."""
        return self._library

    def device(self, address, max_pixels=DEFAULT_MAX_PIXELS):
        """The device at address (0-31) on this port's bus."""
        return Device(self, address, max_pixels)

    def close(self):
        """Closes the port; later calls through its devices raise DeviceError."""
        with self._lock:
            if self._handle is not None:
                self._library.QX318_ClosePort(self._handle)
                self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"<qx318.Port {self._description!r} {state}>"

    def _failure(self, command, address, note=None):
        # The library keeps the reason per thread until that thread's next
        # call: this runs right after the failed call, under the port's lock.
        reason = self._library.last_failure()
        if reason is None:
            return DeviceError(command, self._description, address, note=note)
        code, text, detail = reason
        return DeviceError(command, self._description, address, code, text, detail, note)

    def _exchange(self, command, address, function, *arguments, note=None):
        with self._lock:
            if self._handle is None or self._handle == _INVALID_PORT:
                raise DeviceError(command, self._description, address,
                                  reason_text="the port is closed")
            if not function(self._handle, address, *arguments):
                raise self._failure(command, address, note)


class Device:
    """One device on a port's bus: one method per command."""

    def __init__(self, port, address, max_pixels=DEFAULT_MAX_PIXELS):
        self._port = port
        self._address = _in_range("address", address, 0, 31)
        self.max_pixels = max_pixels
        self._values = None  # the measurement buffer, allocated at first use
        self._pixels = None  # the image buffer, allocated at first use

    @property
    def address(self):
        return self._address

    @property
    def port(self):
        return self._port

    @property
    def max_pixels(self):
        """The room image() makes for pixels; a larger image is refused."""
        return self._max_pixels

    @max_pixels.setter
    def max_pixels(self, value):
        self._max_pixels = _in_range("max_pixels", value, 1, 0xFFFFFFFF)

    def __repr__(self):
        return f"<qx318.Device {self._address} on {self._port.description!r}>"

    def _run(self, command, function_name, *arguments, note=None):
        function = getattr(self._port.library, function_name)
        self._port._exchange(command, self._address, function, *arguments,  # noqa: SLF001
                             note=note)

    def hello(self):
        answer = HelloAnswer()
        self._run("hello", "QX318_HelloCmd", ctypes.byref(answer))
        return Hello(answer.value1, answer.value2, answer.value3, answer.value4, answer.value5,
                     answer.value6, answer.value7)

    def read_parameter(self, code):
        """The value of the parameter with this code (see parameter_code)."""
        code = _checked_code(code)
        value = ctypes.c_uint16()
        self._run("read parameter", "QX318_ReadParameter", code, ctypes.byref(value))
        return value.value

    def write_parameter(self, code, value):
        """Sends the value; the device does not answer, so success means only
        that the request left the port."""
        code = _checked_code(code)
        value = _in_range("parameter value", value, 0, 0xFFFF)
        self._run("write parameter", "QX318_WriteParameter", code, value)

    def save_parameters(self):
        """The device copies its parameters to flash."""
        self._run("save parameters", "QX318_FlushParamsToFlash")

    def restore_parameters(self):
        """The device copies its parameters back from flash."""
        self._run("restore parameters", "QX318_RestoreParamsFromFlash")

    def measure(self):
        """A Measurement: the lead value and the list of value pairs."""
        if self._values is None:
            self._values = (ctypes.c_uint16 * MAX_MEASURE_VALUES)()
        header = MeasureHeader()
        self._run("measure", "QX318_GetMeasureEx", ctypes.byref(header), self._values,
                  MAX_MEASURE_VALUES)
        values = self._values[:2 * header.pair_count]
        return Measurement(header.lead_byte, list(zip(values[0::2], values[1::2])))

    def lock_result(self):
        """Freezes the device's measurement, or releases a frozen one. The
        device does not answer."""
        self._run("lock result", "QX318_LockResult")

    def image(self, max_pixels=None):
        """An Image. Room is made for max_pixels (default: self.max_pixels);
        a larger image is refused with DeviceError before any row is read."""
        room = self._max_pixels if max_pixels is None else _in_range(
            "max_pixels", max_pixels, 1, 0xFFFFFFFF)
        if self._pixels is None or len(self._pixels) != room:
            self._pixels = bytearray(room)
        header = ImageHeader()
        self._run("image", "QX318_GetImageEx", ctypes.byref(header),
                  (ctypes.c_uint8 * room).from_buffer(self._pixels), room,
                  note=f"room was made for {room} pixels (max_pixels)")
        size = header.row_count * header.row_length
        return Image(header.row_length, header.row_count, bytes(self._pixels[:size]),
                     header.word3, header.word4)

    def image_array(self, max_pixels=None):
        """The image's pixels as a height x width NumPy array (needs NumPy)."""
        return self.image(max_pixels).to_array()

    def rotate_axis(self):
        """Triggers the XY axis rotation; the 32-bit value the device answers."""
        value = ctypes.c_int32()
        self._run("rotate axis", "QX318_RotateAxisXY", ctypes.byref(value))
        return value.value

    def rotate_angle(self):
        """The rotation angle the device holds."""
        value = ctypes.c_int32()
        self._run("rotation angle", "QX318_GetRotateAngle", ctypes.byref(value))
        return value.value

    def save_angle(self):
        """The device copies its angle to flash."""
        self._run("save angle", "QX318_FlushAngleToFlash")

    def restore_angle(self):
        """The device copies its angle back from flash."""
        self._run("restore angle", "QX318_RestoreAngleFromFlash")


def open_port(description, baud=115200, library=None):
    """Opens a converter port: a device path such as "/dev/ttyUSB0" (or a USB
    product description) on Linux, the converter's USB product description on
    Windows. Use it in a with block. library names the shared library file
    when it is not found by itself."""
    return Port(description, baud, library)
