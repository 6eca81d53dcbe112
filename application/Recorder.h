#pragma once

#include "FileFormatTable.h"
#include "FrameTimestampFile.h"
#include "RecordingHealth.h"
#include "StillImageWriter.h"
#include "VideoWriter.h"

#include <FrameQueue.h>

#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>
#include <Norvex/Core/VideoCapture/EncodedPayload.h>
#include <Norvex/Core/VideoCapture/FrameInfo.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VistelCapture
{

// A recording: a movie file, or every frame as a time-stamped still in a folder; and single frames
// saved as stills or appended to the open movie. The format is a FileFormatTable index, read
// anew for every frame.
//
// Failure rules. A movie frame that fails raises on the capture thread (the model shows it as a
// debug message). A still is encoded on a thread of its own; its failure is raised with a later
// frame, or by Stop. When EndsOnSaveError is set, the first failure ends the saving of the
// recording (the files keep what was written; Stop finishes them) and Stop raises a still
// failure not reported yet; otherwise every frame is tried and Stop only reports the last still
// failure through reportFailure.
//
// Health: RecordingHealth counts the time, the frames written and those dropped; a recording
// that wrote no frame says so at Stop (a movie's empty file is removed), one that dropped
// more than 1 % of its frames warns once, and so does a movie whose encoder cannot hold it to the
// bit rate asked for. Unless switched off, a FrameTimestampFile gets a line for every frame in
// the files: a still's once its file is saved, a movie frame's once the writer has it in the
// movie as a reader finds it after a kill (so a killed recording's lines match its frames),
// written from the writer's thread. A frame the writer loses gets no line; it counts among the
// drops before the next one.
//
// Threads: Start, Stop and SaveFrame run on the user-interface thread, OnFrame on the capture
// thread. Locks, never reversed: stillQueueSection, then recordSection, then saveSection, then
// the writer's lock, then timestampSection, then the time-stamp file's; the frame queue's own
// lock is innermost, and warningSection is a leaf. The writer's thread and the still queue's take
// timestampSection holding no other. No lock is held while a callback runs.
class Recorder
{
public:
    using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

    struct Callbacks
    {
        // A failure that does not end the operation (a still failure at Stop, above).
        std::function<void(const Norvex::Core::Exception&)> reportFailure;
        // IsRecording changed; called by Start and Stop after the change, before Stop raises.
        std::function<void()> stateChanged;
        // A word for the user about the recording is waiting in TakeWarnings (any thread).
        std::function<void()> warningsChanged;
    };

    // What a recording needs to know of the frames to come.
    struct StreamSettings
    {
        std::int32_t width = 0;
        std::int32_t height = 0;
        double frameRate = 0;
        std::int32_t bitRateKbps = 0; // clamped to what the writer takes
        // Time-lapse: at most one frame per interval is recorded, the first to arrive once it is
        // due; a movie keeps its rate, so it plays the time sped up. Zero: every frame.
        std::chrono::milliseconds interval{0};
        bool timestampFile = true; // a FrameTimestampFile beside the movie or in the folder
        // The camera format's code when a recording can keep its frames as they are
        // (Device::KeepableFourcc), else 0.
        std::uint32_t cameraFourcc = 0;
    };
    using FrameInfo = Norvex::Core::VideoCapture::FrameInfo;
    using EncodedPayload = Norvex::Core::VideoCapture::EncodedPayload;

    // The rate a movie is written at: the format's, unless the camera names none or runs more than
    // 5 % off it (slower in low light), and its buffers' timestamps show the rate it really runs
    // at; else a file would play too fast or too slow.
    static double RateToRecord(double formatRate, double measuredRate) noexcept;

    explicit Recorder(Callbacks callbacks);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    // Finishes a running recording, silently.
    ~Recorder();

    // Starts recording in fileFormat: a movie at path, or stills into the folder path. Does
    // nothing while recording. A movie that cannot be opened or a format outside the table raises
    // and leaves the recorder stopped.
    void Start(std::int32_t fileFormat, const std::wstring& path, const StreamSettings& stream);
    // Saves the frames taken, closes the movie and raises a failure as the rules above say.
    // Does nothing when not recording.
    void Stop();
    // Stop, for a reason the user is told first among the warnings (the camera went away).
    void StopBecause(std::wstring reason);
    // One frame of the device with the camera's packets that came with it (capture thread):
    // recorded while recording, up to the frame limit, unless a failure has ended the saving. A
    // format that keeps the camera's compression writes the packets, never the frame. Given the
    // camera whose frame callback this runs in (`frame` its frame), JPEG stills come from its own
    // Y'CbCr, and the frame is read through its frame lock, which makes a picture left to be made
    // on demand.
    void OnFrame(const Image& frame, const FrameInfo& info, const EncodedPayload& payload,
                 std::int32_t fileFormat, Norvex::Core::VideoCapture::Device* camera = nullptr);
    // A frame that came without the camera's packets.
    void OnFrame(const Image& frame, const FrameInfo& info, std::int32_t fileFormat)
    {
        OnFrame(frame, info, EncodedPayload{}, fileFormat);
    }
    // A movie format appends to the open movie; a still format writes a file (a time-stamped one in
    // the save folder when path is empty). Returns the file written, empty for movies. While
    // recording, a frame saved without a path (a snap) is one of the recording's, `info` its times.
    std::wstring SaveFrame(const Image& image, const std::wstring& path, std::int32_t fileFormat,
                           const FrameInfo& info = {});

    // Caps how many frames a recording saves (0: no cap); for scripted recordings.
    void SetFrameLimit(std::int64_t limit) noexcept { frameLimit = limit; }
    // When set, the first frame that fails to save ends the saving of that recording; for scripted
    // recordings, which cannot do anything useful with a stream of identical errors.
    void SetEndsOnSaveError(bool value) noexcept { endsOnSaveError = value; }

    bool IsRecording() const noexcept { return isRecording.load(); }
    // Whether a movie is being recorded (user-interface thread).
    bool IsRecordingMovie() const noexcept { return IsRecording() && !moviePath.empty(); }
    // Whether the running recording wants the camera's packets with every frame.
    bool KeepsCameraData() const noexcept { return isRecording.load() && keepsCameraData.load(); }
    // Whether the recording takes every frame as a JPEG still: the camera's JPEG planes are then
    // best made with each frame.
    bool TakesEveryFrameAsJpeg() const noexcept { return isRecording.load() && everyFrameAsJpeg.load(); }
    // Frames of the running (or last) recording handed to the movie, or saved as still files.
    std::int64_t GetRecordedFrameCount() const noexcept { return GetStatus().written; }
    // Time, frames written and frames dropped of the running (or last) recording.
    RecordingHealth::Status GetStatus() const noexcept
    {
        return health.GetStatus(RecordingHealth::Clock::now());
    }
    // The words for the user gathered since the last call, oldest first (any thread).
    std::vector<std::wstring> TakeWarnings();
    // The folder of the last still recording, ending in '/', or empty.
    std::wstring GetSaveFolder() const;

private:
    // A frame of a still recording, with where it goes, chosen when it arrives.
    struct StillFrame
    {
        StillImageWriter::Taken taken; // what the encoder reads, not a copy of the frame for JPEG
        std::wstring path;
        FrameInfo info;
        std::int64_t cameraGap = 0;
    };

    void StartStills(const std::wstring& folder, const StreamSettings& stream);
    // The camera's packets of a frame into a movie that keeps them; returns how many it took.
    std::int64_t RecordPackets(const EncodedPayload& payload, const FrameInfo& info, std::int64_t cameraGap,
                               const FileFormatRow& row);
    void RecordFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                     std::int32_t fileFormat, Norvex::Core::VideoCapture::Device* camera);
    // Whether a frame taken at its capture time is to be recorded under the interval, and if so,
    // when the next one is due (capture thread).
    bool TakesFrameNow(const FrameInfo& info);
    // Writes a frame of the running recording and counts it; nothing once Stop has begun.
    std::wstring WriteRecordingFrame(const Image& frame, const FrameInfo& info, std::int64_t cameraGap,
                                     const FileFormatRow& row);
    // Appends to the open movie, or saves a still (time-stamped in the save folder without a path).
    std::wstring WriteFrame(const Image& image, const FileFormatRow& row, const std::wstring& path);
    // A still of the recording written: counted, and its line written.
    void CountWritten(const FrameInfo& info, std::int64_t cameraGap, const std::wstring& file);
    // Hands a frame or a unit of the camera's to the movie through `add` (recordSection held) and
    // counts it; its line follows once it is in the file.
    void HandToMovie(const std::function<void(VideoWriter::FrameDone)>& add, const FrameInfo& info,
                     std::int64_t cameraGap);
    // The time-stamp file, made on first use (timestampSection held): a still recording's folder
    // may come into being only with its first frame, and a recording without frames leaves no
    // file. Null when switched off, or after a failed write.
    FrameTimestampFile* TimestampFileLocked();
    // A line (timestampSection held); after a failed write the file takes no more.
    void AppendLineLocked(const FrameInfo& info, std::int64_t droppedBefore, const std::wstring& file);
    // Closes the time-stamp file; a recording without frames loses it and its empty movie.
    void FinishFiles(bool movie, std::exception_ptr& failure);
    void Warn(std::wstring text);
    // Once a recording: its encoder cannot bring the movie down to the bit rate asked for.
    void WarnIfRateOutOfReach();
    // Raises a failed save of the still queue's thread not reported yet (capture thread).
    void RaiseStillSaveFailure();
    std::wstring TimeStampedPath(const FileFormatRow& row) const;

    Callbacks callbacks;     // cleared by the destructor
    VideoWriter videoWriter; // its own lock, innermost but the queue's

    // Taken before saveSection; a push under it waits at most for the encoder to free one buffer.
    mutable Norvex::Core::CriticalSection stillQueueSection;
    // Encodes the frames of a still recording on a thread of its own, so the capture thread only
    // takes them (JPEG's planes, or a copy of the rows); exists while such a recording runs.
    // Guarded by stillQueueSection.
    std::unique_ptr<FrameQueue<StillFrame>> stillQueue;
    // Held while a frame goes into the recording's files, so Stop can close them behind the last.
    Norvex::Core::CriticalSection recordSection;
    // Movie frames since the last one handed on that the writer refused, with the camera's drops
    // before them. Guarded by recordSection.
    std::int64_t notHandedOn = 0;
    Norvex::Core::CriticalSection timestampSection;
    std::unique_ptr<FrameTimestampFile> timestamps; // guarded by timestampSection
    std::wstring timestampsPath;                    // guarded by timestampSection; empty: none
    bool timestampsNameFiles = false;               // guarded by timestampSection
    // Movie frames the writer lost since the last line, with the drops before them. Guarded by
    // timestampSection.
    std::int64_t lostByWriter = 0;
    // Written by Start on the user-interface thread before the recording runs; read on that thread only.
    std::wstring moviePath;
    // Whether the recording writes a movie, for the capture thread, which may still be finishing a
    // frame of the last recording while Start sets up the next. Written by Start.
    std::atomic<bool> recordsMovie = false;
    mutable Norvex::Core::CriticalSection saveSection; // leaf lock
    std::wstring saveFolder;                           // guarded by saveSection
    RecordingHealth health;                            // atomics of its own
    Norvex::Core::CriticalSection warningSection;      // leaf lock
    std::vector<std::wstring> warnings;                // guarded by warningSection

    std::atomic<bool> isRecording = false;     // written on the user-interface thread
    std::atomic<std::int64_t> frameLimit = 0;  // written on the user-interface thread
    std::atomic<bool> endsOnSaveError = false; // written on the user-interface thread
    std::atomic<std::int64_t> takenFrames = 0; // frames the capture thread took for the recording
    std::atomic<bool> saveFailed = false;      // set by the capture thread, cleared by Start
    std::atomic<bool> rateWarned = false;      // likewise, also set by Stop
    std::atomic<bool> stillSaveFailed = false; // set by the still queue's thread, likewise
    // The interval of the running recording in steady-clock nanoseconds (0: every frame), and
    // when the next frame is due (-1: the first one is). Set by Start, the due time then moved on
    // by the capture thread alone.
    std::atomic<std::int64_t> intervalNanoseconds = 0;
    std::atomic<std::int64_t> nextDue = -1;
    std::atomic<bool> keepsCameraData = false;  // set by Start
    std::atomic<bool> everyFrameAsJpeg = false; // set by Start
    // H.264 kept as it is: the file starts at a key frame, with the stream's parameter sets, which
    // some cameras send only now and then. The capture thread's once Start has reset them.
    std::atomic<bool> keyFrameSeen = false;
    std::vector<unsigned char> parameterSets;
};

} // namespace VistelCapture
