#include "GStreamerVideoCapture/GStreamerDevice.h"

#include "GStreamerVideoCapture/GStreamerCapsExpansion.h"
#include "GStreamerVideoCapture/GStreamerFrameFormat.h"
#include "V4l2VideoCapture/V4l2CameraControl.h"
#include "V4l2VideoCapture/V4l2FileHandle.h"
#include "V4l2VideoCapture/V4l2VideoProcAmp.h"
#include "VideoCapture/FrameConverter.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <gst/app/gstappsink.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace Norvex::Core::GStreamerVideoCapture
{
namespace
{

using VideoCapture::ColourEncoding;
using VideoCapture::PixelLayout;

constexpr unsigned videoForLinuxMajor = 81;

// How long Start waits for the first frame before it leaves the rest to the exception callback.
constexpr auto startTimeout = std::chrono::seconds(10);

// Where providers put the V4L2 node (the v4l2 provider, then PipeWire), and then their own path.
constexpr const char* nodeKeys[] = {"api.v4l2.path", "device.path"};
constexpr const char* providerPathKeys[] = {"object.path"};

std::string ReadProperty(GstDevice* device, const char* const* keys, std::size_t count)
{
    const auto properties = Own(gst_device_get_properties(device));
    if (!properties)
    {
        return {};
    }
    std::string value;
    for (std::size_t i = 0; i < count && value.empty(); ++i)
    {
        if (const char* text = gst_structure_get_string(properties.get(), keys[i]))
        {
            value = text;
        }
    }
    return value;
}

bool IsV4l2Node(const std::string& path)
{
    struct stat status
    {
    };
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode) &&
           major(status.st_rdev) == videoForLinuxMajor;
}

} // namespace

// GStreamer calls these with the device as user data.
struct GStreamerDevice::Glue
{
    // Called from the streaming thread: queues the sample and returns at once.
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer user)
    {
        if (auto sample = Own(gst_app_sink_pull_sample(sink)))
        {
            static_cast<GStreamerDevice*>(user)->QueueSample(std::move(sample));
        }
        return GST_FLOW_OK;
    }

    static GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer user)
    {
        // Nobody reads this bus: keep messages from piling up in it. A dropped message is the
        // handler's to release.
        const auto dropped = Own(message);
        try
        {
            static_cast<GStreamerDevice*>(user)->OnBusMessage(message);
        }
        catch (...)
        {
            // The exception callback failed on an element's thread; nothing can be done there.
        }
        return GST_BUS_DROP;
    }

    static GstPadProbeReturn OnEncodedBuffer(GstPad*, GstPadProbeInfo* info, gpointer user)
    {
        static_cast<GStreamerDevice*>(user)->OnEncodedBuffer(GST_PAD_PROBE_INFO_BUFFER(info));
        return GST_PAD_PROBE_OK;
    }

    // decodebin adds its pad again each time the pipeline starts; the converter is the user data,
    // so nothing of the device is touched on the streaming thread here.
    static void OnPadAdded(GstElement*, GstPad* pad, gpointer user)
    {
        const auto sink = Own(gst_element_get_static_pad(static_cast<GstElement*>(user), "sink"));
        if (const auto previous = Own(gst_pad_get_peer(sink.get())))
        {
            gst_pad_unlink(previous.get(), sink.get());
        }
        // A failed link shows up as a not-linked error on the bus.
        gst_pad_link(pad, sink.get());
    }
};

