#include "FocusPeakingProcessor.h"

#include "FocusPeakingPage.h"

#include <QPainter>

#include <algorithm>
#include <new>

namespace Vistel::Inspection
{

using Norvex::Core::HRESULT;

FocusPeakingProcessor::FocusPeakingProcessor() : InspectionProcessor(L"FocusPeaking"), region(L"FocusPeaking")
{
}

HRESULT FocusPeakingProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = InspectionProcessor::Initialize(hostServices); Norvex::Core::FAILED(status))
    {
        return status;
    }
    const std::int32_t storedThreshold = ReadInt(L"Threshold", defaultThreshold, 1, 254);
    const auto storedColor = static_cast<std::uint32_t>(ReadInt(L"Color", defaultColor, 0, 0xFFFFFF));
    {
        std::lock_guard lock(stateMutex);
        threshold = storedThreshold;
        color = storedColor;
    }
    OnFrameSizeChanged(CurrentFrameSize());
    return Norvex::Core::S_OK;
}

HRESULT FocusPeakingProcessor::CreateControlPanel(QWidget* parent, QWidget** window)
{
    if (!window)
    {
        return Norvex::Core::E_POINTER;
    }
    *window = new (std::nothrow) FocusPeakingPage(*this, parent);
    return *window ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
}

HRESULT FocusPeakingProcessor::Process()
{
    const cv::Mat frame = SourceMat();
    if (frame.empty())
    {
        return Norvex::Core::S_OK;
    }
    std::int32_t currentThreshold;
    std::uint32_t currentColor;
    cv::Rect currentRegion;
    {
        std::lock_guard lock(stateMutex);
        currentThreshold = threshold;
        currentColor = color;
        currentRegion = scored;
    }
    double score;
    {
        std::lock_guard lock(outputMutex);
        cv::Mat target = OutputMat(frame.size());
        score = filter.Apply(frame, target, currentThreshold, ScalarOfColorRef(currentColor), currentRegion);
        showsOutput = true;
    }
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(stateMutex);
    history.emplace_back(now, score);
    while (!history.empty() && now - history.front().first > historyLength)
    {
        history.pop_front();
    }
    return Norvex::Core::S_OK;
}

HRESULT FocusPeakingProcessor::OnDraw2d(QPainter* painter, double scale)
{
    if (!painter)
    {
        return Norvex::Core::E_POINTER;
    }
    region.Draw(*painter, scale);
    return Norvex::Core::S_OK;
}

void FocusPeakingProcessor::OnFrameSizeChanged(cv::Size size)
{
    region.Load(GetHostServices(), size);
    PublishRegion();
}

void FocusPeakingProcessor::FollowFrameSize()
{
    if (const cv::Size size = CurrentFrameSize(); size != region.FrameSize())
    {
        OnFrameSizeChanged(size);
    }
}

void FocusPeakingProcessor::PublishRegion()
{
    std::lock_guard lock(stateMutex);
    scored = region.Rectangle();
}

HRESULT FocusPeakingProcessor::OnLButtonDown(std::uint32_t, const Vistel::Framework::Point2F* point,
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
        PublishRegion();
        if (auto* host = GetHostServices())
        {
            host->InvalidatePreview();
        }
    }
    return Norvex::Core::S_OK;
}

HRESULT FocusPeakingProcessor::OnMouseMove(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    if (region.Move(*point))
    {
        PublishRegion();
        if (auto* host = GetHostServices())
        {
            host->InvalidatePreview();
        }
    }
    return Norvex::Core::S_OK;
}

HRESULT FocusPeakingProcessor::OnLButtonUp(std::uint32_t, const Vistel::Framework::Point2F* point)
{
    if (!point)
    {
        return Norvex::Core::E_POINTER;
    }
    const bool dragging = region.IsDragging();
    region.Release(GetHostServices(), *point);
    if (dragging)
    {
        PublishRegion();
        if (auto* host = GetHostServices())
        {
            host->InvalidatePreview();
        }
    }
    return Norvex::Core::S_OK;
}

std::int32_t FocusPeakingProcessor::GetThreshold() const
{
    std::lock_guard lock(stateMutex);
    return threshold;
}

void FocusPeakingProcessor::SetThreshold(std::int32_t value)
{
    value = std::clamp(value, 1, 254);
    {
        std::lock_guard lock(stateMutex);
        if (threshold == value)
        {
            return;
        }
        threshold = value;
    }
    WriteInt(L"Threshold", value);
}

std::uint32_t FocusPeakingProcessor::GetColor() const
{
    std::lock_guard lock(stateMutex);
    return color;
}

void FocusPeakingProcessor::SetColor(std::uint32_t value)
{
    value &= 0xFFFFFF;
    {
        std::lock_guard lock(stateMutex);
        if (color == value)
        {
            return;
        }
        color = value;
    }
    WriteInt(L"Color", static_cast<std::int32_t>(value));
}

void FocusPeakingProcessor::ScoreWholeFrame()
{
    region.Clear(GetHostServices());
    PublishRegion();
    if (auto* host = GetHostServices())
    {
        host->InvalidatePreview();
    }
}

FocusPeakingProcessor::Readout FocusPeakingProcessor::GetReadout() const
{
    Readout readout;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(stateMutex);
    readout.scored = scored;
    if (history.empty())
    {
        return readout;
    }
    readout.valid = true;
    readout.score = history.back().second;
    readout.history.reserve(history.size());
    for (const auto& [time, score] : history)
    {
        // Without new frames the history is not trimmed; the page sees only the last seconds.
        if (now - time > historyLength)
        {
            continue;
        }
        readout.history.emplace_back(std::chrono::duration<double>(time - now).count(), score);
        readout.peak = std::max(readout.peak, score);
    }
    return readout;
}

} // namespace Vistel::Inspection
