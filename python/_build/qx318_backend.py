"""The build backend of the qx318 package: standard library only, so that
`pip install ./python` works in any virtual environment without a package
index (the package has no compiled part and no dependencies).

The wheel it builds by default is pure (py3-none-any) and carries no
library: the package then finds one as its loader says. Given a Windows DLL,

    pip wheel --no-index --no-build-isolation --config-settings=windows-dll=PATH ./python

it builds the wheel for that DLL's architecture instead (py3-none-win32 for
the x86 DLL, py3-none-win_amd64 for the x64 one), with the DLL beside the
package."""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path

NAME = "qx318"
SUMMARY = "QX318 measuring devices on an RS-485 bus, through the QX318_RS485 library (ctypes)"
REQUIRES_PYTHON = ">=3.8"
LICENSE = "MIT"
WINDOWS_DLL = "QX318_RS485.dll"
# The wheel tag of each Windows DLL, by the machine field of its PE header.
WINDOWS_PLATFORMS = {0x14C: "win32", 0x8664: "win_amd64"}

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / NAME
# Fixed times keep the archives the same from one build to the next.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _version():
    text = (PACKAGE / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"$', text, re.MULTILINE).group(1)


def _metadata():
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            f"Summary: {SUMMARY}\nLicense: {LICENSE}\n"
            "Classifier: License :: OSI Approved :: MIT License\n"
            f"Requires-Python: {REQUIRES_PYTHON}\n"
            "Provides-Extra: numpy\nRequires-Dist: numpy; extra == \"numpy\"\n")


def _license_text():
    """The project's LICENSE, beside pyproject.toml: a link to the one at the
    top of the sources, or the file itself in a copy or a source archive."""
    return (ROOT / "LICENSE").read_bytes()


def _package_files():
    """The package's Python files and its py.typed marker only: a library that
    lies in the folder (a developer's copy) never goes into a wheel by
    accident."""
    return [(f"{NAME}/{path.name}", path.read_bytes()) for path in _package_sources()]


def _package_sources():
    # py.typed tells type checkers that the package's annotations are meant
    # for its users.
    return sorted(PACKAGE.glob("*.py")) + [PACKAGE / "py.typed"]


def _windows_platform(dll):
    """The wheel platform tag for this DLL, from its PE header's machine."""
    data = dll[:4096]
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError(f"{WINDOWS_DLL} given is not a Windows DLL")
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{WINDOWS_DLL} given is not a Windows DLL")
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    if machine not in WINDOWS_PLATFORMS:
        raise ValueError(f"{WINDOWS_DLL} given is for machine {machine:#x}, neither x86 nor x64")
    return WINDOWS_PLATFORMS[machine]


def _windows_dll(config_settings):
    path = (config_settings or {}).get("windows-dll")
    return None if path is None else Path(path).read_bytes()


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _write_wheel(wheel_directory, entries, platform="any"):
    version = _version()
    dist_info = f"{NAME}-{version}.dist-info"
    tag = f"py3-none-{platform}"
    # A wheel with a binary inside belongs in the platform's library folder.
    purelib = "true" if platform == "any" else "false"
    entries = entries + [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (f"{dist_info}/LICENSE", _license_text()),
        (f"{dist_info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: qx318_backend\n"
                                f"Root-Is-Purelib: {purelib}\nTag: {tag}\n").encode()),
    ]
    record = "".join(_record_line(name, data) for name, data in entries)
    record += f"{dist_info}/RECORD,,\n"
    entries.append((f"{dist_info}/RECORD", record.encode()))

    wheel_name = f"{NAME}-{version}-{tag}.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries:
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dll = _windows_dll(config_settings)
    if dll is None:
        return _write_wheel(wheel_directory, _package_files())
    return _write_wheel(wheel_directory, _package_files() + [(f"{NAME}/{WINDOWS_DLL}", dll)],
                        _windows_platform(dll))


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The package is used from this folder: a path file puts it on sys.path.
    return _write_wheel(wheel_directory, [(f"{NAME}.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    files = [ROOT / "pyproject.toml", Path(__file__).resolve()]
    files += _package_sources()
    sdist_name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as sdist:
        for path in files:
            sdist.add(path, f"{base}/{path.relative_to(ROOT).as_posix()}")
        for name, data in (("PKG-INFO", _metadata().encode()), ("LICENSE", _license_text())):
            info = tarfile.TarInfo(f"{base}/{name}")
            info.size = len(data)
            sdist.addfile(info, io.BytesIO(data))
    return sdist_name
