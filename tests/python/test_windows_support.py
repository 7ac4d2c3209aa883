"""What the package does for Windows, checked on any system: which DLL a
Python of each architecture takes and what it says about the wrong one, and
the wheels the build backend makes (pure, win32, win_amd64). The DLLs here are
headers written by the test, as a PE file lays them out; the real DLLs'
wheels are checked in the Windows download's check."""

import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

from qx318 import _library

SOURCE = Path(__file__).resolve().parents[2] / "python"
MACHINE = {"x86": 0x14C, "x64": 0x8664, "arm64": 0xAA64}


def pe_file(machine, pe_offset=0x80):
    """The first bytes of a PE file: the MZ stub pointing at the PE
    signature, then the machine field."""
    data = bytearray(pe_offset + 64)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, pe_offset)
    data[pe_offset:pe_offset + 4] = b"PE\0\0"
    struct.pack_into("<H", data, pe_offset + 4, machine)
    return bytes(data)


class Scratch(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="qx318-win-")
        self.addCleanup(folder.cleanup)
        self.scratch = Path(folder.name)

    def write(self, name, data):
        path = self.scratch / name
        path.write_bytes(data)
        return path


class DllChoice(Scratch):
    def test_machine_of_each_file(self):
        cases = [
            ("x86 DLL", pe_file(MACHINE["x86"]), "x86"),
            ("x64 DLL", pe_file(MACHINE["x64"]), "x64"),
            ("another machine", pe_file(MACHINE["arm64"]), "0xaa64"),
            ("PE signature elsewhere", pe_file(MACHINE["x64"], pe_offset=0x100), "x64"),
            ("no MZ", b"\x7fELF" + bytes(200), None),
            ("MZ without PE", b"MZ" + bytes(200), None),
            ("cut short", b"MZ", None),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(_library.pe_machine(self.write("file", data)), expected)
        self.assertIsNone(_library.pe_machine(self.scratch / "missing.dll"))

    def test_interpreter_architecture_follows_pointer_size(self):
        self.assertEqual(_library.interpreter_architecture(4), "x86")
        self.assertEqual(_library.interpreter_architecture(8), "x64")

    def test_a_dll_of_the_other_architecture_is_refused_with_what_is_needed(self):
        x86 = self.write("x86.dll", pe_file(MACHINE["x86"]))
        x64 = self.write("x64.dll", pe_file(MACHINE["x64"]))
        cases = [
            (x86, "x64", "is the x86 DLL: this 64-bit Python needs the x64 QX318_RS485.dll",
             "win_amd64"),
            (x64, "x86", "is the x64 DLL: this 32-bit Python needs the x86 QX318_RS485.dll",
             "win32"),
        ]
        for path, interpreter, message, wheel in cases:
            with self.subTest(interpreter=interpreter):
                with self.assertRaises(_library.LibraryError) as raised:
                    _library.check_dll_architecture(path, interpreter)
                self.assertIn(f"{path} {message}", str(raised.exception))
                self.assertIn(f"wheel tagged {wheel}", str(raised.exception))

    def test_the_matching_dll_or_no_dll_is_left_to_the_loader(self):
        _library.check_dll_architecture(self.write("x86.dll", pe_file(MACHINE["x86"])), "x86")
        _library.check_dll_architecture(self.write("x64.dll", pe_file(MACHINE["x64"])), "x64")
        _library.check_dll_architecture(self.scratch / "missing.dll", "x64")
        _library.check_dll_architecture(self.write("text.dll", b"not a DLL"), "x64")


class Wheels(Scratch):
    """Wheels built through the backend's PEP 517 hook, as pip calls it."""

    def setUp(self):
        super().setUp()
        # A copy of the source, with a developer's library lying beside the
        # package: no wheel may take it by accident.
        self.source = self.scratch / "source"
        shutil.copytree(SOURCE, self.source, ignore=shutil.ignore_patterns("__pycache__"))
        (self.source / "qx318" / "libQX318_RS485.so.1").write_bytes(b"\x7fELF stray")
        (self.source / "qx318" / "QX318_RS485.dll").write_bytes(pe_file(MACHINE["x86"]))

    def build(self, settings=None):
        out = self.scratch / "wheels"
        out.mkdir(exist_ok=True)
        script = ("import sys, qx318_backend; "
                  "print(qx318_backend.build_wheel(sys.argv[1], eval(sys.argv[2])))")
        done = subprocess.run([sys.executable, "-c", script, str(out), repr(settings)],
                              cwd=self.source, capture_output=True, text=True, check=False,
                              env={**os.environ, "PYTHONPATH": str(self.source / "_build")})
        self.assertEqual(done.returncode, 0, done.stderr)
        return out / done.stdout.strip()

    def assert_record_holds(self, wheel):
        record_name = next(n for n in wheel.namelist() if n.endswith(".dist-info/RECORD"))
        rows = [line.split(",") for line in wheel.read(record_name).decode().splitlines()]
        self.assertEqual(sorted(row[0] for row in rows), sorted(wheel.namelist()))
        for name, digest, size in rows:
            if name == record_name:
                self.assertEqual((digest, size), ("", ""))
                continue
            data = wheel.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            self.assertEqual(digest, "sha256=" + expected.decode(), name)
            self.assertEqual(int(size), len(data), name)

    def wheel_file(self, wheel):
        name = next(n for n in wheel.namelist() if n.endswith(".dist-info/WHEEL"))
        return dict(line.split(": ", 1) for line in wheel.read(name).decode().splitlines())

    def test_the_pure_wheel_carries_no_library(self):
        path = self.build()
        self.assertTrue(path.name.endswith("-py3-none-any.whl"), path.name)
        with zipfile.ZipFile(path) as wheel:
            binaries = [n for n in wheel.namelist() if n.endswith((".dll", ".so", ".so.1"))]
            self.assertEqual(binaries, [])
            self.assertEqual(self.wheel_file(wheel)["Tag"], "py3-none-any")
            self.assertEqual(self.wheel_file(wheel)["Root-Is-Purelib"], "true")
            self.assert_record_holds(wheel)

    def test_a_windows_wheel_is_tagged_by_the_machine_of_its_dll(self):
        for architecture, tag in (("x86", "win32"), ("x64", "win_amd64")):
            with self.subTest(architecture):
                dll_bytes = pe_file(MACHINE[architecture]) + architecture.encode()
                dll = self.write(f"{architecture}.dll", dll_bytes)
                path = self.build({"windows-dll": str(dll)})
                self.assertTrue(path.name.endswith(f"-py3-none-{tag}.whl"), path.name)
                with zipfile.ZipFile(path) as wheel:
                    self.assertEqual(wheel.read("qx318/QX318_RS485.dll"), dll_bytes)
                    self.assertEqual([n for n in wheel.namelist() if n.endswith((".dll", ".so.1"))],
                                     ["qx318/QX318_RS485.dll"])
                    self.assertEqual(self.wheel_file(wheel)["Tag"], f"py3-none-{tag}")
                    self.assertEqual(self.wheel_file(wheel)["Root-Is-Purelib"], "false")
                    self.assert_record_holds(wheel)

    def test_a_dll_of_another_machine_or_no_dll_is_refused(self):
        for name, data in (("arm64", pe_file(MACHINE["arm64"])), ("text", b"not a DLL")):
            with self.subTest(name):
                dll = self.write(f"{name}.dll", data)
                out = self.scratch / "refused"
                out.mkdir(exist_ok=True)
                done = subprocess.run(
                    [sys.executable, "-c",
                     "import sys, qx318_backend; "
                     "qx318_backend.build_wheel(sys.argv[1], {'windows-dll': sys.argv[2]})",
                     str(out), str(dll)],
                    cwd=self.source, capture_output=True, text=True, check=False,
                    env={**os.environ, "PYTHONPATH": str(self.source / "_build")})
                self.assertNotEqual(done.returncode, 0)
                self.assertIn("QX318_RS485.dll given is", done.stderr)
                self.assertEqual(list(out.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
