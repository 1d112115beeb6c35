#!/usr/bin/env bash
# Cross-builds the Windows program with Debian's mingw-w64: build-windows/tarvenox.exe, a
# windowed program linked statically, and build-windows/tarvenox-VERSION-windows.zip with
# the .exe and a short text on using it. libogg and libvorbis are built for it from Debian's
# own source packages of the versions the Linux program links to, fetched with apt from the
# archive this machine installs from, and kept in build-windows/deps for later runs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build-windows"
deps="$out/deps"
prefix="$deps/prefix"
jobs="$(nproc)"
triplet=x86_64-w64-mingw32

"$root/scripts/setup.sh" windows

# shellcheck source=scripts/debian-sources.sh
. "$root/scripts/debian-sources.sh"

# The very versions the Linux program is built with, so that both decode alike. Debian
# builds libvorbis with its configure's flags for x86 Linux followed by its own -O2: in
# effect -O2 -ffast-math (-mno-ieee-fp). The float decoder gives other samples, by one here
# and there, with other flags, and the outputs would no longer be those of the Linux program.
build_ogg_vorbis "$deps" "$jobs" Windows env env "-O2 -ffast-math -mno-ieee-fp" \
  --host="$triplet" CC="$triplet-gcc-posix" AR="$triplet-ar" RANLIB="$triplet-ranlib"

cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTARVENOX_WINDOWS_DEPS="$prefix" >/dev/null
cmake --build "$out" -j"$jobs" --target tarvenox windows_zip
echo "Built $out/tarvenox.exe and $(ls "$out"/tarvenox-*-windows.zip)"
