#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the whole test suite: unit and
# integration tests (GoogleTest), the emulator's tests, the official SDK's
# conformance run against the emulator, and the end-to-end FTP client runs.
# Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DORVEL_WERROR=ON
cd build
ctest --output-on-failure -j 2 --timeout 900
