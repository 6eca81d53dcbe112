#pragma once

#include "AsfDataPacket.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace VistelCapture
{

// Follows the data packets libavformat's ASF muxer writes, to tell how many frames a reader finds
// in the file were the program killed this moment: those whose last byte is in a complete packet.
// The muxer keeps small frames in its open packet until the packet fills (a still picture's P
// frames of a few bytes stay there for many frames), so after each frame the follower lays the
// same frames out as a packet of its own and writes it where the muxer's packet will go; the
// muxer's packet, of the same size, later overwrites it whole, in one write(2).
// Used on the movie writer's thread only, under its lock.
class AsfPacketFollower
{
public:
    // Bytes in each of an ASF file's data packets: libavformat's default, stated to it.
    static constexpr std::size_t PacketSize = 3200;

    // Follows a file whose data packets start at `dataStart`, read and written through `file`,
    // which the caller keeps open while following.
    void Start(int file, std::int64_t dataStart);
    void Reset() noexcept;

    // A frame about to go to the muxer, its time in the stream's milliseconds.
    void Take(std::span<const std::uint8_t> bytes, std::uint32_t time, bool key);

    // After the muxer took the frames and its output ends at `end`: the frames in the file, the
    // muxer's open packet written ahead. Once a packet is not what the muxer was given, Lost()
    // is true and what was counted before stays.
    std::int64_t FramesInFile(std::int64_t end);
    bool Lost() const noexcept { return lost; }

    // After a failed write: the frames in complete packets and those whole in the packet cut
    // short, as the file now is on disk; nothing when the file cannot be read.
    std::optional<std::int64_t> FramesAfterCut();

private:
    // Reads the packets completed up to `end`, taking the frames that end in them off `held`.
    bool ReadCompletePackets(std::int64_t end);
    // Returns how many of the held frames are in the file once the open packet is written.
    std::int64_t WriteOpenPacketAhead();
    // Of the held frames, those whose payloads in `packet` (at readEnd) lie in its first
    // `present` bytes: readers take them from a packet cut short.
    std::int64_t HeldFramesEndingIn(std::size_t present);

    struct Frame
    {
        std::vector<std::uint8_t> bytes;
        std::uint32_t time = 0;
        bool key = false;
        std::uint8_t objectNumber = 0; // the muxer's media object number
    };
    int file = -1;
    bool lost = false;
    std::deque<Frame> held;           // frames whose end is in no complete packet, oldest first
    std::uint32_t heldFrom = 0;       // bytes of the oldest already in complete packets
    std::uint8_t nextObject = 0;      // the number the muxer gives the next frame
    std::int64_t framesInPackets = 0; // frames that end in complete packets
    std::int64_t readEnd = 0;         // where the next complete packet starts
    std::vector<std::uint8_t> packet;
    std::vector<AsfDataPacket::Payload> payloads;
    std::vector<AsfDataPacket::Object> objects;
};

} // namespace VistelCapture
