#include "YcbcrConverter.h"

#include "YcbcrRows.h"

#include <cmath>
#include <cstddef>

namespace Norvex::Core::VideoCapture
{
namespace
{

using YcbcrRows::Fixed;
using YcbcrRows::ScalarRow;

YcbcrConverter::Gains GainsOf(const ColourEncoding& encoding) noexcept
{
    const auto [red, blue] = YcbcrConverter::WeightsOf(encoding.matrix);
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

template <YcbcrConverter::RowKind Kind, bool Swapped>
void ConvertRows(const SourcePlanes& source, std::int32_t width, std::int32_t height, bool halfHeightChroma,
                 YcbcrConverter::RowFunction vectorRow, int block, std::uint8_t* target, int targetStride,
                 const YcbcrConverter::Gains& gains) noexcept
{
    // The vector row takes whole blocks; the scalar row finishes from the first pixel after them.
    const int vectorWidth = vectorRow ? width / block * block : 0;
    for (std::int32_t row = 0; row < height; ++row)
    {
        const YcbcrRows::Row samples = YcbcrRows::RowOf(source, row, halfHeightChroma);
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(row) * targetStride;
        if (vectorWidth > 0)
        {
            vectorRow(samples.y, samples.u, samples.v, out, vectorWidth, gains);
        }
        ScalarRow<Kind, Swapped>(samples, out, vectorWidth, width, gains);
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

YcbcrConverter::LumaWeights YcbcrConverter::WeightsOf(ColourEncoding::Matrix matrix) noexcept
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

YcbcrConverter::RowKind YcbcrConverter::KindOf(PixelLayout layout) noexcept
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

bool YcbcrConverter::CrFirst(PixelLayout layout) noexcept
{
    return layout == PixelLayout::Yvyu || layout == PixelLayout::Nv21;
}

bool YcbcrConverter::HalfHeightChroma(PixelLayout layout) noexcept
{
    return layout == PixelLayout::Nv12 || layout == PixelLayout::Nv21 || layout == PixelLayout::I420 ||
           layout == PixelLayout::Yv12;
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
    : gains(GainsOf(encoding)), kind(KindOf(layout)), swapped(CrFirst(layout)),
      halfHeightChroma(HalfHeightChroma(layout))
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
    YcbcrRows::WithKind(kind, swapped,
                        [&]<RowKind Kind, bool Swapped>()
                        {
                            ConvertRows<Kind, Swapped>(source, width, height, halfHeightChroma, vectorRow,
                                                       block, target, targetStride, gains);
                        });
}

} // namespace Norvex::Core::VideoCapture
