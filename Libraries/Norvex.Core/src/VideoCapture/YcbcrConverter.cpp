#include "YcbcrConverter.h"

#include "YcbcrRows.h"

#include <cmath>
#include <cstddef>

namespace Norvex::Core::VideoCapture
{
namespace
{

using YcbcrRows::ScalarRow;

// The luma weights of red and blue; green's is the rest.
struct LumaWeights
{
    double red;
    double blue;
};

LumaWeights WeightsOf(ColourEncoding::Matrix matrix) noexcept
{
    switch (matrix)
    {
    case ColourEncoding::Matrix::Bt709:
        return {0.2126, 0.0722};
    case ColourEncoding::Matrix::Bt2020:
        return {0.2627, 0.0593};
    case ColourEncoding::Matrix::Smpte240m:
        return {0.212, 0.087};
    case ColourEncoding::Matrix::Bt601:
        break;
    }
    return {0.299, 0.114};
}

std::int16_t Fixed(double value, int fractionBits) noexcept
{
    return static_cast<std::int16_t>(std::lround(std::ldexp(value, fractionBits)));
}

YcbcrConverter::Gains GainsOf(const ColourEncoding& encoding) noexcept
{
    const auto [red, blue] = WeightsOf(encoding.matrix);
    const double green = 1 - red - blue;
    const double lumaScale = encoding.fullRange ? 1.0 : 255.0 / 219.0;
    const double chromaScale = encoding.fullRange ? 1.0 : 255.0 / 224.0;
    const double lumaOffset = encoding.fullRange ? 0.0 : 16.0;
    YcbcrConverter::Gains gains{};
    gains.luma = Fixed(lumaScale, 14);
    // The offset in the sums' 5 fraction bits, plus half a level so that the final shift rounds.
    gains.bias = static_cast<std::int16_t>(std::lround(-lumaOffset * lumaScale * 32) + 16);
    gains.blueFromCb = Fixed(chromaScale * 2 * (1 - blue), 13);
    gains.redFromCr = Fixed(chromaScale * 2 * (1 - red), 13);
    gains.greenFromCb = Fixed(-chromaScale * 2 * blue * (1 - blue) / green, 13);
    gains.greenFromCr = Fixed(-chromaScale * 2 * red * (1 - red) / green, 13);
    return gains;
}

YcbcrConverter::RowKind KindOf(PixelLayout layout) noexcept
{
    switch (layout)
    {
    case PixelLayout::Yuyv:
    case PixelLayout::Yvyu:
        return YcbcrConverter::RowKind::Yuyv;
    case PixelLayout::Uyvy:
        return YcbcrConverter::RowKind::Uyvy;
    case PixelLayout::Nv12:
    case PixelLayout::Nv21:
    case PixelLayout::Nv16:
        return YcbcrConverter::RowKind::SemiPlanar;
    default:
        return YcbcrConverter::RowKind::Planar;
    }
}

template <YcbcrConverter::RowKind Kind, bool Swapped>
void ConvertRows(const SourcePlanes& source, std::int32_t width, std::int32_t height, bool halfHeightChroma,
                 YcbcrConverter::RowFunction vectorRow, int block, std::uint8_t* target, int targetStride,
                 const YcbcrConverter::Gains& gains) noexcept
{
    // The vector row takes whole blocks; the scalar row finishes from the first pixel after them.
    const int vectorWidth = vectorRow ? width / block * block : 0;
    for (std::int32_t row = 0; row < height; ++row)
    {
        const std::int32_t chromaRow = halfHeightChroma ? row / 2 : row;
        const std::uint8_t* y = source.data[0] + static_cast<std::ptrdiff_t>(row) * source.stride[0];
        const std::uint8_t* u =
            source.data[1] ? source.data[1] + static_cast<std::ptrdiff_t>(chromaRow) * source.stride[1]
                           : nullptr;
        const std::uint8_t* v =
            source.data[2] ? source.data[2] + static_cast<std::ptrdiff_t>(chromaRow) * source.stride[2]
                           : nullptr;
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(row) * targetStride;
        if (vectorWidth > 0)
        {
            vectorRow(y, u, v, out, vectorWidth, gains);
        }
        ScalarRow<Kind, Swapped>(y, u, v, out, vectorWidth, width, gains);
    }
}

} // namespace

YcbcrConverter::Instructions YcbcrConverter::Best() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && YcbcrRows::Avx2Row(RowKind::Planar, false))
    {
        return Instructions::Avx2;
    }
    return Instructions::Sse2;
#else
    return Instructions::Scalar;
#endif
}

bool YcbcrConverter::Handles(PixelLayout layout) noexcept
{
    switch (layout)
    {
    case PixelLayout::Yuyv:
    case PixelLayout::Yvyu:
    case PixelLayout::Uyvy:
    case PixelLayout::Nv12:
    case PixelLayout::Nv21:
    case PixelLayout::Nv16:
    case PixelLayout::I420:
    case PixelLayout::Yv12:
    case PixelLayout::I422:
        return true;
    default:
        return false;
    }
}

YcbcrConverter::YcbcrConverter(PixelLayout layout, ColourEncoding encoding,
                               Instructions instructions) noexcept
    : gains(GainsOf(encoding)), kind(KindOf(layout)),
      swapped(layout == PixelLayout::Yvyu || layout == PixelLayout::Nv21),
      halfHeightChroma(layout == PixelLayout::Nv12 || layout == PixelLayout::Nv21 ||
                       layout == PixelLayout::I420 || layout == PixelLayout::Yv12)
{
    switch (instructions)
    {
    case Instructions::Avx2:
        vectorRow = YcbcrRows::Avx2Row(kind, swapped);
        block = YcbcrRows::avx2Block;
        break;
    case Instructions::Sse2:
        vectorRow = YcbcrRows::Sse2Row(kind, swapped);
        block = YcbcrRows::sse2Block;
        break;
    case Instructions::Scalar:
        break;
    }
}

void YcbcrConverter::Convert(const SourcePlanes& source, std::int32_t width, std::int32_t height,
                             std::uint8_t* target, int targetStride) const noexcept
{
    const auto run = [&]<RowKind Kind, bool Swapped>()
    {
        ConvertRows<Kind, Swapped>(source, width, height, halfHeightChroma, vectorRow, block, target,
                                   targetStride, gains);
    };
    switch (kind)
    {
    case RowKind::Planar:
        run.operator()<RowKind::Planar, false>();
        break;
    case RowKind::SemiPlanar:
        swapped ? run.operator()<RowKind::SemiPlanar, true>() : run.operator()<RowKind::SemiPlanar, false>();
        break;
    case RowKind::Yuyv:
        swapped ? run.operator()<RowKind::Yuyv, true>() : run.operator()<RowKind::Yuyv, false>();
        break;
    case RowKind::Uyvy:
        run.operator()<RowKind::Uyvy, false>();
        break;
    }
}

} // namespace Norvex::Core::VideoCapture
