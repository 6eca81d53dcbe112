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

// The raw layouts the appsink takes, each converted by the FrameConverter: every layout libyuv
// converts, and BGRA. A camera format among them passes videoconvert untouched.
struct SinkLayout
{
    GstVideoFormat format;
    PixelLayout layout;
};
constexpr SinkLayout sinkLayouts[] = {
    {GST_VIDEO_FORMAT_BGRA, PixelLayout::Bgrx},    {GST_VIDEO_FORMAT_BGRx, PixelLayout::Bgrx},
    {GST_VIDEO_FORMAT_YUY2, PixelLayout::Yuyv},    {GST_VIDEO_FORMAT_UYVY, PixelLayout::Uyvy},
    {GST_VIDEO_FORMAT_YVYU, PixelLayout::Yvyu},    {GST_VIDEO_FORMAT_NV12, PixelLayout::Nv12},
    {GST_VIDEO_FORMAT_NV21, PixelLayout::Nv21},    {GST_VIDEO_FORMAT_I420, PixelLayout::I420},
    {GST_VIDEO_FORMAT_YV12, PixelLayout::Yv12},    {GST_VIDEO_FORMAT_Y42B, PixelLayout::I422},
    {GST_VIDEO_FORMAT_Y444, PixelLayout::I444},    {GST_VIDEO_FORMAT_GRAY8, PixelLayout::Grey},
    {GST_VIDEO_FORMAT_RGB, PixelLayout::Rgb24},    {GST_VIDEO_FORMAT_BGR, PixelLayout::Bgr24},
    {GST_VIDEO_FORMAT_RGB16, PixelLayout::Rgb565}, {GST_VIDEO_FORMAT_RGB15, PixelLayout::Rgb555},
};

const SinkLayout* FindSinkLayout(GstVideoFormat format) noexcept
{
    for (const auto& entry : sinkLayouts)
    {
        if (entry.format == format)
        {
            return &entry;
        }
    }
    return nullptr;
}

ColourEncoding EncodingOf(const GstVideoInfo& info) noexcept
{
    ColourEncoding encoding;
    switch (info.colorimetry.matrix)
    {
    case GST_VIDEO_COLOR_MATRIX_BT709:
        encoding.matrix = ColourEncoding::Matrix::Bt709;
        break;
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
        encoding.matrix = ColourEncoding::Matrix::Smpte240m;
        break;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
        encoding.matrix = ColourEncoding::Matrix::Bt2020;
        break;
    default:
        encoding.matrix = ColourEncoding::Matrix::Bt601;
        break;
    }
    encoding.fullRange = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
    return encoding;
}

