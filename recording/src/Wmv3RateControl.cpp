#include "Wmv3RateControl.h"

#include <algorithm>
#include <cmath>

namespace VistelCapture
{

Wmv3RateControl::Wmv3RateControl(std::uint32_t bitRate, double frameRate, int keyFrameInterval)
    : bitsPerPicture(std::max(1.0, bitRate / std::max(frameRate, 1e-3))),
      keyFrameInterval(std::max(1, keyFrameInterval))
{
}

Wmv3Encoder::PictureSettings Wmv3RateControl::Step(int index)
{
    index = std::clamp(index, 0, StepCount - 1);
    Wmv3Encoder::PictureSettings settings;
    if (index < 16)
    {
        settings.pqIndex = 1 + index / 2;
        settings.halfStep = index % 2 == 1;
    }
    else if (index < 39)
    {
        settings.pqIndex = index - 7;
    }
    else
    {
        // Past the coarsest uniform step, the non-uniform quantiser's wider dead zone still saves
        // a fifth of the bits, and a wider one of the encoder's own another fifth. The last rounds
        // every level down by half a step more: only a large picture at a low rate gets there,
        // where fewer, smaller levels and more skipped macroblocks beat going over the budget.
        static constexpr double Rounding[] = {0.25, 0.0, -0.5};
        settings.pqIndex = index == 39 ? 28 : 31;
        settings.nonUniform = true;
        settings.acRounding = index >= 41 ? Rounding[index - 41] : settings.acRounding;
    }
    return settings;
}

void Wmv3RateControl::EstimateAll(const Wmv3Encoder& encoder, double factor, Estimates& estimates) const
{
    for (int index = 0; index < StepCount; ++index)
    {
        // A P picture's estimate is off by a factor that depends on the step: where one of the
        // last group's P pictures was coded at this step, its own factor serves.
        const bool seen = !lastKey && predictedCount - stepCodedAt[index] <= keyFrameInterval;
        estimates[index] = (seen ? stepCorrection[index] : factor) * encoder.EstimateBits(Step(index));
    }
}

int Wmv3RateControl::StepFor(const Estimates& estimates, double wanted)
{
    // The finest step whose estimate fits; the coarsest when none does.
    for (int index = 0; index < StepCount; ++index)
    {
        if (estimates[index] <= wanted)
        {
            return index;
        }
    }
    return StepCount - 1;
}

void Wmv3RateControl::Code(Wmv3Encoder& encoder, double wanted, double& correction, Estimates& estimates,
                           std::vector<std::uint8_t>& packet, const Wmv3Encoder::Planes* reconstruction)
{
    const auto remember = [&](double factor)
    {
        if (!lastKey)
        {
            stepCorrection[step] = factor;
            stepCodedAt[step] = predictedCount;
        }
    };
    encoder.EncodeLoaded(Step(step), packet, reconstruction);
    double bits = double(encoder.LastStatistics().bits);
    double factor = bits / std::max(1.0, encoder.EstimateBits(Step(step)));
    remember(factor);
    // Far off (a new scene, or the first picture): code it again with what this one taught.
    if (bits > 1.25 * wanted || bits < wanted / 1.25)
    {
        EstimateAll(encoder, factor, estimates);
        const int better = StepFor(estimates, wanted);
        if (better != step)
        {
            step = better;
            encoder.EncodeLoaded(Step(step), packet, reconstruction);
            bits = double(encoder.LastStatistics().bits);
            factor = bits / std::max(1.0, encoder.EstimateBits(Step(step)));
            remember(factor);
        }
    }
    correction = factor;
    EstimateAll(encoder, correction, estimates);
}

void Wmv3RateControl::Encode(Wmv3Encoder& encoder, const Wmv3Encoder::ConstPlanes& picture,
                             std::vector<std::uint8_t>& packet, const Wmv3Encoder::Planes* reconstruction)
{
    if (position >= keyFrameInterval || !encoder.CanPredict())
    {
        position = 0;
    }
    lastKey = position == 0;
    if (lastKey)
    {
        const double nominal = bitsPerPicture * keyFrameInterval;
        if (groupSpent > 0)
        {
            // A whole group over its share at the coarsest step: the rate is out of reach.
            outOfReach = outOfReach || GroupOverAtCoarsest();
            debt = std::clamp(debt + groupSpent - nominal, -nominal, nominal);
        }
        groupBudget = std::max(nominal / 4, nominal - debt);
        groupSpent = 0;
        groupAtCoarsest = true;

        encoder.Load(picture);
        EstimateAll(encoder, keyCorrection, keyEstimates);
        // The step at which the key frame and the P pictures after it fit the group together; P
        // pictures cost about a sixth of a key frame until one has been seen.
        const int predictedCount = keyFrameInterval - 1;
        step = StepCount - 1;
        for (int index = 0; index < StepCount; ++index)
        {
            const double predicted = havePredicted ? predictedEstimates[index] : keyEstimates[index] / 6;
            if (keyEstimates[index] + predictedCount * predicted <= groupBudget)
            {
                step = index;
                break;
            }
        }
        // A key frame never takes more than half the group, nor leaves the P pictures less than
        // half a picture's share each.
        const double cap = std::min(groupBudget / 2, groupBudget - predictedCount * bitsPerPicture / 2);
        step = std::max(step, StepFor(keyEstimates, std::max(cap, bitsPerPicture)));
        Code(encoder, std::max(keyEstimates[step], 1.0), keyCorrection, keyEstimates, packet, reconstruction);
        groupStep = step;
    }
    else
    {
        // The group's key frame quantiser decides which blocks are still: the P pictures' own
        // steps swing too much to judge it by.
        ++predictedCount;
        encoder.LoadPredicted(picture, Step(groupStep).pqIndex);
        EstimateAll(encoder, predictedCorrection, predictedEstimates);
        const double left = groupBudget - groupSpent;
        const double wanted =
            std::clamp(left / (keyFrameInterval - position), bitsPerPicture / 4, bitsPerPicture * 3);
        step = StepFor(predictedEstimates, wanted);
        Code(encoder, wanted, predictedCorrection, predictedEstimates, packet, reconstruction);
        havePredicted = true;
    }
    groupAtCoarsest = groupAtCoarsest && step == StepCount - 1;
    groupSpent += 8.0 * double(packet.size());
    ++position;
}

} // namespace VistelCapture
