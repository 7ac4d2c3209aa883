#!/usr/bin/env python3
"""Checks the Windows download that scripts/windows-sdk.sh packs:

- its listing: exactly the files a Windows developer is promised, the
  examples as they are in the source tree;
- each DLL: its machine type in its architecture's folder, no debug
  information left in it, a debug link to the .debug file beside it whose
  CRC matches; exports, imports and version as tests/windows/check_binary.cmake
  checks the built DLLs, and its MSVC import library as
  tests/windows/check_msvc_import_library.py does;
- each wheel: the tag of its architecture and, inside, the same DLL;
- the licence and the README.

Usage: check_sdk_zip.py ZIP SOURCE_DIR VERSION PYTHON_VERSION"""

import io
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib
from pathlib import Path

MACHINE = {"x86": 0x14C, "x64": 0x8664}
WHEEL_TAG = {"x86": "win32", "x64": "win_amd64"}
BINUTILS = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
PER_ARCHITECTURE = ("QX318_RS485.dll", "QX318_RS485.dll.debug", "QX318_RS485.lib",
                    "QX318_RS485.dll.a", "QX318_RS485.def")

failures = []


def fail(text):
    failures.append(text)


def pe_machine(data):
    if data[:2] != b"MZ":
        return None
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", data, pe_offset + 4)
    return machine


def expected_listing(top, source_dir, python_version):
    examples = subprocess.run(["git", "-C", str(source_dir), "ls-files", "examples"],
                              check=True, capture_output=True, text=True).stdout.split()
    names = {f"{top}/LICENSE.txt", f"{top}/README.txt", f"{top}/include/QX318_RS485.h",
             f"{top}/include/qx318.hpp"}
    names |= {f"{top}/{path}" for path in examples}
    for arch, tag in WHEEL_TAG.items():
        names |= {f"{top}/{arch}/{file}" for file in PER_ARCHITECTURE}
        names.add(f"{top}/python/qx318-{python_version}-py3-none-{tag}.whl")
    return names


def section_names(dll_path, arch):
    dump = subprocess.run([f"{BINUTILS[arch]}-objdump", "-h", str(dll_path)], check=True,
                          capture_output=True, text=True).stdout
    return [line.split()[1] for line in dump.splitlines()
            if len(line.split()) > 1 and line.split()[0].isdigit()]


def debug_link(dll_path, arch):
    """The file name and CRC-32 that the DLL's .gnu_debuglink section holds."""
    with tempfile.TemporaryDirectory() as scratch:
        section = Path(scratch) / "debuglink"
        subprocess.run([f"{BINUTILS[arch]}-objcopy", "--dump-section",
                        f".gnu_debuglink={section}", str(dll_path), str(Path(scratch) / "copy")],
                       check=True, capture_output=True)
        dump = section.read_bytes()
    name = dump.split(b"\0", 1)[0].decode()
    (crc,) = struct.unpack_from("<I", dump, len(dump) - 4)
    return name, crc


