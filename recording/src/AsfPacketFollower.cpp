#include "AsfPacketFollower.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace VistelCapture
{

void AsfPacketFollower::Start(int newFile, std::int64_t dataStart)
{
    Reset();
    file = newFile;
    lost = file < 0;
    readEnd = dataStart;
    packet.resize(PacketSize);
    // libavformat numbers the first frame 1; the first packet read back corrects this if not.
    nextObject = 1;
}

void AsfPacketFollower::Reset() noexcept
{
    file = -1;
    lost = false;
    held.clear();
    heldFrom = 0;
    nextObject = 0;
    framesInPackets = 0;
    readEnd = 0;
    packet.clear();
    payloads.clear();
    objects.clear();
}

void AsfPacketFollower::Take(std::span<const std::uint8_t> bytes, std::uint32_t time, bool key)
{
    if (!lost)
    {
        held.push_back({std::vector<std::uint8_t>(bytes.begin(), bytes.end()), time, key, nextObject++});
    }
}

std::int64_t AsfPacketFollower::FramesInFile(std::int64_t end)
{
    const std::int64_t ahead = ReadCompletePackets(end) ? WriteOpenPacketAhead() : 0;
    return framesInPackets + ahead;
}

bool AsfPacketFollower::ReadCompletePackets(std::int64_t end)
{
    // The muxer writes whole data packets; a frame is there once the packet with its last
    // payload is.
    while (!lost && readEnd + static_cast<std::int64_t>(PacketSize) <= end)
    {
        const ssize_t read = ::pread(file, packet.data(), packet.size(), readEnd);
        if (read != static_cast<ssize_t>(packet.size()) || !AsfDataPacket::Read(packet, payloads))
        {
            lost = true;
            break;
        }
        for (const AsfDataPacket::Payload& payload : payloads)
        {
            if (held.empty() || payload.objectSize != held.front().bytes.size() || payload.offset != heldFrom)
            {
                lost = true;
                return false;
            }
            // Should the muxer number from elsewhere, the frames it holds follow its numbers.
            const auto shift = static_cast<std::uint8_t>(payload.objectNumber - held.front().objectNumber);
            for (Frame& frame : held)
            {
                frame.objectNumber = static_cast<std::uint8_t>(frame.objectNumber + shift);
            }
            nextObject = static_cast<std::uint8_t>(nextObject + shift);
            heldFrom = payload.offset + payload.length;
            if (heldFrom == payload.objectSize)
            {
                held.pop_front();
                heldFrom = 0;
                ++framesInPackets;
            }
        }
        readEnd += PacketSize;
    }
    return !lost;
}

std::int64_t AsfPacketFollower::WriteOpenPacketAhead()
{
    // Every complete packet has been read, so the muxer's next one starts at readEnd and holds
    // the rest of the held frames; with none held, its open packet is empty.
    if (held.empty())
    {
        return 0;
    }
    objects.clear();
    for (const Frame& frame : held)
    {
        objects.push_back(
            {frame.bytes, objects.empty() ? heldFrom : 0u, frame.objectNumber, frame.time, frame.key});
    }
    if (!AsfDataPacket::Make(objects, packet))
    {
        return 0;
    }
    const ssize_t written = ::pwrite(file, packet.data(), packet.size(), readEnd);
    if (written == static_cast<ssize_t>(packet.size()))
    {
        return static_cast<std::int64_t>(held.size());
    }
    // A disk that filled up partway: readers still take the payloads that are there whole.
    return written > 0 ? HeldFramesEndingIn(static_cast<std::size_t>(written)) : 0;
}

std::int64_t AsfPacketFollower::HeldFramesEndingIn(std::size_t present)
{
    AsfDataPacket::Read(packet, payloads);
    std::int64_t completed = 0;
    std::size_t next = 0;
    std::uint32_t from = heldFrom;
    for (const AsfDataPacket::Payload& payload : payloads)
    {
        if (payload.end > present || next == held.size() || payload.objectSize != held[next].bytes.size() ||
            payload.offset != from)
        {
            break;
        }
        from = payload.offset + payload.length;
        if (from == payload.objectSize)
        {
            ++completed;
            ++next;
            from = 0;
        }
    }
    return completed;
}

std::optional<std::int64_t> AsfPacketFollower::FramesAfterCut()
{
    struct stat status = {};
    if (lost || ::fstat(file, &status) != 0 || !ReadCompletePackets(status.st_size))
    {
        return std::nullopt;
    }
    const std::int64_t present = status.st_size - readEnd;
    std::int64_t cut = 0;
    if (present > 0 && present < static_cast<std::int64_t>(PacketSize))
    {
        std::fill(packet.begin(), packet.end(), std::uint8_t(0));
        if (::pread(file, packet.data(), static_cast<std::size_t>(present), readEnd) == present)
        {
            cut = HeldFramesEndingIn(static_cast<std::size_t>(present));
        }
    }
    return framesInPackets + cut;
}

} // namespace VistelCapture
