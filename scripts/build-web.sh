#!/usr/bin/env bash
# Builds the converter for the browser with Debian's emscripten: build-web/site holds the
# page, its scripts, the .wasm, the manifest and the service worker that keeps them for
# offline use: static files that any web server can serve. libogg and libvorbis are
# compiled with emcc from Debian's own source packages of the versions the Linux program
# links to, and kept in build-web/deps for later runs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build-web"
deps="$out/deps"
prefix="$deps/prefix"
jobs=2

"$root/scripts/setup.sh" web

# Debian's emscripten finds its acorn module only here.
export NODE_PATH=/usr/share/nodejs
# shellcheck source=scripts/debian-sources.sh
. "$root/scripts/debian-sources.sh"

# As the Linux program's libvorbis is built: -O2 -ffast-math. (Its samples still differ here
# and there by one step: see the README.) configure runs its test programs under Node, whose
# loader here cannot fetch a separate .wasm: the test programs carry theirs inside.
build_ogg_vorbis "$deps" "$jobs" "the browser" emconfigure emmake "-O2 -ffast-math" \
  LDFLAGS="-sSINGLE_FILE=1"

emcmake cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DTARVENOX_WEB_DEPS="$prefix" \
  >/dev/null
cmake --build "$out" -j"$jobs" --target tarvenox_web
rm -rf "$out/site"
mkdir -p "$out/site"
cp "$root"/web/index.html "$root"/web/page.js "$root"/web/worker.js "$root"/web/style.css \
  "$root"/web/manifest.webmanifest "$root"/web/icon.svg "$root"/web/sw.js \
  "$out/tarvenox_web.js" "$out/tarvenox_web.wasm" "$out/site/"
# The service worker's cache is named after the files it keeps: a build that changes any of
# them is a new worker, which replaces the cache installed pages hold.
version="$(cat "$out"/site/* | sha256sum | cut -c1-16)"
sed -i "s/\"BUILD\"/\"$version\"/" "$out/site/sw.js"
echo "Built $out/site"
