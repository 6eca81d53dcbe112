// P pictures: motion search, the prediction the decoder forms from the reference, the residual,
// skipped macroblocks and the P picture layer.

#include "Wmv3Encoder.h"

#include "Wmv3InterSyntax.h"
#include "Wmv3Tables.h"
#include "Wmv3Transform.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <tuple>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace VistelCapture
{
namespace
{

namespace Tables = Wmv3Tables;
namespace Transform = Wmv3Transform;
using namespace Wmv3InterSyntax;

// The inter scan, transposed as the levels are kept.
const std::array<std::uint8_t, 64> interScan = []
{
    std::array<std::uint8_t, 64> result{};
    for (int i = 0; i < 64; ++i)
    {
        result[i] = static_cast<std::uint8_t>(Transform::Transposed(Tables::InterScan[i]));
    }
    return result;
}();

// Where each stored position comes in the inter scan.
const std::array<std::uint8_t, 64> interScanIndex = Transform::ScanIndex(interScan);

// Vectors stay this far from zero (whole pixels), inside the format's range of 64 by 32.
constexpr int MaximumVectorX = 60;
constexpr int MaximumVectorY = 28;

int Sad16(const std::uint8_t* a, int aStride, const std::uint8_t* b, int bStride)
{
#if defined(__SSE2__)
    __m128i sum = _mm_setzero_si128();
    for (int y = 0; y < 16; ++y)
    {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + std::ptrdiff_t(y) * aStride));
        const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + std::ptrdiff_t(y) * bStride));
        sum = _mm_add_epi64(sum, _mm_sad_epu8(x, z));
    }
    return _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
#else
    int sum = 0;
    for (int y = 0; y < 16; ++y)
    {
        for (int x = 0; x < 16; ++x)
        {
            sum += std::abs(a[std::ptrdiff_t(y) * aStride + x] - b[std::ptrdiff_t(y) * bStride + x]);
        }
    }
    return sum;
#endif
}

int Sad8(const std::uint8_t* a, int aStride, const std::uint8_t* b, int bStride)
{
#if defined(__SSE2__)
    __m128i sum = _mm_setzero_si128();
    for (int y = 0; y < 8; ++y)
    {
        const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + std::ptrdiff_t(y) * aStride));
        const __m128i z = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + std::ptrdiff_t(y) * bStride));
        sum = _mm_add_epi64(sum, _mm_sad_epu8(x, z));
    }
    return _mm_cvtsi128_si32(sum);
#else
    int sum = 0;
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            sum += std::abs(a[std::ptrdiff_t(y) * aStride + x] - b[std::ptrdiff_t(y) * bStride + x]);
        }
    }
    return sum;
#endif
}

// The luma prediction of a 16 x 16 block at a vector in quarter pixels (half pixels only): a
// copy, or the average of two or four samples, rounded up unless the picture's RND asks for the
// rounding down, as the decoder's half-pixel filter does. `source` points at the whole-pixel part.
void PredictLuma16(const std::uint8_t* source, int sourceStride, int vx, int vy, bool roundDown,
                   std::uint8_t* target, int targetStride)
{
    const bool halfX = (vx & 2) != 0, halfY = (vy & 2) != 0;
    if (!halfX && !halfY)
    {
        for (int y = 0; y < 16; ++y)
        {
            std::memcpy(target + std::ptrdiff_t(y) * targetStride, source + std::ptrdiff_t(y) * sourceStride,
                        16);
        }
        return;
    }
    const std::ptrdiff_t right = halfX ? 1 : 0, below = halfY ? sourceStride : 0;
    const int shift = halfX && halfY ? 2 : 1;
    const int bias = halfX && halfY ? (roundDown ? 1 : 2) : (roundDown ? 0 : 1);
#if defined(__SSE2__)
    if (halfX != halfY)
    {
        // Two samples: the byte average rounds up; one less where the sum was odd rounds down.
        const __m128i one = _mm_set1_epi8(1);
        const std::ptrdiff_t other = right + below;
        for (int y = 0; y < 16; ++y)
        {
            const std::uint8_t* row = source + std::ptrdiff_t(y) * sourceStride;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + other));
            __m128i average = _mm_avg_epu8(a, b);
            if (roundDown)
            {
                average = _mm_sub_epi8(average, _mm_and_si128(_mm_xor_si128(a, b), one));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(target + std::ptrdiff_t(y) * targetStride), average);
        }
        return;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i biasVector = _mm_set1_epi16(static_cast<short>(bias));
    const __m128i shiftCount = _mm_cvtsi32_si128(shift);
    for (int y = 0; y < 16; ++y)
    {
        const std::uint8_t* row = source + std::ptrdiff_t(y) * sourceStride;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + right));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + below));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + below + right));
        // Four samples (the two-sample cases returned above).
        __m128i low = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
        __m128i high = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
        low = _mm_add_epi16(low, _mm_add_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(d, zero)));
        high = _mm_add_epi16(high, _mm_add_epi16(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(d, zero)));
        low = _mm_srl_epi16(_mm_add_epi16(low, biasVector), shiftCount);
        high = _mm_srl_epi16(_mm_add_epi16(high, biasVector), shiftCount);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + std::ptrdiff_t(y) * targetStride),
                         _mm_packus_epi16(low, high));
    }
