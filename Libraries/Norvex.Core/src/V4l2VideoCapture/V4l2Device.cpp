#include "V4l2FrameConverter.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2CameraControl.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2Device.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2FrameFormat.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2Subtype.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2VideoProcAmp.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
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

struct Size
{
    std::uint32_t width;
    std::uint32_t height;
};

// Offered from a stepwise or continuous size range: the common sizes that lie on its grid.
constexpr Size commonSizes[] = {
    {160, 120},   {176, 144},   {320, 180},   {320, 240},   {352, 288},   {640, 360},
    {640, 480},   {800, 600},   {960, 540},   {1024, 768},  {1280, 720},  {1280, 960},
    {1280, 1024}, {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160},
};

// Offered from a stepwise or continuous interval range, fastest first: the common rates that lie
// on its grid, as seconds per frame.
constexpr v4l2_fract commonIntervals[] = {
    {1, 240}, {1, 120}, {1, 60}, {1, 50}, {1, 30}, {1, 25},
    {1, 24},  {1, 20},  {1, 15}, {1, 10}, {2, 15}, {1, 5},
};

bool OnGrid(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step) noexcept
{
    return value >= minimum && value <= maximum && (value - minimum) % std::max<std::uint32_t>(step, 1) == 0;
}

std::vector<Size> ReduceSizes(const v4l2_frmsize_stepwise& range, bool continuous)
{
    const std::uint32_t stepWidth = continuous ? 1 : range.step_width;
    const std::uint32_t stepHeight = continuous ? 1 : range.step_height;
    std::vector<Size> sizes;
    for (const auto& size : commonSizes)
    {
        if (OnGrid(size.width, range.min_width, range.max_width, stepWidth) &&
            OnGrid(size.height, range.min_height, range.max_height, stepHeight))
        {
            sizes.push_back(size);
        }
    }
    if (sizes.empty() && range.min_width > 0 && range.min_height > 0)
    {
        sizes.push_back({range.min_width, range.min_height});
    }
    if (range.max_width > 0 && range.max_height > 0 &&
        std::none_of(sizes.begin(), sizes.end(),
                     [&](const Size& size)
                     { return size.width == range.max_width && size.height == range.max_height; }))
    {
        sizes.push_back({range.max_width, range.max_height});
    }
    return sizes;
}

// a/b compared with c/d, exactly.
int Compare(const v4l2_fract& a, const v4l2_fract& b) noexcept
{
    const auto left = static_cast<unsigned __int128>(a.numerator) * b.denominator;
    const auto right = static_cast<unsigned __int128>(b.numerator) * a.denominator;
    return left < right ? -1 : left > right ? 1 : 0;
}

bool Valid(const v4l2_fract& interval) noexcept
{
    return interval.numerator != 0 && interval.denominator != 0;
}

double Seconds(const v4l2_fract& interval) noexcept
{
    return static_cast<double>(interval.numerator) / interval.denominator;
}

// Whether the range's grid has a point within 0.1 per cent of `interval`. Exact fractions would
// miss: uvcvideo counts in 100 ns units and simplifies min and step apart, so a camera running
// at 333333, 666666, ... units is listed as from 1/30 in steps of 1/10000000 or 333333/10000000,
// and no common rate but the first lies exactly on either grid.
bool NearGrid(const v4l2_fract& interval, const v4l2_fract& minimum, const v4l2_fract& step) noexcept
{
    const double wanted = Seconds(interval);
    const double steps = std::round((wanted - Seconds(minimum)) / Seconds(step));
    const double nearest = Seconds(minimum) + steps * Seconds(step);
    return std::abs(nearest - wanted) <= wanted * 1e-3;
}

std::vector<v4l2_fract> ReduceIntervals(const v4l2_frmival_stepwise& range, bool continuous)
{
    std::vector<v4l2_fract> intervals;
    if (!Valid(range.min) || !Valid(range.max) || Compare(range.min, range.max) > 0)
    {
        return intervals;
    }
    intervals.push_back(range.min); // the fastest the camera can go
    for (const auto& interval : commonIntervals)
    {
        if (Compare(interval, range.min) <= 0 || Compare(interval, range.max) > 0)
        {
            continue;
        }
        if (!continuous && Valid(range.step) && !NearGrid(interval, range.min, range.step))
        {
            continue;
        }
        intervals.push_back(interval);
    }
    return intervals;
}

std::string CardName(const v4l2_capability& capability)
{
    const auto* card = reinterpret_cast<const char*>(capability.card);
    return std::string(card, strnlen(card, sizeof capability.card));
}

} // namespace

