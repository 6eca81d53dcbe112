#pragma once

#include <cstdint>
#include <vector>

namespace Norvex::Core::VideoCapture
{

// The camera's own compressed data that came with one decoded frame, for a recording that keeps
// it as it is: every unit the camera sent since the previous frame went out, a JPEG picture or an
// H.264 access unit (Annex B, start codes included). Mostly one; more where a decoder holds
// pictures back, a stream's first units carry no picture, or the preview skipped a frame.
struct EncodedPayload
{
    struct Packet
    {
        std::vector<unsigned char> bytes;
        // When the camera took it, in nanoseconds of a monotonic clock (the driver's buffer time,
        // or the pipeline's); only differences mean anything.
        std::int64_t time = 0;
    };

    // "MJPG" or "H264" as VideoSubtype's MakeFourcc makes them; 0 while no payload is kept.
    std::uint32_t fourcc = 0;
    std::vector<Packet> packets;
};

} // namespace Norvex::Core::VideoCapture