#else
    for (int y = 0; y < 16; ++y)
    {
        const std::uint8_t* row = source + std::ptrdiff_t(y) * sourceStride;
        for (int x = 0; x < 16; ++x)
        {
            int sum = row[x] + (halfX ? row[x + right] : row[x + below]);
            if (halfX && halfY)
            {
                sum += row[x + below] + row[x + below + right];
            }
            target[std::ptrdiff_t(y) * targetStride + x] = static_cast<std::uint8_t>((sum + bias) >> shift);
        }
    }
#endif
}

// What the search compares at a half-pixel vector: the SAD of the current block against the
// reference averaged as the decoder does, but with pairwise byte averages (one level off at worst
// for four samples) instead of the exact filter. A cost only ranks candidates; the chosen vector's
// prediction is then formed exactly.
int SadHalfPixel16(const std::uint8_t* current, int stride, const std::uint8_t* source, int sourceStride,
                   int vx, int vy, bool roundDown, std::uint8_t (&scratch)[16 * 16])
{
#if defined(__SSE2__)
    (void)roundDown;
    (void)scratch;
    const bool halfX = (vx & 2) != 0, halfY = (vy & 2) != 0;
    const auto load = [](const std::uint8_t* at)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    const auto row = [&](int y)
    {
        const std::uint8_t* at = source + std::ptrdiff_t(y) * sourceStride;
        return halfX ? _mm_avg_epu8(load(at), load(at + 1)) : load(at);
    };
    __m128i sum = _mm_setzero_si128();
    __m128i above = row(0);
    for (int y = 0; y < 16; ++y)
    {
        __m128i predicted = above;
        if (halfY)
        {
            const __m128i below = row(y + 1);
            predicted = _mm_avg_epu8(above, below);
            above = below;
        }
        else if (y < 15)
        {
            above = row(y + 1);
        }
        sum = _mm_add_epi64(sum, _mm_sad_epu8(load(current + std::ptrdiff_t(y) * stride), predicted));
    }
    return _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
#else
    PredictLuma16(source, sourceStride, vx, vy, roundDown, scratch, 16);
    return Sad16(current, stride, scratch, 16);
#endif
}

int Median(int a, int b, int c)
{
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The chroma vector the decoder derives from a luma vector (quarter pixels of chroma), with the
// fast chroma rounding towards zero to half pixels that the Simple profile requires.
int ChromaComponent(int luma)
{
    int chroma = (luma + ((luma & 3) == 3 ? 1 : 0)) >> 1;
    chroma += chroma < 0 ? (chroma & 1) : -(chroma & 1);
    return chroma;
}

} // namespace

