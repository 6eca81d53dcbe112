// The video writer against a reference measured in the same run, three runs of each side,
// interleaved:
// - AVI: throughput of our writer (BGRA frames in; conversion to bottom-up 24-bit rows, chunks,
//   header updates) against plain write(2) of the same 24-bit bytes, already converted; once into
//   the page cache, once on to the disk (fdatasync before the clock stops); and against a user's
//   own program converting each frame once with libyuv and writing it, on one thread;
// - H.264 1080p: CPU time per frame of the whole process recording the moving picture through our
//   writer, against the ffmpeg program recording it, both reading the same raw BGRA frames from one
//   file: ffmpeg converts once (its default scaler) and encodes with the writer's settings
//   (libx264, preset, Main profile, no B-frames, no look-ahead, GOP, bit rate, thread count,
//   fragmented MP4);
// - WMV3 1080p: CPU time per frame of our encoder (with its rate control and key frame interval)
//   against libavcodec's WMV2 encoder, set up as the writer sets it up, on the same 4:2:0 frames:
//   the moving picture, the test camera's, and a natural one made from the photograph
//   $VISTEL_BENCH_PHOTO names (PictureSources.h; skipped without it);
// - colour conversion of 1080p BGRA frames as the writer does it (libyuv) against libswscale's,
//   to I420 for the encoders and to 24-bit rows for AVI;
// - WMV3 bit rate: the file's average rate over 10 s of a moving picture through the writer,
//   against the rate asked for (a figure, not a speed).
// Files go to $TMPDIR and are deleted after each iteration; the raw frames (about 1 GB) when the
// program ends.

#include "FfmpegMovieWriter.h"
#include "MovingPicture.h"
#include "PictureSources.h"
#include "ProcessDriver.h"

#include <AviFileWriter.h>
#include <VideoWriter.h>
#include <Wmv3Encoder.h>
#include <Wmv3RateControl.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
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
// Five seconds: the queue's first second, which allocates its buffers, is not all of it.
constexpr int AviFramesPerIteration = 150;
// The AVI sides take their frames from this many buffers in turn: the model hands the writer
// the device's frame, one of two pictures the back-end converts into by turns, so it arrives
// warm from the conversion; a user's pipeline writes freshly converted buffers likewise.
constexpr int AviSourceBuffers = 2;
// Four seconds of the moving picture, each frame different.
constexpr int H264FramesPerIteration = 120;

Frame MovingFrame(int n)
{
    return VistelBench::MovingFrame(n, Width, Height);
}

// The first 16 frames of the moving picture, kept in memory.
const std::vector<Frame>& Frames()
{
    static const std::vector<Frame> frames = []
    {
        std::vector<Frame> result;
        for (int n = 0; n < 16; ++n)
        {
            result.push_back(MovingFrame(n));
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

// The H.264 frames as raw BGRA, written once, read by both sides of the comparison.
class RawFrameFile
{
public:
    RawFrameFile() : path(TemporaryPath("-frames.bgra"))
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
        {
            throw std::runtime_error("cannot create " + path.string());
        }
        for (int n = 0; n < H264FramesPerIteration; ++n)
        {
            const Frame frame = MovingFrame(n);
            const auto* bytes = reinterpret_cast<const char*>(frame.data);
            const std::size_t size = std::size_t(frame.stride) * Height;
            for (std::size_t done = 0; done < size;)
            {
                const ssize_t written = ::write(fd, bytes + done, size - done);
                if (written <= 0)
                {
                    ::close(fd);
                    throw std::runtime_error("cannot write " + path.string());
                }
                done += std::size_t(written);
            }
        }
        ::close(fd);
    }
    RawFrameFile(const RawFrameFile&) = delete;
    RawFrameFile& operator=(const RawFrameFile&) = delete;
    ~RawFrameFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }

    const std::filesystem::path path;
};

const RawFrameFile& RawFrames()
{
    static const RawFrameFile file;
    return file;
}

// Reads the next frame of the raw file into frame, as a camera's frame arrives in a buffer.
bool ReadFrame(int fd, Frame& frame)
{
    auto* bytes = reinterpret_cast<char*>(frame.data);
    const std::size_t size = std::size_t(frame.stride) * frame.height;
    for (std::size_t done = 0; done < size;)
    {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got <= 0)
        {
            return false;
        }
        done += std::size_t(got);
    }
    return true;
}

