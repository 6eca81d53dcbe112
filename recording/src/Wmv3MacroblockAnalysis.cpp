// The intra macroblock's analysis: quantised levels, DC and AC prediction, the coded-block
// pattern and the events the entropy coder sends.

#include "Wmv3Encoder.h"

#include "Wmv3Tables.h"
#include "Wmv3Transform.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace VistelCapture
{
namespace
{

namespace Tables = Wmv3Tables;
namespace Transform = Wmv3Transform;

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

void Wmv3Encoder::AnalyseMacroblock(int mbx, int mby, const PictureSettings& settings)
{
    const int mbIndex = mby * mbWidth + mbx;
    const int edgePredictor = Tables::DcEdgePredictor[pquant];
    const int dcLimit = pquant == 1 ? 1023 : pquant == 2 ? 511 : 255;
    const int levelLimit = pquant < 8 ? 2047 : 255;
    // Levels round up at the picture's rounding point; the non-uniform quantiser widens the dead
    // zone by PQUANT.
    const Transform::Quantiser quantiser(CoefficientOne * acStep,
                                         std::clamp(settings.acRounding, LowestAcRounding, 0.5) -
                                             (nonUniform ? double(pquant) / acStep : 0.0),
                                         levelLimit);
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
        Transform::Quantise(flat, quantiser, level); // the DC's level follows

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

        // The first row and column are what later blocks predict from, this macroblock's own
        // included: they are kept before the choice below reads them.
        Lines& own = lines[plane][index];
        for (int k = 1; k < 8; ++k)
        {
            own.row[k - 1] = level[8 * k];
            own.column[k - 1] = level[k];
        }

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
        const std::uint8_t* scan = Transform::NormalScan.data();
        const std::uint8_t* scanIndex = Transform::NormalScanIndex.data();
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
            scan = fromAbove[b] ? Transform::ScanFromTop.data() : Transform::ScanFromLeft.data();
            scanIndex =
                fromAbove[b] ? Transform::ScanFromTopIndex.data() : Transform::ScanFromLeftIndex.data();
        }
        Block& block = blocks[6 * mbIndex + b];
        // The DC (position 0, first in every scan) is sent on its own.
        AppendEvents(block, residual, Transform::NonZero(residual) & ~std::uint64_t(1), 1, scan, scanIndex);
        std::memcpy(&levels[std::size_t(6 * mbIndex + b) * 64], level, 64 * sizeof(std::int16_t));

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

void Wmv3Encoder::AppendEvents(Block& block, const std::int16_t* values, std::uint64_t nonZero, int first,
                               const std::uint8_t* scan, const std::uint8_t* scanIndex)
{
    // Only the levels that are there are visited: the mask is put into scan order first.
    std::uint64_t inScan = 0;
    for (; nonZero; nonZero &= nonZero - 1)
    {
        inScan |= std::uint64_t(1) << scanIndex[std::countr_zero(nonZero)];
    }
    block.firstEvent = static_cast<std::uint32_t>(events.size());
    int previous = first - 1;
    for (; inScan; inScan &= inScan - 1)
    {
        const int index = std::countr_zero(inScan);
        const int run = index - previous - 1;
        const int value = values[scan[index]];
        events.push_back({static_cast<std::uint8_t>(run), 0, static_cast<std::int16_t>(value)});
        maxEscapeRun = std::max(maxEscapeRun, run);
        maxEscapeLevel = std::max(maxEscapeLevel, std::abs(value));
        previous = index;
    }
    block.eventCount = static_cast<std::uint32_t>(events.size() - block.firstEvent);
    block.coded = block.eventCount > 0;
    if (block.coded)
    {
        events.back().last = 1;
    }
}

} // namespace VistelCapture
