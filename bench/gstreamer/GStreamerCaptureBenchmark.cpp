// CPU time of the whole process per delivered 1920x1080 YUY2 frame: through the GStreamer
// back-end (decodebin, videoconvert, BGRA appsink, copy into the device's frame, callback) against
// a plain pipeline doing the same conversion into an appsink, both from the same test camera in
// the same run. Prints the ratio at the end.
#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/VideoCapture/VideoCapture.h>

#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

using namespace Norvex::Core;
using namespace Norvex::Core::VideoCapture;

namespace
{

constexpr const char* cameraName = "Norvex Test Camera 1";
constexpr const wchar_t* formatName = L"YUY2 1920x1080 (30fps)";
constexpr int warmUpFrames = 5;

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

class FrameCounter
{
public:
    void Add()
    {
        std::lock_guard lock(mutex);
        ++frames;
        changed.notify_all();
    }
    void WaitFor(long long target)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return frames >= target; });
    }
    long long Count()
    {
        std::lock_guard lock(mutex);
        return frames;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    long long frames = 0;
};

double backEndSeconds = 0;
double referenceSeconds = 0;

// Each iteration waits for one more frame; the figure is process CPU time over frames delivered.
void Measure(benchmark::State& state, FrameCounter& counter, double& result)
{
    counter.WaitFor(warmUpFrames);
    const long long firstFrame = counter.Count();
    const double firstCpu = ProcessCpuSeconds();
    long long next = firstFrame;
    for (auto _ : state)
    {
        counter.WaitFor(++next);
    }
    const double cpu = ProcessCpuSeconds() - firstCpu;
    const long long frames = counter.Count() - firstFrame;
    result = cpu / static_cast<double>(frames);
    state.counters["cpu_ms_per_frame"] = result * 1e3;
    state.counters["frames"] = static_cast<double>(frames);
}

void BackEnd(benchmark::State& state)
{
    const auto devices = EnumerateDevices(CaptureApiFamily::GStreamer, true, true);
    std::shared_ptr<Device> device;
    for (const auto& candidate : devices)
    {
        if (candidate->friendlyName == L"Norvex Test Camera 1")
        {
            device = candidate;
        }
    }
    int index = -1;
    for (std::size_t i = 0; device && i < device->frameFormats.size(); ++i)
    {
        if (device->frameFormats[i]->GetName() == formatName)
        {
            index = static_cast<int>(i);
        }
    }
    if (index < 0)
    {
        state.SkipWithError("test camera or its 1920x1080 YUY2 format not found");
        return;
    }
    device->Unprepare();
    device->frameFormatIndex = index;
    device->Prepare();
    FrameCounter counter;
    device->SetFrameCallback([&counter](Device*, const Image<Pixel<unsigned char>>&) { counter.Add(); });
    device->Start();
    Measure(state, counter, backEndSeconds);
    device->Stop();
    device->SetFrameCallback({});
}

GstFlowReturn OnReferenceSample(GstAppSink* sink, gpointer user)
{
    if (GstSample* sample = gst_app_sink_pull_sample(sink))
    {
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ))
        {
            benchmark::DoNotOptimize(map.data[0]);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        static_cast<FrameCounter*>(user)->Add();
    }
    return GST_FLOW_OK;
}

void PlainPipeline(benchmark::State& state)
{
    auto gstreamer = std::make_shared<GStreamerInitializer>();
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
        state.SkipWithError("test camera not found");
        return;
    }
    GstElement* pipeline = gst_pipeline_new(nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* converter = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    GstCaps* yuy2 = gst_caps_from_string("video/x-raw, format=YUY2, width=1920, height=1080, framerate=30/1");
    GstCaps* bgra = gst_caps_from_string("video/x-raw, format=BGRA");
    g_object_set(filter, "caps", yuy2, nullptr);
    g_object_set(sink, "caps", bgra, "enable-last-sample", FALSE, nullptr);
    gst_caps_unref(yuy2);
    gst_caps_unref(bgra);
    gst_bin_add_many(GST_BIN(pipeline), source, filter, converter, sink, nullptr);
    gst_element_link_many(source, filter, converter, sink, nullptr);
    FrameCounter counter;
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnReferenceSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &counter, nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    Measure(state, counter, referenceSeconds);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

BENCHMARK(PlainPipeline)->Iterations(90)->Unit(benchmark::kMillisecond);
BENCHMARK(BackEnd)->Iterations(90)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // The test camera, with a registry of the build's own, unless the caller chose otherwise.
    setenv("GST_PLUGIN_PATH", NORVEX_TEST_CAMERA_PATH, 0);
    setenv("GST_REGISTRY", NORVEX_TEST_CAMERA_REGISTRY, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (backEndSeconds > 0 && referenceSeconds > 0)
    {
        std::printf("CPU per 1920x1080 YUY2 frame: back-end %.2f ms, plain pipeline %.2f ms, ratio %.2f\n",
                    backEndSeconds * 1e3, referenceSeconds * 1e3, backEndSeconds / referenceSeconds);
    }
    return 0;
}
