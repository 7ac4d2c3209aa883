"""Reads a CLI11 tool's help: the options and subcommands of the tool and,
recursively, of each subcommand, as the tool itself prints them. The man
page and bash completion checks hold their files against this."""

import re
import subprocess

# An option line of the help: two spaces, then "-p,--port TEXT" or "--json".
_OPTION_LINE = re.compile(r"^  (-[^\s]+)")
# A subcommand line: two spaces, a name, then its description.
_SUBCOMMAND_LINE = re.compile(r"^  ([a-z][a-z0-9-]*)\s")


def _sections(text):
    """{"Options": [lines], "Subcommands": [lines], ...} of one help text."""
    sections, current = {}, None
    for line in text.splitlines():
        heading = re.match(r"^([A-Z][A-Za-z]+):$", line)
        if heading:
            current = sections.setdefault(heading.group(1), [])
        elif current is not None:
            current.append(line)
    return sections


def read_help(tool, command=()):
    """(options, subcommands) of tool's command: options as a list of names
    ("-p", "--port"), subcommands as a list of words."""
    done = subprocess.run([tool, *command, "--help"], capture_output=True, text=True,
                          check=True, timeout=30)
    sections = _sections(done.stdout)
    options = []
    for line in sections.get("Options", []):
        match = _OPTION_LINE.match(line)
        if match:
            options += match.group(1).split(",")
    subcommands = [m.group(1) for m in map(_SUBCOMMAND_LINE.match, sections.get("Subcommands", []))
                   if m]
    if not options:
        raise AssertionError(f"no options found in the help of {tool} {' '.join(command)}:\n"
                             f"{done.stdout}")
    return options, subcommands


def walk(tool, command=()):
    """Yields (command, options, subcommands) for the tool and every
    subcommand under it, depth first."""
    options, subcommands = read_help(tool, command)
    yield command, options, subcommands
    for name in subcommands:
        yield from walk(tool, command + (name,))


def report(heading, problems):
    """Prints the problems under heading; the exit status of a check."""
    if not problems:
        return 0
    print(f"{heading}:\n  " + "\n  ".join(problems))
    return 1
