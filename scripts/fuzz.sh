#!/usr/bin/env bash
# Builds every fuzz target in fuzz/ with clang's libFuzzer, AddressSanitizer and UBSan, and
# runs each in turn for SECONDS (default 300) on its corpus in fuzz/corpus/<target>/. New
# inputs go to build-fuzz/corpus/<target>/; crashing, leaking, slow or memory-hungry inputs
# to build-fuzz/artifacts/, and the run then fails. The figures of each run are in
# build-fuzz/fuzz-stats.txt.
#
#   scripts/fuzz.sh [SECONDS]   fuzz every target (FUZZ_TARGETS="fuzz_ogg ..." for some)
#   scripts/fuzz.sh --merge     remake fuzz/corpus/ from the seeds (examples and the tests'
#                               builders) and what the runs found, keeping the fewest inputs
#                               that cover the same code
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mode=run
seconds=300
case "${1:-}" in
  --merge) mode=merge ;;
  "") ;;
  *) seconds="$1" ;;
esac

"$root/scripts/setup.sh"
# libFuzzer comes with clang's runtime libraries.
need=()
for p in clang libclang-rt-14-dev; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    need+=("$p")
  fi
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" ||
    { $SUDO apt-get update && $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y \
      --no-install-recommends "${need[@]}"; }
fi

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVENOX_FUZZ=ON >/dev/null
targets="${FUZZ_TARGETS:-$(cd "$root/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//' | tr '\n' ' ')}"
# shellcheck disable=SC2086
cmake --build "$build" -j"${FUZZ_BUILD_JOBS:-2}" --target $targets make_seeds

# Limits every input is held to: no input of this size may take longer or more memory. The
# longest conversion such an input can legitimately ask for, 50 qxNoise woices rendered at
# their longest (96 MB of PCM), takes some 20 s of processor time under the sanitizers.
limits=(-max_len=32768 -timeout=60 -rss_limit_mb=2048 -malloc_limit_mb=512
        -dict="$root/fuzz/tarvenox.dict")

if [ "$mode" = merge ]; then
  rm -rf "$build/seeds"
  "$build/make_seeds" "$root/examples" "$build/seeds"
  for t in $targets; do
    fresh="$build/merged/$t"
    rm -rf "$fresh"
    mkdir -p "$fresh" "$root/fuzz/corpus/$t" "$build/corpus/$t" "$build/seeds/$t"
    nice -n 10 "$build/$t" -merge=1 "${limits[@]}" "$fresh" "$root/fuzz/corpus/$t" \
      "$build/seeds/$t" "$build/corpus/$t" 2>"$build/merge-$t.log" ||
      { tail -20 "$build/merge-$t.log"; exit 1; }
    rm -rf "$root/fuzz/corpus/$t"
    mv "$fresh" "$root/fuzz/corpus/$t"
    echo "$t: $(ls "$root/fuzz/corpus/$t" | wc -l) inputs, $(du -sk "$root/fuzz/corpus/$t" | cut -f1) KB"
  done
  exit 0
fi

mkdir -p "$build/artifacts"
stats="$build/fuzz-stats.txt"
: >"$stats"
failed=()
for t in $targets; do
  mkdir -p "$build/corpus/$t" "$root/fuzz/corpus/$t"
  log="$build/fuzz-$t.log"
  status=0
  start=$(date +%s)
  # One process, niced: the machine is shared.
  nice -n 10 "$build/$t" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "$root/fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  line="$t: $(($(date +%s) - start))s, ${execs:-?} executions, exit $status"
  echo "$line" | tee -a "$stats"
  if [ "$status" -ne 0 ]; then
    failed+=("$t")
    grep -E "ERROR|invariant|SUMMARY|Test unit written" "$log" | head -20 || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzzing clean: $(echo $targets | wc -w) targets"
