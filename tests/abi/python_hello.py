#!/usr/bin/env python3
"""The shared library loaded with ctypes: a hello exchange against a device
this script runs itself on a pseudo-terminal, and the record layout as a
foreign caller declares it."""
import ctypes
import os
import sys
import threading

HELLO_DATA = bytes([0x01, 0x02, 0x2A, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0x40, 0x11, 0x22,
                    0x33, 0x44, 0x55, 0x66])


class HelloAnswer(ctypes.Structure):
    _fields_ = [("value1", ctypes.c_uint16), ("value2", ctypes.c_uint8),
                ("unused3", ctypes.c_uint8), ("value3", ctypes.c_uint32),
                ("value4", ctypes.c_uint16), ("value5", ctypes.c_uint16),
                ("value6", ctypes.c_uint16), ("value7", ctypes.c_uint16)]


def crc16_arc(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def groups(value, count):
    return bytes(0x80 | ((value >> (7 * i)) & 0x7F) for i in range(count))


def answer_frame(data):
    return (bytes([0x00]) + groups(len(data), 2) + bytes(0x80 | b for b in data) +
            groups(crc16_arc(data), 3))


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
        os.write(master, answer_frame(HELLO_DATA))


def decode(data, at, count):
    return sum((data[at + i] & 0x7F) << (7 * i) for i in range(count))


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
    expected = (decode(HELLO_DATA, 0, 2), decode(HELLO_DATA, 2, 1), decode(HELLO_DATA, 3, 4),
                decode(HELLO_DATA, 7, 2), decode(HELLO_DATA, 9, 2), decode(HELLO_DATA, 11, 2),
                decode(HELLO_DATA, 13, 2))
    got = (answer.value1, answer.value2, answer.value3, answer.value4, answer.value5,
           answer.value6, answer.value7)
    assert got == expected, (got, expected)
    assert answer.unused3 == 0x5A, "byte 3 of the record was written"

    assert lib.QX318_HelloCmd(port, 9, None) == 0, "a null record must fail"
    assert lib.QX318_ClosePort(port) == 1, "close"
    os.close(master)
    print("python_hello: hello exchange completed")


if __name__ == "__main__":
    main()
