#include "AsfDataPacket.h"

#include <cstddef>

namespace VistelCapture::AsfDataPacket
{

int CompletedObjects(std::span<const std::uint8_t> packet)
{
    std::size_t at = 0;
    bool fits = true;
    // A field whose size a two-bit length type gives: none, a byte, a word or a double word.
    const auto read = [&](unsigned lengthType) -> std::uint32_t
    {
        const std::size_t size = lengthType == 3 ? 4 : lengthType;
        if (at + size > packet.size())
        {
            fits = false;
            return 0;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
        {
            value |= std::uint32_t(packet[at + i]) << (8 * i);
        }
        at += size;
        return value;
    };
    const std::uint8_t errorCorrection = static_cast<std::uint8_t>(read(1));
    if (errorCorrection & 0x80)
    {
        at += errorCorrection & 0x0F;
    }
    const std::uint32_t lengthTypes = read(1);
    const std::uint32_t properties = read(1);
    const bool multiple = lengthTypes & 1;
    std::uint32_t packetLength = read((lengthTypes >> 5) & 3);
    if (packetLength == 0 || packetLength > packet.size())
    {
        packetLength = static_cast<std::uint32_t>(packet.size());
    }
    read((lengthTypes >> 1) & 3); // sequence
    const std::uint32_t padding = read((lengthTypes >> 3) & 3);
    at += 6; // send time and duration
    std::uint32_t payloads = 1;
    std::uint32_t payloadLengthType = 0;
    if (multiple)
    {
        const std::uint32_t payloadFlags = read(1);
        payloads = payloadFlags & 0x3F;
        payloadLengthType = payloadFlags >> 6;
    }
    int completed = 0;
    for (std::uint32_t payload = 0; payload < payloads && fits; ++payload)
    {
        read(1);                     // stream number
        read((properties >> 4) & 3); // media object number
        const std::uint32_t offset = read((properties >> 2) & 3);
        const std::uint32_t replicated = read(properties & 3);
        // Replicated data starts with the object's size; one byte means a compressed payload.
        if (replicated < 8 || at + replicated > packet.size())
        {
            return -1;
        }
        const std::uint32_t objectSize = read(3);
        at += replicated - 4;
        std::uint32_t length = 0;
        if (multiple)
        {
            length = read(payloadLengthType);
        }
        else if (at + padding <= packetLength)
        {
            length = static_cast<std::uint32_t>(packetLength - padding - at);
        }
        if (!fits || at + length > packet.size())
        {
            return -1;
        }
        at += length;
        if (std::uint64_t(offset) + length == objectSize)
        {
            ++completed;
        }
    }
    return fits ? completed : -1;
}

} // namespace VistelCapture::AsfDataPacket
