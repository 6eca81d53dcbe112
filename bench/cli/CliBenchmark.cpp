// vistel-capture-cli against the matching gst-launch-1.0 (or gst-launch-1.0 | ffmpeg) pipeline on the
// same test camera at 1920x1080 YUY2 30 fps, case by case in one run: streaming with "なし", recording
// AVI and H.264, recording JPEG and PNG images. Each side is a child process; its wall time, its
// user+system CPU and its peak resident memory come from wait4, its frames from what it wrote.
//
// Every reference is the direct pipeline a user would write: test camera, YUY2 caps, one
// videoconvert to what the consumer takes. Then:
// - stream: BGRA into fakesink (no saving), on test camera 1 (1080p in GStreamer's default, BT.709)
//           and on test camera 5 (the same bars in BT.601, as UVC cameras state it);
// - AVI:    BGR, avimux, filesink (uncompressed 24-bit frames like our writer);
// - H.264:  raw BGRA through a pipe into ffmpeg with the writer's settings (libx264 with its
//           preset and thread count, Main profile, no B-frames, no look-ahead, two-second GOP, bit
//           rate, conversion to 4:2:0, fragmented MP4 with fragments of 0.3 s); both processes are
//           counted;
// - JPEG:   I420 then jpegenc quality 90, accurate DCT (our writer converts to 4:2:0 with libyuv
//           and compresses the planes: the same work in another place);
// - PNG:    RGB then pngenc at zlib level 6, which writes every row unfiltered;
//           our writer has libpng choose SUB or UP for each row (zlib level 1), so a second
//           reference, avenc_png with pred=mixed, chooses a filter per row too.
// The reference source stops after N buffers through identity eos-after; the image cases count
// the files, so a miscount would show. Three runs of every case, the two sides' order swapped
// from run to run.

#include "FfmpegMovieWriter.h"
#include "ProcessDriver.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;
using VistelBench::Fail;
using VistelBench::Spawn;

constexpr int BitRateKbps = 5000; // the recorder's default movie bit rate
constexpr const char* Usage = "usage: CliBenchmark --cli PATH --gstreamer-dir DIR [--registry FILE] "
                              "[--frames N] [--keep] [--case NAME]...";

struct Measurement
{
    bool ok = false;
    long long frames = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;    // user + system
    double systemSeconds = 0; // of which in the kernel: file writes show here
    long peakKilobytes = 0;   // summed over the processes of a pipe: they run side by side
    std::uintmax_t outputBytes = 0;
};

enum class Output
{
    None,
    Movie,
    Images,
};

struct Case
{
    std::string name;
    int camera = 1; // the test camera, by number
    std::vector<std::string> cliArguments;
    // One command, or two joined by a pipe from the first one's fd 3 to the second one's stdin.
    std::vector<std::vector<std::string>> reference;
    std::string referenceName;
    Output output = Output::None;
    fs::path cliOutput;
    fs::path referenceOutput;
};

class Descriptor
{
public:
    explicit Descriptor(int fd = -1) noexcept : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    int Get() const noexcept { return fd; }
    void Close() noexcept
    {
        if (fd >= 0)
        {
            ::close(fd);
            fd = -1;
        }
    }

private:
    int fd;
};

// Runs one command, or two joined by a pipe, and waits for all of them.
Measurement Run(const std::vector<std::vector<std::string>>& commands, const fs::path& log)
{
    Measurement result;
    std::vector<pid_t> children;
    const auto start = std::chrono::steady_clock::now();
    if (commands.size() == 1)
    {
        children.push_back(Spawn(commands[0], log));
    }
    else
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
        {
            Fail(std::string("pipe: ") + std::strerror(errno));
        }
        Descriptor reader(ends[0]);
        Descriptor writer(ends[1]);
        children.push_back(Spawn(commands[0], log, -1, writer.Get()));
        children.push_back(Spawn(commands[1], log, reader.Get(), -1));
    }
    result.ok = true;
    for (const pid_t child : children)
    {
        const VistelBench::ChildUsage usage = VistelBench::Wait(child);
        result.ok = result.ok && usage.ok;
        result.cpuSeconds += usage.cpuSeconds;
        result.systemSeconds += usage.systemSeconds;
        result.peakKilobytes += usage.peakKilobytes;
    }
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

