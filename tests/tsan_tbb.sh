#!/usr/bin/env bash
# Builds oneTBB with ThreadSanitizer and installs it into BUILD_DIR/deps, for
# a build of the project with -DQB_TSAN=ON -DCMAKE_PREFIX_PATH=BUILD_DIR/deps.
# The distribution's oneTBB is not instrumented, so ThreadSanitizer cannot see
# its scheduler hand a task's data from one thread to another and reports
# races that are none. The source is the distribution's own package (apt-get
# source), the same version as libtbb-dev; where apt knows no source
# packages, the Debian or Ubuntu archives of its binary entries are added as
# source entries. Needs root for that and for installing dpkg-dev; does
# nothing when BUILD_DIR/deps already holds the build.
#
# usage: tests/tsan_tbb.sh BUILD_DIR
set -euo pipefail
build=$(realpath -m "${1:?usage: tsan_tbb.sh BUILD_DIR}")
prefix=$build/deps
if [ -f "$prefix/lib/cmake/TBB/TBBConfig.cmake" ]; then
  exit 0
fi

if ! apt-cache showsrc onetbb 2>/dev/null | grep -q '^Package: onetbb$'; then
  # Source entries next to the archive's binary ones: deb822 stanzas of
  # *.sources files and one-line entries of sources.list and *.list files.
  entries=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ && /(^|\n)URIs:[^\n]*(debian\.org|ubuntu\.com)/ &&
         !/(^|\n)Types:[^\n]*deb-src/ {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f"
  done > "$entries"
  [ -s "$entries" ] && cp "$entries" /etc/apt/sources.list.d/qb-tsan-src.sources
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^deb\([ \t].*\(debian\.org\|ubuntu\.com\).*\)/deb-src\1/p' "$f"
  done > "$entries"
  [ -s "$entries" ] && cp "$entries" /etc/apt/sources.list.d/qb-tsan-src.list
  rm -f "$entries"
  apt-get update
fi
dpkg -s dpkg-dev cmake g++ libtbb-dev >/dev/null 2>&1 || apt-get install -y dpkg-dev cmake g++ libtbb-dev

version=$(dpkg-query -W -f='${source:Version}' libtbb-dev)
rm -rf "$build/tbb-src" "$build/tbb-build"
mkdir -p "$build/tbb-src"
(cd "$build/tbb-src" && apt-get source "onetbb=$version")
source_dir=$(find "$build/tbb-src" -mindepth 1 -maxdepth 1 -type d -name 'onetbb-*' | head -n 1)

# Only the scheduler (libtbb): the project does not link tbbmalloc, and
# oneTBB's own tests are not wanted here.
cmake -S "$source_dir" -B "$build/tbb-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF \
  -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON
cmake --build "$build/tbb-build" -j2
cmake --install "$build/tbb-build"
