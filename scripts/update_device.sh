#!/usr/bin/env bash
# The tool's main job: a whole update of the simulated device. Builds what is needed, starts
# devsim on a pseudo-terminal, runs the update over it and prints the trace, what the device
# saw, and a one-line summary.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh
echo "update_device: building (native preset)"
cmake --preset native >/dev/null
cmake --build --preset native --target devsim native_update >/dev/null

work=$(mktemp -d /tmp/update_device.XXXXXX)
devsim_pid=""
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

build/native/devsim/devsim --link "$work/port" --plug-in-delay 1500 --program-ms 5 \
  --dump-flash "$work/flash.bin" >"$work/devsim.txt" &
devsim_pid=$!
for _ in $(seq 100); do [ -e "$work/port" ] && break; sleep 0.05; done

echo "update_device: updating the device on $work/port"
start=$(date +%s.%N)
status=0
build/native/native/native_update --port "$work/port" --image "$root/resources/firmware.bin" \
  >"$work/trace.txt" 2>"$work/status.txt" || status=$?
end=$(date +%s.%N)
kill "$devsim_pid"; wait "$devsim_pid" 2>/dev/null || true  # devsim dumps its flash as it exits
devsim_pid=""

cat "$work/trace.txt"
echo "--- status field"
cat "$work/status.txt"
echo "--- devsim"
cat "$work/devsim.txt"
size=$(stat -c %s "$root/resources/firmware.bin")
python3 - "$root/resources/firmware.bin" "$work/flash.bin" "$start" "$end" "$status" <<'PY'
import os, sys
image_path, flash_path = sys.argv[1], sys.argv[2]
start, end, status = float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
image = open(image_path, "rb").read()
filled = image + bytes(-len(image) % 1024)
flash = open(flash_path, "rb").read() if os.path.exists(flash_path) else b""
same = "flash matches the image" if flash[:len(filled)] == filled else "FLASH DIFFERS from the image"
secs = end - start
verdict = "completed" if status == 0 else "FAILED (exit %d)" % status
print("update_device: %s: %d bytes (%d filled) in %.1f s, %.0f bytes/s; %s"
      % (verdict, len(image), len(filled), secs, len(filled) / secs, same))
PY
exit "$status"
