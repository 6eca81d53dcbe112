#include "Wmv3Encoder.h"

#include "Wmv3Tables.h"
#include "Wmv3Transform.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace VistelCapture
{
namespace
{

namespace Tables = Wmv3Tables;
namespace Transform = Wmv3Transform;

} // namespace

namespace
{

// Bins of a quarter octave of coefficient magnitude, for EstimateBits: 1 + floor(4 log2 m), 0 for
// 0, from the magnitude's leading bit and where the rest lies against the quarter octaves
// 2^(1/4), 2^(1/2), 2^(3/4) (as single-precision floats, which gives every magnitude up to 32767
// the bin of the exact logarithm).
constexpr float QuarterOctaves[3] = {1.18920712f, 1.41421356f, 1.68179283f};

} // namespace

namespace
{

double BinMagnitude(int bin)
{
    return bin == 0 ? 0 : std::exp2((bin - 1 + 0.5) / 4);
}

} // namespace

Wmv3Encoder::Wmv3Encoder(int width, int height, Quantizer quantizer)
    : width(width), height(height), quantizer(quantizer), mbWidth((width + 15) / 16),
      mbHeight((height + 15) / 16)
{
    if (width <= 0 || height <= 0 || width > MaximumSize || height > MaximumSize)
    {
        throw std::invalid_argument("Wmv3Encoder: picture size out of range");
    }
    for (int plane = 0; plane < 3; ++plane)
    {
        const int shift = plane ? 1 : 0;
        paddedStride[plane] = (mbWidth * 16) >> shift;
        padded[plane].resize(std::size_t(paddedStride[plane]) * std::size_t((mbHeight * 16) >> shift));
        const std::size_t blockCount = std::size_t(mbWidth * mbHeight) * (plane ? 1 : 4);
        dcLevels[plane].resize(blockCount);
        lines[plane].resize(blockCount);
    }
    for (auto* planes : {&reference, &reconstructed, &prediction})
    {
        for (int plane = 0; plane < 3; ++plane)
        {
            (*planes)[plane].resize(padded[plane].size());
        }
    }
    lumaCoded.resize(std::size_t(mbWidth * mbHeight) * 4);
    blocks.resize(std::size_t(mbWidth * mbHeight) * 6);
    coefficients.resize(blocks.size() * 64);
    levels.resize(blocks.size() * 64);
    largestCoefficients.resize(blocks.size());
    macroblocks.resize(std::size_t(mbWidth * mbHeight));
    inter.resize(macroblocks.size());
    // Scaled so that the inverse transform gives the picture back, in eighths.
    for (int h = 0; h < 8; ++h)
    {
        for (int v = 0; v < 8; ++v)
        {
            coefficientScale[8 * h + v] = static_cast<float>(
                CoefficientOne * 1024.0 / (Transform::BasisNorm[v] * Transform::BasisNorm[h]));
        }
    }
}

Wmv3Encoder::~Wmv3Encoder() = default;

std::array<std::uint8_t, 4> Wmv3Encoder::SequenceHeader() const
{
    // Simple profile; post-processing hints at their maxima; the fast transform and the
    // current stream version (both required for exact decoding); no loop filter, overlap,
    // range reduction, B-frames or per-macroblock quantiser.
    return {0x0F, 0xF1, 0x80, static_cast<std::uint8_t>(0x01 | static_cast<int>(quantizer) << 2)};
}

void Wmv3Encoder::PadInput(const ConstPlanes& picture)
{
    for (int plane = 0; plane < 3; ++plane)
    {
        const int shift = plane ? 1 : 0;
        const int columns = (width + shift) >> shift;
        const int rows = (height + shift) >> shift;
        const int paddedRows = (mbHeight * 16) >> shift;
        const int stride = paddedStride[plane];
        std::uint8_t* target = padded[plane].data();
        for (int y = 0; y < paddedRows; ++y)
        {
            std::uint8_t* row = target + std::size_t(y) * stride;
            if (y < rows)
            {
                std::memcpy(row, picture.data[plane] + std::ptrdiff_t(y) * picture.stride[plane], columns);
                // Repeating the edge keeps the padding blocks cheap.
                std::memset(row + columns, row[columns - 1], stride - columns);
            }
            else
            {
                std::memcpy(row, target + std::size_t(rows - 1) * stride, stride);
            }
        }
    }
}

void Wmv3Encoder::Encode(const ConstPlanes& picture, const PictureSettings& settings,
                         std::vector<std::uint8_t>& packet, const Planes* reconstruction)
{
    Load(picture);
    EncodeLoaded(settings, packet, reconstruction);
}

void Wmv3Encoder::StartLoad()
{
    // The picture coded last becomes the reference only now: until another picture is loaded,
    // it may still be coded again at another quantiser.
    if (codedSinceLoad)
    {
        FinishReconstruction(true);
        std::swap(reference, reconstructed);
        referenceRounding = reconstructedRounding;
        hasReference = true;
        codedSinceLoad = false;
    }
    for (auto& partial : partialHistograms)
    {
        partial.fill(0);
    }
}

void Wmv3Encoder::CountMagnitudes(const std::int16_t* values, int first, int weight)
{
    std::int32_t bins[64];
#if defined(__SSE2__)
    // Eight bins at a time from the magnitudes as floats: exponent and mantissa.
    const __m128i zero = _mm_setzero_si128();
    const __m128i mantissaBits = _mm_set1_epi32(0x007fffff), one = _mm_set1_epi32(0x3f800000);
    const __m128 first4 = _mm_set1_ps(QuarterOctaves[0]), second4 = _mm_set1_ps(QuarterOctaves[1]),
                 third4 = _mm_set1_ps(QuarterOctaves[2]);
    const __m128i bias = _mm_set1_epi32(1 - 4 * 127);
    for (int i = 0; i < 64; i += 8)
    {
        const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
        const __m128i magnitude = _mm_max_epi16(value, _mm_sub_epi16(zero, value));
        for (int half = 0; half < 2; ++half)
        {
            const __m128i wide =
                half ? _mm_unpackhi_epi16(magnitude, zero) : _mm_unpacklo_epi16(magnitude, zero);
            const __m128i bits = _mm_castps_si128(_mm_cvtepi32_ps(wide));
            const __m128 mantissa = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, mantissaBits), one));
            // The comparisons give -1 each where the mantissa reaches a quarter octave.
            const __m128i quarters =
                _mm_add_epi32(_mm_add_epi32(_mm_castps_si128(_mm_cmpge_ps(mantissa, first4)),
                                            _mm_castps_si128(_mm_cmpge_ps(mantissa, second4))),
                              _mm_castps_si128(_mm_cmpge_ps(mantissa, third4)));
            const __m128i bin =
                _mm_sub_epi32(_mm_add_epi32(_mm_slli_epi32(_mm_srli_epi32(bits, 23), 2), bias), quarters);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bins + i + 4 * half),
                             _mm_andnot_si128(_mm_cmpeq_epi32(wide, zero), bin));
        }
    }
