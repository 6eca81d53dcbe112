#include <Norvex/Core/GStreamerVideoCapture/GStreamerDevice.h>
#include <Norvex/Core/GStreamerVideoCapture/GStreamerFrameFormat.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include "V4l2VideoCapture/V4l2CameraControl.h"
#include "V4l2VideoCapture/V4l2FileHandle.h"
#include "V4l2VideoCapture/V4l2VideoProcAmp.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "VideoCapture/FrameConverter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
    case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
        encoding.matrix = ColourEncoding::Matrix::Bt709;
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
// How long Start waits for the first frame before it leaves the rest to the exception callback.
constexpr auto startTimeout = std::chrono::seconds(10);

// Where providers put the V4L2 node (the v4l2 provider, then PipeWire), and then their own path.
constexpr const char* nodeKeys[] = {"api.v4l2.path", "device.path"};
constexpr const char* providerPathKeys[] = {"object.path"};

std::string ReadProperty(GstDevice* device, const char* const* keys, std::size_t count)
{
    GstStructure* properties = gst_device_get_properties(device);
    if (!properties)
    {
        return {};
    }
    std::string value;
    for (std::size_t i = 0; i < count && value.empty(); ++i)
    {
        if (const char* text = gst_structure_get_string(properties, keys[i]))
        {
            value = text;
        }
    }
    gst_structure_free(properties);
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

// The values a field stands for: a list gives each of its members, a range its two end points,
// anything else itself. A missing field gives one unset value, so the field stays missing.
std::vector<GValue> ExpandField(const GstStructure* structure, const char* field)
{
    std::vector<GValue> values;
    const GValue* value = gst_structure_get_value(structure, field);
    auto add = [&values](const GValue* member)
    {
        GValue copy = G_VALUE_INIT;
        g_value_init(&copy, G_VALUE_TYPE(member));
        g_value_copy(member, &copy);
        values.push_back(copy);
    };
    auto addEnds = [&](const GValue* member)
    {
        if (GST_VALUE_HOLDS_INT_RANGE(member))
        {
            const int ends[] = {gst_value_get_int_range_min(member), gst_value_get_int_range_max(member)};
            for (int i = 0; i < (ends[0] == ends[1] ? 1 : 2); ++i)
            {
                GValue end = G_VALUE_INIT;
                g_value_init(&end, G_TYPE_INT);
                g_value_set_int(&end, ends[i]);
                values.push_back(end);
            }
        }
        else if (GST_VALUE_HOLDS_FRACTION_RANGE(member))
        {
            const GValue* ends[] = {gst_value_get_fraction_range_min(member),
                                    gst_value_get_fraction_range_max(member)};
            add(ends[0]);
            if (gst_value_compare(ends[0], ends[1]) != GST_VALUE_EQUAL)
            {
                add(ends[1]);
            }
        }
        else
        {
            add(member);
        }
    };
    if (!value)
    {
        values.push_back(G_VALUE_INIT);
    }
    else if (GST_VALUE_HOLDS_LIST(value) || GST_VALUE_HOLDS_ARRAY(value))
    {
        const guint size =
            GST_VALUE_HOLDS_LIST(value) ? gst_value_list_get_size(value) : gst_value_array_get_size(value);
        for (guint i = 0; i < size; ++i)
        {
            addEnds(GST_VALUE_HOLDS_LIST(value) ? gst_value_list_get_value(value, i)
                                                : gst_value_array_get_value(value, i));
        }
    }
    else
    {
        addEnds(value);
    }
    return values;
}

// Every fixed combination of one caps structure, in the order format, width, height, frame
// rate; fields not named there are fixated to their first or smallest value.
void ExpandStructure(const GstStructure* structure, GstCapsFeatures* features, std::vector<GstCaps*>& out)
{
    static constexpr const char* fields[] = {"format", "width", "height", "framerate"};
    std::vector<GValue> values[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i)
    {
        values[i] = ExpandField(structure, fields[i]);
    }
    std::size_t index[std::size(fields)] = {};
    for (;;)
    {
        GstStructure* combination = gst_structure_copy(structure);
        for (std::size_t i = 0; i < std::size(fields); ++i)
        {
            const GValue& value = values[i][index[i]];
            if (G_IS_VALUE(&value))
            {
                gst_structure_set_value(combination, fields[i], &value);
            }
        }
        gst_structure_fixate(combination);
        GstCaps* caps = gst_caps_new_empty();
        gst_caps_append_structure_full(caps, combination,
                                       features ? gst_caps_features_copy(features) : nullptr);
        out.push_back(caps);
        // Odometer over the fields, the last one fastest.
        std::size_t i = std::size(fields);
        while (i > 0 && ++index[i - 1] == values[i - 1].size())
        {
            index[--i] = 0;
        }
        if (i == 0)
        {
            break;
        }
    }
    for (auto& fieldValues : values)
    {
        for (auto& value : fieldValues)
        {
            if (G_IS_VALUE(&value))
            {
                g_value_unset(&value);
            }
        }
    }
}

} // namespace

