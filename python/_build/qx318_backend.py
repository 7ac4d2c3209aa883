"""The build backend of the qx318 package: standard library only, so that
`pip install ./python` works in any virtual environment without a package
index (the package has no compiled part and no dependencies)."""

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
# A copy of the shared library placed beside the package goes with it.
LIBRARY_FILES = ("libQX318_RS485.so.1", "QX318_RS485.dll")

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / NAME
# Fixed times keep the archives the same from one build to the next.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _version():
    text = (PACKAGE / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"$', text, re.MULTILINE).group(1)


def _metadata():
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            f"Summary: {SUMMARY}\nRequires-Python: {REQUIRES_PYTHON}\n"
            "Provides-Extra: numpy\nRequires-Dist: numpy; extra == \"numpy\"\n")


def _package_files():
    files = sorted(PACKAGE.glob("*.py"))
    files += [PACKAGE / name for name in LIBRARY_FILES if (PACKAGE / name).is_file()]
    return [(f"{NAME}/{path.name}", path.read_bytes()) for path in files]


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _write_wheel(wheel_directory, entries):
    version = _version()
    dist_info = f"{NAME}-{version}.dist-info"
    entries = entries + [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: qx318_backend\n"
                               b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    record = "".join(_record_line(name, data) for name, data in entries)
    record += f"{dist_info}/RECORD,,\n"
    entries.append((f"{dist_info}/RECORD", record.encode()))

    wheel_name = f"{NAME}-{version}-py3-none-any.whl"
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
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The package is used from this folder: a path file puts it on sys.path.
    return _write_wheel(wheel_directory, [(f"{NAME}.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    files = [ROOT / "pyproject.toml", Path(__file__).resolve()]
    files += sorted(PACKAGE.glob("*.py"))
    sdist_name = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as sdist:
        for path in files:
            sdist.add(path, f"{base}/{path.relative_to(ROOT).as_posix()}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return sdist_name
