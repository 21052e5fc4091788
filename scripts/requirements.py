"""Prints the requirements of the installed vesperkit for the given extras, one a line.

Read from the installed distribution's metadata, so that the dependencies of a
wheel installed with --no-deps can be installed from the package index alone.
Extras that name vesperkit itself (all = vesperkit[numpy,...]) are expanded.
"""

import re
import sys
from importlib.metadata import requires

EXTRA = re.compile(r"""^extra\s*==\s*["']([^"']+)["']$""")
SELF = re.compile(r"^vesperkit\s*\[([^\]]*)\]\s*$")


def requirements(extras):
    by_extra = {}
    for line in requires("vesperkit") or []:
        requirement, _, marker = (part.strip() for part in line.partition(";"))
        match = EXTRA.match(marker)
        if marker and not match:
            raise SystemExit(f"unexpected marker in {line!r}")
        by_extra.setdefault(match.group(1) if match else "", []).append(requirement)
    wanted, seen, todo = [], set(), ["", *extras]
    while todo:
        extra = todo.pop(0)
        if extra in seen:
            continue
        if extra not in by_extra and extra:
            raise SystemExit(f"vesperkit has no extra {extra!r}")
        seen.add(extra)
        for requirement in by_extra.get(extra, []):
            inner = SELF.match(requirement)
            if inner:
                todo.extend(name.strip() for name in inner.group(1).split(","))
            elif requirement not in wanted:
                wanted.append(requirement)
    return wanted


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
