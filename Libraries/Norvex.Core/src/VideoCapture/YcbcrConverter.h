#pragma once

#include "FrameConverter.h"

#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// Y'CbCr with horizontally halved chroma (packed 4:2:2, NV12/NV21/NV16, I420/YV12, I422) to
// opaque BGRA in any matrix and range, every output within one level of the exact formula.
// libyuv keeps its blue gain in 64ths of at most 2.0, which BT.709's and BT.2020's limited ranges
// exceed; libswscale is exact but costs several times as much. The gains here are 16-bit fixed
// point (13 fraction bits for chroma, 14 for luma) and the sums carry 5 fraction bits, so the
// rounding of all terms together stays below half a level.
//
// Threads: a converter is immutable once made; Convert may run on any number of threads.
class YcbcrConverter
{
public:
    // The instruction sets the rows are written for; every level gives the same bytes.
    enum class Instructions
    {
        Scalar,
        Sse2,
        Avx2,
    };

    // The widest level this processor runs.
    static Instructions Best() noexcept;
    static bool Handles(PixelLayout layout) noexcept;

    // `layout` must be one that Handles.
    YcbcrConverter(PixelLayout layout, ColourEncoding encoding, Instructions instructions = Best()) noexcept;

    void Convert(const SourcePlanes& source, std::int32_t width, std::int32_t height, std::uint8_t* target,
                 int targetStride) const noexcept;

    // The fixed-point gains, shared by all instruction sets: luma in 14 fraction bits, chroma in 13,
    // `bias` in the sums' 5 (the luma offset and the final rounding).
    struct Gains
    {
        std::int16_t luma;
        std::int16_t bias;
        std::int16_t blueFromCb;
        std::int16_t greenFromCb;
        std::int16_t greenFromCr;
        std::int16_t redFromCr;
    };

    // How the samples of one row lie; `swapped` layouts carry Cr before Cb.
    enum class RowKind
    {
        Planar,     // y, u and v rows
        SemiPlanar, // y row, then a row of chroma pairs in `u`
        Yuyv,       // packed, in `y`
        Uyvy,
    };
    // The layout's facts the rows go by; `layout` one that Handles.
    static RowKind KindOf(PixelLayout layout) noexcept;
    static bool CrFirst(PixelLayout layout) noexcept;
    static bool HalfHeightChroma(PixelLayout layout) noexcept;
    // The luma weights of red and blue in a matrix; green's is the rest.
    struct LumaWeights
    {
        double red;
        double blue;
    };
    static LumaWeights WeightsOf(ColourEncoding::Matrix matrix) noexcept;

    // A vector row: converts pixels [0, width) of one row, `width` a multiple of its block; the
    // scalar row finishes the rest.
    using RowFunction = void (*)(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                                 std::uint8_t* target, int width, const Gains& gains);

private:
    Gains gains;
    RowKind kind;
    bool swapped;
    bool halfHeightChroma;
    RowFunction vectorRow = nullptr; // whole blocks; the scalar row finishes the tail
    int block = 1;                   // pixels the vector row converts at a time
};

} // namespace Norvex::Core::VideoCapture
