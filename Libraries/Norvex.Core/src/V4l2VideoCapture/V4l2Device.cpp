#include "V4l2VideoCapture/V4l2Device.h"

#include "V4l2VideoCapture/V4l2BufferSet.h"
#include "V4l2VideoCapture/V4l2CameraControl.h"
#include "V4l2VideoCapture/V4l2DeviceWakeEvent.h"
#include "V4l2VideoCapture/V4l2FormatList.h"
#include "V4l2VideoCapture/V4l2FrameConverter.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"
#include "V4l2VideoCapture/V4l2VideoProcAmp.h"

#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/StringHelpers.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

constexpr std::uint32_t requestedBufferCount = 4;
// A camera that sends nothing for this long (or ten frame intervals, if longer) has stalled.
constexpr std::chrono::milliseconds defaultStallThreshold{2000};
std::string CardName(const v4l2_capability& capability)
{
    const auto* card = reinterpret_cast<const char*>(capability.card);
    return std::string(card, strnlen(card, sizeof capability.card));
}

} // namespace

V4l2Device::V4l2Device(KernelInterface& kernel, const std::string& node, bool skipDuplicatedFrameFormat)
    : kernel(kernel), node(node)
{
    CriticalSection::AutoLock lock(streamSection);
    {
        const V4l2FileHandle opened(kernel, node, O_RDWR | O_NONBLOCK);
        v4l2_capability capability{};
        opened.Require(VIDIOC_QUERYCAP, &capability, "VIDIOC_QUERYCAP", "V4l2Device");
        friendlyName = ToWideString(CardName(capability));
        persistentPath = kernel.GetPersistentPath(node);
        devicePath = ToWideString(persistentPath);
        bufferType = CaptureBufferType(capability);
        if (bufferType == 0)
        {
            throw Exception(invalidMediaTypeStatus, "V4l2Device", NORVEX_SOURCE_FILE, __LINE__);
        }
        V4l2FormatList list(opened, bufferType, skipDuplicatedFrameFormat);
        frameFormats = std::move(list.Formats());
        frameFormatIndex = std::max(list.CurrentIndex(), 0);
    }
    if (frameFormats.empty())
    {
        // Nothing to stream: fails as preparing an unstreamable format 0 would.
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    // The node is closed again: the camera is in use only while streaming.
    Prepare();
}

V4l2Device::~V4l2Device()
{
    try
    {
        Stop();
    }
    catch (...)
    {
        // The stream is released even when stopping fails; nothing can be reported from here.
    }
    try
    {
        Unprepare();
    }
    catch (...)
    {
    }
}

std::uint32_t V4l2Device::CaptureBufferType(const v4l2_capability& capability) noexcept
{
    // The node's own capabilities, not the whole driver's (a UVC camera's metadata node).
    const std::uint32_t caps =
        capability.capabilities & V4L2_CAP_DEVICE_CAPS ? capability.device_caps : capability.capabilities;
    // A node whose input the media controller sets up (a Raspberry Pi's raw camera nodes)
    // delivers nothing until a pipeline is configured: no camera on its own.
    if (!(caps & V4L2_CAP_STREAMING) || (caps & V4L2_CAP_IO_MC))
    {
        return 0;
    }
    if (caps & V4L2_CAP_VIDEO_CAPTURE)
    {
        return V4L2_BUF_TYPE_VIDEO_CAPTURE;
    }
    return caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : 0;
}

std::string V4l2Device::ResolveNode() const
{
    if (persistentPath == node)
    {
        return node; // nothing names it apart from its node
    }
    for (const auto& candidate : kernel.ListNodes())
    {
        if (kernel.GetPersistentPath(candidate) == persistentPath)
        {
            return candidate;
        }
    }
    return node; // gone: opening it says so
}

bool V4l2Device::IsStarted() const
{
    return started.load(std::memory_order_acquire);
}

bool V4l2Device::OnCaptureThread() const noexcept
{
    return captureThreadId.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void V4l2Device::Prepare()
{
    CriticalSection::AutoLock lock(streamSection);
    // The capture thread uses the converter; it changes only while stopped.
    if (handle || frameFormatIndex < 0 || static_cast<std::size_t>(frameFormatIndex) >= frameFormats.size())
    {
        ThrowUnexpected("Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    const auto& format =
        static_cast<const V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)]);
    converter = std::make_unique<V4l2FrameConverter>(format);
    Device::Prepare();
}

void V4l2Device::Unprepare()
{
    CriticalSection::AutoLock lock(streamSection);
    if (handle)
    {
        ThrowUnexpected("Unprepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    converter.reset();
    Device::Unprepare();
}

void V4l2Device::Start()
{
    // From a frame callback this would wait for the thread that is running it.
    if (OnCaptureThread())
    {
        ThrowUnexpected("Start", NORVEX_SOURCE_FILE, __LINE__);
    }
    CriticalSection::AutoLock lock(streamSection);
    if (handle)
    {
        if (IsStarted())
        {
            return;
        }
        // The stream ended by itself (the camera failed or went away): start afresh.
        EndCaptureThread();
        ReleaseStream();
    }
    if (!converter)
    {
        ThrowUnexpected("Start", NORVEX_SOURCE_FILE, __LINE__);
    }
    node = ResolveNode();
    handle = std::make_shared<V4l2FileHandle>(kernel, node, O_RDWR | O_NONBLOCK);
    try
    {
        watchesSource = WatchSource();
        Negotiate();
        SizeLikeFrame(converted);
        StreamOn();
        wakeEvent = std::make_unique<EventDescriptor>();

        // Offered only when the camera has at least one of the controls behind them.
        ComPointer<VideoCapture::CameraControl> camera;
        camera.Attach(new V4l2CameraControl(handle));
        if (static_cast<V4l2CameraControl*>(camera.Get())->HasAnyControl())
        {
            cameraControl = std::move(camera);
        }
        ComPointer<VideoCapture::VideoProcAmp> procAmp;
        procAmp.Attach(new V4l2VideoProcAmp(handle));
        if (static_cast<V4l2VideoProcAmp*>(procAmp.Get())->HasAnyControl())
        {
            videoProcAmp = std::move(procAmp);
        }

        droppedFrames.store(0, std::memory_order_relaxed);
        // Before the thread, which may already end the stream again.
        started.store(true, std::memory_order_release);
        captureThread = std::thread(&V4l2Device::CaptureLoop, this, GetStallThreshold());
    }
    catch (...)
    {
        ReleaseStream();
        throw;
    }
}

bool V4l2Device::WatchSource()
{
    int input = 0;
    v4l2_input description{};
    if (handle->Ioctl(VIDIOC_G_INPUT, &input) != 0 ||
        (description.index = static_cast<std::uint32_t>(input),
         handle->Ioctl(VIDIOC_ENUMINPUT, &description)) != 0 ||
        !(description.capabilities & V4L2_IN_CAP_DV_TIMINGS))
    {
        return false; // no inputs to speak of (a webcam), or one without timings
    }
    v4l2_event_subscription subscription{};
    subscription.type = V4L2_EVENT_SOURCE_CHANGE;
    subscription.id = static_cast<std::uint32_t>(input);
    // Without the events the stream simply keeps its timings until it is started again.
    handle->Ioctl(VIDIOC_SUBSCRIBE_EVENT, &subscription);
    return true;
}

void V4l2Device::Negotiate()
{
    const auto& format =
        static_cast<const V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)]);
    signalFormatIndex.store(-1, std::memory_order_release);
    if (watchesSource)
    {
        // A capture card takes the timings of the signal at its input before any format.
        v4l2_dv_timings timings{};
        if (handle->Ioctl(VIDIOC_QUERY_DV_TIMINGS, &timings) != 0)
        {
            RaiseStreamError(errno, "VIDIOC_QUERY_DV_TIMINGS");
        }
        if (timings.bt.width != format.GetPixelFormat().width ||
            timings.bt.height != format.GetPixelFormat().height)
        {
            // Buffers of one size cannot take another: the caller chooses the format of the new
            // size, where the device lists one.
            const std::wstring size =
                std::to_wstring(timings.bt.width) + L"x" + std::to_wstring(timings.bt.height);
            const std::int32_t fitting = FindSignalFormat(format.GetPixelFormat().pixelformat, timings);
            signalFormatIndex.store(fitting, std::memory_order_release);
            if (fitting >= 0)
            {
                handle->Raise(VideoCapture::signalResizedStatus, "VIDIOC_QUERY_DV_TIMINGS", "Start",
                              L"入力信号の解像度が " + size + L" に変わりました。\n");
            }
            handle->Raise(invalidMediaTypeStatus, "VIDIOC_QUERY_DV_TIMINGS", "Start",
                          L"入力信号の解像度 " + size + L" はこの形式と違います。\n");
        }
        handle->Require(VIDIOC_S_DV_TIMINGS, &timings, "VIDIOC_S_DV_TIMINGS", "Start");
    }

    v4l2_format native = format.ToNative(bufferType);
    handle->Require(VIDIOC_S_FMT, &native, "VIDIOC_S_FMT", "Start");
    // The driver may settle on something else; buffers of another layout would not fit.
    const v4l2_pix_format settled = V4l2FrameFormat::Describe(native);
    if (settled.pixelformat != format.GetPixelFormat().pixelformat ||
        settled.width != format.GetPixelFormat().width || settled.height != format.GetPixelFormat().height)
    {
        handle->Raise(invalidMediaTypeStatus, "VIDIOC_S_FMT", "Start");
    }

    if (V4l2FrameFormat::IsValid(format.GetFrameInterval()))
    {
        v4l2_streamparm parameters{};
        parameters.type = bufferType;
        parameters.parm.capture.timeperframe = format.GetFrameInterval();
        // Drivers without rate control refuse the request; they run at their only rate.
        if (handle->Ioctl(VIDIOC_S_PARM, &parameters) != 0)
        {
            if (errno != ENOTTY && errno != EINVAL)
            {
                handle->Raise(HRESULT_FROM_WIN32(errno), "VIDIOC_S_PARM", "Start");
            }
        }
        else if (const auto& interval = parameters.parm.capture.timeperframe;
                 V4l2FrameFormat::IsValid(interval) &&
                 V4l2FrameFormat::Compare(interval, format.GetFrameInterval()) != 0)
        {
            // The driver runs at the nearest rate it has (or the one its firmware picked) and
            // says so: the format shows, and a recording is made at, the rate really set.
            static_cast<V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)])
                .SetFrameInterval(interval);
        }
    }

    buffers = std::make_unique<V4l2BufferSet>(handle, bufferType, requestedBufferCount);
    converter->SetLayout(native, std::max<std::size_t>(settled.sizeimage, buffers->LargestLength()));
}

