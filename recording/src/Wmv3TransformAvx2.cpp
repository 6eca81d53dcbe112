// The transform's pairs of blocks in AVX2: this file alone is built for that instruction set, and
// Wmv3Transform.cpp calls it only where the processor has it.

#include "Wmv3TransformKernels.h"

#include <cstddef>

namespace VistelCapture::Wmv3Transform::Avx2Pairs
{
namespace
{

// Row y of two 8x8 blocks of bytes, one in each half, widened to 16 bits.
template <class Byte> __m256i LoadRows(Byte* const (&at)[2], const int (&stride)[2], int y)
{
    const __m128i first =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at[0] + std::ptrdiff_t(y) * stride[0]));
    const __m128i second =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at[1] + std::ptrdiff_t(y) * stride[1]));
    return _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(first, second));
}

int LargestOf(__m128i lanes)
{
    lanes = _mm_max_epi16(lanes, _mm_srli_si128(lanes, 8));
    lanes = _mm_max_epi16(lanes, _mm_srli_si128(lanes, 4));
    lanes = _mm_max_epi16(lanes, _mm_srli_si128(lanes, 2));
    return _mm_cvtsi128_si32(lanes) & 0xffff;
}

} // namespace

void ForwardScaled(const std::uint8_t* const (&picture)[2], const std::uint8_t* const (&prediction)[2],
                   const int (&stride)[2], const float* scale, std::int16_t* const (&coefficients)[2],
                   int (&largest)[2])
{
    __m256i rows[8];
    for (int y = 0; y < 8; ++y)
    {
        rows[y] = LoadRows(picture, stride, y);
        if (prediction[0])
        {
            rows[y] = _mm256_sub_epi16(rows[y], LoadRows(prediction, stride, y));
        }
    }
    __m256i result[8];
    const __m256i magnitudes = ForwardScaledKernel<Avx2>(rows, scale, result);
    for (int h = 0; h < 8; ++h)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients[0] + 8 * h),
                         _mm256_castsi256_si128(result[h]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients[1] + 8 * h),
                         _mm256_extracti128_si256(result[h], 1));
    }
    largest[0] = LargestOf(_mm256_castsi256_si128(magnitudes));
    largest[1] = LargestOf(_mm256_extracti128_si256(magnitudes, 1));
}

void InverseTransposed(const std::int16_t* const (&values)[2], std::uint8_t* const (&pixels)[2],
                       const int (&stride)[2], bool add)
{
    __m256i in[8], residual[8];
    for (int h = 0; h < 8; ++h)
    {
        in[h] = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values[0] + 8 * h))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(values[1] + 8 * h)), 1);
    }
    InverseKernel<Avx2>(in, residual);
    for (int y = 0; y < 8; ++y)
    {
        const __m256i samples =
            add ? _mm256_adds_epi16(LoadRows(pixels, stride, y), residual[y]) : residual[y];
        const __m256i packed = _mm256_packus_epi16(samples, samples);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels[0] + std::ptrdiff_t(y) * stride[0]),
                         _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels[1] + std::ptrdiff_t(y) * stride[1]),
                         _mm256_extracti128_si256(packed, 1));
    }
}

} // namespace VistelCapture::Wmv3Transform::Avx2Pairs
