#!/usr/bin/env bash
# Build swug-gen and turn the bundled sample into an upgrade image.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ libgtest-dev
cmake -S . -B build >/dev/null
cmake --build build --target swug-gen -j2 >/dev/null

./build/swug-gen data/KOVRIN_SW.bin out/KOVRIN_UPGRADE_SW.bin
echo "image written: out/KOVRIN_UPGRADE_SW.bin ($(stat -c %s out/KOVRIN_UPGRADE_SW.bin) bytes)"
