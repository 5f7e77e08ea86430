#!/usr/bin/env bash
# The README's CI examples as they stand, run as their runners run them: the
# GitHub Actions step's lines under the shell its shell: key gives (the
# apt-get line left out), the Makefile rule under make. With the tools as
# they are each must pass and leave a valid image; with a swug-gen that
# changes one byte of its input after writing the image, or one that fails
# beside an older image, each must fail and leave no image.
#   ci_examples.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") readme=$(realpath "$2")/README.md
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The README's fenced block of language $1.
block() { sed -n "/^\`\`\`$1\$/,/^\`\`\`\$/{/^\`\`\`/!p}" "$readme"; }
yaml=$(block yaml)
sed -n '/^ *run: |/,$p' <<<"$yaml" | sed '1d; s/^    //' | grep -v apt-get >"$work/step.sh"
case $(sed -n 's/^ *shell: *//p' <<<"$yaml") in # as GitHub runs a step on Linux
    bash) step=(bash --noprofile --norc -eo pipefail "$work/step.sh") ;;
    "") step=(bash -e "$work/step.sh") ;;
    *) fail "a shell the test does not know: $yaml" ;;
esac
block make >"$work/Makefile"
rule=(make -f "$work/Makefile")

mkdir "$work/bin"
cat >"$work/bin/swug-gen" <<EOF
#!/bin/sh
[ "\$SHIM" = fail ] && exit 1
"$build/swug-gen" "\$@" || exit
[ "\$SHIM" != flip ] || printf '\\001' | dd of="\$1" bs=1 seek=100 conv=notrunc 2>/dev/null
EOF
chmod +x "$work/bin/swug-gen" && ln -s "$build/swug-verify" "$work/bin/"
printf 'abc\n%.0s' {1..1250} >"$work/app.bin"
"$build/swug-gen" "$work/app.bin" "$work/old.img"

for example in step rule; do
    for shim in ok flip fail; do
        dir=$work/$example-$shim && mkdir -p "$dir/build" && cp "$work/app.bin" "$dir/build/"
        [ $shim = ok ] || { cp "$work/old.img" "$dir/build/app_upg.bin" && touch -d '-1 hour' "$dir/build/app_upg.bin"; }
        cmd=("${rule[@]}") && [ $example = rule ] || cmd=("${step[@]}")
        status=0 && (cd "$dir" && PATH=$work/bin:$PATH SHIM=$shim "${cmd[@]}") >"$dir.log" 2>&1 || status=$?
        if [ $shim = ok ]; then
            [ $status = 0 ] && "$build/swug-verify" -q "$dir/build/app_upg.bin" "$dir/build/app.bin" ||
                fail "$example: status $status, or no valid image: $(cat "$dir.log")"
        elif [ $status = 0 ] || [ -e "$dir/build/app_upg.bin" ]; then
            fail "$example with a swug-gen that ${shim}s: status $status, image left: $(ls "$dir/build")"
        fi
    done
done
echo "CI examples ok: the step under ${step[*]:0:4}, the rule under make"
