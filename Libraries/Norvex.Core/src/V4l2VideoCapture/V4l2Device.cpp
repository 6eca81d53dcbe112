#include "V4l2VideoCapture/V4l2Device.h"

#include "V4l2VideoCapture/V4l2BufferSet.h"
#include "V4l2VideoCapture/V4l2CameraControl.h"
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
// Cameras take a while to send their first picture after STREAMON (exposure settling).
constexpr std::chrono::milliseconds startAllowance{5000};

std::string CardName(const v4l2_capability& capability)
{
    const auto* card = reinterpret_cast<const char*>(capability.card);
    return std::string(card, strnlen(card, sizeof capability.card));
}

// The buffer's sequence number and, when the driver stamps it on the monotonic clock (as
// videobuf2 does), its time stamp; a clock of the driver's own leaves the arrival time to
// DeliverFrame.
VideoCapture::FrameInfo InfoOf(const v4l2_buffer& buffer) noexcept
{
    VideoCapture::FrameInfo info;
    info.sequence = buffer.sequence;
    if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC &&
        (buffer.timestamp.tv_sec != 0 || buffer.timestamp.tv_usec != 0))
    {
        info.captureTime = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::seconds(buffer.timestamp.tv_sec) +
                std::chrono::microseconds(buffer.timestamp.tv_usec)));
        info.fromDriver = true;
    }
    return info;
}

} // namespace

// The rate a camera really runs at, from the sequence numbers and timestamps of its last buffers:
// frames it counted over the time between them, so a frame it dropped still counts.
class V4l2Device::RateMeter
{
public:
    explicit RateMeter(std::atomic<double>& published) : published(published) { Reset(); }

    void Reset() noexcept
    {
        count = 0;
        next = 0;
        published.store(0.0, std::memory_order_relaxed);
    }

    void Add(std::uint32_t sequence, const timeval& timestamp) noexcept
    {
        const std::int64_t microseconds = std::int64_t(timestamp.tv_sec) * 1000000 + timestamp.tv_usec;
        stamps[next] = {sequence, microseconds};
        next = (next + 1) % stamps.size();
        count = std::min(count + 1, stamps.size());
        if (count < 2)
        {
            return;
        }
        const Stamp& oldest = stamps[count < stamps.size() ? 0 : next];
        const Stamp& newest = stamps[(next + stamps.size() - 1) % stamps.size()];
        if (newest.microseconds > oldest.microseconds)
        {
            published.store(double(newest.sequence - oldest.sequence) * 1e6 /
                                double(newest.microseconds - oldest.microseconds),
                            std::memory_order_relaxed);
        }
    }

private:
    struct Stamp
    {
        std::uint32_t sequence;
        std::int64_t microseconds;
    };
    std::atomic<double>& published;
    std::array<Stamp, 32> stamps{};
    std::size_t count = 0;
    std::size_t next = 0;
};

// The eventfd that wakes the capture thread out of its poll.
class V4l2Device::EventDescriptor
{
public:
    EventDescriptor() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!fd.IsOpen())
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
    }

    int Get() const noexcept { return fd.Get(); }
    void Signal() const noexcept
    {
        const std::uint64_t one = 1;
        // Cannot fail short of a counter overflow, which a second signal would not change.
        [[maybe_unused]] const auto written = ::write(fd.Get(), &one, sizeof one);
    }

private:
    FileDescriptor fd;
};

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
            handle->Raise(invalidMediaTypeStatus, "VIDIOC_QUERY_DV_TIMINGS", "Start",
                          L"入力信号の解像度 " + std::to_wstring(timings.bt.width) + L"x" +
                              std::to_wstring(timings.bt.height) + L" はこの形式と違います。\n");
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
    // again; one of another size or no signal ends the stream, saying so.
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

void V4l2Device::EndStream(int error, int line) noexcept
{
    // Not started any more before the report, so whoever hears of it sees the stream ended.
    started.store(false, std::memory_order_release);
    ReportErrno(error, line);
}

void V4l2Device::ReportErrno(int error, int line) noexcept
{
    try
    {
        ThrowErrno(error, "OnFrame", NORVEX_SOURCE_FILE, line);
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, line);
    }
}

