#include "Recorder.h"

#include <Norvex/Core/StringHelpers.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <limits>
#include <utility>

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
    std::wstring timestampPath;
    if (row.IsMovie())
    {
        const std::int64_t bitRate = std::clamp<std::int64_t>(std::int64_t(stream.bitRateKbps) * 1000, 0,
                                                              std::numeric_limits<std::uint32_t>::max());
        // A time-lapse movie is timed by its rate, not by when the frames came.
        videoWriter.Open(row.writerFormat, path, stream.width, stream.height, stream.frameRate,
                         static_cast<std::uint32_t>(bitRate),
                         stream.interval.count() > 0 ? VideoWriter::Timing::FrameRate
                                                     : VideoWriter::Timing::Arrival);
        moviePath = path;
        timestampPath = FrameTimestampFile::PathForMovie(path);
    }
    else
    {
        StartStills(path, stream);
        moviePath.clear();
        timestampPath = FrameTimestampFile::PathForFolder(GetSaveFolder());
    }
    {
        CriticalSection::AutoLock lock(recordSection);
        timestamps.reset();
        timestampsPath = stream.timestampFile ? timestampPath : std::wstring();
        timestampsNameFiles = row.IsStill();
    }
    takenFrames = 0;
    intervalNanoseconds =
        std::chrono::nanoseconds(std::max(stream.interval, std::chrono::milliseconds(0))).count();
    nextDue = -1;
    saveFailed = false;
    health.Start(RecordingHealth::Clock::now());
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
            std::wstring saved;
            try
            {
                // Two frames in one millisecond get two files: the second is named with "_2".
                saved = StillImageWriter::SaveNew(still.taken, still.path);
            }
            catch (...)
            {
                health.NotWritten(still.cameraGap);
                stillSaveFailed = endsOnSaveError.load();
                throw;
            }
            CountWritten(still.info, still.cameraGap, saved);
        });
    CriticalSection::AutoLock lock(stillQueueSection);
    stillQueue = std::move(queue);
}

void Recorder::CountWritten(const FrameInfo& info, std::int64_t cameraGap, const std::wstring& file)
{
    const std::int64_t droppedBefore = health.Written(cameraGap);
    CriticalSection::AutoLock lock(recordSection);
    if (timestampsPath.empty())
    {
        return;
    }
    // Made with the first frame: a still recording's folder may come into being only then, and a
    // recording without frames leaves no file.
    if (!timestamps)
    {
        timestamps = std::make_unique<FrameTimestampFile>(timestampsPath, timestampsNameFiles);
    }
    timestamps->Append(info, droppedBefore, file.substr(file.rfind(L'/') + 1));
}

void Recorder::StopBecause(std::wstring reason)
{
    if (IsRecording())
    {
        Warn(std::move(reason));
        Stop();
    }
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
    // A capture thread already past the check above finishes its frame first; after it, none
    // passes the check again under this lock.
    {
        CriticalSection::AutoLock lock(recordSection);
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
    health.Stop(RecordingHealth::Clock::now());
    FinishFiles(!moviePath.empty(), failure);
    if (callbacks.stateChanged)
    {
        callbacks.stateChanged();
    }
    if (failure)
    {
        std::rethrow_exception(failure);
    }
}

void Recorder::FinishFiles(bool movie, std::exception_ptr& failure)
{
    std::unique_ptr<FrameTimestampFile> timestampFile;
    {
        CriticalSection::AutoLock lock(recordSection);
        timestampFile = std::move(timestamps);
        timestampsPath.clear();
    }
    if (timestampFile)
    {
        try
        {
            timestampFile->Close();
        }
        catch (...)
        {
            if (!failure)
            {
                failure = std::current_exception();
            }
        }
    }
    if (health.GetStatus(RecordingHealth::Clock::now()).written > 0)
    {
        // A recording that ended at a failed save has said why; its lost frames need no word more.
        const bool endedByFailure = saveFailed.load() || stillSaveFailed.load();
        if (const auto warning = endedByFailure ? std::nullopt : health.TakeDropWarning(true))
        {
            Warn(*warning);
        }
        return;
    }
    // An empty movie only gets in the way; the folder of a still recording stays.
    std::error_code ignored;
    if (movie && std::filesystem::remove(Norvex::Core::ToUtf8(moviePath), ignored))
    {
        Warn(L"フレームが1つも録画されなかったため、空の動画ファイルを削除しました。");
    }
    else
    {
        Warn(L"フレームが1つも録画されませんでした。");
    }
}

void Recorder::Warn(std::wstring text)
{
    {
        CriticalSection::AutoLock lock(warningSection);
        warnings.push_back(std::move(text));
    }
    if (callbacks.warningsChanged)
    {
        callbacks.warningsChanged();
    }
}

std::vector<std::wstring> Recorder::TakeWarnings()
{
    CriticalSection::AutoLock lock(warningSection);
    return std::exchange(warnings, {});
}

void Recorder::OnFrame(const Image& frame, const FrameInfo& info, std::int32_t fileFormat)
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
            RecordFrame(frame, info, health.CameraGap(info.droppedFrames), fileFormat);
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
        if (const auto warning = health.TakeDropWarning(false))
        {
            Warn(*warning);
        }
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

void Recorder::RecordFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                           std::int32_t fileFormat)
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
                    StillImageWriter::Take(frame, row->stillEncoder, still.taken);
                    still.path = std::move(path);
                    still.info = info;
                    still.cameraGap = cameraGap;
                });
            return;
        }
    }
    // A movie, or stills chosen after a movie recording started: handed on here and now.
    WriteRecordingFrame(frame, info, cameraGap, FileFormatTable::Get(fileFormat));
}

std::wstring Recorder::WriteRecordingFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                                           const FileFormatRow& row)
{
    CriticalSection::AutoLock lock(recordSection);
    if (!isRecording.load())
    {
        return {}; // Stop has begun: its files take no more frames
    }
    std::wstring file;
    try
    {
        file = WriteFrame(frame, row, {});
    }
    catch (...)
    {
        health.NotWritten(cameraGap);
        throw;
    }
    CountWritten(info, cameraGap, file);
    return file;
}

void Recorder::RaiseStillSaveFailure()
{
    CriticalSection::AutoLock lock(stillQueueSection);
    if (stillQueue)
    {
        stillQueue->RaiseFailure();
    }
}

std::wstring Recorder::SaveFrame(const Image& image, const std::wstring& path, std::int32_t fileFormat,
                                 const FrameInfo& info)
{
    const auto& row = FileFormatTable::Get(fileFormat);
    if (path.empty() && isRecording.load())
    {
        // A snap: one frame of the recording, stamped now when its times are not known.
        FrameInfo stamped = info;
        if (stamped.captureTime == RecordingHealth::Clock::time_point{})
        {
            stamped.captureTime = RecordingHealth::Clock::now();
            stamped.wallClock = std::chrono::system_clock::now();
        }
        return WriteRecordingFrame(image, stamped, 0, row);
    }
    return WriteFrame(image, row, path);
}

std::wstring Recorder::WriteFrame(const Image& image, const FileFormatRow& row, const std::wstring& path)
{
    if (row.IsMovie())
    {
        // Without an open movie, nothing.
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
