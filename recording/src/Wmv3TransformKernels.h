#pragma once

// The transform's vector kernels, written once over the vector width: SSE2 holds one 8x8 block in
// eight registers (a row each), AVX2 two blocks side by side (one in each 128-bit half; every
// operation used here stays within its half). Each source file that includes this gets its own
// copies (internal linkage), so the AVX2 file's code never stands in for the SSE2 file's.

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace VistelCapture::Wmv3Transform
{
namespace
{

// A pair of 16-bit factors for a multiply-add: `first` times the even lane, `second` the odd.
constexpr int FactorPair(int first, int second)
{
    return static_cast<int>(static_cast<std::uint32_t>(second) << 16 |
                            (static_cast<std::uint32_t>(first) & 0xffff));
}

// The transpose of the basis (row k giving frequency k; the forward kernel holds it as
// butterflies), which the inverse multiplies by.
constexpr int InverseBasis[8][8] = {{12, 16, 16, 15, 12, 9, 6, 4},     {12, 15, 6, -4, -12, -16, -16, -9},
                                    {12, 9, -6, -16, -12, 4, 16, 15},  {12, 4, -16, -9, 12, 15, -6, -16},
                                    {12, -4, -16, 9, 12, -15, -6, 16}, {12, -9, -6, 16, -12, -4, 16, -15},
                                    {12, -15, 6, 4, -12, 16, -16, 9},  {12, -16, 16, -15, 12, -9, 6, -4}};

#if defined(__SSE2__)
struct Sse2
{
    using I = __m128i;
    static I Add16(I a, I b) { return _mm_add_epi16(a, b); }
    static I Sub16(I a, I b) { return _mm_sub_epi16(a, b); }
    static I Times16(I a, int factor)
    {
        return _mm_mullo_epi16(a, _mm_set1_epi16(static_cast<short>(factor)));
    }
    static I Round16(I a) { return _mm_srai_epi16(_mm_add_epi16(a, _mm_set1_epi16(2)), 2); }
    static I Add32(I a, I b) { return _mm_add_epi32(a, b); }
    static I Shift32(I a, int bias, int shift)
    {
        return _mm_sra_epi32(_mm_add_epi32(a, _mm_set1_epi32(bias)), _mm_cvtsi32_si128(shift));
    }
    static I MultiplyAdd(I a, int factors) { return _mm_madd_epi16(a, _mm_set1_epi32(factors)); }
    static I Packs32(I a, I b) { return _mm_packs_epi32(a, b); }
    static I Low16(I a, I b) { return _mm_unpacklo_epi16(a, b); }
    static I High16(I a, I b) { return _mm_unpackhi_epi16(a, b); }
    static I Low32(I a, I b) { return _mm_unpacklo_epi32(a, b); }
    static I High32(I a, I b) { return _mm_unpackhi_epi32(a, b); }
    static I Low64(I a, I b) { return _mm_unpacklo_epi64(a, b); }
    static I High64(I a, I b) { return _mm_unpackhi_epi64(a, b); }
    // Four times the 32-bit lanes (the forward kernel's quarter) times scale[0..3] and
    // scale[4..7], rounded to 16 bits.
    static I Scale(I low, I high, const float* scale)
    {
        const __m128i first =
            _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_slli_epi32(low, 2)), _mm_loadu_ps(scale)));
        const __m128i second =
            _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_slli_epi32(high, 2)), _mm_loadu_ps(scale + 4)));
        return _mm_packs_epi32(first, second);
    }
    static I Magnitude16(I a) { return _mm_max_epi16(a, _mm_sub_epi16(_mm_setzero_si128(), a)); }
    static I Max16(I a, I b) { return _mm_max_epi16(a, b); }
};
#endif

#if defined(__AVX2__)
struct Avx2
{
    using I = __m256i;
    static I Add16(I a, I b) { return _mm256_add_epi16(a, b); }
    static I Sub16(I a, I b) { return _mm256_sub_epi16(a, b); }
    static I Times16(I a, int factor)
    {
        return _mm256_mullo_epi16(a, _mm256_set1_epi16(static_cast<short>(factor)));
    }
    static I Round16(I a) { return _mm256_srai_epi16(_mm256_add_epi16(a, _mm256_set1_epi16(2)), 2); }
    static I Add32(I a, I b) { return _mm256_add_epi32(a, b); }
    static I Shift32(I a, int bias, int shift)
    {
        return _mm256_sra_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(bias)), _mm_cvtsi32_si128(shift));
    }
    static I MultiplyAdd(I a, int factors) { return _mm256_madd_epi16(a, _mm256_set1_epi32(factors)); }
    static I Packs32(I a, I b) { return _mm256_packs_epi32(a, b); }
    static I Low16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
    static I High16(I a, I b) { return _mm256_unpackhi_epi16(a, b); }
    static I Low32(I a, I b) { return _mm256_unpacklo_epi32(a, b); }
    static I High32(I a, I b) { return _mm256_unpackhi_epi32(a, b); }
    static I Low64(I a, I b) { return _mm256_unpacklo_epi64(a, b); }
    static I High64(I a, I b) { return _mm256_unpackhi_epi64(a, b); }
    static I Scale(I low, I high, const float* scale)
    {
        const __m256 first = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(scale));
        const __m256 second = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(scale + 4));
        return _mm256_packs_epi32(
            _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(low, 2)), first)),
            _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(high, 2)), second)));
    }
    static I Magnitude16(I a) { return _mm256_abs_epi16(a); }
    static I Max16(I a, I b) { return _mm256_max_epi16(a, b); }
};
#endif

