// Per-frame CPU of the V4L2 back-end for 1920x1080 YUYV and MJPG frames turned into BGRA, against
// the libraries it uses called alone on the same input, and a plain copy of a BGRA frame.
#include "FakeV4l2Kernel.h"
#include "GrainyPicture.h"

#include "V4l2VideoCapture/V4l2Device.h"

#include <benchmark/benchmark.h>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

using namespace Norvex::Core;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

constexpr std::uint32_t width = VistelBench::PictureWidth, height = VistelBench::PictureHeight;

v4l2_pix_format Native(std::uint32_t pixelFormat)
{
    return FakeV4l2Kernel::SettledFormat(pixelFormat, width, height);
}

const std::vector<unsigned char>& Input(std::uint32_t pixelFormat)
{
    static const auto yuyv =
        FakeV4l2Kernel::Encode(VistelBench::GrainyPicture(), Native(V4L2_PIX_FMT_YUYV), false);
    static const auto mjpg =
        FakeV4l2Kernel::Encode(VistelBench::GrainyPicture(), Native(V4L2_PIX_FMT_MJPEG), false);
    return pixelFormat == V4L2_PIX_FMT_YUYV ? yuyv : mjpg;
}

void MemcpyFloor(benchmark::State& state)
{
    std::vector<unsigned char> source(VistelBench::GrainyPicture()), target(source.size());
    for (auto _ : state)
    {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
}

void SwscaleYuyv(benchmark::State& state)
{
    const auto& input = Input(V4L2_PIX_FMT_YUYV);
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_YUYV422, width, height, AV_PIX_FMT_BGRA,
                                         static_cast<int>(state.range(0)), nullptr, nullptr, nullptr);
    std::vector<unsigned char> target(static_cast<std::size_t>(width) * height * 4);
    const std::uint8_t* source[4] = {input.data()};
    const int sourceStride[4] = {static_cast<int>(width * 2)};
    std::uint8_t* destination[4] = {target.data()};
    const int destinationStride[4] = {static_cast<int>(width * 4)};
    for (auto _ : state)
    {
        sws_scale(context, source, sourceStride, 0, height, destination, destinationStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
}

void TurboJpegMjpg(benchmark::State& state)
{
    const auto& input = Input(V4L2_PIX_FMT_MJPEG);
    tjhandle decompressor = tjInitDecompress();
    std::vector<unsigned char> target(static_cast<std::size_t>(width) * height * 4);
    for (auto _ : state)
    {
        if (tjDecompress2(decompressor, input.data(), input.size(), target.data(), width, width * 4, height,
                          TJPF_BGRA, 0) != 0)
        {
            state.SkipWithError("tjDecompress2 failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    tjDestroy(decompressor);
}

void AvcodecSwscaleMjpg(benchmark::State& state)
{
    const auto& input = Input(V4L2_PIX_FMT_MJPEG);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_open2(decoder, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<unsigned char> data(input.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(data.data(), input.data(), input.size());
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_YUV422P, width, height, AV_PIX_FMT_BGRA,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(context, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
    std::vector<unsigned char> target(static_cast<std::size_t>(width) * height * 4);
    std::uint8_t* destination[4] = {target.data()};
    const int destinationStride[4] = {static_cast<int>(width * 4)};
    for (auto _ : state)
    {
        packet->data = data.data();
        packet->size = static_cast<int>(input.size());
        if (avcodec_send_packet(decoder, packet) < 0 || avcodec_receive_frame(decoder, frame) < 0 ||
            frame->format != AV_PIX_FMT_YUVJ422P)
        {
            state.SkipWithError("decoding failed");
            break;
        }
        sws_scale(context, frame->data, frame->linesize, 0, height, destination, destinationStride);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
}

// The whole back-end: poll, dequeue, convert into `frame`, callback, requeue, on the device's own
// thread; the fake node hands out the same prepared buffer as fast as it is taken.
void DeviceOnFrame(benchmark::State& state, std::uint32_t pixelFormat)
{
    FakeV4l2Kernel kernel;
    const auto camera = FakeV4l2Kernel::OneFormatCamera("/dev/video0", pixelFormat, width, height,
                                                        std::chrono::microseconds(0));
    kernel.AddCamera(camera);
    kernel.SetContent(camera.node, [pixelFormat](const v4l2_pix_format&) { return Input(pixelFormat); });

    V4l2VideoCapture::V4l2Device device(kernel, camera.node, true);
    std::mutex mutex;
    std::condition_variable delivered;
    std::uint64_t frames = 0;
    std::atomic<bool> failed{false};
    device.SetFrameCallback(
        [&](VideoCapture::Device*, const Image<Pixel<unsigned char>>&)
        {
            std::lock_guard lock(mutex);
            ++frames;
            delivered.notify_one();
        });
    device.SetExceptionCallback([&](VideoCapture::Device*, const Exception&) { failed = true; });
    device.Start();
    std::uint64_t seen = 0;
    {
        std::unique_lock lock(mutex);
        delivered.wait(lock, [&] { return frames > 0; });
        seen = frames;
    }
    const std::uint64_t first = seen;
    for (auto _ : state)
    {
        std::unique_lock lock(mutex);
        delivered.wait(lock, [&] { return frames > seen; });
        seen = frames;
    }
    device.Stop();
    // Frames can arrive faster than the loop wakes; the counter gives CPU per frame exactly.
    state.counters["framesPerIteration"] = static_cast<double>(seen - first) /
                                           static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    if (failed)
    {
        state.SkipWithError("the device reported a failure");
    }
}

} // namespace

BENCHMARK(MemcpyFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(SwscaleYuyv)->Arg(SWS_BILINEAR)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DeviceOnFrame, Yuyv, V4L2_PIX_FMT_YUYV)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK(TurboJpegMjpg)->Unit(benchmark::kMillisecond);
BENCHMARK(AvcodecSwscaleMjpg)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DeviceOnFrame, Mjpg, V4L2_PIX_FMT_MJPEG)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

BENCHMARK_MAIN();
