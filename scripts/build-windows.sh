#!/usr/bin/env bash
# Build the Windows executables build-win/swug-gen.exe and swug-verify.exe
# with the MinGW-w64 cross compiler (the windows preset), pack them into the
# release .zip, and install Wine, so that the Wine tests of the main test
# suite (scripts/test.sh) run them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++-mingw-w64-x86-64 wine64 wine
cmake --preset windows >/dev/null
cmake --build --preset windows

# It must run on its own: nothing but DLLs that every Windows has.
for exe in swug-gen.exe swug-verify.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "build-win/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "build-win/$exe imports:" $dlls
    for dll in $dlls; do
        case "${dll,,}" in
            kernel32.dll | msvcrt.dll | ucrtbase.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
            *)
                echo "$exe needs $dll, which is not part of Windows: link it statically" >&2
                exit 1
                ;;
        esac
    done
done

(cd build-win && cpack -G ZIP >/dev/null)
ls build-win/packages/*.zip