std::int32_t V4l2Device::FindSignalFormat(std::uint32_t layout, const v4l2_dv_timings& timings) const
{
    const auto& bt = timings.bt;
    const double total = static_cast<double>(V4L2_DV_BT_FRAME_WIDTH(&bt)) * V4L2_DV_BT_FRAME_HEIGHT(&bt);
    // Timings without a pixel clock keep the rate of the format streamed so far.
    const double rate = total > 0 && bt.pixelclock > 0
                            ? static_cast<double>(bt.pixelclock) / total
                            : frameFormats[static_cast<std::size_t>(frameFormatIndex)]->frameRate;
    std::int32_t found = -1;
    for (std::size_t i = 0; i < frameFormats.size(); ++i)
    {
        const auto& candidate = static_cast<const V4l2FrameFormat&>(*frameFormats[i]).GetPixelFormat();
        if (candidate.pixelformat != layout || candidate.width != bt.width || candidate.height != bt.height)
        {
            continue;
        }
        if (found < 0 || std::abs(frameFormats[i]->frameRate - rate) <
                             std::abs(frameFormats[static_cast<std::size_t>(found)]->frameRate - rate))
        {
            found = static_cast<std::int32_t>(i);
        }
    }
    return found;
}

std::int32_t V4l2Device::GetSignalFormatIndex() const
{
    return signalFormatIndex.load(std::memory_order_acquire);
}

