#include "Wmv3Encoder.h"

#include "Wmv3Tables.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace VistelCapture
{
namespace
{

namespace Tables = Wmv3Tables;

// Block levels are kept transposed (index 8 * horizontal + vertical): the forward transform
// leaves them that way, and only the scans, the predicted lines and the reconstruction need to
// know.
constexpr int Transposed(int position)
{
    return (position & 7) * 8 + (position >> 3);
}

constexpr std::array<std::uint8_t, 64> TransposeScan(const std::array<std::uint8_t, 64>& scan)
{
    std::array<std::uint8_t, 64> result{};
    for (int i = 0; i < 64; ++i)
    {
        result[i] = static_cast<std::uint8_t>(Transposed(scan[i]));
    }
    return result;
}

const std::array<std::uint8_t, 64> normalScan = TransposeScan(Tables::NormalScan);
const std::array<std::uint8_t, 64> scanFromTop = TransposeScan(Tables::ScanFromTop);
const std::array<std::uint8_t, 64> scanFromLeft = TransposeScan(Tables::ScanFromLeft);

// The transform's basis, by frequency then sample.
constexpr int Basis[8][8] = {
    {12, 12, 12, 12, 12, 12, 12, 12}, {16, 15, 9, 4, -4, -9, -15, -16},     {16, 6, -6, -16, -16, -6, 6, 16},
    {15, -4, -16, -9, 9, 16, 4, -15}, {12, -12, -12, 12, 12, -12, -12, 12}, {9, -16, 4, 15, -15, -4, 16, -9},
    {6, -16, 16, -6, -6, 16, -16, 6}, {4, -9, 15, -16, 16, -15, 9, -4},
};
// Squared norms of the basis rows: the forward transform divides by them so that the inverse
// gives the picture back.
constexpr double BasisNorm[8] = {1152, 1156, 1168, 1156, 1152, 1156, 1168, 1156};

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

// The unscaled 2-D transform of one 8x8 block, transposed: result[h][v] for vertical
// frequency v and horizontal frequency h.
inline void ForwardTransform(const std::uint8_t* pixels, int stride, int (&result)[8][8])
{
    std::int16_t block[8][8];
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            block[y][x] = pixels[y * stride + x];
        }
    }
    int vertical[8][8]; // [v][x]
    TransformColumns(block, vertical);
    int transposed[8][8]; // [x][v]
    for (int v = 0; v < 8; ++v)
    {
        for (int x = 0; x < 8; ++x)
        {
            transposed[x][v] = vertical[v][x];
        }
    }
    TransformColumns(transposed, result);
}

// The decoder's inverse transform, exactly, of natural-order coefficients.
void InverseTransform(const int (&coefficients)[64], std::uint8_t* pixels, int stride)
{
    int rows[8][8];
    for (int v = 0; v < 8; ++v)
    {
        for (int x = 0; x < 8; ++x)
        {
            int sum = 0;
            for (int h = 0; h < 8; ++h)
            {
                sum += Basis[h][x] * coefficients[8 * v + h];
            }
            rows[v][x] = (sum + 4) >> 3;
        }
    }
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            int sum = 0;
            for (int v = 0; v < 8; ++v)
            {
                sum += Basis[v][y] * rows[v][x];
            }
            pixels[y * stride + x] =
                static_cast<std::uint8_t>(std::clamp((sum + 64 + (y >= 4 ? 1 : 0)) >> 7, 0, 255));
        }
    }
}

// Where the codes of one AC coding set are, by (last, run, level).
struct AcSetIndex
{
    std::array<std::array<std::uint8_t, 64>, 2> maxLevel{};   // [last][run], 0 = no code
    std::array<std::array<std::int8_t, 64>, 2> maxRun{};      // [last][level], -1 = no code
    std::array<std::array<std::uint16_t, 64>, 2> firstCode{}; // [last][run]: index of level 1
    std::vector<std::uint8_t> codeByLevel;                    // from firstCode + level - 1
    Tables::Code escape{};
    std::span<const Tables::AcCode> codes;

