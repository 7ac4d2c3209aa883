"""Ports and devices: one method per command, Python values in and out, and a
DeviceError (of the family its reason belongs to) for every failure."""

import ctypes
import operator
import os
import threading
import warnings
from typing import Any, Callable, List, NamedTuple, Optional, Tuple, Union

from ._errors import DeviceError, InvalidArgument, Reason, family_of
from ._library import HelloAnswer, ImageHeader, Library, MeasureHeader, load_library

#: The most values a measurement answer can announce (16383 pairs).
MAX_MEASURE_VALUES = 32766
#: Room for an image unless a caller asks for more: a device's largest image
#: (16383 x 16383 pixels) would take 268 MB.
DEFAULT_MAX_PIXELS = 4 * 1024 * 1024

_INVALID_PORT = ctypes.c_void_p(-1).value

# The limits and refusals of docs/arguments.md, in the host tool's words.
_LAST_ADDRESS = 31
_LAST_PARAMETER_NUMBER = 127
_GROUP_COUNTS = range(1, 4)
_BITS_PER_GROUP = 7
_LARGEST_VALUE = 0xFFFF
_ADDRESS_REFUSED = "Value {address} not in range 0 to 31"
_NUMBER_REFUSED = "parameter number {number} does not fit in a 7-bit data byte (0-127)"
_GROUPS_REFUSED = ("group count {groups} of code {code} is outside 1-3 (a 16-bit value travels "
                   "in 1 to 3 groups of 7 bits)")
_VALUE_REFUSED = ("VALUE {value} does not fit in code {code}, {group_count} of 7 bits "
                  "(at most {largest})")

PathLike = Union[str, "os.PathLike[str]"]


class Hello(NamedTuple):
    """The seven values of a device's hello answer, uninterpreted."""

    value1: int
    value2: int
    value3: int
    value4: int
    value5: int
    value6: int
    value7: int


class Measurement(NamedTuple):
    """A measurement: the 7-bit lead byte and a list of (first, second)
    pairs."""

    lead_byte: int
    pairs: List[Tuple[int, int]]

    @property
    def lead_value(self) -> int:
        """The lead byte under its old name; use lead_byte."""
        warnings.warn("Measurement.lead_value is now Measurement.lead_byte", DeprecationWarning,
                      stacklevel=2)
        return self.lead_byte


class Image(NamedTuple):
    """An image: height rows of width 7-bit pixels in bytes, row r starting at
    r * width, and the device's third and fourth header words."""

    width: int
    height: int
    pixels: bytes
    word3: int
    word4: int

    def to_array(self) -> Any:
        """The pixels as a height x width NumPy array of uint8 (needs NumPy)."""
        try:
            import numpy  # pylint: disable=import-outside-toplevel
        except ImportError as missing:
            raise ImportError("an image as an array needs NumPy; Image.pixels has the "
                              "pixels as bytes") from missing
        return numpy.frombuffer(self.pixels, dtype=numpy.uint8).reshape(
            self.height, self.width).copy()


def _whole(value: int) -> int:
    # A float or a string is a TypeError, as it always was; only its range is
    # an InvalidArgument.
    return operator.index(value)


def _code_text(code: int) -> str:
    return f"0x{code:04X}" if code >= 0 else f"-0x{-code:04X}"


def _group_count_text(groups: int) -> str:
    return f"{groups} group" if groups == 1 else f"{groups} groups"


def _refusal(command: str, port: Optional[str], address: Optional[int],
             text: str) -> InvalidArgument:
    return InvalidArgument(command, port, address, Reason.INVALID_ARGUMENT, text)


def _code_problem(code: int) -> Optional[str]:
    """The refusal of docs/arguments.md a parameter code earns, or None."""
    number, groups = code & 0xFF, code >> 8
    if number > _LAST_PARAMETER_NUMBER:
        return _NUMBER_REFUSED.format(number=number)
    if groups not in _GROUP_COUNTS:
        return _GROUPS_REFUSED.format(groups=groups, code=_code_text(code))
    return None


def _value_problem(code: int, value: int) -> Optional[str]:
    """The refusal a value earns for a code that passed _code_problem."""
    groups = code >> 8
    largest = min((1 << (_BITS_PER_GROUP * groups)) - 1, _LARGEST_VALUE)
    if 0 <= value <= largest:
        return None
    return _VALUE_REFUSED.format(value=value, code=_code_text(code),
                                 group_count=_group_count_text(groups), largest=largest)


def _in_range(command: str, port: Optional[str], address: Optional[int], name: str, value: int,
              low: int, high: int) -> int:
    value = _whole(value)
    if not low <= value <= high:
        raise _refusal(command, port, address, f"{name} {value} is outside {low}-{high}")
    return value


