#!/usr/bin/env bash
# How old the picture on the screen is: test camera 1 at 1920x1080 YUY2 (BT.709), moving, its
# frame counter read back from the X server every 5 ms (x11-driver sample-counter) and matched
# with the time the camera pushed that frame (NORVEX_TEST_CAMERA_PUSH_LOG). Two busy loops run
# beside it the whole time. The window (at 100 %, the image whole on a 2560x1600 Xvfb screen)
# against the pipeline a user would run, gst-launch-1.0 ... ! videoconvert ! ximagesink, three
# runs, the sides' order alternating. An age read is an upper bound of the picture's age at that
# moment (it may have reached the screen a little before the read); figures are in frame
# intervals (1/30 s): median and 90th percentile of every read.
#
#   bench/preview/preview-age.sh [SECONDS_PER_SIDE]      (build first: scripts/build)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/support/window-ini.sh
if [[ -z "${PREVIEW_AGE_DISPLAY:-}" ]]; then
  exec env XVFB_SCREEN=2560x1600x24 tools/x11-driver/with-xvfb env PREVIEW_AGE_DISPLAY=1 "$0" "$@"
fi
build=${BUILD_DIR:-build}
seconds=${1:-15}
driver=$build/tools/x11-driver/x11-driver
export GST_PLUGIN_PATH="$PWD/$build/gstreamer" GST_REGISTRY="$PWD/$build/gstreamer-registry.bin"
export NORVEX_TEST_CAMERA_MOTION=1
work=$(mktemp -d)
pids=()
side=
cleanup() {
  if [[ -n "$side" ]]; then kill "$side" 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
for _ in 1 2; do
  (while :; do :; done) &
  pids+=($!)
done

cp "$build/bin/VistelCapture" "$work/"
cp "$build"/bin/Vistel*.so "$work/" 2>/dev/null || true
cell=$((1080 / 40 & ~1)) # the counter's cells, as the test camera draws them (even)

# Waits for the bars' yellow on the screen; prints the image's top left (the counter covers the
# top rows of the image's first 16 cells, so the first yellow pixel lies 16 cells to its right).
# The moving square may hide that pixel at one moment: the topmost of a few looks is taken.
find_image() {
  for _ in $(seq 600); do
    "$driver" find-colour 255 255 0 12 0 0 2560 1600 >/dev/null 2>&1 && break
    sleep 0.2
  done
  local best
  best=$(for _ in 1 2 3 4 5 6; do
    "$driver" find-colour 255 255 0 12 0 0 2560 1600 2>/dev/null || true
    sleep 0.3
  done | sort -k2,2n -k1,1n | head -n1)
  [[ -n "$best" ]] || {
    "$driver" screenshot "${PREVIEW_AGE_FAILED_SCREEN:-/dev/null}" 2>/dev/null || true
    echo "no picture on the screen" >&2
    return 1
  }
  read -r x y <<<"$best"
  echo "$((x - 16 * cell)) $y"
}

# Reads the counter for the run's time into $work/$1.samples; the push times go to $1.push.
sample() {
  local origin
  origin=$(find_image)
  sleep 2 # past the start
  read -r x y <<<"$origin"
  "$driver" sample-counter "$x" "$y" "$cell" $((seconds * 200)) 5 >"$work/$1.samples"
}

run_window() {
  window_ini "$work/VistelCapture.ini" 100 2300 1500
  rm -f "$work/$1.push"
  NORVEX_TEST_CAMERA_PUSH_LOG="$work/$1.push" "$work/VistelCapture" >/dev/null 2>&1 &
  side=$!
  local window
  window=$("$driver" wait-window "Vistel Capture" 30)
  "$driver" focus "$window"
  "$driver" key space
  sample "$1"
  "$driver" close "$window"
  wait "$side" || true
  side=
}

run_reference() {
  rm -f "$work/$1.push"
  NORVEX_TEST_CAMERA_PUSH_LOG="$work/$1.push" gst-launch-1.0 -q norvextestcamerasrc camera=1 moving=true ! \
    video/x-raw,format=YUY2,width=1920,height=1080,framerate=30/1 ! videoconvert ! ximagesink >/dev/null 2>&1 &
  side=$!
  sample "$1"
  kill -INT "$side" 2>/dev/null || true
  wait "$side" || true
  side=
}

report() {
  python3 - "$work/$1.push" "$work/$1.samples" "$2" <<'PY'
import sys
push = {}
for line in open(sys.argv[1]):
    frame, ns = line.split()
    push[int(frame) & 0xFFFF] = int(ns)  # the counter shows the low 16 bits
ages = []
for line in open(sys.argv[2]):
    ns, counter = map(int, line.split())
    if counter in push and ns >= push[counter]:
        ages.append((ns - push[counter]) / (1e9 / 30))
ages.sort()
if not ages:
    print(f"{sys.argv[3]:<28} no counter read")
else:
    pick = lambda f: ages[min(len(ages) - 1, int(f * len(ages)))]
    print(f"{sys.argv[3]:<28} reads {len(ages):5d}  median {pick(0.5):5.2f}  90th percentile {pick(0.9):5.2f}  "
          f"max {ages[-1]:6.2f} frames")
PY
}

echo "age of the picture on the screen, in frames of 1/30 s; two busy loops beside; $(nproc) cores"
for run in 1 2 3; do
  echo "run $run"
  if ((run % 2)); then
    run_window "window$run"
    run_reference "reference$run"
  else
    run_reference "reference$run"
    run_window "window$run"
  fi
  report "window$run" "window (100 %)"
  report "reference$run" "videoconvert ! ximagesink"
done