std::string ReadText(const fs::path& path)
{
    std::ifstream stream(path);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

// Packets of the first video stream, as ffprobe counts them.
long long MovieFrames(const fs::path& movie, const fs::path& log)
{
    const fs::path countFile = log.string() + ".count";
    fs::remove(countFile);
    std::vector<std::vector<std::string>> probe = {
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
         "stream=nb_read_packets", "-of", "csv=p=0", movie.string()}};
    const Measurement probed = Run(probe, countFile);
    const std::string text = ReadText(countFile);
    return probed.ok ? std::atoll(text.c_str()) : -1;
}

void Count(Output output, const fs::path& path, const fs::path& log, Measurement& measurement)
{
    std::error_code error;
    if (output == Output::Movie)
    {
        measurement.frames = MovieFrames(path, log);
        measurement.outputBytes = fs::file_size(path, error);
    }
    else if (output == Output::Images)
    {
        for (const auto& entry : fs::directory_iterator(path, error))
        {
            // The recording's time-stamp file (frames.csv) lies beside the pictures.
            if (entry.is_regular_file() && entry.path().extension() != ".csv")
            {
                ++measurement.frames;
                measurement.outputBytes += entry.file_size();
            }
        }
    }
}

// The camera's frames up to the one videoconvert; camera 5 states BT.601 as its caps do.
std::vector<std::string> ReferenceSource(const VistelBench::DriverSettings& settings, int camera = 1)
{
    return {"gst-launch-1.0", "-q", "norvextestcamerasrc", "camera=" + std::to_string(camera), "!",
            std::string("video/x-raw,format=YUY2,width=1920,height=1080,framerate=30/1") +
                (camera == 5 ? ",colorimetry=bt601" : ""),
            "!", "identity",
            // identity ends the stream on the buffer it counts to: N + 1 lets N through.
            "eos-after=" + std::to_string(settings.frames + 1), "!", "videoconvert", "!"};
}

const char* CameraName(int camera)
{
    return camera == 5 ? "Norvex Test Camera 5 (layouts)" : "Norvex Test Camera 1";
}

