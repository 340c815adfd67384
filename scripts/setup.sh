#!/usr/bin/env bash
# Prepares a Debian 12 machine for every build and test: the packages, then the libraries the
# Windows cross builds need, built with MinGW-w64 for x86_64 and for i686 into one prefix per
# architecture outside the repository.
# Safe to run again: what is already there is skipped, so a ready machine is done in a second.
#
#   VANTOREL_MINGW_PREFIX       where the x86_64 MinGW libraries go (default /opt/vantorel-mingw);
#                               the windows preset's toolchain file reads the same variable
#   VANTOREL_MINGW_I686_PREFIX  the same for i686 (default /opt/vantorel-mingw-i686, preset
#                               windows-x86)
set -euo pipefail

# Everything the builds and tests use. Later work adds to this one list.
PACKAGES=(
  cmake ninja-build g++ make pkg-config
  libpugixml-dev nlohmann-json3-dev googletest libgtest-dev zlib1g-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine64 xvfb xauth
  dpkg-dev
  fonts-liberation fontconfig libpango1.0-dev libcairo2-dev
  clang clang-format
  libcmark-dev imagemagick xdotool xdg-utils
  libzint-dev chromium zbar-tools
  libclang-rt-14-dev libbenchmark-dev
  libsqlite3-dev sqlite3 tcl
)

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="${VANTOREL_SETUP_WORK:-/var/tmp/vantorel-setup}"
START=$SECONDS

log() { printf '[setup] %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Does this machine run 32-bit x86 programs? A 91-byte i386 program that only exits 0. Some
# virtual machines run 64-bit programs only; there 32-bit Wine cannot start at all, and with
# wine32 installed Debian's `wine` command would pick the 32-bit loader for every program.
runs_i386() {
  local f rc=0
  f=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xc0\x40\x31\xdb\xcd\x80' >"$f"
  chmod +x "$f"
  "$f" 2>/dev/null || rc=$?
  rm -f "$f"
  return $rc
}

# ---- Debian packages ----
# The 32-bit Wine (windows-x86 tests) comes from Debian's i386 architecture, where the machine
# can run it.
need_update=
if runs_i386; then
  PACKAGES+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture (32-bit Wine)"
    as_root dpkg --add-architecture i386
    need_update=1
  fi
else
  log "this machine does not run 32-bit programs: no 32-bit Wine, the windows-x86 build is" \
    "made but its tests cannot run here"
fi
missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update
  need_update=
  as_root apt-get install -y "${missing[@]}" </dev/null
else
  log "packages: all present"
fi
if [ -n "$need_update" ]; then as_root apt-get update; fi

# ---- MinGW libraries, one prefix per architecture ----
# Every library below is built for each architecture in ARCHS: a library added to cross_libs is
# built for both.
ARCHS=(x86_64 i686)
prefix_of() {
  case $1 in
    x86_64) echo "${VANTOREL_MINGW_PREFIX:-/opt/vantorel-mingw}" ;;
    i686) echo "${VANTOREL_MINGW_I686_PREFIX:-/opt/vantorel-mingw-i686}" ;;
  esac
}
toolchain_of() {
  case $1 in
    x86_64) echo "$ROOT/cmake/mingw-w64.cmake" ;;
    i686) echo "$ROOT/cmake/mingw-w64-i686.cmake" ;;
  esac
}
as_root mkdir -p "$WORK"
for arch in "${ARCHS[@]}"; do as_root mkdir -p "$(prefix_of "$arch")"; done
if [ "$(id -u)" -ne 0 ]; then
  for arch in "${ARCHS[@]}"; do as_root chown "$(id -u):$(id -g)" "$(prefix_of "$arch")"; done
  as_root chown "$(id -u):$(id -g)" "$WORK"
fi

# A stamp records what was built; a matching stamp means the library is there already.
# PREFIX and TOOLCHAIN are those of the architecture being built.
stamp_ok() { [ -f "$PREFIX/.stamp-$1" ] && [ "$(cat "$PREFIX/.stamp-$1")" = "$2" ]; }
stamp_set() { printf '%s' "$2" >"$PREFIX/.stamp-$1"; }

cross_build() {  # source-dir build-dir [cmake options...]
  local src=$1 bld=$2
  shift 2
  rm -rf "$bld"
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF "$@" >"$bld.log" 2>&1 ||
    { cat "$bld.log"; return 1; }
  cmake --build "$bld" >>"$bld.log" 2>&1 || { tail -50 "$bld.log"; return 1; }
  cmake --install "$bld" >>"$bld.log" 2>&1 || { tail -50 "$bld.log"; return 1; }
}

