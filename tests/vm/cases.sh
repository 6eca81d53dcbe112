# The VM stage's cases, sourced in the guest by tests/vm/guest with $repo and $build set. Every case
# runs in a shell of its own (set -euo pipefail) against a freshly loaded vivid, with a time limit;
# run_cases prints ctest-style lines and writes "PASSED FAILED" to the results folder.

# NAME|vivid's module options|what the case shows. Options are per instance (comma lists).
cases=(
  "list.formats-and-paths|node_types=1 num_inputs=1|name, persistent path and every size and rate of a webcam"
  "stream.yuv-packed|node_types=1 num_inputs=1|YUYV, UYVY, YVYU colour bars exact"
  "stream.yuv-planar|node_types=1 num_inputs=1|YU12, YV12, NV12, NV21, NV16, 422P colour bars exact"
  "stream.rgb|node_types=1 num_inputs=1|RGB3, BGR3, BGR4, XR24, AR24, RGBP, RGBO colour bars exact"
  "stream.grey|node_types=1 num_inputs=1|GREY, Y16 bars exact"
  "stream.bayer|node_types=1 num_inputs=1|the four 8-bit Bayer layouts' colour bars exact"
  "stream.multiplanar|node_types=1 num_inputs=1 multiplanar=2|NM12, NM21, NM16, YM12, YM21, YM16 and YUYV through the multi-planar API, colour bars exact"
  "list.node-path|node_types=1 num_inputs=1|--device takes the node's own path as well as its udev link"
  "snapshot.stills|node_types=1 num_inputs=1|PNG, BMP and TIFF snapshots exact, JPEG readable"
  "record.avi|node_types=1 num_inputs=1|an AVI of exactly N frames, its pictures exact"
  "record.mp4|node_types=1 num_inputs=1|an H.264 MP4 of exactly N frames"
  "controls.v4l2-ctl|node_types=1 num_inputs=1|picture controls set here read by v4l2-ctl and back"
  "errors.start|node_types=1 num_inputs=1|REQBUFS, QBUF and STREAMON errors fail a snapshot, the next works"
  "errors.dropped-buffers|node_types=1 num_inputs=1|buffers vivid drops are counted"
  "errors.damaged-buffer|node_types=1 num_inputs=1|a buffer flagged as damaged is counted, not shown"
  "errors.queue|node_types=1 num_inputs=1|videobuf2's queue error ends a recording with an error"
  "errors.disconnect|node_types=1 num_inputs=1|a disconnect ends a recording with an error"
  "errors.unbind-rebind|node_types=1 num_inputs=1|an unbound driver ends a recording; rebound, it captures"
  "capture-card.timings|node_types=1 num_inputs=1 input_types=3|an HDMI input's timings taken before the format at two signal sizes; the default format the signal's"
  "capture-card.no-signal|node_types=1 num_inputs=1 input_types=3|no signal, no lock and a signal out of range each said as such; a signal back captures"
  "capture-card.source-change|node_types=1 num_inputs=1 input_types=3|a recording goes on through new timings of the same size; another size or a lost signal ends it, saying so"
  "capture-card.limited-rgb|node_types=1 num_inputs=1 input_types=3|RGB at a CE timing in full range, and stated as limited range shown in full range"
  "capture-card.follow|node_types=1 num_inputs=1 input_types=3|a signal of another listed size is followed: stills go on at 1080p, a movie ends finished"
  "hotplug.wait|node_types=1 num_inputs=1|a command line started without a camera takes vivid's node once udev announces it"
  "controls.set-and-list|node_types=1 num_inputs=1|--set keeps a control's value, applied at the start; controls lists it with its range"
)

node=/dev/video0
link=/dev/v4l/by-path/platform-vivid.0-video-index0
case_timeout=${VM_CASE_TIMEOUT:-180}

