"""qx318's bash completion offers every subcommand and every option the
tool's --help lists, at the level where each applies, and completes a
prefix to the one word it starts.

Usage: check_bash_completion.py TOOL COMPLETION_SCRIPT"""

import subprocess
import sys

from cli_help import report, walk


def complete(script, words):
    """What the completion offers for the command line words, the last word
    being the one under the cursor."""
    line = " ".join(f"'{w}'" for w in words)
    program = (f"source '{script}'; COMP_WORDS=({line}); COMP_CWORD={len(words) - 1}; "
               "_qx318; printf '%s\\n' \"${COMPREPLY[@]}\"")
    done = subprocess.run(["bash", "-c", program], capture_output=True, text=True, check=True,
                          timeout=30)
    return set(done.stdout.split())


def main(tool, script):
    problems = []
    global_options = None
    for command, options, subcommands in walk(tool):
        if global_options is None:
            global_options = set(options)
        offered = complete(script, ["qx318", *command, "-"])
        wanted = set(options) | global_options
        problems += [f"qx318 {' '.join(command)} -<TAB> lacks {o}" for o in sorted(wanted - offered)]
        if subcommands:
            offered = complete(script, ["qx318", "--simulate", *command, ""])
            problems += [f"qx318 {' '.join(command)} <TAB> lacks {s}"
                         for s in subcommands if s not in offered]
    # A prefix completes to its one word, and an option's value is not
    # taken for a subcommand.
    cases = [(["qx318", "mea"], {"measure"}),
             (["qx318", "param", "re"], {"restore"}),
             (["qx318", "-a", "2", "angle", "s"], {"save"}),
             (["qx318", "measure", "--pl"], {"--plot"}),
             (["qx318", "--baud", "1152"], {"115200"})]
    for words, expected in cases:
        offered = complete(script, words)
        if offered != expected:
            problems.append(f"{' '.join(words)}<TAB> offers {sorted(offered)}, not {sorted(expected)}")
    return report(script, problems)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
