#include "RegionStatisticsProcessor.h"

#include "RegionStatisticsPage.h"

#include <QPainter>

#include <new>

namespace Vistel::Inspection
{

using Norvex::Core::HRESULT;

RegionStatisticsProcessor::RegionStatisticsProcessor()
    : InspectionProcessor(L"RegionStatistics"), region(L"RegionStatistics")
{
}

HRESULT RegionStatisticsProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = InspectionProcessor::Initialize(hostServices); Norvex::Core::FAILED(status))
    {
        return status;
    }
    OnFrameSizeChanged(CurrentFrameSize());
    return Norvex::Core::S_OK;
}

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
    cv::Rect rectangle;
    {
        std::lock_guard lock(stateMutex);
        rectangle = chosen;
    }
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

HRESULT RegionStatisticsProcessor::OnDraw2d(QPainter* painter, double scale)
{
    if (!painter)
    {
        return Norvex::Core::E_POINTER;
    }
    region.Draw(*painter, scale);
    return Norvex::Core::S_OK;
}

void RegionStatisticsProcessor::OnFrameSizeChanged(cv::Size size)
{
    region.Load(GetHostServices(), size);
    std::lock_guard lock(stateMutex);
    chosen = region.Rectangle();
}

void RegionStatisticsProcessor::FollowFrameSize()
{
    if (const cv::Size size = CurrentFrameSize(); size != region.FrameSize())
    {
        OnFrameSizeChanged(size);
    }
}

void RegionStatisticsProcessor::RegionChanged()
{
    {
        std::lock_guard lock(stateMutex);
        chosen = region.Rectangle();
    }
    if (auto* host = GetHostServices())
    {
        host->InvalidatePreview();
    }
}

HRESULT RegionStatisticsProcessor::OnLButtonDown(std::uint32_t, const Vistel::Framework::Point2F* point,
                                                 bool* captureMouse)
{
    if (!point || !captureMouse)
    {
        return Norvex::Core::E_POINTER;
    }
    FollowFrameSize();
    *captureMouse = region.Press(*point);
    if (*captureMouse)
    {
        RegionChanged();
    }
    return Norvex::Core::S_OK;
}

HRESULT RegionStatisticsProcessor::OnMouseMove(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    if (region.Move(*point))
    {
        RegionChanged();
    }
    return Norvex::Core::S_OK;
}

HRESULT RegionStatisticsProcessor::OnLButtonUp(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    const bool dragging = region.IsDragging();
    region.Release(GetHostServices(), *point);
    if (dragging)
    {
        RegionChanged();
    }
    return Norvex::Core::S_OK;
}

void RegionStatisticsProcessor::MeasureWholeFrame()
{
    region.Clear(GetHostServices());
    RegionChanged();
}

RegionStatisticsProcessor::Readout RegionStatisticsProcessor::GetReadout() const
{
    std::lock_guard lock(stateMutex);
    return latest;
}

} // namespace Vistel::Inspection
