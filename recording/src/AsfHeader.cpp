#include "AsfHeader.h"

#include <Norvex/Core/FileDescriptor.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace VistelCapture::AsfHeader
{
namespace
{

using Guid = std::array<std::uint8_t, 16>;

// GUIDs as they lie in the file (the first three fields little-endian).
constexpr Guid HeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid HeaderExtension = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid ExtendedStreamProperties = {0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43,
                                           0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};

std::uint64_t ReadLittle(const std::uint8_t* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
    {
        value = value << 8 | bytes[i];
    }
    return value;
}

// The first object with `guid` among the objects in [begin, end), or 0.
std::size_t FindObject(const std::vector<std::uint8_t>& header, std::size_t begin, std::size_t end,
                       const Guid& guid)
{
    for (std::size_t at = begin; at + 24 <= end;)
    {
        const std::uint64_t size = ReadLittle(&header[at + 16], 8);
        if (size < 24 || size > end - at)
        {
            return 0;
        }
        if (std::memcmp(&header[at], guid.data(), guid.size()) == 0)
        {
            return at;
        }
        at += size;
    }
    return 0;
}

} // namespace

bool StateFrameRate(const std::string& path, double frameRate)
{
    if (!(frameRate > 0) || !std::isfinite(frameRate))
    {
        return false;
    }
    const Norvex::Core::FileDescriptor file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (file.Get() < 0)
    {
        return false;
    }
    std::vector<std::uint8_t> header(64 * 1024);
    const ssize_t read = ::pread(file.Get(), header.data(), header.size(), 0);
    if (read < 30 || std::memcmp(header.data(), HeaderObject.data(), HeaderObject.size()) != 0)
    {
        return false;
    }
    header.resize(static_cast<std::size_t>(read));
    const std::size_t headerEnd = std::min<std::size_t>(header.size(), ReadLittle(&header[16], 8));
    const std::size_t extension = FindObject(header, 30, headerEnd, HeaderExtension);
    if (extension == 0)
    {
        return false;
    }
    // The extension's own objects follow its reserved GUID, reserved word and data size.
    const std::size_t extensionEnd = extension + ReadLittle(&header[extension + 16], 8);
    const std::size_t properties = FindObject(header, extension + 46, extensionEnd, ExtendedStreamProperties);
    if (properties == 0)
    {
        return false;
    }
    // After the object's GUID and size: start and end time, eight 32-bit rates, buffer sizes and
    // flags, the stream number and language index.
    const std::size_t field = properties + 24 + 16 + 32 + 4;
    if (ReadLittle(&header[properties + 16], 8) < field + 8 - properties)
    {
        return false;
    }
    const std::uint64_t timePerFrame = static_cast<std::uint64_t>(std::llround(1e7 / frameRate));
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(timePerFrame >> (8 * i));
    }
    return ::pwrite(file.Get(), bytes, sizeof bytes, static_cast<off_t>(field)) == ssize_t(sizeof bytes);
}

} // namespace VistelCapture::AsfHeader
