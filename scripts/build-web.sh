#!/usr/bin/env bash
# Builds the converter for the browser with Debian's emscripten: build-web/site holds the
# page, its scripts and the .wasm, static files that any web server can serve. libogg and
# libvorbis are compiled with emcc from Debian's own source packages of the versions the
# Linux program links to, and kept in build-web/deps for later runs.
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

# configure runs its test programs under Node, whose loader here cannot fetch a separate
# .wasm: the test programs carry theirs inside.
build_library() {
  local name="$1" flags="$2"
  shift 2
  local src
  src="$(find "$deps/src" -maxdepth 1 -type d -name "$name-*" | head -n 1)"
  rm -rf "$deps/build/$name"
  mkdir -p "$deps/build/$name"
  (cd "$deps/build/$name" &&
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" emconfigure "$src/configure" \
      --prefix="$prefix" --disable-shared --enable-static "$@" \
      CFLAGS="$flags" LDFLAGS="-sSINGLE_FILE=1" >/dev/null &&
    emmake make -j"$jobs" >/dev/null && emmake make install >/dev/null)
}

ogg="$(dpkg-query -W -f='${source:Version}' libogg-dev)"
vorbis="$(dpkg-query -W -f='${source:Version}' libvorbis-dev)"
built="libogg $ogg, libvorbis $vorbis"
if [ "$(cat "$prefix/built" 2>/dev/null)" != "$built" ]; then
  echo "Building $built for the browser from Debian's sources"
  rm -rf "$prefix" "$deps/build"
  fetch_sources "$deps" "libogg=$ogg" "libvorbis=$vorbis"
  build_library libogg "-O2" --disable-maintainer-mode
  # As the Linux program's libvorbis is built: -O2 -ffast-math. (Its samples still differ
  # here and there by one step: see the README.)
  build_library libvorbis "-O2 -ffast-math" --disable-docs --disable-examples --disable-oggtest
  echo "$built" >"$prefix/built"
fi

emcmake cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DTARVENOX_WEB_DEPS="$prefix" \
  >/dev/null
cmake --build "$out" -j"$jobs" --target tarvenox_web
rm -rf "$out/site"
mkdir -p "$out/site"
cp "$root"/web/index.html "$root"/web/page.js "$root"/web/worker.js "$root"/web/style.css \
  "$out/tarvenox_web.js" "$out/tarvenox_web.wasm" "$out/site/"
echo "Built $out/site"
