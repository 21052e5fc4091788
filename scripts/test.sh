#!/usr/bin/env bash
# Runs the whole test suite: sets up .venv, builds the extensions, and runs
# pytest (the tests start their own PostgreSQL server with pgvector) in the
# interpreter's development mode with every warning an error.
# With VESPERKIT_WHEEL=path/to/wheel the suite runs against that wheel instead,
# from a copy of the tests outside the checkout, so nothing of the source tree
# can stand in for a file the wheel lacks.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
# The browser tests need headless Chromium and its driver; the suite installs
# nothing itself, so the set-up does (where it may: as root or through sudo).
if ! { command -v chromium && command -v chromedriver; } >/dev/null 2>&1; then
    echo "==> installing headless Chromium for the browser tests"
    "$ROOT/scripts/install-browser.sh" || echo "==> no browser: the browser tests will be skipped" >&2
fi
if [ -z "${VESPERKIT_WHEEL:-}" ]; then
    exec "$VENV/bin/python" -X dev -W error -m pytest "$@"
fi

RUN_DIR="$(mktemp -d "${TMPDIR:-/tmp}/vesperkit-tests.XXXXXX")"
trap 'rm -rf "$RUN_DIR"' EXIT
cp -r tests devtools demo "$RUN_DIR/"
# pytest's settings only; the package itself comes from the wheel.
"$VENV/bin/python" -c '
import json, sys, tomllib
table = tomllib.load(open(sys.argv[1], "rb"))["tool"]["pytest"]["ini_options"]
print("[tool.pytest.ini_options]")
for key, value in table.items():
    print(key, "=", json.dumps(value))
' pyproject.toml > "$RUN_DIR/pyproject.toml"
cd "$RUN_DIR"
"$VENV/bin/python" -c '
import sys, vesperkit
where = vesperkit.__file__
print("==> testing", where)
if where.startswith(sys.argv[1] + "/src/"):
    raise SystemExit("the source tree is importable: the wheel would not be tested")
' "$ROOT"
"$VENV/bin/python" -X dev -W error -m pytest "$@"
