#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
jobs=$(nproc)

cmake --preset default
cmake --build --preset default -j "$jobs"
cmake --build --preset default --target format-check
ctest --preset default -j "$jobs"

cmake --preset asan
cmake --build --preset asan -j "$jobs"
# The fuzz target is sanitized already; the package is built from the default build.
ctest --preset asan -j "$jobs" -LE "fuzz|package"
echo "All tests passed."
