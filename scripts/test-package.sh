#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh deb), installs it with apt-get as a user
# would and checks what it put in place: the program converts, man finds its page, bash
# loads its completion. Then removes it and checks that nothing of it is left. Installs into
# /usr, so it needs root (or sudo), and refuses to run where tarvenox is installed already.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "test-package.sh: $*" >&2
  exit 1
}
installed() {
  dpkg-query -W -f='${Status}' tarvenox 2>/dev/null | grep -q "install ok installed"
}

if installed; then fail "tarvenox is installed already; remove it first"; fi
"$root/scripts/package.sh" deb
debs=("$root"/dist/tarvenox_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "not one package in dist/: ${debs[*]}"
deb="${debs[0]}"

fields="$(dpkg-deb -f "$deb" Package Section Maintainer Depends)"
echo "$fields"
grep -qx "Section: sound" <<<"$fields" || fail "section is not sound"
# The program links to libvorbisfile alone, whose package brings libvorbis and libogg.
grep -q "^Depends:.*libvorbisfile" <<<"$fields" || fail "no dependency on libvorbisfile"

tmp="$(mktemp -d)"
# A failed check leaves no package behind.
cleanup() {
  if installed; then $SUDO apt-get remove -y tarvenox >/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
$SUDO apt-get install -y "$deb"

[ "$(command -v tarvenox)" = /usr/bin/tarvenox ] || fail "tarvenox is not /usr/bin/tarvenox"
/usr/bin/tarvenox --version
mkdir "$tmp/out"
/usr/bin/tarvenox -t 6 -o "$tmp/out" "$root/examples/demo.qxprj"
[ -s "$tmp/out/demo.qxprj" ] || fail "the installed program wrote no demo.qxprj"

page="$(man -w tarvenox)" || fail "man finds no page (does dpkg here leave out /usr/share/man?)"
[ "$page" = /usr/share/man/man1/tarvenox.1.gz ] || fail "manual page at $page"
gzip -t "$page"

completion=/usr/share/bash-completion/completions/tarvenox
[ -f "$completion" ] || fail "no $completion"
registered="$(bash -c "source $completion && complete -p tarvenox")"
[ "$registered" = "complete -F _tarvenox tarvenox" ] || fail "completion not loaded: $registered"

$SUDO apt-get remove -y tarvenox
for path in /usr/bin/tarvenox "$page" "$completion"; do
  [ ! -e "$path" ] || fail "$path is left after removing the package"
done
echo "test-package.sh: the package installs, works and removes cleanly"
