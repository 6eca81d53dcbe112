// Start-up and still images against gst-launch-1.0, three runs with the two sides interleaved:
// - snapshot: `vistel-capture-cli snapshot` of test camera 1 at "YUY2 1920x1080 (30fps)" with "なし",
//   as JPEG and as PNG, against gst-launch taking one frame of the same camera and caps through
//   videoconvert into jpegenc (I420, quality 90, islow: our writer's 4:2:0, quality and accurate
//   DCT) or pngenc (level 6; it writes rows unfiltered where libpng picks a filter per row);
// - JPEG stills: the still-image writer encoding N 1920x1080 frames of the moving test picture
//   one file each, against gst-launch reading the same raw frames (rawvideoparse) through
//   videoconvert into the same jpegenc and multifilesink. Both sides read one raw file, written
//   once beforehand. Besides the whole runs it prints the marginal CPU per frame, from a second
//   pair of runs with fewer frames, which leaves out each program's start-up. A last case pits the
//   writer against TurboJPEG compressing BGRX itself, the path libyuv's planes replaced.
// Wall time, user+system CPU and peak RSS come from wait4 on each child.

#include "ProcessDriver.h"
#include "StillImageWriter.h"

#include <Norvex/Core/StringHelpers.h>

#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{

namespace fs = std::filesystem;
using VistelBench::Fail;

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int Runs = 3;
constexpr const char* Usage = "usage: SnapshotBenchmark --cli PATH --gstreamer-dir DIR [--registry FILE] "
                              "[--frames N] [--keep]\n"
                              "       SnapshotBenchmark --encode-stills RAWFILE FRAMES FOLDER writer|bgrx";
constexpr const char* CameraCaps = "video/x-raw,format=YUY2,width=1920,height=1080,framerate=30/1";

struct Measurement
{
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0; // user + system
    long peakKilobytes = 0;
};

// Runs one command with stdout and stderr appended to log and waits for it.
Measurement Run(const std::vector<std::string>& arguments, const fs::path& log)
{
    const auto start = std::chrono::steady_clock::now();
    const VistelBench::ChildUsage usage = VistelBench::Wait(VistelBench::Spawn(arguments, log));
    Measurement result;
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.ok = usage.ok;
    result.cpuSeconds = usage.cpuSeconds;
    result.peakKilobytes = usage.peakKilobytes;
    return result;
}

std::string ReadTail(const fs::path& path)
{
    std::ifstream stream(path);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

std::size_t CountFiles(const fs::path& folder)
{
    std::error_code error;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder, error), {}));
}

