#!/usr/bin/env bash
# The Windows side under Wine: the unit tests (with two simulated devices and a dead port
# mapped), the reproducible-build check, then the end-to-end scenarios with the real window.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=$root/build/windows/wine-prefix
devsim=$root/build/native/devsim/devsim

echo "windows tests: preparing the Wine prefix"
eval "$(python3 tests/e2e/e2e.py env --prefix "$prefix")"
devices=$prefix/dosdevices
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$devices/com3" "$devices/com12" "$devices/com9"
  python3 tests/e2e/e2e.py stop --prefix "$prefix"
}
trap cleanup EXIT

display=99
while [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ]; do display=$((display + 1)); done
Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:$display

# devsim is a Linux program of ours: Wine's preload is not for it.
env -u LD_PRELOAD "$devsim" --link "$devices/com3" --quiet >/dev/null &
pids+=($!)
env -u LD_PRELOAD "$devsim" --link "$devices/com12" --quiet >/dev/null &
pids+=($!)
ln -sfn /nonexistent/pty "$devices/com9"
for _ in $(seq 100); do [ -e "$devices/com3" ] && [ -e "$devices/com12" ] && [ -e /tmp/.X11-unix/X$display ] && break; sleep 0.05; done

echo "windows tests: unit tests under Wine"
ctest --preset windows -L wine

for pid in "${pids[@]:1}"; do kill "$pid"; done
rm -f "$devices/com3" "$devices/com12" "$devices/com9"

echo "windows tests: reproducible build and end-to-end scenarios"
ctest --preset windows -L 'build|e2e'
