"""qx318-sim run as a child process for the Python tests, and what the tests
know about the devices it simulates."""

import os
import re
import select
import signal
import subprocess
import tempfile
from pathlib import Path

SIMULATOR = os.environ.get("QX318_SIM", "")
LIBRARY = os.environ.get("QX318_LIBRARY", "")
HEADER = Path(__file__).resolve().parents[2] / "include" / "QX318_RS485.h"

# The simulated devices and their documented answers.
MODEL, FIRMWARE, SERIAL_BASE = 318, 12, 3180000
ROWS, ROW_LENGTH, PAIRS = 24, 40, 16
WHITE = 127
FROZEN_BIT = 0x40
SILENT_ADDRESS = 5
# Generous: a missing answer costs 1.1 s; this proves only "does not hang".
NO_HANG_SECONDS = 5.0


def failure_codes():
    """The QX318_FAIL_ codes the C header defines (empty for a header
    without them)."""
    text = HEADER.read_text(encoding="utf-8")
    return {name: int(value)
            for name, value in re.findall(r"#define QX318_FAIL_(\w+) (\d+)", text)}


class SimulatedBus:
    """Devices 1 and 3 on a pseudo-terminal reached through a symlink in a
    scratch folder; stopped by close() or at the end of a with block."""

    def __init__(self, *extra):
        self._folder = tempfile.TemporaryDirectory(prefix="qx318-py-")
        self.path = os.path.join(self._folder.name, "bus")
        arguments = [SIMULATOR, "--address", "1,3", "--rows", str(ROWS), "--row-length",
                     str(ROW_LENGTH), "--pairs", str(PAIRS), "--seed", "12", "--state",
                     os.path.join(self._folder.name, "flash.json"), "--link", self.path,
                     *extra]
        self._log = open(os.path.join(self._folder.name, "sim.log"), "wb")
        self._process = subprocess.Popen(arguments, stdout=subprocess.PIPE,
                                         stderr=self._log, stdin=subprocess.DEVNULL)
        # The first line is the pseudo-terminal's path, printed once the link
        # is in place.
        ready, _, _ = select.select([self._process.stdout], [], [], 10)
        line = self._process.stdout.readline() if ready else b""
        if not line.strip():
            self.close()
            raise RuntimeError(f"qx318-sim did not start: {arguments}")

    def close(self):
        if self._log.closed:
            return
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            try:
                self._process.wait(20)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process.stdout.close()
        self._log.close()
        self._folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
