#include "YcbcrRows.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>

namespace
{

struct Simd
{
    using V = __m128i;
    static constexpr int pixels = Norvex::Core::VideoCapture::YcbcrRows::sse2Block;

    static V Set(std::int16_t value) noexcept { return _mm_set1_epi16(value); }
    static V Load(const std::uint8_t* from) noexcept
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    }
    static V LoadHalf(const std::uint8_t* from) noexcept
    {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(from)),
                                 _mm_setzero_si128());
    }
    static V And(V a, V b) noexcept { return _mm_and_si128(a, b); }
    static V Xor(V a, V b) noexcept { return _mm_xor_si128(a, b); }
    static V AddS(V a, V b) noexcept { return _mm_adds_epi16(a, b); }
    static V MulHigh(V a, V b) noexcept { return _mm_mulhi_epi16(a, b); }
    template <int Bits> static V ShiftLeft(V a) noexcept { return _mm_slli_epi16(a, Bits); }
    template <int Bits> static V ShiftRight(V a) noexcept { return _mm_srli_epi16(a, Bits); }
    template <int Bits> static V ShiftRightSigned(V a) noexcept { return _mm_srai_epi16(a, Bits); }
    static V PackUs(V a, V b) noexcept { return _mm_packus_epi16(a, b); }
    static V DoubleLow(V a) noexcept { return _mm_unpacklo_epi16(a, a); }
    static V DoubleHigh(V a) noexcept { return _mm_unpackhi_epi16(a, a); }
    static void WidenBytes(V bytes, V& low, V& high) noexcept
    {
        low = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
        high = _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
    }
    static void KernelOrder(V&, V&) noexcept {}
    // Lanes of (first, second) pairs: the firsts of a then b, the seconds likewise.
    static void SplitPairs(V a, V b, V& first, V& second) noexcept
    {
        first = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                                _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
        second = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
    }
    static void StoreBgra(std::uint8_t* target, V blue, V green, V red) noexcept
    {
        const V alpha = _mm_set1_epi8(-1);
        const V blueGreenLow = _mm_unpacklo_epi8(blue, green);
        const V blueGreenHigh = _mm_unpackhi_epi8(blue, green);
        const V redAlphaLow = _mm_unpacklo_epi8(red, alpha);
        const V redAlphaHigh = _mm_unpackhi_epi8(red, alpha);
        auto* out = reinterpret_cast<__m128i*>(target);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(blueGreenLow, redAlphaLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(blueGreenLow, redAlphaLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(blueGreenHigh, redAlphaHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(blueGreenHigh, redAlphaHigh));
    }
};

} // namespace

#include "YcbcrVectorRows.h"

namespace Norvex::Core::VideoCapture::YcbcrRows
{

YcbcrConverter::RowFunction Sse2Row(RowKind kind, bool swapped) noexcept
{
    return ChooseRow(kind, swapped);
}

} // namespace Norvex::Core::VideoCapture::YcbcrRows

#else

namespace Norvex::Core::VideoCapture::YcbcrRows
{

YcbcrConverter::RowFunction Sse2Row(RowKind, bool) noexcept
{
    return nullptr;
}

} // namespace Norvex::Core::VideoCapture::YcbcrRows

#endif
