#!/usr/bin/env bash
# The Debian package as a user meets it: built with CPack, installed with apt-get on this machine
# (its dependencies from the archive), the command line and the window started from the installed
# files as an ordinary user, on the test camera under Xvfb. Afterwards the machine is as before:
# a package that was not installed before is purged again, one that was stays (now this build's).
# Usage: InstallPackage.sh BUILD_DIR
set -euo pipefail
if [[ -z "${INSTALL_PACKAGE_DISPLAY:-}" ]]; then
  exec "$(dirname "$0")/../../tools/x11-driver/with-xvfb" env INSTALL_PACKAGE_DISPLAY=1 "$0" "$@"
fi
build=$(cd "$1" && pwd)
driver=$build/tools/x11-driver/x11-driver
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq)

work=$(mktemp -d)
chmod 755 "$work"
pid=
was_installed=
[[ "$(dpkg-query -W -f='${Status}' vistel-capture 2>/dev/null || true)" == "install ok installed" ]] &&
  was_installed=1
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
  [[ -n "$was_installed" ]] || "${apt[@]}" purge vistel-capture >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log") || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(echo "$work"/package/vistel-capture_*.deb)
[[ -f "$deb" ]] || fail "no package was made"
# Reinstalled even when the same version is there already, so this build is what runs.
"${apt[@]}" install --reinstall --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "the package does not install"; }

files=$(dpkg -L vistel-capture)
for path in /usr/bin/vistel-capture /usr/bin/vistel-capture-cli /usr/lib/vistel-capture/VistelCapture \
  /usr/lib/vistel-capture/vistel-capture-cli /usr/share/applications/vistel-capture.desktop; do
  grep -qx "$path" <<<"$files" || fail "$path is not in the package"
done
! grep -q '^/usr/include\|^/usr/lib/cmake\|^/usr/bin/.*\.so$' <<<"$files" ||
  fail "the package holds files for plug-in authors or plug-ins in bin/"
grep -qx 'Exec=vistel-capture' /usr/share/applications/vistel-capture.desktop ||
  fail "the menu entry does not start the command on PATH"

# An ordinary user: the installed folder is not theirs, so the settings go to their own folder.
user=()
if [[ $(id -u) -eq 0 ]]; then
  user=(runuser -u nobody --)
  chown nobody "$work"
fi
mkdir -p "$work/gstreamer" "$work/config/VistelCapture"
cp "$build"/gstreamer/*.so "$work/gstreamer/"
printf '[Application]\nCaptureApiFamily=1\n' >"$work/config/VistelCapture/VistelCapture.ini"
[[ $(id -u) -eq 0 ]] && chown -R nobody "$work/gstreamer" "$work/config"
run() {
  "${user[@]}" env HOME="$work" XDG_CONFIG_HOME="$work/config" GST_PLUGIN_PATH="$work/gstreamer" \
    GST_REGISTRY="$work/gstreamer/registry.bin" "$@"
}

list=$(run vistel-capture-cli --api-family 1 list) || fail "vistel-capture-cli list failed"
grep -q "Norvex Test Camera 1" <<<"$list" || fail "the installed command line lists no test camera: $list"
grep -q "フォーカスピーキング" <<<"$list" || fail "the installed command line finds no shipped processor: $list"
# FFmpeg is opened by name only when a movie is recorded: the package must have brought it.
run sh -c "cd '$work' && vistel-capture-cli --api-family 1 --quiet --file-format h264 record movie.mp4 --frames 3" \
  >/dev/null || fail "the installed command line does not record a movie"
[[ -s "$work/movie.mp4" ]] || fail "the installed command line wrote no movie"

run vistel-capture &
pid=$!
window=$("$driver" wait-window "Vistel Capture" 30) || fail "the installed program shows no window"
"$driver" focus "$window"
"$driver" key space
bars=0
for _ in $(seq 150); do
  read -r x y w h < <("$driver" geometry "$window")
  bars=$("$driver" count-colour 255 255 0 40 "$x" "$y" "$w" "$h")
  ((bars > 10000)) && break
  sleep 0.2
done
((bars > 10000)) || fail "the installed program shows no picture of the test camera"
"$driver" close "$window"
status=0
wait "$pid" || status=$?
pid=
[[ $status -eq 0 ]] || fail "the installed program ended with $status"
[[ ! -e /usr/lib/vistel-capture/VistelCapture.ini ]] || [[ -n "$was_installed" ]] ||
  fail "the program wrote its settings into the installed folder"
echo "passed: $(basename "$deb") installs, lists the test cameras and shows their picture"
