#!/usr/bin/env bash
# The window under a window manager that frames it (openbox on Xvfb): placed by the user, it opens
# five starts in a row exactly where and as large as it was left, and a stored placement that
# describes no usable window opens it at its default place, closes on the window manager's
# request and writes back what the window had.
# Usage: WindowPlacementUnderWindowManager.sh BUILD_DIR X11_DRIVER
set -euo pipefail
if [[ -z "${WINDOW_MANAGER_TEST_DISPLAY:-}" ]]; then
  exec "$(dirname "$0")/../../tools/x11-driver/with-xvfb" env WINDOW_MANAGER_TEST_DISPLAY=1 "$0" "$@"
fi
build=$(cd "$1" && pwd)
driver=$2
work=$(mktemp -d)
ini=$work/VistelCapture.ini
pid=
manager=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
  [[ -n "$manager" ]] && kill "$manager" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  [[ -f "$ini" ]] && cat "$ini" >&2
  exit 1
}
# Polls a condition for at most 30 s.
wait_for() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

command -v openbox >/dev/null || fail "openbox is missing: scripts/setup installs it"
# The program alone in a folder of its own, so its INI file is this test's.
cp "$build/bin/VistelCapture" "$work/"
HOME=$work XDG_CONFIG_HOME=$work/config openbox --sm-disable >"$work/openbox.log" 2>&1 &
manager=$!
"$driver" wait-window-manager 30 || fail "openbox did not start"

start() {
  "$work/VistelCapture" &
  pid=$!
  window=$("$driver" wait-window "Vistel Capture" 30) || fail "no window"
}
close() {
  "$driver" close "$window"
  local deadline=$((SECONDS + 30))
  while kill -0 "$pid" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "the window manager's close did not end the program"
    sleep 0.2
  done
  local status=0
  wait "$pid" || status=$?
  pid=
  [[ $status -eq 0 ]] || fail "the program ended with $status"
}
client_is() { [[ "$("$driver" geometry "$window")" == "$*" ]]; }
framed() { [[ "$("$driver" frame-geometry "$window")" != "$("$driver" geometry "$window")" ]]; }
# The stored normal rectangle as "left top width height", the frame geometry's form.
stored_rectangle() {
  local left top right bottom
  left=$(sed -n 's/^WindowPlacementNormalPositionLeft=//p' "$ini")
  top=$(sed -n 's/^WindowPlacementNormalPositionTop=//p' "$ini")
  right=$(sed -n 's/^WindowPlacementNormalPositionRight=//p' "$ini")
  bottom=$(sed -n 's/^WindowPlacementNormalPositionBottom=//p' "$ini")
  echo "$left $top $((right - left)) $((bottom - top))"
}

printf '[Application]\nCaptureApiFamily=1\n' >"$ini"
start
wait_for framed || fail "openbox did not frame the window"
read -r _ _ default_width default_height < <("$driver" geometry "$window")
"$driver" move-resize "$window" 100 131 735 683
wait_for client_is 100 131 735 683 || fail "the window did not move: $("$driver" geometry "$window")"
frame=$("$driver" frame-geometry "$window")
close
[[ "$(stored_rectangle)" == "$frame" ]] || fail "stored $(stored_rectangle), the frame was $frame"

for run in 1 2 3 4 5; do
  start
  wait_for client_is 100 131 735 683 ||
    fail "start $run opened at $("$driver" geometry "$window") in a frame at $("$driver" frame-geometry "$window")"
  close
  [[ "$(stored_rectangle)" == "$frame" ]] || fail "start $run stored $(stored_rectangle), not $frame"
done

# No width, larger than any desktop, the corners of the integer range, flags without a rectangle.
for values in "0 1 100 100 100 500" "0 1 0 0 100000 100000" "0 1 -2147483648 -2147483648 2147483647 2147483647" \
  "0 3 -1 -1 -1 -1"; do
  read -r flags show left top right bottom <<<"$values"
  printf '[Application]\nCaptureApiFamily=1\n[MainWindow]\nWindowPlacementFlags=%s\nWindowPlacementShowCmd=%s\n' \
    "$flags" "$show" >"$ini"
  printf 'WindowPlacementNormalPosition%s=%s\n' Left "$left" Top "$top" Right "$right" Bottom "$bottom" >>"$ini"
  start
  default_size() {
    read -r _ _ width height < <("$driver" geometry "$window")
    [[ "$width $height" == "$default_width $default_height" ]]
  }
  wait_for default_size || fail "$values opened as $("$driver" geometry "$window")"
  wait_for framed || fail "openbox did not frame the window"
  # A window a user can move; where it ends up is what the file must hold.
  "$driver" move-resize "$window" 150 160 "$default_width" "$default_height"
  wait_for client_is 150 160 "$default_width" "$default_height" || fail "$values: the window did not move"
  frame=$("$driver" frame-geometry "$window")
  close
  [[ "$(stored_rectangle)" == "$frame" ]] || fail "$values: stored $(stored_rectangle), the frame was $frame"
done
echo "passed"
