#!/usr/bin/env bash
# The program as a user meets it: installed into a temporary prefix, started from its link on the
# test camera under Xvfb, capture started from the keyboard, the camera's picture seen on the
# screen, closed from the window system, and started again in the place where it was left.
# Usage: WindowEndToEnd.sh BUILD_DIR X11_DRIVER
set -euo pipefail
if [[ -z "${WINDOW_END_TO_END_DISPLAY:-}" ]]; then
  exec "$(dirname "$0")/../../tools/x11-driver/with-xvfb" env WINDOW_END_TO_END_DISPLAY=1 "$0" "$@"
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

cmake --install "$build" --prefix "$work/prefix" >/dev/null
folder=$work/prefix/lib/vistel-capture
ini=$folder/VistelCapture.ini
[[ "$(readlink "$work/prefix/bin/vistel-capture")" == ../lib/vistel-capture/VistelCapture ]] ||
  fail "bin/vistel-capture does not lead to the private folder"
# ~/.local/bin is not on PATH on a fresh Debian: a prefix of the user's starts by its full path.
grep -qx "Exec=$work/prefix/bin/vistel-capture" "$work/prefix/share/applications/vistel-capture.desktop" ||
  fail "the menu entry does not name the installed command"
[[ ! -e "$work/prefix/include" && ! -e "$work/prefix/lib/cmake" ]] ||
  fail "a plain install holds what only plug-in authors ask for"
! compgen -G "$work/prefix/bin/*.so" >/dev/null || fail "plug-ins installed into bin/"
[[ -f "$work/prefix/share/icons/hicolor/scalable/apps/vistel-capture.svg" ]] || fail "no icon"
for plugin in "$build"/bin/Vistel*.so; do
  [[ -e "$plugin" ]] || continue
  cmp -s "$plugin" "$folder/$(basename "$plugin")" || fail "$(basename "$plugin") not installed"
done
# A plug-in in the private folder is found by the program started through its link.
cp "$build/tests/plugins/libraries/VistelThree.so" "$folder/"
"$work/prefix/bin/vistel-capture-cli" --api-family 1 list | grep -q "Sharpen" ||
  fail "the installed program does not find the plug-ins beside it"

printf '[Application]\nCaptureApiFamily=1\n' >"$ini"

start() {
  "$work/prefix/bin/vistel-capture" &
  pid=$!
  window=$("$driver" wait-window "Vistel Capture" 30) || fail "no window"
}
close() {
  "$driver" close "$window"
  local status=0
  wait "$pid" || status=$?
  pid=
  [[ $status -eq 0 ]] || fail "the program ended with $status"
}
# Pixels of a colour of the test camera's bars inside the window, at most 40 levels off.
count() {
  read -r x y w h < <("$driver" geometry "$window")
  "$driver" count-colour "$1" "$2" "$3" 40 "$x" "$y" "$w" "$h"
}
shows_the_bars() { (($(count 255 255 0) > 10000 && $(count 0 255 255) > 10000)); }
placed_at() { [[ "$("$driver" geometry "$window")" == "$*" ]]; }

teal() { count 0 128 128; }

# Without a camera the window opens all the same, says so where the picture would be, and takes
# the test camera once it is plugged in (the provider's plug file, replaced whole). With
# WINDOW_END_TO_END_SCREENSHOTS=FOLDER both states are kept as pictures.
plugged=$work/plugged
: >"$plugged"
NORVEX_TEST_CAMERA_PLUGGED=$plugged start
# The preview's background fills the picture area while no camera gives a picture size.
wait_for eval '(($(teal) > 100000))' || fail "no empty preview area without a camera"
without=$(teal)
shot() {
  if [[ -n "${WINDOW_END_TO_END_SCREENSHOTS:-}" ]]; then
    read -r x y w h < <("$driver" geometry "$window")
    "$driver" screenshot "$WINDOW_END_TO_END_SCREENSHOTS/$1" "$x" "$y" "$w" "$h"
  fi
}
shot no-camera.png
printf '1\n' >"$plugged.new"
mv "$plugged.new" "$plugged"
# The camera's picture size takes the middle of the preview area.
camera_came() { (($(teal) < without / 2)); }
wait_for camera_came || fail "the camera plugged in did not appear ($without, $(teal))"
# The capture toggle takes the focus when it becomes usable: Space presses it.
"$driver" focus "$window"
"$driver" key space
wait_for shows_the_bars || fail "the camera plugged in does not stream after pressing 取り込み"
shot camera-plugged-in.png
close

start
(($(count 255 255 0) < 100)) || fail "the picture shows before capture starts"
# The capture toggle has the focus when the window opens: Space presses it.
"$driver" focus "$window"
"$driver" key space
wait_for shows_the_bars || fail "no frames on the screen after pressing 取り込み"
"$driver" move-resize "$window" 20 30 700 560
wait_for placed_at 20 30 700 560 || fail "the window did not move"
close
grep -q '^\[Settings\]' "$ini" || fail "no section Settings"
grep -q '^\[MainWindow\]' "$ini" || fail "no section MainWindow"
grep -q '^WindowPlacementNormalPositionRight=720$' "$ini" || fail "the placement was not written"

start
wait_for placed_at 20 30 700 560 || fail "the placement was not restored: $("$driver" geometry "$window")"
close
echo "passed"
