// CPU per 1920x1080 YUYV frame of the whole V4L2 frame path, from the dequeued buffer to `frame`,
// "なし" and the announcements, through the real model on the fake kernel, against libswscale
// converting the same frame from YUYV to BGRA alone, once per frame, as a user's own pipeline
// would. Both sides take a frame every 1/30 s, as from a camera (caches go cold in between, as
// they do in a real run). The back-end alone (dequeue to `frame` and an empty frame callback, no
// model) is measured too, to tell its share from the model's. Three runs, the sides alternating
// within each; prints the ratios to libswscale.
#include "FakeV4l2Kernel.h"
#include "FramePathBench.h"
#include "GrainyPicture.h"

#include "V4l2VideoCapture/V4l2Device.h"
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

extern "C"
{
#include <libswscale/swscale.h>
}

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using Norvex::Testing::FakeV4l2Kernel;

namespace
{

constexpr std::uint32_t width = VistelBench::PictureWidth, height = VistelBench::PictureHeight;
constexpr int framesPerRound = 60;
constexpr auto framePeriod = std::chrono::microseconds(33333);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication qt(argc, argv);
    const auto yuyv = FakeV4l2Kernel::Encode(
        VistelBench::GrainyPicture(), FakeV4l2Kernel::SettledFormat(V4L2_PIX_FMT_YUYV, width, height), false);

    FakeV4l2Kernel kernel;
    auto camera =
        FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_YUYV, width, height, framePeriod);
    kernel.AddCamera(camera);
    kernel.SetContent(camera.node, [&](const v4l2_pix_format&) { return yuyv; });
    camera.node = "/dev/video1"; // the same camera once more, for the back-end alone
    camera.persistentPath = "/dev/v4l/by-id/usb-Second_Camera-video-index0";
    kernel.AddCamera(camera);
    kernel.SetContent(camera.node, [&](const v4l2_pix_format&) { return yuyv; });
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    int status = 0;
    {
        VistelBench::ModelUnderTest model(0);
        if (model->GetCurrentFrameFormat().GetName() != L"YUY2 1920x1080 (30fps)")
        {
            std::fprintf(stderr, "the fake camera's format was not selected\n");
            return 1;
        }

        SwsContext* scaler = sws_getContext(width, height, AV_PIX_FMT_YUYV422, width, height, AV_PIX_FMT_BGRA,
                                            SWS_BILINEAR, nullptr, nullptr, nullptr);
        // The frames come in turn from as many buffers as the back-end queues, and go to two
        // pictures in turn, as in the path: the same memory traffic, so caches favour neither.
        const std::vector<std::vector<unsigned char>> sources(4, yuyv);
        std::vector<std::vector<unsigned char>> targets(
            2, std::vector<unsigned char>(static_cast<std::size_t>(width) * height * 4));
        const auto swscale = [&]
        {
            const int sourceStride[4] = {static_cast<int>(width * 2)};
            const int destinationStride[4] = {static_cast<int>(width * 4)};
            double cpu = 0;
            for (int i = 0; i < framesPerRound; ++i)
            {
                const std::uint8_t* source[4] = {
                    sources[static_cast<std::size_t>(i) % sources.size()].data()};
                std::uint8_t* destination[4] = {targets[static_cast<std::size_t>(i) % targets.size()].data()};
                std::this_thread::sleep_for(framePeriod);
                const double start = VistelBench::ProcessCpuSeconds();
                sws_scale(scaler, source, sourceStride, 0, height, destination, destinationStride);
                cpu += VistelBench::ProcessCpuSeconds() - start;
            }
            return cpu / framesPerRound;
        };
        Norvex::Core::V4l2VideoCapture::V4l2Device device(kernel, camera.node, true);
        std::mutex mutex;
        std::condition_variable delivered;
        long long frames = 0;
        device.SetFrameCallback(
            [&](Norvex::Core::VideoCapture::Device*,
                const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>&)
            {
                std::lock_guard lock(mutex);
                ++frames;
                delivered.notify_one();
            });
        const auto backEnd = [&]
        {
            const auto waitFor = [&](long long target)
            {
                std::unique_lock lock(mutex);
                delivered.wait(lock, [&] { return frames >= target; });
                return frames;
            };
            device.Start();
            const long long first = waitFor(frames + 3);
            const double start = VistelBench::ProcessCpuSeconds();
            waitFor(first + framesPerRound);
            const double cpu = VistelBench::ProcessCpuSeconds() - start;
            const long long counted = waitFor(0) - first;
            device.Stop();
            return cpu / static_cast<double>(counted);
        };
        std::printf("CPU per 1920x1080 YUYV frame at 30 fps: libswscale's conversion alone against the V4L2 "
                    "frame path (dequeue to frame, \"なし\", announcements)\n");
        const auto ratios = VistelBench::RunInterleaved({{"libswscale", swscale},
                                                         {"path",
                                                          [&]
                                                          {
                                                              return model.Measure(framesPerRound);
                                                          }},
                                                         {"back-end", backEnd}});
        sws_freeContext(scaler);
        for (const auto& run : ratios)
        {
            status |= run[0] > 0.35 ? 2 : 0;
        }
        std::printf("%s (target: path <= 0.35 x libswscale in every run)\n", status ? "MISSED" : "met");
    }
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    return status;
}
