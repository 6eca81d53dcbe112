#include "FocusPeakingProcessor.h"

#include "FocusPeakingPage.h"

#include <algorithm>
#include <new>

namespace Vistel::PictureAids
{

using Norvex::Core::HRESULT;

FocusPeakingProcessor::FocusPeakingProcessor() : RegionProcessor(L"FocusPeaking") {}

HRESULT FocusPeakingProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = RegionProcessor::Initialize(hostServices); Norvex::Core::FAILED(status))
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
    {
        std::lock_guard lock(stateMutex);
        currentThreshold = threshold;
        currentColor = color;
    }
    const cv::Rect currentRegion = ChosenRegion();
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

FocusPeakingProcessor::Readout FocusPeakingProcessor::GetReadout() const
{
    Readout readout;
    const auto now = std::chrono::steady_clock::now();
    readout.scored = ChosenRegion();
    std::lock_guard lock(stateMutex);
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

} // namespace Vistel::PictureAids