// One buffer of the node mapped into this process, unmapped when the object goes.
class V4l2Device::MappedBuffer
{
public:
    MappedBuffer(KernelInterface& kernel, const V4l2FileHandle& handle, const v4l2_buffer& buffer)
        : kernel(kernel), length(buffer.length)
    {
        address = kernel.Mmap(length, PROT_READ | PROT_WRITE, MAP_SHARED, handle.Get(), buffer.m.offset);
        if (address == MAP_FAILED)
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer() { kernel.Munmap(address, length); }

    const unsigned char* Data() const noexcept { return static_cast<const unsigned char*>(address); }
    std::size_t Length() const noexcept { return length; }

private:
    KernelInterface& kernel;
    void* address;
    std::size_t length;
};

// The eventfd that wakes the capture thread out of its poll.
class V4l2Device::EventDescriptor
{
public:
    EventDescriptor() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (fd < 0)
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
    }
    EventDescriptor(const EventDescriptor&) = delete;
    EventDescriptor& operator=(const EventDescriptor&) = delete;
    ~EventDescriptor() { ::close(fd); }

    int Get() const noexcept { return fd; }
    void Signal() const noexcept
    {
        const std::uint64_t one = 1;
        // Cannot fail short of a counter overflow, which a second signal would not change.
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    }

private:
    int fd;
};

V4l2Device::V4l2Device(KernelInterface& kernel, const std::string& node, bool skipDuplicatedFrameFormat)
    : kernel(kernel), node(node)
{
    CriticalSection::AutoLock lock(streamSection);
    {
        const V4l2FileHandle opened(kernel, node, O_RDWR | O_NONBLOCK);
        v4l2_capability capability{};
        if (opened.Ioctl(VIDIOC_QUERYCAP, &capability) != 0)
        {
            ThrowErrno(errno, "V4l2Device", NORVEX_SOURCE_FILE, __LINE__);
        }
        friendlyName = ToWideString(CardName(capability));
        persistentPath = kernel.GetPersistentPath(node);
        devicePath = ToWideString(persistentPath);
        ReadFormats(opened, skipDuplicatedFrameFormat);
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

void V4l2Device::ReadFormats(const V4l2FileHandle& opened, bool skipDuplicatedFrameFormat)
{
    for (std::uint32_t index = 0;; ++index)
    {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (opened.Ioctl(VIDIOC_ENUM_FMT, &description) != 0)
        {
            break; // EINVAL past the last format
        }
        const std::uint32_t pixelFormat = description.pixelformat;
        // Only formats a path can stream: a camera whose first format is one no path has (DV,
        // say) is still listed with the others.
        if (!V4l2Subtype::FromPixelFormat(pixelFormat) || !V4l2FrameConverter::CanConvert(pixelFormat))
        {
            continue;
        }

        std::vector<Size> sizes;
        v4l2_frmsizeenum size{};
        size.pixel_format = pixelFormat;
        if (opened.Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0)
        {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE)
            {
                do
                {
                    sizes.push_back({size.discrete.width, size.discrete.height});
                    ++size.index;
                } while (opened.Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0 &&
                         size.type == V4L2_FRMSIZE_TYPE_DISCRETE);
            }
            else
            {
                sizes = ReduceSizes(size.stepwise, size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS);
            }
        }
        else
        {
            // A driver that cannot list sizes: the size it settles on for this format.
            v4l2_format format{};
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (opened.Ioctl(VIDIOC_G_FMT, &format) == 0)
            {
                format.fmt.pix.pixelformat = pixelFormat;
                if (opened.Ioctl(VIDIOC_TRY_FMT, &format) == 0 && format.fmt.pix.pixelformat == pixelFormat)
                {
                    sizes.push_back({format.fmt.pix.width, format.fmt.pix.height});
                }
            }
        }

        for (const auto& [width, height] : sizes)
        {
            if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
            {
                continue;
            }
            std::vector<v4l2_fract> intervals;
            v4l2_frmivalenum interval{};
            interval.pixel_format = pixelFormat;
            interval.width = width;
            interval.height = height;
            if (opened.Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0)
            {
                if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE)
                {
                    do
                    {
                        intervals.push_back(interval.discrete);
                        ++interval.index;
                    } while (opened.Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0 &&
                             interval.type == V4L2_FRMIVAL_TYPE_DISCRETE);
                }
                else
                {
                    intervals =
                        ReduceIntervals(interval.stepwise, interval.type == V4L2_FRMIVAL_TYPE_CONTINUOUS);
                }
            }
            else
            {
                // A driver that cannot list intervals: the one it runs at now, if it says.
                v4l2_streamparm parameters{};
                parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                if (opened.Ioctl(VIDIOC_G_PARM, &parameters) == 0)
                {
                    intervals.push_back(parameters.parm.capture.timeperframe);
                }
            }
            for (const auto& frameInterval : intervals)
            {
                // A zero interval has no rate; such a format is left out rather than named "inf".
                if (!Valid(frameInterval))
                {
                    continue;
                }
                v4l2_pix_format native{};
                native.width = width;
                native.height = height;
                native.pixelformat = pixelFormat;
                native.field = V4L2_FIELD_NONE;
                native.bytesperline =
                    V4l2FrameConverter::GetLineLength(pixelFormat, static_cast<std::int32_t>(width));
                AddFormat(std::make_shared<V4l2FrameFormat>(native, frameInterval),
                          skipDuplicatedFrameFormat);
            }
        }
    }
}