def parameter_code(number: int, groups: int = 2) -> int:
    """The code of a parameter: its number (0-127) and the number of 7-bit
    groups (1-3) its value travels in. Raises InvalidArgument otherwise."""
    number, groups = _whole(number), _whole(groups)
    if not 0 <= number <= _LAST_PARAMETER_NUMBER:
        raise _refusal("parameter_code", None, None, _NUMBER_REFUSED.format(number=number))
    code = groups << 8 | number
    if groups not in _GROUP_COUNTS:
        raise _refusal("parameter_code", None, None,
                       _GROUPS_REFUSED.format(groups=groups, code=_code_text(code)))
    return code


class Port:
    """An open converter port. Closes on close(), at the end of a with block,
    or when collected. Exchanges through one Port are serialised: a port
    carries one exchange at a time."""

    def __init__(self, description: PathLike, baud: int = 115200,
                 library: Optional[PathLike] = None) -> None:
        self._library = load_library(library)
        self._description = str(description)
        self._lock = threading.Lock()
        self._handle: Optional[int] = None
        baud = _in_range("open", self._description, None, "baud rate", baud, 1, 0xFFFFFFFF)
        handle = ctypes.c_void_p()
        with self._lock:
            if not self._library.QX318_OpenPort(self._description.encode(), baud,
                                                ctypes.byref(handle)):
                raise self._failure("open", None)
        self._handle = handle.value

    @property
    def description(self) -> str:
        """The description the port was opened with."""
        return self._description

    @property
    def closed(self) -> bool:
        """Whether close() has run."""
        return self._handle is None

    @property
    def library(self) -> Library:
        """The loaded library (its path, whether it gives reasons)."""
        return self._library

    def device(self, address: int, max_pixels: int = DEFAULT_MAX_PIXELS) -> "Device":
        """The device at address (0-31) on this port's bus; InvalidArgument
        for another address."""
        return Device(self, address, max_pixels)

    def close(self) -> None:
        """Closes the port; later calls through its devices raise
        PortUnavailable."""
        with self._lock:
            if self._handle is not None:
                self._library.QX318_ClosePort(self._handle)
                self._handle = None

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<qx318.Port {self._description!r} {state}>"

    def _failure(self, command: str, address: Optional[int],
                 note: Optional[str] = None) -> DeviceError:
        # The library keeps the reason per thread until that thread's next
        # call: this runs right after the failed call, under the port's lock.
        reason = self._library.last_failure()
        if reason is None:
            return DeviceError(command, self._description, address, note=note)
        code, text, detail = reason
        return family_of(code)(command, self._description, address, code, text, detail, note)

    def _exchange(self, command: str, address: int, function: Callable[..., int],
                  *arguments: Any, note: Optional[str] = None) -> None:
        with self._lock:
            if self._handle is None or self._handle == _INVALID_PORT:
                # The handle was freed: the library is not asked again.
                raise family_of(Reason.INVALID_HANDLE)(
                    command, self._description, address, Reason.INVALID_HANDLE,
                    "the port is closed")
            if not function(self._handle, address, *arguments):
                raise self._failure(command, address, note)


