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
#include <cerrno>
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

} // namespace

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
        frameFormats = std::move(V4l2FormatList(opened, skipDuplicatedFrameFormat).Formats());
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
    const auto& format =
        static_cast<const V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)]);
    node = ResolveNode();
    handle = std::make_shared<V4l2FileHandle>(kernel, node, O_RDWR | O_NONBLOCK);
    try
    {
        v4l2_format native{};
        native.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        native.fmt.pix = format.GetPixelFormat();
        native.fmt.pix.field = V4L2_FIELD_NONE;
        handle->Require(VIDIOC_S_FMT, &native, "VIDIOC_S_FMT", "Start");
        // The driver may settle on something else; buffers of another layout would not fit.
        if (native.fmt.pix.pixelformat != format.GetPixelFormat().pixelformat ||
            native.fmt.pix.width != format.GetPixelFormat().width ||
            native.fmt.pix.height != format.GetPixelFormat().height)
        {
            throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }

        if (V4l2FrameFormat::IsValid(format.GetFrameInterval()))
        {
            v4l2_streamparm parameters{};
            parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parameters.parm.capture.timeperframe = format.GetFrameInterval();
            // Drivers without rate control refuse the request; they run at their only rate.
            if (handle->Ioctl(VIDIOC_S_PARM, &parameters) != 0)
            {
                if (errno != ENOTTY && errno != EINVAL)
                {
                    ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
                }
            }
            else if (const auto& settled = parameters.parm.capture.timeperframe;
                     V4l2FrameFormat::IsValid(settled) &&
                     V4l2FrameFormat::Compare(settled, format.GetFrameInterval()) != 0)
            {
                // The driver runs at the nearest rate it has (or the one its firmware picked) and
                // says so: the format shows, and a recording is made at, the rate really set.
                static_cast<V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)])
                    .SetFrameInterval(settled);
            }
        }

        buffers = std::make_unique<V4l2BufferSet>(handle, requestedBufferCount);
        converter->SetLayout(native.fmt.pix,
                             std::max<std::size_t>(native.fmt.pix.sizeimage, buffers->LargestLength()));
        SizeLikeFrame(converted);

        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        handle->Require(VIDIOC_STREAMON, &type, "VIDIOC_STREAMON", "Start");
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

    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int error = handle->Ioctl(VIDIOC_STREAMOFF, &type) == 0 ? 0 : errno;
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
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
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
    // A stall is the time since the last picture shown: damaged buffers do not count.
    // The first picture may take startAllowance in all.
    auto lastPicture =
        std::chrono::steady_clock::now() +
        (stallAfter < startAllowance ? startAllowance - stallAfter : std::chrono::milliseconds(0));
    bool stalled = false;
    for (;;)
    {
        int timeout = -1;
        if (!stalled)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastPicture + stallAfter -
                                                                           std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 0x7FFFFFFF));
        }
        pollfd fds[2] = {{handle->Get(), POLLIN, 0}, {wakeEvent->Get(), POLLIN, 0}};
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
        if (ready == 0 || fds[0].revents == 0)
        {
            if (!stalled && std::chrono::steady_clock::now() >= lastPicture + stallAfter)
            {
                // The camera sends nothing and says nothing: reported once, and capture goes
                // on as soon as pictures come back.
                stalled = true;
                ReportErrno(ETIMEDOUT, __LINE__);
            }
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
        std::size_t size = 0;
        const unsigned char* data = buffers->Data(buffer, size);
        if (!data)
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

        if (buffer.flags & V4L2_BUF_FLAG_ERROR)
        {
            // The driver lost part of this frame; it counts as dropped, not as a failure.
            droppedFrames.fetch_add(1, std::memory_order_relaxed);
        }
        else
        {
            OnFrame(data, size);
            lastPicture = std::chrono::steady_clock::now();
            stalled = false;
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

void V4l2Device::OnFrame(const unsigned char* data, std::size_t size)
{
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
        if (!converter->Load(data, size))
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
    if (DeliverFrame(converted, NORVEX_SOURCE_FILE, __LINE__))
    {
        decodingFails = false;
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