    explicit AcSetIndex(std::span<const Tables::AcCode> set) : codes(set)
    {
        for (auto& runs : maxRun)
        {
            runs.fill(-1);
        }
        const std::size_t count = set.size() - 1;
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto& code = set[i];
            maxLevel[code.last][code.run] = std::max(maxLevel[code.last][code.run], code.level);
            maxRun[code.last][code.level] =
                std::max<std::int8_t>(maxRun[code.last][code.level], static_cast<std::int8_t>(code.run));
        }
        for (int last = 0; last < 2; ++last)
        {
            for (int run = 0; run < 64; ++run)
            {
                firstCode[last][run] = static_cast<std::uint16_t>(codeByLevel.size());
                codeByLevel.resize(codeByLevel.size() + maxLevel[last][run]);
            }
        }
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto& code = set[i];
            codeByLevel[firstCode[code.last][code.run] + code.level - 1] = static_cast<std::uint8_t>(i);
        }
        escape = {set[count].bits, set[count].length};
    }

    const Tables::AcCode* Find(int run, int level, int last) const
    {
        if (run > 63 || level < 1 || level > maxLevel[last][run])
        {
            return nullptr;
        }
        return &codes[codeByLevel[firstCode[last][run] + level - 1]];
    }
};

const std::array<AcSetIndex, 8>& AcSetIndexes()
{
    static const std::array<AcSetIndex, 8> indexes = {
        AcSetIndex(Tables::AcSets[0]), AcSetIndex(Tables::AcSets[1]), AcSetIndex(Tables::AcSets[2]),
        AcSetIndex(Tables::AcSets[3]), AcSetIndex(Tables::AcSets[4]), AcSetIndex(Tables::AcSets[5]),
        AcSetIndex(Tables::AcSets[6]), AcSetIndex(Tables::AcSets[7])};
    return indexes;
}

// How one (run, level, last) event is sent with a given set: directly, or after the escape
// code in one of its three modes.
struct AcChoice
{
    int mode = 0; // 0 direct, 1 level offset, 2 run offset, 3 fixed-length
    const Tables::AcCode* code = nullptr;
    int bits = 0; // sign included
};

AcChoice ChooseAc(const AcSetIndex& set, int run, int level, int last, int escapeRunBits, int escapeLevelBits)
{
    AcChoice best;
    if (const auto* code = set.Find(run, level, last))
    {
        best = {0, code, code->length + 1};
    }
    const int escape = set.escape.length;
    if (best.code && best.bits <= escape + 2)
    {
        return best; // no escape can be shorter
    }
    if (run < 64 && set.maxLevel[last][run] > 0)
    {
        if (const auto* code = set.Find(run, level - set.maxLevel[last][run], last))
        {
            const int bits = escape + 1 + code->length + 1;
            if (!best.code || bits < best.bits)
            {
                best = {1, code, bits};
            }
        }
    }
    if (level < 64 && set.maxRun[last][level] >= 0 && run > set.maxRun[last][level])
    {
        if (const auto* code = set.Find(run - set.maxRun[last][level] - 1, level, last))
        {
            const int bits = escape + 2 + code->length + 1;
            if (!best.code || bits < best.bits)
            {
                best = {2, code, bits};
            }
        }
    }
    const int fixedBits = escape + 2 + 1 + escapeRunBits + 1 + escapeLevelBits;
    if (!best.code || fixedBits < best.bits)
    {
        best = {3, nullptr, fixedBits};
    }
    return best;
}

// Bins of a quarter octave of coefficient magnitude.
int MagnitudeBin(int magnitude)
{
    static const std::array<std::uint8_t, 32768> bins = []
    {
        std::array<std::uint8_t, 32768> result{};
        for (int m = 1; m < 32768; ++m)
        {
            result[m] = static_cast<std::uint8_t>(1 + std::floor(4 * std::log2(double(m))));
        }
        return result;
    }();
    return bins[magnitude];
}

