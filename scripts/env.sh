# Sourced by demo.sh and test.sh: finds CPython 3.13, makes .venv, installs the
# package with its extension modules and the development dependencies.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VESPERKIT_VENV:-$ROOT/.venv}"

find_python313() {
    local c
    for c in "${PYTHON:-}" python3.13 "$HOME/.pyenv/versions/3.13"*/bin/python3.13 \
             /root/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [ -n "$c" ] || continue
        if command -v "$c" >/dev/null 2>&1 &&
           "$c" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

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
# Build requirements are installed once so that rebuilds need no isolated env.
quiet_pip install "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
echo "==> building and installing vesperkit"
quiet_pip install --no-build-isolation ${VESPERKIT_PIP_ARGS:-} "$ROOT[all,test,bench]"
