# Fetches Debian source packages for the builds of third-party code the project makes for
# mingw-w64 (bench/build_ljt_win32.sh, scripts/build-png-win32.sh). Sourced, not run.
#
# The machine's apt sources are left alone: deb-src entries are derived from its deb entries
# (same mirrors, suites and keys) into a private apt state under a directory of the caller's.
#
#   debian_source_init APT_DIR       the private state; runs apt-get update there (its problems
#                                    are reported, not fatal: a cached list may still serve)
#   debian_source_fetch PACKAGE WANTED-VERSION SRC_DIR
#                                    downloads PACKAGE (WANTED-VERSION first when given, then the
#                                    newest, then the release's own) into SRC_DIR and unpacks it
#                                    as SRC_DIR/PACKAGE; prints the version fetched; status 1
#                                    (the logs in APT_DIR and SRC_DIR) when it cannot
debian_source_init() {
  debian_source_apt_dir=$1
  local f
  mkdir -p "$debian_source_apt_dir/sources.list.d" "$debian_source_apt_dir/lists/partial" \
    "$debian_source_apt_dir/cache/archives/partial"
  rm -f "$debian_source_apt_dir"/sources.list.d/*
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" >"$debian_source_apt_dir/sources.list.d/$(basename "$f")"
  done
  touch "$debian_source_apt_dir/sources.list.d/machine.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f" \
      >>"$debian_source_apt_dir/sources.list.d/machine.list"
  done
  debian_source_apt_options=(
    -o "Dir::Etc::SourceList=$debian_source_apt_dir/sources.list.d/machine.list"
    -o "Dir::Etc::SourceParts=$debian_source_apt_dir/sources.list.d"
    -o "Dir::State::Lists=$debian_source_apt_dir/lists"
    -o "Dir::Cache=$debian_source_apt_dir/cache"
    -o "APT::Sandbox::User=$(id -un)"
  )
  if [ "$(id -u)" != 0 ]; then
    debian_source_apt_options+=(-o Debug::NoLocking=1)
  fi
  apt-get "${debian_source_apt_options[@]}" -qq update >"$debian_source_apt_dir/update.log" 2>&1 ||
    echo "apt-get update reported problems (see $debian_source_apt_dir/update.log)" >&2
}

debian_source_fetch() {
  local package=$1 wanted=$2 src=$3 codename candidate dsc
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  mkdir -p "$src"
  # The release's own version last: a mirror may lack the security suite's sources.
  for candidate in ${wanted:+"$package=$wanted"} "$package" ${codename:+"$package/$codename"}; do
    if (cd "$src" && apt-get "${debian_source_apt_options[@]}" -qq source --download-only \
      "$candidate") >"$debian_source_apt_dir/source-$package.log" 2>&1; then
      dsc=$(ls "$src/${package}_"*.dsc | head -1)
      rm -rf "${src:?}/$package"
      dpkg-source -x "$dsc" "$src/$package" >"$src/unpack-$package.log" 2>&1 || return 1
      sed -n 's/^Version: //p' "$dsc"
      return 0
    fi
  done
  return 1
}
