#!/usr/bin/env bash
# Runs the tests of the Windows program under wine: every test_* function of the
# tests/wine/*_test.sh files, each in a scratch folder of its own, and closes with the
# count of passed and failed tests.
#   tests/wine/run.sh TARVENOX.EXE LINUX_TARVENOX SAMPLE_SONG_MAKER [TEST...]
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ $# -lt 3 ]; then
  echo "usage: $0 TARVENOX.EXE LINUX_TARVENOX SAMPLE_SONG_MAKER [TEST...]" >&2
  exit 2
fi
EXE="$(realpath "$1")"
LINUX_EXE="$(realpath "$2")"
sample_maker="$(realpath "$3")"
shift 3

# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
for file in "$here"/*_test.sh; do
  # shellcheck disable=SC1090
  source "$file"
done

# One wine prefix for every test, kept beside the .exe: made once (that takes a while),
# without the .NET and browser parts, which would be fetched from the network.
export WINEPREFIX="${WINEPREFIX:-$(dirname "$EXE")/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the wine prefix $WINEPREFIX"
  "$WINE" wineboot --init >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
fi

scratch="$(mktemp -d)"
trap '"$WINESERVER" -k 2>/dev/null; rm -rf "$scratch"' EXIT
SAMPLE_SONG="$scratch/sample.qxprj"
"$sample_maker" "$SOURCE_DIR/examples/demo.qxprj" "$SAMPLE_SONG" || exit 1

tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
  mapfile -t tests < <(declare -F | awk '$3 ~ /^test_/ { print $3 }')
fi
passed=0
failed=0
for t in "${tests[@]}"; do
  WORK="$scratch/$t"
  mkdir -p "$WORK"
  start=$SECONDS
  (
    set -e
    trap close_terminal EXIT
    "$t"
  ) >"$WORK/log" 2>&1
  rc=$?
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "passed  $t ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "FAILED  $t ($((SECONDS - start)) s)"
    sed -e 's/^/    /' "$WORK/log"
  fi
done
echo "wine: $passed passed, $failed failed"
[ $failed -eq 0 ]