double BinMagnitude(int bin)
{
    return bin == 0 ? 0 : std::exp2((bin - 1 + 0.5) / 4);
}

int BitsFor(int value)
{
    int bits = 0;
    while (value >> bits)
    {
        ++bits;
    }
    return bits;
}

// Bits of one DC differential with a given code table.
int DcBits(std::span<const Tables::Code, 120> table, int difference, int pquant)
{
    const int magnitude = std::abs(difference);
    if (magnitude == 0)
    {
        return table[0].length;
    }
    const int extra = pquant == 1 ? 2 : pquant == 2 ? 1 : 0;
    const int index = (magnitude + (1 << extra) - 1) >> extra;
    if (index <= 118)
    {
        return table[index].length + extra + 1;
    }
    return table[119].length + 8 + extra + 1;
}

class BitWriter
{
public:
    explicit BitWriter(std::vector<std::uint8_t>& output) : output(output) {}

    // At most 32 bits at a time.
    void Put(std::uint32_t bits, int count)
    {
        accumulator = (accumulator << count) | (bits & ((std::uint64_t(1) << count) - 1));
        pending += count;
        written += count;
        while (pending >= 8)
        {
            pending -= 8;
            output.push_back(static_cast<std::uint8_t>(accumulator >> pending));
        }
    }
    void Put(const Tables::Code& code) { Put(code.bits, code.length); }

    // Zero bits up to the next byte.
    void Finish()
    {
        if (pending > 0)
        {
            output.push_back(static_cast<std::uint8_t>(accumulator << (8 - pending)));
            pending = 0;
        }
    }
    std::int64_t Written() const noexcept { return written; }

private:
    std::vector<std::uint8_t>& output;
    std::uint64_t accumulator = 0;
    int pending = 0;
    std::int64_t written = 0;
};

// The picture header's 0 / 10 / 11 code of a selector.
void PutSelector(BitWriter& writer, int selector)
{
    if (selector == 0)
    {
        writer.Put(0, 1);
    }
    else
    {
        writer.Put(selector == 1 ? 2 : 3, 2);
    }
}

int LumaSet(int selector, int pqIndex)
{
    return selector == 1 ? 0 : selector == 2 ? 4 : pqIndex <= 8 ? 6 : 2;
}

int ChromaSet(int selector, int pqIndex)
{
    return selector == 1 ? 1 : selector == 2 ? 5 : pqIndex <= 8 ? 7 : 3;
}

// Where block b (0-3 luma, 4 Cb, 5 Cr) of macroblock (mbx, mby) sits in its plane's block grid.
struct BlockPlace
{
    int plane;
    int gridWidth;
    int bx;
    int by;
    int index;
};

BlockPlace LocateBlock(int b, int mbx, int mby, int mbWidth) noexcept
{
    const int plane = b < 4 ? 0 : b - 3;
    const int gridWidth = plane ? mbWidth : 2 * mbWidth;
    const int bx = plane ? mbx : 2 * mbx + (b & 1);
    const int by = plane ? mby : 2 * mby + (b >> 1);
    return {plane, gridWidth, bx, by, by * gridWidth + bx};
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
    lumaCoded.resize(std::size_t(mbWidth * mbHeight) * 4);
    blocks.resize(std::size_t(mbWidth * mbHeight) * 6);
    coefficients.resize(blocks.size() * 64);
    macroblocks.resize(std::size_t(mbWidth * mbHeight));
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

void Wmv3Encoder::Load(const ConstPlanes& picture)
{
    PadInput(picture);
    // Scaled so that the inverse transform gives the picture back, in eighths.
    float scale[64];
    for (int h = 0; h < 8; ++h)
    {
        for (int v = 0; v < 8; ++v)
        {
            scale[8 * h + v] = static_cast<float>(CoefficientOne * 1024.0 / (BasisNorm[v] * BasisNorm[h]));
        }
    }
    histogram.fill(0);
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            const int mbIndex = mby * mbWidth + mbx;
            for (int b = 0; b < 6; ++b)
            {
                const int plane = b < 4 ? 0 : b - 3;
                const int bx = plane ? mbx : 2 * mbx + (b & 1);
                const int by = plane ? mby : 2 * mby + (b >> 1);
                int transformed[8][8];
                ForwardTransform(padded[plane].data() + std::size_t(8 * by) * paddedStride[plane] + 8 * bx,
                                 paddedStride[plane], transformed);
                std::int16_t* target = &coefficients[std::size_t(6 * mbIndex + b) * 64];
                const int* flat = &transformed[0][0];
                for (int i = 0; i < 64; ++i)
                {
                    target[i] = static_cast<std::int16_t>(std::lrint(static_cast<float>(flat[i]) * scale[i]));
                }
                // A sample of the AC magnitudes is enough for the rate estimate: one luma block of
                // four (counted twice) and one chroma block of two.
                if (b == (mbIndex & 3) || b == 4 + (mbIndex & 1))
                {
                    const int weight = b < 4 ? 2 : 1;
                    for (int i = 1; i < 64; ++i)
                    {
                        histogram[MagnitudeBin(std::abs(target[i]))] += weight;
                    }
                }
            }
        }
    }
}

