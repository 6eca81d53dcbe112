#include "Wmv3RateControl.h"

#include <algorithm>
#include <cmath>

namespace VistelCapture
{

Wmv3RateControl::Wmv3RateControl(std::uint32_t bitRate, double frameRate)
    : bitsPerPicture(std::max(1.0, bitRate / std::max(frameRate, 1e-3))), payBack(std::max(1.0, frameRate))
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
        // a fifth of the bits, and a wider one of the encoder's own another fifth.
        settings.pqIndex = index == 39 ? 28 : 31;
        settings.nonUniform = true;
        settings.acRounding = index == 41 ? 0.25 : index == 42 ? 0.0 : settings.acRounding;
    }
    return settings;
}

int Wmv3RateControl::StepFor(const Wmv3Encoder& encoder, double factor, double wanted) const
{
    // The finest step whose estimate fits; the coarsest when none does.
    for (int index = 0; index < StepCount; ++index)
    {
        if (factor * encoder.EstimateBits(Step(index)) <= wanted)
        {
            return index;
        }
    }
    return StepCount - 1;
}

void Wmv3RateControl::Encode(Wmv3Encoder& encoder, const Wmv3Encoder::ConstPlanes& picture,
                             std::vector<std::uint8_t>& packet)
{
    encoder.Load(picture);
    const double wanted = std::clamp(bitsPerPicture - debt / payBack, bitsPerPicture / 3, bitsPerPicture * 3);
    step = StepFor(encoder, correction, wanted);
    encoder.EncodeLoaded(Step(step), packet);
    double bits = double(encoder.LastStatistics().bits);
    double factor = bits / std::max(1.0, encoder.EstimateBits(Step(step)));
    // Far off (a new scene, or the first picture): code it again with what this one taught.
    if (bits > 1.25 * wanted || bits < wanted / 1.25)
    {
        const int better = StepFor(encoder, factor, wanted);
        if (better != step)
        {
            step = better;
            encoder.EncodeLoaded(Step(step), packet);
            bits = double(encoder.LastStatistics().bits);
            factor = bits / std::max(1.0, encoder.EstimateBits(Step(step)));
        }
    }
    correction = factor;
    // A debt that the quantiser's ends cannot pay back is forgotten beyond a second's worth, so a
    // long stretch at a limit does not swing the next scene the other way.
    debt = std::clamp(debt + 8.0 * double(packet.size()) - bitsPerPicture, -bitsPerPicture * payBack,
                      bitsPerPicture * payBack);
}

} // namespace VistelCapture