#else
    for (int i = 0; i < 64; ++i)
    {
        const int magnitude = std::abs(values[i]);
        const int leading = std::bit_width(static_cast<unsigned>(magnitude)) - 1;
        const float mantissa = static_cast<float>(magnitude) / static_cast<float>(1 << std::max(leading, 0));
        bins[i] = magnitude == 0 ? 0
                                 : 1 + 4 * leading + (mantissa >= QuarterOctaves[0]) +
                                       (mantissa >= QuarterOctaves[1]) + (mantissa >= QuarterOctaves[2]);
    }
#endif
    for (int i = first; i < 64; ++i)
    {
        partialHistograms[i & 3][bins[i]] += static_cast<std::uint32_t>(weight);
    }
}

void Wmv3Encoder::FinishHistogram()
{
    for (int bin = 0; bin < HistogramBins; ++bin)
    {
        histogram[bin] = partialHistograms[0][bin] + partialHistograms[1][bin] + partialHistograms[2][bin] +
                         partialHistograms[3][bin];
    }
}

void Wmv3Encoder::Load(const ConstPlanes& picture)
{
    StartLoad();
    loadedPredicted = false;
    rounding = true;
    overheadBits = 30.0 * mbWidth * mbHeight;
    PadInput(picture);
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            const int mbIndex = mby * mbWidth + mbx;
            // Two blocks at a time: the luma pairs side by side, then Cb with Cr.
            const std::uint8_t* pictures[6];
            int strides[6];
            std::int16_t* targets[6];
            for (int b = 0; b < 6; ++b)
            {
                const int plane = b < 4 ? 0 : b - 3;
                const int bx = plane ? mbx : 2 * mbx + (b & 1);
                const int by = plane ? mby : 2 * mby + (b >> 1);
                pictures[b] = padded[plane].data() + std::size_t(8 * by) * paddedStride[plane] + 8 * bx;
                strides[b] = paddedStride[plane];
                targets[b] = &coefficients[std::size_t(6 * mbIndex + b) * 64];
            }
            for (int b = 0; b < 6; b += 2)
            {
                int largest[2];
                Transform::ForwardScaledPair({pictures[b], pictures[b + 1]}, {nullptr, nullptr},
                                             {strides[b], strides[b + 1]}, coefficientScale.data(),
                                             {targets[b], targets[b + 1]}, largest);
            }
            // A sample of the AC magnitudes is enough for the rate estimate: one luma block of
            // four (counted twice) and one chroma block of two.
            for (const int b : {mbIndex & 3, 4 + (mbIndex & 1)})
            {
                CountMagnitudes(targets[b], 1, b < 4 ? 2 : 1);
            }
        }
    }
    FinishHistogram();
}