double Wmv3Encoder::EstimateBits(const PictureSettings& settings) const
{
    const int pqIndex = std::clamp(settings.pqIndex, 1, 31);
    const int quant = quantizer == Quantizer::Implicit ? Tables::ImplicitPquant[pqIndex] : pqIndex;
    const int step = 2 * quant + (settings.halfStep && pqIndex <= 8 ? 1 : 0);
    const bool wideZone = quantizer == Quantizer::Implicit   ? pqIndex > 8
                          : quantizer == Quantizer::Explicit ? settings.nonUniform
                                                             : quantizer == Quantizer::NonUniform;
    const double offset = std::clamp(settings.acRounding, 0.0, 0.5) - (wideZone ? double(quant) / step : 0.0);
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
    return 2 * bits + 30.0 * mbWidth * mbHeight;
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
    keepLevels = reconstruction != nullptr;
    if (keepLevels)
    {
        levels.resize(blocks.size() * 64);
    }
    statistics = {};
    statistics.pquant = pquant;
    statistics.nonUniform = nonUniform;
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            AnalyseMacroblock(mbx, mby, settings);
        }
    }
    ChooseTables(settings);
    WritePicture(settings, packet);
    if (reconstruction)
    {
        Reconstruct(*reconstruction);
    }
    ++frameCount;
}