// GStreamer calls these with the device as user data.
struct GStreamerDevice::Glue
{
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer user)
    {
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (sample)
        {
            static_cast<GStreamerDevice*>(user)->OnFrame(sample);
            gst_sample_unref(sample);
        }
        // A frame that failed has been reported; the stream goes on.
        return GST_FLOW_OK;
    }

    static GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer user)
    {
        try
        {
            static_cast<GStreamerDevice*>(user)->OnBusMessage(message);
        }
        catch (...)
        {
            // The exception callback failed on an element's thread; nothing can be done there.
        }
        // Nobody reads this bus: keep messages from piling up in it. A dropped message is the
        // handler's to release.
        gst_message_unref(message);
        return GST_BUS_DROP;
    }

    // decodebin adds its pad again each time the pipeline starts; the converter is the user data,
    // so nothing of the device is touched on the streaming thread here.
    static void OnPadAdded(GstElement*, GstPad* pad, gpointer user)
    {
        GstPad* sink = gst_element_get_static_pad(static_cast<GstElement*>(user), "sink");
        if (GstPad* previous = gst_pad_get_peer(sink))
        {
            gst_pad_unlink(previous, sink);
            gst_object_unref(previous);
        }
        // A failed link shows up as a not-linked error on the bus.
        gst_pad_link(pad, sink);
        gst_object_unref(sink);
    }
};

void GStreamerDevice::ObjectDeleter::operator()(void* object) const noexcept
{
    gst_object_unref(object);
}

void GStreamerDevice::CapsDeleter::operator()(GstCaps* caps) const noexcept
{
    gst_caps_unref(caps);
}

void GStreamerDevice::VideoInfoDeleter::operator()(GstVideoInfo* info) const noexcept
{
    gst_video_info_free(info);
}

GStreamerDevice::GStreamerDevice(_GstDevice* device, bool skipDuplicatedFrameFormat)
    : gstreamer(std::make_shared<GStreamerInitializer>()),
      device(static_cast<GstDevice*>(gst_object_ref(device)))
{
    gchar* displayName = gst_device_get_display_name(device);
    friendlyName = ToWideString(displayName ? displayName : "");
    g_free(displayName);
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
        GstBus* bus = gst_element_get_bus(pipeline.get());
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
}

std::wstring GStreamerDevice::GetDevicePath(_GstDevice* device)
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
    GstCaps* caps = gst_device_get_caps(device.get());
    if (!caps)
    {
        return;
    }
    std::vector<GstCaps*> combinations;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i)
    {
        GstCapsFeatures* features = gst_caps_get_features(caps, i);
        // Buffers in other memory (DMA-BUF, GL) would not reach the appsink as plain bytes.
        if (features && !gst_caps_features_is_any(features) &&
            !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY))
        {
            continue;
        }
        ExpandStructure(gst_caps_get_structure(caps, i), features, combinations);
    }
    gst_caps_unref(caps);

    std::size_t next = 0;
    try
    {
        for (; next < combinations.size(); ++next)
        {
            auto format = std::make_shared<GStreamerFrameFormat>(std::exchange(combinations[next], nullptr));
            if (format->width == 0 || format->height == 0)
            {
                continue;
            }
            if (skipDuplicatedFrameFormat)
            {
                bool duplicate = false;
                for (const auto& kept : frameFormats)
                {
                    duplicate = duplicate || format->IsDuplicateOf(*kept);
                }
                if (duplicate)
                {
                    continue;
                }
            }
            frameFormats.push_back(std::move(format));
        }
    }
    catch (...)
    {
        for (; next < combinations.size(); ++next)
        {
            if (combinations[next])
            {
                gst_caps_unref(combinations[next]);
            }
        }
        throw;
    }
}

