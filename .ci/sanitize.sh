#!/usr/bin/env bash
# Builds the extension modules with -fsanitize=address,undefined into a
# separate virtual environment and runs the test suite under them.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export VESPERKIT_VENV="$ROOT/.venv-asan"
export VESPERKIT_PIP_ARGS="-Ccmake.define.VESPERKIT_SANITIZE=ON -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo"
source "$ROOT/scripts/env.sh"
cd "$ROOT"
ASAN_LIB="$(gcc -print-file-name=libasan.so)"
UBSAN_LIB="$(gcc -print-file-name=libubsan.so)"
# CPython itself is not built with ASan: leak checking would report the
# interpreter's own intentional allocations, so only memory errors are fatal.
LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
