# Sourced by the preview benchmarks and the window's end-to-end tests: window_ini FILE RATIO WIDTH
# HEIGHT writes the program's settings for test camera 1 at 1920x1080 YUY2, at the view ratio
# RATIO, without the side pane, the marker and the profiles, in a window of WIDTH x HEIGHT at the
# screen's top left.
window_ini() {
  cat >"$1" <<INI
[Application]
CaptureApiFamily=1
[Settings]
CaptureDeviceName=norvextestcamera:1
FrameFormatName=YUY2 1920x1080 (30fps)
ViewRatio=$2
IsMarkerVisible=0
IsProfileVisible=0
IsSidePaneVisible=0
[MainWindow]
WindowPlacementFlags=0
WindowPlacementShowCmd=1
WindowPlacementNormalPositionLeft=0
WindowPlacementNormalPositionTop=0
WindowPlacementNormalPositionRight=$3
WindowPlacementNormalPositionBottom=$4
INI
}