void GStreamerDevice::BuildPipeline()
{
    if (GstElement* made = gst_pipeline_new(nullptr))
    {
        pipeline.reset(static_cast<GstElement*>(gst_object_ref_sink(made)));
    }
    GstElement* source = gst_device_create_element(device.get(), nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* decoder = gst_element_factory_make("decodebin", nullptr);
    GstElement* converter = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!pipeline || !source || !filter || !decoder || !converter || !sink)
    {
        for (GstElement* element : {source, filter, decoder, converter, sink})
        {
            if (element)
            {
                gst_object_unref(gst_object_ref_sink(element));
            }
        }
        throw Exception(L"GStreamerのパイプラインを作成できませんでした。\n", "GStreamerDevice",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    gst_bin_add_many(GST_BIN(pipeline.get()), source, filter, decoder, converter, sink, nullptr);
    capsFilter = filter;
    appSink = sink;

    GValue formats = G_VALUE_INIT;
    gst_value_list_init(&formats, std::size(sinkLayouts));
    for (const auto& entry : sinkLayouts)
    {
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        g_value_set_static_string(&name, gst_video_format_to_string(entry.format));
        gst_value_list_append_and_take_value(&formats, &name);
    }
    GstCaps* raw = gst_caps_new_empty_simple("video/x-raw");
    gst_caps_set_value(raw, "format", &formats);
    g_value_unset(&formats);
    // A live camera paces itself: waiting on the clock would only add latency, and a frame
    // judged late would be dropped instead of reaching `frame`.
    g_object_set(sink, "caps", raw, "enable-last-sample", FALSE, "emit-signals", FALSE, "sync", FALSE,
                 nullptr);
    gst_caps_unref(raw);
    if (!gst_element_link_many(source, filter, decoder, nullptr) || !gst_element_link(converter, sink))
    {
        throw Exception(L"GStreamerのパイプラインを作成できませんでした。\n", "GStreamerDevice",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    g_signal_connect(decoder, "pad-added", G_CALLBACK(Glue::OnPadAdded), converter);

    GstBus* bus = gst_element_get_bus(pipeline.get());
    gst_bus_set_sync_handler(bus, Glue::OnBusMessage, this, nullptr);
    gst_object_unref(bus);
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
    return started.load(std::memory_order_acquire);
}

void GStreamerDevice::Start()
{
    if (IsStarted())
    {
        return;
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

    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = Glue::OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(appSink), &callbacks, this, nullptr);
    {
        CriticalSection::AutoLock lock(busSection);
        starting = true;
        startingError.reset();
    }
    // Frames may arrive while Start is still waiting below.
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
    if (!IsStarted())
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
    // NULL joins the streaming thread, so no frame callback runs once this returns. The appsink
    // callbacks go only afterwards: clearing them while streaming could race a frame.
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    GstAppSinkCallbacks none{};
    gst_app_sink_set_callbacks(GST_APP_SINK(appSink), &none, nullptr, nullptr);
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

void GStreamerDevice::OnFrame(_GstSample* sample)
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

        CriticalSection::AutoLock lock(frameSection);
        PublishFrame(converted);
        InvokeFrameCallback();
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
    }
}

void GStreamerDevice::OnBusMessage(_GstMessage* message)
{
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR)
    {
        return;
    }
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::wstring text = L"GStreamerのエラー: ";
    if (GST_MESSAGE_SRC(message))
    {
        gchar* name = gst_object_get_name(GST_MESSAGE_SRC(message));
        text += ToWideString(name ? name : "") + L": ";
        g_free(name);
    }
    text += ToWideString(error && error->message ? error->message : "") + L"\n";
    if (error)
    {
        g_error_free(error);
    }
    g_free(debug);
    const Exception exception(text, "OnBusMessage", NORVEX_SOURCE_FILE, __LINE__);
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
    NotifyException(exception);
}

} // namespace Norvex::Core::GStreamerVideoCapture
