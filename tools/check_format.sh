#!/usr/bin/env bash
# Lists the C and C++ files of src, tests, tools, bench, fuzz and examples
# that clang-format (with the .clang-format at the root) would change, and
# exits 1 when there is any; 0 when all are formatted, 2 when clang-format
# is missing.  CLANG_FORMAT picks another binary (clang-format-14, say).
# To format a file in place: clang-format -i --style=file FILE
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "check_format: $clang_format not found" >&2
  exit 2
fi

unformatted=0
checked=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  if ! "$clang_format" --style=file --dry-run --Werror "$file" \
      >/dev/null 2>&1; then
    echo "$file"
    unformatted=$((unformatted + 1))
  fi
done < <(find src tests tools bench fuzz examples -type f \
           \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
         sort -z)

if [ "$unformatted" -gt 0 ]; then
  echo "check_format: $unformatted of $checked files are not formatted" >&2
  exit 1
fi
echo "check_format: all $checked files formatted"
