#!/usr/bin/env bash
# The window under Xvfb shows test camera 1's 1920x1080 YUY2 bars (BT.709, limited range) in the
# colours the exact formula gives for the camera's own Y'CbCr, within one level: each of the seven
# bars, at ratio 50, covers at least 136 x 540 screen pixels in its colour (a bar is 274 or 275
# pixels wide, 137 on the screen, less the column where two bars' chroma meets). A wrong matrix or
# range, a channel swap or a lossy draw shows here as a user would see it. With
# WINDOW_BARS_SCREENSHOT=FILE the window is kept as a picture.
# Usage: WindowShowsExactBars.sh BUILD_DIR X11_DRIVER
set -euo pipefail
source "$(dirname "$0")/../support/window-ini.sh"
if [[ -z "${WINDOW_BARS_DISPLAY:-}" ]]; then
  exec env XVFB_SCREEN=1280x1024x24 "$(dirname "$0")/../../tools/x11-driver/with-xvfb" \
    env WINDOW_BARS_DISPLAY=1 "$0" "$@"
fi
build=$(cd "$1" && pwd)
driver=$2
work=$(mktemp -d)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# One frame of the camera as it sends it, for its Y'CbCr.
caps=video/x-raw,format=YUY2,width=1920,height=1080,framerate=30/1
gst-launch-1.0 -q norvextestcamerasrc camera=1 ! "$caps" ! identity eos-after=2 ! \
  filesink location="$work/frame.yuy2" || fail "no frame from the test camera"
# The colour of each bar: Y'CbCr at the bar's middle on the middle row (a YUY2 pair: Y0 Cb Y1 Cr),
# through BT.709's limited-range formula in double precision, rounded and clamped.
colours=()
for bar in 0 1 2 3 4 5 6; do
  x=$(((bar * 1920 / 7 + 137) & ~1))
  read -r y cb _ cr < <(od -An -tu1 -j $(((540 * 1920 + x) * 2)) -N4 "$work/frame.yuy2")
  colours+=("$(awk -v y="$y" -v cb="$cb" -v cr="$cr" 'function level(v) {
      v = int(v + 0.5); return v < 0 ? 0 : v > 255 ? 255 : v }
    BEGIN {
      kr = 0.2126; kb = 0.0722; kg = 1 - kr - kb
      l = (y - 16) * 255 / 219; pb = (cb - 128) * 255 / 224; pr = (cr - 128) * 255 / 224
      r = l + 2 * (1 - kr) * pr; b = l + 2 * (1 - kb) * pb
      g = (l * 1 - kr * r - kb * b) / kg
      print level(r), level(g), level(b) }')")
done

cp "$build/bin/VistelCapture" "$work/"
window_ini "$work/VistelCapture.ini" 50 1100 700
"$work/VistelCapture" &
pid=$!
window=$("$driver" wait-window "Vistel Capture" 30) || fail "no window"
"$driver" focus "$window"
"$driver" key space
read -r x y w h < <("$driver" geometry "$window")
count() { "$driver" count-colour "$@" 1 "$x" "$y" "$w" "$h"; }
# Until the last bar is on the screen (frames arrive after the window has shown).
for _ in $(seq 150); do
  # shellcheck disable=SC2086
  (($(count ${colours[6]}) >= 136 * 540)) && break
  sleep 0.2
done
names=(white yellow cyan green magenta red blue)
for bar in 0 1 2 3 4 5 6; do
  # shellcheck disable=SC2086
  covered=$(count ${colours[bar]})
  ((covered >= 136 * 540)) || fail "${names[bar]} (${colours[bar]}) covers $covered pixels, not 136 x 540"
done
if [[ -n "${WINDOW_BARS_SCREENSHOT:-}" ]]; then
  "$driver" screenshot "$WINDOW_BARS_SCREENSHOT" "$x" "$y" "$w" "$h"
fi
"$driver" close "$window"
wait "$pid" || fail "the program ended with $?"
pid=
echo "passed: ${colours[*]}"
