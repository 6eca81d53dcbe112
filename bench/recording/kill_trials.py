#!/usr/bin/env python3
"""Kill trials: records with the command-line program on the test camera, kills it with SIGKILL at
a random moment, and counts the frames the file still yields against the frames written.

    bench/recording/kill_trials.py BUILD_DIR [--trials N] [--big N] [--seed S] [--formats avi,...]

For each movie format (avi, wmv1, wmv2, h264) N recordings (default 10) are killed 0.3 to 4 s
after their first frame. With --big N, N AVI recordings at 1280x720 are killed 0 to 2 s after
the file passed 1 GiB (about 1.2 GiB of disk each, removed after the trial).

"written" is the recorder's last progress count before the kill (a frame or two may have been
saved after it); "ffmpeg" and "gstreamer" are the frames each reader decodes from the file as
the kill left it. Not part of the test suite: a run takes several minutes.
"""

import argparse
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

FRAME_RATE = 30.0  # of the test camera's formats used here


def count_ffmpeg(path):
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
         "stream=nb_read_frames", "-of", "csv=p=0", path],
        capture_output=True, text=True, timeout=600)
    text = result.stdout.strip().split("\n")[0] if result.stdout.strip() else ""
    return int(text) if text.isdigit() else 0


def count_gstreamer(path):
    demuxer = {"avi": "avidemux", "mp4": "qtdemux", "wmv": "asfdemux"}[path.rsplit(".", 1)[1]]
    result = subprocess.run(
        "gst-launch-1.0 filesrc location='%s' ! %s ! fakesink silent=false -v 2>&1"
        " | grep -c 'last-message = chain'" % (path, demuxer),
        shell=True, capture_output=True, text=True, timeout=600)
    text = result.stdout.strip()
    return int(text) if text.isdigit() else 0


def trial(cli, folder, file_format, camera_format, kill_after, big):
    extension = {"avi": "avi", "wmv1": "wmv", "wmv2": "wmv", "h264": "mp4"}[file_format]
    path = os.path.join(folder, "trial." + extension)
    process = subprocess.Popen(
        [cli, "--api-family", "1", "--format", camera_format, "--file-format", file_format, "record",
         path, "--seconds", "600"],
        cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    output = b""
    written = 0
    first_frame = None
    deadline = None
    try:
        while True:
            ready, _, _ = select.select([process.stderr], [], [], 0.01)
            if ready:
                chunk = os.read(process.stderr.fileno(), 65536)
                if not chunk:
                    break
                output += chunk
                counts = re.findall(rb"recorded (\d+) frames", output[-200:])
                if counts:
                    written = int(counts[-1])
                    if first_frame is None and written > 0:
                        first_frame = time.monotonic()
                        if not big:
                            deadline = first_frame + kill_after
            if big and deadline is None and os.path.exists(path) and os.path.getsize(path) > (1 << 30):
                deadline = time.monotonic() + kill_after
            if deadline is not None and time.monotonic() >= deadline:
                process.send_signal(signal.SIGKILL)
                break
    finally:
        process.kill()
        process.wait()
    size = os.path.getsize(path) if os.path.exists(path) else 0
    by_ffmpeg = count_ffmpeg(path) if size else 0
    by_gstreamer = count_gstreamer(path) if size else 0
    os.remove(path) if os.path.exists(path) else None
    return written, by_ffmpeg, by_gstreamer, size


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--big", type=int, default=0)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--formats", default="avi,wmv1,wmv2,h264")
    arguments = parser.parse_args()

    build = os.path.abspath(arguments.build_dir)
    cli = os.path.join(build, "bin", "vistel-capture-cli")
    os.environ["GST_PLUGIN_PATH"] = os.path.join(build, "gstreamer")
    os.environ["GST_REGISTRY"] = os.path.join(build, "gstreamer-registry.bin")
    rng = random.Random(arguments.seed)
    print("seed %d" % arguments.seed)
    print("%-7s %6s %8s %7s %9s %11s %14s" % ("file", "kill s", "written", "ffmpeg", "gstreamer",
                                              "lost ffmpeg", "lost gstreamer"))
    plan = [(f, "0", False) for f in arguments.formats.split(",") for _ in range(arguments.trials)]
    plan += [("avi", "2", True)] * arguments.big
    summary = {}
    with tempfile.TemporaryDirectory() as folder:
        for file_format, camera_format, big in plan:
            kill_after = rng.uniform(0.0, 2.0) if big else rng.uniform(0.3, 4.0)
            written, by_ffmpeg, by_gstreamer, size = trial(cli, folder, file_format, camera_format,
                                                           kill_after, big)
            # Negative: frames saved after the last progress line.
            lost = (written - by_ffmpeg, written - by_gstreamer)
            name = file_format + (">1G" if big else "")
            print("%-7s %6.2f %8d %7d %9d %11d %14d%s" % (
                name, kill_after, written, by_ffmpeg, by_gstreamer, lost[0], lost[1],
                "  (%.2f GiB)" % (size / (1 << 30)) if big else ""))
            sys.stdout.flush()
            summary.setdefault(name, []).append(lost)
    print()
    for name, losses in summary.items():
        for reader, index in (("ffmpeg", 0), ("gstreamer", 1)):
            values = [lost[index] for lost in losses]
            print("%-7s %-9s trials %2d  lost frames: min %d, max %d, mean %.1f (max %.2f s at %g fps)" % (
                name, reader, len(values), min(values), max(values), sum(values) / len(values),
                max(values) / FRAME_RATE, FRAME_RATE))


if __name__ == "__main__":
    main()