// TurboJPEG compressing BGRX itself, with the writer's settings: the path the writer replaced by
// libyuv's conversion to planes, kept here so the choice can be checked on any machine.
void EncodeBgrx(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& frame, const fs::path& path)
{
    std::unique_ptr<void, decltype(&tjDestroy)> compressor(tjInitCompress(), &tjDestroy);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (!compressor || tjCompress2(compressor.get(), reinterpret_cast<const unsigned char*>(frame.data),
                                   frame.width, frame.stride, frame.height, TJPF_BGRX, &jpeg, &size,
                                   TJSAMP_420, 90, TJFLAG_ACCURATEDCT) != 0)
    {
        tjFree(jpeg);
        throw std::runtime_error("tjCompress2 failed");
    }
    std::unique_ptr<unsigned char, decltype(&tjFree)> owned(jpeg, &tjFree);
    std::ofstream output(path, std::ios::binary);
    if (!output.write(reinterpret_cast<const char*>(owned.get()), static_cast<std::streamsize>(size)))
    {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The child side of the stills cases: each frame of the raw file encoded into a file of its own,
// by the still-image writer or by TurboJPEG from BGRX.
int EncodeStills(const fs::path& rawFile, int frames, const fs::path& folder, bool bgrx)
{
    std::ifstream input(rawFile, std::ios::binary);
    Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>> frame(Width, Height);
    const auto bytes = static_cast<std::streamsize>(frame.buffer.size() * sizeof(frame.buffer[0]));
    for (int i = 0; i < frames; ++i)
    {
        if (!input.read(reinterpret_cast<char*>(frame.data), bytes))
        {
            std::fprintf(stderr, "%s: frame %d is missing\n", rawFile.c_str(), i);
            return 1;
        }
        char name[32];
        std::snprintf(name, sizeof name, "%05d.jpg", i);
        if (bgrx)
        {
            EncodeBgrx(frame, folder / name);
        }
        else
        {
            VistelCapture::StillImageWriter::Save(frame, VistelCapture::StillImageWriter::Jpeg,
                                                  Norvex::Core::ToWideString((folder / name).string()));
        }
    }
    return 0;
}

struct Side
{
    std::string name;
    std::vector<std::string> command;
    fs::path output;       // file or folder it writes
    std::size_t files = 1; // files it must leave in a folder output (0: a single file)
};

struct Case
{
    std::string name;
    Side ours;
    Side reference;
};

std::vector<std::string> CliCommand(const VistelBench::DriverSettings& settings, const fs::path& target)
{
    return {settings.cli.string(),
            "--api-family",
            "1",
            "--device",
            "Norvex Test Camera 1",
            "--format",
            "YUY2 1920x1080 (30fps)",
            "--processor",
            "なし",
            "--quiet",
            "snapshot",
            target.string()};
}

std::vector<std::string> GrabCommand(const std::vector<std::string>& encoder, const fs::path& target)
{
    // identity ends the stream on the buffer it counts to: 2 lets one frame through.
    std::vector<std::string> command = {
        "gst-launch-1.0", "-q", "norvextestcamerasrc", "camera=1", "!", CameraCaps, "!", "identity",
        "eos-after=2",    "!",  "videoconvert",        "!"};
    command.insert(command.end(), encoder.begin(), encoder.end());
    command.insert(command.end(), {"!", "filesink", "location=" + target.string()});
    return command;
}

std::vector<std::string> JpegEncoder()
{
    return {"video/x-raw,format=I420", "!", "jpegenc", "quality=90", "idct-method=islow"};
}

Case StillsCase(const fs::path& self, const fs::path& raw, int frames, const fs::path& work)
{
    const fs::path ours = work / ("ours-" + std::to_string(frames));
    const fs::path reference = work / ("reference-" + std::to_string(frames));
    std::vector<std::string> encode = {"gst-launch-1.0",
                                       "-q",
                                       "filesrc",
                                       "location=" + raw.string(),
                                       "!",
                                       "rawvideoparse",
                                       "format=bgra",
                                       "width=" + std::to_string(Width),
                                       "height=" + std::to_string(Height),
                                       "framerate=30/1",
                                       "!",
                                       "videoconvert",
                                       "!"};
    const auto encoder = JpegEncoder();
    encode.insert(encode.end(), encoder.begin(), encoder.end());
    encode.insert(encode.end(), {"!", "multifilesink", "location=" + (reference / "%05d.jpg").string()});
    return {
        "JPEG stills x" + std::to_string(frames),
        {"still-image writer",
         {self.string(), "--encode-stills", raw.string(), std::to_string(frames), ours.string(), "writer"},
         ours,
         static_cast<std::size_t>(frames)},
        {"gst-launch jpegenc", encode, reference, static_cast<std::size_t>(frames)}};
}

void Prepare(const Side& side)
{
    std::error_code error;
    fs::remove_all(side.output, error);
    if (side.files > 1)
    {
        fs::create_directories(side.output);
    }
}

bool Produced(const Side& side)
{
    std::error_code error;
    return side.files > 1 ? CountFiles(side.output) == side.files
                          : fs::is_regular_file(side.output, error) && fs::file_size(side.output, error) > 0;
}

void PrintRow(const std::string& caseName, int run, const std::string& who, const Measurement& m)
{
    std::printf("%-18s %3d  %-22s %8.3f %8.1f %8.1f%s\n", caseName.c_str(), run, who.c_str(), m.wallSeconds,
                m.cpuSeconds * 1000, m.peakKilobytes / 1024.0, m.ok ? "" : "  FAILED");
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string Range(const std::vector<double>& values)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f-%.2f", *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == "--encode-stills")
    {
        try
        {
            return EncodeStills(argv[2], std::atoi(argv[3]), argv[4], std::string(argv[5]) == "bgrx");
        }
        catch (const std::exception& error)
        {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    const auto settings = VistelBench::ParseDriverSettings(argc, argv, Usage, 60, 20);
    ::setenv("GST_PLUGIN_PATH", settings.gstreamerDir.c_str(), 1);
    ::setenv("GST_REGISTRY", settings.registry.c_str(), 1);
    const fs::path self = fs::canonical("/proc/self/exe");

    std::string pattern = (fs::temp_directory_path() / "vistel-bench-snapshot-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
    {
        Fail(std::string("mkdtemp: ") + std::strerror(errno));
    }
    const fs::path work = pattern;
    const fs::path log = work / "log.txt";

    // Untimed: the raw frames of the moving picture, the registry and the page cache for both.
    const fs::path raw = work / "frames.bgra";
    const Measurement made =
        Run({"gst-launch-1.0", "-q", "norvextestcamerasrc", "camera=1", "moving=true", "!", CameraCaps, "!",
             "identity", "eos-after=" + std::to_string(settings.frames + 1), "!", "videoconvert", "!",
             "video/x-raw,format=BGRA", "!", "filesink", "location=" + raw.string()},
            log);
    std::error_code error;
    if (!made.ok || fs::file_size(raw, error) != std::uintmax_t(settings.frames) * Width * Height * 4 ||
        !Run(CliCommand(settings, work / "warm.jpg"), log).ok)
    {
        std::fprintf(stderr, "the preparation failed:\n%s\n", ReadTail(log).c_str());
        return 1;
    }

    // gst-launch reads its file to the end: the shorter run gets a file of its own.
    const int fewer = static_cast<int>(settings.frames / 4);
    const fs::path rawFewer = work / "fewer-frames.bgra";
    fs::copy_file(raw, rawFewer);
    fs::resize_file(rawFewer, std::uintmax_t(fewer) * Width * Height * 4);
    std::vector<Case> cases = {
        {"snapshot JPEG",
         {"vistel-capture-cli", CliCommand(settings, work / "cli.jpg"), work / "cli.jpg", 0},
         {"gst-launch jpegenc", GrabCommand(JpegEncoder(), work / "reference.jpg"), work / "reference.jpg",
          0}},
        {"snapshot PNG",
         {"vistel-capture-cli", CliCommand(settings, work / "cli.png"), work / "cli.png", 0},
         {"gst-launch pngenc",
          GrabCommand({"video/x-raw,format=RGB", "!", "pngenc", "compression-level=6"},
                      work / "reference.png"),
          work / "reference.png", 0}},
        StillsCase(self, raw, static_cast<int>(settings.frames), work),
        StillsCase(self, rawFewer, fewer, work),
    };
    Case bgrx = StillsCase(self, raw, static_cast<int>(settings.frames), work);
    bgrx.name = "JPEG stills, BGRX";
    bgrx.reference = {"TurboJPEG from BGRX", bgrx.ours.command, work / "bgrx", bgrx.ours.files};
    bgrx.reference.command[4] = bgrx.reference.output.string();
    bgrx.reference.command[5] = "bgrx";
    cases.push_back(bgrx);

    std::printf("test camera 1, 1920x1080; %d runs, the two sides interleaved; CPU is user+system\n\n", Runs);
    std::printf("%-18s %3s  %-22s %8s %8s %8s\n", "case", "run", "program", "wall s", "CPU ms", "RSS MB");
    bool allOk = true;
    // [case][run] for each side
    std::vector<std::vector<Measurement>> ours(cases.size()), references(cases.size());
    for (int run = 1; run <= Runs; ++run)
    {
        for (std::size_t c = 0; c < cases.size(); ++c)
        {
            for (const bool reference : {false, true})
            {
                const Side& side = reference ? cases[c].reference : cases[c].ours;
                Prepare(side);
                const fs::path sideLog =
                    work / (std::to_string(c) + (reference ? "-reference.log" : "-ours.log"));
                Measurement measured = Run(side.command, sideLog);
                measured.ok = measured.ok && Produced(side);
                if (!measured.ok)
                {
                    allOk = false;
                    std::fprintf(stderr, "%s: %s failed:\n%s\n", cases[c].name.c_str(), side.name.c_str(),
                                 ReadTail(sideLog).c_str());
                }
                PrintRow(cases[c].name, run, side.name, measured);
                (reference ? references : ours)[c].push_back(measured);
            }
            std::fflush(stdout);
        }
    }

    std::printf("\nratios ours/reference over the %d runs (min-max, median)\n", Runs);
    for (std::size_t c = 0; c < cases.size(); ++c)
    {
        std::vector<double> wall, cpu, memory;
        for (int run = 0; run < Runs; ++run)
        {
            wall.push_back(ours[c][run].wallSeconds / references[c][run].wallSeconds);
            cpu.push_back(ours[c][run].cpuSeconds / references[c][run].cpuSeconds);
            memory.push_back(double(ours[c][run].peakKilobytes) / double(references[c][run].peakKilobytes));
        }
        std::printf("%-18s wall %s (%.2f)  CPU %s (%.2f)  peak RSS %s (%.2f)\n", cases[c].name.c_str(),
                    Range(wall).c_str(), Median(wall), Range(cpu).c_str(), Median(cpu), Range(memory).c_str(),
                    Median(memory));
    }
    // The two stills cases differ only in their frame count: their difference is the encoding.
    const std::size_t many = 2, few = 3;
    std::vector<double> marginal;
    std::printf("\nJPEG stills, marginal CPU per frame (runs of %lld and %d frames):\n", settings.frames,
                fewer);
    for (int run = 0; run < Runs; ++run)
    {
        const double frames = static_cast<double>(settings.frames - fewer);
        const double oursPerFrame = (ours[many][run].cpuSeconds - ours[few][run].cpuSeconds) / frames;
        const double referencePerFrame =
            (references[many][run].cpuSeconds - references[few][run].cpuSeconds) / frames;
        marginal.push_back(oursPerFrame / referencePerFrame);
        std::printf("  run %d: still-image writer %.2f ms, gst-launch jpegenc %.2f ms, ratio %.2f\n", run + 1,
                    oursPerFrame * 1000, referencePerFrame * 1000, marginal.back());
    }
    std::printf("  ratio %s (median %.2f)\n", Range(marginal).c_str(), Median(marginal));

    if (!settings.keep)
    {
        fs::remove_all(work);
    }
    else
    {
        std::printf("\nfiles and logs kept in %s\n", work.c_str());
    }
    return allOk ? 0 : 1;
}