class Device:
    """One device on a port's bus: one method per command."""

    def __init__(self, port: Port, address: int, max_pixels: int = DEFAULT_MAX_PIXELS) -> None:
        address = _whole(address)
        if not 0 <= address <= _LAST_ADDRESS:
            raise _refusal("device", port.description, address,
                           _ADDRESS_REFUSED.format(address=address))
        self._port = port
        self._address = address
        self.max_pixels = max_pixels
        self._values: Optional[ctypes.Array[ctypes.c_uint16]] = None  # allocated at first use
        self._pixels: Optional[bytearray] = None  # allocated at first use

    @property
    def address(self) -> int:
        """The device's address on the bus (0-31)."""
        return self._address

    @property
    def port(self) -> Port:
        """The port whose bus the device is on."""
        return self._port

    @property
    def max_pixels(self) -> int:
        """The room image() makes for pixels; a larger image is refused."""
        return self._max_pixels

    @max_pixels.setter
    def max_pixels(self, value: int) -> None:
        self._max_pixels = _in_range("max_pixels", self._port.description, self._address,
                                     "max_pixels", value, 1, 0xFFFFFFFF)

    def __repr__(self) -> str:
        return f"<qx318.Device {self._address} on {self._port.description!r}>"

    def _run(self, command: str, function_name: str, *arguments: Any,
             note: Optional[str] = None) -> None:
        function = getattr(self._port.library, function_name)
        self._port._exchange(command, self._address, function, *arguments,  # noqa: SLF001
                             note=note)

    def _checked_code(self, command: str, code: int) -> int:
        code = _whole(code)
        problem = _code_problem(code)
        if problem is not None:
            raise _refusal(command, self._port.description, self._address, problem)
        return code

    def hello(self) -> Hello:
        """The device's hello answer: seven values, uninterpreted."""
        answer = HelloAnswer()
        self._run("hello", "QX318_HelloCmd", ctypes.byref(answer))
        return Hello(answer.value1, answer.value2, answer.value3, answer.value4, answer.value5,
                     answer.value6, answer.value7)

    def read_parameter(self, code: int) -> int:
        """The value of the parameter with this code (see parameter_code)."""
        code = self._checked_code("read parameter", code)
        value = ctypes.c_uint16()
        self._run("read parameter", "QX318_ReadParameter", code, ctypes.byref(value))
        return value.value

    def write_parameter(self, code: int, value: int) -> None:
        """Sends the value; the device does not answer, so success means only
        that the request left the port. A value wider than the code's groups
        is refused (InvalidArgument), never cut."""
        code = self._checked_code("write parameter", code)
        value = _whole(value)
        problem = _value_problem(code, value)
        if problem is not None:
            raise _refusal("write parameter", self._port.description, self._address, problem)
        self._run("write parameter", "QX318_WriteParameter", code, value)

    def save_parameters(self) -> None:
        """The device copies its parameters to flash."""
        self._run("save parameters", "QX318_FlushParamsToFlash")

    def restore_parameters(self) -> None:
        """The device copies its parameters back from flash."""
        self._run("restore parameters", "QX318_RestoreParamsFromFlash")

    def measure(self) -> Measurement:
        """A Measurement: the lead byte and the list of value pairs."""
        if self._values is None:
            self._values = (ctypes.c_uint16 * MAX_MEASURE_VALUES)()
        header = MeasureHeader()
        self._run("measure", "QX318_GetMeasureEx", ctypes.byref(header), self._values,
                  MAX_MEASURE_VALUES)
        values = self._values[:2 * header.pair_count]
        return Measurement(header.lead_byte, list(zip(values[0::2], values[1::2])))

    def lock_result(self) -> None:
        """Freezes the device's measurement, or releases a frozen one. The
        device does not answer."""
        self._run("lock result", "QX318_LockResult")

    def image(self, max_pixels: Optional[int] = None) -> Image:
        """An Image. Room is made for max_pixels (default: self.max_pixels);
        a larger image is refused with DeviceError before any row is read."""
        room = self._max_pixels if max_pixels is None else _in_range(
            "image", self._port.description, self._address, "max_pixels", max_pixels, 1,
            0xFFFFFFFF)
        if self._pixels is None or len(self._pixels) != room:
            self._pixels = bytearray(room)
        header = ImageHeader()
        self._run("image", "QX318_GetImageEx", ctypes.byref(header),
                  (ctypes.c_uint8 * room).from_buffer(self._pixels), room,
                  note=f"room was made for {room} pixels (max_pixels)")
        size = header.row_count * header.row_length
        return Image(header.row_length, header.row_count, bytes(self._pixels[:size]),
                     header.word3, header.word4)

    def image_array(self, max_pixels: Optional[int] = None) -> Any:
        """The image's pixels as a height x width NumPy array (needs NumPy)."""
        return self.image(max_pixels).to_array()

    def rotate_axis(self) -> int:
        """Triggers the XY axis rotation; the 32-bit value the device answers."""
        value = ctypes.c_int32()
        self._run("rotate axis", "QX318_RotateAxisXY", ctypes.byref(value))
        return value.value

    def rotate_angle(self) -> int:
        """The rotation angle the device holds."""
        value = ctypes.c_int32()
        self._run("rotation angle", "QX318_GetRotateAngle", ctypes.byref(value))
        return value.value

    def save_angle(self) -> None:
        """The device copies its angle to flash."""
        self._run("save angle", "QX318_FlushAngleToFlash")

    def restore_angle(self) -> None:
        """The device copies its angle back from flash."""
        self._run("restore angle", "QX318_RestoreAngleFromFlash")


def open_port(description: PathLike, baud: int = 115200,
              library: Optional[PathLike] = None) -> Port:
    """Opens a converter port: a device path such as "/dev/ttyUSB0" (or a USB
    product description) on Linux, the converter's USB product description on
    Windows. Use it in a with block. library names the shared library file
    when it is not found by itself."""
    return Port(description, baud, library)
