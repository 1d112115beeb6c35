#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
# With "windows" also what the cross-build of the Windows program needs, with "wine" what
# its tests need, with "web" what the WebAssembly build needs, with "browser" what its
# tests need, with "deb" what the Debian package and its test need.
set -euo pipefail

# python3-mido, midicsv and sox read the MIDI and WAV files the tests make, implementations
# of those formats that no one here wrote.
packages=(cmake g++ make pkg-config libvorbis-dev libogg-dev libgtest-dev libcli11-dev libbenchmark-dev nlohmann-json3-dev
  python3-mido midicsv sox)
for group in "$@"; do
  case "$group" in
    # mingw-w64 with posix threads; dpkg-dev unpacks the source packages of libogg and
    # libvorbis.
    windows) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev xz-utils) ;;
    wine) packages+=(wine64 tmux) ;;
    # emscripten builds libogg and libvorbis from their Debian source packages too.
    web) packages+=(emscripten dpkg-dev xz-utils) ;;
    # playwright-core comes from npm (Node's own) and drives Debian's chromium.
    browser) packages+=(chromium) ;;
    # dpkg-dev's dpkg-shlibdeps, with file, works out the package's dependencies; man-db's
    # man finds the installed manual page.
    deb) packages+=(dpkg-dev file man-db) ;;
    *) echo "setup.sh: unknown group $group" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
