"""Where the package finds the shared library: the file QX318_LIBRARY names,
else the one beside the package, else the one the system's loader finds.
Each case runs in a fresh interpreter, and the file it mapped is read from
/proc/self/maps rather than taken from the package's word."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from simulated_bus import LIBRARY

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "qx318"

PROBE = """
import qx318
try:
    qx318.load_library()
except qx318.LibraryError as error:
    print("LibraryError:", error)
else:
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "libQX318_RS485" in line}
    print("mapped:", *sorted(mapped))
"""


def probe(python_path, **environment):
    env = {k: v for k, v in os.environ.items()
           if k not in ("QX318_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(environment, PYTHONPATH=str(python_path), PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True,
                          text=True, timeout=60, check=False)
    return done.stdout.strip() + done.stderr.strip()


class LibraryLookup(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="qx318-load-")
        self.addCleanup(folder.cleanup)
        self.scratch = Path(folder.name)
        self.library = str(Path(LIBRARY).resolve())
        self.library_dir = self.scratch / "lib"
        self.library_dir.mkdir()
        shutil.copy(self.library, self.library_dir / "libQX318_RS485.so.1")
        # A copy of the package with the library beside it.
        self.bundled = self.scratch / "bundled"
        shutil.copytree(PACKAGE, self.bundled / "qx318",
                        ignore=shutil.ignore_patterns("*.so*", "*.dll", "__pycache__"))
        shutil.copy(self.library, self.bundled / "qx318" / "libQX318_RS485.so.1")
        # And one without.
        self.bare = self.scratch / "bare"
        shutil.copytree(PACKAGE, self.bare / "qx318",
                        ignore=shutil.ignore_patterns("*.so*", "*.dll", "__pycache__"))

    def test_each_place_in_its_order(self):
        beside = str((self.bundled / "qx318" / "libQX318_RS485.so.1").resolve())
        on_linker_path = str((self.library_dir / "libQX318_RS485.so.1").resolve())
        cases = [
            ("the variable wins over the copy beside",
             probe(self.bundled, QX318_LIBRARY=self.library), f"mapped: {self.library}"),
            ("the copy beside the package", probe(self.bundled), f"mapped: {beside}"),
            ("the copy beside wins over the linker's path",
             probe(self.bundled, LD_LIBRARY_PATH=str(self.library_dir)), f"mapped: {beside}"),
            ("the linker's path", probe(self.bare, LD_LIBRARY_PATH=str(self.library_dir)),
             f"mapped: {on_linker_path}"),
        ]
        for name, got, expected in cases:
            with self.subTest(name):
                self.assertEqual(got, expected)

    def test_a_library_not_found_is_explained(self):
        missing = str(self.scratch / "nowhere" / "libQX318_RS485.so.1")
        got = probe(self.bundled, QX318_LIBRARY=missing)
        self.assertTrue(got.startswith("LibraryError:"), got)
        self.assertIn(missing, got)
        self.assertIn("QX318_LIBRARY", got)

        # Another library loads but lacks the functions: refused by name.
        got = probe(self.bare, QX318_LIBRARY="libm.so.6")
        self.assertTrue(got.startswith("LibraryError:"), got)
        self.assertIn("libm.so.6 does not export QX318_OpenPort", got)


if __name__ == "__main__":
    unittest.main()
