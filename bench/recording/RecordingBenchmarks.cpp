// Throughput of the video writer against a reference measured in the same run:
// - AVI: our writer (conversion to 24-bit rows, chunks, header updates) against plain write(2)
//   of the same 24-bit frames;
// - H.264 1080p: frames per second of our writer against the ffmpeg program encoding the same
//   frames with the same settings (libx264, preset, Main profile, no B-frames, GOP, bit rate,
//   bilinear conversion, fragmented MP4).
// - WMV3 1080p: CPU time per frame of our intra-only encoder (with its rate control) against
//   libavcodec's WMV2 encoder, set up as the writer sets it up, on the same 4:2:0 frames; three
//   runs of each, interleaved.
// - WMV3 bit rate: the file's average rate over 10 s of the moving picture through the writer,
//   against the rate asked for (a figure, not a speed).
// - Colour conversion of 1080p BGRA frames as the writer does it (libyuv) against libswscale's
//   (the converter before), to I420 for the encoders and to 24-bit rows for AVI; three runs of
//   each, interleaved.
// Files go to $TMPDIR and are deleted after each iteration.

#include <VideoWriter.h>
#include <Wmv3Encoder.h>
#include <Wmv3RateControl.h>

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

#include <libyuv/convert_from_argb.h>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

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

// The moving frames in 4:2:0 for the encoders.
struct YuvFrame
{
    std::vector<std::uint8_t> planes[3];
    int stride[3] = {Width, Width / 2, Width / 2};
};