// Eight rows of eight 16-bit lanes to eight columns.
template <class V> void Transpose(const typename V::I (&rows)[8], typename V::I (&columns)[8])
{
    using I = typename V::I;
    const I a0 = V::Low16(rows[0], rows[1]), a1 = V::High16(rows[0], rows[1]);
    const I a2 = V::Low16(rows[2], rows[3]), a3 = V::High16(rows[2], rows[3]);
    const I a4 = V::Low16(rows[4], rows[5]), a5 = V::High16(rows[4], rows[5]);
    const I a6 = V::Low16(rows[6], rows[7]), a7 = V::High16(rows[6], rows[7]);
    const I b0 = V::Low32(a0, a2), b1 = V::High32(a0, a2);
    const I b2 = V::Low32(a1, a3), b3 = V::High32(a1, a3);
    const I b4 = V::Low32(a4, a6), b5 = V::High32(a4, a6);
    const I b6 = V::Low32(a5, a7), b7 = V::High32(a5, a7);
    columns[0] = V::Low64(b0, b4);
    columns[1] = V::High64(b0, b4);
    columns[2] = V::Low64(b1, b5);
    columns[3] = V::High64(b1, b5);
    columns[4] = V::Low64(b2, b6);
    columns[5] = V::High64(b2, b6);
    columns[6] = V::Low64(b3, b7);
    columns[7] = V::High64(b3, b7);
}

// The forward transform of rows of samples or differences (at most 255 in magnitude), transposed:
// in 32 bits, horizontal frequency h of vertical frequencies 0-3 in low[h], 4-7 in high[h], four
// times too small (see below).
template <class V>
void ForwardKernel(const typename V::I (&rows)[8], typename V::I (&low)[8], typename V::I (&high)[8])
{
    using I = typename V::I;
    // Down the columns with the butterflies in 16 bits: the sums reach at most 12 * 8 * 255.
    // Rounded to a quarter, the horizontal pass's sums and differences fit 16 bits too, and its
    // products go through multiply-adds of pairs.
    I vertical[8], columns[8];
    {
        const I s0 = V::Add16(rows[0], rows[7]), s1 = V::Add16(rows[1], rows[6]);
        const I s2 = V::Add16(rows[2], rows[5]), s3 = V::Add16(rows[3], rows[4]);
        const I d0 = V::Sub16(rows[0], rows[7]), d1 = V::Sub16(rows[1], rows[6]);
        const I d2 = V::Sub16(rows[2], rows[5]), d3 = V::Sub16(rows[3], rows[4]);
        const I e0 = V::Add16(s0, s3), e1 = V::Add16(s1, s2);
        const I f0 = V::Sub16(s0, s3), f1 = V::Sub16(s1, s2);
        vertical[0] = V::Times16(V::Add16(e0, e1), 12);
        vertical[4] = V::Times16(V::Sub16(e0, e1), 12);
        vertical[2] = V::Add16(V::Times16(f0, 16), V::Times16(f1, 6));
        vertical[6] = V::Sub16(V::Times16(f0, 6), V::Times16(f1, 16));
        vertical[1] = V::Add16(V::Add16(V::Times16(d0, 16), V::Times16(d1, 15)),
                               V::Add16(V::Times16(d2, 9), V::Times16(d3, 4)));
        vertical[3] = V::Sub16(V::Sub16(V::Times16(d0, 15), V::Times16(d1, 4)),
                               V::Add16(V::Times16(d2, 16), V::Times16(d3, 9)));
        vertical[5] = V::Add16(V::Sub16(V::Times16(d0, 9), V::Times16(d1, 16)),
                               V::Add16(V::Times16(d2, 4), V::Times16(d3, 15)));
        vertical[7] = V::Sub16(V::Add16(V::Sub16(V::Times16(d0, 4), V::Times16(d1, 9)), V::Times16(d2, 15)),
                               V::Times16(d3, 16));
        for (int k = 0; k < 8; ++k)
        {
            vertical[k] = V::Round16(vertical[k]);
        }
    }
    Transpose<V>(vertical, columns);
    const I s0 = V::Add16(columns[0], columns[7]), s1 = V::Add16(columns[1], columns[6]);
    const I s2 = V::Add16(columns[2], columns[5]), s3 = V::Add16(columns[3], columns[4]);
    const I d0 = V::Sub16(columns[0], columns[7]), d1 = V::Sub16(columns[1], columns[6]);
    const I d2 = V::Sub16(columns[2], columns[5]), d3 = V::Sub16(columns[3], columns[4]);
    const I e0 = V::Add16(s0, s3), e1 = V::Add16(s1, s2);
    const I f0 = V::Sub16(s0, s3), f1 = V::Sub16(s1, s2);
    const I e[2] = {V::Low16(e0, e1), V::High16(e0, e1)};
    const I f[2] = {V::Low16(f0, f1), V::High16(f0, f1)};
    const I da[2] = {V::Low16(d0, d1), V::High16(d0, d1)};
    const I db[2] = {V::Low16(d2, d3), V::High16(d2, d3)};
    I* out[2] = {low, high};
    for (int half = 0; half < 2; ++half)
    {
        out[half][0] = V::MultiplyAdd(e[half], FactorPair(12, 12));
        out[half][4] = V::MultiplyAdd(e[half], FactorPair(12, -12));
        out[half][2] = V::MultiplyAdd(f[half], FactorPair(16, 6));
        out[half][6] = V::MultiplyAdd(f[half], FactorPair(6, -16));
        out[half][1] = V::Add32(V::MultiplyAdd(da[half], FactorPair(16, 15)),
                                V::MultiplyAdd(db[half], FactorPair(9, 4)));
        out[half][3] = V::Add32(V::MultiplyAdd(da[half], FactorPair(15, -4)),
                                V::MultiplyAdd(db[half], FactorPair(-16, -9)));
        out[half][5] = V::Add32(V::MultiplyAdd(da[half], FactorPair(9, -16)),
                                V::MultiplyAdd(db[half], FactorPair(4, 15)));
        out[half][7] = V::Add32(V::MultiplyAdd(da[half], FactorPair(4, -9)),
                                V::MultiplyAdd(db[half], FactorPair(15, -16)));
    }
}