void V4l2Device::AddFormat(std::shared_ptr<VideoCapture::FrameFormat> format, bool skipDuplicatedFrameFormat)
{
    // Of duplicates the first stays: V4L2 formats carry nothing beyond what makes them equal.
    if (skipDuplicatedFrameFormat &&
        std::any_of(frameFormats.begin(), frameFormats.end(),
                    [&](const std::shared_ptr<VideoCapture::FrameFormat>& existing)
                    { return existing->IsDuplicateOf(*format); }))
    {
        return;
    }
    frameFormats.push_back(std::move(format));
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
        if (handle->Ioctl(VIDIOC_S_FMT, &native) != 0)
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        // The driver may settle on something else; buffers of another layout would not fit.
        if (native.fmt.pix.pixelformat != format.GetPixelFormat().pixelformat ||
            native.fmt.pix.width != format.GetPixelFormat().width ||
            native.fmt.pix.height != format.GetPixelFormat().height)
        {
            throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }

        if (Valid(format.GetFrameInterval()))
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
                     Valid(settled) && Compare(settled, format.GetFrameInterval()) != 0)
            {
                // The driver runs at the nearest rate it has (or the one its firmware picked) and
                // says so: the format shows, and a recording is made at, the rate really set.
                static_cast<V4l2FrameFormat&>(*frameFormats[static_cast<std::size_t>(frameFormatIndex)])
                    .SetFrameInterval(settled);
            }
        }

        v4l2_requestbuffers request{};
        request.count = requestedBufferCount;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (handle->Ioctl(VIDIOC_REQBUFS, &request) != 0)
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        if (request.count == 0)
        {
            ThrowErrno(ENOMEM, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        std::size_t largest = native.fmt.pix.sizeimage;
        for (std::uint32_t index = 0; index < request.count; ++index)
        {
            v4l2_buffer buffer{};
            buffer.index = index;
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (handle->Ioctl(VIDIOC_QUERYBUF, &buffer) != 0)
            {
                ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
            }
            buffers.push_back(std::make_unique<MappedBuffer>(kernel, *handle, buffer));
            largest = std::max<std::size_t>(largest, buffer.length);
            if (handle->Ioctl(VIDIOC_QBUF, &buffer) != 0)
            {
                ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
            }
        }
        converter->SetLayout(native.fmt.pix, largest);
        SizeLikeFrame(converted);

        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (handle->Ioctl(VIDIOC_STREAMON, &type) != 0)
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
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
        buffers.clear();
        // Frees the driver's buffers; the node closes when the last owner of the handle goes.
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        handle->Ioctl(VIDIOC_REQBUFS, &request);
    }
    buffers.clear();
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
    if (!Valid(interval))
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
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (handle->Ioctl(VIDIOC_DQBUF, &buffer) != 0)
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
        if (buffer.index >= buffers.size())
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
            const auto& mapped = *buffers[buffer.index];
            OnFrame(mapped.Data(), std::min<std::size_t>(buffer.bytesused, mapped.Length()));
            lastPicture = std::chrono::steady_clock::now();
            stalled = false;
        }

        // A buffer that cannot go back would be lost for good, and with it, one by one, the
        // stream: the end is reported now instead.
        if (handle->Ioctl(VIDIOC_QBUF, &buffer) != 0)
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
    CriticalSection::AutoLock lock(frameSection);
    try
    {
        PublishFrame(converted);
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
        return;
    }
    decodingFails = false;
    try
    {
        InvokeFrameCallback();
    }
    catch (...)
    {
        NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
