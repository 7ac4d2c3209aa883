#!/usr/bin/env python3
"""Holds the layering of docs/architecture.md ("Who may include whom"): reads
every #include "..." line of the checked folders, resolves it the way the
build does and fails on each one the including folder may not take.

Usage: check_includes.py SOURCE_DIR [--expect FILE]

SOURCE_DIR is the tree to read (the project, or a fixture laid out like it).
With --expect, the run succeeds only when it finds exactly the offending
lines FILE lists, one a line as printed: that is how a fixture shows the
check can fail. System headers (<...>) are not checked."""

import argparse
import re
import sys
from pathlib import Path

# Who may include whom: the table of docs/architecture.md. A key is a folder
# (ending in "/") or one file; an entry is a folder prefix (ending in "/") or
# one exact file, both relative to the source tree. A file may include what
# every key that covers it allows; a file key only adds to its folder's.
ALLOWED = {
    "src/commands/": (
        "include/",
        "src/protocol/",
        "src/diagnostics/",
        "src/port/port.h",
        "src/commands/",
    ),
    "src/protocol/": (
        "include/",
        "src/protocol/",
        "src/diagnostics/",
        "src/port/port.h",
        "src/port/platform.h",
    ),
    "src/diagnostics/": (
        "include/",
        "src/diagnostics/",
        "src/port/platform.h",
    ),
    "src/port/": (
        "include/",
        "src/port/",
        "src/diagnostics/failure.h",
        "src/diagnostics/trace.h",
    ),
    "tools/": (
        "include/",
        "src/tool_support/",
        "tools/host/",
        "tools/sim/",
        "tools/common/",
        "src/diagnostics/trace_fields.h",  # the fields the simulator's replay reads
    ),
    # The platforms' CRC table files take the table's entries (constant
    # expressions, no code) from the protocol.
    "src/port/portable/crc_table_constant.cpp": ("src/protocol/crc.h",),
    "src/port/win32/crc_table.cpp": ("src/protocol/crc.h",),
    # Open and close are exported from the port layer, through the same edge
    # as every command.
    "src/port/port.cpp": ("src/diagnostics/exported_call.h",),
}

# Where a quoted include is looked for after the including file's own folder,
# in order: the include directories the build gives each tree
# (src/CMakeLists.txt puts src/ on the path of every target below it and
# qx318_codec brings include/; tools/CMakeLists.txt gives tools/, and
# qx318_tool_support brings src/tool_support/).
SEARCH_PATHS = {
    "src/": ("src/", "include/"),
    "tools/": ("tools/", "src/tool_support/", "include/"),
}

SOURCE_SUFFIXES = {".h", ".hpp", ".inc", ".c", ".cc", ".cpp", ".cxx"}
QUOTED_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def checked_folders():
    """The folders the table governs."""
    return sorted(key for key in ALLOWED if key.endswith("/"))


def governing_folder(path):
    """The most specific folder key that covers path."""
    return max((key for key in checked_folders() if path.startswith(key)), key=len)


def allowed_for(path):
    """Every entry a file at path may include."""
    entries = []
    for key, allowed in ALLOWED.items():
        if path == key or (key.endswith("/") and path.startswith(key)):
            entries.extend(allowed)
    return entries


def may_include(path, target):
    return any(target == entry or (entry.endswith("/") and target.startswith(entry))
               for entry in allowed_for(path))


def resolve(root, including, name):
    """The included file relative to root, looked for as the compiler does:
    beside the including file first, then along the tree's search paths.
    None when no such file exists."""
    tree = next(key for key in SEARCH_PATHS if including.startswith(key))
    folders = [str(Path(including).parent) + "/", *SEARCH_PATHS[tree]]
    for folder in folders:
        candidate = (root / folder / name).resolve()
        if candidate.is_file():
            try:
                return candidate.relative_to(root).as_posix()
            except ValueError:
                return None  # outside the tree: nothing the table names
    return None


def quoted_includes(file):
    """(line number, included name) for every quoted include of file."""
    for number, line in enumerate(file.read_text(encoding="utf-8").splitlines(), start=1):
        match = QUOTED_INCLUDE.match(line)
        if match:
            yield number, match.group(1)


def source_files(root, folder):
    return sorted(file for file in (root / folder).rglob("*")
                  if file.is_file() and file.suffix in SOURCE_SUFFIXES)


def offending_lines(root):
    """The printed form of every include the table forbids, and of every
    include that names no file, which the table cannot judge."""
    offences = []
    for folder in checked_folders():
        files = source_files(root, folder)
        if not files:
            offences.append(f"{folder}: no source file found: nothing checked")
        for file in files:
            path = file.relative_to(root).as_posix()
            if governing_folder(path) != folder:
                continue  # a deeper folder's key judges it
            for number, name in quoted_includes(file):
                target = resolve(root, path, name)
                if target is None:
                    offences.append(f"{path}:{number}: includes {name}, "
                                    "which names no file of the tree")
                elif not may_include(path, target):
                    offences.append(f"{path}:{number}: includes {target}, "
                                    f"which {folder} may not")
    return offences


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source_dir", type=Path)
    parser.add_argument("--expect", type=Path,
                        help="the offending lines the tree must show, exactly")
    args = parser.parse_args()
    root = args.source_dir.resolve()
    offences = offending_lines(root)
    for offence in offences:
        print(offence)

    if args.expect is None:
        if offences:
            print(f"{len(offences)} include(s) break the layering of docs/architecture.md")
            return 1
        return 0

    expected = [line for line in args.expect.read_text(encoding="utf-8").splitlines() if line]
    if not expected:
        print(f"{args.expect}: lists no offending line: it would prove nothing")
        return 1
    missed = [line for line in expected if line not in offences]
    unexpected = [line for line in offences if line not in expected]
    for line in missed:
        print(f"not found: {line}")
    for line in unexpected:
        print(f"not expected: {line}")
    return 1 if missed or unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
