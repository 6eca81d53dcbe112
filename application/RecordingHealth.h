#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace VistelCapture
{

// How a recording is going: its time, the frames written and the frames dropped (gaps the camera
// left, and frames that reached the recording but were not written), and when that calls for a
// word to the user.
//
// Threads: Start and Stop on the user-interface thread; CameraGap on the capture thread;
// Written and NotWritten on the thread that writes (the capture thread for a movie, the still
// queue's for files, the user-interface thread for a snap); LostByWriter on the movie writer's
// thread; GetStatus on any. All state is atomic.
class RecordingHealth
{
public:
    using Clock = std::chrono::steady_clock;

    struct Status
    {
        bool recording = false;
        Clock::duration elapsed{}; // since the start, to the stop once stopped
        std::int64_t written = 0;
        std::int64_t dropped = 0;
    };

    // Below this many frames a share of drops says little; at the stop any count does.
    static constexpr std::int64_t framesBeforeEarlyWarning = 100;

    void Start(Clock::time_point now) noexcept;
    void Stop(Clock::time_point now) noexcept;
    // The camera's drop count (since its start) as a frame of an every-frame recording arrived:
    // returns the frames it dropped since the previous such frame.
    std::int64_t CameraGap(std::uint64_t deviceDroppedFrames) noexcept;
    // A frame written after `cameraGap` dropped by the camera: returns the frames dropped since
    // the previous frame written, the gap included.
    std::int64_t Written(std::int64_t cameraGap) noexcept;
    // A frame that reached the recording and was not written, after `cameraGap` dropped.
    void NotWritten(std::int64_t cameraGap) noexcept;
    // A frame counted by Written that the file writer then lost (its write failed): it counts as
    // dropped instead. The failure is reported on its own, so such frames call for no drop warning.
    void LostByWriter() noexcept;
    Status GetStatus(Clock::time_point now) const noexcept;

    // The drop warning, at most once a recording: while recording once enough frames came
    // (atEnd false), or at the stop. Nothing while the share is 1 % or less, or nothing was written.
    std::optional<std::wstring> TakeDropWarning(bool atEnd) noexcept;
    // "00:01:05" (hours grow past 99).
    static std::wstring FormatElapsed(Clock::duration elapsed);

private:
    std::atomic<Clock::rep> startTicks = 0;
    std::atomic<Clock::rep> stopTicks = 0;
    std::atomic<bool> recording = false;
    std::atomic<std::int64_t> written = 0;
    std::atomic<std::int64_t> cameraDropped = 0;
    std::atomic<std::int64_t> notWritten = 0;
    std::atomic<std::int64_t> lostByWriter = 0;
    std::atomic<std::int64_t> droppedSinceWritten = 0; // not yet given to a written frame
    std::atomic<bool> dropWarned = false;
    // The camera's count at the last frame taken (capture thread; reset by Start, which a frame
    // of the recording before may still race); noCount before the first.
    static constexpr std::uint64_t noCount = ~std::uint64_t(0);
    std::atomic<std::uint64_t> lastDeviceDropped = noCount;
};

} // namespace VistelCapture