// Whether every plane, as the video meta (or else the caps) places it, lies inside `size` bytes:
// a buffer that does not is never read.
bool PlanesFit(const GstVideoInfo& info, const GstVideoMeta* meta, gsize size) noexcept
{
    const GstVideoFormatInfo* format = info.finfo;
    for (guint plane = 0; plane < GST_VIDEO_INFO_N_PLANES(&info); ++plane)
    {
        gint components[GST_VIDEO_MAX_COMPONENTS];
        gst_video_format_info_component(format, plane, components);
        const gint64 rows =
            GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(format, components[0], GST_VIDEO_INFO_HEIGHT(&info));
        const gint64 rowBytes = static_cast<gint64>(GST_VIDEO_FORMAT_INFO_SCALE_WIDTH(
                                    format, components[0], GST_VIDEO_INFO_WIDTH(&info))) *
                                GST_VIDEO_FORMAT_INFO_PSTRIDE(format, components[0]);
        const gint64 stride = meta ? meta->stride[plane] : GST_VIDEO_INFO_PLANE_STRIDE(&info, plane);
        const gint64 offset =
            static_cast<gint64>(meta ? meta->offset[plane] : GST_VIDEO_INFO_PLANE_OFFSET(&info, plane));
        if (rows <= 0 || stride < rowBytes || offset < 0 ||
            offset + (rows - 1) * stride + rowBytes > static_cast<gint64>(size))
        {
            return false;
        }
    }
    return true;
}
// The buffer's offset (the frame count of v4l2src and videotestsrc) and the moment its source
// stamped it: the buffer's running time plus the base time is a time of the pipeline's clock,
// which for GStreamer's default system clock is CLOCK_MONOTONIC. Under any other clock the
// arrival time stands.
VideoCapture::FrameInfo InfoOf(GstElement* sink, GstSample* sample, GstBuffer* buffer)
{
    VideoCapture::FrameInfo info;
    if (GST_BUFFER_OFFSET_IS_VALID(buffer))
    {
        info.sequence = GST_BUFFER_OFFSET(buffer);
    }
    const GstSegment* segment = gst_sample_get_segment(sample);
    if (!GST_BUFFER_PTS_IS_VALID(buffer) || !segment || segment->format != GST_FORMAT_TIME)
    {
        return info;
    }
    const GstClockTime running =
        gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    GstClock* clock = gst_element_get_clock(sink);
    GstClockType type = GST_CLOCK_TYPE_REALTIME;
    const bool system = clock && GST_IS_SYSTEM_CLOCK(clock);
    if (system)
    {
        g_object_get(clock, "clock-type", &type, nullptr);
    }
    if (clock)
    {
        gst_object_unref(clock);
    }
    if (system && type == GST_CLOCK_TYPE_MONOTONIC && GST_CLOCK_TIME_IS_VALID(running))
    {
        info.captureTime = std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(gst_element_get_base_time(sink) + running));
        info.fromDriver = true;
    }
    return info;
}

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

    GStreamerValue formats;
    gst_value_list_init(formats.Get(), std::size(sinkLayouts));
    for (const auto& entry : sinkLayouts)
    {
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        g_value_set_static_string(&name, gst_video_format_to_string(entry.format));
        gst_value_list_append_and_take_value(formats.Get(), &name);
    }
    const auto raw = Own(gst_caps_new_empty_simple("video/x-raw"));
    gst_caps_set_value(raw.get(), "format", formats.Get());
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
    SizeLikeFrame(converted);

    {
        std::lock_guard lock(queueMutex);
        queuedSamples.clear();
        endConverter = false;
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

VideoCapture::FrameConverter& GStreamerDevice::ConverterFor(GstCaps* caps, const GstVideoInfo& info)
{
    // The caps of a stream stay the same object from sample to sample: no per-frame work.
    if (frameConverter && (converterCaps.get() == caps || gst_caps_is_equal(converterCaps.get(), caps)))
    {
        return *frameConverter;
    }
    const SinkLayout* layout = FindSinkLayout(GST_VIDEO_INFO_FORMAT(&info));
    if (!layout)
    {
        throw Exception(L"受け取ったフレームの形式が正しくありません。\n", "OnFrame", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    frameConverter.reset();
    converterCaps.reset();
    converterInfo.reset();
    frameConverter = std::make_unique<VideoCapture::FrameConverter>(
        layout->layout, GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info), EncodingOf(info));
    converterInfo.reset(gst_video_info_copy(&info));
    converterCaps.reset(gst_caps_ref(caps));
    return *frameConverter;
}

std::uint64_t GStreamerDevice::GetDroppedFrameCount() const
{
    return droppedFrames.load(std::memory_order_relaxed);
}

void GStreamerDevice::QueueSample(GStreamerHandle<GstSample> sample)
{
    GStreamerHandle<GstSample> dropped; // released outside the lock
    {
        std::lock_guard lock(queueMutex);
        if (queuedSamples.size() >= queuedSampleLimit)
        {
            dropped = std::move(queuedSamples.front());
            queuedSamples.pop_front();
            droppedFrames.fetch_add(1, std::memory_order_relaxed);
        }
        queuedSamples.push_back(std::move(sample));
    }
    queueChanged.notify_one();
}

void GStreamerDevice::ConvertQueuedSamples()
{
    converterThreadId.store(std::this_thread::get_id(), std::memory_order_release);
    while (true)
    {
        GStreamerHandle<GstSample> sample;
        {
            std::unique_lock lock(queueMutex);
            queueChanged.wait(lock, [this] { return endConverter || !queuedSamples.empty(); });
            if (endConverter)
            {
                break;
            }
            sample = std::move(queuedSamples.front());
            queuedSamples.pop_front();
        }
        OnFrame(sample.get());
    }
    converterThreadId.store(std::thread::id(), std::memory_order_release);
}

void GStreamerDevice::OnFrame(GstSample* sample)
{
    if (!IsStarted())
    {
        return;
    }
    try
    {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstCaps* caps = gst_sample_get_caps(sample);
        // A stream's samples share one caps object: parsed when it changes, not for every frame.
        GstVideoInfo parsed;
        const bool known = caps && converterInfo && caps == converterCaps.get();
        const GstVideoInfo& info = known ? *converterInfo : parsed;
        if (!buffer || !caps || (!known && !gst_video_info_from_caps(&parsed, caps)))
        {
            throw Exception(L"受け取ったフレームの形式が正しくありません。\n", "OnFrame", NORVEX_SOURCE_FILE,
                            __LINE__);
        }
        // Never read past the buffer: a frame that does not hold the selected size, or whose
        // planes do not fit in it, is skipped.
        if (GST_VIDEO_INFO_WIDTH(&info) != converted.width ||
            GST_VIDEO_INFO_HEIGHT(&info) != converted.height ||
            !PlanesFit(info, gst_buffer_get_video_meta(buffer), gst_buffer_get_size(buffer)))
        {
            throw Exception(L"受け取ったフレームの大きさが選択したフォーマットと一致しません。\n", "OnFrame",
                            NORVEX_SOURCE_FILE, __LINE__);
        }
        auto& converter = ConverterFor(caps, info);
        // Honours the planes' strides and offsets, from the video meta where the buffer has one.
        GstVideoFrame mapped;
        if (!gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ))
        {
            throw Exception(L"受け取ったフレームを読み取れませんでした。\n", "OnFrame", NORVEX_SOURCE_FILE,
                            __LINE__);
        }
        struct Unmap
        {
            GstVideoFrame* frame;
            ~Unmap() { gst_video_frame_unmap(frame); }
        } unmap{&mapped};
        VideoCapture::SourcePlanes planes;
        const bool planar = GST_VIDEO_INFO_N_PLANES(&info) == 3;
        for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(&mapped) && plane < 3; ++plane)
        {
            planes.data[plane] = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, plane));
            planes.stride[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, plane);
        }
        if (planar)
        {
            // The converter takes U, then V; YV12 keeps V's plane first.
            planes.data[1] =
                static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&mapped, GST_VIDEO_COMP_U));
            planes.stride[1] = GST_VIDEO_FRAME_COMP_STRIDE(&mapped, GST_VIDEO_COMP_U);
            planes.data[2] =
                static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&mapped, GST_VIDEO_COMP_V));
            planes.stride[2] = GST_VIDEO_FRAME_COMP_STRIDE(&mapped, GST_VIDEO_COMP_V);
        }
        // Converted without a lock into the streaming thread's own picture; only the swap into
        // `frame` and the callback hold frameSection.
        converter.Convert(planes, reinterpret_cast<std::uint8_t*>(converted.data), converted.stride);

        DeliverFrame(converted, NORVEX_SOURCE_FILE, __LINE__, InfoOf(appSink, sample, buffer));
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
    }
}

void GStreamerDevice::OnEncodedBuffer(GstBuffer* buffer)
{
    if (!buffer || !IsStarted() || !IsEncodedPayloadWanted())
    {
        return;
    }
    GstMapInfo mapped;
    if (!gst_buffer_map(buffer, &mapped, GST_MAP_READ))
    {
        return;
    }
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const std::int64_t time = GST_CLOCK_TIME_IS_VALID(pts)
                                  ? static_cast<std::int64_t>(pts)
                                  : std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
    KeepEncodedPacket(mapped.data, mapped.size, time);
    gst_buffer_unmap(buffer, &mapped);
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
