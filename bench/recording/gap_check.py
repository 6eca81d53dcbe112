#!/usr/bin/python3
"""Gap check: records H.264 from the GStreamer test camera with the command-line program while
other busy processes load the machine, then lists the file's packet times and checks that every
frame handed to the writer is in the file and that no two frames lie further apart than the limit.

    bench/recording/gap_check.py BUILD_DIR [--seconds 120] [--busy 2] [--limit-ms 100]
                                 [--format "YUY2 1920x1080 (30fps)"] [--bit-rate 8000]
                                 [--baseline]

The test camera is live and drops nothing: a frame its streaming thread could not deliver on time
comes late, and the frame rate falls. With --baseline two runs come first, under the same load
and for as long: the same camera, format and conversion to BGRA without the program (a GStreamer
pipeline into an appsink, arrival times taken as the program takes them), and the program
streaming the camera through its model without recording (its frame rate). They tell the gaps
and the frame rate the camera path gives by itself, to set beside the recording's.

The busy processes run at the recorder's priority (nice 0) and are killed afterwards. Settings
go to a temporary HOME, so the user's own are left alone. Exit status 0 when the file holds
every frame recorded and has no gap over the limit. Not part of the test suite: a run takes
minutes.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time


def start_busy(count):
    return [subprocess.Popen(["nice", "-n", "0", "sh", "-c", "while :; do :; done"], start_new_session=True)
            for _ in range(count)]


def stop_busy(processes):
    for process in processes:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()


def packet_times(path):
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
         "-of", "csv=p=0", path],
        capture_output=True, text=True, timeout=600, check=True)
    return sorted(float(line.split(",")[0]) for line in result.stdout.split() if line.strip())


def describe(name, times, limit):
    gaps = [(later - earlier, earlier) for earlier, later in zip(times, times[1:])]
    over = [(gap, at) for gap, at in gaps if gap > limit]
    span = times[-1] - times[0] if len(times) > 1 else 0
    print("%s: %d frames over %.2f s (%.2f fps); largest gap %.0f ms; gaps over 50 ms: %d; over %.0f ms: %d"
          % (name, len(times), span, (len(times) - 1) / span if span else 0,
             1000 * max((gap for gap, _ in gaps), default=0), sum(1 for gap, _ in gaps if gap > 0.05),
             1000 * limit, len(over)))
    for gap, at in over[:20]:
        print("    %.0f ms after %.3f s" % (1000 * gap, at - times[0]))
    return over


def baseline(seconds, camera_format):
    """Arrival times of the test camera's frames as BGRA at an appsink, with no recorder."""
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    match = re.match(r"(\w+) (\d+)x(\d+) \((\d+)fps\)", camera_format)
    layout, width, height, rate = match.group(1), match.group(2), match.group(3), match.group(4)
    layout = {"YUY2": "YUY2", "UYVY": "UYVY"}.get(layout, layout)
    monitor = Gst.DeviceMonitor.new()
    monitor.add_filter("Video/Source", None)
    monitor.start()
    devices = [device for device in monitor.get_devices() if device.get_display_name().startswith("Norvex Test")]
    monitor.stop()
    devices.sort(key=lambda device: device.get_display_name())
    source = devices[0].create_element(None)
    pipeline = Gst.Pipeline.new(None)
    caps = Gst.ElementFactory.make("capsfilter")
    caps.set_property("caps", Gst.Caps.from_string(
        "video/x-raw,format=%s,width=%s,height=%s,framerate=%s/1" % (layout, width, height, rate)))
    convert = Gst.ElementFactory.make("videoconvert")
    sink = Gst.ElementFactory.make("appsink")
    sink.set_property("caps", Gst.Caps.from_string("video/x-raw,format=BGRA"))
    sink.set_property("sync", False)
    sink.set_property("emit-signals", True)
    for element in (source, caps, convert, sink):
        pipeline.add(element)
    source.link(caps)
    caps.link(convert)
    convert.link(sink)
    times = []

    def on_sample(appsink):
        appsink.emit("pull-sample")
        times.append(time.monotonic())
        return Gst.FlowReturn.OK

    sink.connect("new-sample", on_sample)
    pipeline.set_state(Gst.State.PLAYING)
    time.sleep(seconds)
    pipeline.set_state(Gst.State.NULL)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--busy", type=int, default=2)
    parser.add_argument("--limit-ms", type=float, default=100)
    parser.add_argument("--format", default="YUY2 1920x1080 (30fps)")
    parser.add_argument("--bit-rate", default="8000")
    parser.add_argument("--baseline", action="store_true")
    arguments = parser.parse_args()

    build = os.path.abspath(arguments.build_dir)
    cli = os.path.join(build, "bin", "vistel-capture-cli")
    os.environ["GST_PLUGIN_PATH"] = os.path.join(build, "gstreamer")
    os.environ["GST_REGISTRY"] = os.path.join(build, "gstreamer-registry.bin")
    limit = arguments.limit_ms / 1000
    with tempfile.TemporaryDirectory() as folder:
        os.environ["HOME"] = folder
        os.environ.pop("XDG_CONFIG_HOME", None)
        path = os.path.join(folder, "gaps.mp4")
        busy = start_busy(arguments.busy)
        try:
            print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())
            camera_times = baseline(arguments.seconds, arguments.format) if arguments.baseline else None
            streamed = subprocess.run(
                [cli, "--api-family", "1", "--device", "0", "--format", arguments.format, "stream", "--seconds",
                 str(arguments.seconds)], cwd=folder, capture_output=True, text=True,
                timeout=arguments.seconds + 600).stdout.strip() if arguments.baseline else None
            started = time.monotonic()
            run = subprocess.run(
                [cli, "--api-family", "1", "--device", "0", "--format", arguments.format, "--file-format",
                 "h264", "--bit-rate", arguments.bit_rate, "record", path, "--seconds", str(arguments.seconds)],
                cwd=folder, capture_output=True, text=True, timeout=arguments.seconds + 600)
            took = time.monotonic() - started
            print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())
        finally:
            stop_busy(busy)
        counts = re.findall(r"recorded (\d+) frames", run.stderr)
        recorded = int(counts[-1]) if counts else -1
        print("recorder: exit status %d after %.1f s, recorded %d frames%s"
              % (run.returncode, took, recorded,
                 "" if run.returncode == 0 else "\n" + run.stderr.strip().split("\r")[-1]))
        if camera_times is not None:
            describe("camera alone (appsink arrivals)", camera_times, limit)
            print("program streaming without recording: %s" % streamed)
        times = packet_times(path) if os.path.exists(path) else []
        over = describe("recording (file's packet times)", times, limit)
    complete = run.returncode == 0 and recorded == len(times) and recorded > 0
    print("every frame recorded is in the file: %s" % ("yes" if complete else "NO"))
    print("no gap over %.0f ms: %s" % (arguments.limit_ms, "yes" if not over else "NO"))
    sys.exit(0 if complete and not over else 1)


if __name__ == "__main__":
    main()