// The forward transform times scale[i] (64 of them), rounded to 16 bits: coefficients[h] holds
// horizontal frequency h; gives the largest magnitude in each lane.
template <class V>
typename V::I ForwardScaledKernel(const typename V::I (&rows)[8], const float* scale,
                                  typename V::I (&coefficients)[8])
{
    using I = typename V::I;
    I low[8], high[8];
    ForwardKernel<V>(rows, low, high);
    I largest = V::Sub16(rows[0], rows[0]);
    for (int h = 0; h < 8; ++h)
    {
        coefficients[h] = V::Scale(low[h], high[h], scale + 8 * h);
        largest = V::Max16(largest, V::Magnitude16(coefficients[h]));
    }
    return largest;
}

// out[k] = sum over j of InverseBasis[k][j] * in[j], lane by lane, in 32 bits: lanes 0-3 in
// low[k], 4-7 in high[k]. Pairs of rows go through one multiply-add each.
template <class V>
void MultiplyInverseBasis(const typename V::I (&in)[8], typename V::I (&low)[8], typename V::I (&high)[8])
{
    using I = typename V::I;
    I pairsLow[4], pairsHigh[4];
    for (int p = 0; p < 4; ++p)
    {
        pairsLow[p] = V::Low16(in[2 * p], in[2 * p + 1]);
        pairsHigh[p] = V::High16(in[2 * p], in[2 * p + 1]);
    }
    for (int k = 0; k < 8; ++k)
    {
        I sumLow = V::MultiplyAdd(pairsLow[0], FactorPair(InverseBasis[k][0], InverseBasis[k][1]));
        I sumHigh = V::MultiplyAdd(pairsHigh[0], FactorPair(InverseBasis[k][0], InverseBasis[k][1]));
        for (int p = 1; p < 4; ++p)
        {
            const int factors = FactorPair(InverseBasis[k][2 * p], InverseBasis[k][2 * p + 1]);
            sumLow = V::Add32(sumLow, V::MultiplyAdd(pairsLow[p], factors));
            sumHigh = V::Add32(sumHigh, V::MultiplyAdd(pairsHigh[p], factors));
        }
        low[k] = sumLow;
        high[k] = sumHigh;
    }
}

// The decoder's inverse transform of dequantised values kept transposed (values[h] holds
// horizontal frequency h): the residual's rows in 16 bits. Rows of the transposed values are
// columns of the coefficients, so the first pass (along the coefficient rows) runs down them.
template <class V> void InverseKernel(const typename V::I (&values)[8], typename V::I (&residual)[8])
{
    using I = typename V::I;
    I low[8], high[8], rows[8], columns[8];
    MultiplyInverseBasis<V>(values, low, high);
    for (int x = 0; x < 8; ++x)
    {
        rows[x] = V::Packs32(V::Shift32(low[x], 4, 3), V::Shift32(high[x], 4, 3));
    }
    Transpose<V>(rows, columns);
    MultiplyInverseBasis<V>(columns, low, high);
    for (int y = 0; y < 8; ++y)
    {
        const int bias = y < 4 ? 64 : 65;
        residual[y] = V::Packs32(V::Shift32(low[y], bias, 7), V::Shift32(high[y], bias, 7));
    }
}

} // namespace
} // namespace VistelCapture::Wmv3Transform
