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
  echo "-- $name"
  "$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 "$corpus" \
    $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 12
  rm -rf "$corpus"
done
