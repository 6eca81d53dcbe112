#pragma once

// The row functions behind YcbcrConverter, one set per instruction set; only its sources use them.

#include "YcbcrConverter.h"

#include <algorithm>
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

// Pixels [from, width) of one row, `from` even.
template <RowKind Kind, bool Swapped>
void ScalarRow(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* target,
               int from, int width, const Gains& gains) noexcept
{
    for (int x = from; x < width; ++x)
    {
        const int pair = x / 2;
        int luma;
        int first;
        int second;
        switch (Kind)
        {
        case RowKind::Planar:
            luma = y[x];
            first = u[pair];
            second = v[pair];
            break;
        case RowKind::SemiPlanar:
            luma = y[x];
            first = u[2 * pair];
            second = u[2 * pair + 1];
            break;
        case RowKind::Yuyv:
            luma = y[2 * x];
            first = y[4 * pair + 1];
            second = y[4 * pair + 3];
            break;
        case RowKind::Uyvy:
            luma = y[2 * x + 1];
            first = y[4 * pair];
            second = y[4 * pair + 2];
            break;
        }
        const int cb = Centred(static_cast<std::uint8_t>(Swapped ? second : first));
        const int cr = Centred(static_cast<std::uint8_t>(Swapped ? first : second));
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
