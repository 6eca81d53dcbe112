#include "RegionStatisticsProcessor.h"

#include "RegionStatisticsPage.h"

#include <new>

namespace Vistel::PictureAids
{

using Norvex::Core::HRESULT;

RegionStatisticsProcessor::RegionStatisticsProcessor() : RegionProcessor(L"RegionStatistics") {}

HRESULT RegionStatisticsProcessor::CreateControlPanel(QWidget* parent, QWidget** window)
{
    if (!window)
    {
        return Norvex::Core::E_POINTER;
    }
    *window = new (std::nothrow) RegionStatisticsPage(*this, parent);
    return *window ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
}

HRESULT RegionStatisticsProcessor::Process()
{
    const cv::Mat frame = SourceMat();
    if (frame.empty())
    {
        return Norvex::Core::S_OK;
    }
    cv::Rect rectangle = ChosenRegion();
    // The rectangle belongs to the frame size it was chosen on; a frame of another size (before
    // Reset catches up) is measured only where the two overlap, or whole.
    const cv::Rect frameRectangle(0, 0, frame.cols, frame.rows);
    rectangle &= frameRectangle;
    const bool whole = rectangle.empty();
    if (whole)
    {
        rectangle = frameRectangle;
    }
    calculator.Compute(frame(rectangle), working);

    std::lock_guard lock(stateMutex);
    latest.valid = true;
    latest.measured = rectangle;
    latest.frameSize = frame.size();
    latest.wholeFrame = whole;
    latest.statistics = working;
    return Norvex::Core::S_OK;
}

RegionStatisticsProcessor::Readout RegionStatisticsProcessor::GetReadout() const
{
    std::lock_guard lock(stateMutex);
    return latest;
}

} // namespace Vistel::PictureAids