std::vector<std::string> Concatenate(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<Case> Cases(const VistelBench::DriverSettings& settings, const fs::path& work)
{
    const std::string frames = std::to_string(settings.frames);
    const auto source = ReferenceSource(settings);
    std::vector<Case> cases;

    for (const int camera : {1, 5})
    {
        cases.push_back({camera == 1 ? "stream" : "stream-601",
                         camera,
                         {"stream", "--frames", frames},
                         {Concatenate(ReferenceSource(settings, camera),
                                      {"video/x-raw,format=BGRA", "!", "fakesink", "sync=false"})},
                         "gst-launch BGRA fakesink",
                         Output::None,
                         {},
                         {}});
    }

    cases.push_back({"AVI",
                     1,
                     {"record", (work / "cli.avi").string(), "--file-format", "avi", "--frames", frames},
                     {Concatenate(source, {"video/x-raw,format=BGR", "!", "avimux", "!", "filesink",
                                           "location=" + (work / "reference.avi").string()})},
                     "gst-launch avimux",
                     Output::Movie,
                     work / "cli.avi",
                     work / "reference.avi"});

    const std::string bitRate = std::to_string(BitRateKbps);
    cases.push_back({"H.264",
                     1,
                     {"record", (work / "cli.mp4").string(), "--file-format", "h264", "--bit-rate", bitRate,
                      "--frames", frames},
                     {Concatenate(source, {"video/x-raw,format=BGRA", "!", "fdsink", "fd=3", "sync=false"}),
                      {"ffmpeg",
                       "-hide_banner",
                       "-loglevel",
                       "error",
                       "-f",
                       "rawvideo",
                       "-pix_fmt",
                       "bgra",
                       "-video_size",
                       "1920x1080",
                       "-framerate",
                       "30",
                       "-i",
                       "pipe:0",
                       "-sws_flags",
                       "bilinear",
                       "-pix_fmt",
                       "yuv420p",
                       "-c:v",
                       "libx264",
                       "-threads",
                       std::to_string(VistelCapture::FfmpegMovieWriter::H264ThreadCount()),
                       "-preset",
                       VistelCapture::FfmpegMovieWriter::H264Preset(1920, 1080, 30),
                       "-x264-params",
                       "rc-lookahead=0:sync-lookahead=0",
                       "-profile:v",
                       "main",
                       "-b:v",
                       bitRate + "k",
                       "-g",
                       "60",
                       "-bf",
                       "0",
                       "-flush_packets",
                       "1",
                       "-movflags",
                       "+frag_keyframe+empty_moov+default_base_moof",
                       "-frag_duration",
                       "300000",
                       "-y",
                       (work / "reference.mp4").string()}},
                     "gst-launch | ffmpeg libx264",
                     Output::Movie,
                     work / "cli.mp4",
                     work / "reference.mp4"});

    const auto images = [&](const std::string& name, const std::string& format, const std::string& extension,
                            const std::vector<std::string>& encoder, const std::string& referenceName)
    {
        const fs::path cliFolder = work / ("cli-" + name);
        const fs::path referenceFolder = work / ("reference-" + name);
        std::vector<std::string> reference = Concatenate(source, encoder);
        reference =
            Concatenate(reference, {"!", "multifilesink", "sync=false",
                                    "location=" + (referenceFolder / ("%05d." + extension)).string()});
        cases.push_back({name,
                         1,
                         {"record", cliFolder.string(), "--file-format", format, "--frames", frames},
                         {reference},
                         referenceName,
                         Output::Images,
                         cliFolder,
                         referenceFolder});
    };
    images("JPEG", "jpeg", "jpg",
           {"video/x-raw,format=I420", "!", "jpegenc", "quality=90", "idct-method=islow"},
           "gst-launch jpegenc");
    images("PNG", "png", "png", {"video/x-raw,format=RGB", "!", "pngenc", "compression-level=6"},
           "gst-launch pngenc (no filter)");
    images("PNG-mixed", "png", "png", {"video/x-raw,format=RGB", "!", "avenc_png", "pred=mixed", "threads=1"},
           "gst-launch avenc_png pred=mixed");
    return cases;
}

std::vector<std::string> CliCommand(const VistelBench::DriverSettings& settings,
                                    const std::vector<std::string>& arguments, int camera = 1)
{
    return Concatenate({settings.cli.string(), "--api-family", "1", "--device", CameraName(camera),
                        "--format", "YUY2 1920x1080 (30fps)", "--processor", "なし", "--quiet"},
                       arguments);
}

void ReportFailure(const std::string& what, const fs::path& log)
{
    std::string text = ReadText(log);
    if (text.size() > 2000)
    {
        text = text.substr(text.size() - 2000);
    }
    std::fprintf(stderr, "%s failed; its output (%s):\n%s\n", what.c_str(), log.c_str(), text.c_str());
}

void PrintRow(const std::string& caseName, const std::string& who, const Measurement& m)
{
    const double fps = m.wallSeconds > 0 ? m.frames / m.wallSeconds : 0;
    const double perFrame = m.frames > 0 ? 1000.0 / m.frames : 0;
    std::printf("%-10s %-32s %6lld %7.2f %7.2f %9.2f %8.2f %8.1f %9.2f%s\n", caseName.c_str(), who.c_str(),
                m.frames, m.wallSeconds, fps, m.cpuSeconds * perFrame, m.systemSeconds * perFrame,
                m.peakKilobytes / 1024.0, m.outputBytes / 1048576.0, m.ok ? "" : "  FAILED");
}

void PrintRatio(const Measurement& cli, const Measurement& reference)
{
    const auto ratio = [](double a, double b)
    {
        return b > 0 ? a / b : 0.0;
    };
    const double cliFps = ratio(double(cli.frames), cli.wallSeconds);
    const double referenceFps = ratio(double(reference.frames), reference.wallSeconds);
    const double cliCpu = ratio(cli.cpuSeconds, double(cli.frames));
    const double referenceCpu = ratio(reference.cpuSeconds, double(reference.frames));
    std::printf("%-10s %-32s %6s %7s %6.2fx %8.2fx %8s %7.2fx %8.2fx\n", "", "  ratio cli/reference", "", "",
                ratio(cliFps, referenceFps), ratio(cliCpu, referenceCpu), "",
                ratio(double(cli.peakKilobytes), double(reference.peakKilobytes)),
                ratio(double(cli.outputBytes), double(reference.outputBytes)));
}

} // namespace

