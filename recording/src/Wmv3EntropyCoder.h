#pragma once

#include "Wmv3BitWriter.h"

#include <array>
#include <cstdint>
#include <span>

namespace VistelCapture
{

// The variable-length codes of the block layer: DC differentials, AC events with the three
// escapes, and the picture header's table selectors. One picture at a time: Start sizes the
// fixed-length escape for the picture's largest run and level.
// Not thread-safe; lives beside its encoder.
class Wmv3EntropyCoder
{
public:
    // One non-zero level in scan order: the zeros before it and whether it ends the block.
    struct Event
    {
        std::uint8_t run;
        std::uint8_t last;
        std::int16_t level;
    };

    // The AC coding set a selector (0..2) picks for luma or chroma.
    static int LumaSet(int selector, int pqIndex);
    static int ChromaSet(int selector, int pqIndex);
    // The picture header's 0 / 10 / 11 code of a selector.
    static void PutSelector(Wmv3BitWriter& writer, int selector);

    // Bits of one DC differential with a given code table pair (0..1).
    static int DcBits(bool luma, int table, int difference, int pquant);
    static void PutDc(Wmv3BitWriter& writer, bool luma, int table, int difference, int pquant);

    // Starts a picture whose events reach at most these runs and magnitudes.
    void Start(int pquant, int maxRun, int maxLevel);
    // Bits of one event with AC coding set `set`, sign included, taking the cheapest escape.
    int EventBits(int set, const Event& event) const;
    // Writes a block's events; counts the escapes by mode (1, 2, 3).
    void PutEvents(Wmv3BitWriter& writer, int set, std::span<const Event> events,
                   std::array<int, 3>& escapes);

private:
    int pquant = 1;
    int escapeRunBits = 6; // sizes of the fixed-length escape
    int escapeLevelBits = 8;
    bool escapeSizesSent = false;
    std::array<int, 8> fixedLengthBits{}; // of the fixed-length escape, by set, for this picture
};

} // namespace VistelCapture
