"""The project's one version (CMakeLists.txt, passed in) is the one every
other place states: the Python package, the newest CHANGELOG.md entry, and
both tools' --version, which also name the library they carry and, for
qx318, whether profile plots are built in. In a build without plots,
measure --plot is refused at once as a usage error.

Usage: check_version.py VERSION SOURCE_DIR QX318 QX318_SIM"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

USAGE_ERROR = 2


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


def python_version(source):
    text = (source / "python" / "qx318" / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"$', text, re.MULTILINE).group(1)


def newest_changelog_version(source):
    text = (source / "CHANGELOG.md").read_text(encoding="utf-8")
    return re.search(r"^## (\S+) \(\d{4}-\d{2}-\d{2}\)$", text, re.MULTILINE).group(1)


def check_tool_versions(version, qx318, qx318_sim, problems):
    """Returns whether this qx318 says it draws plots."""
    host, sim = run(qx318, "--version"), run(qx318_sim, "--version")
    for name, done in (("qx318", host), ("qx318-sim", sim)):
        lines = done.stdout.splitlines()
        if done.returncode != 0 or len(lines) < 2:
            problems.append(f"{name} --version: status {done.returncode}, output {done.stdout!r}")
            continue
        if lines[0] != f"{name} {version}":
            problems.append(f"{name} --version says {lines[0]!r}, not '{name} {version}'")
        if lines[1] != f"QX318_RS485 library {version} (linked in)":
            problems.append(f"{name} --version names the library as {lines[1]!r}")
    plot_lines = [line for line in host.stdout.splitlines() if line.startswith("profile plot")]
    if len(plot_lines) != 1 or not re.search(r": (not )?built in", plot_lines[0]):
        problems.append(f"qx318 --version does not say whether plots are built in: {host.stdout!r}")
        return True
    return ": built in" in plot_lines[0]


def check_plot_refused(qx318, problems):
    with tempfile.TemporaryDirectory() as folder:
        picture = Path(folder) / "profile.png"
        done = run(qx318, "--simulate", "measure", "--plot", str(picture))
        if (done.returncode != USAGE_ERROR or "no plot support" not in done.stderr
                or picture.exists()):
            problems.append(f"measure --plot without plot support: status {done.returncode}, "
                            f"stderr {done.stderr!r}")


def main(version, source, qx318, qx318_sim):
    source = Path(source)
    problems = []
    for place, stated in (("python/qx318/__init__.py", python_version(source)),
                          ("CHANGELOG.md's newest entry", newest_changelog_version(source))):
        if stated != version:
            problems.append(f"{place} states {stated}, the project is {version}")
    if not check_tool_versions(version, qx318, qx318_sim, problems):
        check_plot_refused(qx318, problems)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
