#pragma once

// The vector rows' body, written once over an instruction set's `Simd` operations. Each source
// that includes it defines its own `Simd` in an unnamed namespace and is compiled for that
// instruction set alone, so no code of a wider set can leak into a narrower one.
//
// Simd holds: V (a register of 16-bit lanes), pixels (a block), Set, Load (a block's worth of
// bytes as 16-bit lanes in memory order is LoadHalf's; Load takes a whole register), the lane
// operations, and three re-orderings that are no-ops at 128 bits: KernelOrder (two registers of
// luma in memory order into the order a byte unpack leaves them), SplitPairs (registers of
// chroma pairs into one register of each) and StoreBgra.

#include "YcbcrRows.h"

namespace
{

using Norvex::Core::VideoCapture::YcbcrConverter;
using Gains = YcbcrConverter::Gains;
using RowKind = YcbcrConverter::RowKind;

// One block: luma as 16-bit levels in unpack order, chroma centred in the high byte.
inline void Pixels(const Gains& gains, Simd::V lumaLow, Simd::V lumaHigh, Simd::V cb, Simd::V cr,
                   std::uint8_t* target) noexcept
{
    const Simd::V gain = Simd::Set(gains.luma);
    const Simd::V bias = Simd::Set(gains.bias);
    lumaLow = Simd::AddS(Simd::MulHigh(Simd::ShiftLeft<7>(lumaLow), gain), bias);
    lumaHigh = Simd::AddS(Simd::MulHigh(Simd::ShiftLeft<7>(lumaHigh), gain), bias);
    const Simd::V blue = Simd::MulHigh(cb, Simd::Set(gains.blueFromCb));
    const Simd::V red = Simd::MulHigh(cr, Simd::Set(gains.redFromCr));
    const Simd::V green = Simd::AddS(Simd::MulHigh(cb, Simd::Set(gains.greenFromCb)),
                                     Simd::MulHigh(cr, Simd::Set(gains.greenFromCr)));
    const auto levels = [&](Simd::V chroma)
    {
        return Simd::PackUs(Simd::ShiftRightSigned<5>(Simd::AddS(lumaLow, Simd::DoubleLow(chroma))),
                            Simd::ShiftRightSigned<5>(Simd::AddS(lumaHigh, Simd::DoubleHigh(chroma))));
    };
    Simd::StoreBgra(target, levels(blue), levels(green), levels(red));
}

// Bytes in the low byte of 16-bit lanes, centred and moved to the high byte.
inline Simd::V CentreLowBytes(Simd::V lanes) noexcept
{
    return Simd::Xor(Simd::ShiftLeft<8>(lanes), Simd::Set(-0x8000));
}
inline Simd::V CentreHighBytes(Simd::V lanes) noexcept
{
    return Simd::Xor(Simd::And(lanes, Simd::Set(-0x100)), Simd::Set(-0x8000));
}

template <RowKind Kind, bool Swapped>
void VectorRow(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* target,
               int width, const Gains& gains) noexcept
{
    constexpr int block = Simd::pixels;
    for (int x = 0; x + block <= width; x += block)
    {
        Simd::V lumaLow;
        Simd::V lumaHigh;
        Simd::V first;
        Simd::V second;
        if constexpr (Kind == RowKind::Planar || Kind == RowKind::SemiPlanar)
        {
            Simd::WidenBytes(Simd::Load(y + x), lumaLow, lumaHigh);
            if constexpr (Kind == RowKind::Planar)
            {
                first = CentreLowBytes(Simd::LoadHalf(u + x / 2));
                second = CentreLowBytes(Simd::LoadHalf(v + x / 2));
            }
            else
            {
                const Simd::V pairs = Simd::Load(u + x);
                first = CentreLowBytes(pairs);
                second = CentreHighBytes(pairs);
            }
        }
        else
        {
            const Simd::V a = Simd::Load(y + 2 * x);
            const Simd::V b = Simd::Load(y + 2 * x + block);
            const bool lumaFirst = Kind == RowKind::Yuyv;
            lumaLow = lumaFirst ? Simd::And(a, Simd::Set(0xFF)) : Simd::ShiftRight<8>(a);
            lumaHigh = lumaFirst ? Simd::And(b, Simd::Set(0xFF)) : Simd::ShiftRight<8>(b);
            Simd::KernelOrder(lumaLow, lumaHigh);
            Simd::SplitPairs(lumaFirst ? CentreHighBytes(a) : CentreLowBytes(a),
                             lumaFirst ? CentreHighBytes(b) : CentreLowBytes(b), first, second);
        }
        Pixels(gains, lumaLow, lumaHigh, Swapped ? second : first, Swapped ? first : second, target + 4 * x);
    }
}

YcbcrConverter::RowFunction ChooseRow(RowKind kind, bool swapped) noexcept
{
    switch (kind)
    {
    case RowKind::Planar:
        return &VectorRow<RowKind::Planar, false>;
    case RowKind::SemiPlanar:
        return swapped ? &VectorRow<RowKind::SemiPlanar, true> : &VectorRow<RowKind::SemiPlanar, false>;
    case RowKind::Yuyv:
        return swapped ? &VectorRow<RowKind::Yuyv, true> : &VectorRow<RowKind::Yuyv, false>;
    case RowKind::Uyvy:
        return &VectorRow<RowKind::Uyvy, false>;
    }
    return nullptr;
}

} // namespace
