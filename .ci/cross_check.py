"""Compiles every project source for another target, syntax only.

usage: cross_check.py BUILD_DIR

BUILD_DIR is a CMake build tree configured with the cross compiler and
CMAKE_EXPORT_COMPILE_COMMANDS=ON: each of the project's own compile commands
(same defines, include directories and warning flags) is run again with
-fsyntax-only, so nothing is written and nothing needs linking.
"""

import json
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def check(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    result = subprocess.run([*args, "-fsyntax-only"], cwd=entry["directory"],
                            capture_output=True, text=True)
    return entry["file"], result.returncode, result.stdout + result.stderr


def main(build_dir):
    entries = json.loads((Path(build_dir) / "compile_commands.json").read_text())
    native = ROOT / "src" / "native"
    own = {e["file"]: e for e in entries if Path(e["file"]).resolve().is_relative_to(native)}
    sources = set(native.rglob("*.cpp"))
    missing = sorted(str(s) for s in sources if str(s) not in own and s.resolve() not in {Path(f).resolve() for f in own})
    if missing:
        print("not compiled by any target:", *missing, sep="\n  ")
    failed = 0
    with ThreadPoolExecutor(2) as pool:
        for name, code, output in pool.map(check, own.values()):
            print(("ok   " if code == 0 else "FAIL ") + str(Path(name).relative_to(ROOT)))
            if code:
                failed += 1
                print(output)
    print(f"{len(own) - failed} of {len(own)} sources compile")
    raise SystemExit(1 if failed or missing else 0)


if __name__ == "__main__":
    main(sys.argv[1])
