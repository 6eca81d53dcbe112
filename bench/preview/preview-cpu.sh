#!/usr/bin/env bash
# What showing 1080p costs: the window on test camera 1 (1920x1080 YUY2, BT.709, 30 frames per
# second, moving) against the pipeline a user would run for the same picture, under the same Xvfb with
# openbox. CPU of the whole process (utime + stime from /proc/PID/stat) per frame the camera pushed
# over the measured seconds, and its peak resident memory (VmHWM), three runs, the sides' order
# alternating:
#   at 100 %:  the window at ratio 100      vs  ... ! videoconvert ! ximagesink
#   at fit:    the window at ratio 50       vs  ... ! videoconvert ! videoscale !
#              (the whole image in view,         video/x-raw,width=960,height=540 ! ximagesink
#               as "全体" gives it)
# The X server's own work (putting the pictures on the screen) is the same for both sides and not
# counted.
#
#   bench/preview/preview-cpu.sh [SECONDS_PER_SIDE]      (build first: scripts/build)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/support/window-ini.sh
if [[ -z "${PREVIEW_CPU_DISPLAY:-}" ]]; then
  exec env XVFB_SCREEN=2560x1600x24 tools/x11-driver/with-xvfb env PREVIEW_CPU_DISPLAY=1 "$0" "$@"
fi
build=${BUILD_DIR:-build}
seconds=${1:-10}
driver=$build/tools/x11-driver/x11-driver
export GST_PLUGIN_PATH="$PWD/$build/gstreamer" GST_REGISTRY="$PWD/$build/gstreamer-registry.bin"
export NORVEX_TEST_CAMERA_MOTION=1 # a picture that changes, as a camera's does; it logs its pushes
work=$(mktemp -d)
side=
manager=
cleanup() {
  if [[ -n "$side" ]]; then kill "$side" 2>/dev/null || true; fi
  if [[ -n "$manager" ]]; then kill "$manager" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

HOME=$work XDG_CONFIG_HOME=$work/config openbox --sm-disable >"$work/openbox.log" 2>&1 &
manager=$!
"$driver" wait-window-manager 30 >/dev/null

cp "$build/bin/VistelCapture" "$work/"
cp "$build"/bin/Vistel*.so "$work/" 2>/dev/null || true
reference_caps=video/x-raw,format=YUY2,width=1920,height=1080,framerate=30/1

# Waits until the bars' yellow is on the screen.
wait_for_picture() {
  for _ in $(seq 300); do
    "$driver" find-colour 255 255 0 12 0 0 2560 1600 >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  echo "no picture on the screen" >&2
  return 1
}

# Measures the running side ($side) past its start: prints "CPU-seconds frames peak-KiB".
measure() {
  wait_for_picture
  sleep 3 # past the start
  python3 - "$side" "$seconds" "$work/push" <<'PY'
import os, sys, time
pid, seconds, push = sys.argv[1], float(sys.argv[2]), sys.argv[3]
tick = os.sysconf("SC_CLK_TCK")
def cpu():
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick  # utime, stime
start_ns, start_cpu = time.monotonic_ns(), cpu()
time.sleep(seconds)
end_ns, end_cpu = time.monotonic_ns(), cpu()
frames = 0
for line in open(push):
    ns = int(line.split()[1])
    frames += start_ns <= ns < end_ns
with open(f"/proc/{pid}/status") as f:
    peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
print(f"{end_cpu - start_cpu:.2f} {frames} {peak}")
PY
}

# The window at the ratio $1: prints the measure.
run_window() {
  window_ini "$work/VistelCapture.ini" "$1" "$2" "$3"
  rm -f "$work/push"
  NORVEX_TEST_CAMERA_PUSH_LOG="$work/push" "$work/VistelCapture" >/dev/null 2>&1 &
  side=$!
  local window
  window=$("$driver" wait-window "Vistel Capture" 30)
  "$driver" focus "$window"
  "$driver" key space
  measure
  "$driver" close "$window"
  wait "$side" || true
  side=
}

# The pipeline with the elements $@ between the camera's caps and ximagesink.
run_reference() {
  rm -f "$work/push"
  NORVEX_TEST_CAMERA_PUSH_LOG="$work/push" gst-launch-1.0 -q norvextestcamerasrc camera=1 moving=true ! \
    "$reference_caps" ! "$@" ! ximagesink >/dev/null 2>&1 &
  side=$!
  measure
  kill -INT "$side" 2>/dev/null || true
  wait "$side" || true
  side=
}

pair() {
  local name=$1 ratio=$2 right=$3 bottom=$4 window reference
  shift 4
  if ((run % 2)); then
    window=$(run_window "$ratio" "$right" "$bottom")
    reference=$(run_reference "$@")
  else
    reference=$(run_reference "$@")
    window=$(run_window "$ratio" "$right" "$bottom")
  fi
  python3 - "$name" "$window" "$reference" <<'PY'
import sys
name, (wc, wf, wm), (rc, rf, rm) = sys.argv[1], *(map(float, s.split()) for s in sys.argv[2:])
w, r = wc / max(wf, 1) * 1e3, rc / max(rf, 1) * 1e3
print(f"  {name:<8} window {w:5.2f} ms/frame ({wf:.0f} frames, peak {wm / 1024:4.0f} MiB)  "
      f"reference {r:5.2f} ms/frame ({rf:.0f} frames, peak {rm / 1024:4.0f} MiB)  "
      f"CPU {w / r:4.2f}  peak RSS {wm / rm:4.2f}")
PY
}

echo "CPU per pushed frame and peak RSS, window / reference; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
for run in ${PREVIEW_CPU_RUNS:-1 2 3}; do
  echo "run $run"
  pair "100 %" 100 1924 1134 videoconvert
  pair "fit" 50 972 700 videoconvert ! videoscale ! video/x-raw,width=960,height=540
done
echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
