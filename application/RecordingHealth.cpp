#include "RecordingHealth.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

namespace VistelCapture
{

void RecordingHealth::Start(Clock::time_point now) noexcept
{
    written = 0;
    cameraDropped = 0;
    notWritten = 0;
    lostByWriter = 0;
    droppedSinceWritten = 0;
    dropWarned = false;
    lastDeviceDropped = noCount;
    startTicks = now.time_since_epoch().count();
    recording = true;
}

void RecordingHealth::Stop(Clock::time_point now) noexcept
{
    stopTicks = now.time_since_epoch().count();
    recording = false;
}

std::int64_t RecordingHealth::CameraGap(std::uint64_t deviceDroppedFrames) noexcept
{
    // The first frame sets the base; a count that went down belongs to a stream started afresh.
    const std::uint64_t last = lastDeviceDropped.exchange(deviceDroppedFrames);
    std::uint64_t gap = 0;
    if (last != noCount)
    {
        gap = deviceDroppedFrames >= last ? deviceDroppedFrames - last : deviceDroppedFrames;
    }
    cameraDropped += static_cast<std::int64_t>(gap);
    return static_cast<std::int64_t>(gap);
}

std::int64_t RecordingHealth::Written(std::int64_t cameraGap) noexcept
{
    ++written;
    return cameraGap + droppedSinceWritten.exchange(0);
}

void RecordingHealth::NotWritten(std::int64_t cameraGap) noexcept
{
    ++notWritten;
    droppedSinceWritten += cameraGap + 1;
}

void RecordingHealth::LostByWriter() noexcept
{
    --written;
    ++lostByWriter;
}

RecordingHealth::Status RecordingHealth::GetStatus(Clock::time_point now) const noexcept
{
    Status status;
    status.recording = recording.load();
    const Clock::rep end = status.recording ? now.time_since_epoch().count() : stopTicks.load();
    status.elapsed = Clock::duration(std::max<Clock::rep>(end - startTicks.load(), 0));
    status.written = written.load();
    status.dropped = cameraDropped.load() + notWritten.load() + lostByWriter.load();
    return status;
}

std::optional<std::wstring> RecordingHealth::TakeDropWarning(bool atEnd) noexcept
{
    const auto status = GetStatus(Clock::now());
    const std::int64_t dropped = status.dropped - lostByWriter.load();
    const std::int64_t offered = status.written + dropped;
    if (status.written == 0 || dropped * 100 <= offered || (!atEnd && offered < framesBeforeEarlyWarning) ||
        dropWarned.exchange(true))
    {
        return std::nullopt;
    }
    wchar_t text[160];
    std::swprintf(text, std::size(text),
                  L"録画でフレームが欠落しています (%lld フレーム中 %lld フレーム、%.1f%%)。",
                  static_cast<long long>(offered), static_cast<long long>(dropped),
                  100.0 * static_cast<double>(dropped) / static_cast<double>(offered));
    return std::wstring(text);
}

std::wstring RecordingHealth::FormatElapsed(Clock::duration elapsed)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    wchar_t text[32];
    std::swprintf(text, std::size(text), L"%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

} // namespace VistelCapture
