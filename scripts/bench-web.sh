#!/usr/bin/env bash
# The page against the Linux program: builds the page (scripts/build-web.sh) and a Release
# program with the benchmarks into build-bench/ (as scripts/bench.sh does), makes the large
# songs of bench/convert_bench.cpp in a scratch folder, converts each in Debian's chromium
# and with the program, alternating run by run, and prints one table. RUNS (default 5) sets
# the timed runs of each case. Progress goes to standard error, the table to standard output.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
runs="${RUNS:-5}"

"$root/scripts/setup.sh" browser
"$root/scripts/build-web.sh" >&2
# Two jobs at most: the machine is shared.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVENOX_BENCH=ON >/dev/null
cmake --build "$build" --target tarvenox convert_bench -j2 >&2
"$root/scripts/web-node.sh"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tarvenox_web_bench.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
"$build/convert_bench" --make-inputs="$scratch"
node "$root/build-web/node/bench.mjs" "$root/build-web/site" "$build/tarvenox" "$scratch" "$runs"

cpu="$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
memory="$(awk '/^MemTotal/ { printf "%.0f GB", $2 / 1024 / 1024 }' /proc/meminfo)"
browser="$(/usr/bin/chromium --version 2>/dev/null || echo chromium)"
echo
echo "Measured on $(date +%Y-%m-%d): $(nproc) cores, $cpu, $memory of memory; $browser."
