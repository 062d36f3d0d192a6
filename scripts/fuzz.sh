#!/usr/bin/env bash
# Fuzzes the update engine with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer:
# arbitrary reads into poll_updater from every state, arbitrary frames into reply_is_valid.
#   scripts/fuzz.sh [RUNS]   (default 10000000 executions; new finds go to build/fuzz/found)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}

command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
mkdir -p build/fuzz/found
echo "fuzz: building"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -Iengine engine/frame_codec.cpp engine/updater.cpp engine/report.cpp \
  tests/fuzz/fuzz_updater.cpp -o build/fuzz/fuzz_updater
echo "fuzz: $runs executions"
build/fuzz/fuzz_updater -runs="$runs" -max_len=4096 -print_final_stats=1 \
  build/fuzz/found tests/fuzz/corpus 2>&1 | grep -E "^#|stat::|ERROR|SUMMARY|Done" | tail -n 12