const std::vector<YuvFrame>& YuvFrames()
{
    static const std::vector<YuvFrame> frames = []
    {
        std::vector<YuvFrame> result;
        SwsContext* converter = sws_getContext(Width, Height, AV_PIX_FMT_BGRA, Width, Height,
                                               AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        for (const auto& frame : Frames())
        {
            YuvFrame yuv;
            yuv.planes[0].resize(std::size_t(Width) * Height);
            yuv.planes[1].resize(std::size_t(Width / 2) * (Height / 2));
            yuv.planes[2].resize(std::size_t(Width / 2) * (Height / 2));
            const std::uint8_t* source = reinterpret_cast<const std::uint8_t*>(frame.data);
            const int sourceStride = frame.stride;
            std::uint8_t* targets[3] = {yuv.planes[0].data(), yuv.planes[1].data(), yuv.planes[2].data()};
            sws_scale(converter, &source, &sourceStride, 0, Height, targets, yuv.stride);
            result.push_back(std::move(yuv));
        }
        sws_freeContext(converter);
        return result;
    }();
    return frames;
}

constexpr int ConversionFramesPerIteration = 60;

// Converts the moving frames to I420 (toI420) or to bottom-up 24-bit rows, with libyuv as the
// writer does (useLibyuv) or with a libswscale context built once.
void Convert(benchmark::State& state, bool useLibyuv, bool toI420)
{
    YuvFrame yuv;
    yuv.planes[0].resize(std::size_t(Width) * Height);
    yuv.planes[1].resize(std::size_t(Width / 2) * (Height / 2));
    yuv.planes[2].resize(std::size_t(Width / 2) * (Height / 2));
    const int rowSize = (3 * Width + 3) / 4 * 4;
    std::vector<std::uint8_t> rows(std::size_t(rowSize) * Height);
    SwsContext* converter = sws_getContext(Width, Height, AV_PIX_FMT_BGRA, Width, Height,
                                           toI420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                           nullptr, nullptr, nullptr);
    Frames(); // made once, outside the timing
    std::size_t n = 0;
    for (auto _ : state)
    {
        for (int i = 0; i < ConversionFramesPerIteration; ++i, ++n)
        {
            const Frame& frame = Frames()[n % Frames().size()];
            const auto* source = reinterpret_cast<const std::uint8_t*>(frame.data);
            if (toI420 && useLibyuv)
            {
                libyuv::ARGBToI420(source, frame.stride, yuv.planes[0].data(), yuv.stride[0],
                                   yuv.planes[1].data(), yuv.stride[1], yuv.planes[2].data(), yuv.stride[2],
                                   Width, Height);
            }
            else if (toI420)
            {
                std::uint8_t* targets[3] = {yuv.planes[0].data(), yuv.planes[1].data(), yuv.planes[2].data()};
                sws_scale(converter, &source, &frame.stride, 0, Height, targets, yuv.stride);
            }
            else if (useLibyuv)
            {
                // Row by row into the bottom-up file rows, as the AVI writer fills its blocks.
                for (std::int32_t y = 0; y < Height; ++y)
                {
                    libyuv::ARGBToRGB24(source + std::size_t(y) * frame.stride, 0,
                                        rows.data() + std::size_t(Height - 1 - y) * rowSize, 0, Width, 1);
                }
            }
            else
            {
                // A negative stride from the last row turns the picture bottom-up.
                std::uint8_t* target = rows.data() + std::size_t(Height - 1) * rowSize;
                const int stride = -rowSize;
                sws_scale(converter, &source, &frame.stride, 0, Height, &target, &stride);
            }
            benchmark::DoNotOptimize(yuv.planes[0].data());
            benchmark::DoNotOptimize(rows.data());
        }
    }
    sws_freeContext(converter);
    state.SetItemsProcessed(state.iterations() * ConversionFramesPerIteration);
}

void BM_ToI420Libyuv(benchmark::State& state)
{
    Convert(state, true, true);
}
void BM_ToI420Swscale(benchmark::State& state)
{
    Convert(state, false, true);
}
void BM_ToBgrLibyuv(benchmark::State& state)
{
    Convert(state, true, false);
}
void BM_ToBgrSwscale(benchmark::State& state)
{
    Convert(state, false, false);
}

constexpr int EncoderFramesPerIteration = 30;

void BM_Wmv3Encoder(benchmark::State& state)
{
    const auto& frames = YuvFrames();
    std::vector<std::uint8_t> packet;
    for (auto _ : state)
    {
        VistelCapture::Wmv3Encoder encoder(Width, Height);
        VistelCapture::Wmv3RateControl rate(BitRate, FrameRate);
        for (int n = 0; n < EncoderFramesPerIteration; ++n)
        {
            const auto& frame = frames[n % frames.size()];
            rate.Encode(encoder,
                        {{frame.planes[0].data(), frame.planes[1].data(), frame.planes[2].data()},
                         {frame.stride[0], frame.stride[1], frame.stride[2]}},
                        packet);
            benchmark::DoNotOptimize(packet.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * EncoderFramesPerIteration);
}

void BM_Wmv2Encoder(benchmark::State& state)
{
    const auto& frames = YuvFrames();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    AVFrame* picture = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    for (auto _ : state)
    {
        // As the writer sets it up (and as a user's ffmpeg -c:v wmv2 -b:v would).
        AVCodecContext* context = avcodec_alloc_context3(codec);
        context->width = Width;
        context->height = Height;
        context->pix_fmt = AV_PIX_FMT_YUV420P;
        context->bit_rate = BitRate;
        context->time_base = AVRational{1, static_cast<int>(FrameRate)};
        context->framerate = AVRational{static_cast<int>(FrameRate), 1};
        if (avcodec_open2(context, codec, nullptr) < 0)
        {
            state.SkipWithError("cannot open the WMV2 encoder");
            avcodec_free_context(&context);
            break;
        }
        const auto drain = [&]
        {
            while (avcodec_receive_packet(context, packet) == 0)
            {
                benchmark::DoNotOptimize(packet->data);
                av_packet_unref(packet);
            }
        };
        for (int n = 0; n < EncoderFramesPerIteration; ++n)
        {
            const auto& frame = frames[n % frames.size()];
            picture->format = AV_PIX_FMT_YUV420P;
            picture->width = Width;
            picture->height = Height;
            for (int plane = 0; plane < 3; ++plane)
            {
                picture->data[plane] = const_cast<std::uint8_t*>(frame.planes[plane].data());
                picture->linesize[plane] = frame.stride[plane];
            }
            picture->pts = n;
            avcodec_send_frame(context, picture);
            drain();
        }
        avcodec_send_frame(context, nullptr);
        drain();
        avcodec_free_context(&context);
    }
    av_packet_free(&packet);
    av_frame_free(&picture);
    state.SetItemsProcessed(state.iterations() * EncoderFramesPerIteration);
}

// The file's average bit rate over 10 s of the moving picture, against the rate asked for.
void BM_Wmv3FileRate(benchmark::State& state)
{
    const std::int32_t width = static_cast<std::int32_t>(state.range(1));
    const std::int32_t height = static_cast<std::int32_t>(state.range(2));
    const std::uint32_t bitRate = static_cast<std::uint32_t>(state.range(0)) * 1000;
    std::vector<Frame> frames;
    for (int n = 0; n < 30; ++n)
    {
        Frame frame(width, height);
        for (std::int32_t y = 0; y < height; ++y)
        {
            for (std::int32_t x = 0; x < width; ++x)
            {
                auto& pixel = frame.At(x, y);
                pixel.blue = static_cast<unsigned char>((x + 4 * n) * 255 / width);
                pixel.green = static_cast<unsigned char>((y + 3 * n) * 255 / height);
                pixel.red = static_cast<unsigned char>(((x + 8 * n) / 32 + (y + 2 * n) / 32) % 2 ? 210 : 30);
            }
        }
        frames.push_back(std::move(frame));
    }
    const auto path = TemporaryPath("-rate.wmv");
    double kbps = 0;
    for (auto _ : state)
    {
        auto now = std::chrono::steady_clock::now();
        VideoWriter writer([&now] { return now; });
        writer.Open(VideoWriter::Wmv3, path.wstring(), width, height, FrameRate, bitRate);
        for (int n = 0; n < 10 * static_cast<int>(FrameRate); ++n)
        {
            writer.AddFrame(frames[n % frames.size()]);
            now += std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / FrameRate));
        }
        writer.Close();
        kbps = std::filesystem::file_size(path) * 8.0 / 10.0 / 1000.0;
        std::filesystem::remove(path);
    }
    state.counters["file_kbps"] = kbps;
    state.counters["of_target"] = kbps * 1000.0 / bitRate;
}

BENCHMARK(BM_AviWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_H264Writer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_H264FfmpegProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
// Three runs of each converter, alternating with its reference.
BENCHMARK(BM_ToI420Libyuv)->Name("BM_ToI420Libyuv/run:1")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToI420Swscale)->Name("BM_ToI420Swscale/run:1")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrLibyuv)->Name("BM_ToBgrLibyuv/run:1")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrSwscale)->Name("BM_ToBgrSwscale/run:1")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToI420Libyuv)->Name("BM_ToI420Libyuv/run:2")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToI420Swscale)->Name("BM_ToI420Swscale/run:2")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrLibyuv)->Name("BM_ToBgrLibyuv/run:2")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrSwscale)->Name("BM_ToBgrSwscale/run:2")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToI420Libyuv)->Name("BM_ToI420Libyuv/run:3")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToI420Swscale)->Name("BM_ToI420Swscale/run:3")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrLibyuv)->Name("BM_ToBgrLibyuv/run:3")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ToBgrSwscale)->Name("BM_ToBgrSwscale/run:3")->Unit(benchmark::kMillisecond)->Iterations(3);
// Three runs of each encoder, alternating, timed by the process's CPU time.
BENCHMARK(BM_Wmv3Encoder)
    ->Name("BM_Wmv3Encoder/run:1")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv2Encoder)
    ->Name("BM_Wmv2Encoder/run:1")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv3Encoder)
    ->Name("BM_Wmv3Encoder/run:2")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv2Encoder)
    ->Name("BM_Wmv2Encoder/run:2")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv3Encoder)
    ->Name("BM_Wmv3Encoder/run:3")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv2Encoder)
    ->Name("BM_Wmv2Encoder/run:3")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(2);
