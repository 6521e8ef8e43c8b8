#!/usr/bin/env bash
# Configures a CMake build directory for the Makefile targets:
#   tools/configure.sh BUILD_DIR [cmake arguments...]
# Uses Ninja when it is installed and Unix Makefiles otherwise.  A build
# directory made earlier with the other generator, or left behind by a
# configure that failed, is cleared first; a configure that fails now removes
# its cache again, so the next run starts clean instead of tripping over a
# half-written directory.
set -euo pipefail
dir=${1:?usage: configure.sh BUILD_DIR [cmake arguments...]}
shift

if command -v ninja >/dev/null 2>&1; then
  generator="Ninja"
else
  generator="Unix Makefiles"
fi

cache="$dir/CMakeCache.txt"
if [ -f "$cache" ]; then
  previous=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")
  if [ "$previous" != "$generator" ] || [ ! -f "$dir/.kite-configured" ]; then
    echo "configure.sh: starting $dir afresh (was: ${previous:-an unfinished configure})"
    rm -rf "$cache" "$dir/CMakeFiles"
  fi
fi

mkdir -p "$dir"
rm -f "$dir/.kite-configured"
if ! cmake -G "$generator" -S . -B "$dir" "$@"; then
  rm -rf "$cache" "$dir/CMakeFiles"
  echo "configure.sh: configuring $dir failed (see above); nothing was kept," >&2
  echo "configure.sh: so the same command can simply be run again." >&2
  exit 1
fi
touch "$dir/.kite-configured"
