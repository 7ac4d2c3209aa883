"""The table of argument rules in docs/arguments.md, read for the tests: each
interface checks itself against the page, so the page and the code cannot
drift apart."""

import re
from pathlib import Path
from typing import Dict, List, NamedTuple

PAGE = Path(__file__).resolve().parents[2] / "docs" / "arguments.md"
COLUMNS = ["rule", "checked", "limit", "message"]


class Rule(NamedTuple):
    name: str
    checked: str
    low: int
    high: int
    message: str

    @property
    def groups(self) -> int:
        """The group count a value-N-group(s) rule is about."""
        found = re.fullmatch(r"value-(\d+)-groups?", self.name)
        if not found:
            raise ValueError(f"{self.name} is not a value rule")
        return int(found.group(1))

    def refusal(self, **fields: object) -> str:
        """The message with its placeholders filled; every placeholder must
        be given, and nothing else."""
        wanted = set(re.findall(r"\{(\w+)\}", self.message))
        if wanted != set(fields):
            raise KeyError(f"{self.name}: the message takes {sorted(wanted)}, "
                           f"got {sorted(fields)}")
        return re.sub(r"\{(\w+)\}", lambda m: str(fields[m.group(1)]), self.message)


def _cells(line: str) -> List[str]:
    return [cell.strip().strip("`") for cell in line.strip().strip("|").split("|")]


def read_rules(page: Path = PAGE) -> Dict[str, Rule]:
    """The rules by name, from the one table whose header is COLUMNS."""
    lines = page.read_text(encoding="utf-8").splitlines()
    starts = [i for i, line in enumerate(lines)
              if line.startswith("|") and _cells(line) == COLUMNS]
    if len(starts) != 1:
        raise ValueError(f"{page}: expected one table headed {COLUMNS}, found {len(starts)}")
    rules: Dict[str, Rule] = {}
    for line in lines[starts[0] + 2:]:
        if not line.startswith("|"):
            break
        name, checked, limit, message = _cells(line)
        bounds = re.fullmatch(r"(-?\d+)\.\.(-?\d+)", limit)
        if not bounds or name in rules:
            raise ValueError(f"{page}: bad or repeated row {line!r}")
        rules[name] = Rule(name, checked, int(bounds.group(1)), int(bounds.group(2)), message)
    return rules


def code_text(code: int) -> str:
    """{code} as the page writes it."""
    return f"0x{code:04X}"


def group_count_text(groups: int) -> str:
    """{group_count} as the page writes it."""
    return f"{groups} group" if groups == 1 else f"{groups} groups"
