#pragma once

#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Norvex::Core::VideoCapture
{
class Device;
}

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

    // A frame taken for a later SaveNew, in the form its encoder reads: JPEG's full-range 4:2:0
    // planes (the conversion it needs anyway takes the place of a copy of the frame), or the
    // frame's rows for the other formats. Its buffer is reused from frame to frame.
    struct Taken
    {
        Format format = Bmp;
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::vector<unsigned char> bytes;
    };
    // Never raises for the picture: an empty one makes SaveNew raise, as the image's SaveNew does.
    // Inside `camera`'s frame callback, with `image` its frame, JPEG's planes come from the
    // camera's own Y'CbCr where it has them (Device::WriteJpegPlanes), else from the image.
    static void Take(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& image, Format format,
                     Taken& taken, Norvex::Core::VideoCapture::Device* camera = nullptr);
    static std::wstring SaveNew(const Taken& taken, const std::wstring& path);
};

} // namespace VistelCapture
