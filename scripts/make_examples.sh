#!/usr/bin/env bash
# Remakes the example songs in examples/ from the example tune examples/demo.qxi with the
# tarvenox built in build-release (run scripts/run.sh once first). A test checks that the
# shipped files equal what the current program makes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe="${1:-$root/build-release/tarvenox}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# target number, then the example's name
while read -r target name; do
  mkdir "$tmp/$target"
  "$exe" -t "$target" -o "$tmp/$target" "$root/examples/demo.qxi" >/dev/null
  # The instrument file of choice 11 is demo.qxi itself: only its listing is kept.
  rm -f "$tmp/11/demo.qxi"
  for f in "$tmp/$target"/demo.*; do
    rm -f "$root/examples/$name.${f##*.}"
    cp "$f" "$root/examples/$name.${f##*.}"
  done
done <<'LIST'
1 demo_x1x_pcm
2 demo_x1x_voice
3 demo_x2x_mid
4 demo_x2x_new
5 demo_x3x
6 demo_x4x
7 demo_x5x_no_ogg
8 demo_x5x_old_noise
9 demo
11 demo_listing
LIST
