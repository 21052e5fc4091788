# Sourced by env.sh and CI: find_python313 prints a CPython 3.13 interpreter (PYTHON first).

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
