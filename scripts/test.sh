#!/usr/bin/env bash
# Every test: the native build (engine, simulated device, pseudo-terminal run) under the
# sanitizers, then the Windows build and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

echo "test: native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "test: Windows build and tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows
if [ -x scripts/windows_tests.sh ]; then
  scripts/windows_tests.sh
fi
