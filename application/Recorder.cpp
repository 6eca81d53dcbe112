#include "Recorder.h"

#include <H264AccessUnit.h>

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VideoCapture/Device.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

constexpr std::uint32_t h264 = Norvex::Core::VideoCapture::MakeFourcc('H', '2', '6', '4');

// Refuses a recording of the camera's own frames that the camera or the settings cannot give.
void CheckCameraData(const FileFormatRow& row, const Recorder::StreamSettings& stream)
{
    if (!row.KeepsCameraData())
    {
        return;
    }
    const std::wstring name = L"「" + Norvex::Core::ToWideString(row.label) + L"」";
    if (stream.cameraFourcc != row.cameraFourcc)
    {
        throw Exception(name + L"で録画するには、カメラのフォーマットに " +
                            (row.cameraFourcc == h264 ? L"H264" : L"MJPG") + L" を選んでください。\n",
                        "Start", NORVEX_SOURCE_FILE, __LINE__);
    }
    // Skipping H.264 pictures would leave the rest without the pictures they refer to.
    if (row.cameraFourcc == h264 && stream.interval.count() > 0)
    {
        throw Exception(name + L"では間隔を指定して録画できません。間隔を 0 にしてください。\n", "Start",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
}

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

double Recorder::RateToRecord(double formatRate, double measuredRate) noexcept
{
    if (measuredRate > 0.0 &&
        (!(formatRate > 0.0) || std::abs(measuredRate - formatRate) > 0.05 * formatRate))
    {
        return measuredRate;
    }
    return formatRate;
}

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
    CheckCameraData(row, stream);
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
        recordsMovie = true;
        timestampPath = FrameTimestampFile::PathForMovie(path);
    }
    else
    {
        StartStills(path, stream);
        moviePath.clear();
        recordsMovie = false;
        timestampPath = FrameTimestampFile::PathForFolder(GetSaveFolder());
    }
    {
        CriticalSection::AutoLock lock(recordSection);
        notHandedOn = 0;
        CriticalSection::AutoLock fileLock(timestampSection);
        timestamps.reset();
        timestampsPath = stream.timestampFile ? timestampPath : std::wstring();
        timestampsNameFiles = row.IsStill();
        lostByWriter = 0;
    }
    takenFrames = 0;
    rateWarned = false;
    intervalNanoseconds =
        std::chrono::nanoseconds(std::max(stream.interval, std::chrono::milliseconds(0))).count();
    nextDue = -1;
    keepsCameraData = row.KeepsCameraData();
    everyFrameAsJpeg =
        row.IsStill() && row.stillEncoder == StillImageWriter::Jpeg && intervalNanoseconds.load() == 0;
    keyFrameSeen = false;
    parameterSets.clear();
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
    CriticalSection::AutoLock lock(timestampSection);
    AppendLineLocked(info, droppedBefore, file);
}

void Recorder::HandToMovie(const std::function<void(VideoWriter::FrameDone)>& add, const FrameInfo& info,
                           std::int64_t cameraGap)
{
    // A time-stamp file that cannot be made does not cost the movie its frame: the frame goes on,
    // then the failure is raised.
    std::exception_ptr fileFailure;
    try
    {
        CriticalSection::AutoLock lock(timestampSection);
        TimestampFileLocked();
    }
    catch (...)
    {
        fileFailure = std::current_exception();
    }
    const std::int64_t droppedBefore = cameraGap + notHandedOn;
    try
    {
        add(
            [this, info, droppedBefore](bool inFile)
            {
                CriticalSection::AutoLock lock(timestampSection);
                if (!inFile)
                {
                    // Counted written at the hand-off; the status and the summary show the file.
                    health.LostByWriter();
                    lostByWriter += droppedBefore + 1;
                    return;
                }
                // Only the hand-off makes the file, so one that failed is not made here again.
                if (timestamps)
                {
                    AppendLineLocked(info, droppedBefore + std::exchange(lostByWriter, 0), {});
                }
            });
    }
    catch (...)
    {
        health.NotWritten(cameraGap);
        notHandedOn = droppedBefore + 1;
        throw;
    }
    notHandedOn = 0;
    health.Written(cameraGap);
    if (fileFailure)
    {
        std::rethrow_exception(fileFailure);
    }
}

FrameTimestampFile* Recorder::TimestampFileLocked()
{
    if (!timestamps && !timestampsPath.empty())
    {
        timestamps = std::make_unique<FrameTimestampFile>(timestampsPath, timestampsNameFiles);
    }
    return timestamps.get();
}

