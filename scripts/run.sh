#!/usr/bin/env bash
# Sets up, builds a release tarvenox and runs it on FILE, or on the bundled example.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build-release" --target tarvenox -j"$(nproc)"
exe="$root/build-release/tarvenox"
if [ $# -ge 1 ]; then
  exec "$exe" "$@"
fi
example="$root/examples/demo.qxprj"
if [ -f "$example" ]; then
  exec "$exe" "$example"
fi
exec "$exe"