void Wmv3Encoder::LoadPredicted(const ConstPlanes& picture, int likelyPquant)
{
    StartLoad();
    if (!hasReference)
    {
        throw std::logic_error("Wmv3Encoder: a P picture needs a picture before it");
    }
    loadedPredicted = true;
    rounding = !referenceRounding;
    PadInput(picture);
    const int quant = std::clamp(likelyPquant, 1, 31);
    pquantHint = quant;
    // A block whose differences add up to less than this keeps no level at that quantiser.
    const int stillBlock = 3 * quant;
    double vectorBits = 0;
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            const int mbIndex = mby * mbWidth + mbx;
            InterMacroblock& mb = inter[mbIndex];
            mb = {};
            // The decoder's prediction from the left (C), above (A) and above right (B).
            const bool aValid = mby > 0, cValid = mbx > 0, bValid = aValid && mbWidth > 1;
            const MotionVector a = aValid ? inter[mbIndex - mbWidth].vector : MotionVector{};
            const MotionVector c = cValid ? inter[mbIndex - 1].vector : MotionVector{};
            const MotionVector b =
                bValid ? inter[mbIndex - mbWidth + (mbx == mbWidth - 1 ? -1 : 1)].vector : MotionVector{};
            MotionVector predicted = aValid ? a : cValid ? c : MotionVector{};
            if (int(aValid) + int(bValid) + int(cValid) > 1)
            {
                predicted = {Median(a.x, b.x, c.x), Median(a.y, b.y, c.y)};
            }
            // Pulled back to point no further than just outside the picture.
            const int qx = mbx * 64, qy = mby * 64;
            predicted.x = std::clamp(predicted.x, -60 - qx, mbWidth * 64 - 4 - qx);
            predicted.y = std::clamp(predicted.y, -60 - qy, mbHeight * 64 - 4 - qy);
            bool hybrid = false;
            if (aValid && cValid)
            {
                hybrid = std::abs(predicted.x - a.x) + std::abs(predicted.y - a.y) > 32 ||
                         std::abs(predicted.x - c.x) + std::abs(predicted.y - c.y) > 32;
            }

            // Still macroblocks first: the vector a skipped macroblock would take.
            const MotionVector start = hybrid ? a : predicted;
            mb.vector = SearchMotion(mbx, mby, start, 4 * stillBlock);
            if (hybrid)
            {
                // The bit picks the neighbour nearer the vector: 1 above, 0 left.
                const bool useA = std::abs(mb.vector.x - a.x) + std::abs(mb.vector.y - a.y) <=
                                  std::abs(mb.vector.x - c.x) + std::abs(mb.vector.y - c.y);
                mb.hybrid = useA ? 1 : 0;
                mb.predictor = useA ? a : c;
            }
            else
            {
                mb.predictor = predicted;
            }
            PredictMacroblock(mbx, mby, mb.vector);

            mb.still = mb.vector == mb.predictor;
            for (int block = 0; block < 6 && mb.still; ++block)
            {
                const int plane = block < 4 ? 0 : block - 3;
                const int x0 = plane ? 8 * mbx : 16 * mbx + 8 * (block & 1);
                const int y0 = plane ? 8 * mby : 16 * mby + 8 * (block >> 1);
                const std::size_t offset = std::size_t(y0) * paddedStride[plane] + x0;
                mb.still = Sad8(padded[plane].data() + offset, paddedStride[plane],
                                prediction[plane].data() + offset, paddedStride[plane]) < stillBlock;
            }
            if (mb.still)
            {
                vectorBits += 1;
                continue;
            }
            const VectorCode code =
                CodeVector((mb.vector.x - mb.predictor.x) / 2, (mb.vector.y - mb.predictor.y) / 2);
            vectorBits += 6 + code.extraBits + (mb.hybrid >= 0 ? 1 : 0);
            TransformResidual(mbIndex);
        }
    }
    overheadBits = 64 + vectorBits;
    FinishHistogram();
}

