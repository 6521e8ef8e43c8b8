#!/usr/bin/env bash
# Installs the peer libraries the benchmarks compare against.  `make bench`
# (and so CI, which runs every benchmark for a token time) calls it first;
# figures are taken by hand.
set -euo pipefail
pkgs=(libbenchmark-dev libboost-dev libabsl-dev libapr1-dev libaprutil1-dev
      libinih-dev libconcurrentqueue-dev libtbb-dev libglib2.0-dev libuv1-dev
      rapidjson-dev libsimdjson-dev libcjson-dev pkg-config)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
