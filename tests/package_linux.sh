#!/usr/bin/env bash
# Pack the build, install the .deb into a scratch root with dpkg -x, and run
# the installed tools on the bundled sample as a user would; build a firmware
# project with the CMake package of the .deb and of the tarball; pack it
# again a second later and compare; run lintian on the .deb when it is
# installed.
#   package_linux.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 src=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

export SOURCE_DATE_EPOCH=1700000000
for pass in 1 2; do
    [ $pass = 2 ] && sleep 1
    (cd "$build" && cpack -G "DEB;TGZ" -B "$work/pkg$pass" >/dev/null)
    (cd "$work/pkg$pass" && sha256sum *.deb *.tar.gz) >"$work/sums$pass"
done
cmp -s "$work/sums1" "$work/sums2" || fail "packed twice, different bytes: $(cat "$work"/sums?)"
deb=$(ls "$work"/pkg1/*.deb)
tgz=$(ls "$work"/pkg1/*.tar.gz)

depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6(\ \([^\)]*\))?$ ]] || fail "depends on more than libc: $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

dpkg -x "$deb" "$work/root"
# A firmware project makes its images with the CMake package of each.
bash "$src/tests/cmake_package.sh" "$build" "$src" "$work/root/usr"
mkdir "$work/tgz" && tar -xzf "$tgz" -C "$work/tgz"
bash "$src/tests/cmake_package.sh" "$build" "$src" "$work/tgz/$(basename "$tgz" .tar.gz)"
bin=$work/root/usr/bin
man1=$work/root/usr/share/man/man1
doc=$work/root/usr/share/doc/swug
"$bin/swug-gen" "$src/data/KOVRIN_SW.bin" "$work/image.bin" || fail "installed swug-gen"
"$bin/swug-verify" "$work/image.bin" "$src/data/KOVRIN_SW.bin" >/dev/null || fail "installed swug-verify"
[ "$("$bin/swug-verify" --version)" = "swug-verify $version" ] || fail "--version"
out=$("$bin/swug-gen" "$src/data/KOVRIN_SW.bin" </dev/null) && fail "one argument: status 0"
[ "$out" = $'Parameter Error [2]\nPress any key to exit!' ] || fail "one argument: $out"

# Compressed as Debian wants it: gzip -9n, no name or time in the header.
for gz in "$man1/swug-gen.1.gz" "$man1/swug-verify.1.gz" "$doc/changelog.gz"; do
    cmp -s "$gz" <(gzip -dc "$gz" | gzip -9n) || fail "$gz is not gzip -9n"
done
[[ $(gzip -dc "$doc/changelog.gz" | head -1) == "swug ($version) "* ]] || fail "changelog has no $version entry"
grep -q "^## $version\b" "$src/CHANGELOG.md" || fail "CHANGELOG.md has no $version heading"
# The installed schema is the one the verifier tests check every report against.
cmp -s "$work/root/usr/share/swug/swug-verify.schema.json" "$src/share/swug-verify.schema.json" ||
    fail "the installed schema is not share/swug-verify.schema.json"
grep -qx "License: Expat" "$doc/copyright" || fail "copyright file has no license"
if command -v lintian >/dev/null; then
    # The placeholder maintainer address is the packager's to replace.
    tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep '^[EW]:' | grep -v ' bogus-mail-host' || true)
    [ -z "$tags" ] || fail "lintian: $tags"
fi

for page in swug-gen swug-verify; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1 renders with warnings: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man1/$page.1.gz" 2>/dev/null)
    for section in SYNOPSIS "EXIT STATUS" "IMAGE LAYOUT"; do
        grep -q "^$section" <<<"$text" || fail "$page.1 has no $section"
    done
done

listing=$(tar -tzf "$tgz")
grep -q "/bin/swug-gen$" <<<"$listing" || fail "tarball has no bin/swug-gen"
grep -q "/share/man/man1/swug-verify.1.gz$" <<<"$listing" || fail "tarball has no manual page"
[ -f "$work/root/usr/share/lintian/overrides/swug" ] && ! grep -q /lintian/ <<<"$listing" ||
    fail "lintian overrides not in the .deb alone"
echo "package ok: $(basename "$deb"), $(basename "$tgz")"
