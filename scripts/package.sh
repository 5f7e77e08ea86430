#!/usr/bin/env bash
# Build the release packages into dist/: the Debian package and the tarball
# for Linux, and the .zip for Windows.
#
# The same commit gives the same bytes, whoever builds it, wherever and
# whenever: every time stamp in the packages is SOURCE_DATE_EPOCH, which is
# the last commit's time unless it is set already. The Linux programs are
# built with Debian's hardening flags (scripts/hardening.sh). A warning does
# not stop a release build (scripts/test.sh builds the same with -Werror).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ dpkg-dev zip unzip
umask 022
export TZ=UTC # zip keeps local times

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
        echo "not a git checkout: set SOURCE_DATE_EPOCH to the release time" >&2
        exit 1
    }
fi
export SOURCE_DATE_EPOCH
echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH"))"

source scripts/hardening.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${hardening[@]}" >/dev/null
cmake --build build-release -j2 >/dev/null
(cd build-release && cpack -G "DEB;TGZ" >/dev/null 2>&1)

bash scripts/build-windows.sh >/dev/null

# CPack's .tar.gz and .zip list their files in the order the file system
# gives them, owned by the builder: pack them again, sorted by name, owned by
# root, every time SOURCE_DATE_EPOCH and every mode 644 or 755.
modes=u+rwX,go+rX,go-w
repack_tgz() { # FROM TO
    local tmp
    tmp=$(mktemp -d)
    tar -xzf "$1" -C "$tmp"
    tar --create --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
        --mode="$modes" --mtime="@$SOURCE_DATE_EPOCH" -C "$tmp" $(ls "$tmp") | gzip -9n >"$2"
    rm -rf "$tmp"
}
repack_zip() { # FROM TO
    local tmp to
    tmp=$(mktemp -d)
    to=$(realpath "$2")
    unzip -q "$1" -d "$tmp"
    chmod -R "$modes" "$tmp"
    find "$tmp" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    (cd "$tmp" && find . -type f -printf '%P\n' | LC_ALL=C sort | zip -q -X -9 -@ "$to")
    rm -rf "$tmp"
}

rm -rf dist
mkdir dist
cp build-release/packages/*.deb dist/
for f in build-release/packages/*.tar.gz; do repack_tgz "$f" "dist/$(basename "$f")"; done
for f in build-win/packages/*.zip; do repack_zip "$f" "dist/$(basename "$f")"; done
ls -l dist
