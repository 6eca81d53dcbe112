#include "JpegPlaneConverter.h"

#include "YcbcrConverter.h"
#include "YcbcrRows.h"

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Norvex::Core::VideoCapture
{
namespace
{

using Gains = JpegPlaneConverter::Gains;
using RowKind = YcbcrConverter::RowKind;
using YcbcrRows::AddSaturated;
using YcbcrRows::Fixed;
using YcbcrRows::Level;
using YcbcrRows::MulHigh;

// The chroma outputs' offset of 128 and half a level, in the sums' 5 fraction bits.
constexpr std::int16_t chromaBias = 128 * 32 + 16;

// JPEG's Y'CbCr (full-range BT.601, in levels, chroma centred) of a camera sample's offsets from
// black and from neutral chroma.
struct Jfif
{
    double luma;
    double cb;
    double cr;
};
Jfif JfifOf(const ColourEncoding& encoding, double luma, double cb, double cr) noexcept
{
    const auto [red, blue] = YcbcrConverter::WeightsOf(encoding.matrix);
    const double lumaScale = encoding.fullRange ? 1.0 : 255.0 / 219.0;
    const double chromaScale = encoding.fullRange ? 1.0 : 255.0 / 224.0;
    const double y = luma * lumaScale;
    const double r = y + 2 * (1 - red) * cr * chromaScale;
    const double b = y + 2 * (1 - blue) * cb * chromaScale;
    const double g = (y - red * r - blue * b) / (1 - red - blue);
    const double jpegLuma = 0.299 * r + 0.587 * g + 0.114 * b;
    return {jpegLuma, (b - jpegLuma) / (2 * (1 - 0.114)), (r - jpegLuma) / (2 * (1 - 0.299))};
}

Gains GainsOf(const ColourEncoding& encoding) noexcept
{
    // The conversion is linear in the offsets: its gains are its outputs for each alone.
    const Jfif fromLuma = JfifOf(encoding, 1, 0, 0);
    const Jfif fromCb = JfifOf(encoding, 0, 1, 0);
    const Jfif fromCr = JfifOf(encoding, 0, 0, 1);
    const double lumaOffset = encoding.fullRange ? 0.0 : 16.0;
    Gains gains{};
    gains.luma = Fixed(fromLuma.luma, 14);
    gains.lumaBias = static_cast<std::int16_t>(std::lround(-lumaOffset * fromLuma.luma * 32) + 16);
    gains.lumaFromCb = Fixed(fromCb.luma, 13);
    gains.lumaFromCr = Fixed(fromCr.luma, 13);
    gains.cbFromCb = Fixed(fromCb.cb, 13);
    gains.cbFromCr = Fixed(fromCr.cb, 13);
    gains.crFromCb = Fixed(fromCb.cr, 13);
    gains.crFromCr = Fixed(fromCr.cr, 13);
    return gains;
}

// One output row of each plane: two rows of luma (the second null for the last row of an odd
// height) and their chroma.
struct TargetRows
{
    std::uint8_t* luma[2];
    std::uint8_t* cb;
    std::uint8_t* cr;
};

// Pixels [from, width) of a pair of rows, `from` even; `second` is `first` for a lone last row.
template <RowKind Kind, bool Swapped>
void ScalarRows(const YcbcrRows::Row& first, const YcbcrRows::Row& second, const TargetRows& target, int from,
                int width, const Gains& gains) noexcept
{
    for (int x = from; x < width; x += 2)
    {
        int sumCb = 0;
        int sumCr = 0;
        for (int row = 0; row < 2; ++row)
        {
            const auto& samples = row == 0 ? first : second;
            const auto [luma, cb, cr] = YcbcrRows::SamplesOf<Kind, Swapped>(samples, x);
            const int chroma = AddSaturated(MulHigh(cb, gains.lumaFromCb), MulHigh(cr, gains.lumaFromCr));
            const auto level = [&](int sampleLuma)
            {
                return Level(
                    AddSaturated(AddSaturated(MulHigh(sampleLuma << 7, gains.luma), gains.lumaBias), chroma));
            };
            if (target.luma[row])
            {
                target.luma[row][x] = level(luma);
                if (x + 1 < width)
                {
                    target.luma[row][x + 1] = level(YcbcrRows::SamplesOf<Kind, Swapped>(samples, x + 1).luma);
                }
            }
            // Centred samples have eight zero bits below: halved exactly, their sum fits.
            sumCb += cb >> 1;
            sumCr += cr >> 1;
        }
        target.cb[x / 2] = Level(AddSaturated(
            AddSaturated(MulHigh(sumCb, gains.cbFromCb), MulHigh(sumCr, gains.cbFromCr)), chromaBias));
        target.cr[x / 2] = Level(AddSaturated(
            AddSaturated(MulHigh(sumCb, gains.crFromCb), MulHigh(sumCr, gains.crFromCr)), chromaBias));
    }
}

#if defined(__SSE2__)

constexpr int vectorBlock = 16;

// Sixteen pixels of a packed row: their luma in two registers and their eight pairs' chroma,
// centred in the high byte.
template <RowKind Kind, bool Swapped>
void LoadPacked(const std::uint8_t* row, __m128i& lumaLow, __m128i& lumaHigh, __m128i& cb,
                __m128i& cr) noexcept
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16));
    const __m128i centre = _mm_set1_epi16(-0x8000);
    __m128i chromaA;
    __m128i chromaB;
    if constexpr (Kind == RowKind::Yuyv)
    {
        lumaLow = _mm_and_si128(a, _mm_set1_epi16(0xFF));
        lumaHigh = _mm_and_si128(b, _mm_set1_epi16(0xFF));
        chromaA = _mm_xor_si128(_mm_and_si128(a, _mm_set1_epi16(-0x100)), centre);
        chromaB = _mm_xor_si128(_mm_and_si128(b, _mm_set1_epi16(-0x100)), centre);
    }
    else
    {
        lumaLow = _mm_srli_epi16(a, 8);
        lumaHigh = _mm_srli_epi16(b, 8);
        chromaA = _mm_xor_si128(_mm_slli_epi16(a, 8), centre);
        chromaB = _mm_xor_si128(_mm_slli_epi16(b, 8), centre);
    }
    // Lanes of (first, second) pairs: the firsts of both registers, then the seconds.
    const __m128i first = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(chromaA, 16), 16),
                                          _mm_srai_epi32(_mm_slli_epi32(chromaB, 16), 16));
    const __m128i second = _mm_packs_epi32(_mm_srai_epi32(chromaA, 16), _mm_srai_epi32(chromaB, 16));
    cb = Swapped ? second : first;
    cr = Swapped ? first : second;
}

