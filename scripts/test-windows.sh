#!/usr/bin/env bash
# Cross-builds the Windows program and tests it under wine against the Linux program (built
# here too): the dialogue in a terminal and batch mode, outputs compared byte for byte.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" windows wine
"$root/scripts/build-windows.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target tarvenox tarvenox_sample_song
exec bash "$root/tests/wine/run.sh" "$root/build-windows/tarvenox.exe" "$root/build/tarvenox" \
  "$root/build/tarvenox_sample_song" "$@"
