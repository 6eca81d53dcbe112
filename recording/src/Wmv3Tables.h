#pragma once

#include <array>
#include <cstdint>
#include <span>

// The code tables of WMV3 pictures. Codes are written most significant bit first.
namespace VistelCapture::Wmv3Tables
{

struct Code
{
    std::uint32_t bits;
    std::uint8_t length;
};

// One code of an AC coding set: the (run, level, last) event it stands for.
struct AcCode
{
    std::uint32_t bits;
    std::uint8_t length;
    std::uint8_t run;
    std::uint8_t level;
    std::uint8_t last;
};

// The eight AC coding sets, numbered as the picture header selects them: even sets for luma,
// odd sets for chroma. Each ends with its escape code.
extern const std::array<std::span<const AcCode>, 8> AcSets;
// DC differential codes, index 0..118 for magnitudes and 119 for the escape; one pair per
// picture-level table choice.
extern const std::array<std::span<const Code, 120>, 2> DcLuma;
extern const std::array<std::span<const Code, 120>, 2> DcChroma;
// Coded-block pattern of intra macroblocks, by its 6-bit value (bit 5 = first luma block).
extern const std::array<Code, 64> CodedBlockPattern;
// Scan index -> coefficient position 8 * vertical + horizontal.
extern const std::array<std::uint8_t, 64> NormalScan;
extern const std::array<std::uint8_t, 64> ScanFromTop;
extern const std::array<std::uint8_t, 64> ScanFromLeft;
// By PQUANT 1..31 (entry 0 unused).
extern const std::array<std::uint8_t, 32> DcScale;
extern const std::array<std::uint16_t, 32> DcEdgePredictor;
// PQINDEX 1..31 -> PQUANT when the stream leaves the quantiser implicit (entry 0 unused).
extern const std::array<std::uint8_t, 32> ImplicitPquant;

// P pictures.
// The scan of inter blocks, DC included (position 8 * vertical + horizontal).
extern const std::array<std::uint8_t, 64> InterScan;
// Coded-block pattern of inter macroblocks, by table (CBPTAB) and 6-bit value.
extern const std::array<std::array<Code, 64>, 4> CodedBlockPatternP;
// Motion vector differentials by table (MVTAB) and symbol: 0..35 without coefficients, 36..72
// with (see Wmv3InterCoder).
extern const std::array<std::array<Code, 73>, 4> MotionDifference;

} // namespace VistelCapture::Wmv3Tables
