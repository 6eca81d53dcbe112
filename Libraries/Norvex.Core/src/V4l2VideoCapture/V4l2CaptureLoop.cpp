// V4l2Device's capture thread: waiting for buffers, a stall and its one restart, the rate the
// camera really runs at, and each buffer made a frame.

#include "V4l2VideoCapture/V4l2BufferSet.h"
#include "V4l2VideoCapture/V4l2Device.h"
#include "V4l2VideoCapture/V4l2DeviceWakeEvent.h"
#include "V4l2VideoCapture/V4l2FrameConverter.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"

#include <linux/videodev2.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

// Cameras take a while to send their first picture after STREAMON (exposure settling).
constexpr std::chrono::milliseconds startAllowance{5000};

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
    std::uint8_t* jpegPlanes = nullptr; // written with the frame when wanted
    try
    {
        // Decoding and conversion need no lock: they write the capture thread's own picture,
        // which only its publication below swaps into `frame`.
        if (!converter->Load(planes))
        {
            return;
        }
        jpegPlanes =
            IsJpegPlanesWanted() && converter->HasJpegPath() ? NextJpegPlanes(converted).data() : nullptr;
        converter->WriteTo(converted, jpegPlanes);
    }
    catch (...)
    {
        reportDecodingFailure();
        return;
    }
    // The buffer goes back to the driver only after the delivery: a still can be taken from it.
    if (DeliverFrame(converted, NORVEX_SOURCE_FILE, __LINE__, info, converter->GetSource(),
                     jpegPlanes != nullptr))
    {
        decodingFails = false;
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
