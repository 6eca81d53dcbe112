// CPU time of recording a 1080p MJPEG camera, the three ways a user can, interleaved, three runs:
// - kept as it is: the camera's JPEG pictures into an MJPG AVI through the video writer, with the
//   one copy of each picture the back-end makes when a recording asks for it;
// - today's way for such a camera: its pictures (decoded for the preview in any case, so decoded
//   here before the clock starts) encoded to H.264 MP4 through the same writer;
// - the reference: the ffmpeg program copying the same JPEG pictures from a file into an AVI
//   (`ffmpeg -f mjpeg -i frames.mjpeg -c copy out.avi`), as a user's own script would.
// Prints the CPU seconds of each side and the ratios against the reference. Files go to $TMPDIR
// and are deleted.

#include "GrainyPicture.h"
#include "ProcessDriver.h"

#include <VideoWriter.h>

#include <turbojpeg.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;
using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

constexpr int frameCount = 300;
constexpr int distinctPictures = 30;
constexpr double frameRate = 30;

double OwnCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// The grainy picture moved on by 16 pixels a frame, as JPEG at the quality UVC cameras use.
std::vector<Bytes> CameraPictures()
{
    const auto& picture = VistelBench::GrainyPicture();
    const int width = VistelBench::PictureWidth, height = VistelBench::PictureHeight;
    tjhandle compressor = tjInitCompress();
    std::vector<Bytes> pictures;
    Bytes moved(picture.size());
    for (int i = 0; i < distinctPictures; ++i)
    {
        const std::size_t shift = static_cast<std::size_t>(i * 16 % width) * 4;
        for (int y = 0; y < height; ++y)
        {
            const unsigned char* row = picture.data() + std::size_t(y) * width * 4;
            unsigned char* target = moved.data() + std::size_t(y) * width * 4;
            std::copy(row + shift, row + std::size_t(width) * 4, target);
            std::copy(row, row + shift, target + std::size_t(width) * 4 - shift);
        }
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(compressor, moved.data(), width, 0, height, TJPF_BGRA, &jpeg, &size, TJSAMP_422, 85,
                        0) != 0)
        {
            VistelBench::Fail("cannot encode the camera's pictures");
        }
        pictures.emplace_back(jpeg, jpeg + size);
        tjFree(jpeg);
    }
    tjDestroy(compressor);
    return pictures;
}

std::vector<Frame> Decoded(const std::vector<Bytes>& pictures)
{
    tjhandle decompressor = tjInitDecompress();
    std::vector<Frame> frames;
    for (const auto& jpeg : pictures)
    {
        Frame frame(VistelBench::PictureWidth, VistelBench::PictureHeight);
        tjDecompress2(decompressor, jpeg.data(), jpeg.size(), reinterpret_cast<unsigned char*>(frame.data),
                      frame.width, frame.stride, frame.height, TJPF_BGRA, 0);
        frames.push_back(std::move(frame));
    }
    tjDestroy(decompressor);
    return frames;
}

double RecordKept(const std::vector<Bytes>& pictures, const std::filesystem::path& file)
{
    const double start = OwnCpuSeconds();
    VistelCapture::VideoWriter writer;
    writer.Open(VistelCapture::VideoWriter::MjpegCopy, file.wstring(), VistelBench::PictureWidth,
                VistelBench::PictureHeight, frameRate, 0);
    Bytes handed;
    for (int i = 0; i < frameCount; ++i)
    {
        // The back-end's copy of the camera's buffer.
        const auto& picture = pictures[std::size_t(i) % pictures.size()];
        handed.assign(picture.begin(), picture.end());
        writer.AddPacket(handed.data(), handed.size(), std::int64_t(i) * 33333333);
    }
    writer.Close();
    return OwnCpuSeconds() - start;
}

double RecordEncoded(const std::vector<Frame>& frames, const std::filesystem::path& file)
{
    const double start = OwnCpuSeconds();
    VistelCapture::VideoWriter writer;
    writer.Open(VistelCapture::VideoWriter::H264, file.wstring(), VistelBench::PictureWidth,
                VistelBench::PictureHeight, frameRate, 8000000,
                VistelCapture::VideoWriter::Timing::FrameRate);
    for (int i = 0; i < frameCount; ++i)
    {
        writer.AddFrame(frames[std::size_t(i) % frames.size()]);
    }
    writer.Close();
    return OwnCpuSeconds() - start;
}

double CopyWithFfmpeg(const std::filesystem::path& input, const std::filesystem::path& file,
                      const std::filesystem::path& log)
{
    const auto usage =
        VistelBench::Wait(VistelBench::Spawn({"ffmpeg", "-v", "error", "-y", "-f", "mjpeg", "-framerate",
                                              "30", "-i", input.string(), "-c", "copy", file.string()},
                                             log));
    if (!usage.ok)
    {
        VistelBench::Fail("ffmpeg failed; see " + log.string());
    }
    return usage.cpuSeconds;
}

} // namespace

int main()
{
    const char* temporary = std::getenv("TMPDIR");
    const std::filesystem::path folder = std::filesystem::path(temporary ? temporary : "/tmp") /
                                         ("camera-stream-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto pictures = CameraPictures();
    const auto frames = Decoded(pictures);
    const auto input = folder / "frames.mjpeg";
    {
        std::ofstream out(input, std::ios::binary);
        for (int i = 0; i < frameCount; ++i)
        {
            const auto& picture = pictures[std::size_t(i) % pictures.size()];
            out.write(reinterpret_cast<const char*>(picture.data()),
                      static_cast<std::streamsize>(picture.size()));
        }
    }
    std::printf("%d frames of 1920x1080 MJPEG (%zu KB a picture on average), CPU seconds:\n", frameCount,
                [&]
                {
                    std::size_t total = 0;
                    for (const auto& picture : pictures)
                        total += picture.size();
                    return total / pictures.size() / 1024;
                }());
    std::printf("run  kept(MJPG AVI)  ffmpeg -c copy  H.264 today  kept/ffmpeg  kept/H.264\n");
    for (int run = 1; run <= 3; ++run)
    {
        const auto out = folder / "out.avi";
        const double kept = RecordKept(pictures, out);
        std::filesystem::remove(out);
        const double reference = CopyWithFfmpeg(input, out, folder / "ffmpeg.log");
        std::filesystem::remove(out);
        const double encoded = RecordEncoded(frames, folder / "out.mp4");
        std::filesystem::remove(folder / "out.mp4");
        std::printf("%3d  %14.3f  %14.3f  %11.3f  %11.2f  %10.3f\n", run, kept, reference, encoded,
                    kept / reference, kept / encoded);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
