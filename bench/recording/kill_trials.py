#!/usr/bin/env python3
"""Kill trials: records with the command-line program on the test camera, kills it with SIGKILL at
a random moment, and measures what the file still yields.

    bench/recording/kill_trials.py BUILD_DIR [--trials N] [--big N] [--seed S]
                                   [--formats avi,wmv1,wmv2,wmv3,h264] [--pictures still,moving]
                                   [--camera-format F] [--bit-rate K]

For each movie format and picture, N recordings (default 10) are killed 0.3 to 4 s after their
first frame. "still" is the test camera's bars (a WMV codes them to P frames of a few bytes, the
hardest case for a packet that waits to fill), "moving" the same with the moving square and the
frame counter drawn over them (NORVEX_TEST_CAMERA_MOTION). With --big N, N AVI recordings at
1280x720 are killed 0 to 2 s after the file passed 1 GiB (about 1.2 GiB of disk each, removed
after the trial).

Per trial: "written", the recorder's last progress count before the kill (a frame or two may
have been saved after it); "ffmpeg" and "gstreamer", the frames each reader decodes from the file
as the kill left it; "lines", the time-stamp file's lines (one for each frame in the file, so it
should equal "ffmpeg"); "gap", from the capture of the last frame FFmpeg decodes (its line's wall
clock) to the kill, the time a user loses. The progress line is read through a pseudo-terminal,
as the program prints it only to one. Not part of the test suite: a run takes several minutes.
"""

import argparse
import csv
import datetime
import os
import pty
import random
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

FRAME_RATE = 30.0  # of the test camera's formats used here
EXTENSIONS = {"avi": "avi", "wmv1": "wmv", "wmv2": "wmv", "wmv3": "wmv", "h264": "mp4"}


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


def capture_times(path):
    """The wall-clock capture time (seconds since the epoch) of each line of a time-stamp file."""
    if not os.path.exists(path):
        return []
    with open(path, newline="") as file:
        rows = list(csv.DictReader(file))
    times = []
    for row in rows:
        try:
            times.append(datetime.datetime.fromisoformat(row["wall_clock"]).timestamp())
        except (KeyError, TypeError, ValueError):
            break  # a line cut short by the kill
    return times


def trial(cli, folder, file_format, camera_format, bit_rate, kill_after, big):
    path = os.path.join(folder, "trial." + EXTENSIONS[file_format])
    lines_path = path + ".frames.csv"
    command = [cli, "--api-family", "1", "--format", camera_format, "--file-format", file_format,
               "--timestamps", "record", path, "--seconds", "600"]
    if bit_rate:
        command[1:1] = ["--bit-rate", bit_rate]
    terminal, program_side = pty.openpty()
    process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=program_side, start_new_session=True)
    os.close(program_side)
    output = b""
    written = 0
    deadline = None
    killed_at = None
    try:
        while process.poll() is None:
            ready, _, _ = select.select([terminal], [], [], 0.005)
            if ready:
                try:
                    chunk = os.read(terminal, 65536)
                except OSError:
                    break
                output += chunk
                counts = re.findall(rb"recorded (\d+) frames", output[-200:])
                if counts:
                    written = int(counts[-1])
                    if deadline is None and written > 0 and not big:
                        deadline = time.monotonic() + kill_after
            if big and deadline is None and os.path.exists(path) and os.path.getsize(path) > (1 << 30):
                deadline = time.monotonic() + kill_after
            if deadline is not None and time.monotonic() >= deadline:
                killed_at = time.time()
                process.send_signal(signal.SIGKILL)
                break
    finally:
        process.kill()
        process.wait()
        os.close(terminal)
    size = os.path.getsize(path) if os.path.exists(path) else 0
    by_ffmpeg = count_ffmpeg(path) if size else 0
    by_gstreamer = count_gstreamer(path) if size else 0
    times = capture_times(lines_path)
    gap = killed_at - times[by_ffmpeg - 1] if killed_at and 0 < by_ffmpeg <= len(times) else float("nan")
    for name in (path, lines_path):
        if os.path.exists(name):
            os.remove(name)
    return written, by_ffmpeg, by_gstreamer, len(times), gap, size


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--big", type=int, default=0)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--formats", default="avi,wmv1,wmv2,wmv3,h264")
    parser.add_argument("--pictures", default="still,moving")
    parser.add_argument("--camera-format", default="0")
    parser.add_argument("--bit-rate", default="")
    arguments = parser.parse_args()

    build = os.path.abspath(arguments.build_dir)
    cli = os.path.join(build, "bin", "vistel-capture-cli")
    os.environ["GST_PLUGIN_PATH"] = os.path.join(build, "gstreamer")
    os.environ["GST_REGISTRY"] = os.path.join(build, "gstreamer-registry.bin")
    rng = random.Random(arguments.seed)
    print("seed %d, load average %.2f %.2f %.2f" % ((arguments.seed,) + os.getloadavg()))
    print("%-14s %6s %8s %7s %9s %6s %7s" % ("file", "kill s", "written", "ffmpeg", "gstreamer", "lines",
                                            "gap s"))
    plan = [(f, p, False) for p in arguments.pictures.split(",") for f in arguments.formats.split(",")
            for _ in range(arguments.trials)]
    plan += [("avi", "still", True)] * arguments.big
    summary = {}
    with tempfile.TemporaryDirectory() as folder:
        # Settings go to the temporary HOME, so the user's own are left alone.
        os.environ["HOME"] = folder
        os.environ.pop("XDG_CONFIG_HOME", None)
        for file_format, picture, big in plan:
            os.environ["NORVEX_TEST_CAMERA_MOTION"] = "1" if picture == "moving" else "0"
            kill_after = rng.uniform(0.0, 2.0) if big else rng.uniform(0.3, 4.0)
            written, by_ffmpeg, by_gstreamer, lines, gap, size = trial(
                cli, folder, file_format, "2" if big else arguments.camera_format, arguments.bit_rate,
                kill_after, big)
            name = file_format + " " + picture + (">1G" if big else "")
            print("%-14s %6.2f %8d %7d %9d %6d %7.3f%s" % (
                name, kill_after, written, by_ffmpeg, by_gstreamer, lines, gap,
                "  (%.2f GiB)" % (size / (1 << 30)) if big else ""))
            sys.stdout.flush()
            summary.setdefault(name, []).append((written, by_ffmpeg, by_gstreamer, lines, gap))
    print()
    for name, results in summary.items():
        gaps = [r[4] for r in results if r[4] == r[4]]
        lost = [r[0] - r[1] for r in results]
        print("%-14s trials %2d  gap to the kill: median %.3f s, max %.3f s; lost against the progress "
              "count: max %d; gstreamer != ffmpeg: %d; lines != ffmpeg: %d; no gap measured: %d" % (
                  name, len(results), statistics.median(gaps) if gaps else float("nan"),
                  max(gaps) if gaps else float("nan"), max(lost), sum(1 for r in results if r[2] != r[1]),
                  sum(1 for r in results if r[3] != r[1]), len(results) - len(gaps)))


if __name__ == "__main__":
    main()