int main(int argc, char** argv)
{
    const auto settings = VistelBench::ParseDriverSettings(argc, argv, Usage, 120, 1);
    // Both sides find the test camera in the same plug-in folder and share one registry.
    ::setenv("GST_PLUGIN_PATH", settings.gstreamerDir.c_str(), 1);
    ::setenv("GST_REGISTRY", settings.registry.c_str(), 1);

    std::string pattern = (fs::temp_directory_path() / "vistel-bench-cli-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
    {
        Fail(std::string("mkdtemp: ") + std::strerror(errno));
    }
    const fs::path work = pattern;
    const fs::path log = work / "log.txt";

    // Untimed: fills the registry and the page cache for both sides.
    VistelBench::DriverSettings warmUp = settings;
    warmUp.frames = 5;
    if (!Run({CliCommand(settings, {"stream", "--frames", "5"})}, log).ok ||
        !Run({Concatenate(ReferenceSource(warmUp), {"video/x-raw,format=BGRA", "!", "fakesink"})}, log).ok)
    {
        ReportFailure("the warm-up", log);
        return 1;
    }

    std::printf("%lld frames of YUY2 1920x1080 at 30 fps per run; CPU is user+system; RSS is the peak\n"
                "(a pipe of two processes counts both: their CPU and the sum of their peaks)\n\n",
                settings.frames);
    std::printf("%-10s %-32s %6s %7s %7s %9s %8s %8s %9s\n", "case", "program", "frames", "wall s", "fps",
                "CPU ms/fr", "sys ms", "RSS MB", "output MB");
    bool allOk = true;
    const auto cases = Cases(settings, work);
    for (int run = 0; run < 3; ++run)
    {
        std::printf("\nrun %d\n", run + 1);
        for (const Case& item : cases)
        {
            if (!settings.Runs(item.name))
            {
                continue;
            }
            for (const fs::path& folder : {item.cliOutput, item.referenceOutput})
            {
                if (item.output == Output::Images)
                {
                    fs::remove_all(folder); // a kept run's files would be counted again
                    fs::create_directories(folder);
                }
            }
            const fs::path cliLog = work / (item.name + "-cli.log");
            const fs::path referenceLog = work / (item.name + "-reference.log");
            // The sides take turns at going first, so a change in the machine's load falls on both.
            Measurement reference;
            const bool referenceFirst = run % 2 == 1;
            if (referenceFirst)
            {
                reference = Run(item.reference, referenceLog);
            }
            Measurement cli = Run({CliCommand(settings, item.cliArguments, item.camera)}, cliLog);
            if (!referenceFirst)
            {
                reference = Run(item.reference, referenceLog);
            }
            if (item.output == Output::None)
            {
                // "N frames in S s (F fps)": what the capture loop received.
                const std::string text = ReadText(cliLog);
                const auto found = text.find(" frames in ");
                const auto line = found == std::string::npos ? found : text.rfind('\n', found);
                cli.frames = found == std::string::npos
                                 ? 0
                                 : std::atoll(text.c_str() + (line == std::string::npos ? 0 : line + 1));
            }
            Count(item.output, item.cliOutput, cliLog, cli);

            // The streaming reference writes nothing to count: identity ends it after N buffers,
            // which the image cases show to be exact.
            reference.frames = item.output == Output::None ? settings.frames : 0;
            Count(item.output, item.referenceOutput, referenceLog, reference);

            PrintRow(item.name, "vistel-capture-cli", cli);
            PrintRow("", item.referenceName, reference);
            PrintRatio(cli, reference);
            std::fflush(stdout);
            for (const auto& [ok, frames, what, caseLog] :
                 {std::tuple(cli.ok, cli.frames, "vistel-capture-cli", cliLog),
                  std::tuple(reference.ok, reference.frames, "the reference", referenceLog)})
            {
                if (!ok || frames != settings.frames)
                {
                    allOk = false;
                    ReportFailure(item.name + ": " + what + " (" + std::to_string(frames) + " frames)",
                                  caseLog);
                }
            }
            // 1080p output adds up (120 raw frames are 700 MB): each case's files go once counted.
            if (!settings.keep && item.output != Output::None)
            {
                fs::remove_all(item.cliOutput);
                fs::remove_all(item.referenceOutput);
            }
        }
    }
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
