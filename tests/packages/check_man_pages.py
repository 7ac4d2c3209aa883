"""Every option and subcommand a tool's --help lists (the tool's and each
subcommand's) is documented in its manual page.

Usage: check_man_pages.py TOOL MANUAL_PAGE"""

import re
import sys

from cli_help import report, walk


def page_text(path):
    """The page's words as a reader sees them: troff's escaped hyphens
    plain, font changes and request names gone."""
    text = open(path, encoding="utf-8").read()
    text = text.replace("\\-", "-")
    text = re.sub(r"\\f[BIRP]", "", text)
    text = re.sub(r"^\.[A-Z]+ ?", "", text, flags=re.MULTILINE)
    return text


def contains_word(text, word):
    return re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", text) is not None


def main(tool, page):
    text = page_text(page)
    missing = []
    for command, options, subcommands in walk(tool):
        where = " ".join(command) or "(top level)"
        missing += [f"{where}: option {o}" for o in options if not contains_word(text, o)]
        missing += [f"{where}: subcommand {' '.join(command + (s,))}" for s in subcommands
                    if not contains_word(text, " ".join(command + (s,)))]
    return report(f"{page} does not document", missing)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
