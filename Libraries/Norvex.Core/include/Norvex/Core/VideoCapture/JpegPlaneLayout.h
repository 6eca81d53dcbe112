#pragma once

#include <cstddef>
#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// Where JPEG's planes lie in one buffer: full-range BT.601 Y'CbCr, luma at the picture's size,
// then Cb and Cr at half its width and height (rounded up), each plane's rows packed; what a
// JFIF reader decodes and what TurboJPEG compresses without a colour conversion of its own.
struct JpegPlaneLayout
{
    int width;
    int chromaWidth;
    std::size_t lumaBytes;
    std::size_t chromaBytes;

    JpegPlaneLayout(int width, int height) noexcept
        : width(width), chromaWidth((width + 1) / 2),
          lumaBytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)),
          chromaBytes(static_cast<std::size_t>(chromaWidth) * static_cast<std::size_t>((height + 1) / 2))
    {
    }
    std::size_t Size() const noexcept { return lumaBytes + 2 * chromaBytes; }
    // The planes' starts in a buffer of Size() bytes, and their row lengths.
    template <class Byte> void Planes(Byte* buffer, Byte* planes[3]) const noexcept
    {
        planes[0] = buffer;
        planes[1] = buffer + lumaBytes;
        planes[2] = buffer + lumaBytes + chromaBytes;
    }
    void Strides(int strides[3]) const noexcept
    {
        strides[0] = width;
        strides[1] = strides[2] = chromaWidth;
    }
};

} // namespace Norvex::Core::VideoCapture
