# Sourced by demo.sh and test.sh: finds CPython 3.13, makes .venv, installs the
# package with its extension modules and the development dependencies.
# VESPERKIT_VENV: another virtual environment; VESPERKIT_WHEEL: install that
# wheel instead of building the checkout; VESPERKIT_PIP_ARGS: extra build options.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VESPERKIT_VENV:-$ROOT/.venv}"

source "$ROOT/scripts/python.sh"

if [ ! -x "$VENV/bin/python" ]; then
    PY313="$(find_python313)" || {
        echo "CPython 3.13 not found: install it (e.g. pyenv install 3.13) or set PYTHON=/path/to/python3.13" >&2
        exit 1
    }
    echo "==> creating $VENV with $PY313"
    "$PY313" -m venv "$VENV"
fi

PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)
# Some machines list package folders that may not exist; pip's notes about them are noise.
quiet_pip() { "${PIP[@]}" "$@" 2> >(grep -v '^WARNING: Location .* is ignored' >&2); }
if [ -n "${VESPERKIT_WHEEL:-}" ]; then
    # A built wheel, installed as a user would: the wheel alone, then its
    # dependencies (and those of the tests and benchmarks) from the package index.
    echo "==> installing $VESPERKIT_WHEEL"
    TIMEFORMAT="    installed in %R s"
    time quiet_pip install --no-index --no-deps --force-reinstall "$VESPERKIT_WHEEL"
    unset TIMEFORMAT
    REQUIREMENT_LINES="$("$VENV/bin/python" "$ROOT/scripts/requirements.py" all test bench)"
    REQUIREMENTS=()  # one a line (bash 3.2, as on macOS, has no mapfile)
    while IFS= read -r line; do REQUIREMENTS+=("$line"); done <<<"$REQUIREMENT_LINES"
    quiet_pip install "${REQUIREMENTS[@]}"
else
    # Build requirements are installed once so that rebuilds need no isolated env.
    quiet_pip install "scikit-build-core>=0.11" "nanobind>=2.4" "cmake>=3.18" ninja
    echo "==> building and installing vesperkit"
    quiet_pip install --no-build-isolation ${VESPERKIT_PIP_ARGS:-} "$ROOT[all,test,bench]"
fi
