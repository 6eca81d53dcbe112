// Throughput of the video writer against a reference measured in the same run:
// - AVI: our writer (conversion to 24-bit rows, chunks, header updates) against plain write(2)
//   of the same 24-bit frames;
// - H.264 1080p: frames per second of our writer against the ffmpeg program encoding the same
//   frames with the same settings (libx264, preset, Main profile, no B-frames, GOP, bit rate,
//   bilinear conversion, fragmented MP4).
// Files go to $TMPDIR and are deleted after each iteration.

#include <VideoWriter.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using VistelCapture::VideoWriter;
using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

namespace
{

constexpr std::int32_t Width = 1920;
constexpr std::int32_t Height = 1080;
constexpr double FrameRate = 30;
constexpr std::uint32_t BitRate = 8000000;
constexpr int AviFramesPerIteration = 60;
constexpr int H264FramesPerIteration = 60;

// Moving gradients and a moving checkerboard: detail an encoder has to work for.
const std::vector<Frame>& Frames()
{
    static const std::vector<Frame> frames = []
    {
        std::vector<Frame> result;
        for (int n = 0; n < 16; ++n)
        {
            Frame frame(Width, Height);
            for (std::int32_t y = 0; y < Height; ++y)
            {
                for (std::int32_t x = 0; x < Width; ++x)
                {
                    auto& pixel = frame.At(x, y);
                    pixel.blue = static_cast<unsigned char>((x + 4 * n) * 255 / Width);
                    pixel.green = static_cast<unsigned char>((y + 3 * n) * 255 / Height);
                    pixel.red =
                        static_cast<unsigned char>(((x + 8 * n) / 32 + (y + 2 * n) / 32) % 2 ? 210 : 30);
                }
            }
            result.push_back(std::move(frame));
        }
        return result;
    }();
    return frames;
}

std::filesystem::path TemporaryPath(const char* name)
{
    return std::filesystem::temp_directory_path() /
           (std::string("norvex-bench-") + std::to_string(::getpid()) + name);
}

void BM_AviWriter(benchmark::State& state)
{
    const auto& frames = Frames();
    const auto path = TemporaryPath(".avi");
    for (auto _ : state)
    {
        VideoWriter writer;
        writer.Open(VideoWriter::Avi, path.wstring(), Width, Height, FrameRate, 0);
        for (int n = 0; n < AviFramesPerIteration; ++n)
        {
            writer.AddFrame(frames[n % frames.size()]);
        }
        writer.Close();
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * AviFramesPerIteration * std::int64_t(Width * 3) * Height);
}

void BM_PlainWrite(benchmark::State& state)
{
    // The same bytes the AVI holds: 24-bit rows, already converted.
    const std::size_t frameBytes = std::size_t(Width * 3) * Height;
    std::vector<std::vector<unsigned char>> rows;
    for (const auto& frame : Frames())
    {
        std::vector<unsigned char> bytes(frameBytes);
        for (std::int32_t y = 0; y < Height; ++y)
        {
            for (std::int32_t x = 0; x < Width; ++x)
            {
                const auto& pixel = frame.At(x, y);
                unsigned char* target = &bytes[std::size_t(Height - 1 - y) * Width * 3 + 3 * std::size_t(x)];
                target[0] = pixel.blue;
                target[1] = pixel.green;
                target[2] = pixel.red;
            }
        }
        rows.push_back(std::move(bytes));
    }
    const auto path = TemporaryPath(".raw");
    for (auto _ : state)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
        {
            state.SkipWithError("open failed");
            break;
        }
        for (int n = 0; n < AviFramesPerIteration; ++n)
        {
            const auto& bytes = rows[n % rows.size()];
            if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            {
                state.SkipWithError("write failed");
                break;
            }
        }
        ::close(fd);
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * AviFramesPerIteration * std::int64_t(frameBytes));
}

void BM_H264Writer(benchmark::State& state)
{
    const auto& frames = Frames();
    const auto path = TemporaryPath(".mp4");
    for (auto _ : state)
    {
        // Frames arrive at the nominal rate, as from a camera, so rate control sees 30 fps.
        auto now = std::chrono::steady_clock::now();
        VideoWriter writer([&now] { return now; });
        writer.Open(VideoWriter::H264, path.wstring(), Width, Height, FrameRate, BitRate);
        for (int n = 0; n < H264FramesPerIteration; ++n)
        {
            writer.AddFrame(frames[n % frames.size()]);
            now += std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / FrameRate));
        }
        writer.Close();
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * H264FramesPerIteration);
}

void BM_H264FfmpegProgram(benchmark::State& state)
{
    const auto& frames = Frames();
    const auto path = TemporaryPath("-ffmpeg.mp4");
    const std::string command =
        "ffmpeg -v error -y -f rawvideo -pix_fmt bgra -s " + std::to_string(Width) + "x" +
        std::to_string(Height) +
        " -r 30 -i - -sws_flags bilinear -pix_fmt yuv420p -c:v libx264 -preset veryfast -profile:v main -bf "
        "0 -g " +
        std::to_string(static_cast<int>(2 * FrameRate)) + " -b:v " + std::to_string(BitRate) +
        " -movflags +frag_keyframe+empty_moov+default_base_moof -frag_duration 1000000 '" + path.string() +
        "'";
    for (auto _ : state)
    {
        FILE* pipe = ::popen(command.c_str(), "w");
        if (!pipe)
        {
            state.SkipWithError("popen failed");
            break;
        }
        for (int n = 0; n < H264FramesPerIteration; ++n)
        {
            const auto& frame = frames[n % frames.size()];
            std::fwrite(frame.data, 1, std::size_t(frame.stride) * Height, pipe);
        }
        if (::pclose(pipe) != 0)
        {
            state.SkipWithError("ffmpeg failed");
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * H264FramesPerIteration);
}

BENCHMARK(BM_AviWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_H264Writer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_H264FfmpegProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// Keeps each benchmark's rate counter so main can print the ratios after the console output.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
        {
            for (const char* counter : {"bytes_per_second", "items_per_second"})
            {
                if (auto found = run.counters.find(counter); found != run.counters.end())
                {
                    rates[run.benchmark_name()] = found->second.value;
                }
            }
        }
    }

    double Rate(const std::string& prefix) const
    {
        for (const auto& [name, rate] : rates)
        {
            if (name.rfind(prefix, 0) == 0)
            {
                return rate;
            }
        }
        return 0;
    }

private:
    std::map<std::string, double> rates;
};

void PrintRatio(const char* what, double ours, double reference, const char* unit, double scale)
{
    if (ours > 0 && reference > 0)
    {
        std::printf("%s: %.1f against %.1f %s, ratio %.2f\n", what, ours / scale, reference / scale, unit,
                    ours / reference);
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio("AVI writer against plain write(2)", reporter.Rate("BM_AviWriter"),
               reporter.Rate("BM_PlainWrite"), "MB/s", 1e6);
    PrintRatio("H.264 1080p writer against the ffmpeg program", reporter.Rate("BM_H264Writer"),
               reporter.Rate("BM_H264FfmpegProgram"), "frames/s", 1);
    benchmark::Shutdown();
    return 0;
}
