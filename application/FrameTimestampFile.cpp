#include "FrameTimestampFile.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/TemporaryFile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>

using Norvex::Core::CriticalSection;
using Norvex::Core::VideoCapture::FrameInfo;

namespace VistelCapture
{
namespace
{

// 2026-12-08T14:12:01.123456+09:00: local time with its offset, as a spreadsheet or a script reads it.
std::string WallClockText(std::chrono::system_clock::time_point time)
{
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000 - (micros % 1000000 < 0 ? 1 : 0));
    const long fraction = static_cast<long>(micros - static_cast<long long>(seconds) * 1000000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local); // +0900
    char text[64];
    std::snprintf(text, sizeof text, "%s.%06ld%.3s:%s", date, fraction, zone, zone + 3);
    return text;
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
    {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text)
    {
        quoted += c;
        if (c == '"')
        {
            quoted += '"';
        }
    }
    return quoted + '"';
}

} // namespace

FrameTimestampFile::FrameTimestampFile(const std::wstring& path, bool namesFiles)
    : path(path), namesFiles(namesFiles)
{
    // Only a regular file is replaced, as with the movie: a FIFO would block the open for ever.
    const std::string name = Norvex::Core::ToUtf8(path);
    std::string target;
    const int resolved = Norvex::Core::TemporaryFile::ResolveTarget(name, target);
    if (resolved == Norvex::Core::TemporaryFile::notRegularFile)
    {
        Norvex::Core::ThrowNotRegularFile(name, "AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    file.Reset(::open(resolved == 0 ? target.c_str() : name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                      0666));
    if (!file.IsOpen())
    {
        Norvex::Core::ThrowErrno(errno, "AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    Write(std::string("index,capture_time_s,time_source,wall_clock,sequence,dropped_before") +
          (namesFiles ? ",file\n" : "\n"));
}

std::wstring FrameTimestampFile::PathForMovie(const std::wstring& moviePath)
{
    return moviePath + L".frames.csv";
}

std::wstring FrameTimestampFile::PathForFolder(const std::wstring& folder)
{
    return folder + L"frames.csv";
}

void FrameTimestampFile::Append(const FrameInfo& info, std::int64_t droppedBefore,
                                const std::wstring& fileName)
{
    const double captureSeconds = std::chrono::duration<double>(info.captureTime.time_since_epoch()).count();
    char numbers[128];
    CriticalSection::AutoLock lock(section);
    std::snprintf(numbers, sizeof numbers, "%lld,%.6f,%s,", static_cast<long long>(lines), captureSeconds,
                  info.fromDriver ? "driver" : "arrival");
    std::string line = numbers;
    line += WallClockText(info.wallClock) + ',';
    if (info.sequence)
    {
        line += std::to_string(*info.sequence);
    }
    line += ',' + std::to_string(droppedBefore);
    if (namesFiles)
    {
        line += ',' + CsvField(Norvex::Core::ToUtf8(fileName));
    }
    line += '\n';
    Write(line);
    ++lines;
}

void FrameTimestampFile::Write(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size())
    {
        const ssize_t written = ::write(file.Get(), text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written <= 0)
        {
            Norvex::Core::ThrowErrno(written < 0 ? errno : ENOSPC, "AddFrame", NORVEX_SOURCE_FILE, __LINE__);
        }
        done += static_cast<std::size_t>(written);
    }
}

void FrameTimestampFile::Close()
{
    CriticalSection::AutoLock lock(section);
    if (const int error = file.Close())
    {
        Norvex::Core::ThrowErrno(error, "StopRecording", NORVEX_SOURCE_FILE, __LINE__);
    }
}

} // namespace VistelCapture
