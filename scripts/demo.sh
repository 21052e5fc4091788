#!/usr/bin/env bash
# Runs the demonstration: sets up .venv, builds the extensions, starts a local
# PostgreSQL with pgvector, and shows every module at work.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$VENV/bin/python" demo/demo.py "$@"
