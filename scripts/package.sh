#!/usr/bin/env bash
# Makes what users download, side by side in dist/: the Debian package
# tarvenox_VERSION_ARCH.deb (the program, its manual page and its bash completion, made with
# cpack from a release build), the Windows zip tarvenox-VERSION-windows.zip and the page's
# folder tarvenox-VERSION-web. With arguments, only those of deb, windows and web: the
# Windows and web builds take minutes, "scripts/package.sh deb" only the package.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist="$root/dist"
version="$(sed -n 's/^project(tarvenox VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"

kinds=("$@")
if [ ${#kinds[@]} -eq 0 ]; then kinds=(deb windows web); fi
for kind in "${kinds[@]}"; do
  case "$kind" in
    deb | windows | web) ;;
    *) echo "usage: scripts/package.sh [deb] [windows] [web]" >&2; exit 2 ;;
  esac
done
mkdir -p "$dist"

for kind in "${kinds[@]}"; do
  case "$kind" in
    deb)
      "$root/scripts/setup.sh" deb
      out="$root/build-release"
      # cpack installs without building everything first (which would build the tests too):
      # the program and the compressed manual page are all the package holds.
      cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
      cmake --build "$out" -j"$(nproc)" --target tarvenox man_page
      rm -rf "$out/package"
      (cd "$out" && cpack -G DEB -B "$out/package" >/dev/null)
      rm -f "$dist"/tarvenox_*.deb
      cp "$out"/package/tarvenox_*.deb "$dist/"
      ;;
    windows)
      "$root/scripts/build-windows.sh"
      rm -f "$dist"/tarvenox-*-windows.zip
      cp "$root/build-windows/tarvenox-$version-windows.zip" "$dist/"
      ;;
    web)
      "$root/scripts/build-web.sh"
      rm -rf "$dist"/tarvenox-*-web
      cp -r "$root/build-web/site" "$dist/tarvenox-$version-web"
      ;;
  esac
done
echo "In $dist:"
ls -1 "$dist"
