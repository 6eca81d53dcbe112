#pragma once

#include "RegionProcessor.h"
#include "RegionStatistics.h"

#include <mutex>

namespace Vistel::PictureAids
{

// "領域統計": mean, standard deviation, minimum, maximum and histogram of red, green, blue and
// luminance inside a rectangle the user drags on the preview (the whole frame until then),
// computed on every frame. The picture passes unchanged; the overlay is the rectangle with its
// size in image pixels.
class RegionStatisticsProcessor final : public RegionProcessor
{
public:
    struct Readout
    {
        bool valid = false; // a frame was measured
        cv::Rect measured;  // the rectangle the figures belong to, in the frame's pixels
        cv::Size frameSize;
        bool wholeFrame = true; // no rectangle is chosen
        RegionStatistics statistics;
    };

    RegionStatisticsProcessor();

    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override;
    Norvex::Core::HRESULT Process() override;

    // Any thread.
    Readout GetReadout() const;

private:
    RegionStatisticsCalculator calculator; // capture thread only
    RegionStatistics working;              // capture thread only

    mutable std::mutex stateMutex; // guards latest; taken alone, briefly
    Readout latest;
};

} // namespace Vistel::PictureAids
