#!/usr/bin/env bash
# Install those of the Debian packages named on the command line that are
# not installed yet. Needs root (or sudo); does nothing when all are there.
# Another install holding the package lock (a second test script, unattended
# upgrades) is waited for, up to five minutes, rather than failed on. apt
# waits for the dpkg lock itself; the lock of the package lists it does not
# wait for, so an update that fails is tried again.
set -euo pipefail

missing=()
for pkg in "$@"; do
    if [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "installing: ${missing[*]}"
lock=(-o DPkg::Lock::Timeout=300)
for try in 1 2 3 4 5 6 7 8 9 10; do
    $sudo apt-get "${lock[@]}" update -qq && break
    [ $try = 10 ] && exit 1
    sleep 30
done
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null