Wmv3Encoder::MotionVector Wmv3Encoder::SearchMotion(int mbx, int mby, MotionVector start, int stillLimit)
{
    const int stride = paddedStride[0];
    const int x0 = 16 * mbx, y0 = 16 * mby;
    const std::uint8_t* current = padded[0].data() + std::size_t(y0) * stride + x0;
    const std::uint8_t* base = reference[0].data();
    const int maxX = 16 * mbWidth - 16, maxY = 16 * mbHeight - 16;
    std::uint8_t interpolated[16 * 16];
    // Vectors in quarter pixels, half pixels at the finest; every candidate keeps the block and
    // the samples its filter reads inside the reference, so the decoder never extends its edges.
    const auto cost = [&](int vx, int vy)
    {
        const int ix = x0 + (vx >> 2), iy = y0 + (vy >> 2);
        const int halfX = (vx & 2) >> 1, halfY = (vy & 2) >> 1;
        if (std::abs(vx) > 4 * MaximumVectorX || std::abs(vy) > 4 * MaximumVectorY || ix < 0 || iy < 0 ||
            ix + halfX > maxX || iy + halfY > maxY)
        {
            return INT_MAX;
        }
        const std::uint8_t* source = base + std::ptrdiff_t(iy) * stride + ix;
        const int sad = halfX || halfY
                            ? SadHalfPixel16(current, stride, source, stride, vx, vy, rounding, interpolated)
                            : Sad16(current, stride, source, stride);
        // A vector away from the prediction costs bits.
        return sad + (vx == start.x && vy == start.y
                          ? 0
                          : 4 * pquantHint + (std::abs(vx - start.x) + std::abs(vy - start.y)) / 2);
    };
    const int mbIndex = mby * mbWidth + mbx;
    int bestX = start.x, bestY = start.y;
    int best = cost(start.x, start.y);
    inter[mbIndex].searchCost = best;
    if (best <= stillLimit)
    {
        return start;
    }
    const auto consider = [&](int vx, int vy)
    {
        const int c = cost(vx, vy);
        if (c < best)
        {
            best = c;
            bestX = vx;
            bestY = vy;
        }
    };
    consider(0, 0);
    if (mbx > 0)
    {
        consider(inter[mbIndex - 1].vector.x, inter[mbIndex - 1].vector.y);
    }
    if (mby > 0)
    {
        consider(inter[mbIndex - mbWidth].vector.x, inter[mbIndex - mbWidth].vector.y);
        if (mbx + 1 < mbWidth)
        {
            consider(inter[mbIndex - mbWidth + 1].vector.x, inter[mbIndex - mbWidth + 1].vector.y);
        }
    }
    // A neighbour's vector that fits as well as the left or upper neighbour's own did ends the
    // search: the motion is theirs, and what is left over is what they could not predict either
    // (a noisy picture's noise).
    const int leftCost = mbx > 0 ? inter[mbIndex - 1].searchCost : -1;
    const int aboveCost = mby > 0 ? inter[mbIndex - mbWidth].searchCost : -1;
    if (best <= std::max(leftCost, aboveCost))
    {
        inter[mbIndex].searchCost = best;
        return {bestX, bestY};
    }
    // A diamond from the best so far, down to whole pixels, then the half pixels around it. Where a
    // candidate already fits well (an average difference below 6 levels) the motion is known to
    // about a pixel, and the wide steps are left out.
    const bool fitsWell = best < 6 * 256;
    for (int step : {32, 16, 8, 4})
    {
        if (fitsWell && step > 8)
        {
            continue;
        }
        for (int round = 0; round < 8; ++round)
        {
            const int cx = bestX, cy = bestY;
            consider(cx + step, cy);
            consider(cx - step, cy);
            consider(cx, cy + step);
            consider(cx, cy - step);
            if (bestX == cx && bestY == cy)
            {
                break;
            }
        }
    }
    // The four half pixels beside the best whole pixel, then the one diagonal between the better
    // side of each axis (the other three diagonals rarely win and cost as much).
    const int cx = bestX, cy = bestY;
    const int right = cost(cx + 2, cy), left = cost(cx - 2, cy);
    const int down = cost(cx, cy + 2), up = cost(cx, cy - 2);
    const int hx = right <= left ? 2 : -2, hy = down <= up ? 2 : -2;
    for (const auto& [vx, vy, c] : {std::tuple{cx + 2, cy, right}, std::tuple{cx - 2, cy, left},
                                    std::tuple{cx, cy + 2, down}, std::tuple{cx, cy - 2, up}})
    {
        if (c < best)
        {
            best = c;
            bestX = vx;
            bestY = vy;
        }
    }
    consider(cx + hx, cy + hy);
    inter[mbIndex].searchCost = best;
    return {bestX, bestY};
}