template <RowKind Kind, bool Swapped>
void VectorRows(const std::uint8_t* first, const std::uint8_t* second, const TargetRows& target, int width,
                const Gains& gains) noexcept
{
    const __m128i luma = _mm_set1_epi16(gains.luma);
    const __m128i lumaBias = _mm_set1_epi16(gains.lumaBias);
    const __m128i lumaFromCb = _mm_set1_epi16(gains.lumaFromCb);
    const __m128i lumaFromCr = _mm_set1_epi16(gains.lumaFromCr);
    const __m128i cbFromCb = _mm_set1_epi16(gains.cbFromCb);
    const __m128i cbFromCr = _mm_set1_epi16(gains.cbFromCr);
    const __m128i crFromCb = _mm_set1_epi16(gains.crFromCb);
    const __m128i crFromCr = _mm_set1_epi16(gains.crFromCr);
    const __m128i bias = _mm_set1_epi16(chromaBias);
    const auto levels = [](__m128i low, __m128i high)
    {
        return _mm_packus_epi16(_mm_srai_epi16(low, 5), _mm_srai_epi16(high, 5));
    };
    for (int x = 0; x + vectorBlock <= width; x += vectorBlock)
    {
        __m128i sumCb = _mm_setzero_si128();
        __m128i sumCr = _mm_setzero_si128();
        for (int row = 0; row < 2; ++row)
        {
            __m128i low;
            __m128i high;
            __m128i cb;
            __m128i cr;
            LoadPacked<Kind, Swapped>((row == 0 ? first : second) + 2 * x, low, high, cb, cr);
            if (target.luma[row])
            {
                const __m128i chroma =
                    _mm_adds_epi16(_mm_mulhi_epi16(cb, lumaFromCb), _mm_mulhi_epi16(cr, lumaFromCr));
                low = _mm_adds_epi16(_mm_adds_epi16(_mm_mulhi_epi16(_mm_slli_epi16(low, 7), luma), lumaBias),
                                     _mm_unpacklo_epi16(chroma, chroma));
                high =
                    _mm_adds_epi16(_mm_adds_epi16(_mm_mulhi_epi16(_mm_slli_epi16(high, 7), luma), lumaBias),
                                   _mm_unpackhi_epi16(chroma, chroma));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(target.luma[row] + x), levels(low, high));
            }
            sumCb = _mm_add_epi16(sumCb, _mm_srai_epi16(cb, 1));
            sumCr = _mm_add_epi16(sumCr, _mm_srai_epi16(cr, 1));
        }
        const auto chroma = [&](__m128i fromCb, __m128i fromCr)
        {
            const __m128i sum = _mm_adds_epi16(
                _mm_adds_epi16(_mm_mulhi_epi16(sumCb, fromCb), _mm_mulhi_epi16(sumCr, fromCr)), bias);
            return levels(sum, sum);
        };
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target.cb + x / 2), chroma(cbFromCb, cbFromCr));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target.cr + x / 2), chroma(crFromCb, crFromCr));
    }
}

