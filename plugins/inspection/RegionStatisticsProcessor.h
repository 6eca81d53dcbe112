#pragma once

#include "InspectionProcessor.h"
#include "RegionSelection.h"
#include "RegionStatistics.h"

#include <mutex>

namespace Vistel::Inspection
{

// "領域統計": mean, standard deviation, minimum, maximum and histogram of red, green, blue and
// luminance inside a rectangle the user drags on the preview (the whole frame until then),
// computed on every frame. The picture passes unchanged; the overlay is the rectangle with its
// size in image pixels.
class RegionStatisticsProcessor final : public InspectionProcessor
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

    Norvex::Core::HRESULT Initialize(Vistel::Framework::IHostServices* hostServices) override;
    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override;
    Norvex::Core::HRESULT Process() override;
    Norvex::Core::HRESULT OnDraw2d(QPainter* painter, double scale) override;
    Norvex::Core::HRESULT OnLButtonDown(std::uint32_t flags, const Vistel::Framework::Point2F* point,
                                        bool* captureMouse) override;
    Norvex::Core::HRESULT OnLButtonUp(std::uint32_t flags, const Vistel::Framework::Point2F* point) override;
    Norvex::Core::HRESULT OnMouseMove(std::uint32_t flags, const Vistel::Framework::Point2F* point) override;

    // User-interface thread: back to the whole frame, stored as such.
    void MeasureWholeFrame();
    // Any thread.
    Readout GetReadout() const;

private:
    void OnFrameSizeChanged(cv::Size size) override;
    void FollowFrameSize();
    void RegionChanged();

    RegionSelection region;                // user-interface thread only
    RegionStatisticsCalculator calculator; // capture thread only
    RegionStatistics working;              // capture thread only

    mutable std::mutex stateMutex; // guards everything below; taken alone, briefly
    cv::Rect chosen;               // empty: the whole frame
    Readout latest;
};

} // namespace Vistel::Inspection
