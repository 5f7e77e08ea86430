#!/usr/bin/env bash
# Build the release packages into dist/: the Debian package and the tarball
# for Linux, and the .zip for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ dpkg-dev
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j2 >/dev/null
(cd build-release && cpack -G "DEB;TGZ" >/dev/null 2>&1)

bash scripts/build-windows.sh >/dev/null

rm -rf dist
mkdir dist
cp build-release/packages/*.deb build-release/packages/*.tar.gz build-win/packages/*.zip dist/
ls -l dist
