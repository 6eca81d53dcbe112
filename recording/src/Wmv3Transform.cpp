#include "Wmv3Transform.h"

#include "Wmv3Tables.h"
#include "Wmv3TransformKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace VistelCapture::Wmv3Transform
{
namespace
{

constexpr std::array<std::uint8_t, 64> TransposeScan(const std::array<std::uint8_t, 64>& scan)
{
    std::array<std::uint8_t, 64> result{};
    for (int i = 0; i < 64; ++i)
    {
        result[i] = static_cast<std::uint8_t>(Transposed(scan[i]));
    }
    return result;
}

} // namespace

const std::array<std::uint8_t, 64> NormalScan = TransposeScan(Wmv3Tables::NormalScan);
const std::array<std::uint8_t, 64> ScanFromTop = TransposeScan(Wmv3Tables::ScanFromTop);
const std::array<std::uint8_t, 64> ScanFromLeft = TransposeScan(Wmv3Tables::ScanFromLeft);

std::array<std::uint8_t, 64> ScanIndex(const std::array<std::uint8_t, 64>& scan)
{
    std::array<std::uint8_t, 64> result{};
    for (int i = 0; i < 64; ++i)
    {
        result[scan[i]] = static_cast<std::uint8_t>(i);
    }
    return result;
}

const std::array<std::uint8_t, 64> NormalScanIndex = ScanIndex(NormalScan);
const std::array<std::uint8_t, 64> ScanFromTopIndex = ScanIndex(ScanFromTop);
const std::array<std::uint8_t, 64> ScanFromLeftIndex = ScanIndex(ScanFromLeft);

std::uint64_t NonZero(const std::int16_t* values)
{
    std::uint64_t nonZero = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16)
    {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i + 8));
        const int zeros =
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(first, zero), _mm_cmpeq_epi16(second, zero)));
        nonZero |= std::uint64_t(~zeros & 0xffff) << i;
    }
#else
    for (int i = 0; i < 64; ++i)
    {
        nonZero |= std::uint64_t(values[i] != 0) << i;
    }
#endif
    return nonZero;
}

int Scalar::ForwardScaled(const std::uint8_t* picture, const std::uint8_t* prediction, int stride,
                          const float* scale, std::int16_t* coefficients)
{
    std::int16_t difference[8][8];
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            const std::ptrdiff_t at = std::ptrdiff_t(y) * stride + x;
            difference[y][x] = static_cast<std::int16_t>(picture[at] - (prediction ? prediction[at] : 0));
        }
    }
    // The vertical pass exactly, rounded to a quarter, then the horizontal one (as the vector form
    // does it, so that its sums fit 16 bits).
    int vertical[8][8]; // [v][x]
    TransformColumns(difference, vertical);
    std::int16_t transposed[8][8]; // [x][v]
    for (int v = 0; v < 8; ++v)
    {
        for (int x = 0; x < 8; ++x)
        {
            transposed[x][v] = static_cast<std::int16_t>((vertical[v][x] + 2) >> 2);
        }
    }
    int result[8][8];
    TransformColumns(transposed, result);
    int largest = 0;
    for (int i = 0; i < 64; ++i)
    {
        const long value = std::lrint(static_cast<float>(result[i / 8][i % 8]) * (scale[i] * 4.0f));
        coefficients[i] = static_cast<std::int16_t>(std::clamp(value, -32768L, 32767L));
        largest = std::max(largest, std::abs(int(coefficients[i])));
    }
    return largest;
}

int ForwardScaled(const std::uint8_t* picture, const std::uint8_t* prediction, int stride, const float* scale,
                  std::int16_t* coefficients)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i rows[8];
    for (int y = 0; y < 8; ++y)
    {
        rows[y] = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(picture + std::ptrdiff_t(y) * stride)), zero);
        if (prediction)
        {
            rows[y] =
                _mm_sub_epi16(rows[y], _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                                                             prediction + std::ptrdiff_t(y) * stride)),
                                                         zero));
        }
    }
    __m128i result[8];
    __m128i largest = ForwardScaledKernel<Sse2>(rows, scale, result);
    for (int h = 0; h < 8; ++h)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + 8 * h), result[h]);
    }
    largest = _mm_max_epi16(largest, _mm_srli_si128(largest, 8));
    largest = _mm_max_epi16(largest, _mm_srli_si128(largest, 4));
    largest = _mm_max_epi16(largest, _mm_srli_si128(largest, 2));
    return _mm_cvtsi128_si32(largest) & 0xffff;
#else
    return Scalar::ForwardScaled(picture, prediction, stride, scale, coefficients);
#endif
}

#if defined(VISTEL_WMV3_AVX2)
namespace Avx2Pairs
{
// Wmv3TransformAvx2.cpp
void ForwardScaled(const std::uint8_t* const (&picture)[2], const std::uint8_t* const (&prediction)[2],
                   const int (&stride)[2], const float* scale, std::int16_t* const (&coefficients)[2],
                   int (&largest)[2]);
void InverseTransposed(const std::int16_t* const (&values)[2], std::uint8_t* const (&pixels)[2],
                       const int (&stride)[2], bool add);
} // namespace Avx2Pairs