cli() {
  "$build/bin/vistel-capture-cli" --api-family 0 "$@"
}
check() {
  "$build/tests/vivid-check" "$@"
}
fail() {
  echo "FAILED: $*"
  exit 1
}
# expect_line TEXT PATTERN: TEXT has a line matching the extended regular expression.
expect_line() {
  grep -Eq -- "$2" <<<"$1" || fail "no line matching '$2' in:"$'\n'"$1"
}
# The value of "KEY VALUE" lines that vivid-check count prints.
value_of() {
  awk -v key="$1" '$1 == key { print $2 }' <<<"$2"
}
# wait_for SECONDS COMMAND...: until COMMAND succeeds, polling; fails the case after SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || fail "waited in vain for: $*"
    sleep 0.2
  done
}

# vivid with the given options and nothing else loaded; its pattern made the 100% colour bars
# without on-screen text, so every picture is known.
load_vivid() {
  modprobe -r vivid 2>/dev/null || true
  modprobe vivid "$@" || return 1
  udevadm settle --timeout=60
  local node_path
  for node_path in /dev/video*; do
    v4l2-ctl -d "$node_path" -c test_pattern=1,osd_text_mode=2 >/dev/null 2>&1 || true
  done
}

# Records stills until the first is saved, then runs COMMAND; the recording must end by itself
# with an error (exit 1) within a minute.
recording_ends_after() {
  rm -rf /tmp/frames
  mkdir /tmp/frames
  cli record /tmp/frames --seconds 600 --file-format bmp --quiet >/tmp/record.out 2>&1 &
  local recorder=$!
  wait_for 60 compgen -G "/tmp/frames/*.bmp"
  "$@"
  local status=0
  timeout 60 tail --pid=$recorder -f /dev/null || fail "the recording went on after: $*"
  wait $recorder || status=$?
  ((status == 1)) || fail "the recording ended with status $status, not 1: $(cat /tmp/record.out)"
  expect_line "$(cat /tmp/record.out)" '^vistel-capture-cli: /tmp/frames: .+'
  cat /tmp/record.out
}

case_list.formats-and-paths() {
  local listing
  listing=$(cli list)
  echo "$listing" | grep -v '  format'
  expect_line "$listing" '^device 0: vivid$'
  expect_line "$listing" "^  path: $link\$"
  [[ $(readlink -f "$link") == "$node" ]] || fail "$link does not lead to $node"
  ! grep -q '^device 1' <<<"$listing" || fail "one capture node, more devices listed"
  # Every size and rate the driver lists for YUYV is one format of ours, no more, no less.
  local kernel ours
  kernel=$(v4l2-ctl -d $node --list-formats-ext | awk '/\[[0-9]+\]/ { yuyv = /.YUYV./ } yuyv && /Interval/' | wc -l)
  ours=$(grep -c '  format [0-9]*: YUY2 ' <<<"$listing")
  echo "YUYV: $kernel sizes and rates from the driver, $ours formats listed"
  ((kernel > 0 && ours == kernel)) || fail "YUYV has $kernel sizes and rates, $ours formats listed"
  expect_line "$listing" '^  format [0-9]+: YUY2 640x360 \(30fps\)$'
  expect_line "$listing" '^  format [0-9]+: YUY2 3840x2160 \(2fps\)$'
  expect_line "$listing" '^  format [0-9]+: NV12 1280x720 \(12\.5fps\)$'
}

case_stream.yuv-packed() {
  check bars $node YUYV UYVY YVYU
}
case_stream.yuv-planar() {
  check bars $node YU12 YV12 NV12 NV21 NV16 422P
}
case_stream.rgb() {
  check bars $node RGB3 BGR3 BGR4 XR24 AR24 RGBP RGBO
}
case_stream.grey() {
  check bars $node GREY Y16
}
case_stream.bayer() {
  check bars $node BA81 GBRG GRBG RGGB
}
# vivid with multiplanar=2 offers only the multi-planar API, as many capture cards do; each plane
# is a buffer of its own.
case_stream.multiplanar() {
  v4l2-ctl -d $node --info | grep -q 'Video Capture Multiplanar' || fail "vivid did not make a multi-planar node"
  check bars $node NM12 NM21 NM16 YM12 YM21 YM16 YUYV
}

