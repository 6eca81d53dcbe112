#include "Recorder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cwchar>
#include <limits>

using Norvex::Core::CriticalSection;
using Norvex::Core::Exception;

namespace VistelCapture
{
namespace
{

// YYYYMMDDhhmmssmmm of the local time.
std::wstring TimeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    wchar_t text[32];
    std::swprintf(text, std::size(text), L"%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds));
    return text;
}

} // namespace

Recorder::Recorder(Callbacks callbacks) : callbacks(std::move(callbacks)) {}

Recorder::~Recorder()
{
    // The owner is going away: finish the files without calling back into it.
    callbacks = {};
    try
    {
        Stop();
    }
    catch (...)
    {
    }
}

std::wstring Recorder::GetSaveFolder() const
{
    CriticalSection::AutoLock lock(saveSection);
    return saveFolder;
}

std::wstring Recorder::TimeStampedPath(const FileFormatRow& row) const
{
    return GetSaveFolder() + TimeStamp() + row.extension;
}

void Recorder::Start(std::int32_t fileFormat, const std::wstring& path, const StreamSettings& stream)
{
    if (isRecording.load())
    {
        return;
    }
    const auto& row = FileFormatTable::Get(fileFormat);
    if (row.IsMovie())
    {
        const std::int64_t bitRate = std::clamp<std::int64_t>(std::int64_t(stream.bitRateKbps) * 1000, 0,
                                                              std::numeric_limits<std::uint32_t>::max());
        // A time-lapse movie is timed by its rate, not by when the frames came.
        videoWriter.Open(row.writerFormat, path, stream.width, stream.height, stream.frameRate,
                         static_cast<std::uint32_t>(bitRate),
                         stream.interval.count() > 0 ? VideoWriter::Timing::FrameRate
                                                     : VideoWriter::Timing::Arrival);
    }
    else
    {
        StartStills(path, stream);
    }
    recordedFrames = 0;
    takenFrames = 0;
    intervalNanoseconds =
        std::chrono::nanoseconds(std::max(stream.interval, std::chrono::milliseconds(0))).count();
    nextDue = -1;
    saveFailed = false;
    isRecording = true;
    if (callbacks.stateChanged)
    {
        callbacks.stateChanged();
    }
}

void Recorder::StartStills(const std::wstring& folder, const StreamSettings& stream)
{
    {
        CriticalSection::AutoLock lock(saveSection);
        saveFolder = folder;
        if (!saveFolder.empty() && saveFolder.back() != L'/')
        {
            saveFolder += L'/';
        }
    }
    stillSaveFailed = false;
    auto queue = std::make_unique<FrameQueue<StillFrame>>(
        FrameQueue<StillFrame>::CapacityFor(stream.width, stream.height, stream.frameRate),
        [this](const StillFrame& still)
        {
            // A recording that ends at its first failed save keeps no frame taken after it.
            if (stillSaveFailed.load())
            {
                return;
            }
            try
            {
                // Two frames in one millisecond get two files: the second is named with "_2".
                StillImageWriter::SaveNew(still.frame, still.format, still.path);
            }
            catch (...)
            {
                stillSaveFailed = endsOnSaveError.load();
                throw;
            }
            ++recordedFrames;
        });
    CriticalSection::AutoLock lock(stillQueueSection);
    stillQueue = std::move(queue);
}

void Recorder::Stop()
{
    if (!isRecording.exchange(false))
    {
        return;
    }
    // The frames already taken are saved, and a save that failed and was not reported yet is
    // raised here, as the movie's Close raises its own: after the state has changed.
    std::unique_ptr<FrameQueue<StillFrame>> stills;
    {
        CriticalSection::AutoLock lock(stillQueueSection);
        stills = std::move(stillQueue);
    }
    std::exception_ptr failure;
    if (stills)
    {
        try
        {
            stills->Finish();
        }
        catch (const Exception& exception)
        {
            // Where a failed save lets the recording go on, the window has been shown each failure
            // as a debug message: the last one goes the same way instead of ending the stop.
            if (endsOnSaveError.load())
            {
                failure = std::current_exception();
            }
            else if (callbacks.reportFailure)
            {
                callbacks.reportFailure(exception);
            }
        }
        catch (...)
        {
            failure = std::current_exception();
        }
        stills.reset();
    }
    try
    {
        // Whatever the format is now: a movie opened under another format must still be finished.
        videoWriter.Close();
    }
    catch (...)
    {
        if (!failure)
        {
            failure = std::current_exception();
        }
    }
    if (callbacks.stateChanged)
    {
        callbacks.stateChanged();
    }
    if (failure)
    {
        std::rethrow_exception(failure);
    }
}

void Recorder::OnFrame(const Image& frame, std::int32_t fileFormat)
{
    if (!isRecording.load() || saveFailed.load())
    {
        return;
    }
    const std::int64_t limit = frameLimit.load();
    const bool take = (limit == 0 || takenFrames.load() < limit) && TakesFrameNow();
    try
    {
        // Past the cap, frames still arrive to carry the report of a save that failed on the
        // still queue's thread.
        if (take)
        {
            RecordFrame(frame, fileFormat);
        }
        else
        {
            RaiseStillSaveFailure();
        }
    }
    catch (...)
    {
        saveFailed = endsOnSaveError.load();
        throw;
    }
    if (take)
    {
        ++takenFrames;
    }
}

bool Recorder::TakesFrameNow()
{
    const std::int64_t interval = intervalNanoseconds.load();
    if (interval <= 0)
    {
        return true;
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    const std::int64_t due = nextDue.load();
    if (due >= 0 && now < due)
    {
        return false;
    }
    // The next one is due an interval after this one was, so late frames do not add up to a drift;
    // after a pause longer than an interval (a stalled camera) the grid starts anew from now.
    nextDue = due >= 0 && now - due < interval ? due + interval : now + interval;
    return true;
}

void Recorder::RecordFrame(const Image& frame, std::int32_t fileFormat)
{
    const auto* row = FileFormatTable::Find(fileFormat);
    if (row && row->IsStill())
    {
        CriticalSection::AutoLock lock(stillQueueSection);
        if (stillQueue)
        {
            // Counted by the queue's thread once the file is saved.
            auto path = TimeStampedPath(*row);
            stillQueue->Push(
                [&](StillFrame& still)
                {
                    still.frame = frame;
                    still.path = std::move(path);
                    still.format = row->stillEncoder;
                });
            return;
        }
    }
    // A movie, or stills chosen after a movie recording started: handed on here and now.
    SaveFrame(frame, {}, fileFormat);
    ++recordedFrames;
}

void Recorder::RaiseStillSaveFailure()
{
    CriticalSection::AutoLock lock(stillQueueSection);
    if (stillQueue)
    {
        stillQueue->RaiseFailure();
    }
}

std::wstring Recorder::SaveFrame(const Image& image, const std::wstring& path, std::int32_t fileFormat)
{
    const auto& row = FileFormatTable::Get(fileFormat);
    if (row.IsMovie())
    {
        videoWriter.AddFrame(image);
        return {};
    }
    if (path.empty())
    {
        // Two frames in one millisecond get two files: the second is named with "_2".
        return StillImageWriter::SaveNew(image, row.stillEncoder, TimeStampedPath(row));
    }
    StillImageWriter::Save(image, row.stillEncoder, path);
    return path;
}

} // namespace VistelCapture