# Debian's source package NAME (at VERSION when it is still there), fetched once per run into
# $WORK/NAME-src with a private APT configuration that lists the machine's own Debian sources as
# deb-src. The machine's APT configuration stays untouched. Prints the unpacked source folder.
debian_source() {  # name version
  local name=$1 version=$2 apt_dir="$WORK/apt" src_dir="$WORK/$1-src" found
  found=$(find "$src_dir" -mindepth 1 -maxdepth 1 -type d -name "$name-*" 2>/dev/null | head -1)
  if [ -n "$found" ]; then
    echo "$found"
    return
  fi
  log "$name $version: fetching the Debian source" >&2
  local apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
  if [ ! -d "$apt_dir/lists" ]; then
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    shopt -s nullglob
    for f in /etc/apt/sources.list.d/*.sources; do
      sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f" >"$apt_dir/sources.list.d/$(basename "$f").list"
    done
    shopt -u nullglob
    apt-get "${apt_opts[@]}" -qq update >&2
  fi
  rm -rf "$src_dir" && mkdir -p "$src_dir"
  (cd "$src_dir" && { apt-get "${apt_opts[@]}" -qq source "$name=$version" ||
    apt-get "${apt_opts[@]}" -qq source "$name"; } >/dev/null 2>&1)
  find "$src_dir" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -1
}

pugixml_version=$(dpkg-query -W -f='${Version}' libpugixml-dev)
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
json_version=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
cmark_version=$(dpkg-query -W -f='${Version}' libcmark-dev)
sqlite_version=$(dpkg-query -W -f='${Version}' libsqlite3-dev)

cross_libs() {  # builds every library for the architecture in PREFIX/TOOLCHAIN; $1 names it
  local arch=$1 src

  # pugixml: Debian's source package.
  if stamp_ok pugixml "$pugixml_version"; then
    log "$arch: pugixml $pugixml_version: already built"
  else
    src=$(debian_source pugixml "$pugixml_version")
    log "$arch: pugixml: building with MinGW"
    cross_build "$src" "$WORK/pugixml-build-$arch" -DPUGIXML_BUILD_TESTS=OFF
    stamp_set pugixml "$pugixml_version"
    rm -rf "$WORK/pugixml-build-$arch"
  fi

  # GoogleTest: the sources Debian ships in /usr/src/googletest.
  if stamp_ok googletest "$gtest_version"; then
    log "$arch: googletest $gtest_version: already built"
  else
    log "$arch: googletest $gtest_version: building with MinGW"
    cross_build /usr/src/googletest "$WORK/googletest-build-$arch" -DBUILD_GMOCK=ON \
      -Dgtest_force_shared_crt=OFF
    stamp_set googletest "$gtest_version"
    rm -rf "$WORK/googletest-build-$arch"
  fi

  # nlohmann-json is header-only: its CMake package is copied into the prefix and its headers
  # are linked there, so the cross build finds it without seeing the host's /usr/include.
  if stamp_ok nlohmann-json "$json_version"; then
    log "$arch: nlohmann-json $json_version: already linked"
  else
    mkdir -p "$PREFIX/include" "$PREFIX/share/cmake"
    ln -sfn /usr/include/nlohmann "$PREFIX/include/nlohmann"
    rm -rf "$PREFIX/share/cmake/nlohmann_json"
    cp -r /usr/share/cmake/nlohmann_json "$PREFIX/share/cmake/nlohmann_json"
    stamp_set nlohmann-json "$json_version"
    log "$arch: nlohmann-json $json_version: linked into $PREFIX"
  fi

  # The help page is made from Markdown by cmark (CommonMark). Debian packages it for the build
  # machine only, so the Windows builds get it from Debian's source package. (zlib for MinGW is
  # the libz-mingw-w64-dev package, for both architectures.)
  if stamp_ok cmark "$cmark_version"; then
    log "$arch: cmark $cmark_version: already built"
  else
    src=$(debian_source cmark "$cmark_version")
    log "$arch: cmark: building with MinGW"
    cross_build "$src" "$WORK/cmark-build-$arch" -DCMARK_SHARED=OFF -DCMARK_STATIC=ON \
      -DCMARK_TESTS=OFF
    stamp_set cmark "$cmark_version"
    rm -rf "$WORK/cmark-build-$arch"
  fi

  # The virtual register's storage. Debian's source package holds SQLite's sources, not its
  # single-file form: configure and `make sqlite3.c` make that file once on this machine (with
  # tclsh), and cmake/sqlite3 builds it with the cross compiler.
  if stamp_ok sqlite3 "$sqlite_version"; then
    log "$arch: sqlite3 $sqlite_version: already built"
  else
    src=$(debian_source sqlite3 "$sqlite_version")
    if [ ! -f "$src/sqlite3.c" ]; then
      log "sqlite3: making sqlite3.c"
      (cd "$src" && ./configure --disable-tcl >"$WORK/sqlite3-amalgamation.log" 2>&1 &&
        make sqlite3.c >>"$WORK/sqlite3-amalgamation.log" 2>&1) ||
        { tail -30 "$WORK/sqlite3-amalgamation.log"; return 1; }
    fi
    log "$arch: sqlite3: building with MinGW"
    cross_build "$ROOT/cmake/sqlite3" "$WORK/sqlite3-build-$arch" -DSQLITE_AMALGAMATION="$src"
    stamp_set sqlite3 "$sqlite_version"
    rm -rf "$WORK/sqlite3-build-$arch"
  fi
}

for arch in "${ARCHS[@]}"; do
  PREFIX=$(prefix_of "$arch")
  TOOLCHAIN=$(toolchain_of "$arch")
  cross_libs "$arch"
done
rm -rf "$WORK/apt" "$WORK"/*-src

log "done in $((SECONDS - START)) s"