# A desktop's udev always makes a link; the node's own path names the same camera.
case_list.node-path() {
  cli --device $node snapshot /tmp/by-node.bmp
  cli --device $link snapshot /tmp/by-link.bmp
  keep /tmp/by-node.bmp bmp 640 360 1 YUYV
  keep /tmp/by-link.bmp bmp 640 360 1 YUYV
}

# keep FILE CODEC WIDTH HEIGHT FRAMES FOURCC: hands a file the case made to the host, where
# tests/vm/run has ffprobe read it natively (FFmpeg's programs load some 200 libraries, which
# takes the emulated guest half a minute each time): its first video stream must have that codec,
# size and number of frames, and, where FOURCC is not "-", every frame must show the colour bars
# as vivid-check expects them from that pixel format.
keep() {
  local folder="$results/files/$case_name"
  mkdir -p "$folder"
  cp "$1" "$folder/"
  echo "$(basename "$1") ${*:2}" >>"$folder/expected"
}

case_snapshot.stills() {
  local format="YUY2 640x360 (10fps)" extension codec
  for extension in png bmp tiff jpeg; do
    cli snapshot /tmp/still.$extension --format "$format"
    case $extension in png) codec=png ;; bmp) codec=bmp ;; tiff) codec=tiff ;; jpeg) codec=mjpeg ;; esac
    if [[ $extension == jpeg ]]; then
      keep /tmp/still.$extension $codec 640 360 1 -
    else
      keep /tmp/still.$extension $codec 640 360 1 YUYV
    fi
  done
}

case_record.avi() {
  cli record /tmp/movie.avi --frames 12 --format "RGB24 320x180 (10fps)" --quiet
  keep /tmp/movie.avi rawvideo 320 180 12 BGR3
}

case_record.mp4() {
  cli record /tmp/movie.mp4 --frames 12 --format "YUY2 320x180 (10fps)" --quiet
  keep /tmp/movie.mp4 h264 320 180 12 -
}

case_controls.v4l2-ctl() {
  check controls $node
}

case_errors.start() {
  local control status step
  for control in inject_vidioc_reqbufs_error inject_vidioc_qbuf_error inject_vidioc_streamon_error; do
    v4l2-ctl -d $node -c $control=1
    status=0
    cli snapshot /tmp/failed.png >/tmp/snapshot.out 2>&1 || status=$?
    ((status == 1)) || fail "$control: the snapshot ended with $status, not 1: $(cat /tmp/snapshot.out)"
    echo "$control: $(cat /tmp/snapshot.out)"
    # The message names the step and the device: "VIDIOC_QBUF on /dev/video0: ..."
    step=${control#inject_vidioc_}
    step=VIDIOC_${step%_error}
    expect_line "$(cat /tmp/snapshot.out)" "^vistel-capture-cli: ${step^^} on $node: .+"
    [[ ! -e /tmp/failed.png ]] || fail "$control: a failed snapshot left a file"
    cli snapshot /tmp/after.png >/dev/null || fail "$control: the next snapshot failed"
  done
}

case_errors.dropped-buffers() {
  v4l2-ctl -d $node -c percentage_of_dropped_buffers=50
  local result
  result=$(check count $node 8)
  echo "$result"
  (($(value_of pictures "$result") == 8)) || fail "not all pictures came"
  (($(value_of dropped "$result") >= 2)) || fail "half the buffers dropped, fewer than 2 counted"
}

case_errors.damaged-buffer() {
  local result
  # At vivid's first format, one picture a second: a late guest does not skip a buffer.
  result=$(check count $node 6 inject_v4l2_buf_flag_error)
  echo "$result"
  (($(value_of pictures "$result") == 6)) || fail "capture did not go on after a damaged buffer"
  (($(value_of dropped "$result") == 1)) || fail "one damaged buffer, not counted as one dropped"
  (($(value_of started "$result") == 1)) || fail "a damaged buffer stopped the stream"
}

case_errors.queue() {
  recording_ends_after v4l2-ctl -d $node -c inject_fatal_streaming_error=1
  cli snapshot /tmp/after.png >/dev/null || fail "no snapshot after the queue error"
}

case_errors.disconnect() {
  recording_ends_after v4l2-ctl -d $node -c disconnect=1
}

unbind() {
  echo vivid.0 >/sys/bus/platform/drivers/vivid/unbind
}

case_errors.unbind-rebind() {
  recording_ends_after unbind
  echo vivid.0 >/sys/bus/platform/drivers/vivid/bind
  udevadm settle --timeout=60
  v4l2-ctl -d $node -c test_pattern=1,osd_text_mode=2
  cli snapshot /tmp/rebound.bmp
  keep /tmp/rebound.bmp bmp 640 360 1 YUYV # vivid's current format, the default on a fresh INI
}

# vivid's HDMI input: the signal's timings are chosen with its controls, and a change sends the
# source-change event a capture card sends.
signal() {
  case $1 in
  none) v4l2-ctl -d $node -c dv_timings_signal_mode=1 ;;
  no-lock) v4l2-ctl -d $node -c dv_timings_signal_mode=2 ;;
  out-of-range) v4l2-ctl -d $node -c dv_timings_signal_mode=3 ;;
  720p60) v4l2-ctl -d $node -c dv_timings_signal_mode=4,dv_timings=9 ;;
  720p50) v4l2-ctl -d $node -c dv_timings_signal_mode=4,dv_timings=8 ;;
  1080p30) v4l2-ctl -d $node -c dv_timings_signal_mode=4,dv_timings=12 ;;
  480p59) v4l2-ctl -d $node -c dv_timings_signal_mode=4,dv_timings=2 ;;
  esac
}

