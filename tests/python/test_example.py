"""examples/python/qx318_example.py, as a user runs it, against qx318-sim:
what it prints of every command, and the one line it gives on a failure."""

import os
import subprocess
import sys
import unittest
from pathlib import Path

from simulated_bus import (FIRMWARE, MODEL, PAIRS, ROW_LENGTH, ROWS, SERIAL_BASE, WHITE,
                           SimulatedBus)

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "python" / "qx318_example.py"


def run_example(*arguments):
    return subprocess.run([sys.executable, str(EXAMPLE), *arguments], capture_output=True,
                          text=True, timeout=30, env=dict(os.environ), check=False)


class ExampleTest(unittest.TestCase):

    def test_prints_what_the_device_answers(self):
        with SimulatedBus() as bus:
            result = run_example(bus.path)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], f"hello: model {MODEL}, firmware {FIRMWARE}, "
                                   f"serial {SERIAL_BASE + 1}")
        # Never written: the device's power-on value of parameter n is n.
        self.assertEqual(lines[1], "parameter 5: 5")
        self.assertRegex(lines[2], rf"^measurement: lead byte \d+, {PAIRS} pairs, "
                                   r"first \(0, \d+\)$")
        self.assertEqual(lines[3], f"image: {ROW_LENGTH} x {ROWS}, first pixel {WHITE}")
        self.assertRegex(lines[4], r"^rotation angle: -?\d+$")
        self.assertEqual(len(lines), 5, result.stdout)

    def test_a_failure_is_one_line_naming_command_and_port(self):
        with SimulatedBus() as bus:
            missing = bus.path + ".missing"
            result = run_example(missing)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertIn(f"on {missing} failed", result.stderr)


if __name__ == "__main__":
    unittest.main()
