# Sourced by the build scripts that compile libogg and libvorbis themselves: fetches
# Debian's own source packages with apt, through lists of their own, so that the machine's
# sources and package lists are neither read for this nor changed.

# The archive's deb-src entries for the machine's Debian sources, written into `dir`.
apt_sources() {
  local dir="$1"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  : >"$dir/sources.list"
  local list
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    awk '$1 == "deb" && /debian/ { $1 = "deb-src"; print }' "$list" >>"$dir/sources.list"
  done
  : >"$dir/debian.sources"
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    # One entry per paragraph; only Debian's, each turned into its source entry.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /URIs:[^\n]*debian/ && /Types:[^\n]*deb/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$list" >>"$dir/debian.sources"
  done
  mkdir -p "$dir/sources.list.d"
  mv "$dir/debian.sources" "$dir/sources.list.d/"
}

# fetch_sources DEPS PACKAGE=VERSION...: unpacks the source packages into DEPS/src.
fetch_sources() {
  local deps="$1"
  shift
  local apt_dir="$deps/apt"
  rm -rf "$apt_dir" "$deps/src"
  apt_sources "$apt_dir"
  local options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
                 -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                 -o "Dir::State::Lists=$apt_dir/lists"
                 -o "Dir::Cache=$apt_dir/cache"
                 -o "APT::Sandbox::User=root")
  apt-get "${options[@]}" update >/dev/null
  mkdir -p "$deps/src"
  (cd "$deps/src" && apt-get "${options[@]}" source "$@" >/dev/null)
  rm -rf "$apt_dir"
}

# build_ogg_vorbis DEPS JOBS FOR CONFIGURE_RUNNER MAKE_RUNNER VORBIS_CFLAGS [ARG...]: builds
# libogg and libvorbis, the versions the Linux program links to, from Debian's sources into
# DEPS/prefix, once per version. The runners run configure and make (`env` for none); the
# ARGs go to both configure scripts (host, compilers, linker flags). FOR names the build in
# the line said when it starts.
build_ogg_vorbis() {
  local deps="$1" jobs="$2" for="$3" configure_runner="$4" make_runner="$5"
  local vorbis_flags="$6"
  shift 6
  local -a common=("$@")
  local prefix="$deps/prefix"
  local ogg vorbis built
  ogg="$(dpkg-query -W -f='${source:Version}' libogg-dev)"
  vorbis="$(dpkg-query -W -f='${source:Version}' libvorbis-dev)"
  built="libogg $ogg, libvorbis $vorbis"
  [ "$(cat "$prefix/built" 2>/dev/null)" != "$built" ] || return 0
  echo "Building $built for $for from Debian's sources"
  rm -rf "$prefix" "$deps/build"
  fetch_sources "$deps" "libogg=$ogg" "libvorbis=$vorbis"
  build_source_library libogg "-O2" --disable-maintainer-mode
  build_source_library libvorbis "$vorbis_flags" --disable-docs --disable-examples \
    --disable-oggtest
  echo "$built" >"$prefix/built"
}

# build_source_library NAME CFLAGS [ARG...]: one library for build_ogg_vorbis, whose
# variables it uses.
build_source_library() {
  local name="$1" flags="$2"
  shift 2
  local src
  src="$(find "$deps/src" -maxdepth 1 -type d -name "$name-*" | head -n 1)"
  mkdir -p "$deps/build/$name"
  (cd "$deps/build/$name" &&
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" "$configure_runner" "$src/configure" \
      --prefix="$prefix" --disable-shared --enable-static "${common[@]}" "$@" \
      CFLAGS="$flags" >/dev/null &&
    "$make_runner" make -j"$jobs" >/dev/null && "$make_runner" make install >/dev/null)
}
