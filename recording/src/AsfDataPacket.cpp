#include "AsfDataPacket.h"

#include <algorithm>
#include <cstddef>

namespace VistelCapture::AsfDataPacket
{
namespace
{

// The muxer's choices: error correction data of two bytes; in each payload the stream and media
// object numbers are bytes, the offset a double word, the replicated data's length a byte and the
// payload's length a word; replicated data holds the object's size and presentation time.
constexpr std::uint8_t ErrorCorrectionFlags = 0x82;
constexpr std::uint8_t MultiplePayloads = 0x01;
constexpr std::uint8_t PaddingIsByte = 0x08;
constexpr std::uint8_t PaddingIsWord = 0x10;
constexpr std::uint8_t PropertyFlags = 0x5D;
constexpr std::uint8_t PayloadLengthIsWord = 0x80;
constexpr std::uint8_t KeyFrame = 0x80;
constexpr std::size_t PayloadHeaderSize = 1 + 1 + 4 + 1 + 8 + 2;
// Error correction (3), the two flag bytes, send time, duration and the payload flags.
constexpr std::size_t PacketHeaderSize = 3 + 2 + 4 + 2 + 1;
constexpr std::size_t MostPayloads = 63;
// The muxer's preroll, added to every presentation time.
constexpr std::uint32_t PrerollMilliseconds = 3100;

} // namespace

bool Read(std::span<const std::uint8_t> packet, std::vector<Payload>& payloads)
{
    payloads.clear();
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
    std::uint32_t count = 1;
    std::uint32_t payloadLengthType = 0;
    if (multiple)
    {
        const std::uint32_t payloadFlags = read(1);
        count = payloadFlags & 0x3F;
        payloadLengthType = payloadFlags >> 6;
    }
    for (std::uint32_t n = 0; n < count && fits; ++n)
    {
        Payload payload;
        read(1); // stream number
        payload.objectNumber = static_cast<std::uint8_t>(read((properties >> 4) & 3));
        payload.offset = read((properties >> 2) & 3);
        const std::uint32_t replicated = read(properties & 3);
        // Replicated data starts with the object's size; one byte means a compressed payload.
        if (replicated < 8 || at + replicated > packet.size())
        {
            return false;
        }
        payload.objectSize = read(3);
        at += replicated - 4;
        if (multiple)
        {
            payload.length = read(payloadLengthType);
        }
        else if (at + padding <= packetLength)
        {
            payload.length = static_cast<std::uint32_t>(packetLength - padding - at);
        }
        if (!fits || at + payload.length > packet.size() ||
            std::uint64_t(payload.offset) + payload.length > payload.objectSize)
        {
            return false;
        }
        at += payload.length;
        payload.end = static_cast<std::uint32_t>(at);
        payloads.push_back(payload);
    }
    return fits;
}

bool Make(std::span<const Object> objects, std::span<std::uint8_t> packet)
{
    std::size_t used = PacketHeaderSize;
    for (const Object& object : objects)
    {
        if (object.from > object.bytes.size() || object.bytes.size() - object.from > 0xFFFF)
        {
            return false;
        }
        used += PayloadHeaderSize + (object.bytes.size() - object.from);
    }
    if (objects.empty() || objects.size() > MostPayloads || used > packet.size())
    {
        return false;
    }
    // The padding's length takes a byte, or a word from 256 on; no field when there is none.
    const std::size_t rest = packet.size() - used;
    const std::uint8_t paddingType = rest == 0 ? 0 : rest <= 256 ? PaddingIsByte : PaddingIsWord;
    const std::size_t padding = rest == 0 ? 0 : rest <= 256 ? rest - 1 : rest - 2;

    std::size_t at = 0;
    const auto put = [&](std::uint32_t value, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i)
        {
            packet[at++] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(ErrorCorrectionFlags, 1);
    put(0, 2);
    put(MultiplePayloads | paddingType, 1);
    put(PropertyFlags, 1);
    put(static_cast<std::uint32_t>(padding), paddingType == PaddingIsWord ? 2 : paddingType ? 1 : 0);
    put(objects.front().time, 4); // send time
    // The duration's word holds 65 s; frames further apart (a time-lapse) say as much.
    put(std::min<std::uint32_t>(objects.back().time - objects.front().time, 0xFFFF), 2);
    put(static_cast<std::uint32_t>(objects.size()) | PayloadLengthIsWord, 1);
    for (const Object& object : objects)
    {
        const auto length = static_cast<std::uint32_t>(object.bytes.size() - object.from);
        put(1u | (object.key ? KeyFrame : 0u), 1);
        put(object.objectNumber, 1);
        put(object.from, 4);
        put(8, 1);
        put(static_cast<std::uint32_t>(object.bytes.size()), 4);
        put(object.time + PrerollMilliseconds, 4);
        put(length, 2);
        std::copy_n(object.bytes.begin() + object.from, length,
                    packet.begin() + static_cast<std::ptrdiff_t>(at));
        at += length;
    }
    std::fill(packet.begin() + static_cast<std::ptrdiff_t>(at), packet.end(), std::uint8_t(0));
    return true;
}

} // namespace VistelCapture::AsfDataPacket
