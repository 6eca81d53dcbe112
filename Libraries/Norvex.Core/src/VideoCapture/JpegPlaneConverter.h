#pragma once

#include "FrameConverter.h"

#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// A camera's Y'CbCr with horizontally halved chroma (the layouts YcbcrConverter takes), in any
// matrix and range, straight to what a JPEG encoder compresses: full-range BT.601 Y'CbCr with
// chroma halved both ways (each chroma sample the mean of two rows), which is what a JFIF
// reader decodes. One pass, and no round trip through 8-bit RGB, which would clip and round each
// pixel twice. Every output is within one level of the exact formula (the camera's samples to
// R'G'B' and on to full-range BT.601, chroma averaged before).
//
// Fixed point as in YcbcrConverter: 16-bit gains (luma 14 fraction bits, chroma 13), sums with 5
// fraction bits. The packed layouts (YUYV, YVYU, UYVY) have SSE2 rows; the others are converted
// by the scalar rows, which give the same bytes.
//
// Threads: immutable once made; Convert may run on any number of threads.
class JpegPlaneConverter
{
public:
    // JPEG's three planes: luma at full size, then Cb and Cr at half width and half height
    // (rounded up).
    struct Target
    {
        std::uint8_t* data[3] = {};
        int stride[3] = {};
    };

    enum class Instructions
    {
        Scalar,
        Sse2,
    };

    static Instructions Best() noexcept;
    static bool Handles(PixelLayout layout) noexcept;

    // `layout` must be one that Handles.
    JpegPlaneConverter(PixelLayout layout, ColourEncoding encoding,
                       Instructions instructions = Best()) noexcept;

    void Convert(const SourcePlanes& source, std::int32_t width, std::int32_t height,
                 const Target& target) const noexcept;

    // The output's gains: each output is bias + the luma term + the chroma terms.
    struct Gains
    {
        std::int16_t luma;       // of the luma output, 14 fraction bits
        std::int16_t lumaBias;   // in the sums' 5 fraction bits, with the range's offset and rounding
        std::int16_t lumaFromCb; // 13 fraction bits, likewise below
        std::int16_t lumaFromCr;
        std::int16_t cbFromCb;
        std::int16_t cbFromCr;
        std::int16_t crFromCb;
        std::int16_t crFromCr;
    };

private:
    Gains gains;
    PixelLayout layout;
    bool vector = false; // the SSE2 rows for the packed layouts
};

} // namespace Norvex::Core::VideoCapture
