// CPU per 1920x1080 YUY2 frame (BT.601, as UVC cameras state it) of the whole frame path through
// the GStreamer back-end (test camera, decodebin, videoconvert passing the frame through, appsink,
// the frame converter, `frame`, "なし", announcements) against the same path through the V4L2
// back-end on the fake kernel, both at 30 frames per second through the real model. The test
// camera alone (the same element and caps into a fakesink) is measured too, so its own share can
// be told apart. Three runs, the sides alternating within each; prints the ratios.
#include "FakeV4l2Kernel.h"
#include "FramePathBench.h"

#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <gst/gst.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

using Norvex::Testing::FakeV4l2Kernel;

namespace
{

constexpr std::uint32_t width = 1920, height = 1080;
constexpr int framesPerRound = 45;
constexpr const char* cameraName = "Norvex Test Camera 5 (layouts)";
constexpr const wchar_t* formatName = L"YUY2 1920x1080 (30fps)";

// The test camera's element and caps into a fakesink: what the camera itself costs per frame.
class CameraAlone
{
public:
    CameraAlone()
    {
        GstDeviceMonitor* monitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
        GList* found = gst_device_monitor_get_devices(monitor);
        GstElement* source = nullptr;
        for (GList* item = found; item && !source; item = item->next)
        {
            gchar* name = gst_device_get_display_name(GST_DEVICE(item->data));
            if (g_strcmp0(name, cameraName) == 0)
            {
                source = gst_device_create_element(GST_DEVICE(item->data), nullptr);
            }
            g_free(name);
        }
        g_list_free_full(found, gst_object_unref);
        gst_object_unref(monitor);
        if (!source)
        {
            throw std::runtime_error("test camera 5 not found");
        }
        pipeline = gst_pipeline_new(nullptr);
        GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        GstCaps* caps = gst_caps_from_string("video/x-raw, format=YUY2, width=1920, height=1080, "
                                             "framerate=30/1, colorimetry=bt601");
        g_object_set(filter, "caps", caps, nullptr);
        gst_caps_unref(caps);
        g_object_set(sink, "signal-handoffs", TRUE, "sync", FALSE, nullptr);
        g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer user) {
                             static_cast<CameraAlone*>(user)->Add();
                         }),
                         this);
        gst_bin_add_many(GST_BIN(pipeline), source, filter, sink, nullptr);
        gst_element_link_many(source, filter, sink, nullptr);
    }
    ~CameraAlone() { gst_object_unref(pipeline); }

    double Measure(int count)
    {
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        Wait(Count() + 3);
        const long long first = Count();
        const double start = VistelBench::ProcessCpuSeconds();
        Wait(first + count);
        const double cpu = VistelBench::ProcessCpuSeconds() - start;
        const long long counted = Count() - first;
        gst_element_set_state(pipeline, GST_STATE_NULL);
        return cpu / static_cast<double>(counted);
    }

private:
    void Add()
    {
        std::lock_guard lock(mutex);
        ++frames;
        changed.notify_all();
    }
    long long Count()
    {
        std::lock_guard lock(mutex);
        return frames;
    }
    void Wait(long long target)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return frames >= target; });
    }

    GstElement* pipeline = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    long long frames = 0;
};

} // namespace

int main(int argc, char** argv)
{
    // The test camera, with a registry of the build's own, unless the caller chose otherwise.
    setenv("GST_PLUGIN_PATH", NORVEX_TEST_CAMERA_PATH, 0);
    setenv("GST_REGISTRY", NORVEX_TEST_CAMERA_REGISTRY, 0);
    QCoreApplication qt(argc, argv);
    auto gstreamer = std::make_shared<Norvex::Core::GStreamerInitializer>();

    // The fake camera sends the test camera's picture: the same bars, coded as the camera codes them.
    std::vector<unsigned char> bars(static_cast<std::size_t>(width) * height * 4);
    static constexpr unsigned char colours[7][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0},
                                                    {0, 255, 0},     {255, 0, 255}, {0, 0, 255},
                                                    {255, 0, 0}}; // B, G, R
    for (std::size_t pixel = 0; pixel < bars.size() / 4; ++pixel)
    {
        const auto& colour = colours[(pixel % width) * 7 / width];
        std::copy(colour, colour + 3, &bars[pixel * 4]);
        bars[pixel * 4 + 3] = 255;
    }
    const auto yuyv =
        FakeV4l2Kernel::Encode(bars, FakeV4l2Kernel::SettledFormat(V4L2_PIX_FMT_YUYV, width, height), false);
    FakeV4l2Kernel kernel;
    // Frames every 1/30 s, as the test camera's.
    const auto camera = FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_YUYV, width, height,
                                                        std::chrono::microseconds(33333));
    kernel.AddCamera(camera);
    kernel.SetContent(camera.node, [&](const v4l2_pix_format&) { return yuyv; });
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);

    int status = 0;
    {
        VistelBench::ModelUnderTest v4l2(0);
        VistelBench::ModelUnderTest gst(1);
        int device = -1;
        for (std::size_t i = 0; i < gst->GetDevices().size(); ++i)
        {
            if (gst->GetDevices()[i]->friendlyName == Norvex::Core::ToWideString(cameraName))
            {
                device = static_cast<int>(i);
            }
        }
        if (device < 0)
        {
            std::fprintf(stderr, "test camera 5 not found\n");
            return 1;
        }
        gst->SelectDevice(device);
        const auto& formats = gst->GetCurrentDevice().frameFormats;
        for (std::size_t i = 0; i < formats.size(); ++i)
        {
            if (formats[i]->GetName() == formatName)
            {
                gst->SelectFrameFormat(static_cast<int>(i));
            }
        }
        if (gst->GetCurrentFrameFormat().GetName() != formatName ||
            v4l2->GetCurrentFrameFormat().GetName() != formatName)
        {
            std::fprintf(stderr, "the 1920x1080 YUY2 formats were not selected\n");
            return 1;
        }
        CameraAlone alone;
        std::printf("CPU per 1920x1080 YUY2 frame at 30 fps through the model: the V4L2 path against the "
                    "GStreamer path and the test camera alone\n");
        const auto ratios = VistelBench::RunInterleaved({{"v4l2",
                                                          [&]
                                                          {
                                                              return v4l2.Measure(framesPerRound);
                                                          }},
                                                         {"gstreamer",
                                                          [&]
                                                          {
                                                              return gst.Measure(framesPerRound);
                                                          }},
                                                         {"camera",
                                                          [&]
                                                          {
                                                              return alone.Measure(framesPerRound);
                                                          }}},
                                                        3);
        // The fake V4L2 camera costs next to nothing; the test camera's own cost (its cached
        // picture copied into each buffer, live pacing) is not the back-end's.
        for (const auto& run : ratios)
        {
            const double path = run[0] - run[1];
            std::printf("path without the camera: gstreamer/v4l2 %.3f\n", path);
            status |= path > 1.2 ? 2 : 0;
        }
        std::printf(
            "%s (target: the GStreamer path without its camera <= 1.2 x the V4L2 path in every run)\n",
            status ? "MISSED" : "met");
    }
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    return status;
}