BENCHMARK(BM_Wmv3FileRate)
    ->ArgNames({"kbps", "w", "h"})
    ->ArgsProduct({{1000, 5000, 20000}, {640}, {480}})
    ->Args({1000, 1920, 1080})
    ->Args({5000, 1920, 1080})
    ->Args({20000, 1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

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
    for (const char* run : {"1", "2", "3"})
    {
        for (const char* target : {"I420", "Bgr"})
        {
            const double ours = reporter.Rate(std::string("BM_To") + target + "Libyuv/run:" + run);
            const double reference = reporter.Rate(std::string("BM_To") + target + "Swscale/run:" + run);
            if (ours > 0 && reference > 0)
            {
                // Time per frame, ours over the reference's: the inverse of the rate ratio.
                std::printf(
                    "BGRA to %s at 1080p, libyuv against libswscale, run %s: %.2f against %.2f ms per "
                    "frame, ratio %.2f\n",
                    target, run, 1000 / ours, 1000 / reference, reference / ours);
            }
        }
    }
    for (const char* run : {"1", "2", "3"})
    {
        const double ours = reporter.Rate(std::string("BM_Wmv3Encoder/run:") + run);
        const double reference = reporter.Rate(std::string("BM_Wmv2Encoder/run:") + run);
        if (ours > 0 && reference > 0)
        {
            // CPU per frame, ours over the reference's: the inverse of the rate ratio.
            std::printf(
                "WMV3 1080p encoder against the WMV2 encoder, run %s: %.1f against %.1f ms of CPU per "
                "frame, ratio %.2f\n",
                run, 1000 / ours, 1000 / reference, reference / ours);
        }
    }
    benchmark::Shutdown();
    return 0;
}
