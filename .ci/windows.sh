#!/usr/bin/env bash
# The Windows build: keybytes.exe and its tests cross-compiled with MinGW-w64
# into static .exe files, the tests run under Wine, each on a pseudo-terminal
# of its own (Wine gives a program a console only on a terminal), with a
# throwaway Wine prefix under build/windows.
set -euo pipefail
cd "$(dirname "$0")/.."
export CI=${CI:-true}

# Installed means installed: a removed package whose configuration remains
# is still known to dpkg -s.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'; }
need=()
for pkg in cmake ninja-build g++ libgtest-dev googletest g++-mingw-w64-x86-64 wine64; do
  installed "$pkg" || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# Wine's server outlives the last Wine program by a few seconds; wait for it
# to end, so the run leaves nothing behind.
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
trap 'WINEPREFIX=$PWD/build/windows/wineprefix timeout 30 "$wineserver" -w || true' EXIT

cmake --workflow --preset windows
