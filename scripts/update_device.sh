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
kill "$devsim_pid"; wait "$devsim_pid" 2>/dev/null || true
devsim_pid=""

cat "$work/trace.txt"
echo "--- status field"
cat "$work/status.txt"
echo "--- devsim"
cat "$work/devsim.txt"
size=$(stat -c %s "$root/resources/firmware.bin")
python3 - "$size" "$start" "$end" "$status" <<'PY'
import sys
size, start, end, status = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
filled = (size + 1023) // 1024 * 1024
secs = end - start
verdict = "completed" if status == 0 else "FAILED (exit %d)" % status
print("update_device: %s: %d bytes (%d filled) in %.1f s, %.0f bytes/s" % (verdict, size, filled, secs, filled / secs))
PY
exit "$status"