#endif

template <RowKind Kind, bool Swapped>
void ConvertRows(const SourcePlanes& source, std::int32_t width, std::int32_t height, bool halfHeightChroma,
                 bool vector, const JpegPlaneConverter::Target& target, const Gains& gains) noexcept
{
    int vectorWidth = 0;
#if defined(__SSE2__)
    if constexpr (Kind == RowKind::Yuyv || Kind == RowKind::Uyvy)
    {
        vectorWidth = vector ? width / vectorBlock * vectorBlock : 0;
    }
#endif
    const auto at = [&](int plane, std::int32_t row)
    {
        return target.data[plane] + static_cast<std::ptrdiff_t>(row) * target.stride[plane];
    };
    for (std::int32_t row = 0; row < height; row += 2)
    {
        const bool pair = row + 1 < height;
        const YcbcrRows::Row first = YcbcrRows::RowOf(source, row, halfHeightChroma);
        const YcbcrRows::Row second = pair ? YcbcrRows::RowOf(source, row + 1, halfHeightChroma) : first;
        const TargetRows rows{{at(0, row), pair ? at(0, row + 1) : nullptr}, at(1, row / 2), at(2, row / 2)};
#if defined(__SSE2__)
        if (vectorWidth > 0)
        {
            VectorRows<Kind, Swapped>(first.y, second.y, rows, vectorWidth, gains);
        }
#endif
        ScalarRows<Kind, Swapped>(first, second, rows, vectorWidth, width, gains);
    }
}

} // namespace

JpegPlaneConverter::Instructions JpegPlaneConverter::Best() noexcept
{
#if defined(__SSE2__)
    return Instructions::Sse2;
#else
    return Instructions::Scalar;
#endif
}

bool JpegPlaneConverter::Handles(PixelLayout layout) noexcept
{
    return YcbcrConverter::Handles(layout);
}

JpegPlaneConverter::JpegPlaneConverter(PixelLayout layout, ColourEncoding encoding,
                                       Instructions instructions) noexcept
    : gains(GainsOf(encoding)), layout(layout), vector(instructions == Instructions::Sse2)
{
}

void JpegPlaneConverter::Convert(const SourcePlanes& source, std::int32_t width, std::int32_t height,
                                 const Target& target) const noexcept
{
    YcbcrRows::WithKind(YcbcrConverter::KindOf(layout), YcbcrConverter::CrFirst(layout),
                        [&]<RowKind Kind, bool Swapped>()
                        {
                            ConvertRows<Kind, Swapped>(source, width, height,
                                                       YcbcrConverter::HalfHeightChroma(layout), vector,
                                                       target, gains);
                        });
}

} // namespace Norvex::Core::VideoCapture
