#pragma once

// Moving 4:2:0 pictures for the encoder benchmarks: the benchmarks' synthetic moving picture
// (MovingPicture.h, converted by libyuv as the writer converts), and two made by outside programs
// and read from their standard output: the test camera's picture (GStreamer's videotestsrc with the
// test camera's pattern) and a natural one (a photograph, zoomed and panned slowly by the ffmpeg
// program, with sensor-like noise that changes every frame).

#include "MovingPicture.h"
#include "ProcessDriver.h"

#include <libyuv/convert.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace VistelBench
{

struct YuvPicture
{
    std::vector<std::uint8_t> planes[3];
    int stride[3] = {};
};

enum class PictureSource
{
    Moving,
    TestCamera,
    Natural
};

inline const char* Name(PictureSource source)
{
    return source == PictureSource::Moving       ? "moving"
           : source == PictureSource::TestCamera ? "test camera"
                                                 : "natural";
}

// The command line that writes `count` frames of width x height in I420 to its standard output.
inline std::string PictureCommand(PictureSource source, int width, int height, int count,
                                  const std::string& photo)
{
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (source == PictureSource::TestCamera)
    {
        return "gst-launch-1.0 -q videotestsrc pattern=smpte100 num-buffers=" + std::to_string(count) +
               " ! video/x-raw,format=I420,width=" + std::to_string(width) +
               ",height=" + std::to_string(height) + ",framerate=30/1 ! fdsink fd=1";
    }
    // Scaled up first so the zoomed crop keeps detail; zoom and pan change by a fraction of a pixel
    // each frame, as a hand-held camera drifts.
    return "ffmpeg -v error -nostdin -loop 1 -framerate 30 -i '" + photo +
           "' -vf "
           "\"scale=2880:-2:flags=bicubic,zoompan=z='1.15+0.0015*on':x='(iw-iw/zoom)*(0.5+0.45*sin(on/45))'"
           ":y='(ih-ih/zoom)*(0.5+0.45*cos(on/60))':d=1:s=" +
           size + ":fps=30,noise=alls=5:allf=t\" -frames:v " + std::to_string(count) +
           " -pix_fmt yuv420p -f rawvideo -";
}

// Reads the frames; ends the driver when the program fails or gives fewer.
inline std::vector<YuvPicture> ReadPictures(PictureSource source, int width, int height, int count,
                                            const std::string& photo)
{
    if (source == PictureSource::Moving)
    {
        std::vector<YuvPicture> pictures(static_cast<std::size_t>(count));
        for (int n = 0; n < count; ++n)
        {
            const Frame frame = MovingFrame(n, width, height);
            YuvPicture& picture = pictures[static_cast<std::size_t>(n)];
            picture.stride[0] = width;
            picture.stride[1] = picture.stride[2] = (width + 1) / 2;
            picture.planes[0].resize(std::size_t(width) * height);
            picture.planes[1].resize(std::size_t(picture.stride[1]) * ((height + 1) / 2));
            picture.planes[2].resize(picture.planes[1].size());
            libyuv::ARGBToI420(reinterpret_cast<const std::uint8_t*>(frame.data), frame.stride,
                               picture.planes[0].data(), picture.stride[0], picture.planes[1].data(),
                               picture.stride[1], picture.planes[2].data(), picture.stride[2], width, height);
        }
        return pictures;
    }
    const std::string command = PictureCommand(source, width, height, count, photo);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
    {
        Fail("cannot run " + command);
    }
    std::vector<YuvPicture> pictures;
    for (int n = 0; n < count; ++n)
    {
        YuvPicture picture;
        picture.stride[0] = width;
        picture.stride[1] = picture.stride[2] = (width + 1) / 2;
        const std::size_t sizes[3] = {std::size_t(width) * height,
                                      std::size_t((width + 1) / 2) * ((height + 1) / 2),
                                      std::size_t((width + 1) / 2) * ((height + 1) / 2)};
        bool complete = true;
        for (int plane = 0; plane < 3; ++plane)
        {
            picture.planes[plane].resize(sizes[plane]);
            complete =
                complete && std::fread(picture.planes[plane].data(), 1, sizes[plane], pipe) == sizes[plane];
        }
        if (!complete)
        {
            break;
        }
        pictures.push_back(std::move(picture));
    }
    const int status = ::pclose(pipe);
    if (static_cast<int>(pictures.size()) < count || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        Fail("the picture program gave " + std::to_string(pictures.size()) + " of " + std::to_string(count) +
             " frames: " + command);
    }
    return pictures;
}

} // namespace VistelBench
