#!/usr/bin/env bash
# The README's CI examples as they stand, as their runners run them (the GitHub
# step but apt-get under its shell: key's shell, the rule under make): passing
# with swug-gen as it is, failing with no image left when swug-gen changes an
# input byte after writing the image, or fails beside an older image.
#   ci_examples.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") readme=$(realpath "$2")/README.md work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
block() { sed -n "/^\`\`\`$1\$/,/^\`\`\`\$/{/^\`\`\`/!p}" "$readme"; }
block yaml | sed -n '/^ *run: |/,${/^ *run: |/!s/^    //p}' | grep -v apt-get >"$work/step.sh"
step="bash -e step.sh" # as GitHub runs a step on Linux, unless shell: bash asks for:
[ "$(block yaml | sed -n 's/^ *shell: *//p')" != bash ] || step="bash --noprofile --norc -eo pipefail step.sh"
block make >"$work/Makefile"
mkdir "$work/bin" && ln -s "$build/swug-verify" "$work/bin/" && cat >"$work/bin/swug-gen" <<EOF && chmod +x "$work/bin/swug-gen"
#!/bin/sh
[ \$SHIM != fail ] && "$build/swug-gen" "\$@" || exit 1
[ \$SHIM != flip ] || printf '\\001' | dd of="\$1" bs=1 seek=100 conv=notrunc 2>/dev/null
EOF
printf 'abc\n%.0s' {1..1250} >"$work/app.bin" && "$build/swug-gen" "$work/app.bin" "$work/old.img"
for run in "$step" "make -f Makefile"; do
    for shim in ok flip fail; do
        rm -rf "$work/build" && mkdir "$work/build" && cp "$work/app.bin" "$work/build/"
        [ $shim = ok ] || { cp "$work/old.img" "$work/build/app_upg.bin" && touch -d '1 hour ago' "$work/build/app_upg.bin"; }
        status=0 && (cd "$work" && PATH=$work/bin:$PATH SHIM=$shim $run) >"$work/log" 2>&1 || status=$?
        { [ $shim = ok ] && [ $status = 0 ] && "$build/swug-verify" -q "$work/build/app_upg.bin" "$work/app.bin"; } ||
            { [ $shim != ok ] && [ $status != 0 ] && [ ! -e "$work/build/app_upg.bin" ]; } ||
            { echo "FAIL: $run, swug-gen $shim: status $status, $(ls -m "$work/build"): $(cat "$work/log")" >&2; exit 1; }
    done
done