void Wmv3Encoder::PredictMacroblock(int mbx, int mby, MotionVector vector)
{
    // Luma: a copy, or the half-pixel average.
    {
        const int stride = paddedStride[0];
        const std::uint8_t* source = reference[0].data() +
                                     std::ptrdiff_t(16 * mby + (vector.y >> 2)) * stride + 16 * mbx +
                                     (vector.x >> 2);
        std::uint8_t* target = prediction[0].data() + std::size_t(16 * mby) * stride + 16 * mbx;
        PredictLuma16(source, stride, vector.x, vector.y, rounding, target, stride);
    }
    // Chroma: bilinear in quarter pixels, rounding as the picture's RND says; samples beyond the
    // edge repeat it.
    const int cx = ChromaComponent(vector.x), cy = ChromaComponent(vector.y);
    const int sourceX = std::clamp(8 * mbx + (cx >> 2), -8, 8 * mbWidth);
    const int sourceY = std::clamp(8 * mby + (cy >> 2), -8, 8 * mbHeight);
    const int fx = (cx & 3) << 1, fy = (cy & 3) << 1;
    const int wa = (8 - fx) * (8 - fy), wb = fx * (8 - fy), wc = (8 - fx) * fy, wd = fx * fy;
    const int bias = rounding ? 28 : 32;
    const int stride = paddedStride[1];
    const int lastX = 8 * mbWidth - 1, lastY = 8 * mbHeight - 1;
    const bool inside = sourceX >= 0 && sourceY >= 0 && sourceX + 8 <= lastX && sourceY + 8 <= lastY;
    for (int plane = 1; plane < 3; ++plane)
    {
        const std::uint8_t* source = reference[plane].data();
        std::uint8_t* target = prediction[plane].data() + std::size_t(8 * mby) * stride + 8 * mbx;
        if (inside)
        {
            const std::uint8_t* from = source + std::size_t(sourceY) * stride + sourceX;
#if defined(__SSE2__)
            // Sums stay below 64 * 255, so eight samples at a time in 16 bits.
            const __m128i zero = _mm_setzero_si128();
            const __m128i weightA = _mm_set1_epi16(static_cast<short>(wa)),
                          weightB = _mm_set1_epi16(static_cast<short>(wb)),
                          weightC = _mm_set1_epi16(static_cast<short>(wc)),
                          weightD = _mm_set1_epi16(static_cast<short>(wd)),
                          biasVector = _mm_set1_epi16(static_cast<short>(bias));
            const auto load = [&](const std::uint8_t* at)
            {
                return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)), zero);
            };
            for (int y = 0; y < 8; ++y, from += stride, target += stride)
            {
                __m128i sum = _mm_add_epi16(_mm_mullo_epi16(load(from), weightA),
                                            _mm_mullo_epi16(load(from + 1), weightB));
                sum = _mm_add_epi16(sum, _mm_mullo_epi16(load(from + stride), weightC));
                sum = _mm_add_epi16(sum, _mm_mullo_epi16(load(from + stride + 1), weightD));
                sum = _mm_srli_epi16(_mm_add_epi16(sum, biasVector), 6);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(target), _mm_packus_epi16(sum, zero));
            }
            continue;
#endif
            for (int y = 0; y < 8; ++y, from += stride, target += stride)
            {
                if (wd == 0 && wb == 0 && wc == 0)
                {
                    std::memcpy(target, from, 8);
                    continue;
                }
                for (int x = 0; x < 8; ++x)
                {
                    target[x] =
                        static_cast<std::uint8_t>((wa * from[x] + wb * from[x + 1] + wc * from[x + stride] +
                                                   wd * from[x + stride + 1] + bias) >>
                                                  6);
                }
            }
            continue;
        }
        for (int y = 0; y < 8; ++y)
        {
            const std::uint8_t* row0 = source + std::size_t(std::clamp(sourceY + y, 0, lastY)) * stride;
            const std::uint8_t* row1 = source + std::size_t(std::clamp(sourceY + y + 1, 0, lastY)) * stride;
            for (int x = 0; x < 8; ++x)
            {
                const int left = std::clamp(sourceX + x, 0, lastX),
                          right = std::clamp(sourceX + x + 1, 0, lastX);
                target[std::size_t(y) * stride + x] = static_cast<std::uint8_t>(
                    (wa * row0[left] + wb * row0[right] + wc * row1[left] + wd * row1[right] + bias) >> 6);
            }
        }
    }
}

