#!/usr/bin/env python3
r"""Runs the C example (examples/c/qx318_example.c) and checks what it printed.

    check_c_example.py --rows R --row-length L --pairs P [--state FILE]
                       [--expect-failure FUNCTION] -- COMMAND...

COMMAND runs the example against qx318-sim (with_qx318_sim.py starts it) with
one device at address 1, simulated with --rows R --row-length L --pairs P and
the flash contents of FILE. The example only prints what the device answered;
this script knows what the simulated device answers and checks every line.
With --expect-failure the device is not there: the example must name
FUNCTION and its reason, close the port and exit with status 1.
"""
import argparse
import json
import re
import subprocess
import sys

# The simulated device (tools/sim/device_model.h).
DEVICE_MODEL = 318
FIRMWARE_VERSION = 12
SERIAL_BASE = 3180000
PIXEL_BITS = 7
FROZEN_FLAG = 0x40
MAX_14_BIT = 0x3FFF
WHITE = 127
FACTORY_PARAMETER_5 = 5  # parameter n holds n
FACTORY_ANGLE = 0

ADDRESS = 1
NUMBER = r"(-?\d+)"


def flash_contents(state_file):
    """Parameter 5 and the angle in flash of device 1 as the run starts."""
    parameter, angle = FACTORY_PARAMETER_5, FACTORY_ANGLE
    if state_file:
        with open(state_file, encoding="utf-8") as f:
            state = json.load(f)
        for device in state["devices"]:
            if device["address"] == ADDRESS:
                parameter = device.get("parameters", {}).get("5", {}).get("value", parameter)
                angle = device.get("angle", angle)
    return parameter, angle


def test_pattern_pixel(row, column, rows, row_length, frame):
    """The simulated device's image: a white border two pixels wide, a disc in
    the middle shaded from top to bottom, and a ramp that moves with the frame
    number around it."""
    border = 2
    if (row < border or column < border or row + border >= rows
            or column + border >= row_length):
        return WHITE
    dx, dy = column - row_length // 2, row - rows // 2
    radius = min(rows, row_length) // 4
    if dx * dx + dy * dy < radius * radius:
        return WHITE - row * WHITE // rows
    return (column * 128 // row_length + frame * 8) % 128


def measurement_line(label, pairs, locked):
    """The line of a measurement: x runs evenly over 14 bits from the first
    pair to the last, z is any 14-bit value, and the lead byte says whether
    the result was locked."""
    def check(lead, count, first_x, first_z, last_x, last_z):
        problems = []
        if bool(lead & FROZEN_FLAG) != locked:
            problems.append(f"lead byte {lead} {'lacks' if locked else 'has'} the locked flag")
        if count != pairs:
            problems.append(f"{count} pairs, expected {pairs}")
        if (first_x, last_x) != (0, MAX_14_BIT):
            problems.append(f"x runs from {first_x} to {last_x}, expected 0 to {MAX_14_BIT}")
        if not all(0 <= z <= MAX_14_BIT for z in (first_z, last_z)):
            problems.append("a z value beyond 14 bits")
        return problems
    pattern = (rf"{label}: lead byte {NUMBER}, {NUMBER} pairs, first \({NUMBER}, {NUMBER}\), "
               rf"last \({NUMBER}, {NUMBER}\)")
    return pattern, check


def expect_equal(*expected):
    def check(*values):
        return [] if values == expected else [f"got {values}, expected {expected}"]
    return check


def expected_session(args):
    """(pattern, check) for each line the example prints, in order; check gets
    the numbers of the line and returns the problems it finds."""
    parameter, angle_in_flash = flash_contents(args.state)
    changed = parameter ^ 1
    rotated = {}

    def remember_rotation(angle):
        rotated["angle"] = angle
        # The device fits a line to the locked measurement: its tilt in
        # milli-degrees.
        return [] if abs(angle) <= 90000 else [f"{angle} is no angle in milli-degrees"]

    def same_as_rotated(angle):
        return expect_equal(rotated.get("angle"))(angle)

    return [
        (r"port open: (.+)", lambda description: []),
        (r"hello:" + rf" {NUMBER}" * 7,
         expect_equal(DEVICE_MODEL, FIRMWARE_VERSION, SERIAL_BASE + ADDRESS, args.rows,
                      args.row_length, args.pairs, ADDRESS)),
        (rf"parameter 5: {NUMBER}", expect_equal(parameter)),
        (rf"parameter 5 after writing {NUMBER}: {NUMBER}", expect_equal(changed, changed)),
        (rf"parameter 5 after restoring from flash: {NUMBER}", expect_equal(parameter)),
        (r"parameters saved to flash", expect_equal()),
        measurement_line("measurement", args.pairs, locked=False),
        (r"result locked", expect_equal()),
        measurement_line("locked measurement", args.pairs, locked=True),
        (rf"image: {NUMBER} rows of {NUMBER} pixels, header words {NUMBER} {NUMBER}, "
         rf"top left pixel {NUMBER}, centre pixel {NUMBER}",
         # The first image of the run is frame 0.
         expect_equal(args.rows, args.row_length, 0, PIXEL_BITS,
                      test_pattern_pixel(0, 0, args.rows, args.row_length, 0),
                      test_pattern_pixel(args.rows // 2, args.row_length // 2, args.rows,
                                         args.row_length, 0))),
        (rf"axis rotated: {NUMBER}", remember_rotation),
        (rf"angle: {NUMBER}", same_as_rotated),
        (rf"angle after restoring from flash: {NUMBER}", expect_equal(angle_in_flash)),
        (r"angle saved to flash", expect_equal()),
        (r"port closed", expect_equal()),
    ]


def expected_failure(function):
    def reason(text, detail):
        return [] if text and text != "the last call succeeded" else [f"no reason: '{text}'"]
    return [
        (r"port open: (.+)", lambda description: []),
        (rf"{re.escape(function)} failed: (.+) \((.*)\)", reason),
        (r"port closed", expect_equal()),
    ]


def check_lines(lines, expected):
    problems = []
    for number, (pattern, check) in enumerate(expected):
        line = lines[number] if number < len(lines) else "(nothing)"
        match = re.fullmatch(pattern, line)
        if not match:
            problems.append(f"line {number + 1}: '{line}' is not '{pattern}'")
            continue
        values = [int(v) if re.fullmatch(NUMBER, v) else v for v in match.groups()]
        problems += [f"line {number + 1} '{line}': {p}" for p in check(*values)]
    if len(lines) > len(expected):
        problems.append(f"unexpected lines after the last: {lines[len(expected):]}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, required=True)
    parser.add_argument("--row-length", type=int, required=True)
    parser.add_argument("--pairs", type=int, required=True)
    parser.add_argument("--state", help="the qx318-sim state file the device starts from")
    parser.add_argument("--expect-failure", metavar="FUNCTION",
                        help="the call that must fail first (no device on the bus)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    run = subprocess.run(command, stdout=subprocess.PIPE, text=True, errors="replace")
    print(run.stdout, end="")
    lines = [line.rstrip("\r") for line in run.stdout.splitlines()]
    if args.expect_failure:
        problems = check_lines(lines, expected_failure(args.expect_failure))
        expected_status = 1
    else:
        problems = check_lines(lines, expected_session(args))
        expected_status = 0
    if run.returncode != expected_status:
        problems.append(f"exit status {run.returncode}, expected {expected_status}")
    for problem in problems:
        print(f"FAILED: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
