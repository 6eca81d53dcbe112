#pragma once

#include "Wmv3Encoder.h"

#include <array>
#include <cstdint>
#include <vector>

namespace VistelCapture
{

// Holds a WMV3 stream to a bit rate over each group of pictures: a key frame, then P pictures up
// to the next. The encoder's estimate of a picture's size at each quantiser, corrected by how far
// off it was for the last picture of the same kind, picks the quantiser: at the key frame the one
// that lets the whole group fit its share at about the same quantiser, at each P picture the one
// that fits what the group has left. A picture that still comes out far off is coded again
// (transformed only once). What a group spends beyond its share is paid back by the next.
// Not thread-safe; lives beside its encoder.
class Wmv3RateControl
{
public:
    Wmv3RateControl(std::uint32_t bitRate, double frameRate, int keyFrameInterval);

    // Codes one picture with the quantiser the rate calls for; `reconstruction` as for
    // Wmv3Encoder::Encode.
    void Encode(Wmv3Encoder& encoder, const Wmv3Encoder::ConstPlanes& picture,
                std::vector<std::uint8_t>& packet, const Wmv3Encoder::Planes* reconstruction = nullptr);

    // The quantiser steps, finest first: PQINDEX 1 to 8 each with and without the half step,
    // then 9 to 31, then 28 and 31 non-uniform, then 31 with ever wider dead zones; each costs fewer
    // bits than the one before.
    static Wmv3Encoder::PictureSettings Step(int index);
    static constexpr int StepCount = 44;

    int CurrentStep() const noexcept { return step; }
    bool LastWasKeyFrame() const noexcept { return lastKey; }
    // Whether a whole group has run over its share by a fifth even at the coarsest step: the rate
    // asked for is below what this picture can be coded in. Stays set once seen; a group is judged
    // as soon as its last picture is coded.
    bool RateOutOfReach() const noexcept
    {
        return outOfReach || (position == keyFrameInterval && GroupOverAtCoarsest());
    }

private:
    using Estimates = std::array<double, StepCount>;

    bool GroupOverAtCoarsest() const noexcept { return groupAtCoarsest && groupSpent > 1.2 * groupBudget; }

    void EstimateAll(const Wmv3Encoder& encoder, double factor, Estimates& estimates) const;
    static int StepFor(const Estimates& estimates, double wanted);
    void Code(Wmv3Encoder& encoder, double wanted, double& correction, Estimates& estimates,
              std::vector<std::uint8_t>& packet, const Wmv3Encoder::Planes* reconstruction);

    double bitsPerPicture;
    int keyFrameInterval;
    int position = 0;       // of the next picture in its group
    double groupBudget = 0; // bits the current group may spend
    double groupSpent = 0;
    double debt = 0; // bits earlier groups spent beyond their share (negative: below)
    bool groupAtCoarsest = true;
    // Real bits over the encoder's estimate, from the last picture of each kind.
    double keyCorrection = 1;
    double predictedCorrection = 1;
    Estimates keyEstimates{};
    Estimates predictedEstimates{}; // of the last P picture, for the next key frame's choice
    bool havePredicted = false;
    int step = 13;
    int groupStep = 13; // the key frame's
    bool lastKey = false;
    bool outOfReach = false;
    // P pictures: real bits over the estimate at each step where one was coded last, and the
    // number of that P picture (of predictedCount, which counts them).
    Estimates stepCorrection{};
    std::array<int, StepCount> stepCodedAt = []
    {
        std::array<int, StepCount> never{};
        never.fill(-1000000);
        return never;
    }();
    int predictedCount = 0;
};

} // namespace VistelCapture
