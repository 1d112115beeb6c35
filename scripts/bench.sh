#!/usr/bin/env bash
# Builds a Release tarvenox with the benchmarks, makes their inputs in a scratch folder and
# prints one table: each case measured in this run beside the baseline it is judged against.
# Google Benchmark's own reports go to standard error; the table goes to standard output.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"

"$root/scripts/setup.sh"
# Two jobs at most: the machine is shared.
jobs="$(nproc)"
if [ "$jobs" -gt 2 ]; then jobs=2; fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVENOX_BENCH=ON >/dev/null
cmake --build "$build" --target tarvenox convert_bench render_bench -j"$jobs" >&2

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tarvenox_bench.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

"$build/render_bench" --benchmark_filter='^BM_NoiseRenderLargest$' \
  --benchmark_out="$scratch/render.json" --benchmark_out_format=json >&2
mkdir "$scratch/convert"
"$build/convert_bench" --scratch="$scratch/convert" --rows="$scratch/rows.tsv" >&2

# The render has no baseline: its row gives the processor time of one render (steadier than
# the wall time on a shared machine) and the frames a second that makes.
awk -F': ' '
  /"cpu_time"/ { gsub(/[ ,]/, "", $2); time = $2 }
  /"time_unit"/ { gsub(/[ ,"]/, "", $2); unit = $2 }
  /"frames_per_second"/ { gsub(/[ ,]/, "", $2); fps = $2 }
  END {
    if (fps == "") exit 1
    printf "largest qxNoise design rendered (4 units of 3 oscillators, 480000 frames)\t"
    printf "%.1f %s of CPU a render, %.1f M frames/s\t-\t-\t-\t-\t-\n", time, unit, fps / 1e6
  }' "$scratch/render.json" >>"$scratch/rows.tsv"

# One Markdown table, its columns padded so that it reads in a terminal as well.
awk -F'\t' '
  BEGIN {
    n = split("case|time|baseline|ratio|goal|peak less own / input (limit)|met", head, "|")
    for (c = 1; c <= n; ++c) { cell[0, c] = head[c]; width[c] = length(head[c]) }
  }
  {
    rows = NR
    for (c = 1; c <= n; ++c) {
      cell[NR, c] = $c
      if (length($c) > width[c]) width[c] = length($c)
    }
  }
  function line(r,   c, s) {
    s = "|"
    for (c = 1; c <= n; ++c) s = s sprintf(" %-*s |", width[c], cell[r, c])
    print s
  }
  END {
    line(0)
    s = "|"
    for (c = 1; c <= n; ++c) { d = ""; for (i = 0; i < width[c] + 2; ++i) d = d "-"; s = s d "|" }
    print s
    for (r = 1; r <= rows; ++r) line(r)
  }' "$scratch/rows.tsv"

cpu="$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
memory="$(awk '/^MemTotal/ { printf "%.0f GB", $2 / 1024 / 1024 }' /proc/meminfo)"
echo
echo "Measured on $(date +%Y-%m-%d): $(nproc) cores, $cpu, $memory of memory."
