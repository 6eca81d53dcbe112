#pragma once

#include "Wmv3EntropyCoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace VistelCapture
{

// A WMV3 (Simple profile) encoder. Key frames (I pictures) are coded on their own with 8x8
// integer transforms, DC/AC prediction and the format's variable-length codes; the pictures
// between them (P pictures) from the picture before, by half-pixel motion vectors and the
// residual through the same transform, still macroblocks skipped. It takes 4:2:0 planes and
// gives one packet per picture; the caller muxes them.
// Not thread-safe: one picture at a time, from any one thread.
class Wmv3Encoder
{
public:
    // How the picture header states the quantiser (fixed for the stream by its sequence header).
    enum class Quantizer
    {
        Implicit = 0,   // PQINDEX decides: uniform up to 8, non-uniform above
        Explicit = 1,   // one bit per picture chooses
        NonUniform = 2, // always non-uniform
        Uniform = 3     // always uniform
    };

    // A slight dead zone: a small level costs more bits than it gives back.
    static constexpr double DefaultAcRounding = 0.42;
    static constexpr double LowestAcRounding = -1.0;

    // Choices of one picture. A selector or table of -1 lets the encoder take the one that
    // gives the fewest bits.
    struct PictureSettings
    {
        int pqIndex = 6;          // 1..31
        bool halfStep = false;    // a half step more for AC; only where PQINDEX <= 8
        bool nonUniform = false;  // with Quantizer::Explicit only
        int lumaSelector = -1;    // 0..2
        int chromaSelector = -1;  // 0..2
        int dcTable = -1;         // 0..1
        bool acPrediction = true; // let the encoder predict AC lines where that saves levels
        // Where AC levels round up, as a fraction of the step: 0.5 rounds to nearest; less
        // drops more small levels (a dead zone), saving bits for some quality; below 0 (down to
        // LowestAcRounding) the dead zone is wider than a step and every level comes out lower.
        double acRounding = DefaultAcRounding;
    };

    // 4:2:0 planes: luma width x height, chroma (width + 1) / 2 x (height + 1) / 2.
    struct Planes
    {
        std::array<std::uint8_t*, 3> data{};
        std::array<int, 3> stride{};
    };
    struct ConstPlanes
    {
        std::array<const std::uint8_t*, 3> data{};
        std::array<int, 3> stride{};
    };

    // What the last picture used, for tests and rate control.
    struct Statistics
    {
        bool predicted = false; // a P picture
        int skippedMacroblocks = 0;
        int halfPixelVectors = 0; // macroblocks sent with a vector of a half pixel
        int pquant = 0;
        bool nonUniform = false;
        int lumaSelector = 0;
        int chromaSelector = 0;
        int dcTable = 0;
        int acPredictedMacroblocks = 0;
        std::array<int, 3> escapes{}; // by escape mode 1, 2, 3
        std::int64_t bits = 0;        // before the padding to a whole byte
    };

    // Larger pictures are refused (std::invalid_argument), as are empty ones.
    static constexpr int MaximumSize = 8192;

    Wmv3Encoder(int width, int height, Quantizer quantizer = Quantizer::Explicit);
    Wmv3Encoder(const Wmv3Encoder&) = delete;
    Wmv3Encoder& operator=(const Wmv3Encoder&) = delete;
    ~Wmv3Encoder();

    // The stream's codec private data.
    std::array<std::uint8_t, 4> SequenceHeader() const;

    // Codes one picture into packet (replacing its contents). When reconstruction is given, it
    // receives the picture exactly as a decoder shows it.
    void Encode(const ConstPlanes& picture, const PictureSettings& settings,
                std::vector<std::uint8_t>& packet, const Planes* reconstruction = nullptr);

    // The same in two steps, for a caller that picks the quantiser from the picture itself:
    // Load transforms the picture once; EstimateBits guesses its size at a quantiser (to within
    // a factor that changes slowly from picture to picture); EncodeLoaded codes it, as often as
    // wanted.
    void Load(const ConstPlanes& picture);
    // Loads a P picture, predicted from the picture coded last (std::logic_error when there is
    // none). Blocks whose difference from the prediction is below what `likelyPquant` would
    // keep are taken as unchanged without being transformed.
    void LoadPredicted(const ConstPlanes& picture, int likelyPquant);
    bool CanPredict() const noexcept { return hasReference || codedSinceLoad; }
    double EstimateBits(const PictureSettings& settings) const;
    void EncodeLoaded(const PictureSettings& settings, std::vector<std::uint8_t>& packet,
                      const Planes* reconstruction = nullptr);

    const Statistics& LastStatistics() const noexcept { return statistics; }
    int Width() const noexcept { return width; }
    int Height() const noexcept { return height; }

private:
    using Event = Wmv3EntropyCoder::Event;
    struct Block
    {
        std::int16_t dcDifference;
        bool coded;
        std::uint32_t firstEvent;
        std::uint32_t eventCount;
    };
    struct Macroblock
    {
        std::uint8_t codedBlockPattern; // as sent: luma bits already predicted
        bool acPrediction;
    };
    // Quantised levels of one block's first row (positions 1..7) and first column (8..56),
    // which later blocks predict from.
    struct Lines
    {
        std::array<std::int16_t, 7> row;
        std::array<std::int16_t, 7> column;
    };

    // Inter blocks round their levels up a little later than intra blocks: a small level of a
    // difference buys less than it costs.
    // Below 0 the caller already asked for less than either kind would take: kept as asked.
    static double InterRounding(double acRounding)
    {
        return std::min(acRounding, std::max(0.0, acRounding - 0.08));
    }

    // A motion vector in quarter pixels, as the decoder keeps it (half pixels at the finest here).
    struct MotionVector
    {
        int x = 0;
        int y = 0;
        bool operator==(const MotionVector&) const = default;
    };
    // A P picture's macroblock: its vector and how it is sent.
    struct InterMacroblock
    {
        MotionVector vector;
        MotionVector predictor; // the decoder's prediction, after the hybrid choice
        int hybrid = -1;        // the HYBRIDPRED bit, -1 where none is sent
        bool still = false;     // difference too small to keep: not transformed
        bool skipped = false;
        std::uint8_t pattern = 0; // coded blocks, bit 5 = Y0
        int searchCost = 0;       // the search's cost of `vector`
    };

    void PadInput(const ConstPlanes& picture);
    // Counts the magnitudes of a block's values from position `first` into the histogram's copies,
    // by bins of a quarter octave (1 + floor(4 log2 m), 0 for 0).
    void CountMagnitudes(const std::int16_t* values, int first, int weight);
    void FinishHistogram();
    void StartLoad();
    void AnalyseMacroblock(int mbx, int mby, const PictureSettings& settings);
    void ChooseTables(PictureSettings& settings);
    void WritePicture(const PictureSettings& settings, std::vector<std::uint8_t>& packet);
    void Reconstruct();
    // Rebuilds the picture coded last into `reconstructed` if that is still to be done; `final`
    // when it will not be coded again (its P prediction may then be given up).
    void FinishReconstruction(bool final);
    void CopyOut(const Planes& output) const;
    // P pictures (Wmv3InterCoder.cpp).
    MotionVector SearchMotion(int mbx, int mby, MotionVector start, int stillLimit);
    void PredictMacroblock(int mbx, int mby, MotionVector vector);
    void TransformResidual(int mbIndex);
    void AnalyseInterMacroblock(int mbIndex, const PictureSettings& settings);
    // Appends the run/level events of the values `nonZero` marks (bit i for position i, none
    // before scan position `first`), in the order of `scan` (scanIndex: where each position comes
    // in it), and sets block's event range and coded flag (the last event marked last).
    void AppendEvents(Block& block, const std::int16_t* values, std::uint64_t nonZero, int first,
                      const std::uint8_t* scan, const std::uint8_t* scanIndex);
    void ChooseInterTables(PictureSettings& settings, int& motionTable, int& patternTable);
    void WritePredictedPicture(const PictureSettings& settings, std::vector<std::uint8_t>& packet);
    void ReconstructPredicted(bool final);

    int width;
    int height;
    Quantizer quantizer;
    int mbWidth;
    int mbHeight;
    int frameCount = 0;

    // Picture state, rebuilt by every Encode.
    int pquant = 1;
    int acStep = 2;
    bool nonUniform = false;
    std::array<std::vector<std::uint8_t>, 3> padded; // input planes grown to whole macroblocks
    std::array<int, 3> paddedStride{};
    // Transform coefficients of every block (6 per macroblock, 64 each, transposed), in units of
    // 1 / CoefficientOne of the dequantised value; and a histogram of a sample of their AC
    // magnitudes, for EstimateBits.
    static constexpr int CoefficientOne = 8;
    static constexpr int HistogramBins = 64;
    std::vector<std::int16_t> coefficients;
    std::vector<std::int16_t> largestCoefficients; // of each P block's coefficients, in magnitude
    std::array<std::uint32_t, HistogramBins> histogram{};
    // Counted in four copies while loading (consecutive magnitudes often share a bin; four copies
    // keep the additions from waiting on each other), added up into `histogram` at the end.
    std::array<std::array<std::uint32_t, HistogramBins>, 4> partialHistograms{};
    std::array<std::vector<std::int16_t>, 3> dcLevels; // quantised DC of every block, by plane
    std::array<std::vector<Lines>, 3> lines;           // by plane, one per block
    std::vector<std::uint8_t> lumaCoded;               // coded flags of the luma blocks
    std::vector<std::int16_t> levels; // 64 real levels per block of an I picture, for reconstruction
    std::vector<Block> blocks;        // 6 per macroblock
    std::vector<Macroblock> macroblocks;
    std::vector<Event> events;
    int maxEscapeRun = 0; // largest run and level of the picture
    int maxEscapeLevel = 0;
    Wmv3EntropyCoder entropy;
    Statistics statistics;
    double overheadBits = 0;                  // EstimateBits' share of headers, vectors and skips
    std::array<float, 64> coefficientScale{}; // transform output to 1 / CoefficientOne units
    int pquantHint = 4;                       // the quantiser the loaded P picture expects

    // Reference pictures, at the size of the macroblock grid (what the decoder keeps).
    std::array<std::vector<std::uint8_t>, 3> reference;     // the picture P pictures predict from
    std::array<std::vector<std::uint8_t>, 3> reconstructed; // the picture coded last
    std::array<std::vector<std::uint8_t>, 3> prediction;    // the loaded P picture's
    bool hasReference = false;
    bool codedSinceLoad = false;
    bool loadedPredicted = false;
    bool reconstructionPending = false; // the picture coded last is not yet in `reconstructed`
    // The decoder's RND of the loaded picture, the reference and the picture coded last: set by
    // I pictures, flipped by every P picture.
    bool rounding = true;
    bool referenceRounding = true;
    bool reconstructedRounding = true;
    std::vector<InterMacroblock> inter;
};

} // namespace VistelCapture
