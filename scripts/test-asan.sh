#!/usr/bin/env bash
# Build everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (preset "asan", folder build-asan) and run the whole test suite under them.
# The preset's test environment makes any finding abort the program that made
# it, the tool run by an end-to-end test included, so that test fails. The
# Wine, package and CMake package tests are left out: they run the Windows
# build and the release packages, or build other projects, none of which is
# sanitized, and the normal run has them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ libgtest-dev nlohmann-json3-dev
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
