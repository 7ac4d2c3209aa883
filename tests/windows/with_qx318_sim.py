#!/usr/bin/env python3
r"""Runs a Windows test program under Wine against qx318-sim, the project's simulated bus.

    with_qx318_sim.py (--link PATH | --dosdevice comN) --qx318-sim SIM [--state FILE]
                      [--sim-option OPT]... -- COMMAND...

Starts SIM (a qx318-sim from a native Linux build) on a new pseudo-terminal,
has it link PATH to that terminal, runs COMMAND while it serves, stops it and
exits with COMMAND's status. --dosdevice comN links the Wine prefix's
dosdevices/comN (WINEPREFIX, or ~/.wine), which Windows programs under Wine
open as \\.\COMN. --state FILE starts the devices with the flash contents of
FILE; the simulator gets a fresh copy of it in a temporary folder, so that what
a test saves to flash never reaches the next run.

This script simulates no device. It once carried a second device model in
Python; every Windows end-to-end test now runs against qx318-sim, whose
options and state file give each test the values it checks. What is left is
what qx318-sim does not do itself: ctest needs one command that starts the
simulator, waits until the COM port's link exists, runs the Windows program
and stops the simulator again, with a flash file that every run starts from
afresh.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

LINK_TIMEOUT_SECONDS = 20
STOP_TIMEOUT_SECONDS = 10


def dosdevice_path(name):
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    devices = os.path.join(prefix, "dosdevices")
    if not os.path.isdir(devices):
        sys.exit(f"{devices} does not exist: create the Wine prefix first (wineboot -i)")
    return os.path.join(devices, name.lower())


def wait_for_link(bus, sim, link):
    deadline = time.monotonic() + LINK_TIMEOUT_SECONDS
    while not os.path.lexists(link):
        if bus.poll() is not None or time.monotonic() > deadline:
            sys.exit(f"{sim} did not make {link}")
        time.sleep(0.01)


def stop(bus):
    bus.terminate()
    try:
        bus.wait(timeout=STOP_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        bus.kill()
        bus.wait()


def run(sim, options, link, command):
    if os.path.lexists(link):
        os.unlink(link)
    bus = subprocess.Popen([sim, "--link", link] + options, stdout=subprocess.DEVNULL)
    try:
        wait_for_link(bus, sim, link)
        return subprocess.call(command)
    finally:
        stop(bus)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--link", help="symlink to create to the bus's pseudo-terminal")
    where.add_argument("--dosdevice", help="a Wine DOS device name such as com5 to link")
    parser.add_argument("--qx318-sim", required=True, help="the qx318-sim executable to run")
    parser.add_argument("--state", help="flash contents to start from (a qx318-sim state file)")
    parser.add_argument("--sim-option", action="append", default=[],
                        help="an option for qx318-sim (repeatable)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    link = args.link or dosdevice_path(args.dosdevice)
    with tempfile.TemporaryDirectory(prefix="qx318-sim-state.") as folder:
        options = list(args.sim_option)
        if args.state:
            state = os.path.join(folder, "state.json")
            shutil.copyfile(args.state, state)
            options += ["--state", state]
        sys.exit(run(args.qx318_sim, options, link, command))


if __name__ == "__main__":
    main()