void Wmv3Encoder::AnalyseMacroblock(int mbx, int mby, const PictureSettings& settings)
{
    const int mbIndex = mby * mbWidth + mbx;
    const int edgePredictor = Tables::DcEdgePredictor[pquant];
    const int dcLimit = pquant == 1 ? 1023 : pquant == 2 ? 511 : 255;
    const int levelLimit = pquant < 8 ? 2047 : 255;
    // Levels round up at the picture's rounding point; the non-uniform quantiser widens the dead
    // zone by PQUANT.
    const float acScale = 1.0f / static_cast<float>(CoefficientOne * acStep);
    const float offset = static_cast<float>(std::clamp(settings.acRounding, 0.0, 0.5)) -
                         (nonUniform ? static_cast<float>(pquant) / static_cast<float>(acStep) : 0.0f);
    const double dcScale = 1.0 / (CoefficientOne * Tables::DcScale[pquant]);

    std::int16_t blockLevels[6][64];
    int neighbour[6]; // block index of the predicting neighbour in its plane, -1 outside
    bool fromAbove[6];
    int acGain = 0;
    bool acPossible = settings.acPrediction;
    for (int b = 0; b < 6; ++b)
    {
        const auto [plane, gridWidth, bx, by, index] = LocateBlock(b, mbx, mby, mbWidth);

        const std::int16_t* flat = &coefficients[std::size_t(6 * mbIndex + b) * 64];
        std::int16_t* level = blockLevels[b];
        for (int i = 1; i < 64; ++i)
        {
            const float magnitude = static_cast<float>(std::abs(flat[i])) * acScale + offset;
            const int value = std::min(static_cast<int>(std::max(magnitude, 0.0f)), levelLimit);
            level[i] = static_cast<std::int16_t>(flat[i] < 0 ? -value : value);
        }

        // DC: predicted from the left or from above, whichever neighbour pair differs less.
        const bool topEdge = mby == 0 && (b == 0 || b == 1 || b >= 4);
        const bool leftEdge = mbx == 0 && (b == 0 || b == 2 || b >= 4);
        const auto& grid = dcLevels[plane];
        const int a = topEdge ? edgePredictor : grid[index - gridWidth];
        const int c = leftEdge ? edgePredictor : grid[index - 1];
        const int bLevel = topEdge || leftEdge ? edgePredictor : grid[index - gridWidth - 1];
        fromAbove[b] = std::abs(a - bLevel) > std::abs(bLevel - c);
        const int predicted = fromAbove[b] ? a : c;
        const int dc = std::max(0, static_cast<int>(std::lround(flat[0] * dcScale)));
        const int difference = std::clamp(dc - predicted, -dcLimit, dcLimit);
        level[0] = static_cast<std::int16_t>(predicted + difference);
        dcLevels[plane][index] = level[0];
        blocks[6 * mbIndex + b].dcDifference = static_cast<std::int16_t>(difference);

        // AC prediction takes the same neighbour's first row (from above) or column (left).
        neighbour[b] = fromAbove[b] ? (by > 0 ? index - gridWidth : -1) : (bx > 0 ? index - 1 : -1);
        if (neighbour[b] < 0)
        {
            acPossible = false;
        }
        else if (acPossible)
        {
            const Lines& from = lines[plane][neighbour[b]];
            for (int k = 1; k < 8; ++k)
            {
                const int own = fromAbove[b] ? level[8 * k] : level[k];
                const int other = fromAbove[b] ? from.row[k - 1] : from.column[k - 1];
                acGain += std::abs(own) - std::abs(own - other);
                // A difference the escapes cannot carry rules prediction out.
                acPossible = acPossible && std::abs(own - other) <= levelLimit;
            }
        }
    }
    const bool acPrediction = acPossible && acGain > 0;
    macroblocks[mbIndex].acPrediction = acPrediction;
    statistics.acPredictedMacroblocks += acPrediction ? 1 : 0;

    int pattern = 0;
    for (int b = 0; b < 6; ++b)
    {
        const auto [plane, gridWidth, bx, by, index] = LocateBlock(b, mbx, mby, mbWidth);
        const std::int16_t* level = blockLevels[b];

        std::int16_t residual[64];
        std::memcpy(residual, level, sizeof residual);
        const std::uint8_t* scan = normalScan.data();
        if (acPrediction)
        {
            const Lines& from = lines[plane][neighbour[b]];
            for (int k = 1; k < 8; ++k)
            {
                if (fromAbove[b])
                {
                    residual[8 * k] = static_cast<std::int16_t>(residual[8 * k] - from.row[k - 1]);
                }
                else
                {
                    residual[k] = static_cast<std::int16_t>(residual[k] - from.column[k - 1]);
                }
            }
            scan = fromAbove[b] ? scanFromTop.data() : scanFromLeft.data();
        }
        Lines& own = lines[plane][index];
        for (int k = 1; k < 8; ++k)
        {
            own.row[k - 1] = level[8 * k];
            own.column[k - 1] = level[k];
        }

        Block& block = blocks[6 * mbIndex + b];
        block.firstEvent = static_cast<std::uint32_t>(events.size());
        int run = 0;
        for (int i = 1; i < 64; ++i)
        {
            const int value = residual[scan[i]];
            if (value == 0)
            {
                ++run;
                continue;
            }
            events.push_back({static_cast<std::uint8_t>(run), 0, static_cast<std::int16_t>(value)});
            maxEscapeRun = std::max(maxEscapeRun, run);
            maxEscapeLevel = std::max(maxEscapeLevel, std::abs(value));
            run = 0;
        }
        block.eventCount = static_cast<std::uint32_t>(events.size() - block.firstEvent);
        block.coded = block.eventCount > 0;
        if (block.coded)
        {
            events.back().last = 1;
        }
        if (keepLevels)
        {
            std::memcpy(&levels[std::size_t(6 * mbIndex + b) * 64], level, 64 * sizeof(std::int16_t));
        }

        int bit = block.coded ? 1 : 0;
        if (plane == 0)
        {
            // Luma flags are sent as the difference from a prediction by the neighbours.
            lumaCoded[index] = static_cast<std::uint8_t>(bit);
            const int left = bx > 0 ? lumaCoded[index - 1] : 0;
            const int aboveLeft = bx > 0 && by > 0 ? lumaCoded[index - gridWidth - 1] : 0;
            const int above = by > 0 ? lumaCoded[index - gridWidth] : 0;
            bit ^= aboveLeft == above ? left : above;
        }
        pattern |= bit << (5 - b);
    }
    macroblocks[mbIndex].codedBlockPattern = static_cast<std::uint8_t>(pattern);
}

