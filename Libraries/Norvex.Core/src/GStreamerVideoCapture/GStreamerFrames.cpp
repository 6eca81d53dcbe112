// GStreamerDevice's frame path: samples from the appsink's streaming thread wait in a short
// queue for the converter thread, which makes each a frame; encoded buffers are kept as they come.

#include "GStreamerVideoCapture/GStreamerDevice.h"

#include "GStreamerVideoCapture/GStreamerHandle.h"
#include "VideoCapture/FrameConverter.h"

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace Norvex::Core::GStreamerVideoCapture
{
namespace
{

using VideoCapture::ColourEncoding;
using VideoCapture::PixelLayout;

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

} // namespace

GStreamerHandle<GstCaps> GStreamerDevice::SinkCaps()
{
    GStreamerValue formats;
    gst_value_list_init(formats.Get(), std::size(sinkLayouts));
    for (const auto& entry : sinkLayouts)
    {
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        g_value_set_static_string(&name, gst_video_format_to_string(entry.format));
        gst_value_list_append_and_take_value(formats.Get(), &name);
    }
    auto raw = Own(gst_caps_new_empty_simple("video/x-raw"));
    gst_caps_set_value(raw.get(), "format", formats.Get());
    return raw;
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
    // The held frame's picture may still be made with the converter that goes.
    ReleaseHeldSample();
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
        OnFrame(std::move(sample));
    }
    // The last frame's picture is made before its sample goes.
    ReleaseHeldSample();
    converterThreadId.store(std::thread::id(), std::memory_order_release);
}

GStreamerDevice::MappedSample::MappedSample(GStreamerHandle<GstSample> taken, const GstVideoInfo& info,
                                            const VideoCapture::FrameConverter& converter)
    : sample(std::move(taken))
{
    // Honours the planes' strides and offsets, from the video meta where the buffer has one.
    if (!gst_video_frame_map(&mapped, &info, gst_sample_get_buffer(sample.get()), GST_MAP_READ))
    {
        throw Exception(L"受け取ったフレームを読み取れませんでした。\n", "OnFrame", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    source.converter = &converter;
    auto& planes = source.planes;
    for (guint plane = 0; plane < GST_VIDEO_FRAME_N_PLANES(&mapped) && plane < 3; ++plane)
    {
        planes.data[plane] = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, plane));
        planes.stride[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, plane);
    }
    if (GST_VIDEO_INFO_N_PLANES(&info) == 3)
    {
        // The converter takes U, then V; YV12 keeps V's plane first.
        planes.data[1] =
            static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&mapped, GST_VIDEO_COMP_U));
        planes.stride[1] = GST_VIDEO_FRAME_COMP_STRIDE(&mapped, GST_VIDEO_COMP_U);
        planes.data[2] =
            static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&mapped, GST_VIDEO_COMP_V));
        planes.stride[2] = GST_VIDEO_FRAME_COMP_STRIDE(&mapped, GST_VIDEO_COMP_V);
    }
}

GStreamerDevice::MappedSample::~MappedSample()
{
    gst_video_frame_unmap(&mapped);
}

void GStreamerDevice::ReleaseHeldSample() noexcept
{
    if (held)
    {
        LetGoOfSource(held->source);
        held.reset();
    }
}

void GStreamerDevice::OnFrame(GStreamerHandle<GstSample> sample)
{
    if (!IsStarted())
    {
        return;
    }
    try
    {
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        GstCaps* caps = gst_sample_get_caps(sample.get());
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
        if (GST_VIDEO_INFO_WIDTH(&info) != streamWidth || GST_VIDEO_INFO_HEIGHT(&info) != streamHeight ||
            !PlanesFit(info, gst_buffer_get_video_meta(buffer), gst_buffer_get_size(buffer)))
        {
            throw Exception(L"受け取ったフレームの大きさが選択したフォーマットと一致しません。\n", "OnFrame",
                            NORVEX_SOURCE_FILE, __LINE__);
        }
        auto frameInfo = InfoOf(appSink, sample.get(), buffer);
        if (!frameInfo.sequence && GST_BUFFER_PTS_IS_VALID(buffer))
        {
            frameInfo.sequence = SequenceBefore(GST_BUFFER_PTS(buffer));
        }
        auto& converter = ConverterFor(caps, info);
        // The sample stays mapped while the frame is delivered: a still can be taken from it.
        auto current = std::make_unique<MappedSample>(std::move(sample), info, converter);
        if (IsPictureOnDemand())
        {
            // Held until the next frame: the frame's first reader converts it.
            std::swap(held, current);
            DeliverFrameOnDemand(held->source, NORVEX_SOURCE_FILE, __LINE__, frameInfo);
            // The frame before no longer refers to its sample, unless this delivery failed: then
            // its picture is made before the sample goes.
            if (current)
            {
                LetGoOfSource(current->source);
            }
            return;
        }
        // Converted without a lock into the streaming thread's own picture; only the swap into
        // `frame` and the callback hold frameSection.
        if (converted.width != streamWidth || converted.height != streamHeight)
        {
            SizeLikeFrame(converted);
        }
        std::uint8_t* const jpegPlanes =
            IsJpegPlanesWanted() && converter.HasJpegPath() ? NextJpegPlanes(converted).data() : nullptr;
        converter.Convert(current->source.planes, reinterpret_cast<std::uint8_t*>(converted.data),
                          converted.stride, jpegPlanes);
        DeliverFrame(converted, NORVEX_SOURCE_FILE, __LINE__, frameInfo, &current->source,
                     jpegPlanes != nullptr);
        ReleaseHeldSample();
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
    }
}

void GStreamerDevice::OnEncodedBuffer(GstBuffer* buffer)
{
    if (buffer && GST_BUFFER_OFFSET_IS_VALID(buffer) && GST_BUFFER_PTS_IS_VALID(buffer))
    {
        std::lock_guard lock(sequenceMutex);
        recentSequences[nextSequence] = {GST_BUFFER_PTS(buffer), GST_BUFFER_OFFSET(buffer)};
        nextSequence = (nextSequence + 1) % recentSequences.size();
    }
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

std::optional<std::uint64_t> GStreamerDevice::SequenceBefore(GstClockTime pts)
{
    std::lock_guard lock(sequenceMutex);
    for (const auto& [time, sequence] : recentSequences)
    {
        if (time == pts && GST_CLOCK_TIME_IS_VALID(time))
        {
            return sequence;
        }
    }
    return std::nullopt;
}

} // namespace Norvex::Core::GStreamerVideoCapture