double Wmv3Encoder::EstimateBits(const PictureSettings& settings) const
{
    const int pqIndex = std::clamp(settings.pqIndex, 1, 31);
    const int quant = quantizer == Quantizer::Implicit ? Tables::ImplicitPquant[pqIndex] : pqIndex;
    const int step = 2 * quant + (settings.halfStep && pqIndex <= 8 ? 1 : 0);
    const bool wideZone = quantizer == Quantizer::Implicit   ? pqIndex > 8
                          : quantizer == Quantizer::Explicit ? settings.nonUniform
                                                             : quantizer == Quantizer::NonUniform;
    const double rounding = loadedPredicted ? InterRounding(settings.acRounding) : settings.acRounding;
    const double offset =
        std::clamp(rounding, LowestAcRounding, 0.5) - (wideZone ? double(quant) / step : 0.0);
    // A non-zero level costs about 4.5 bits plus 1.8 per doubling; the sample stood for half
    // the blocks.
    double bits = 0;
    for (int bin = 0; bin < HistogramBins; ++bin)
    {
        const double level = BinMagnitude(bin) / (CoefficientOne * step) + offset;
        if (level >= 1)
        {
            bits += histogram[bin] * (4.5 + 1.8 * std::log2(std::floor(level)));
        }
    }
    return 2 * bits + overheadBits;
}

