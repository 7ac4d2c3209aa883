"""Why a call failed: the library's reason codes, and one exception class per
family of reasons, so that a caller can catch "no answer" apart from "the
port is gone" without comparing numbers."""

import enum
from typing import Dict, Optional, Type, Union


class Reason(enum.IntEnum):
    """The library's reason for a failure: the QX318_FAIL_ codes of
    QX318_RS485.h, same names, same values. INVALID_ARGUMENT is this
    package's own (negative, like every code the library never gives): an
    argument refused before anything was sent."""

    INVALID_ARGUMENT = -2
    NONE = 0
    NULL_ARGUMENT = 1
    NOT_FOUND = 2
    PORT_BUSY = 3
    ACCESS_DENIED = 4
    LINE_SETTINGS = 5
    BAUD_RATE = 6
    TIMEOUTS = 7
    QUEUES = 8
    PURGE = 9
    EVENT_MASK = 10
    WRITE_SHORT = 11
    NO_ANSWER = 12
    ANSWER_CUT_SHORT = 13
    NO_START_BYTE = 14
    ANSWER_TOO_LONG = 15
    WRONG_LENGTH = 16
    CRC_MISMATCH = 17
    FLASH_NOT_CONFIRMED = 18
    CAPACITY = 19
    NO_MEMORY = 20
    HUNG_UP = 21
    INVALID_HANDLE = 22
    PORT_ERROR = 23
    CONNECTION = 24
    WRONG_PROTOCOL = 25
    NOT_SERIAL = 26
    CONNECTION_REFUSED = 27
    HOST_UNREACHABLE = 28


class DeviceError(Exception):
    """A call failed. Names the command, the port and the device address
    (None for opening a port), and, when the library gives one, its reason:
    reason (a Reason, or the bare number of a code newer than this package),
    reason_text and detail."""

    def __init__(self, command: str, port: Optional[str], address: Optional[int],
                 reason: Optional[int] = None, reason_text: Optional[str] = None,
                 detail: Optional[str] = None, note: Optional[str] = None) -> None:
        self.command = command
        self.port = port
        self.address = address
        self.reason: Optional[Union[Reason, int]] = _as_reason(reason)
        self.reason_text = reason_text
        self.detail = detail
        message = command
        if address is not None:
            message += f" to address {address}"
        if port is not None:
            message += f" on {port}"
        message += " failed"
        if reason_text:
            message += f": {reason_text}"
        if detail:
            message += f" ({detail})"
        if note:
            message += f"; {note}"
        super().__init__(message)


class NoAnswer(DeviceError):
    """No byte of an answer arrived: nobody answers at that address, or the
    bus is cut."""


class AnswerCorrupt(DeviceError):
    """An answer arrived but cannot be trusted: a CRC or a length that does
    not match, an answer cut short, or one that is not the expected echo."""


class PortUnavailable(DeviceError):
    """The port cannot be used: it does not exist or is no serial port, is
    busy or refused, was unplugged or closed, or its network server cannot be
    reached."""


class InvalidArgument(DeviceError, ValueError):
    """An argument was refused before anything was sent (see
    docs/arguments.md). Also a ValueError, as the refusals were before."""


#: The family each reason belongs to; a reason not named here (and a code
#: newer than this package) is a plain DeviceError.
FAMILIES: Dict[Reason, Type[DeviceError]] = {
    Reason.INVALID_ARGUMENT: InvalidArgument,
    Reason.NULL_ARGUMENT: InvalidArgument,
    Reason.NOT_FOUND: PortUnavailable,
    Reason.PORT_BUSY: PortUnavailable,
    Reason.ACCESS_DENIED: PortUnavailable,
    Reason.LINE_SETTINGS: PortUnavailable,
    Reason.BAUD_RATE: PortUnavailable,
    Reason.TIMEOUTS: PortUnavailable,
    Reason.QUEUES: PortUnavailable,
    Reason.PURGE: PortUnavailable,
    Reason.EVENT_MASK: PortUnavailable,
    Reason.HUNG_UP: PortUnavailable,
    Reason.INVALID_HANDLE: PortUnavailable,
    Reason.PORT_ERROR: PortUnavailable,
    Reason.CONNECTION: PortUnavailable,
    Reason.WRONG_PROTOCOL: PortUnavailable,
    Reason.NOT_SERIAL: PortUnavailable,
    Reason.CONNECTION_REFUSED: PortUnavailable,
    Reason.HOST_UNREACHABLE: PortUnavailable,
    Reason.NO_ANSWER: NoAnswer,
    Reason.ANSWER_CUT_SHORT: AnswerCorrupt,
    Reason.NO_START_BYTE: AnswerCorrupt,
    Reason.ANSWER_TOO_LONG: AnswerCorrupt,
    Reason.WRONG_LENGTH: AnswerCorrupt,
    Reason.CRC_MISMATCH: AnswerCorrupt,
    Reason.FLASH_NOT_CONFIRMED: AnswerCorrupt,
    # The rest are failures of their own: a success (never raised), a
    # request the converter did not take whole, an answer larger than the
    # room given, and memory.
    Reason.NONE: DeviceError,
    Reason.WRITE_SHORT: DeviceError,
    Reason.CAPACITY: DeviceError,
    Reason.NO_MEMORY: DeviceError,
}


def _as_reason(code: Optional[int]) -> Optional[Union[Reason, int]]:
    if code is None:
        return None
    try:
        return Reason(code)
    except ValueError:
        return code  # a library newer than this package


def family_of(reason: Optional[int]) -> Type[DeviceError]:
    """The exception class for a reason code; DeviceError for None (a
    library that gives no reasons) and for a code this package does not
    know."""
    known = _as_reason(reason)
    if isinstance(known, Reason):
        return FAMILIES[known]
    return DeviceError
