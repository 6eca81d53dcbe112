// Compiled with -mavx2 (see CMakeLists.txt); called only when the processor has AVX2.
#include "YcbcrRows.h"

#if defined(__AVX2__)
#include <immintrin.h>

namespace
{

// 256-bit unpacks and packs work within each 128-bit half: a block's 32 luma levels are held
// as pixels 0-7 and 16-23 in one register, 8-15 and 24-31 in the other, which a chroma register
// in memory order doubled with unpacks matches, and the packs then restore memory order.
struct Simd
{
    using V = __m256i;
    static constexpr int pixels = Norvex::Core::VideoCapture::YcbcrRows::avx2Block;

    static V Set(std::int16_t value) noexcept { return _mm256_set1_epi16(value); }
    static V Load(const std::uint8_t* from) noexcept
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    }
    static V LoadHalf(const std::uint8_t* from) noexcept
    {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    }
    static V And(V a, V b) noexcept { return _mm256_and_si256(a, b); }
    static V Xor(V a, V b) noexcept { return _mm256_xor_si256(a, b); }
    static V AddS(V a, V b) noexcept { return _mm256_adds_epi16(a, b); }
    static V MulHigh(V a, V b) noexcept { return _mm256_mulhi_epi16(a, b); }
    template <int Bits> static V ShiftLeft(V a) noexcept { return _mm256_slli_epi16(a, Bits); }
    template <int Bits> static V ShiftRight(V a) noexcept { return _mm256_srli_epi16(a, Bits); }
    template <int Bits> static V ShiftRightSigned(V a) noexcept { return _mm256_srai_epi16(a, Bits); }
    static V PackUs(V a, V b) noexcept { return _mm256_packus_epi16(a, b); }
    static V DoubleLow(V a) noexcept { return _mm256_unpacklo_epi16(a, a); }
    static V DoubleHigh(V a) noexcept { return _mm256_unpackhi_epi16(a, a); }
    static void WidenBytes(V bytes, V& low, V& high) noexcept
    {
        low = _mm256_unpacklo_epi8(bytes, _mm256_setzero_si256());
        high = _mm256_unpackhi_epi8(bytes, _mm256_setzero_si256());
    }
    // From pixels 0-15 and 16-31 to the unpack order.
    static void KernelOrder(V& low, V& high) noexcept
    {
        const V first = low;
        low = _mm256_permute2x128_si256(first, high, 0x20);
        high = _mm256_permute2x128_si256(first, high, 0x31);
    }
    static void SplitPairs(V a, V b, V& first, V& second) noexcept
    {
        // The packs interleave the halves' quarters: 0, 2, 1, 3 puts them back in memory order.
        first = _mm256_permute4x64_epi64(_mm256_packs_epi32(_mm256_srai_epi32(_mm256_slli_epi32(a, 16), 16),
                                                            _mm256_srai_epi32(_mm256_slli_epi32(b, 16), 16)),
                                         0xD8);
        second = _mm256_permute4x64_epi64(
            _mm256_packs_epi32(_mm256_srai_epi32(a, 16), _mm256_srai_epi32(b, 16)), 0xD8);
    }
    static void StoreBgra(std::uint8_t* target, V blue, V green, V red) noexcept
    {
        const V alpha = _mm256_set1_epi8(-1);
        const V blueGreenLow = _mm256_unpacklo_epi8(blue, green);  // pixels 0-7, 16-23
        const V blueGreenHigh = _mm256_unpackhi_epi8(blue, green); // 8-15, 24-31
        const V redAlphaLow = _mm256_unpacklo_epi8(red, alpha);
        const V redAlphaHigh = _mm256_unpackhi_epi8(red, alpha);
        const V p0 = _mm256_unpacklo_epi16(blueGreenLow, redAlphaLow);   // 0-3, 16-19
        const V p1 = _mm256_unpackhi_epi16(blueGreenLow, redAlphaLow);   // 4-7, 20-23
        const V p2 = _mm256_unpacklo_epi16(blueGreenHigh, redAlphaHigh); // 8-11, 24-27
        const V p3 = _mm256_unpackhi_epi16(blueGreenHigh, redAlphaHigh); // 12-15, 28-31
        auto* out = reinterpret_cast<__m256i*>(target);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(p0, p1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
};

} // namespace

#include "YcbcrVectorRows.h"

namespace Norvex::Core::VideoCapture::YcbcrRows
{

YcbcrConverter::RowFunction Avx2Row(RowKind kind, bool swapped) noexcept
{
    return ChooseRow(kind, swapped);
}

} // namespace Norvex::Core::VideoCapture::YcbcrRows

#else

namespace Norvex::Core::VideoCapture::YcbcrRows
{

YcbcrConverter::RowFunction Avx2Row(RowKind, bool) noexcept
{
    return nullptr;
}

} // namespace Norvex::Core::VideoCapture::YcbcrRows

#endif