double Seconds(const timeval& time)
{
    return double(time.tv_sec) + double(time.tv_usec) / 1e6;
}

// User and system time of this process (every thread, also those that ended).
double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// The process's CPU time per frame, every thread's (also the deleting of the files between
// iterations, alike on both sides): a figure beside the throughput, telling how much of the work
// runs in parallel.
void SetCpuPerFrame(benchmark::State& state, double seconds, int framesPerIteration)
{
    state.counters["cpu_ms_per_frame"] = 1000 * seconds / double(state.iterations() * framesPerIteration);
}

// Writes the file's data to the disk; a recording longer than the page cache holds goes at the
// disk's pace, whoever writes it.
void SyncToDisk(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        ::fdatasync(fd);
        ::close(fd);
    }
}

void AviWriter(benchmark::State& state, bool toDisk)
{
    const auto& frames = Frames();
    const auto path = TemporaryPath(".avi");
    const double cpuBefore = CpuSeconds();
    for (auto _ : state)
    {
        VideoWriter writer;
        writer.Open(VideoWriter::Avi, path.wstring(), Width, Height, FrameRate, 0);
        for (int n = 0; n < AviFramesPerIteration; ++n)
        {
            writer.AddFrame(frames[n % AviSourceBuffers]);
        }
        writer.Close();
        if (toDisk)
        {
            SyncToDisk(path);
        }
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    SetCpuPerFrame(state, CpuSeconds() - cpuBefore, AviFramesPerIteration);
    state.SetBytesProcessed(state.iterations() * AviFramesPerIteration * std::int64_t(Width * 3) * Height);
}

// The AVI's body: bottom-up 24-bit rows of the frame, written from the last row up as the writer
// does (reading a frame that is not in the cache upward instead takes twice as long).
void ToBottomUpBgr(const Frame& frame, std::vector<unsigned char>& bytes)
{
    bytes.resize(std::size_t(Width * 3) * Height);
    libyuv::ARGBToRGB24(reinterpret_cast<const std::uint8_t*>(frame.data), frame.stride,
                        bytes.data() + std::size_t(Width * 3) * (Height - 1), -Width * 3, Width, Height);
}

// Times write(2) of AviFramesPerIteration frames of 24-bit rows into one new file, each frame in one
// call or in calls of at most `piece` bytes; `rowsOf(n)` gives frame n's bytes.
template <typename RowsOf>
void WriteFrames(benchmark::State& state, bool toDisk, std::size_t piece, RowsOf rowsOf)
{
    const auto path = TemporaryPath(".raw");
    const double cpuBefore = CpuSeconds();
    std::size_t frameBytes = 0;
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
            const std::vector<unsigned char>& bytes = rowsOf(n);
            frameBytes = bytes.size();
            for (std::size_t done = 0; done < bytes.size();)
            {
                const std::size_t size = piece > 0 ? std::min(piece, bytes.size() - done) : bytes.size();
                if (::write(fd, bytes.data() + done, size) != static_cast<ssize_t>(size))
                {
                    state.SkipWithError("write failed");
                    break;
                }
                done += size;
            }
        }
        if (toDisk)
        {
            ::fdatasync(fd);
        }
        ::close(fd);
        state.PauseTiming();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    SetCpuPerFrame(state, CpuSeconds() - cpuBefore, AviFramesPerIteration);
    state.SetBytesProcessed(state.iterations() * AviFramesPerIteration * std::int64_t(frameBytes));
}

// The same bytes the AVI holds, converted before the clock starts.
void PlainWrite(benchmark::State& state, bool toDisk, std::size_t piece = 0)
{
    std::vector<std::vector<unsigned char>> rows(AviSourceBuffers);
    for (int n = 0; n < AviSourceBuffers; ++n)
    {
        ToBottomUpBgr(Frames()[n], rows[n]);
    }
    WriteFrames(state, toDisk, piece,
                [&](int n) -> const std::vector<unsigned char>& { return rows[n % AviSourceBuffers]; });
}

