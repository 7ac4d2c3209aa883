#!/usr/bin/env python3
r"""A simulated QX318 device on a pseudo-terminal, for the Windows tests under Wine.

    simulated_bus.py (--link PATH | --dosdevice comN) [--address N] -- COMMAND...
    simulated_bus.py (--link PATH | --dosdevice comN) --qx318-sim SIM [--sim-option OPT]... -- COMMAND...

Creates a pseudo-terminal, links PATH to its slave, serves one device on it
while COMMAND runs, and exits with COMMAND's status. With --qx318-sim the
project's simulator SIM serves the bus instead (it makes the link itself). --dosdevice comN links
the Wine prefix's dosdevices/comN (WINEPREFIX, or ~/.wine), which Windows
programs under Wine open as \\.\COMN. The device answers only its own address (1 by
default) and only frames whose CRC is right; everything else is ignored, as on
a real bus.

What the device answers is fixed, so that the tests can check every value:
  hello                 value1 0x1234, value2 0x2A, value3 0x0ABCDEF1, value4 0x0101,
                        value5 0x0202, value6 0x0303, value7 0x3FFF
  read/write parameter  parameter 5 starts at 300 in 2 groups; a write stores the value
                        and its group count, a read answers with them
  parameter/angle flash echoes the action byte
  measurement           lead byte = number of lock-result commands so far (mod 128),
                        pairs (100, 200) and (300, 16383)
  image                 3 rows of 5 pixels, pixel (r, c) = 20 r + c, except pixel (2, 4)
                        which is sent as 0xFF; third word 0x0123, fourth word 0x0456
  rotate axis           0x12345678
  rotation angle        -5

A second device, at the stopping address (4 by default), answers every request
with the header of the longest answer there is and then falls silent: a frame
declaring 16383 data bytes, or for the image one row of 16383 pixels.
"""
import argparse
import os
import select
import subprocess
import sys
import threading
import time
import tty

MARK = 0x80


