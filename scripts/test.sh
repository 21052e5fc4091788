#!/usr/bin/env bash
# Runs the whole test suite: sets up .venv, builds the extensions, and runs
# pytest (the tests start their own PostgreSQL server with pgvector).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
