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