def crc16(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def groups(value, count):
    return bytes(MARK | ((value >> (7 * i)) & 0x7F) for i in range(count))


def decode(data):
    return sum((b & 0x7F) << (7 * i) for i, b in enumerate(data))


def answer(address, data):
    data = bytes(b & 0x7F for b in data)
    return (bytes([address]) + groups(len(data), 2) + bytes(MARK | b for b in data)
            + groups(crc16(data), 3))


def image_answer(address, rows, row_length, word3, word4, pixels):
    covered = bytes(b & 0x7F for b in groups(row_length, 2) + groups(word3, 2) + groups(word4, 2))
    crc = crc16(bytes(p & 0x7F for p in pixels), crc16(covered))
    return (bytes([address]) + groups(rows, 2) + bytes(MARK | b for b in covered)
            + bytes(MARK | p for p in pixels) + groups(crc, 3))


class Device:
    def __init__(self, address):
        self.address = address
        self.parameters = {5: (2, 300)}
        self.locks = 0

    def handle(self, command, data):
        """The device's answer to one request, or None when it does not answer."""
        a = self.address
        if command == 1:
            values = [(0x1234, 2), (0x2A, 1), (0x0ABCDEF1, 4), (0x0101, 2), (0x0202, 2),
                      (0x0303, 2), (0x3FFF, 2)]
            return answer(a, b"".join(groups(v, n) for v, n in values))
        if command == 2 and len(data) == 1:
            count, value = self.parameters.get(data[0], (2, 0))
            return answer(a, groups(value, count))
        if command == 3 and data:
            self.parameters[data[0]] = (len(data) - 1, decode(data[1:]))
            return None
        if command in (4, 12) and len(data) == 1:
            return answer(a, data)
        if command == 5:
            values = [100, 200, 300, 16383]
            body = groups(self.locks % 128, 1) + groups(len(values) // 2, 2)
            return answer(a, body + b"".join(groups(v, 2) for v in values))
        if command == 6:
            pixels = bytearray(20 * r + c for r in range(3) for c in range(5))
            pixels[-1] = 0xFF
            return image_answer(a, 3, 5, 0x0123, 0x0456, pixels)
        if command == 9:
            self.locks += 1
            return None
        if command == 10:
            return answer(a, groups(0x12345678, 5))
        if command == 11:
            return answer(a, groups(-5 & 0xFFFFFFFF, 5))
        return None


class StoppingDevice:
    """Sends an answer's header and nothing after it."""

    def __init__(self, address):
        self.address = address

    def handle(self, command, data):
        a = self.address
        if command == 6:
            return bytes([a]) + groups(1, 2) + groups(16383, 2) + groups(0, 2) + groups(7, 2)
        if command in (3, 9):
            return None
        return bytes([a]) + groups(16383, 2)


class FrameReader:
    """Takes request frames apart byte by byte; a byte with bit 7 clear always
    starts a new frame."""

    def __init__(self):
        self.frame = None

    def feed(self, byte):
        if not byte & MARK:
            self.frame = bytearray([byte])
            return None
        if self.frame is None:
            return None
        self.frame.append(byte)
        if len(self.frame) < 4:
            return None
        count = decode(self.frame[1:3])
        if len(self.frame) < 4 + count + 3:
            return None
        frame, self.frame = bytes(self.frame), None
        command = frame[3] & 0x7F
        data = bytes(b & 0x7F for b in frame[4:4 + count])
        if decode(frame[4 + count:]) & 0xFFFF != crc16(bytes([command]) + data):
            return None
        return frame[0], command, data


def serve(master, devices, stop):
    reader = FrameReader()
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        try:
            received = os.read(master, 4096)
        except OSError:  # the slave side was closed for a moment
            continue
        for byte in received:
            request = reader.feed(byte)
            if request is None:
                continue
            address, command, data = request
            device = next((d for d in devices if d.address == address), None)
            if device is None:
                continue
            reply = device.handle(command, data)
            if reply:
                os.write(master, reply)


def dosdevice_path(name):
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    devices = os.path.join(prefix, "dosdevices")
    if not os.path.isdir(devices):
        sys.exit(f"{devices} does not exist: create the Wine prefix first (wineboot -i)")
    return os.path.join(devices, name.lower())


def run_with_qx318_sim(sim, options, link, command):
    if os.path.lexists(link):
        os.unlink(link)
    bus = subprocess.Popen([sim, "--link", link] + options, stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while not os.path.lexists(link):
            if bus.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"{sim} did not make {link}")
            time.sleep(0.01)
        return subprocess.call(command)
    finally:
        bus.terminate()
        try:
            bus.wait(timeout=10)
        except subprocess.TimeoutExpired:
            bus.kill()
            bus.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--link", help="symlink to create to the pty's slave")
    where.add_argument("--dosdevice", help="a Wine DOS device name such as com5 to link")
    parser.add_argument("--address", type=int, default=1)
    parser.add_argument("--stopping-address", type=int, default=4)
    parser.add_argument("--qx318-sim", help="run this qx318-sim executable as the bus instead")
    parser.add_argument("--sim-option", action="append", default=[],
                        help="an option for qx318-sim (repeatable)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    link = args.link or dosdevice_path(args.dosdevice)
    if args.qx318_sim:
        sys.exit(run_with_qx318_sim(args.qx318_sim, args.sim_option, link, command))

    master, slave = os.openpty()
    tty.setraw(slave)  # no echo and no line editing between the program and the device
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)

    stop = threading.Event()
    devices = [Device(args.address), StoppingDevice(args.stopping_address)]
    server = threading.Thread(target=serve, args=(master, devices, stop))
    server.start()
    try:
        status = subprocess.call(command)
    finally:
        stop.set()
        server.join()
        os.unlink(link)
        os.close(slave)
        os.close(master)
    sys.exit(status)


if __name__ == "__main__":
    main()