namespace
{
const bool hasAvx2 = __builtin_cpu_supports("avx2");
} // namespace
#endif

void ForwardScaledPair(const std::uint8_t* const (&picture)[2], const std::uint8_t* const (&prediction)[2],
                       const int (&stride)[2], const float* scale, std::int16_t* const (&coefficients)[2],
                       int (&largest)[2])
{
#if defined(VISTEL_WMV3_AVX2)
    if (hasAvx2)
    {
        Avx2Pairs::ForwardScaled(picture, prediction, stride, scale, coefficients, largest);
        return;
    }
#endif
    for (int n = 0; n < 2; ++n)
    {
        largest[n] = ForwardScaled(picture[n], prediction[n], stride[n], scale, coefficients[n]);
    }
}

void InverseTransposedPair(const std::int16_t* const (&values)[2], std::uint8_t* const (&pixels)[2],
                           const int (&stride)[2], bool add)
{
#if defined(VISTEL_WMV3_AVX2)
    if (hasAvx2)
    {
        Avx2Pairs::InverseTransposed(values, pixels, stride, add);
        return;
    }
#endif
    for (int n = 0; n < 2; ++n)
    {
        InverseTransposed(values[n], pixels[n], stride[n], add);
    }
}

Quantiser::Quantiser(int divisor, double roundUp, int limit)
    : reciprocal(static_cast<int>(std::lround(65536.0 / std::max(divisor, 16)))),
      rounding(static_cast<int>(std::lround(roundUp * divisor))), limit(limit),
      smallest(std::max(1, (65536 + reciprocal - 1) / reciprocal - rounding))
{
}

std::uint64_t Scalar::Quantise(const std::int16_t* coefficients, const Quantiser& quantiser,
                               std::int16_t* levels)
{
    std::uint64_t nonZero = 0;
    for (int i = 0; i < 64; ++i)
    {
        const int magnitude = std::clamp(std::abs(coefficients[i]) + quantiser.rounding, 0, 65535);
        const int value = std::min((magnitude * quantiser.reciprocal) >> 16, quantiser.limit);
        levels[i] = static_cast<std::int16_t>(coefficients[i] < 0 ? -value : value);
        nonZero |= std::uint64_t(value != 0) << i;
    }
    return nonZero;
}

std::uint64_t Quantise(const std::int16_t* coefficients, const Quantiser& quantiser, std::int16_t* levels)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i rounding = _mm_set1_epi16(static_cast<short>(std::abs(quantiser.rounding)));
    const __m128i reciprocal = _mm_set1_epi16(static_cast<short>(quantiser.reciprocal));
    const __m128i limit = _mm_set1_epi16(static_cast<short>(quantiser.limit));
    const bool down = quantiser.rounding < 0;
    std::uint64_t nonZero = 0;
    for (int i = 0; i < 64; i += 16)
    {
        __m128i result[2];
        for (int half = 0; half < 2; ++half)
        {
            const __m128i coefficient =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i + 8 * half));
            const __m128i sign = _mm_srai_epi16(coefficient, 15);
            const __m128i magnitude = _mm_max_epi16(coefficient, _mm_sub_epi16(zero, coefficient));
            // Unsigned saturation clamps to 0..65535 as the plain form does.
            const __m128i rounded =
                down ? _mm_subs_epu16(magnitude, rounding) : _mm_adds_epu16(magnitude, rounding);
            const __m128i value = _mm_min_epi16(_mm_mulhi_epu16(rounded, reciprocal), limit);
            result[half] = _mm_sub_epi16(_mm_xor_si128(value, sign), sign);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(levels + i + 8 * half), result[half]);
        }
        const int zeros = _mm_movemask_epi8(
            _mm_packs_epi16(_mm_cmpeq_epi16(result[0], zero), _mm_cmpeq_epi16(result[1], zero)));
        nonZero |= std::uint64_t(~zeros & 0xffff) << i;
    }
    return nonZero;
#else
    return Scalar::Quantise(coefficients, quantiser, levels);
#endif
}

void Scalar::Dequantise(const std::int16_t* levels, int step, int widen, std::int16_t (&values)[64])
{
    for (int i = 0; i < 64; ++i)
    {
        const int level = levels[i];
        values[i] = static_cast<std::int16_t>(level == 0 ? 0 : level * step + (level > 0 ? widen : -widen));
    }
}

