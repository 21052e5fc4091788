"""Checks what the sdist and the repaired wheel hold.

usage: check_dist.py SDIST WHEEL

The sdist must hold every tracked source and build file and nothing local
(virtual environments, build trees, database files); the wheel every file of
the Python package (helpers, stubs, py.typed), one extension module per
vesperkit_module() line of CMakeLists.txt, the license, and metadata whose
version is the package's own __version__.
"""

import re
import subprocess
import sys
import tarfile
import zipfile
from email.parser import Parser
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def tracked(*paths):
    out = subprocess.run(["git", "ls-files", "-z", "--", *paths], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    return {name for name in out.split("\0") if name}


def fail(problems):
    for problem in problems:
        print("dist check:", problem, file=sys.stderr)
    raise SystemExit(1 if problems else 0)


def check_sdist(path):
    with tarfile.open(path) as tar:
        top, *_ = tar.getnames()[0].split("/")
        names = {name.partition("/")[2] for name in tar.getnames()}
    problems = []
    needed = tracked("src", "CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE")
    problems += [f"sdist lacks {name}" for name in sorted(needed - names)]
    local = re.compile(r"^(\.venv[^/]*|build|dist|wheelhouse|\.devdb|\.git)(/|$)|(^|/)__pycache__/|\.so$")
    problems += [f"sdist holds {name}" for name in sorted(names) if local.search(name)]
    print(f"sdist {Path(path).name}: {len(names)} entries under {top}/")
    return problems


def check_wheel(path):
    with zipfile.ZipFile(path) as whl:
        names = set(whl.namelist())
        dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
        metadata = Parser().parsestr(whl.read(f"{dist_info}/METADATA").decode())
    problems = []
    package = {name.removeprefix("src/") for name in tracked("src/vesperkit")}
    problems += [f"wheel lacks {name}" for name in sorted(package - names)]
    modules = sorted(n for n in names if re.search(r"\.(cpython-[^/]*\.so|abi3\.so|so|pyd)$", n))
    cmake = (ROOT / "CMakeLists.txt").read_text()
    expected = len(re.findall(r"^\s*vesperkit_module\(", cmake, re.M))
    if len(modules) != expected:
        problems.append(f"wheel holds {len(modules)} extension modules, CMakeLists.txt builds {expected}: {modules}")
    if f"{dist_info}/licenses/LICENSE" not in names:
        problems.append("wheel lacks its LICENSE")
    init = (ROOT / "src/vesperkit/__init__.py").read_text()
    version = re.search(r'^__version__ = "([^"]+)"', init, re.M).group(1)
    if metadata["Version"] != version:
        problems.append(f"wheel version {metadata['Version']} is not __version__ {version}")
    if metadata["License-Expression"] != "MIT":
        problems.append(f"License-Expression is {metadata['License-Expression']!r}")
    if "vesperkit native core" not in (metadata.get_payload() or ""):
        problems.append("the README is not the long description")
    print(f"wheel {Path(path).name}: {len(names)} files, modules {modules}")
    return problems


if __name__ == "__main__":
    sdist, wheel = sys.argv[1:]
    fail(check_sdist(sdist) + check_wheel(wheel))