void Wmv3Encoder::EncodeLoaded(const PictureSettings& requested, std::vector<std::uint8_t>& packet,
                               const Planes* reconstruction)
{
    PictureSettings settings = requested;
    settings.pqIndex = std::clamp(settings.pqIndex, 1, 31);
    settings.halfStep = settings.halfStep && settings.pqIndex <= 8;
    switch (quantizer)
    {
    case Quantizer::Implicit:
        pquant = Tables::ImplicitPquant[settings.pqIndex];
        nonUniform = settings.pqIndex > 8;
        break;
    case Quantizer::Explicit:
        pquant = settings.pqIndex;
        nonUniform = settings.nonUniform;
        break;
    case Quantizer::NonUniform:
        pquant = settings.pqIndex;
        nonUniform = true;
        break;
    case Quantizer::Uniform:
        pquant = settings.pqIndex;
        nonUniform = false;
        break;
    }
    acStep = 2 * pquant + (settings.halfStep ? 1 : 0);
    events.clear();
    maxEscapeRun = 0;
    maxEscapeLevel = 0;
    statistics = {};
    statistics.pquant = pquant;
    statistics.nonUniform = nonUniform;
    statistics.predicted = loadedPredicted;
    if (loadedPredicted)
    {
        for (std::size_t mb = 0; mb < inter.size(); ++mb)
        {
            AnalyseInterMacroblock(static_cast<int>(mb), settings);
        }
        WritePredictedPicture(settings, packet);
    }
    else
    {
        for (int mby = 0; mby < mbHeight; ++mby)
        {
            for (int mbx = 0; mbx < mbWidth; ++mbx)
            {
                AnalyseMacroblock(mbx, mby, settings);
            }
        }
        ChooseTables(settings);
        WritePicture(settings, packet);
    }
    reconstructedRounding = rounding;
    codedSinceLoad = true;
    // Rebuilt only once the picture is final (the caller may code it again at another quantiser),
    // unless the caller wants to see it now.
    reconstructionPending = true;
    if (reconstruction)
    {
        FinishReconstruction(false);
        CopyOut(*reconstruction);
    }
    ++frameCount;
}

void Wmv3Encoder::ChooseTables(PictureSettings& settings)
{
    entropy.Start(pquant, maxEscapeRun, maxEscapeLevel);
    std::array<std::int64_t, 3> lumaBits{}, chromaBits{};
    std::array<std::int64_t, 2> dcBits{};
    const bool chooseLuma = settings.lumaSelector < 0;
    const bool chooseChroma = settings.chromaSelector < 0;
    const bool chooseDc = settings.dcTable < 0;
    for (std::size_t i = 0; i < blocks.size(); ++i)
    {
        const Block& block = blocks[i];
        const bool luma = i % 6 < 4;
        if (chooseDc)
        {
            for (int t = 0; t < 2; ++t)
            {
                dcBits[t] += Wmv3EntropyCoder::DcBits(luma, t, block.dcDifference, pquant);
            }
        }
        if (luma ? !chooseLuma : !chooseChroma)
        {
            continue;
        }
        auto& bits = luma ? lumaBits : chromaBits;
        for (std::uint32_t e = block.firstEvent; e < block.firstEvent + block.eventCount; ++e)
        {
            for (int selector = 0; selector < 3; ++selector)
            {
                const int set = luma ? Wmv3EntropyCoder::LumaSet(selector, settings.pqIndex)
                                     : Wmv3EntropyCoder::ChromaSet(selector, settings.pqIndex);
                bits[selector] += entropy.EventBits(set, events[e]);
            }
        }
    }
    if (chooseLuma)
    {
        settings.lumaSelector =
            static_cast<int>(std::min_element(lumaBits.begin(), lumaBits.end()) - lumaBits.begin());
    }
    if (chooseChroma)
    {
        settings.chromaSelector =
            static_cast<int>(std::min_element(chromaBits.begin(), chromaBits.end()) - chromaBits.begin());
    }
    if (chooseDc)
    {
        settings.dcTable = dcBits[1] < dcBits[0] ? 1 : 0;
    }
    settings.lumaSelector = std::clamp(settings.lumaSelector, 0, 2);
    settings.chromaSelector = std::clamp(settings.chromaSelector, 0, 2);
    settings.dcTable = std::clamp(settings.dcTable, 0, 1);
}

