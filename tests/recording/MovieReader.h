#pragma once

#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <csignal>

#include <sys/resource.h>

namespace Norvex::Testing
{

using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

// A full disk as the writing process sees it: writes past the limit come up short, then fail
// (EFBIG where a disk gives ENOSPC). Restores the limit when it goes, whatever the test did.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(std::uint64_t bytes)
    {
        if (::getrlimit(RLIMIT_FSIZE, &saved) != 0)
        {
            throw std::runtime_error("getrlimit failed");
        }
        previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &limited) != 0)
        {
            throw std::runtime_error("setrlimit failed");
        }
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }

private:
    rlimit saved{};
    void (*previous)(int) = nullptr;
};

// Runs a shell command and returns what it printed on standard output.
inline std::string RunCommand(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
    if (!pipe)
    {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string output;
    char buffer[65536];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
    {
        output.append(buffer, read);
    }
    return output;
}

inline std::string Quote(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

// One value of the video stream as ffprobe reports it, e.g. "codec_name" or "nb_read_frames".
inline std::string ProbeStream(const std::filesystem::path& file, const std::string& entry,
                               bool countFrames = false)
{
    std::string value = RunCommand(
        "ffprobe -v error -select_streams v:0 " + std::string(countFrames ? "-count_frames " : "") +
        "-show_entries stream=" + entry + " -of default=nokey=1:noprint_wrappers=1 " + Quote(file));
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
    {
        value.pop_back();
    }
    return value;
}

// Presentation times of the stored samples in seconds, as ffprobe prints them.
inline std::vector<std::string> ProbeSampleTimes(const std::filesystem::path& file)
{
    const std::string text = RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time "
                                        "-of csv=p=0 " +
                                        Quote(file));
    std::vector<std::string> times;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    {
        times.push_back(text.substr(start, end - start));
    }
    return times;
}

// Every frame that ffmpeg decodes from the file, as BGRA pictures of the given size.
inline std::vector<Frame> DecodeFrames(const std::filesystem::path& file, std::int32_t width,
                                       std::int32_t height)
{
    const std::string bytes =
        RunCommand("ffmpeg -v error -i " + Quote(file) + " -f rawvideo -pix_fmt bgra -vsync passthrough -");
    const std::size_t frameBytes = std::size_t(width) * std::size_t(height) * 4;
    std::vector<Frame> frames;
    for (std::size_t offset = 0; offset + frameBytes <= bytes.size(); offset += frameBytes)
    {
        Frame frame(width, height);
        std::memcpy(frame.data, bytes.data() + offset, frameBytes);
        frames.push_back(std::move(frame));
    }
    return frames;
}

// A picture that changes with n in every channel, with detail an encoder has to work for.
inline Frame MakePattern(std::int32_t width, std::int32_t height, int n)
{
    Frame frame(width, height);
    for (std::int32_t y = 0; y < height; ++y)
    {
        for (std::int32_t x = 0; x < width; ++x)
        {
            auto& pixel = frame.At(x, y);
            pixel.blue = static_cast<unsigned char>(x * 255 / std::max(1, width - 1));
            pixel.green = static_cast<unsigned char>(y * 255 / std::max(1, height - 1));
            pixel.red = static_cast<unsigned char>(((x + 2 * n) / 16 + (y + 2 * n) / 16) % 2 ? 200 : 40);
            pixel.alpha = static_cast<unsigned char>(n);
        }
    }
    return frame;
}

// Peak signal-to-noise ratio of the colour channels in dB.
inline double Psnr(const Frame& expected, const Frame& actual)
{
    double sum = 0;
    for (std::int32_t y = 0; y < expected.height; ++y)
    {
        for (std::int32_t x = 0; x < expected.width; ++x)
        {
            const auto& a = expected.At(x, y);
            const auto& b = actual.At(x, y);
            const double db = a.blue - b.blue, dg = a.green - b.green, dr = a.red - b.red;
            sum += db * db + dg * dg + dr * dr;
        }
    }
    const double mse = sum / (3.0 * expected.width * expected.height);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace Norvex::Testing