// A user's own program writing the same file body: each frame converted once to bottom-up
// 24-bit rows by libyuv, then write(2), on one thread.
void BM_ConvertAndWrite(benchmark::State& state)
{
    std::vector<unsigned char> bytes;
    WriteFrames(state, false, 0,
                [&](int n) -> const std::vector<unsigned char>&
                {
                    ToBottomUpBgr(Frames()[n % AviSourceBuffers], bytes);
                    return bytes;
                });
}

void BM_AviWriter(benchmark::State& state)
{
    AviWriter(state, false);
}
void BM_AviWriterAgain(benchmark::State& state)
{
    AviWriter(state, false);
}
void BM_PlainWrite(benchmark::State& state)
{
    PlainWrite(state, false);
}
void BM_AviWriterOnceMore(benchmark::State& state)
{
    AviWriter(state, false);
}
// As the writer calls write(2): at most AviFileWriter::BlockBytes per call.
void BM_PlainWriteInPieces(benchmark::State& state)
{
    PlainWrite(state, false, VistelCapture::AviFileWriter::BlockBytes);
}
void BM_AviWriterToDisk(benchmark::State& state)
{
    AviWriter(state, true);
}
void BM_PlainWriteToDisk(benchmark::State& state)
{
    PlainWrite(state, true);
}

// Timed by the process's CPU time, the writer's threads included (they end with Close).
void BM_H264Writer(benchmark::State& state)
{
    const auto& source = RawFrames();
    const auto path = TemporaryPath(".mp4");
    Frame frame(Width, Height);
    for (auto _ : state)
    {
        const double before = CpuSeconds();
        const int fd = ::open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
        {
            state.SkipWithError("cannot open the raw frames");
            break;
        }
        {
            // Frames arrive at the nominal rate, as from a camera, so rate control sees 30 fps.
            auto now = std::chrono::steady_clock::now();
            VideoWriter writer([&now] { return now; });
            writer.Open(VideoWriter::H264, path.wstring(), Width, Height, FrameRate, BitRate);
            while (ReadFrame(fd, frame))
            {
                writer.AddFrame(frame);
                now += std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / FrameRate));
            }
            writer.Close();
        }
        ::close(fd);
        state.SetIterationTime(CpuSeconds() - before);
        std::filesystem::remove(path);
    }
    state.SetItemsProcessed(state.iterations() * H264FramesPerIteration);
}

// Timed by the CPU time of the ffmpeg process, waited for.
void BM_H264FfmpegProgram(benchmark::State& state)
{
    const auto& source = RawFrames();
    const auto path = TemporaryPath("-ffmpeg.mp4");
    const std::vector<std::string> arguments = {
        "ffmpeg", "-nostdin", "-v", "error", "-y",
        // The raw frames as they are in memory.
        "-f", "rawvideo", "-pix_fmt", "bgra", "-s", std::to_string(Width) + "x" + std::to_string(Height),
        "-r", "30", "-i", source.path.string(),
        // The writer's encoder settings.
        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset",
        VistelCapture::FfmpegMovieWriter::H264Preset(Width, Height, FrameRate), "-profile:v", "main", "-bf",
        "0", "-g", std::to_string(static_cast<int>(2 * FrameRate)), "-x264-params",
        "rc-lookahead=0:sync-lookahead=0", "-b:v", std::to_string(BitRate), "-threads",
        std::to_string(VistelCapture::FfmpegMovieWriter::H264ThreadCount()),
        // And its container: fragmented MP4 with fragments of 0.3 s at most.
        "-movflags", "+frag_keyframe+empty_moov+default_base_moof", "-frag_duration", "300000",
        path.string()};
    for (auto _ : state)
    {
        const auto usage = VistelBench::Wait(VistelBench::Spawn(arguments, "/dev/null"));
        if (!usage.ok)
        {
            state.SkipWithError("ffmpeg failed");
            break;
        }
        state.SetIterationTime(usage.cpuSeconds);
        std::filesystem::remove(path);
    }
    state.SetItemsProcessed(state.iterations() * H264FramesPerIteration);
}

