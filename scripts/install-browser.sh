#!/usr/bin/env bash
# Installs headless Chromium and its driver for the browser tests
# (tests/test_view.py -m browser) on Debian or Ubuntu. The test suite itself
# installs nothing: without these the browser tests are skipped (and fail
# under CI=true).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq chromium chromium-driver
