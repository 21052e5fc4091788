#!/usr/bin/env bash
# Runs the whole test suite: sets up .venv, builds the extensions, and runs
# pytest (the tests start their own PostgreSQL server with pgvector) in the
# interpreter's development mode with every warning an error.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$VENV/bin/python" -X dev -W error -m pytest "$@"
