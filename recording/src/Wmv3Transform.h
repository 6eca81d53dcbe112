#pragma once

#include <array>
#include <cstdint>

// The format's 8x8 integer transform: a forward side of our own that the decoder's exact inverse
// undoes, and that inverse for the encoder's reconstruction.
namespace VistelCapture::Wmv3Transform
{

// Block levels are kept transposed (index 8 * horizontal + vertical): the forward transform
// leaves them that way, and only the scans, the predicted lines and the reconstruction need to
// know.
constexpr int Transposed(int position)
{
    return (position & 7) * 8 + (position >> 3);
}

// The intra scans, transposed likewise.
extern const std::array<std::uint8_t, 64> NormalScan;
extern const std::array<std::uint8_t, 64> ScanFromTop;
extern const std::array<std::uint8_t, 64> ScanFromLeft;
// Where each position comes in a scan.
std::array<std::uint8_t, 64> ScanIndex(const std::array<std::uint8_t, 64>& scan);
extern const std::array<std::uint8_t, 64> NormalScanIndex;
extern const std::array<std::uint8_t, 64> ScanFromTopIndex;
extern const std::array<std::uint8_t, 64> ScanFromLeftIndex;

// Which of 64 values are not zero (bit i for position i).
std::uint64_t NonZero(const std::int16_t* values);

// Squared norms of the basis rows: the forward transform divides by them so that the inverse
// gives the picture back.
inline constexpr double BasisNorm[8] = {1152, 1156, 1168, 1156, 1152, 1156, 1168, 1156};

// out[k][i] = sum over j of Basis[k][j] * in[j][i]: one 1-D transform down each of the 8
// columns at once, using the basis' symmetries (20 multiplications instead of 64).
template <class In> inline void TransformColumns(const In (&in)[8][8], int (&out)[8][8])
{
    for (int i = 0; i < 8; ++i)
    {
        const int s0 = in[0][i] + in[7][i], s1 = in[1][i] + in[6][i];
        const int s2 = in[2][i] + in[5][i], s3 = in[3][i] + in[4][i];
        const int d0 = in[0][i] - in[7][i], d1 = in[1][i] - in[6][i];
        const int d2 = in[2][i] - in[5][i], d3 = in[3][i] - in[4][i];
        const int e0 = s0 + s3, e1 = s1 + s2, f0 = s0 - s3, f1 = s1 - s2;
        out[0][i] = 12 * (e0 + e1);
        out[4][i] = 12 * (e0 - e1);
        out[2][i] = 16 * f0 + 6 * f1;
        out[6][i] = 6 * f0 - 16 * f1;
        out[1][i] = 16 * d0 + 15 * d1 + 9 * d2 + 4 * d3;
        out[3][i] = 15 * d0 - 4 * d1 - 16 * d2 - 9 * d3;
        out[5][i] = 9 * d0 - 16 * d1 + 4 * d2 + 15 * d3;
        out[7][i] = 4 * d0 - 9 * d1 + 15 * d2 - 16 * d3;
    }
}

// The forward transform of one 8x8 block of samples (prediction null) or of its differences from
// the prediction (both with `stride`), transposed (index 8 * horizontal + vertical frequency), each
// coefficient times scale[i] (64 of each) and rounded to nearest into `coefficients`; gives the largest
// magnitude.
int ForwardScaled(const std::uint8_t* picture, const std::uint8_t* prediction, int stride, const float* scale,
                  std::int16_t* coefficients);

// Two blocks at once, each as ForwardScaled gives it (prediction: both or neither). AVX2 does
// the pair in one pass where the processor has it.
void ForwardScaledPair(const std::uint8_t* const (&picture)[2], const std::uint8_t* const (&prediction)[2],
                       const int (&stride)[2], const float* scale, std::int16_t* const (&coefficients)[2],
                       int (&largest)[2]);

// How coefficients become levels: magnitude / divisor, rounded up from `roundUp` of the way
// between two levels (below 0: a dead zone wider than a step), at most `limit`, with the
// coefficient's sign. The division is a multiplication by the reciprocal in 16 bits, which for
// the magnitudes here is off only at the boundaries of levels in the hundreds.
struct Quantiser
{
    Quantiser(int divisor, double roundUp, int limit);
    int reciprocal; // 65536 / divisor
    int rounding;   // roundUp * divisor, added to the magnitude
    int limit;
    int smallest; // the smallest magnitude that keeps a level
};

// Coefficients to levels; gives which levels are not zero (bit i for position i).
std::uint64_t Quantise(const std::int16_t* coefficients, const Quantiser& quantiser, std::int16_t* levels);

// Levels (kept transposed) to the values the decoder transforms back: level * step, away from zero
// by `widen` more where the quantiser is non-uniform (0 where not); a zero stays zero. Position 0
// (the intra DC) is treated as the others; the caller puts its own there.
void Dequantise(const std::int16_t* levels, int step, int widen, std::int16_t (&values)[64]);

// The decoder's inverse transform, exactly, of 64 dequantised values kept transposed: added to the
// 8x8 samples at `pixels` (an inter block over its prediction) or, with add false, stored there
// (an intra block), clamped to 0..255.
void InverseTransposed(const std::int16_t* values, std::uint8_t* pixels, int stride, bool add);

// The same in plain C++, which the vector forms above must match exactly.
namespace Scalar
{
std::uint64_t Quantise(const std::int16_t* coefficients, const Quantiser& quantiser, std::int16_t* levels);
int ForwardScaled(const std::uint8_t* picture, const std::uint8_t* prediction, int stride, const float* scale,
                  std::int16_t* coefficients);
void Dequantise(const std::int16_t* levels, int step, int widen, std::int16_t (&values)[64]);
void InverseTransposed(const std::int16_t* values, std::uint8_t* pixels, int stride, bool add);
} // namespace Scalar

// Two blocks at once, each as InverseTransposed gives it.
void InverseTransposedPair(const std::int16_t* const (&values)[2], std::uint8_t* const (&pixels)[2],
                           const int (&stride)[2], bool add);

// The decoder's inverse transform, exactly, of natural-order coefficients: the differences an
// inter block adds to its prediction, row by row.
void Inverse(const int (&coefficients)[64], int (&residual)[64]);

} // namespace VistelCapture::Wmv3Transform
