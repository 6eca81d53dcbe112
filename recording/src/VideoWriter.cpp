#include "VideoWriter.h"

#include "AviFileWriter.h"
#include "FfmpegMovieWriter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/TemporaryFile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include <libyuv/convert_from_argb.h>

using Norvex::Core::CriticalSection;
using Norvex::Core::Exception;
using Norvex::Core::ThrowUnexpected;

namespace VistelCapture
{
namespace
{

using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

bool IsKnownFormat(VideoWriter::Format format)
{
    return format >= VideoWriter::Avi && format <= VideoWriter::H264Copy;
}

} // namespace

VideoWriter::VideoWriter() : VideoWriter(Clock(&std::chrono::steady_clock::now)) {}

VideoWriter::VideoWriter(Clock clock)
    : aviFile(std::make_unique<AviFileWriter>()), movieFile(std::make_unique<FfmpegMovieWriter>()),
      clock(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now))
{
}

VideoWriter::~VideoWriter()
{
    try
    {
        Close();
    }
    catch (const Exception& exception)
    {
        // Nobody is left to tell but the console.
        std::fprintf(stderr, "~VideoWriter: %s", Norvex::Core::ToUtf8(exception.GetMessage()).c_str());
    }
    catch (...)
    {
        std::fprintf(stderr, "~VideoWriter: unknown failure\n");
    }
}

