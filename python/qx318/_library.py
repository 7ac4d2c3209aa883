"""Finding and loading the QX318_RS485 shared library, and declaring its
functions and records for ctypes."""

import ctypes
import functools
import os
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

#: An environment variable naming the library file to load.
LIBRARY_VARIABLE = "QX318_LIBRARY"

_WINDOWS = os.name == "nt"
WINDOWS_LIBRARY_NAME = "QX318_RS485.dll"
LIBRARY_NAME = WINDOWS_LIBRARY_NAME if _WINDOWS else "libQX318_RS485.so.1"

# The machine field of a PE file's header, for the two Windows DLLs.
_PE_MACHINES = {0x14C: "x86", 0x8664: "x64"}


class LibraryError(OSError):
    """The shared library could not be found or loaded."""


PathLike = Union[str, "os.PathLike[str]"]


class HelloAnswer(ctypes.Structure):
    _fields_ = [("value1", ctypes.c_uint16), ("value2", ctypes.c_uint8),
                ("unused3", ctypes.c_uint8), ("value3", ctypes.c_uint32),
                ("value4", ctypes.c_uint16), ("value5", ctypes.c_uint16),
                ("value6", ctypes.c_uint16), ("value7", ctypes.c_uint16)]


class MeasureHeader(ctypes.Structure):
    _fields_ = [("lead_byte", ctypes.c_uint8), ("unused1", ctypes.c_uint8),
                ("pair_count", ctypes.c_uint16)]


class ImageHeader(ctypes.Structure):
    _fields_ = [("word4", ctypes.c_uint16), ("word3", ctypes.c_uint16),
                ("row_length", ctypes.c_uint16), ("row_count", ctypes.c_uint16)]


# A wrong layout would have the library write past a record.
assert ctypes.sizeof(HelloAnswer) == 16 and HelloAnswer.value3.offset == 4
assert ctypes.sizeof(MeasureHeader) == 4 and MeasureHeader.pair_count.offset == 2
assert ctypes.sizeof(ImageHeader) == 8 and ImageHeader.row_count.offset == 6

_PORT = ctypes.c_void_p
_ADDRESS = ctypes.c_int32
_CODE = ctypes.c_uint16
_P = ctypes.POINTER

_SIGNATURES = {
    "QX318_OpenPort": [ctypes.c_char_p, ctypes.c_uint32, _P(_PORT)],
    "QX318_ClosePort": [_PORT],
    "QX318_HelloCmd": [_PORT, _ADDRESS, _P(HelloAnswer)],
    "QX318_ReadParameter": [_PORT, _ADDRESS, _CODE, _P(ctypes.c_uint16)],
    "QX318_WriteParameter": [_PORT, _ADDRESS, _CODE, ctypes.c_uint16],
    "QX318_FlushParamsToFlash": [_PORT, _ADDRESS],
    "QX318_RestoreParamsFromFlash": [_PORT, _ADDRESS],
    "QX318_GetMeasureEx": [_PORT, _ADDRESS, _P(MeasureHeader), _P(ctypes.c_uint16),
                           ctypes.c_uint32],
    "QX318_LockResult": [_PORT, _ADDRESS],
    "QX318_GetImageEx": [_PORT, _ADDRESS, _P(ImageHeader), _P(ctypes.c_uint8),
                         ctypes.c_uint32],
    "QX318_RotateAxisXY": [_PORT, _ADDRESS, _P(ctypes.c_int32)],
    "QX318_GetRotateAngle": [_PORT, _ADDRESS, _P(ctypes.c_int32)],
    "QX318_FlushAngleToFlash": [_PORT, _ADDRESS],
    "QX318_RestoreAngleFromFlash": [_PORT, _ADDRESS],
}

# Libraries that keep the reason of a thread's last failure export these;
# older ones do not, and every failure then goes without a reason.
_REASON_SIGNATURES = {
    "QX318_GetLastFailure": ([], ctypes.c_int32),
    "QX318_FailureText": ([ctypes.c_int32], ctypes.c_char_p),
    "QX318_GetLastFailureDetail": ([], ctypes.c_char_p),
}


