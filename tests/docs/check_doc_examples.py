#!/usr/bin/env python3
"""Checks that a page shows its examples from their tested files: every
"<!-- shown from PATH -->" line must be followed by a fenced code block whose
text is exactly the file PATH (relative to the source tree), and each PATH
given on the command line must be shown so.

Usage: check_doc_examples.py SOURCE_DIR PAGE [REQUIRED_PATH...]"""

import re
import sys
from pathlib import Path

MARKER = re.compile(r"^<!-- shown from (\S+) -->$")
FENCE = re.compile(r"^```")


def shown_blocks(page_lines):
    """(path, block text, line number) for every marked block on the page."""
    for index, line in enumerate(page_lines):
        marker = MARKER.match(line)
        if not marker:
            continue
        start = index + 1
        if start >= len(page_lines) or not FENCE.match(page_lines[start]):
            yield marker.group(1), None, index + 1
            continue
        end = next((i for i in range(start + 1, len(page_lines)) if FENCE.match(page_lines[i])),
                   None)
        text = None if end is None else "".join(page_lines[start + 1:end])
        yield marker.group(1), text, index + 1


def main(source_dir, page, required):
    lines = page.read_text(encoding="utf-8").splitlines(keepends=True)
    failures = []
    shown = set()
    for path, text, line in shown_blocks(lines):
        shown.add(path)
        file = source_dir / path
        if text is None:
            failures.append(f"{page.name}:{line}: no fenced block after the marker for {path}")
        elif not file.is_file():
            failures.append(f"{page.name}:{line}: {path} does not exist")
        elif file.read_text(encoding="utf-8") != text:
            failures.append(f"{page.name}:{line}: the block differs from {path}")
    failures += [f"{page.name}: {path} is not shown" for path in required if path not in shown]
    return failures


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    source = Path(sys.argv[1])
    problems = main(source, source / sys.argv[2], sys.argv[3:])
    if problems:
        sys.exit("\n".join(problems))
    print(f"{sys.argv[2]}: every example shown is its file")
