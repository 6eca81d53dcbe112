#pragma once

#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/VideoCapture/FrameInfo.h>

#include <cstdint>
#include <string>

namespace VistelCapture
{

// The time-stamp file of a recording: one CSV line per frame written, with the frame's index in
// the recording, its capture time (monotonic seconds) and where that came from, its wall-clock
// time, the camera's sequence number and the frames dropped before it; a still recording's lines
// also name the frame's file. Each line goes to the file (write(2)) as it is appended, so a killed
// recording keeps every line up to the kill.
//
// Threads: Append from whichever thread writes frames, serialised by the file's own leaf lock.
class FrameTimestampFile
{
public:
    // Creates or replaces the file (a regular one only) and writes the header line; raises with
    // the system's reason.
    FrameTimestampFile(const std::wstring& path, bool namesFiles);
    FrameTimestampFile(const FrameTimestampFile&) = delete;
    FrameTimestampFile& operator=(const FrameTimestampFile&) = delete;

    // `<movie>.frames.csv` beside a movie; `frames.csv` in a still recording's folder (ending in '/').
    static std::wstring PathForMovie(const std::wstring& moviePath);
    static std::wstring PathForFolder(const std::wstring& folder);

    // The next frame's line; its index is the count of lines before it. Raises when the write
    // fails (a full disk), with the system's reason.
    void Append(const Norvex::Core::VideoCapture::FrameInfo& info, std::int64_t droppedBefore,
                const std::wstring& fileName = {});
    // Closes the file; raises when closing reports a failed write.
    void Close();
    const std::wstring& GetPath() const noexcept { return path; }

private:
    void Write(const std::string& text);

    const std::wstring path;
    const bool namesFiles;
    Norvex::Core::CriticalSection section; // leaf lock
    Norvex::Core::FileDescriptor file;     // guarded by section
    std::int64_t lines = 0;                // guarded by section
};

} // namespace VistelCapture
