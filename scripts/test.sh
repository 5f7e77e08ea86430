#!/usr/bin/env bash
# Build everything and run the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ libgtest-dev nlohmann-json3-dev dpkg-dev man-db locales python3-jsonschema # locales: localedef for the Wine tests; python3-jsonschema: the JSON reports against their schema
bash scripts/deps.sh fusefat dosfstools xfsprogs e2fsprogs util-linux acl attr # the output tests' file systems, ACLs and attributes
bash scripts/deps.sh libbenchmark-dev  # so that swug-bench builds too (it is not run here)
bash scripts/build-windows.sh # the .exe files and .zip that the Wine tests run
# Every warning is an error here, also in the release build's configuration
# with its hardening flags (the programs only, as scripts/package.sh builds them).
source scripts/hardening.sh
cmake -S . -B build-hardened -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    "${hardening[@]}" >/dev/null
cmake --build build-hardened -j2 >/dev/null
cmake -S . -B build -DSWUG_REQUIRE_TESTS=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
bash scripts/test-cross.sh # the tools and unit tests on s390x (big-endian) and i686 (32-bit), under qemu-user
bash scripts/test-asan.sh
bash scripts/fuzz.sh