// The moving frames in 4:2:0 for the encoders.
using YuvFrame = VistelBench::YuvPicture;

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
            yuv.stride[0] = Width;
            yuv.stride[1] = yuv.stride[2] = Width / 2;
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
    yuv.stride[0] = Width;
    yuv.stride[1] = yuv.stride[2] = Width / 2;
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
                // Into the bottom-up file rows, as the AVI writer converts a frame on its way in.
                ToBottomUpBgr(frame, rows);
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

// The natural picture at 1080p (PictureSources.h), from the photograph $VISTEL_BENCH_PHOTO names;
// empty without one.
const std::vector<YuvFrame>& NaturalFrames()
{
    static const std::vector<YuvFrame> frames = []
    {
        const char* photo = std::getenv("VISTEL_BENCH_PHOTO");
        return photo && *photo
                   ? VistelBench::ReadPictures(VistelBench::PictureSource::Natural, Width, Height, 30, photo)
                   : std::vector<YuvFrame>{};
    }();
    return frames;
}

// The test camera's picture at 1080p (PictureSources.h).
const std::vector<YuvFrame>& TestCameraFrames()
{
    static const std::vector<YuvFrame> frames =
        VistelBench::ReadPictures(VistelBench::PictureSource::TestCamera, Width, Height, 30, {});
    return frames;
}

void EncodeWmv3(benchmark::State& state, const std::vector<YuvFrame>& frames)
{
    if (frames.empty())
    {
        state.SkipWithError("no frames: set VISTEL_BENCH_PHOTO to a photograph");
        return;
    }
    std::vector<std::uint8_t> packet;
    for (auto _ : state)
    {
        VistelCapture::Wmv3Encoder encoder(Width, Height);
        VistelCapture::Wmv3RateControl rate(BitRate, FrameRate,
                                            VistelCapture::FfmpegMovieWriter::WmvKeyFrameInterval);
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

void EncodeWmv2(benchmark::State& state, const std::vector<YuvFrame>& frames)
{
    if (frames.empty())
    {
        state.SkipWithError("no frames: set VISTEL_BENCH_PHOTO to a photograph");
        return;
    }
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
        context->gop_size = VistelCapture::FfmpegMovieWriter::WmvKeyFrameInterval;
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

void BM_Wmv3Encoder(benchmark::State& state)
{
    EncodeWmv3(state, YuvFrames());
}
void BM_Wmv2Encoder(benchmark::State& state)
{
    EncodeWmv2(state, YuvFrames());
}
void BM_Wmv3EncoderTestCamera(benchmark::State& state)
{
    EncodeWmv3(state, TestCameraFrames());
}
void BM_Wmv2EncoderTestCamera(benchmark::State& state)
{
    EncodeWmv2(state, TestCameraFrames());
}
void BM_Wmv3EncoderNatural(benchmark::State& state)
{
    EncodeWmv3(state, NaturalFrames());
}
void BM_Wmv2EncoderNatural(benchmark::State& state)
{
    EncodeWmv2(state, NaturalFrames());
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

using BenchmarkFunction = void (*)(benchmark::State&);

// One comparison: our side and its reference, run three times each, alternating, so a change of
// the machine's load falls on both.
struct Comparison
{
    const char* ours;
    BenchmarkFunction oursFunction;
    const char* reference;
    BenchmarkFunction referenceFunction;
    void (*setUp)(benchmark::internal::Benchmark*);
    // How the result reads: per frame (a time, ours over the reference's) or a rate (ours over
    // the reference's), and its unit.
    bool perFrame;
    const char* what;
    const char* unit;
    double scale; // from the benchmark's rate to the unit
};

const Comparison Comparisons[] = {
    {"BM_AviWriter", BM_AviWriter, "BM_PlainWrite", BM_PlainWrite,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4); },
     false, "AVI 1080p writer against write(2) of the same bytes", "MB/s", 1e-6},
    {"BM_AviWriterAgain", BM_AviWriterAgain, "BM_ConvertAndWrite", BM_ConvertAndWrite,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4); },
     false, "AVI 1080p writer against libyuv's conversion and write(2) on one thread", "MB/s", 1e-6},
    {"BM_AviWriterOnceMore", BM_AviWriterOnceMore, "BM_PlainWriteInPieces", BM_PlainWriteInPieces,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4); },
     false, "AVI 1080p writer against write(2) of the same bytes in the writer's pieces of 1 MiB", "MB/s",
     1e-6},
    {"BM_AviWriterToDisk", BM_AviWriterToDisk, "BM_PlainWriteToDisk", BM_PlainWriteToDisk,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2); },
     false, "AVI 1080p writer against write(2) of the same bytes, on the disk (fdatasync)", "MB/s", 1e-6},
    {"BM_H264Writer", BM_H264Writer, "BM_H264FfmpegProgram", BM_H264FfmpegProgram,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1); },
     true, "H.264 1080p recording against the ffmpeg program", "ms of CPU per frame", 1e3},
    {"BM_ToI420Libyuv", BM_ToI420Libyuv, "BM_ToI420Swscale", BM_ToI420Swscale,
     [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->Iterations(3); }, true,
     "BGRA to I420 at 1080p, libyuv against libswscale", "ms per frame", 1e3},
    {"BM_ToBgrLibyuv", BM_ToBgrLibyuv, "BM_ToBgrSwscale", BM_ToBgrSwscale,
     [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->Iterations(3); }, true,
     "BGRA to bottom-up BGR at 1080p, libyuv against libswscale", "ms per frame", 1e3},
    {"BM_Wmv3Encoder", BM_Wmv3Encoder, "BM_Wmv2Encoder", BM_Wmv2Encoder,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(2); },
     true, "WMV3 1080p encoder against the WMV2 encoder", "ms of CPU per frame", 1e3},
    {"BM_Wmv3EncoderTestCamera", BM_Wmv3EncoderTestCamera, "BM_Wmv2EncoderTestCamera",
     BM_Wmv2EncoderTestCamera,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(2); },
     true, "WMV3 1080p encoder against the WMV2 encoder, test camera's picture", "ms of CPU per frame", 1e3},
    {"BM_Wmv3EncoderNatural", BM_Wmv3EncoderNatural, "BM_Wmv2EncoderNatural", BM_Wmv2EncoderNatural,
     [](benchmark::internal::Benchmark* b)
     { b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(2); },
     true, "WMV3 1080p encoder against the WMV2 encoder, natural picture", "ms of CPU per frame", 1e3},
};

