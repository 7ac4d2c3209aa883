#!/usr/bin/env python3
"""Checks QX318_RS485.lib, the import library for Microsoft's linker, and the
import tables of programs linked against it.

    check_msvc_import_library.py library LIB --def DEF --machine x86|x64
    check_msvc_import_library.py caller EXE --def DEF --machine x86|x64
                                 --readobj LLVM_READOBJ [--every-export]

library reads the archive itself, since no tool prints the machine and the
import name of its short import records:
- every member is for the machine;
- it offers each export of DEF but the PRIVATE ones (DllMain), once, from
  QX318_RS485.dll, as code, under the name a caller compiled with the header
  links against (x86, __stdcall: _Name@N, whose record tells the loader to look
  up the plain Name; x64: Name), and nothing else;
- DllMain appears nowhere in it.

caller reads a linked program's import table with llvm-readobj: it is for
the machine, imports from QX318_RS485.dll and KERNEL32.dll only, and what it
imports from QX318_RS485.dll are plain names of DEF (with --every-export: all
of them but the PRIVATE ones).
"""
import argparse
import re
import struct
import subprocess
import sys

DLL_NAME = "QX318_RS485.dll"
MACHINES = {"x86": 0x14C, "x64": 0x8664}
READOBJ_FORMATS = {"x86": "COFF-i386", "x64": "COFF-x86-64"}

# The short import record (PE format, "Import Library Format").
SHORT_IMPORT_SIGNATURE = b"\x00\x00\xff\xff"
SHORT_IMPORT_HEADER = struct.Struct("<HHHHIIHH")
IMPORT_CODE = 0
NAME_TYPE_NAME = 1
NAME_TYPE_UNDECORATE = 3


def exports_of(def_file):
    """The names the DLL exports and the import library must offer (not the
    PRIVATE ones), and those it must not."""
    offered, private = [], []
    with open(def_file, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if not line[:1].isspace() or not fields or fields[0].startswith(";"):
                continue
            (private if "PRIVATE" in fields[1:] else offered).append(fields[0])
    return offered, private


def archive_members(data):
    if not data.startswith(b"!<arch>\n"):
        raise SystemExit("not an archive")
    offset = 8
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        name = header[:16].decode("ascii").rstrip()
        size = int(header[48:58].decode("ascii"))
        body = data[offset + 60:offset + 60 + size]
        # "/" is the linkers' symbol index, "//" the long names.
        if name not in ("/", "//"):
            yield body
        offset += 60 + size + (size & 1)


def import_name(symbol, name_type):
    """The name the loader looks up in the DLL for a record."""
    if name_type == NAME_TYPE_UNDECORATE:
        return symbol.lstrip("?@_").split("@")[0]
    return symbol


def check_library(args):
    offered, private = exports_of(args.def_file)
    machine = MACHINES[args.machine]
    with open(args.file, "rb") as f:
        data = f.read()
    problems = []
    imports = []
    other_machines = set()
    for body in archive_members(data):
        if body.startswith(SHORT_IMPORT_SIGNATURE):
            (_, _, _, member_machine, _, _, _, kinds) = SHORT_IMPORT_HEADER.unpack_from(body)
            strings = body[SHORT_IMPORT_HEADER.size:].split(b"\0")
            symbol, dll = strings[0].decode("ascii"), strings[1].decode("ascii")
            imports.append((symbol, dll, kinds & 3, (kinds >> 2) & 7))
        else:
            (member_machine,) = struct.unpack_from("<H", body)
        if member_machine != machine:
            other_machines.add(member_machine)
    if other_machines:
        problems.append(f"members for machine {', '.join(f'{m:#x}' for m in sorted(other_machines))}"
                        f", not {machine:#x}")

    found = []
    for symbol, dll, kind, name_type in imports:
        name = import_name(symbol, name_type)
        found.append(name)
        if args.machine == "x86":
            wanted_type = NAME_TYPE_UNDECORATE
            wanted_symbol = re.fullmatch(rf"_{re.escape(name)}@\d+", symbol)
        else:
            wanted_type = NAME_TYPE_NAME
            wanted_symbol = symbol == name
        if not wanted_symbol or name_type != wanted_type:
            problems.append(f"{symbol} (name type {name_type}) leads to {name}")
        if dll != DLL_NAME or kind != IMPORT_CODE:
            problems.append(f"{symbol} imports from {dll} (kind {kind})")
    if sorted(found) != sorted(offered):
        problems.append(f"offers {sorted(found)}, expected {sorted(offered)}")
    for name in private:
        if name.encode("ascii") in data:
            problems.append(f"{name} is in the import library")
    return problems, f"{len(found)} imports for {args.machine}: {', '.join(sorted(found))}"


def check_caller(args):
    offered, _ = exports_of(args.def_file)
    dump = subprocess.run([args.readobj, "--coff-imports", args.file], check=True,
                          stdout=subprocess.PIPE, text=True).stdout
    problems = []
    file_format = re.search(r"^Format: (\S+)$", dump, re.MULTILINE)
    if not file_format or file_format.group(1) != READOBJ_FORMATS[args.machine]:
        problems.append(f"format {file_format and file_format.group(1)}, expected "
                        f"{READOBJ_FORMATS[args.machine]}")
    imported = {}
    for block in re.findall(r"^Import \{\n(.*?)^\}", dump, re.MULTILINE | re.DOTALL):
        dll = re.search(r"^\s*Name: (\S+)$", block, re.MULTILINE).group(1)
        imported[dll] = re.findall(r"^\s*Symbol: (\S*) \(\d+\)$", block, re.MULTILINE)
    if not set(imported) <= {DLL_NAME, "KERNEL32.dll"}:
        problems.append(f"imports from {sorted(imported)}")
    ours = sorted(imported.get(DLL_NAME, []))
    if not ours:
        problems.append(f"imports nothing from {DLL_NAME}")
    for name in ours:
        if name not in offered:
            problems.append(f"imports {name} from {DLL_NAME}, which exports no such name")
    if args.every_export and ours != sorted(offered):
        problems.append(f"imports {ours} from {DLL_NAME}, expected {sorted(offered)}")
    return problems, f"{DLL_NAME}: {', '.join(ours)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["library", "caller"])
    parser.add_argument("file")
    parser.add_argument("--def", dest="def_file", required=True, help="the export list")
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--readobj", help="llvm-readobj, for caller")
    parser.add_argument("--every-export", action="store_true",
                        help="caller: the program imports every export")
    args = parser.parse_args()
    if args.what == "caller" and not args.readobj:
        parser.error("caller needs --readobj")
    problems, summary = (check_library if args.what == "library" else check_caller)(args)
    for problem in problems:
        print(f"FAILED: {args.file}: {problem}", file=sys.stderr)
    if problems:
        sys.exit(1)
    print(summary)


if __name__ == "__main__":
    main()
