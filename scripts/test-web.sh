#!/usr/bin/env bash
# Builds the page (scripts/build-web.sh) and the Linux program, and tests the page in
# Debian's chromium, driven by playwright-core from npm: a song of each generation, one with
# Ogg Vorbis woices and an instrument file converted to several targets (the woices as WAV
# files among them, a download each), each download compared by name and byte for byte with
# what the Linux program writes; a damaged file; several files at once; the file picker
# opened from the keyboard; a tune, which targets 9 to 11 refuse; what each target would
# lose, as --info says; a conversion offline, from the service worker's cache.
# build-web/page.png shows the page after a conversion.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build-web"
"$root/scripts/setup.sh" browser
"$root/scripts/build-web.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$root/build" -j2 --target tarvenox tarvenox_sample_song

"$root/scripts/web-node.sh"
node_dir="$out/node"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarvenox-web.XXXXXX")"
trap 'rm -rf "$work"' EXIT
"$root/build/tarvenox_sample_song" "$root/examples/demo.qxprj" "$work/ogg_song.qxprj"
ex="$root/examples"
node "$node_dir/test.mjs" "$out/site" "$root/build/tarvenox" "$work" \
  "$ex/demo_x1x_pcm.qxprj" "$ex/demo_x2x_mid.qxprj" "$ex/demo_x3x.qxprj" "$ex/demo_x4x.qxprj" \
  "$ex/demo.qxprj" "$work/ogg_song.qxprj" "$ex/demo.qxi"