void RegisterComparisons()
{
    for (const auto& comparison : Comparisons)
    {
        for (const char* run : {"1", "2", "3"})
        {
            comparison.setUp(benchmark::RegisterBenchmark(
                (std::string(comparison.ours) + "/run:" + run).c_str(), comparison.oursFunction));
            comparison.setUp(benchmark::RegisterBenchmark(
                (std::string(comparison.reference) + "/run:" + run).c_str(), comparison.referenceFunction));
        }
    }
    benchmark::RegisterBenchmark("BM_Wmv3FileRate", BM_Wmv3FileRate)
        ->ArgNames({"kbps", "w", "h"})
        ->ArgsProduct({{1000, 5000, 20000}, {640}, {480}})
        ->Args({1000, 1920, 1080})
        ->Args({5000, 1920, 1080})
        ->Args({20000, 1920, 1080})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
}

void PrintComparisons(const RatioReporter& reporter)
{
    for (const auto& comparison : Comparisons)
    {
        for (const char* run : {"1", "2", "3"})
        {
            const double ours = reporter.Rate(std::string(comparison.ours) + "/run:" + run);
            const double reference = reporter.Rate(std::string(comparison.reference) + "/run:" + run);
            if (ours <= 0 || reference <= 0)
            {
                continue;
            }
            if (comparison.perFrame)
            {
                std::printf("%s, run %s: %.2f against %.2f %s, ratio %.2f\n", comparison.what, run,
                            comparison.scale / ours, comparison.scale / reference, comparison.unit,
                            reference / ours);
            }
            else
            {
                std::printf("%s, run %s: %.1f against %.1f %s, ratio %.2f\n", comparison.what, run,
                            ours * comparison.scale, reference * comparison.scale, comparison.unit,
                            ours / reference);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    RegisterComparisons();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintComparisons(reporter);
    benchmark::Shutdown();
    return 0;
}