void VideoWriter::Open(Format newFormat, const std::wstring& filePath, std::int32_t newWidth,
                       std::int32_t newHeight, double newFrameRate, std::uint32_t bitRate, Timing newTiming)
{
    CriticalSection::AutoLock guard(lock);
    // After a rejected format nothing is open, and Close alone reports that state.
    if (IsKnownFormat(format))
    {
        CloseLocked();
    }
    format = newFormat;
    rateOutOfReach = false;
    bytesPerInputPixel = 4;
    width = newWidth;
    height = newHeight;
    frameRate = newFrameRate;
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    // A rate of zero or less would make every frame last forever.
    if (!(frameRate > 0) || !std::isfinite(frameRate))
    {
        throw Exception(L"動画のフレームレートには 0 より大きい値を指定してください。\n", "Open",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    if (width <= 0 || height <= 0)
    {
        throw Exception(L"動画の幅と高さには 1 以上の値を指定してください。\n", "Open", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    const std::string path = Norvex::Core::ToUtf8(filePath);
    // A movie replaces only a regular file: a FIFO would block the open for ever, and a device or
    // a folder is no place for one. Other failures are the open's to report.
    std::string target;
    if (Norvex::Core::TemporaryFile::ResolveTarget(path, target) ==
        Norvex::Core::TemporaryFile::notRegularFile)
    {
        Norvex::Core::ThrowNotRegularFile(path, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (format == Avi || format == MjpegCopy)
    {
        aviFile->Open(path, width, height, frameRate,
                      format == Avi ? AviFileWriter::Compression::None : AviFileWriter::Compression::Mjpeg);
        stride = -static_cast<std::int32_t>(aviFile->GetRowSize());
        StartQueue();
        return;
    }
    // 4:2:0 pictures are made of 2 x 2 blocks.
    if (format == H264 && (width % 2 != 0 || height % 2 != 0))
    {
        throw Exception(L"H.264 の動画の幅と高さは偶数でなければなりません。\n", "Open", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    const auto codec = format == Wmv1       ? FfmpegMovieWriter::Codec::Wmv1
                       : format == Wmv2     ? FfmpegMovieWriter::Codec::Wmv2
                       : format == Wmv3     ? FfmpegMovieWriter::Codec::Wmv3
                       : format == H264Copy ? FfmpegMovieWriter::Codec::H264Copy
                                            : FfmpegMovieWriter::Codec::H264;
    movieFile->Open(codec, path, width, height, frameRate, bitRate);
    stride = bytesPerInputPixel * width;
    timingStarted = false;
    timing = newTiming;
    framesAdded = 0;
    frameDuration = static_cast<std::int64_t>(10000000.0 / frameRate);
    StartQueue();
}

void VideoWriter::StartQueue()
{
    const bool avi = format == Avi || format == MjpegCopy;
    const bool packets = format == H264Copy;
    inFlight.clear();
    framesTold = 0;
    queue = std::make_unique<FrameQueue<QueuedFrame>>(
        FrameQueue<QueuedFrame>::CapacityFor(width, height, frameRate),
        [this, avi, packets](QueuedFrame& queued)
        {
            const std::int64_t takenBefore = FramesTaken();
            try
            {
                if (avi)
                {
                    aviFile->AddFrame(queued.bytes.data(), queued.bytes.size());
                }
                else if (packets)
                {
                    movieFile->AddPacket(queued.bytes.data(), queued.bytes.size(), queued.sampleTime,
                                         frameDuration);
                }
                else
                {
                    movieFile->AddFrame(queued.picture, queued.sampleTime, frameDuration);
                    if (movieFile->RateOutOfReach())
                    {
                        rateOutOfReach = true;
                    }
                }
            }
            catch (...)
            {
                Settle(std::exchange(queued.done, nullptr), takenBefore);
                throw;
            }
            Settle(std::exchange(queued.done, nullptr), takenBefore);
        });
}

std::int64_t VideoWriter::FramesTaken() const
{
    return format == Avi || format == MjpegCopy ? static_cast<std::int64_t>(aviFile->GetFrameCount())
                                                : movieFile->GetFramesTaken();
}

std::int64_t VideoWriter::FramesInFile() const
{
    return format == Avi || format == MjpegCopy ? static_cast<std::int64_t>(aviFile->GetFrameCount())
                                                : movieFile->GetFramesInFile();
}

void VideoWriter::Settle(FrameDone done, std::int64_t takenBefore)
{
    if (FramesTaken() > takenBefore)
    {
        inFlight.push_back(std::move(done));
    }
    else if (done)
    {
        done(false);
    }
    TellWritten();
}

void VideoWriter::TellWritten()
{
    const std::int64_t inFile = FramesInFile();
    while (framesTold < inFile && !inFlight.empty())
    {
        // Taken off first: a FrameDone that raises is not told twice.
        FrameDone done = std::move(inFlight.front());
        inFlight.pop_front();
        ++framesTold;
        if (done)
        {
            done(true);
        }
    }
}

void VideoWriter::AddFrame(const Frame& frame, FrameDone done)
{
    CriticalSection::AutoLock guard(lock);
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (TakesPackets(format))
    {
        ThrowUnexpected("AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (!queue)
    {
        if (done)
        {
            done(false);
        }
        return;
    }
    if (format == Avi)
    {
        queue->Push(
            [&](QueuedFrame& queued)
            {
                ConvertToAviRows(frame, queued.bytes);
                queued.done = std::move(done);
            });
        return;
    }
    const auto now = clock();
    if (!timingStarted)
    {
        startTime = now;
        timingStarted = true;
    }
    // Wall-clock time since the first frame in 100 ns units, rounded half away from zero; or the
    // frame's place at the file's rate.
    const double elapsed =
        timing == Timing::FrameRate
            ? 10000000.0 * static_cast<double>(framesAdded++) / frameRate
            : std::chrono::duration<double, std::ratio<1, 10000000>>(now - startTime).count();
    // Only the part that fits is copied: the rest would be cut off anyway.
    Frame fitting;
    if (frame.data)
    {
        fitting.data = frame.data;
        fitting.width = std::clamp(frame.width, 0, width);
        fitting.height = std::clamp(frame.height, 0, height);
        fitting.stride = frame.stride;
    }
    queue->Push(
        [&](QueuedFrame& queued)
        {
            queued.picture = fitting;
            queued.sampleTime = std::llround(elapsed);
            queued.done = std::move(done);
        });
}

void VideoWriter::AddPacket(const unsigned char* data, std::size_t size, std::int64_t time, FrameDone done)
{
    CriticalSection::AutoLock guard(lock);
    if (!TakesPackets(format))
    {
        ThrowUnexpected("AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (!queue)
    {
        if (done)
        {
            done(false);
        }
        return;
    }
    if (!timingStarted)
    {
        firstPacketTime = time;
        timingStarted = true;
    }
    queue->Push(
        [&](QueuedFrame& queued)
        {
            queued.bytes.assign(data, data + size);
            // Nanoseconds to 100 ns units, rounded half away from zero.
            const std::int64_t elapsed = time - firstPacketTime;
            queued.sampleTime = (elapsed + (elapsed >= 0 ? 50 : -50)) / 100;
            queued.done = std::move(done);
        });
}

void VideoWriter::ConvertToAviRows(const Frame& frame, std::vector<unsigned char>& rows) const
{
    const std::size_t rowSize = static_cast<std::size_t>(-stride);
    rows.resize(rowSize * static_cast<std::size_t>(height));
    const std::int32_t frameRows = frame.data ? std::clamp(frame.height, 0, height) : 0;
    const std::int32_t columns = frame.data ? std::clamp(frame.width, 0, width) : 0;
    // The file's rows run bottom-up: its last row is the frame's top row, and the rows below the
    // frame's bottom come first, black.
    const std::size_t blackRows = static_cast<std::size_t>(height - frameRows);
    std::memset(rows.data(), 0, blackRows * rowSize);
    unsigned char* const covered = rows.data() + blackRows * rowSize;
    if (frameRows > 0 && columns > 0)
    {
        // Blue, green, red of each pixel; the fourth byte is dropped. The frame is read top-down
        // and the file's rows written from the last one up: read upward, a frame that is not in
        // the cache takes twice as long (bench/recording).
        libyuv::ARGBToRGB24(reinterpret_cast<const std::uint8_t*>(frame.data), frame.stride,
                            rows.data() + (static_cast<std::size_t>(height) - 1) * rowSize,
                            -static_cast<int>(rowSize), columns, frameRows);
    }
    // Padding, and what the frame does not cover on the right, is black.
    const std::size_t written = 3 * static_cast<std::size_t>(columns);
    if (written < rowSize)
    {
        for (std::int32_t row = 0; row < frameRows; ++row)
        {
            std::memset(covered + std::size_t(row) * rowSize + written, 0, rowSize - written);
        }
    }
}

void VideoWriter::Close()
{
    CriticalSection::AutoLock guard(lock);
    CloseLocked();
}

void VideoWriter::CloseLocked()
{
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("Close", NORVEX_SOURCE_FILE, __LINE__);
    }
    // The first failure is raised, after everything has been closed: a frame that failed on the
    // writer's thread, else the file's own finish.
    std::exception_ptr failure;
    const auto keepFirst = [&](auto&& step)
    {
        try
        {
            step();
        }
        catch (...)
        {
            if (!failure)
            {
                failure = std::current_exception();
            }
        }
    };
    keepFirst(
        [&]
        {
            if (queue)
                queue->Finish();
        });
    queue.reset();
    keepFirst([&] { aviFile->Close(); });
    keepFirst([&] { movieFile->Close(); });
    // The finish wrote what the encoder and the muxer still held; what is not in the file now
    // never will be.
    keepFirst([&] { TellWritten(); });
    for (; !inFlight.empty(); inFlight.pop_front())
    {
        if (inFlight.front())
        {
            keepFirst([&] { inFlight.front()(false); });
        }
    }
    if (failure)
    {
        std::rethrow_exception(failure);
    }
}

void VideoWriter::WaitUntilWritten()
{
    CriticalSection::AutoLock guard(lock);
    if (queue)
    {
        queue->Finish();
    }
}

bool VideoWriter::IsOpen()
{
    CriticalSection::AutoLock guard(lock);
    return queue != nullptr;
}

std::size_t VideoWriter::GetQueueCapacity()
{
    CriticalSection::AutoLock guard(lock);
    return queue ? queue->GetCapacity() : 0;
}

std::size_t VideoWriter::GetPeakQueuedFrames()
{
    CriticalSection::AutoLock guard(lock);
    return queue ? queue->GetPeakQueued() : 0;
}

} // namespace VistelCapture