void Wmv3Encoder::ChooseTables(PictureSettings& settings)
{
    // Sizes of the fixed-length escape, for the whole picture: they must fit every level and
    // run that might be sent that way.
    if (pquant < 8)
    {
        escapeLevelBits = std::clamp(BitsFor(maxEscapeLevel), 1, 11);
    }
    else
    {
        escapeLevelBits = std::clamp(BitsFor(maxEscapeLevel), 2, 8);
    }
    escapeRunBits = std::clamp(BitsFor(maxEscapeRun), 3, 6);

    const auto& indexes = AcSetIndexes();
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
                dcBits[t] +=
                    DcBits(luma ? Tables::DcLuma[t] : Tables::DcChroma[t], block.dcDifference, pquant);
            }
        }
        if (luma ? !chooseLuma : !chooseChroma)
        {
            continue;
        }
        auto& bits = luma ? lumaBits : chromaBits;
        for (std::uint32_t e = block.firstEvent; e < block.firstEvent + block.eventCount; ++e)
        {
            const Event& event = events[e];
            for (int selector = 0; selector < 3; ++selector)
            {
                const int set =
                    luma ? LumaSet(selector, settings.pqIndex) : ChromaSet(selector, settings.pqIndex);
                bits[selector] += ChooseAc(indexes[set], event.run, std::abs(event.level), event.last,
                                           escapeRunBits, escapeLevelBits)
                                      .bits;
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
    BitWriter writer(packet);
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
    PutSelector(writer, settings.chromaSelector);
    PutSelector(writer, settings.lumaSelector);
    writer.Put(static_cast<std::uint32_t>(settings.dcTable), 1);

    const auto& indexes = AcSetIndexes();
    const AcSetIndex& lumaSet = indexes[LumaSet(settings.lumaSelector, settings.pqIndex)];
    const AcSetIndex& chromaSet = indexes[ChromaSet(settings.chromaSelector, settings.pqIndex)];
    const int extra = pquant == 1 ? 2 : pquant == 2 ? 1 : 0;
    bool escapeSizesSent = false;
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
            const auto& dcTable =
                luma ? Tables::DcLuma[settings.dcTable] : Tables::DcChroma[settings.dcTable];
            const int magnitude = std::abs(block.dcDifference);
            if (magnitude == 0)
            {
                writer.Put(dcTable[0]);
            }
            else
            {
                const int index = (magnitude + (1 << extra) - 1) >> extra;
                if (index <= 118)
                {
                    writer.Put(dcTable[index]);
                    if (extra)
                    {
                        writer.Put(static_cast<std::uint32_t>(magnitude + (1 << extra) - 1), extra);
                    }
                }
                else
                {
                    writer.Put(dcTable[119]);
                    writer.Put(static_cast<std::uint32_t>(magnitude), 8 + extra);
                }
                writer.Put(block.dcDifference < 0 ? 1 : 0, 1);
            }
            if (!block.coded)
            {
                continue;
            }
            const AcSetIndex& set = luma ? lumaSet : chromaSet;
            for (std::uint32_t e = block.firstEvent; e < block.firstEvent + block.eventCount; ++e)
            {
                const Event& event = events[e];
                const int level = std::abs(event.level);
                const std::uint32_t sign = event.level < 0 ? 1 : 0;
                const AcChoice choice =
                    ChooseAc(set, event.run, level, event.last, escapeRunBits, escapeLevelBits);
                if (choice.mode == 0)
                {
                    writer.Put(choice.code->bits, choice.code->length);
                    writer.Put(sign, 1);
                    continue;
                }
                ++statistics.escapes[choice.mode - 1];
                writer.Put(set.escape);
                if (choice.mode == 1)
                {
                    writer.Put(1, 1);
                    writer.Put(choice.code->bits, choice.code->length);
                    writer.Put(sign, 1);
                }
                else if (choice.mode == 2)
                {
                    writer.Put(1, 2);
                    writer.Put(choice.code->bits, choice.code->length);
                    writer.Put(sign, 1);
                }
                else
                {
                    writer.Put(0, 2);
                    writer.Put(event.last, 1);
                    if (!escapeSizesSent)
                    {
                        if (pquant < 8)
                        {
                            if (escapeLevelBits < 8)
                            {
                                writer.Put(static_cast<std::uint32_t>(escapeLevelBits), 3);
                            }
                            else
                            {
                                writer.Put(static_cast<std::uint32_t>(escapeLevelBits - 8), 5);
                            }
                        }
                        else
                        {
                            // 1, 01, 001, ... 000001 for 2..7; six zeros for 8.
                            const int zeros = escapeLevelBits - 2;
                            writer.Put(zeros < 6 ? 1 : 0, zeros < 6 ? zeros + 1 : 6);
                        }
                        writer.Put(static_cast<std::uint32_t>(escapeRunBits - 3), 2);
                        escapeSizesSent = true;
                    }
                    writer.Put(event.run, escapeRunBits);
                    writer.Put(sign, 1);
                    writer.Put(static_cast<std::uint32_t>(level), escapeLevelBits);
                }
            }
        }
    }
    statistics.bits = writer.Written();
    writer.Finish();
}