void Dequantise(const std::int16_t* levels, int step, int widen, std::int16_t (&values)[64])
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i stepVector = _mm_set1_epi16(static_cast<short>(step));
    const __m128i widenVector = _mm_set1_epi16(static_cast<short>(widen));
    for (int i = 0; i < 64; i += 8)
    {
        const __m128i level = _mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + i));
        const __m128i away = _mm_sub_epi16(_mm_and_si128(_mm_cmpgt_epi16(level, zero), widenVector),
                                           _mm_and_si128(_mm_cmplt_epi16(level, zero), widenVector));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + i),
                         _mm_add_epi16(_mm_mullo_epi16(level, stepVector), away));
    }
#else
    Scalar::Dequantise(levels, step, widen, values);
#endif
}

void Scalar::InverseTransposed(const std::int16_t* values, std::uint8_t* pixels, int stride, bool add)
{
    int natural[64];
    for (int position = 0; position < 64; ++position)
    {
        natural[position] = values[Transposed(position)];
    }
    int residual[64];
    Inverse(natural, residual);
    for (int y = 0; y < 8; ++y)
    {
        std::uint8_t* row = pixels + std::ptrdiff_t(y) * stride;
        for (int x = 0; x < 8; ++x)
        {
            row[x] = static_cast<std::uint8_t>(std::clamp((add ? row[x] : 0) + residual[8 * y + x], 0, 255));
        }
    }
}

void InverseTransposed(const std::int16_t* values, std::uint8_t* pixels, int stride, bool add)
{
#if defined(__SSE2__)
    __m128i in[8], residual[8];
    for (int h = 0; h < 8; ++h)
    {
        in[h] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 8 * h));
    }
    InverseKernel<Sse2>(in, residual);
    const __m128i zero = _mm_setzero_si128();
    for (int y = 0; y < 8; ++y)
    {
        std::uint8_t* row = pixels + std::ptrdiff_t(y) * stride;
        const __m128i samples =
            add ? _mm_adds_epi16(
                      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)), zero),
                      residual[y])
                : residual[y];
        _mm_storel_epi64(reinterpret_cast<__m128i*>(row), _mm_packus_epi16(samples, zero));
    }
#else
    Scalar::InverseTransposed(values, pixels, stride, add);
#endif
}

void Inverse(const int (&coefficients)[64], int (&residual)[64])
{
    // Rows, then columns, with the decoder's roundings; the butterflies give exactly the sums of
    // the basis products.
    int rows[64];
    for (int v = 0; v < 8; ++v)
    {
        const int* s = coefficients + 8 * v;
        int* d = rows + 8 * v;
        const int t1 = 12 * (s[0] + s[4]) + 4, t2 = 12 * (s[0] - s[4]) + 4;
        const int t3 = 16 * s[2] + 6 * s[6], t4 = 6 * s[2] - 16 * s[6];
        const int e0 = t1 + t3, e1 = t2 + t4, e2 = t2 - t4, e3 = t1 - t3;
        const int o0 = 16 * s[1] + 15 * s[3] + 9 * s[5] + 4 * s[7];
        const int o1 = 15 * s[1] - 4 * s[3] - 16 * s[5] - 9 * s[7];
        const int o2 = 9 * s[1] - 16 * s[3] + 4 * s[5] + 15 * s[7];
        const int o3 = 4 * s[1] - 9 * s[3] + 15 * s[5] - 16 * s[7];
        d[0] = (e0 + o0) >> 3;
        d[1] = (e1 + o1) >> 3;
        d[2] = (e2 + o2) >> 3;
        d[3] = (e3 + o3) >> 3;
        d[4] = (e3 - o3) >> 3;
        d[5] = (e2 - o2) >> 3;
        d[6] = (e1 - o1) >> 3;
        d[7] = (e0 - o0) >> 3;
    }
    for (int x = 0; x < 8; ++x)
    {
        const int* s = rows + x;
        int* d = residual + x;
        const int t1 = 12 * (s[0] + s[32]) + 64, t2 = 12 * (s[0] - s[32]) + 64;
        const int t3 = 16 * s[16] + 6 * s[48], t4 = 6 * s[16] - 16 * s[48];
        const int e0 = t1 + t3, e1 = t2 + t4, e2 = t2 - t4, e3 = t1 - t3;
        const int o0 = 16 * s[8] + 15 * s[24] + 9 * s[40] + 4 * s[56];
        const int o1 = 15 * s[8] - 4 * s[24] - 16 * s[40] - 9 * s[56];
        const int o2 = 9 * s[8] - 16 * s[24] + 4 * s[40] + 15 * s[56];
        const int o3 = 4 * s[8] - 9 * s[24] + 15 * s[40] - 16 * s[56];
        d[0] = (e0 + o0) >> 7;
        d[8] = (e1 + o1) >> 7;
        d[16] = (e2 + o2) >> 7;
        d[24] = (e3 + o3) >> 7;
        d[32] = (e3 - o3 + 1) >> 7;
        d[40] = (e2 - o2 + 1) >> 7;
        d[48] = (e1 - o1 + 1) >> 7;
        d[56] = (e0 - o0 + 1) >> 7;
    }
}

} // namespace VistelCapture::Wmv3Transform