void Wmv3Encoder::TransformResidual(int mbIndex)
{
    const int mbx = mbIndex % mbWidth, mby = mbIndex / mbWidth;
    // The blocks to transform, two at a time.
    int count = 0;
    int which[6];
    const std::uint8_t* pictures[6];
    const std::uint8_t* predictions[6];
    int strides[6];
    for (int b = 0; b < 6; ++b)
    {
        const int plane = b < 4 ? 0 : b - 3;
        const int x0 = plane ? 8 * mbx : 16 * mbx + 8 * (b & 1);
        const int y0 = plane ? 8 * mby : 16 * mby + 8 * (b >> 1);
        const int stride = paddedStride[plane];
        const std::size_t offset = std::size_t(y0) * stride + x0;
        const std::uint8_t* picture = padded[plane].data() + offset;
        const std::uint8_t* predicted = prediction[plane].data() + offset;
        // A block that differs this little from its prediction keeps a level at the likely
        // quantiser about once in a hundred (sensor noise is most of such a difference): it is
        // taken as unchanged, untransformed, as most of a noisy picture's blocks are.
        if (Sad8(picture, stride, predicted, stride) < 17 * pquantHint)
        {
            largestCoefficients[std::size_t(6 * mbIndex + b)] = 0;
            continue;
        }
        which[count] = b;
        pictures[count] = picture;
        predictions[count] = predicted;
        strides[count] = stride;
        ++count;
    }
    for (int n = 0; n < count; n += 2)
    {
        std::int16_t* target = &coefficients[std::size_t(6 * mbIndex + which[n]) * 64];
        int largest[2];
        if (n + 1 < count)
        {
            Transform::ForwardScaledPair(
                {pictures[n], pictures[n + 1]}, {predictions[n], predictions[n + 1]},
                {strides[n], strides[n + 1]}, coefficientScale.data(),
                {target, &coefficients[std::size_t(6 * mbIndex + which[n + 1]) * 64]}, largest);
        }
        else
        {
            largest[0] = Transform::ForwardScaled(pictures[n], predictions[n], strides[n],
                                                  coefficientScale.data(), target);
        }
        for (int k = n; k < std::min(n + 2, count); ++k)
        {
            const int b = which[k];
            largestCoefficients[std::size_t(6 * mbIndex + b)] = static_cast<std::int16_t>(largest[k - n]);
            if (b == (mbIndex & 3) || b == 4 + (mbIndex & 1))
            {
                CountMagnitudes(&coefficients[std::size_t(6 * mbIndex + b) * 64], 0, b < 4 ? 2 : 1);
            }
        }
    }
}

void Wmv3Encoder::AnalyseInterMacroblock(int mbIndex, const PictureSettings& settings)
{
    InterMacroblock& mb = inter[mbIndex];
    mb.pattern = 0;
    if (!mb.still)
    {
        const Transform::Quantiser quantiser(
            CoefficientOne * acStep,
            std::clamp(InterRounding(settings.acRounding), LowestAcRounding, 0.5) -
                (nonUniform ? double(pquant) / acStep : 0.0),
            pquant < 8 ? 2047 : 255);
        for (int b = 0; b < 6; ++b)
        {
            const std::int16_t* flat = &coefficients[std::size_t(6 * mbIndex + b) * 64];
            Block& block = blocks[6 * mbIndex + b];
            // Below this magnitude every level is zero: most blocks of a moving picture end here.
            if (largestCoefficients[std::size_t(6 * mbIndex + b)] < quantiser.smallest)
            {
                block.coded = false;
                block.eventCount = 0;
                continue;
            }
            // The events carry the levels on to the reconstruction.
            std::int16_t level[64];
            AppendEvents(block, level, Transform::Quantise(flat, quantiser, level), 0, interScan.data(),
                         interScanIndex.data());
            if (block.coded)
            {
                mb.pattern = static_cast<std::uint8_t>(mb.pattern | 1 << (5 - b));
            }
        }
    }
    mb.skipped = mb.pattern == 0 && mb.vector == mb.predictor;
    statistics.skippedMacroblocks += mb.skipped ? 1 : 0;
    statistics.halfPixelVectors += !mb.skipped && ((mb.vector.x | mb.vector.y) & 2) ? 1 : 0;
}

