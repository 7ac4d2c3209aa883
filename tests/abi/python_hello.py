#!/usr/bin/env python3
"""The shared library loaded with ctypes: a hello exchange against a device
this script runs itself on a pseudo-terminal, and the record layout as a
foreign caller declares it."""
import ctypes
import os
import sys
import threading

# A hello answer as a device sends it: start byte, the length 15 as two
# groups, the data bytes 01 02 | 2A | 7F 7F 7F 7F | 00 40 | 11 22 | 33 44 |
# 55 66 with the marker bit, and their CRC-16/ARC 0x9636 as three groups.
HELLO_ANSWER = bytes([0x00, 0x8F, 0x80, 0x81, 0x82, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0x80,
                      0xC0, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xB6, 0xAC, 0x82])
# value1 to value7 as those data bytes carry them.
HELLO_VALUES = (0x0101, 0x2A, 0x0FFFFFFF, 0x2000, 0x1111, 0x2233, 0x3355)


class HelloAnswer(ctypes.Structure):
    _fields_ = [("value1", ctypes.c_uint16), ("value2", ctypes.c_uint8),
                ("unused3", ctypes.c_uint8), ("value3", ctypes.c_uint32),
                ("value4", ctypes.c_uint16), ("value5", ctypes.c_uint16),
                ("value6", ctypes.c_uint16), ("value7", ctypes.c_uint16)]


def read_exactly(fd, count):
    got = b""
    while len(got) < count:
        more = os.read(fd, count - len(got))
        if not more:
            break
        got += more
    return got


def serve_one_hello(master, outcome):
    request = read_exactly(master, 7)
    outcome["request"] = request
    if request == bytes([0x09, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83]):
        os.write(master, HELLO_ANSWER)


def main():
    lib = ctypes.CDLL(sys.argv[1])
    lib.QX318_OpenPort.argtypes = [ctypes.c_char_p, ctypes.c_uint32,
                                   ctypes.POINTER(ctypes.c_void_p)]
    lib.QX318_OpenPort.restype = ctypes.c_int32
    lib.QX318_HelloCmd.argtypes = [ctypes.c_void_p, ctypes.c_int32,
                                   ctypes.POINTER(HelloAnswer)]
    lib.QX318_HelloCmd.restype = ctypes.c_int32
    lib.QX318_ClosePort.argtypes = [ctypes.c_void_p]
    lib.QX318_ClosePort.restype = ctypes.c_int32

    assert ctypes.sizeof(HelloAnswer) == 16
    assert HelloAnswer.value3.offset == 4 and HelloAnswer.value7.offset == 14

    master, slave = os.openpty()
    slave_path = os.ttyname(slave)
    os.close(slave)

    port = ctypes.c_void_p()
    assert lib.QX318_OpenPort(slave_path.encode(), 115200, ctypes.byref(port)) == 1, "open"

    outcome = {}
    device = threading.Thread(target=serve_one_hello, args=(master, outcome))
    device.start()
    answer = HelloAnswer()
    answer.unused3 = 0x5A
    result = lib.QX318_HelloCmd(port, 9, ctypes.byref(answer))
    device.join(10)
    assert outcome.get("request") == bytes([0x09, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83]), outcome
    assert result == 1, "hello failed"
    got = (answer.value1, answer.value2, answer.value3, answer.value4, answer.value5,
           answer.value6, answer.value7)
    assert got == HELLO_VALUES, (got, HELLO_VALUES)
    assert answer.unused3 == 0x5A, "byte 3 of the record was written"

    assert lib.QX318_HelloCmd(port, 9, None) == 0, "a null record must fail"
    assert lib.QX318_ClosePort(port) == 1, "close"
    os.close(master)
    print("python_hello: hello exchange completed")


if __name__ == "__main__":
    main()