void Wmv3Encoder::Reconstruct(const Planes& output) const
{
    const int dcScale = Tables::DcScale[pquant];
    for (int mby = 0; mby < mbHeight; ++mby)
    {
        for (int mbx = 0; mbx < mbWidth; ++mbx)
        {
            for (int b = 0; b < 6; ++b)
            {
                const std::int16_t* level = &levels[std::size_t(6 * (mby * mbWidth + mbx) + b) * 64];
                int coefficients[64];
                for (int position = 0; position < 64; ++position)
                {
                    const int value = level[Transposed(position)];
                    int dequantised = 0;
                    if (position == 0)
                    {
                        dequantised = value * dcScale;
                    }
                    else if (value != 0)
                    {
                        dequantised = value * acStep + (nonUniform ? (value > 0 ? pquant : -pquant) : 0);
                    }
                    coefficients[position] = dequantised;
                }
                const int plane = b < 4 ? 0 : b - 3;
                const int shift = plane ? 1 : 0;
                const int x0 = plane ? 8 * mbx : 16 * mbx + 8 * (b & 1);
                const int y0 = plane ? 8 * mby : 16 * mby + 8 * (b >> 1);
                std::uint8_t block[64];
                InverseTransform(coefficients, block, 8);
                const int columns = (width + shift) >> shift;
                const int rows = (height + shift) >> shift;
                for (int y = 0; y < 8 && y0 + y < rows; ++y)
                {
                    for (int x = 0; x < 8 && x0 + x < columns; ++x)
                    {
                        output.data[plane][std::ptrdiff_t(y0 + y) * output.stride[plane] + x0 + x] =
                            block[8 * y + x];
                    }
                }
            }
        }
    }
}

} // namespace VistelCapture
