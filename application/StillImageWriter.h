#pragma once

#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <cstdint>
#include <string>

namespace VistelCapture
{

// Encodes one frame as BMP (32-bit rows), JPEG (quality 90, 4:2:0), PNG or TIFF (24-bit rows).
// The file appears complete or not at all: the picture is encoded into a temporary file beside
// the target and then moved into place.
class StillImageWriter
{
public:
    enum Format : std::int32_t
    {
        Bmp = 0,
        Jpeg = 1,
        Png = 2,
        Tiff = 3,
    };

    // Replaces an existing file at path.
    static void Save(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& image, Format format,
                     const std::wstring& path);
    // Never replaces a file: when path exists, "_2", "_3", ... is put before the extension.
    // Returns the path written.
    static std::wstring SaveNew(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& image,
                                Format format, const std::wstring& path);
};

} // namespace VistelCapture
