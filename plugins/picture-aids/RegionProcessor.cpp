#include "RegionProcessor.h"

#include <QPainter>

namespace Vistel::PictureAids
{

using Norvex::Core::HRESULT;

RegionProcessor::RegionProcessor(std::wstring section)
    : PictureAidProcessor(section), region(std::move(section))
{
}

HRESULT RegionProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = PictureAidProcessor::Initialize(hostServices); Norvex::Core::FAILED(status))
    {
        return status;
    }
    OnFrameSizeChanged(CurrentFrameSize());
    return Norvex::Core::S_OK;
}

HRESULT RegionProcessor::OnDraw2d(QPainter* painter, double scale)
{
    if (!painter)
    {
        return Norvex::Core::E_POINTER;
    }
    region.Draw(*painter, scale);
    return Norvex::Core::S_OK;
}

void RegionProcessor::OnFrameSizeChanged(cv::Size size)
{
    region.Load(GetHostServices(), size);
    Publish(false);
}

void RegionProcessor::FollowFrameSize()
{
    if (const cv::Size size = CurrentFrameSize(); size != region.FrameSize())
    {
        OnFrameSizeChanged(size);
    }
}

void RegionProcessor::Publish(bool repaint)
{
    {
        std::lock_guard lock(regionMutex);
        chosen = region.Rectangle();
    }
    if (auto* host = GetHostServices(); host && repaint)
    {
        host->InvalidatePreview();
    }
}

HRESULT RegionProcessor::OnLButtonDown(std::uint32_t, const Vistel::Framework::Point2F* point,
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
        Publish(true);
    }
    return Norvex::Core::S_OK;
}

HRESULT RegionProcessor::OnMouseMove(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    if (region.Move(*point))
    {
        Publish(true);
    }
    return Norvex::Core::S_OK;
}

HRESULT RegionProcessor::OnLButtonUp(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    const bool dragging = region.IsDragging();
    region.Release(GetHostServices(), *point);
    if (dragging)
    {
        Publish(true);
    }
    return Norvex::Core::S_OK;
}

void RegionProcessor::ClearRegion()
{
    region.Clear(GetHostServices());
    Publish(true);
}

cv::Rect RegionProcessor::ChosenRegion() const
{
    std::lock_guard lock(regionMutex);
    return chosen;
}

} // namespace Vistel::PictureAids
