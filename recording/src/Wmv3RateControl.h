#pragma once

#include "Wmv3Encoder.h"

#include <cstdint>
#include <vector>

namespace VistelCapture
{

// Holds a WMV3 stream to a bit rate by choosing each picture's quantiser. Every picture is
// intra, so its size can be told from the picture itself: the encoder's estimate, corrected by
// how far off it was for the last picture, picks the quantiser; a picture that still comes out
// far off its share is coded again (transformed only once). What the stream is ahead or behind
// is paid back over about a second.
// Not thread-safe; lives beside its encoder.
class Wmv3RateControl
{
public:
    Wmv3RateControl(std::uint32_t bitRate, double frameRate);

    // Codes one picture with the quantiser the rate calls for.
    void Encode(Wmv3Encoder& encoder, const Wmv3Encoder::ConstPlanes& picture,
                std::vector<std::uint8_t>& packet);

    // The quantiser steps, finest first: PQINDEX 1 to 8 each with and without the half step,
    // then 9 to 31, then 28 and 31 non-uniform, then 31 with wider dead zones; each costs fewer
    // bits than the one before.
    static Wmv3Encoder::PictureSettings Step(int index);
    static constexpr int StepCount = 43;

    int CurrentStep() const noexcept { return step; }

private:
    int StepFor(const Wmv3Encoder& encoder, double factor, double wanted) const;

    double bitsPerPicture;
    double payBack;        // pictures over which a debt is paid back
    double debt = 0;       // bits coded beyond the target so far (negative: below)
    double correction = 1; // real bits over the encoder's estimate, from the last picture
    int step = 13;
};

} // namespace VistelCapture