def check_architecture(folder, arch, source_dir, version):
    dll = (folder / "QX318_RS485.dll").read_bytes()
    if pe_machine(dll) != MACHINE[arch]:
        fail(f"{arch}/QX318_RS485.dll: machine {pe_machine(dll)!r}, expected {MACHINE[arch]:#x}")
    debug_sections = [name for name in section_names(folder / "QX318_RS485.dll", arch)
                      if name.startswith(".debug")]
    if debug_sections:
        fail(f"{arch}/QX318_RS485.dll still carries {debug_sections}")
    if ".debug_info" not in section_names(folder / "QX318_RS485.dll.debug", arch):
        fail(f"{arch}/QX318_RS485.dll.debug holds no .debug_info")
    name, crc = debug_link(folder / "QX318_RS485.dll", arch)
    debug_crc = zlib.crc32((folder / "QX318_RS485.dll.debug").read_bytes())
    if name != "QX318_RS485.dll.debug" or crc != debug_crc:
        fail(f"{arch}/QX318_RS485.dll links to {name} with CRC {crc:#x}, "
             f"expected QX318_RS485.dll.debug with CRC {debug_crc:#x}")
    check = subprocess.run(
        ["cmake", f"-DOBJDUMP={BINUTILS[arch]}-objdump", f"-DNM={BINUTILS[arch]}-nm",
         f"-DDECORATED={'ON' if arch == 'x86' else 'OFF'}", f"-DVERSION={version}",
         f"-DDLL={folder / 'QX318_RS485.dll'}", f"-DIMPLIB={folder / 'QX318_RS485.dll.a'}",
         f"-DEXPORTS={source_dir / 'include' / 'QX318_RS485.def'}",
         "-P", str(source_dir / "tests" / "windows" / "check_binary.cmake")],
        capture_output=True, text=True)
    if check.returncode != 0:
        fail(f"{arch}: binary check failed:\n{check.stdout}{check.stderr}")
    check = subprocess.run(
        [sys.executable, str(source_dir / "tests" / "windows" / "check_msvc_import_library.py"),
         "library", str(folder / "QX318_RS485.lib"),
         "--def", str(source_dir / "include" / "QX318_RS485.def"), "--machine", arch],
        capture_output=True, text=True)
    if check.returncode != 0:
        fail(f"{arch}/QX318_RS485.lib: {check.stdout}{check.stderr}")
    return dll


def check_wheel(path, arch, dll):
    with zipfile.ZipFile(io.BytesIO(path.read_bytes())) as wheel:
        wheel_file = next(name for name in wheel.namelist() if name.endswith(".dist-info/WHEEL"))
        tags = [line.split(": ", 1)[1] for line in wheel.read(wheel_file).decode().splitlines()
                if line.startswith("Tag: ")]
        if tags != [f"py3-none-{WHEEL_TAG[arch]}"]:
            fail(f"{path.name}: tags {tags}")
        if wheel.read("qx318/QX318_RS485.dll") != dll:
            fail(f"{path.name}: its QX318_RS485.dll is not the {arch} DLL of the download")


def main(zip_path, source_dir, version, python_version):
    top = f"QX318_RS485-{version}-windows"
    with zipfile.ZipFile(zip_path) as archive, tempfile.TemporaryDirectory() as scratch:
        listing = set(archive.namelist())
        expected = expected_listing(top, source_dir, python_version)
        if listing != expected:
            fail(f"listing differs: missing {sorted(expected - listing)}, "
                 f"unexpected {sorted(listing - expected)}")
            return
        archive.extractall(scratch)
        root = Path(scratch) / top
        for arch in MACHINE:
            dll = check_architecture(root / arch, arch, source_dir, version)
            check_wheel(root / "python" / f"qx318-{python_version}-py3-none-{WHEEL_TAG[arch]}.whl",
                        arch, dll)
        licence = (root / "LICENSE.txt").read_bytes().replace(b"\r\n", b"\n")
        if licence != (source_dir / "LICENSE").read_bytes():
            fail("LICENSE.txt is not the project's licence")
        readme = (root / "README.txt").read_text(encoding="ascii")
        if f"QX318_RS485 {version} for Windows" not in readme or re.search(r"@[A-Z_]+@", readme):
            fail("README.txt: no version line, or a placeholder left in it")
        for header in ("QX318_RS485.h", "qx318.hpp"):
            if (root / "include" / header).read_bytes() != (source_dir / "include" /
                                                            header).read_bytes():
                fail(f"include/{header} differs from the source tree's")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(Path(sys.argv[1]), Path(sys.argv[2]).resolve(), sys.argv[3], sys.argv[4])
    if failures:
        sys.exit(f"{sys.argv[1]}:\n  " + "\n  ".join(failures))
    print(f"{sys.argv[1]}: listing, both DLLs, their debug files and the wheels check out")