void V4l2Device::CaptureLoop(std::chrono::milliseconds stallAfter)
{
    // Before the first callback, so that a callback calling Start or Stop is recognised.
    captureThreadId.store(std::this_thread::get_id(), std::memory_order_release);
    decodingFails = false;
    bool haveSequence = false;
    std::uint32_t lastSequence = 0;
    RateMeter rate(measuredRate);
    // A stall is the time since the last picture shown: damaged buffers do not count. The first
    // picture after a STREAMON may take startAllowance in all.
    const auto afterStreamOn = [&]
    {
        return std::chrono::steady_clock::now() +
               (stallAfter < startAllowance ? startAllowance - stallAfter : std::chrono::milliseconds(0));
    };
    auto lastPicture = afterStreamOn();
    bool restarted = false; // since the last picture
    for (;;)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastPicture + stallAfter -
                                                                       std::chrono::steady_clock::now());
        const int timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 0x7FFFFFFF));
        pollfd fds[2] = {{handle->Get(), static_cast<short>(watchesSource ? POLLIN | POLLPRI : POLLIN), 0},
                         {wakeEvent->Get(), POLLIN, 0}};
        const int ready = kernel.Poll(fds, 2, timeout);
        if (ready < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            EndStream(errno, __LINE__);
            return;
        }
        if (fds[1].revents != 0)
        {
            return; // Stop
        }
        if (fds[0].revents & POLLPRI)
        {
            if (!FollowSource())
            {
                return;
            }
            haveSequence = false;
            rate.Reset();
            lastPicture = afterStreamOn();
            restarted = false;
            continue;
        }
        if (ready == 0 || fds[0].revents == 0)
        {
            if (std::chrono::steady_clock::now() < lastPicture + stallAfter)
            {
                continue;
            }
            if (restarted)
            {
                // Silent after a fresh start too: the camera is not coming back by itself.
                EndStream(ETIMEDOUT, __LINE__);
                return;
            }
            // The camera sends nothing and says nothing: reported, then the stream is started
            // afresh once, which brings many a driver's stream back.
            ReportErrno(ETIMEDOUT, __LINE__);
            if (!RestartStream())
            {
                EndStream(errno, __LINE__);
                return;
            }
            restarted = true;
            haveSequence = false; // the driver counts from 0 again
            rate.Reset();
            lastPicture = afterStreamOn();
            continue;
        }

        v4l2_buffer buffer{};
        if (!buffers->Dequeue(buffer))
        {
            const int error = errno;
            const bool signalled = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            if ((error == EAGAIN && !signalled) || error == EINTR)
            {
                continue; // woken without a buffer
            }
            // The queue's errors are sticky until STREAMOFF, a stopped queue stays stopped and
            // an unplugged camera stays gone: the stream ends here, with one report.
            EndStream(error == EAGAIN ? EIO : error, __LINE__);
            return;
        }
        V4l2BufferSet::Planes planes;
        if (!buffers->GetPlanes(buffer, planes))
        {
            EndStream(EINVAL, __LINE__);
            return;
        }

        // Sequence numbers count every frame the driver saw; a gap is frames it had no buffer
        // for. Unsigned arithmetic carries the count across the wrap at 2^32.
        if (haveSequence && buffer.sequence - lastSequence > 1 &&
            buffer.sequence - lastSequence < 0x80000000u)
        {
            droppedFrames.fetch_add(buffer.sequence - lastSequence - 1, std::memory_order_relaxed);
        }
        haveSequence = true;
        lastSequence = buffer.sequence;
        rate.Add(buffer.sequence, buffer.timestamp);

        if (buffer.flags & V4L2_BUF_FLAG_ERROR)
        {
            // The driver lost part of this frame; it counts as dropped, not as a failure.
            droppedFrames.fetch_add(1, std::memory_order_relaxed);
        }
        else
        {
            OnFrame(planes, InfoOf(buffer));
            lastPicture = std::chrono::steady_clock::now();
            restarted = false;
        }

        // A buffer that cannot go back would be lost for good, and with it, one by one, the
        // stream: the end is reported now instead.
        if (!buffers->Queue(buffer))
        {
            EndStream(errno, __LINE__);
            return;
        }
    }
}

bool V4l2Device::RestartStream()
{
    int type = static_cast<int>(bufferType);
    return handle->Ioctl(VIDIOC_STREAMOFF, &type) == 0 && buffers->QueueAll() &&
           handle->Ioctl(VIDIOC_STREAMON, &type) == 0;
}

double V4l2Device::GetMeasuredFrameRate() const
{
    return measuredRate.load(std::memory_order_relaxed);
}

void V4l2Device::OnFrame(const V4l2BufferSet::Planes& planes, const VideoCapture::FrameInfo& info)
{
    if (IsEncodedPayloadWanted() && planes.count > 0)
    {
        // The driver's time of the buffer where it gives one, else the arrival.
        const auto taken = info.captureTime.time_since_epoch().count() != 0
                               ? info.captureTime
                               : std::chrono::steady_clock::now();
        KeepEncodedPacket(
            planes.data[0], planes.size[0],
            std::chrono::duration_cast<std::chrono::nanoseconds>(taken.time_since_epoch()).count());
    }
    // A camera whose pictures cannot be decoded usually sends a run of them: the first of a run
    // is reported, the next is again after a picture came through.
    const auto reportDecodingFailure = [this]
    {
        if (!decodingFails)
        {
            decodingFails = true;
            NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
        }
    };
    try
    {
        // Decoding and conversion need no lock: they write the capture thread's own picture,
        // which only its publication below swaps into `frame`.
        if (!converter->Load(planes))
        {
            return;
        }
        converter->WriteTo(converted);
    }
    catch (...)
    {
        reportDecodingFailure();
        return;
    }
    if (DeliverFrame(converted, NORVEX_SOURCE_FILE, __LINE__, info))
    {
        decodingFails = false;
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
