#pragma once

// The row functions behind YcbcrConverter, one set per instruction set; only its sources use them.

#include "YcbcrConverter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Norvex::Core::VideoCapture::YcbcrRows
{

using Gains = YcbcrConverter::Gains;
using RowKind = YcbcrConverter::RowKind;

// The vector rows for whole blocks of `Block` pixels; null where the build has no such code.
YcbcrConverter::RowFunction Sse2Row(RowKind kind, bool swapped) noexcept;
YcbcrConverter::RowFunction Avx2Row(RowKind kind, bool swapped) noexcept;
constexpr int sse2Block = 16;
constexpr int avx2Block = 32;

// A gain in 16-bit fixed point with `fractionBits` of fraction.
inline std::int16_t Fixed(double value, int fractionBits) noexcept
{
    return static_cast<std::int16_t>(std::lround(std::ldexp(value, fractionBits)));
}

// The vector instructions' arithmetic on one lane, so that every level gives the same bytes.
inline int MulHigh(int a, int b) noexcept
{
    return (a * b) >> 16;
}
inline int AddSaturated(int a, int b) noexcept
{
    return std::clamp(a + b, -32768, 32767);
}
inline std::uint8_t Level(int sum) noexcept
{
    return static_cast<std::uint8_t>(std::clamp(sum >> 5, 0, 255));
}
// A chroma sample centred and in the high byte, as the vector code holds it.
inline int Centred(std::uint8_t sample) noexcept
{
    return (sample - 128) * 256;
}

// Where one row of a picture lies: its luma (or packed samples) and its chroma.
struct Row
{
    const std::uint8_t* y;
    const std::uint8_t* u;
    const std::uint8_t* v;
};
inline Row RowOf(const SourcePlanes& source, std::int32_t row, bool halfHeightChroma) noexcept
{
    const std::int32_t chromaRow = halfHeightChroma ? row / 2 : row;
    const auto at = [&](int plane, std::int32_t index) -> const std::uint8_t*
    {
        return source.data[plane]
                   ? source.data[plane] + static_cast<std::ptrdiff_t>(index) * source.stride[plane]
                   : nullptr;
    };
    return {at(0, row), at(1, chromaRow), at(2, chromaRow)};
}

// The samples of pixel x: its luma and its pair's chroma, centred and in the high byte (Cb, Cr
// once `Swapped` is applied).
struct Samples
{
    int luma;
    int cb;
    int cr;
};
template <RowKind Kind, bool Swapped> Samples SamplesOf(const Row& row, int x) noexcept
{
    const int pair = x / 2;
    int luma;
    int first;
    int second;
    switch (Kind)
    {
    case RowKind::Planar:
        luma = row.y[x];
        first = row.u[pair];
        second = row.v[pair];
        break;
    case RowKind::SemiPlanar:
        luma = row.y[x];
        first = row.u[2 * pair];
        second = row.u[2 * pair + 1];
        break;
    case RowKind::Yuyv:
        luma = row.y[2 * x];
        first = row.y[4 * pair + 1];
        second = row.y[4 * pair + 3];
        break;
    case RowKind::Uyvy:
        luma = row.y[2 * x + 1];
        first = row.y[4 * pair];
        second = row.y[4 * pair + 2];
        break;
    }
    return {luma, Centred(static_cast<std::uint8_t>(Swapped ? second : first)),
            Centred(static_cast<std::uint8_t>(Swapped ? first : second))};
}

// Calls run.template operator()<Kind, Swapped>() for the kinds that exist (only packed 4:2:2
// and semi-planar layouts come with Cr first).
template <class Run> void WithKind(RowKind kind, bool swapped, Run&& run)
{
    switch (kind)
    {
    case RowKind::Planar:
        run.template operator()<RowKind::Planar, false>();
        break;
    case RowKind::SemiPlanar:
        swapped ? run.template operator()<RowKind::SemiPlanar, true>()
                : run.template operator()<RowKind::SemiPlanar, false>();
        break;
    case RowKind::Yuyv:
        swapped ? run.template operator()<RowKind::Yuyv, true>()
                : run.template operator()<RowKind::Yuyv, false>();
        break;
    case RowKind::Uyvy:
        run.template operator()<RowKind::Uyvy, false>();
        break;
    }
}

// Pixels [from, width) of one row, `from` even.
template <RowKind Kind, bool Swapped>
void ScalarRow(const Row& row, std::uint8_t* target, int from, int width, const Gains& gains) noexcept
{
    for (int x = from; x < width; ++x)
    {
        const auto [luma, cb, cr] = SamplesOf<Kind, Swapped>(row, x);
        const int term = AddSaturated(MulHigh(luma << 7, gains.luma), gains.bias);
        const int green = AddSaturated(MulHigh(cb, gains.greenFromCb), MulHigh(cr, gains.greenFromCr));
        std::uint8_t* pixel = target + 4 * x;
        pixel[0] = Level(AddSaturated(term, MulHigh(cb, gains.blueFromCb)));
        pixel[1] = Level(AddSaturated(term, green));
        pixel[2] = Level(AddSaturated(term, MulHigh(cr, gains.redFromCr)));
        pixel[3] = 255;
    }
}

} // namespace Norvex::Core::VideoCapture::YcbcrRows
