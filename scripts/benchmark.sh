#!/usr/bin/env bash
# Prints the update's speed figures (see bench/benchmark.py); never fails on a slow machine.
#   scripts/benchmark.sh [--program-ms MS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "benchmark: building"
cmake --preset native >/dev/null && cmake --build --preset native >/dev/null
cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null
exec python3 bench/benchmark.py --build-native build/native --build-windows build/windows "$@"
