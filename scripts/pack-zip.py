#!/usr/bin/env python3
"""Packs a folder into a zip whose top folder is the folder's own name, with
fixed times and modes, so that the same files always give the same archive.

Usage: pack-zip.py FOLDER OUTPUT.zip"""

import sys
import zipfile
from pathlib import Path

FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def pack(folder: Path, output: Path) -> None:
    files = sorted(path for path in folder.rglob("*") if path.is_file())
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in files:
            info = zipfile.ZipInfo(f"{folder.name}/{path.relative_to(folder).as_posix()}",
                                   FIXED_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, path.read_bytes())


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    pack(Path(sys.argv[1]), Path(sys.argv[2]))
