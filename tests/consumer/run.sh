#!/usr/bin/env bash
# Installs libkitecore from a configured build directory into a temporary
# prefix and uses it the way a program outside this tree would:
#   - every installed header resolves its includes inside include/kitecore
#     (no public header may include an internal, uninstalled one);
#   - every installed header compiles as C11 with -pedantic-errors, using
#     only what `pkg-config --cflags kitecore` gives, and also when included
#     as <kitecore/NAME.h> with only <prefix>/include on the path;
#   - every function and variable the headers export links against the
#     installed library (nothing declared is missing from it);
#   - no installed package file, header or run path points into the build or
#     source tree;
#   - a C program built with pkg-config and a C++ program built through
#     find_package(kitecore) run and pass.
# Usage: tests/consumer/run.sh BUILD_DIR   (the library must be built)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kitecore-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "consumer test: FAIL: $*" >&2; exit 1; }
step() { echo "consumer test: $*"; }

cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
incdir="$prefix/include/kitecore"
pcfile=$(find "$prefix" -name kitecore.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pcfile" ] || fail "no kitecore.pc installed"
[ -d "$incdir" ] || fail "no include/kitecore installed"
libdir=$(dirname "$(dirname "$pcfile")")
for f in libkitecore.so libkitecore.so.0; do
  [ -L "$libdir/$f" ] || fail "$libdir/$f is not a version link"
done
soname=$(readelf -d "$libdir/libkitecore.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libkitecore.so.0" ] || fail "SONAME is '$soname'"
step "installed into $prefix (SONAME $soname)"

# Includes of installed headers must name installed headers.
bad=""
for h in "$incdir"/*.h; do
  for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$h"); do
    [ -f "$incdir/$inc" ] || bad="$bad $(basename "$h")->$inc"
  done
done
[ -z "$bad" ] || fail "public headers include headers that are not installed:$bad"

# Nothing installed as text may name the build or source directory, and no
# installed binary may carry a run path into them.
if grep -rIl -e "$build_dir" -e "$source_dir" "$prefix" >"$work/leaks"; then
  fail "installed files point into the build or source tree: $(tr '\n' ' ' <"$work/leaks")"
fi
for bin in "$libdir"/libkitecore.so.*.* "$prefix"/bin/*; do
  [ -f "$bin" ] || continue
  if readelf -d "$bin" | grep -E 'RPATH|RUNPATH' | grep -q -e "$build_dir" -e "$source_dir"; then
    fail "$bin has a run path into the build or source tree"
  fi
done
step "headers self-contained, no path into the build or source tree"

export PKG_CONFIG_PATH="$(dirname "$pcfile")"
cflags=$(pkg-config --cflags kitecore)
libs=$(pkg-config --libs kitecore)
pc_libdir=$(pkg-config --variable=libdir kitecore)
[ "$(cd "$pc_libdir" && pwd)" = "$libdir" ] || fail "kitecore.pc libdir $pc_libdir is not $libdir"
cc=${CC:-cc}

# Every header, alone in C11 with pedantic errors.
all="$work/all_headers.c"
: >"$all"
for h in "$incdir"/*.h; do
  name=$(basename "$h")
  printf '#include "%s"\nint main(void) { return 0; }\n' "$name" >"$work/one.c"
  # shellcheck disable=SC2086
  $cc -std=c11 -pedantic-errors -Wall -Wextra -Werror $cflags -c "$work/one.c" \
    -o "$work/one.o" || fail "$name does not compile on its own as C11"
  printf '#include "%s"\n' "$name" >>"$all"
done

# Headers include each other by plain name, which also resolves next to the
# including header, so <kitecore/NAME.h> works with just <prefix>/include.
sed 's|^#include "\(.*\)"$|#include <kitecore/\1>|' "$all" >"$work/prefixed.c"
echo 'int main(void) { return 0; }' >>"$work/prefixed.c"
$cc -std=c11 -pedantic-errors -Wall -Wextra -Werror -I"$prefix/include" -c "$work/prefixed.c" \
  -o "$work/prefixed.o" || fail "headers do not compile included as <kitecore/NAME.h>"

# Every exported declaration must resolve in the installed library: take the
# address of each function and variable declared with KT_API.
{
  cat "$all"
  echo "void *const kt_consumer_symbols[] = {"
  # shellcheck disable=SC2086
  $cc -std=c11 -E -P -DKITE_BUILDING_LIBRARY $cflags "$all" | tr '\n' ' ' |
    grep -oE '__attribute__\(\(visibility\("default"\)\)\)[^;{]*' |
    sed -E 's/^__attribute__\(\(visibility\("default"\)\)\)//; s/\(.*//' |
    grep -oE '[A-Za-z_][A-Za-z0-9_]*[[:space:]]*$' | sed -E 's/[[:space:]]+$//; s/^/  (void *)\&/; s/$/,/'
  echo "};"
  echo "int main(void) { return kt_consumer_symbols[0] == 0; }"
} >"$work/symbols.c"
count=$(grep -c '(void \*)&' "$work/symbols.c" || true)
[ "$count" -gt 0 ] || fail "found no exported declaration in the headers"
# shellcheck disable=SC2086
$cc -std=c11 $cflags "$work/symbols.c" -o "$work/symbols" $libs -Wl,-rpath,"$libdir" ||
  fail "a symbol declared in the public headers is missing from the library"
"$work/symbols" || fail "symbol table program"
step "all headers compile as C11 (also as <kitecore/NAME.h>); $count exported declarations link"

# shellcheck disable=SC2086
$cc -std=c11 -Wall -Wextra -Werror $cflags "$here/consumer.c" -o "$work/consumer_c" \
  $libs -Wl,-rpath,"$libdir" || fail "C consumer does not build with pkg-config"
"$work/consumer_c" || fail "C consumer"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake "${generator[@]}" -S "$here" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/cpp.log" 2>&1 || { cat "$work/cpp.log" >&2; fail "find_package(kitecore) configure"; }
cmake --build "$work/cpp" >>"$work/cpp.log" 2>&1 ||
  { cat "$work/cpp.log" >&2; fail "C++ consumer does not build with find_package"; }
"$work/cpp/consumer_cpp" || fail "C++ consumer"
step "8 checks passed"
