#!/usr/bin/env bash
# Sets up, builds everything and runs every test. With --sanitize (and always on CI) the
# tests run a second time in a build with the address and undefined-behaviour checkers. On
# CI every fuzz target then runs for a minute on its corpus (FUZZ_SECONDS to change that),
# so that a reader that regresses is caught on every change.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sanitize=0
if [ "${1:-}" = "--sanitize" ] || [ "${CI:-}" = "true" ]; then sanitize=1; fi

"$root/scripts/setup.sh"
jobs="$(nproc)"

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build" -j"$jobs"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

if [ "$sanitize" = 1 ]; then
  cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTARVENOX_SANITIZE=ON >/dev/null
  cmake --build "$root/build-asan" -j"$jobs"
  (cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs")
fi

if [ "${CI:-}" = "true" ]; then
  "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
fi
