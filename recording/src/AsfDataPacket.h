#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The data packets of an ASF file: read back to learn what a reader finds in a file cut short, and
// made for the frames the muxer still holds in its open packet, so that a kill does not lose them.
namespace VistelCapture::AsfDataPacket
{

// One payload: the part [offset, offset + length) of media object `objectNumber` (a frame) of
// `objectSize` bytes, whose last byte lies before `end` in the packet.
struct Payload
{
    std::uint8_t objectNumber = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t objectSize = 0;
    std::uint32_t end = 0;
};

// The payloads of this data packet, in order. False when the bytes are no data packet this reader
// understands (compressed payloads, a packet cut short); `payloads` then holds those before.
bool Read(std::span<const std::uint8_t> packet, std::vector<Payload>& payloads);

// What is left of a frame: its bytes from `from` on go into the packet.
struct Object
{
    std::span<const std::uint8_t> bytes; // the whole frame
    std::uint32_t from = 0;
    std::uint8_t objectNumber = 0;
    std::uint32_t time = 0; // the stream's time in milliseconds
    bool key = false;
};

// Fills `packet` (of the file's packet size) with the rest of each object, laid out as
// libavformat's muxer lays out its own (several payloads, zero padding at the end), for stream 1.
// False when they do not fit in one packet, or there are more than 63.
bool Make(std::span<const Object> objects, std::span<std::uint8_t> packet);

} // namespace VistelCapture::AsfDataPacket
