#!/usr/bin/env bash
# Runs every example program once and checks that each exits 0 within a
# minute, then checks that the programs the guides in docs/ quote in full
# are quoted exactly as they are here.
# Usage: examples/run_all.sh BUILD_EXAMPLES_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin_dir=${1:?usage: run_all.sh BUILD_EXAMPLES_DIR}
docs_dir="$here/../docs"
count=0

for src in "$here"/*.c "$here"/*.cpp; do
  [ -f "$src" ] || continue
  name=$(basename "${src%.*}")
  [ -x "$bin_dir/$name" ] || { echo "examples: $name was not built" >&2; exit 1; }
  echo "---- $name"
  if ! timeout 60 "$bin_dir/$name"; then
    echo "examples: $name failed" >&2
    exit 1
  fi
  count=$((count + 1))
done

# A guide that quotes its program in full marks it with a line
# "<!-- example: examples/NAME.c -->" before the ```c block, and the block
# must equal the file.
for guide in "$docs_dir"/*.md; do
  grep -q '^<!-- example: ' "$guide" || continue
  file=$(sed -n 's/^<!-- example: \(.*\) -->$/\1/p' "$guide")
  awk '/^<!-- example: /{found=1; next} found && /^```c$/{inside=1; next}
       inside && /^```$/{exit} inside{print}' "$guide" >"${TMPDIR:-/tmp}/kite_quoted.$$"
  if ! cmp -s "${TMPDIR:-/tmp}/kite_quoted.$$" "$here/../$file"; then
    rm -f "${TMPDIR:-/tmp}/kite_quoted.$$"
    echo "examples: $(basename "$guide") does not quote $file as it is" >&2
    exit 1
  fi
  rm -f "${TMPDIR:-/tmp}/kite_quoted.$$"
done
echo "examples: $count programs passed"
