#!/usr/bin/env bash
# Builds the executable again in another folder and compares it with the first build.
set -euo pipefail
source_dir=$1 first=$2 second_dir=$3
rm -rf "$second_dir"
cmake -S "$source_dir" -B "$second_dir" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$second_dir" --target firmware_update -j2 >/dev/null
second="$second_dir/ui/firmware_update.exe"
if cmp "$first" "$second"; then
  echo "reproducible: $(sha256sum < "$first" | cut -c1-64) $(stat -c %s "$first") bytes, built twice"
else
  echo "reproducible: the two builds differ"
  exit 1
fi