void Wmv3Encoder::ChooseInterTables(PictureSettings& settings, int& motionTable, int& patternTable)
{
    entropy.Start(pquant, maxEscapeRun, maxEscapeLevel);
    std::array<std::int64_t, 3> setBits{};
    std::array<std::int64_t, 4> motionBits{}, patternBits{};
    for (std::size_t mb = 0; mb < inter.size(); ++mb)
    {
        const InterMacroblock& m = inter[mb];
        if (m.skipped)
        {
            continue;
        }
        const int symbol =
            VectorSymbol(CodeVector((m.vector.x - m.predictor.x) / 2, (m.vector.y - m.predictor.y) / 2).index,
                         m.pattern != 0);
        for (int t = 0; t < 4; ++t)
        {
            motionBits[t] += Tables::MotionDifference[t][symbol].length;
            patternBits[t] += m.pattern ? Tables::CodedBlockPatternP[t][m.pattern].length : 0;
        }
        for (int b = 0; b < 6; ++b)
        {
            const Block& block = blocks[6 * mb + b];
            if (!(m.pattern & 1 << (5 - b)))
            {
                continue;
            }
            for (std::uint32_t e = block.firstEvent; e < block.firstEvent + block.eventCount; ++e)
            {
                for (int selector = 0; selector < 3; ++selector)
                {
                    setBits[selector] +=
                        entropy.EventBits(Wmv3EntropyCoder::ChromaSet(selector, settings.pqIndex), events[e]);
                }
            }
        }
    }
    if (settings.chromaSelector < 0)
    {
        settings.chromaSelector =
            static_cast<int>(std::min_element(setBits.begin(), setBits.end()) - setBits.begin());
    }
    settings.chromaSelector = std::clamp(settings.chromaSelector, 0, 2);
    settings.lumaSelector = settings.chromaSelector;
    motionTable =
        static_cast<int>(std::min_element(motionBits.begin(), motionBits.end()) - motionBits.begin());
    patternTable =
        static_cast<int>(std::min_element(patternBits.begin(), patternBits.end()) - patternBits.begin());
}

