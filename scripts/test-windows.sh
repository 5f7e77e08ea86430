#!/usr/bin/env bash
# Build the Windows executable build-win/swug-gen.exe with the MinGW-w64
# cross compiler (the windows preset) and install Wine, so that the Wine
# tests of the main test suite (scripts/test.sh) run it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++-mingw-w64-x86-64 wine64 wine
cmake --preset windows >/dev/null
cmake --build --preset windows

# It must run on its own: nothing but DLLs that every Windows has.
dlls=$(x86_64-w64-mingw32-objdump -p build-win/swug-gen.exe | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "build-win/swug-gen.exe imports:" $dlls
for dll in $dlls; do
    case "${dll,,}" in
        kernel32.dll | msvcrt.dll | ucrtbase.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
        *)
            echo "swug-gen.exe needs $dll, which is not part of Windows: link it statically" >&2
            exit 1
            ;;
    esac
done
