#!/usr/bin/env bash
# Pack the build, install the .deb into a scratch root with dpkg -x, and run
# the installed tools on the bundled sample as a user would.
#   package_linux.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 src=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G "DEB;TGZ" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
tgz=$(ls "$work"/pkg/*.tar.gz)

depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6(\ \([^\)]*\))?$ ]] || fail "depends on more than libc: $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

dpkg -x "$deb" "$work/root"
bin=$work/root/usr/bin
man1=$work/root/usr/share/man/man1
"$bin/swug-gen" "$src/data/KOVRIN_SW.bin" "$work/image.bin" || fail "installed swug-gen"
"$bin/swug-verify" "$work/image.bin" "$src/data/KOVRIN_SW.bin" >/dev/null || fail "installed swug-verify"
[ "$("$bin/swug-verify" --version)" = "swug-verify $version" ] || fail "--version"
out=$("$bin/swug-gen" "$src/data/KOVRIN_SW.bin" </dev/null)
[ "$out" = $'Parameter Error [2]\nPress any key to exit!' ] || fail "one argument: $out"

for page in swug-gen swug-verify; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man1/$page.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1 renders with warnings: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man1/$page.1" 2>/dev/null)
    for section in SYNOPSIS "EXIT STATUS" "IMAGE LAYOUT"; do
        grep -q "^$section" <<<"$text" || fail "$page.1 has no $section"
    done
done

listing=$(tar -tzf "$tgz")
grep -q "/bin/swug-gen$" <<<"$listing" || fail "tarball has no bin/swug-gen"
grep -q "/share/man/man1/swug-verify.1$" <<<"$listing" || fail "tarball has no manual page"
echo "package ok: $(basename "$deb"), $(basename "$tgz")"
