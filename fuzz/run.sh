#!/usr/bin/env bash
# Runs every fuzz target in DIR for SECONDS on its seed corpus
# (fuzz/corpus/<target>/ plus fuzz/corpus/<target>.seeds, a list of extra
# seed directories) and fails on the first crash, leak or broken property.
set -euo pipefail
dir=$(cd "$1" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for bin in "$dir"/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  seeds=()
  [ -d "$here/corpus/$name" ] && seeds+=("$here/corpus/$name")
  if [ -f "$here/corpus/$name.seeds" ]; then
    while read -r extra; do
      [ -n "$extra" ] && [ -d "$here/$extra" ] && seeds+=("$here/$extra")
    done < "$here/corpus/$name.seeds"
  fi
  echo "== fuzzing $name for ${seconds}s"
  if ! (cd "$work" && "$bin" -max_total_time="$seconds" -print_final_stats=1 \
        -max_len=65536 -rss_limit_mb=2048 "$work" "${seeds[@]}" 2>"$work/log"); then
    tail -n 60 "$work/log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$work/log" | tail -n 2
  fi
  rm -rf "$work"
done
exit $status