class Library:
    """The loaded library with its functions declared."""

    def __init__(self, handle: Any, path: str) -> None:
        self.path = path
        self._handle = handle
        for name, arguments in _SIGNATURES.items():
            try:
                function = getattr(handle, name)
            except AttributeError as missing:
                raise LibraryError(f"{path} does not export {name}") from missing
            function.argtypes = arguments
            function.restype = ctypes.c_int32
            setattr(self, name, function)
        self._reasons = self._declare_reasons(handle)

    def __getattr__(self, name: str) -> Callable[..., int]:
        # Only for what __init__ did not declare: every QX318_ function is set
        # as an attribute there, so this is an unknown name.
        raise AttributeError(f"{self.__dict__.get('path')} has no function {name} declared")

    @staticmethod
    def _declare_reasons(handle: Any) -> Optional[Dict[str, Any]]:
        functions = {}
        for name, (arguments, result) in _REASON_SIGNATURES.items():
            try:
                function = getattr(handle, name)
            except AttributeError:
                return None
            function.argtypes = arguments
            function.restype = result
            functions[name] = function
        return functions

    @property
    def gives_reasons(self) -> bool:
        """Whether the library says why a call failed."""
        return self._reasons is not None

    def last_failure(self) -> Optional[Tuple[int, str, str]]:
        """(code, text, detail) of this thread's last failed call, or None
        when the library keeps no reasons. Call it right after the failure,
        on the same thread."""
        if self._reasons is None:
            return None
        code = self._reasons["QX318_GetLastFailure"]()
        text = self._reasons["QX318_FailureText"](code) or b""
        detail = self._reasons["QX318_GetLastFailureDetail"]() or b""
        return code, text.decode(errors="replace"), detail.decode(errors="replace")


def _candidates() -> List[str]:
    """Where to look, in order: the environment variable alone when it is
    set; else the file beside this package, then the linker's search path."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]
    beside = Path(__file__).resolve().parent / LIBRARY_NAME
    return ([str(beside)] if beside.is_file() else []) + [LIBRARY_NAME]


def pe_machine(path: PathLike) -> Optional[str]:
    """"x86" or "x64" for a Windows DLL of that architecture, the machine
    field in hexadecimal for another PE file, None for a file that is not
    one (or cannot be read)."""
    try:
        with open(path, "rb") as file:
            head = file.read(0x40)
            if len(head) < 0x40 or head[:2] != b"MZ":
                return None
            file.seek(int.from_bytes(head[0x3C:0x40], "little"))
            signature = file.read(6)
    except OSError:
        return None
    if len(signature) < 6 or signature[:4] != b"PE\0\0":
        return None
    machine = int.from_bytes(signature[4:6], "little")
    return _PE_MACHINES.get(machine, f"{machine:#x}")


def interpreter_architecture(pointer_size: Optional[int] = None) -> str:
    """The DLL architecture this interpreter loads: "x64" for a 64-bit
    Python, "x86" for a 32-bit one."""
    if pointer_size is None:
        pointer_size = ctypes.sizeof(ctypes.c_void_p)
    return "x64" if pointer_size == 8 else "x86"


def needed_dll(architecture: str) -> str:
    """What a Python of this architecture needs, in words."""
    bits, wheel = ("64", "win_amd64") if architecture == "x64" else ("32", "win32")
    return (f"this {bits}-bit Python needs the {architecture} {WINDOWS_LIBRARY_NAME} (the qx318 "
            f"wheel tagged {wheel}, or {architecture}/ of the Windows download)")


def check_dll_architecture(path: PathLike, architecture: str) -> None:
    """Raises LibraryError when the file at path is a DLL of another
    architecture than this interpreter's, which Windows would refuse with a
    bare "not a valid Win32 application". A file that is not there or not a
    DLL is left to the loader."""
    found = pe_machine(path)
    if found is not None and found != architecture:
        raise LibraryError(f"{path} is the {found} DLL: {needed_dll(architecture)}")


def _open(path: str) -> Any:
    if _WINDOWS:
        check_dll_architecture(path, interpreter_architecture())
        # WinDLL: __stdcall on x86; x64 has only one calling convention.
        # Looked up by name: ctypes has WinDLL on Windows only, and type
        # checkers that run elsewhere would not find it.
        return getattr(ctypes, "WinDLL")(path)
    return ctypes.CDLL(path)


@functools.lru_cache(maxsize=None)
def _load_from(candidates: Tuple[str, ...]) -> Library:
    failures: List[str] = []
    for path in candidates:
        try:
            return Library(_open(path), path)
        except OSError as error:
            failures.append(f"{path}: {error}")
    need = f"; {needed_dll(interpreter_architecture())}" if _WINDOWS else ""
    raise LibraryError(f"cannot load {LIBRARY_NAME} (set {LIBRARY_VARIABLE} to its path){need}; "
                       "tried " + "; ".join(failures))


def load_library(path: Optional[PathLike] = None) -> Library:
    """The library at path, or found as described in _candidates(). Loaded
    once per path and kept."""
    return _load_from((os.fspath(path),) if path is not None else tuple(_candidates()))
