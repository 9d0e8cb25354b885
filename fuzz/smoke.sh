#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each briefly over its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
shopt -s nullglob
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  seeds=fuzz/seeds/$name
  corpus=$(mktemp -d)
  options=()
  # The pipeline reserves a flattened function's op list whole, up to 2 GiB at
  # the bound of 2^24 ops, before its work budget ends the run: room that is
  # reserved, not used.
  [ "$name" = pipeline ] && options+=(-malloc_limit_mb=4096)
  echo "-- $name"
  "$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 "${options[@]}" "$corpus" \
    $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 12
  rm -rf "$corpus"
done
