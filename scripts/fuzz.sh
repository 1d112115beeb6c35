#!/usr/bin/env bash
# Builds the fuzz target with clang's libFuzzer and runs it for SECONDS (default 300) on a
# corpus seeded from examples/. Crashing inputs are left in build-fuzz/artifacts/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-300}"
if ! command -v clang++ >/dev/null; then
  apt-get install -y --no-install-recommends clang
fi
cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVENOX_FUZZ=ON >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc)" --target fuzz_convert
corpus="$root/build-fuzz/corpus"
mkdir -p "$corpus" "$root/build-fuzz/artifacts"
# The first byte of an input picks the target.
for f in "$root"/examples/*; do
  for t in 1 2 5 7 9 11; do
    { printf "\\x$(printf %02x "$t")"; cat "$f"; } >"$corpus/$(basename "$f").$t"
  done
done
"$root/build-fuzz/fuzz_convert" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$seconds" -artifact_prefix="$root/build-fuzz/artifacts/" "$corpus"
