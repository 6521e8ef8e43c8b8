#!/usr/bin/env bash
# Makes sure the tools and libraries a Makefile target needs are installed,
# for a fresh Debian or Ubuntu machine:
#   tools/ensure_deps.sh demo|test|consumer|docs|fuzz|ci ...
# Missing packages are installed with apt-get when running as root, or
# through sudo when that works (without a password, or with a terminal to
# ask for one); otherwise the script stops and prints the one command to run.
# Ninja and GoogleTest are optional: without Ninja the build uses Makefiles,
# and without an installed GoogleTest it builds a pinned copy
# (cmake/googletest.cmake), which needs network access.
set -euo pipefail

required=()   # "command:package" or "pkg:package" (checked with dpkg)
optional=()
for target in "$@"; do
  case "$target" in
    demo)     required+=(cmake:cmake c++:g++); optional+=(ninja:ninja-build) ;;
    test)     required+=(cmake:cmake c++:g++); optional+=(ninja:ninja-build pkg:libgtest-dev) ;;
    consumer) required+=(cmake:cmake c++:g++ cc:gcc pkg-config:pkg-config readelf:binutils) ;;
    docs)     required+=(doxygen:doxygen) ;;
    fuzz)     required+=(clang++:clang pkg:libclang-rt-14-dev) ;;
    ci)       required+=(cmake:cmake c++:g++ cc:gcc ninja:ninja-build pkg:libgtest-dev
                         pkg-config:pkg-config readelf:binutils doxygen:doxygen
                         clang++:clang pkg:libclang-rt-14-dev pkg:libgmock-dev
                         clang-format:clang-format) ;;
    *) echo "ensure_deps.sh: unknown target '$target'" >&2; exit 2 ;;
  esac
done

is_missing() {
  local kind=${1%%:*} name=${1##*:}
  if [ "$kind" = pkg ]; then
    ! dpkg -s "$name" >/dev/null 2>&1
  else
    ! command -v "$kind" >/dev/null 2>&1
  fi
}

missing_required=()
missing_optional=()
for item in ${required[@]+"${required[@]}"}; do
  is_missing "$item" && missing_required+=("${item##*:}")
done
for item in ${optional[@]+"${optional[@]}"}; do
  is_missing "$item" && missing_optional+=("${item##*:}")
done
[ ${#missing_required[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

# De-duplicated, in first-seen order.
want=$(printf '%s\n' ${missing_required[@]+"${missing_required[@]}"} \
                     ${missing_optional[@]+"${missing_optional[@]}"} | awk '!seen[$0]++' | tr '\n' ' ' | sed 's/ $//')
install_cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $want"

# The one command for a user to run: through sudo where it is installed,
# else as root through su.
if command -v sudo >/dev/null 2>&1; then
  as_root="sudo sh -c '$install_cmd'"
else
  as_root="su -c '$install_cmd'"
fi

runner=""
if ! command -v apt-get >/dev/null 2>&1; then
  runner="none"
elif [ "$(id -u)" -eq 0 ]; then
  runner="sh -c"
elif command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
  runner="sudo sh -c"
fi

if [ -n "$runner" ] && [ "$runner" != none ]; then
  echo "ensure_deps.sh: installing $want"
  if $runner "$install_cmd"; then
    exit 0
  fi
  echo "ensure_deps.sh: the installation failed" >&2
fi

if [ ${#missing_required[@]} -eq 0 ]; then
  # Only optional pieces are missing: the build copes without them.
  echo "ensure_deps.sh: not installed: $want (the build falls back; to install: $as_root)"
  exit 0
fi
if [ "$runner" = none ]; then
  echo "ensure_deps.sh: missing: $want - install these with your package manager, then run make again." >&2
else
  echo "ensure_deps.sh: missing: $want - run this once, then make again:" >&2
  echo "  $as_root" >&2
fi
exit 1