GStreamerDevice::GStreamerDevice(GstDevice* device, bool skipDuplicatedFrameFormat)
    : gstreamer(std::make_shared<GStreamerInitializer>()),
      device(static_cast<GstDevice*>(gst_object_ref(device)))
{
    const auto displayName = Own(gst_device_get_display_name(device));
    friendlyName = ToWideString(displayName ? displayName.get() : "");
    devicePath = GetDevicePath(device);
    if (devicePath.empty())
    {
        // The model finds a device again by its path: one without is of no use.
        throw Exception(L"デバイスのパスを取得できませんでした。\n", "GStreamerDevice", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    ReadFrameFormats(skipDuplicatedFrameFormat);
    if (frameFormats.empty())
    {
        throw Exception(L"デバイスに使えるフォーマットがありません。\n", "GStreamerDevice",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    BuildPipeline();
    OpenControls();
    Prepare();
}

GStreamerDevice::~GStreamerDevice()
{
    StopPipeline();
    try
    {
        Unprepare();
    }
    catch (...)
    {
        // Nothing can leave a destructor; the pipeline is stopped either way.
    }
    if (pipeline)
    {
        const auto bus = Own(gst_element_get_bus(pipeline.get()));
        gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    }
}

std::wstring GStreamerDevice::GetDevicePath(GstDevice* device)
{
    const std::string node = ReadProperty(device, nodeKeys, std::size(nodeKeys));
    if (!node.empty())
    {
        return ToWideString(node);
    }
    return ToWideString(ReadProperty(device, providerPathKeys, std::size(providerPathKeys)));
}

void GStreamerDevice::ReadFrameFormats(bool skipDuplicatedFrameFormat)
{
    const auto caps = Own(gst_device_get_caps(device.get()));
    if (!caps)
    {
        return;
    }
    for (auto& combination : GStreamerCapsExpansion::Expand(caps.get()))
    {
        auto format = std::make_shared<GStreamerFrameFormat>(std::move(combination));
        if (format->width == 0 || format->height == 0)
        {
            continue;
        }
        if (skipDuplicatedFrameFormat &&
            std::any_of(frameFormats.begin(), frameFormats.end(),
                        [&](const auto& kept) { return format->IsDuplicateOf(*kept); }))
        {
            continue;
        }
        frameFormats.push_back(std::move(format));
    }
}

void GStreamerDevice::BuildPipeline()
{
    if (GstElement* made = gst_pipeline_new(nullptr))
    {
        pipeline.reset(static_cast<GstElement*>(gst_object_ref_sink(made)));
    }
    // Floating references taken over, so the elements are released if the pipeline cannot be
    // made; the pipeline takes its own when they are added.
    const auto make = [](GstElement* element)
    {
        return Own(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
    };
    const auto source = make(gst_device_create_element(device.get(), nullptr));
    const auto filter = make(gst_element_factory_make("capsfilter", nullptr));
    const auto decoder = make(gst_element_factory_make("decodebin", nullptr));
    const auto converter = make(gst_element_factory_make("videoconvert", nullptr));
    const auto sink = make(gst_element_factory_make("appsink", nullptr));
    if (!pipeline || !source || !filter || !decoder || !converter || !sink)
    {
        throw Exception(L"GStreamerのパイプラインを作成できませんでした。\n", "GStreamerDevice",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    gst_bin_add_many(GST_BIN(pipeline.get()), source.get(), filter.get(), decoder.get(), converter.get(),
                     sink.get(), nullptr);
    capsFilter = filter.get();
    appSink = sink.get();

    const auto raw = SinkCaps();
    // A live camera paces itself: waiting on the clock would only add latency, and a frame
    // judged late would be dropped instead of reaching `frame`.
    g_object_set(sink.get(), "caps", raw.get(), "enable-last-sample", FALSE, "emit-signals", FALSE, "sync",
                 FALSE, nullptr);
    if (!gst_element_link_many(source.get(), filter.get(), decoder.get(), nullptr) ||
        !gst_element_link(converter.get(), sink.get()))
    {
        throw Exception(L"GStreamerのパイプラインを作成できませんでした。\n", "GStreamerDevice",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(Glue::OnPadAdded), converter.get());
    // What the camera sends, before decodebin: a JPEG or H.264 camera's own bytes.
    const auto filtered = Own(gst_element_get_static_pad(filter.get(), "src"));
    gst_pad_add_probe(filtered.get(), GST_PAD_PROBE_TYPE_BUFFER, Glue::OnEncodedBuffer, this, nullptr);

    const auto bus = Own(gst_element_get_bus(pipeline.get()));
    gst_bus_set_sync_handler(bus.get(), Glue::OnBusMessage, this, nullptr);
}

void GStreamerDevice::OpenControls()
{
    const std::string node = ReadProperty(device.get(), nodeKeys, std::size(nodeKeys));
    if (!IsV4l2Node(node))
    {
        return;
    }
    try
    {
        using namespace V4l2VideoCapture;
        auto handle = std::make_shared<V4l2FileHandle>(KernelInterface::System(), node, O_RDWR | O_NONBLOCK);
        cameraControl.Attach(new V4l2CameraControl(handle));
        videoProcAmp.Attach(new V4l2VideoProcAmp(handle));
    }
    catch (const Exception&)
    {
        // A node that cannot be opened offers no controls; streaming may still work.
        cameraControl.Release();
        videoProcAmp.Release();
    }
}

bool GStreamerDevice::IsStarted() const
{
    return started.load(std::memory_order_acquire) && !ended.load(std::memory_order_acquire);
}

void GStreamerDevice::Start()
{
    if (IsStarted())
    {
        return;
    }
    if (started.load(std::memory_order_acquire))
    {
        StopPipeline(); // the stream ended by itself: start afresh
    }
    if (frameFormatIndex < 0 || static_cast<std::size_t>(frameFormatIndex) >= frameFormats.size())
    {
        ThrowUnexpected("Start", NORVEX_SOURCE_FILE, __LINE__);
    }
    const auto* format = dynamic_cast<const GStreamerFrameFormat*>(
        frameFormats[static_cast<std::size_t>(frameFormatIndex)].get());
    if (!format)
    {
        ThrowUnexpected("Start", NORVEX_SOURCE_FILE, __LINE__);
    }
    g_object_set(capsFilter, "caps", format->GetCaps(), nullptr);
    // `converted` is sized by the first frame converted on this thread: a stream whose pictures
    // are all made on demand never needs it.
    streamWidth = format->width;
    streamHeight = format->height;

    {
        std::lock_guard lock(queueMutex);
        queuedSamples.clear();
        endConverter = false;
    }
    {
        // A stream started afresh numbers its buffers again.
        std::lock_guard lock(sequenceMutex);
        recentSequences.fill({GST_CLOCK_TIME_NONE, 0});
    }
    droppedFrames.store(0, std::memory_order_relaxed);
    converterThread = std::thread(&GStreamerDevice::ConvertQueuedSamples, this);

    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = Glue::OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(appSink), &callbacks, this, nullptr);
    {
        CriticalSection::AutoLock lock(busSection);
        starting = true;
        startingError.reset();
    }
    // Frames may arrive while Start is still waiting below.
    ended.store(false, std::memory_order_release);
    started.store(true, std::memory_order_release);

    GstStateChangeReturn result = gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    std::optional<Exception> failure;
    while (true)
    {
        {
            CriticalSection::AutoLock lock(busSection);
            if (startingError)
            {
                failure = std::move(startingError);
                break;
            }
        }
        if (result != GST_STATE_CHANGE_ASYNC || std::chrono::steady_clock::now() >= deadline)
        {
            break;
        }
        result = gst_element_get_state(pipeline.get(), nullptr, nullptr, 20 * GST_MSECOND);
    }
    {
        CriticalSection::AutoLock lock(busSection);
        starting = false;
        startingError.reset();
    }
    if (failure || result == GST_STATE_CHANGE_FAILURE)
    {
        StopPipeline();
        if (failure)
        {
            throw Exception(failure->GetMessage(), "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        throw Exception(E_FAIL, "Start", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void GStreamerDevice::Stop()
{
    // Joining the converter thread from itself would never return.
    if (converterThreadId.load(std::memory_order_acquire) == std::this_thread::get_id())
    {
        ThrowUnexpected("Stop", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (!started.load(std::memory_order_acquire))
    {
        return;
    }
    StopPipeline();
}

void GStreamerDevice::StopPipeline() noexcept
{
    started.store(false, std::memory_order_release);
    if (!pipeline)
    {
        return;
    }
    // NULL joins the streaming thread, so no sample is queued once this returns; the converter
    // thread is ended after it, so no frame callback runs once StopPipeline returns. The appsink
    // callbacks go only afterwards: clearing them while streaming could race a frame.
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    GstAppSinkCallbacks none{};
    gst_app_sink_set_callbacks(GST_APP_SINK(appSink), &none, nullptr, nullptr);
    {
        std::lock_guard lock(queueMutex);
        endConverter = true;
    }
    queueChanged.notify_one();
    if (converterThread.joinable())
    {
        converterThread.join();
    }
    {
        // Samples still queued at a stop go uncounted, as V4L2 buffers do at stream-off.
        std::lock_guard lock(queueMutex);
        queuedSamples.clear();
    }
    frameConverter.reset();
    converterCaps.reset();
    converterInfo.reset();
}

ComPointer<VideoCapture::CameraControl>& GStreamerDevice::GetCameraControl()
{
    return cameraControl;
}

ComPointer<VideoCapture::VideoProcAmp>& GStreamerDevice::GetVideoProcAmp()
{
    return videoProcAmp;
}

void GStreamerDevice::OnBusMessage(GstMessage* message)
{
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR)
    {
        return;
    }
    GError* parsedError = nullptr;
    gchar* parsedDebug = nullptr;
    gst_message_parse_error(message, &parsedError, &parsedDebug);
    const auto error = Own(parsedError);
    const auto debug = Own(parsedDebug);
    std::wstring text = L"GStreamerのエラー: ";
    if (GST_MESSAGE_SRC(message))
    {
        const auto name = Own(gst_object_get_name(GST_MESSAGE_SRC(message)));
        text += ToWideString(name ? name.get() : "") + L": ";
    }
    text += ToWideString(error && error->message ? error->message : "") + L"\n";
    // A source whose camera was unplugged: the stream is over, as a V4L2 node's ENODEV ends it.
    const bool gone = error && error->domain == GST_RESOURCE_ERROR &&
                      (error->code == GST_RESOURCE_ERROR_NOT_FOUND ||
                       (error->code == GST_RESOURCE_ERROR_READ && debug &&
                        std::strstr(debug.get(), std::strerror(ENODEV)) != nullptr));
    const Exception exception =
        gone ? Exception(HRESULT_FROM_WIN32(ENODEV), text, "OnBusMessage", NORVEX_SOURCE_FILE, __LINE__)
             : Exception(text, "OnBusMessage", NORVEX_SOURCE_FILE, __LINE__);
    {
        CriticalSection::AutoLock lock(busSection);
        if (starting)
        {
            // Start raises it itself.
            if (!startingError)
            {
                startingError = exception;
            }
            return;
        }
    }
    if (gone)
    {
        // Before the report: whoever hears it sees the device stopped.
        ended.store(true, std::memory_order_release);
    }
    NotifyException(exception);
}

} // namespace Norvex::Core::GStreamerVideoCapture