void V4l2Device::StreamOn()
{
    int type = static_cast<int>(bufferType);
    if (handle->Ioctl(VIDIOC_STREAMON, &type) != 0)
    {
        RaiseStreamError(errno, "VIDIOC_STREAMON");
    }
}

void V4l2Device::RaiseStreamError(int error, const char* step) const
{
    // A capture card without a (stable) signal at its input says so with these.
    if (error == ENOLINK || error == ENOLCK)
    {
        handle->Raise(HRESULT_FROM_WIN32(error), step, "Start", L"入力信号がありません。\n");
    }
    // A signal whose timings the card cannot take (too fast, too large).
    if (error == ERANGE)
    {
        handle->Raise(HRESULT_FROM_WIN32(error), step, "Start",
                      L"入力信号のタイミングがこの機器で受けられる範囲の外です。\n");
    }
    handle->Raise(HRESULT_FROM_WIN32(error), step, "Start");
}

bool V4l2Device::FollowSource()
{
    bool changed = false;
    v4l2_event event{};
    while (handle->Ioctl(VIDIOC_DQEVENT, &event) == 0)
    {
        changed = changed || event.type == V4L2_EVENT_SOURCE_CHANGE;
    }
    if (!changed)
    {
        return true;
    }
    // The signal at the card's input changed: its new timings are taken and the stream started
    // again; one of another size or no signal ends the stream, saying so (another size the
    // device lists with its own status, for the caller to choose that format).
    try
    {
        int type = static_cast<int>(bufferType);
        handle->Ioctl(VIDIOC_STREAMOFF, &type);
        buffers.reset();
        Negotiate();
        StreamOn();
        return true;
    }
    catch (...)
    {
        started.store(false, std::memory_order_release);
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
        return false;
    }
}

