#!/usr/bin/env bash
# Installs the built project into a fresh prefix, builds the library example
# as a separate project against the installed package, and checks that its
# run prints the 12 results of the README's first command and their count.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/quasibiclique"
test -f "$work/prefix/include/quasibiclique/quasibiclique.h"
cmake -S "$source/tests/package" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DEXAMPLE_SOURCE="$source/examples/library_example.cpp" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/library_example" > "$work/printed"

"$work/prefix/bin/quasibiclique" "$source/examples/tiny.dat" 3 1 1 3 0 "$work/tiny.out" >/dev/null
{ cat "$work/tiny.out"; echo "results: 12"; } > "$work/expected"
if ! cmp -s "$work/printed" "$work/expected"; then
  echo "the installed example printed:"; cat "$work/printed"
  echo "expected:"; cat "$work/expected"
  exit 1
fi
echo "installed package: example built and printed the 12 results"