case_capture-card.timings() {
  local listing
  listing=$(cli list)
  expect_line "$listing" '^  format [0-9]+: YUY2 1280x720 \(60fps\)$'
  # vivid's bars at an HDMI input are BT.709 (YUYV) or limited-range RGB, for which the bar
  # tables here are not made: the pictures are checked for size and count only.
  cli snapshot /tmp/hdmi-720p.bmp --format "YUY2 1280x720 (60fps)"
  keep /tmp/hdmi-720p.bmp bmp 1280 720 1 -
  # The driver keeps the timings set until S_DV_TIMINGS; a format at the new signal's size works.
  signal 1080p30
  cli snapshot /tmp/hdmi-1080p.png --format "YUY2 1920x1080 (60fps)"
  keep /tmp/hdmi-1080p.png png 1920 1080 1 -
  # A fresh INI takes the driver's current format; once set, that is the signal's size.
  rm -f "$build"/bin/*.ini
  cli snapshot /tmp/hdmi-default.bmp
  keep /tmp/hdmi-default.bmp bmp 1920 1080 1 -
}

case_capture-card.no-signal() {
  local state message status
  for state in none no-lock out-of-range; do
    signal $state
    case $state in
    out-of-range) message='入力信号のタイミングがこの機器で受けられる範囲の外です。' ;;
    *) message='入力信号がありません。' ;;
    esac
    status=0
    cli snapshot /tmp/failed.png >/tmp/snapshot.out 2>&1 || status=$?
    echo "$state: $(cat /tmp/snapshot.out)"
    ((status == 1)) || fail "$state: the snapshot ended with $status, not 1"
    expect_line "$(cat /tmp/snapshot.out)" "^vistel-capture-cli: VIDIOC_QUERY_DV_TIMINGS on $node: $message\$"
    [[ ! -e /tmp/failed.png ]] || fail "$state: a failed snapshot left a file"
  done
  signal 720p60
  cli snapshot /tmp/back.bmp || fail "no snapshot with the signal back"
}

# stills_after COUNT [EXTENSION]: waits until the recording in /tmp/frames holds COUNT more stills
# (JPEG unless told) than now.
stills_after() {
  local now extension=${2:-jpg}
  now=$(find /tmp/frames -name "*.$extension" | wc -l)
  wait_for 60 eval "(( \$(find /tmp/frames -name '*.$extension' | wc -l) >= $now + $1 ))"
}
new_timings_then() {
  signal 720p50
  stills_after 3
  kill -0 "$recorder" || fail "new timings of the same size ended the recording"
  signal "$1"
}

case_capture-card.source-change() {
  local recorder
  rm -rf /tmp/frames
  mkdir /tmp/frames
  cli record /tmp/frames --seconds 600 --file-format jpeg --quiet >/tmp/record.out 2>&1 &
  recorder=$!
  wait_for 60 compgen -G "/tmp/frames/*.jpg"
  new_timings_then 480p59
  local status=0
  timeout 60 tail --pid=$recorder -f /dev/null || fail "the recording went on at another size"
  wait $recorder || status=$?
  cat /tmp/record.out
  ((status == 1)) || fail "the recording ended with status $status, not 1"
  expect_line "$(cat /tmp/record.out)" "VIDIOC_QUERY_DV_TIMINGS on $node: 入力信号の解像度 720x480 はこの形式と違います。"

  signal 720p60
  recording_ends_after signal none
  expect_line "$(cat /tmp/record.out)" "VIDIOC_QUERY_DV_TIMINGS on $node: 入力信号がありません。"
}

# vivid's receiver hands a CE signal's R'G'B' on in full range; asked for limited range (its
# "Quantization" control), it says so in the format, and the bars must still come out at 0 and 255.
case_capture-card.limited-rgb() {
  check bars $node RGB3 XR24
  v4l2-ctl -d $node -c quantization=2
  v4l2-ctl -d $node --get-fmt-video | grep -i quantization
  check bars $node RGB3 XR24 BA81
}

# still_size FILE: a BMP's width and height.
still_size() {
  local width height
  read -r width height <<<"$(od -An -td4 -j18 -N8 "$1")"
  echo "${width}x${height#-}"
}
# newest_still_is SIZE: the newest still of the recording in /tmp/frames has that size.
newest_still_is() {
  local newest
  newest=$(find /tmp/frames -name '*.bmp' -printf '%T@ %p\n' | sort -n | tail -n 1 | cut -d' ' -f2)
  [[ -n $newest && $(still_size "$newest") == "$1" ]]
}

case_capture-card.follow() {
  rm -rf /tmp/frames
  mkdir /tmp/frames
  # Two stills a second, so the tmpfs holds them; the program itself in the background (not the
  # shell function), so the signal below reaches it.
  "$build/bin/vistel-capture-cli" --api-family 0 record /tmp/frames --seconds 600 --interval 0.5 \
    --file-format bmp --quiet >/tmp/record.out 2>&1 &
  local recorder=$!
  wait_for 60 newest_still_is 1280x720
  signal 1080p30
  wait_for 60 newest_still_is 1920x1080
  local first
  first=$(find /tmp/frames -name '*.bmp' | sort | head -n 1)
  stills_after 2 bmp
  kill -0 "$recorder" || fail "the still recording ended at the new size: $(cat /tmp/record.out)"
  keep "$first" bmp 1280 720 1 -
  keep "$(find /tmp/frames -name '*.bmp' | sort | tail -n 1)" bmp 1920 1080 1 -
  kill -TERM "$recorder"
  local status=0
  wait "$recorder" || status=$?
  ((status == 143)) || fail "the still recording ended with $status, not by the signal: $(cat /tmp/record.out)"
  ! grep -Eq 'VIDIOC|入力信号' /tmp/record.out || fail "the still recording said: $(cat /tmp/record.out)"

  # A movie cannot change its size: it ends with its file finished.
  cli record /tmp/movie.avi --seconds 600 >/tmp/record.out 2>&1 &
  recorder=$!
  wait_for 60 eval '(( $(stat -c %s /tmp/movie.avi 2>/dev/null || echo 0) > 13000000 ))'
  signal 720p60
  status=0
  timeout 60 tail --pid=$recorder -f /dev/null || fail "the movie went on at another size"
  wait $recorder || status=$?
  cat /tmp/record.out
  ((status == 1)) || fail "the movie ended with status $status, not 1"
  expect_line "$(cat /tmp/record.out)" '^vistel-capture-cli: /tmp/movie.avi: 入力信号の解像度が 1280x720 に変わったため、録画を終了しました。'
  local frames
  frames=$(grep -Eo 'recorded [0-9]+ frames' /tmp/record.out | grep -Eo '[0-9]+')
  keep /tmp/movie.avi rawvideo 1920 1080 "$frames" -
}

case_hotplug.wait() {
  unbind
  udevadm settle --timeout=60
  [[ ! -e $node ]] || fail "the node stayed after the unbind"
  cli --wait snapshot /tmp/waited.png >/tmp/wait.out 2>&1 &
  local pid=$!
  wait_for 30 grep -q "カメラが接続されていません" /tmp/wait.out
  echo vivid.0 >/sys/bus/platform/drivers/vivid/bind
  local status=0
  wait "$pid" || status=$?
  cat /tmp/wait.out
  ((status == 0)) || fail "the waiting snapshot ended with $status"
  [[ -s /tmp/waited.png ]] || fail "no snapshot of the camera that came"
}

case_controls.set-and-list() {
  local listed
  listed=$(cli --set Brightness=150 --set contrast=100 controls)
  echo "$listed"
  expect_line "$listed" '^Brightness \(明るさ\): 150  range 0\.\.255 step 1 default 128'
  expect_line "$listed" '^Contrast \(コントラスト\): 100 '
  # Kept for the camera: the next start applies it again, after another program changed it.
  v4l2-ctl -d $node -c brightness=10
  listed=$(cli controls)
  expect_line "$listed" '^Brightness \(明るさ\): 150 '
}

# report_line INDEX TOTAL NAME STATUS SECONDS LOG: a ctest-style line, and the log of a failure.
report_line() {
  local verdict=Passed
  if (($4 == 124)); then
    verdict="***Timeout"
  elif (($4 != 0)); then
    verdict="***Failed"
  fi
  printf '%2d/%d Test %4s: %s %s %s %4d sec\n' "$1" "$2" "#$1" "$3" \
    "$(printf '%*s' $((40 - ${#3})) '' | tr ' ' .)" "$verdict" "$5"
  (($4 == 0)) || sed 's/^/    /' "$6"
}

# run_cases RESULTS [PATTERN...]: the cases whose names match a pattern (all without one).
run_cases() {
  local results=$1
  shift
  mkdir -p "$results/cases"
  local selected=() entry name
  for entry in "${cases[@]}"; do
    name=${entry%%|*}
    if (($# == 0)); then
      selected+=("$entry")
    else
      local pattern
      for pattern in "$@"; do
        # shellcheck disable=SC2053
        if [[ $name == $pattern ]]; then
          selected+=("$entry")
          break
        fi
      done
    fi
  done
  local total=${#selected[@]} passed=0 failed=0 index=0
  echo "Test project $repo (VM stage, $(uname -r))"
  for entry in "${selected[@]}"; do
    index=$((index + 1))
    name=${entry%%|*}
    local options=${entry#*|}
    options=${options%%|*}
    local log="$results/cases/$name.log" start=$SECONDS status=0
    printf '      Start %2d: %s\n' "$index" "$name"
    {
      echo "vivid: $options"
      # shellcheck disable=SC2086
      if load_vivid $options; then
        rm -f "$build"/bin/*.ini "$build"/bin/*.ini.*
        repo=$repo build=$build results=$results case_name=$name timeout --kill-after=10 "$case_timeout" bash -c \
          'set -euo pipefail; source "$1/tests/vm/cases.sh"; cd /tmp; "case_$2"' -- "$repo" "$name" || status=$?
      else
        echo "FAILED: vivid did not load"
        status=1
      fi
    } >"$log" 2>&1
    if ((status == 0)); then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
    report_line "$index" "$total" "$name" "$status" $((SECONDS - start)) "$log"
  done
  echo "$passed $failed" >"$results/summary"
}