void V4l2Device::Stop()
{
    if (OnCaptureThread())
    {
        ThrowUnexpected("Stop", NORVEX_SOURCE_FILE, __LINE__);
    }
    CriticalSection::AutoLock lock(streamSection);
    if (!handle)
    {
        return;
    }
    EndCaptureThread();

    int type = static_cast<int>(bufferType);
    // A stream whose source changed beyond following has no buffers left to stream off.
    const int error = !buffers || handle->Ioctl(VIDIOC_STREAMOFF, &type) == 0 ? 0 : errno;
    // Everything is released in any case; a camera that is gone cannot be streamed off.
    ReleaseStream();
    if (error != 0 && error != ENODEV)
    {
        ThrowErrno(error, "Stop", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void V4l2Device::EndCaptureThread()
{
    wakeEvent->Signal();
    if (captureThread.joinable())
    {
        captureThread.join();
    }
    captureThreadId.store(std::thread::id(), std::memory_order_release);
}

void V4l2Device::ReleaseStream() noexcept
{
    started.store(false, std::memory_order_release);
    cameraControl.Release();
    videoProcAmp.Release();
    wakeEvent.reset();
    if (handle)
    {
        int type = static_cast<int>(bufferType);
        handle->Ioctl(VIDIOC_STREAMOFF, &type);
    }
    // Unmaps and frees the driver's buffers; the node closes when the last owner of the handle
    // goes.
    buffers.reset();
    handle.reset();
}

ComPointer<VideoCapture::CameraControl>& V4l2Device::GetCameraControl()
{
    return cameraControl;
}

ComPointer<VideoCapture::VideoProcAmp>& V4l2Device::GetVideoProcAmp()
{
    return videoProcAmp;
}

std::uint64_t V4l2Device::GetDroppedFrameCount() const
{
    return droppedFrames.load(std::memory_order_relaxed);
}

void V4l2Device::SetStallThreshold(std::chrono::milliseconds threshold)
{
    CriticalSection::AutoLock lock(streamSection);
    stallThreshold = threshold;
}

std::chrono::milliseconds V4l2Device::GetStallThreshold() const
{
    if (stallThreshold.count() > 0)
    {
        return stallThreshold;
    }
    const auto& interval =
        static_cast<const V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)])
            .GetFrameInterval();
    if (!V4l2FrameFormat::IsValid(interval))
    {
        return defaultStallThreshold;
    }
    const auto tenIntervals = std::chrono::milliseconds(
        std::min<std::uint64_t>(10000ull * interval.numerator / interval.denominator, 3600000));
    return std::max(defaultStallThreshold, tenIntervals);
}

} // namespace Norvex::Core::V4l2VideoCapture