void Wmv3Encoder::WritePredictedPicture(const PictureSettings& requested, std::vector<std::uint8_t>& packet)
{
    PictureSettings settings = requested;
    int motionTable = 0, patternTable = 0;
    ChooseInterTables(settings, motionTable, patternTable);
    packet.clear();
    packet.reserve(events.size() * 2 + inter.size() + 64);
    Wmv3BitWriter writer(packet);
    writer.Put(frameCount & 3, 2); // picture counter
    writer.Put(1, 1);              // P picture
    writer.Put(static_cast<std::uint32_t>(settings.pqIndex), 5);
    if (settings.pqIndex <= 8)
    {
        writer.Put(settings.halfStep ? 1 : 0, 1);
    }
    if (quantizer == Quantizer::Explicit)
    {
        writer.Put(nonUniform ? 0 : 1, 1);
    }
    // One vector per macroblock in half pixels, bilinear: its code depends on the quantiser.
    if (pquant > 12)
    {
        writer.Put(1, 1);
    }
    else
    {
        writer.Put(0, 4);
    }
    std::vector<std::uint8_t> skips(inter.size());
    for (std::size_t mb = 0; mb < inter.size(); ++mb)
    {
        skips[mb] = inter[mb].skipped ? 1 : 0;
    }
    PutBitplane(writer, skips, mbWidth, mbHeight);
    writer.Put(static_cast<std::uint32_t>(motionTable), 2);
    writer.Put(static_cast<std::uint32_t>(patternTable), 2);
    Wmv3EntropyCoder::PutSelector(writer, settings.chromaSelector);
    writer.Put(0, 1); // DC table: no intra blocks here

    const int set = Wmv3EntropyCoder::ChromaSet(settings.chromaSelector, settings.pqIndex);
    statistics.lumaSelector = statistics.chromaSelector = settings.chromaSelector;
    for (std::size_t mb = 0; mb < inter.size(); ++mb)
    {
        const InterMacroblock& m = inter[mb];
        if (!m.skipped)
        {
            const int dx = (m.vector.x - m.predictor.x) / 2, dy = (m.vector.y - m.predictor.y) / 2;
            const VectorCode code = CodeVector(dx, dy);
            writer.Put(Tables::MotionDifference[motionTable][VectorSymbol(code.index, m.pattern != 0)]);
            if (code.index == 35)
            {
                writer.Put(static_cast<std::uint32_t>(dx & 255), 8);
                writer.Put(static_cast<std::uint32_t>(dy & 127), 7);
            }
            else
            {
                PutDifference(writer, dx);
                PutDifference(writer, dy);
            }
        }
        if (m.hybrid >= 0)
        {
            writer.Put(static_cast<std::uint32_t>(m.hybrid), 1);
        }
        if (m.skipped || m.pattern == 0)
        {
            continue;
        }
        writer.Put(Tables::CodedBlockPatternP[patternTable][m.pattern]);
        for (int b = 0; b < 6; ++b)
        {
            if (m.pattern & 1 << (5 - b))
            {
                const Block& block = blocks[6 * mb + b];
                entropy.PutEvents(writer, set, std::span(events).subspan(block.firstEvent, block.eventCount),
                                  statistics.escapes);
            }
        }
    }
    statistics.bits = writer.Written();
    writer.Finish();
}

void Wmv3Encoder::ReconstructPredicted(bool final)
{
    if (final)
    {
        // The next P picture predicts every macroblock afresh, so the prediction's planes can
        // become the reconstruction without a copy.
        std::swap(reconstructed, prediction);
    }
    else
    {
        for (int plane = 0; plane < 3; ++plane)
        {
            std::memcpy(reconstructed[plane].data(), prediction[plane].data(), prediction[plane].size());
        }
    }
    // Coded blocks go back through the inverse transform two at a time.
    const int widen = nonUniform ? pquant : 0;
    std::int16_t values[2][64];
    std::uint8_t* pixels[2];
    int strides[2];
    int pending = 0;
    for (std::size_t mb = 0; mb < inter.size(); ++mb)
    {
        const InterMacroblock& m = inter[mb];
        const int mbx = static_cast<int>(mb) % mbWidth, mby = static_cast<int>(mb) / mbWidth;
        for (int b = 0; b < 6; ++b)
        {
            if (!(m.pattern & 1 << (5 - b)))
            {
                continue;
            }
            const int plane = b < 4 ? 0 : b - 3;
            const int x0 = plane ? 8 * mbx : 16 * mbx + 8 * (b & 1);
            const int y0 = plane ? 8 * mby : 16 * mby + 8 * (b >> 1);
            const int stride = paddedStride[plane];
            // From the block's events, which are few and in order, rather than from its levels.
            std::int16_t* value = values[pending];
            std::fill_n(value, 64, std::int16_t(0));
            const Block& block = blocks[6 * mb + b];
            int index = -1;
            for (std::uint32_t e = block.firstEvent; e < block.firstEvent + block.eventCount; ++e)
            {
                index += events[e].run + 1;
                const int level = events[e].level;
                value[interScan[index]] =
                    static_cast<std::int16_t>(level * acStep + (level > 0 ? widen : -widen));
            }
            pixels[pending] = reconstructed[plane].data() + std::size_t(y0) * stride + x0;
            strides[pending] = stride;
            if (++pending == 2)
            {
                Transform::InverseTransposedPair({values[0], values[1]}, pixels, strides, true);
                pending = 0;
            }
        }
    }
    if (pending)
    {
        Transform::InverseTransposed(values[0], pixels[0], strides[0], true);
    }
}

} // namespace VistelCapture