void Recorder::AppendLineLocked(const FrameInfo& info, std::int64_t droppedBefore, const std::wstring& file)
{
    auto* timestampFile = TimestampFileLocked();
    if (!timestampFile)
    {
        return;
    }
    try
    {
        timestampFile->Append(info, droppedBefore, file.substr(file.rfind(L'/') + 1));
    }
    catch (...)
    {
        // A line cut short would shift every index after it.
        timestamps.reset();
        timestampsPath.clear();
        throw;
    }
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
        CriticalSection::AutoLock lock(timestampSection);
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
        // The last group of pictures is judged only once the file is finished.
        WarnIfRateOutOfReach();
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

void Recorder::WarnIfRateOutOfReach()
{
    if (!recordsMovie.load() || !videoWriter.RateOutOfReach() || rateWarned.exchange(true))
    {
        return;
    }
    Warn(L"WMV3: "
         L"指定のビットレートは低すぎます。最も低い画質でも収まらないため、動画ファイルは指定より大きくなりま"
         L"す。");
}

std::vector<std::wstring> Recorder::TakeWarnings()
{
    CriticalSection::AutoLock lock(warningSection);
    return std::exchange(warnings, {});
}

void Recorder::OnFrame(const Image& frame, const FrameInfo& info, const EncodedPayload& payload,
                       std::int32_t fileFormat, Norvex::Core::VideoCapture::Device* camera)
{
    if (!isRecording.load() || saveFailed.load())
    {
        return;
    }
    // The camera's packets start to come only once the recording has asked for them.
    if (keepsCameraData.load() && payload.packets.empty())
    {
        return;
    }
    const std::int64_t limit = frameLimit.load();
    const bool take = (limit == 0 || takenFrames.load() < limit) && TakesFrameNow(info);
    std::int64_t taken = 1;
    try
    {
        // Past the cap, frames still arrive to carry the report of a save that failed on the
        // still queue's thread.
        const auto* row = FileFormatTable::Find(fileFormat);
        if (take && row && row->KeepsCameraData())
        {
            taken = RecordPackets(payload, info, health.CameraGap(info.droppedFrames), *row);
        }
        else if (take)
        {
            RecordFrame(frame, info, health.CameraGap(info.droppedFrames), fileFormat, camera);
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
        takenFrames += taken;
        if (const auto warning = health.TakeDropWarning(false))
        {
            Warn(*warning);
        }
        WarnIfRateOutOfReach();
    }
}

bool Recorder::TakesFrameNow(const FrameInfo& info)
{
    const std::int64_t interval = intervalNanoseconds.load();
    if (interval <= 0)
    {
        return true;
    }
    // The camera's time of the frame: a program held up for a moment still keeps frames taken an
    // interval apart.
    const auto taken = info.captureTime.time_since_epoch().count() != 0 ? info.captureTime
                                                                        : std::chrono::steady_clock::now();
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(taken.time_since_epoch()).count();
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

std::int64_t Recorder::RecordPackets(const EncodedPayload& payload, const FrameInfo& info,
                                     std::int64_t cameraGap, const FileFormatRow& row)
{
    if (payload.fourcc != row.cameraFourcc)
    {
        return 0;
    }
    const std::int64_t limit = frameLimit.load();
    std::int64_t taken = 0;
    // A time-lapse keeps one picture per interval, the newest (pictures stand alone; H.264
    // recordings have no interval).
    const std::size_t first =
        intervalNanoseconds.load() > 0 && !payload.packets.empty() ? payload.packets.size() - 1 : 0;
    for (std::size_t index = first; index < payload.packets.size(); ++index)
    {
        const auto& packet = payload.packets[index];
        if (limit != 0 && takenFrames.load() + taken >= limit)
        {
            break;
        }
        const unsigned char* data = packet.bytes.data();
        std::size_t size = packet.bytes.size();
        std::vector<unsigned char> withSets;
        if (row.cameraFourcc == h264 && !keyFrameSeen.load())
        {
            // Nothing before the first key frame can be decoded; the parameter sets seen on the
            // way are put in front of it when it does not carry its own.
            auto sets = H264AccessUnit::ParameterSets(data, size);
            if (!H264AccessUnit::IsKeyFrame(data, size))
            {
                if (!sets.empty())
                {
                    parameterSets = std::move(sets);
                }
                continue;
            }
            if (sets.empty())
            {
                if (parameterSets.empty())
                {
                    continue;
                }
                withSets = parameterSets;
                withSets.insert(withSets.end(), data, data + size);
                data = withSets.data();
                size = withSets.size();
            }
            keyFrameSeen = true;
        }
        // The time-stamp file's line of each unit: the frame's, at the unit's own capture time
        // where several came with it.
        FrameInfo unitInfo = info;
        const auto shift = std::chrono::nanoseconds(packet.time) - info.captureTime.time_since_epoch();
        if (index + 1 < payload.packets.size())
        {
            unitInfo.captureTime += std::chrono::duration_cast<std::chrono::steady_clock::duration>(shift);
            unitInfo.wallClock += std::chrono::duration_cast<std::chrono::system_clock::duration>(shift);
            unitInfo.sequence.reset();
        }
        CriticalSection::AutoLock lock(recordSection);
        if (!isRecording.load())
        {
            break; // Stop has begun: its files take no more frames
        }
        HandToMovie([&](VideoWriter::FrameDone done)
                    { videoWriter.AddPacket(data, size, packet.time, std::move(done)); },
                    unitInfo, taken == 0 ? cameraGap : 0);
        ++taken;
    }
    return taken;
}

void Recorder::RecordFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                           std::int32_t fileFormat, Norvex::Core::VideoCapture::Device* camera)
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
                    StillImageWriter::Take(frame, row->stillEncoder, still.taken, camera);
                    still.path = std::move(path);
                    still.info = info;
                    still.cameraGap = cameraGap;
                });
            return;
        }
    }
    // A movie, or stills chosen after a movie recording started: handed on here and now. Inside
    // the camera's frame callback (its frame lock held throughout) the camera's frame is read
    // through the lock, which makes a picture left to be made on demand.
    WriteRecordingFrame(camera ? *camera->LockFrame() : frame, info, cameraGap,
                        FileFormatTable::Get(fileFormat));
}

std::wstring Recorder::WriteRecordingFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                                           const FileFormatRow& row)
{
    CriticalSection::AutoLock lock(recordSection);
    if (!isRecording.load())
    {
        return {}; // Stop has begun: its files take no more frames
    }
    if (row.IsMovie())
    {
        HandToMovie([&](VideoWriter::FrameDone done) { videoWriter.AddFrame(frame, std::move(done)); }, info,
                    cameraGap);
        return {};
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
    if (row.KeepsCameraData())
    {
        // Such a movie holds the camera's pictures only, never one decoded and encoded again.
        throw Exception(L"「" + Norvex::Core::ToWideString(row.label) +
                            L"」の動画には Snap のフレームを追加できません。\n",
                        "SaveFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
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
