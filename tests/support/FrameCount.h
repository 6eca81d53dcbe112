#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace Norvex::Testing
{

// Frames in the file's first video stream, counted by decoding it (ffprobe); -1 when it cannot.
inline long CountFrames(const std::filesystem::path& file)
{
    const std::string command = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                "stream=nb_read_frames -of csv=p=0 '" +
                                file.string() + "' 2>/dev/null";
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    char text[64] = {};
    if (!pipe || !std::fgets(text, sizeof text, pipe.get()))
    {
        return -1;
    }
    return std::strtol(text, nullptr, 10);
}

} // namespace Norvex::Testing
