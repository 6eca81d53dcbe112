#pragma once

#include <cstdint>
#include <span>

// The data packets of an ASF file, read back to learn what a reader finds in a file cut short.
namespace VistelCapture::AsfDataPacket
{

// How many media objects (frames) end in this data packet: those a payload completes. -1 when the
// bytes are no data packet this reader understands (compressed payloads, a packet cut short).
int CompletedObjects(std::span<const std::uint8_t> packet);

} // namespace VistelCapture::AsfDataPacket
