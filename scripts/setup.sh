#!/usr/bin/env bash
# Prepares a Debian 12 machine for both builds and every test: the packages, then the libraries
# the Windows cross build needs, built with MinGW-w64 into a prefix outside the repository.
# Safe to run again: what is already there is skipped, so a ready machine is done in a second.
#
#   VANTOREL_MINGW_PREFIX  where the MinGW libraries go (default /opt/vantorel-mingw); the
#                          Windows preset's toolchain file reads the same variable.
set -euo pipefail

# Everything the builds and tests use. Later work adds to this one list.
PACKAGES=(
  cmake ninja-build g++ make pkg-config
  libpugixml-dev nlohmann-json3-dev googletest libgtest-dev zlib1g-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb xauth
  dpkg-dev
  fonts-liberation fontconfig libpango1.0-dev libcairo2-dev
  clang clang-format
  libcmark-dev imagemagick xdotool xdg-utils
  libzint-dev chromium zbar-tools
  libclang-rt-14-dev libbenchmark-dev
)

PREFIX="${VANTOREL_MINGW_PREFIX:-/opt/vantorel-mingw}"
WORK="${VANTOREL_SETUP_WORK:-/var/tmp/vantorel-setup}"
START=$SECONDS

log() { printf '[setup] %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ---- Debian packages ----
missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update
  as_root apt-get install -y "${missing[@]}" </dev/null
else
  log "packages: all present"
fi

# ---- MinGW libraries ----
TOOLCHAIN="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/cmake/mingw-w64.cmake"
as_root mkdir -p "$PREFIX" "$WORK"
if [ "$(id -u)" -ne 0 ]; then as_root chown "$(id -u):$(id -g)" "$PREFIX" "$WORK"; fi

# A stamp records what was built; a matching stamp means the library is there already.
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

# pugixml: Debian's source package, fetched with a private APT configuration that lists the
# machine's own Debian sources as deb-src. The machine's APT configuration stays untouched.
pugixml_version=$(dpkg-query -W -f='${Version}' libpugixml-dev)
if stamp_ok pugixml "$pugixml_version"; then
  log "pugixml $pugixml_version: already built"
else
  log "pugixml $pugixml_version: fetching the Debian source"
  apt_dir="$WORK/apt"
  rm -rf "$apt_dir"
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
  apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
  apt-get "${apt_opts[@]}" -qq update
  src_dir="$WORK/pugixml-src"
  rm -rf "$src_dir" && mkdir -p "$src_dir"
  (cd "$src_dir" && { apt-get "${apt_opts[@]}" -qq source "pugixml=$pugixml_version" ||
    apt-get "${apt_opts[@]}" -qq source pugixml; } >/dev/null)
  src=$(find "$src_dir" -mindepth 1 -maxdepth 1 -type d -name 'pugixml-*' | head -1)
  log "pugixml: building with MinGW"
  cross_build "$src" "$WORK/pugixml-build" -DPUGIXML_BUILD_TESTS=OFF
  stamp_set pugixml "$pugixml_version"
  rm -rf "$src_dir" "$WORK/pugixml-build" "$apt_dir"
fi

# GoogleTest: the sources Debian ships in /usr/src/googletest.
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
if stamp_ok googletest "$gtest_version"; then
  log "googletest $gtest_version: already built"
else
  log "googletest $gtest_version: building with MinGW"
  cross_build /usr/src/googletest "$WORK/googletest-build" -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=OFF
  stamp_set googletest "$gtest_version"
  rm -rf "$WORK/googletest-build"
fi

# nlohmann-json is header-only: its CMake package is copied into the prefix and its headers are
# linked there, so the cross build finds it without seeing the host's /usr/include.
json_version=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
if stamp_ok nlohmann-json "$json_version"; then
  log "nlohmann-json $json_version: already linked"
else
  mkdir -p "$PREFIX/include" "$PREFIX/share/cmake"
  ln -sfn /usr/include/nlohmann "$PREFIX/include/nlohmann"
  rm -rf "$PREFIX/share/cmake/nlohmann_json"
  cp -r /usr/share/cmake/nlohmann_json "$PREFIX/share/cmake/nlohmann_json"
  stamp_set nlohmann-json "$json_version"
  log "nlohmann-json $json_version: linked into $PREFIX"
fi

# ---- Help viewer: cmark for MinGW ----
# The help page is made from Markdown by cmark (CommonMark). Debian packages it for the build
# machine only, so the Windows build gets it from Debian's source package, fetched like pugixml's
# above with a private APT configuration. (zlib for MinGW is the libz-mingw-w64-dev package.)
cmark_version=$(dpkg-query -W -f='${Version}' libcmark-dev)
if stamp_ok cmark "$cmark_version"; then
  log "cmark $cmark_version: already built"
else
  log "cmark $cmark_version: fetching the Debian source"
  cmark_apt="$WORK/apt-cmark"
  rm -rf "$cmark_apt"
  mkdir -p "$cmark_apt/sources.list.d" "$cmark_apt/lists/partial" "$cmark_apt/cache/archives/partial"
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$cmark_apt/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f" >"$cmark_apt/sources.list.d/$(basename "$f").list"
  done
  shopt -u nullglob
  cmark_apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$cmark_apt/sources.list.d"
    -o "Dir::State::Lists=$cmark_apt/lists" -o "Dir::Cache=$cmark_apt/cache" -o "APT::Sandbox::User=root")
  apt-get "${cmark_apt_opts[@]}" -qq update
  cmark_src_dir="$WORK/cmark-src"
  rm -rf "$cmark_src_dir" && mkdir -p "$cmark_src_dir"
  (cd "$cmark_src_dir" && { apt-get "${cmark_apt_opts[@]}" -qq source "cmark=$cmark_version" ||
    apt-get "${cmark_apt_opts[@]}" -qq source cmark; } >/dev/null)
  cmark_src=$(find "$cmark_src_dir" -mindepth 1 -maxdepth 1 -type d -name 'cmark-*' | head -1)
  log "cmark: building with MinGW"
  cross_build "$cmark_src" "$WORK/cmark-build" -DCMARK_SHARED=OFF -DCMARK_STATIC=ON -DCMARK_TESTS=OFF
  stamp_set cmark "$cmark_version"
  rm -rf "$cmark_src_dir" "$WORK/cmark-build" "$cmark_apt"
fi

log "done in $((SECONDS - START)) s"
