#!/usr/bin/env bash
# The tool's main job: the real executable, under Wine, updates the simulated device. Builds
# what is needed, starts devsim on a COM port of a throwaway Wine prefix, starts the tool (in
# your X display when DISPLAY is set, otherwise in a virtual one), selects the port and presses
# Update Device, waits for "Programming Completed", then prints the trace, what the device saw
# and a summary.
#   scripts/update_device.sh            press the button automatically
#   scripts/update_device.sh --manual   leave the pressing to you (needs DISPLAY)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
echo "update_device: building"
cmake --preset native >/dev/null
cmake --build --preset native --target devsim >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target firmware_update window_driver >/dev/null

display=()
if [ -n "${DISPLAY:-}" ]; then display=(--display "$DISPLAY"); fi
exec python3 tests/e2e/e2e.py update "${display[@]}" "$@" \
  --tool build/windows/ui/firmware_update.exe --driver build/windows/tests/e2e/window_driver.exe \
  --devsim build/native/devsim/devsim --prefix "$PWD/build/windows/wine-prefix" --out "$PWD/build/update"