void Wmv3Encoder::WritePicture(const PictureSettings& settings, std::vector<std::uint8_t>& packet)
{
    packet.clear();
    packet.reserve(events.size() * 2 + blocks.size() + 64);
    Wmv3BitWriter writer(packet);
    writer.Put(frameCount & 3, 2); // picture counter
    writer.Put(0, 1);              // I picture
    writer.Put(0, 7);              // buffer fullness
    writer.Put(static_cast<std::uint32_t>(settings.pqIndex), 5);
    if (settings.pqIndex <= 8)
    {
        writer.Put(settings.halfStep ? 1 : 0, 1);
    }
    if (quantizer == Quantizer::Explicit)
    {
        writer.Put(nonUniform ? 0 : 1, 1);
    }
    Wmv3EntropyCoder::PutSelector(writer, settings.chromaSelector);
    Wmv3EntropyCoder::PutSelector(writer, settings.lumaSelector);
    writer.Put(static_cast<std::uint32_t>(settings.dcTable), 1);

    const int lumaSet = Wmv3EntropyCoder::LumaSet(settings.lumaSelector, settings.pqIndex);
    const int chromaSet = Wmv3EntropyCoder::ChromaSet(settings.chromaSelector, settings.pqIndex);
    statistics.lumaSelector = settings.lumaSelector;
    statistics.chromaSelector = settings.chromaSelector;
    statistics.dcTable = settings.dcTable;
    for (std::size_t mb = 0; mb < macroblocks.size(); ++mb)
    {
        writer.Put(Tables::CodedBlockPattern[macroblocks[mb].codedBlockPattern]);
        writer.Put(macroblocks[mb].acPrediction ? 1 : 0, 1);
        for (int b = 0; b < 6; ++b)
        {
            const Block& block = blocks[6 * mb + b];
            const bool luma = b < 4;
            Wmv3EntropyCoder::PutDc(writer, luma, settings.dcTable, block.dcDifference, pquant);
            if (block.coded)
            {
                entropy.PutEvents(writer, luma ? lumaSet : chromaSet,
                                  std::span(events).subspan(block.firstEvent, block.eventCount),
                                  statistics.escapes);
            }
        }
    }
    statistics.bits = writer.Written();
    writer.Finish();
}

void Wmv3Encoder::FinishReconstruction(bool final)
{
    if (!reconstructionPending)
    {
        return;
    }
    if (loadedPredicted)
    {
        ReconstructPredicted(final);
    }
    else
    {
        Reconstruct();
    }
    reconstructionPending = false;
}

void Wmv3Encoder::Reconstruct()
{
    const int dcScale = Tables::DcScale[pquant];
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            std::int16_t values[6][64];
            std::uint8_t* pixels[6];
            int strides[6];
            for (int b = 0; b < 6; ++b)
            {
                const std::int16_t* level = &levels[std::size_t(6 * (mby * mbWidth + mbx) + b) * 64];
                Transform::Dequantise(level, acStep, nonUniform ? pquant : 0, values[b]);
                values[b][0] = static_cast<std::int16_t>(level[0] * dcScale);
                const int plane = b < 4 ? 0 : b - 3;
                const int x0 = plane ? 8 * mbx : 16 * mbx + 8 * (b & 1);
                const int y0 = plane ? 8 * mby : 16 * mby + 8 * (b >> 1);
                strides[b] = paddedStride[plane];
                pixels[b] = reconstructed[plane].data() + std::size_t(y0) * strides[b] + x0;
            }
            for (int b = 0; b < 6; b += 2)
            {
                Transform::InverseTransposedPair({values[b], values[b + 1]}, {pixels[b], pixels[b + 1]},
                                                 {strides[b], strides[b + 1]}, false);
            }
        }
    }
}

void Wmv3Encoder::CopyOut(const Planes& output) const
{
    for (int plane = 0; plane < 3; ++plane)
    {
        const int shift = plane ? 1 : 0;
        const int columns = (width + shift) >> shift;
        const int rows = (height + shift) >> shift;
        for (int y = 0; y < rows; ++y)
        {
            std::memcpy(output.data[plane] + std::ptrdiff_t(y) * output.stride[plane],
                        reconstructed[plane].data() + std::size_t(y) * paddedStride[plane], columns);
        }
    }
}

} // namespace VistelCapture
