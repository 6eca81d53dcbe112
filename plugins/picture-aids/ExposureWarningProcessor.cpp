#include "ExposureWarningProcessor.h"

#include "ExposureWarningPage.h"

#include <algorithm>
#include <new>

namespace Vistel::PictureAids
{

using Norvex::Core::HRESULT;

ExposureWarningProcessor::ExposureWarningProcessor() : PictureAidProcessor(L"ExposureWarning") {}

HRESULT ExposureWarningProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = PictureAidProcessor::Initialize(hostServices); Norvex::Core::FAILED(status))
    {
        return status;
    }
    Settings stored;
    stored.highLevel = ReadInt(L"HighLevel", defaultHighLevel, 0, 255);
    stored.darkWarning = ReadInt(L"IsDarkWarningEnabled", 0, 0, 1) != 0;
    stored.darkLevel = ReadInt(L"DarkLevel", defaultDarkLevel, 0, 255);
    std::lock_guard lock(stateMutex);
    settings = stored;
    return Norvex::Core::S_OK;
}

HRESULT ExposureWarningProcessor::CreateControlPanel(QWidget* parent, QWidget** window)
{
    if (!window)
    {
        return Norvex::Core::E_POINTER;
    }
    *window = new (std::nothrow) ExposureWarningPage(*this, parent);
    return *window ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
}

HRESULT ExposureWarningProcessor::Process()
{
    const cv::Mat frame = SourceMat();
    if (frame.empty())
    {
        return Norvex::Core::S_OK;
    }
    Settings current;
    {
        std::lock_guard lock(stateMutex);
        current = settings;
    }
    ZebraFilter::Counts counts;
    {
        std::lock_guard lock(outputMutex);
        cv::Mat target = OutputMat(frame.size());
        counts = filter.Apply(frame, target, current.highLevel, current.darkWarning ? current.darkLevel : -1);
        showsOutput = true;
    }
    std::lock_guard lock(stateMutex);
    latest.valid = true;
    latest.brightShare = double(counts.bright) / double(counts.total);
    latest.darkShare = double(counts.dark) / double(counts.total);
    return Norvex::Core::S_OK;
}

ExposureWarningProcessor::Settings ExposureWarningProcessor::GetSettings() const
{
    std::lock_guard lock(stateMutex);
    return settings;
}

void ExposureWarningProcessor::SetSettings(const Settings& wanted)
{
    Settings next = wanted;
    next.highLevel = std::clamp(next.highLevel, 0, 255);
    next.darkLevel = std::clamp(next.darkLevel, 0, 255);
    Settings previous;
    {
        std::lock_guard lock(stateMutex);
        previous = settings;
        settings = next;
    }
    if (next.highLevel != previous.highLevel)
    {
        WriteInt(L"HighLevel", next.highLevel);
    }
    if (next.darkWarning != previous.darkWarning)
    {
        WriteInt(L"IsDarkWarningEnabled", next.darkWarning ? 1 : 0);
    }
    if (next.darkLevel != previous.darkLevel)
    {
        WriteInt(L"DarkLevel", next.darkLevel);
    }
}

ExposureWarningProcessor::Readout ExposureWarningProcessor::GetReadout() const
{
    std::lock_guard lock(stateMutex);
    return latest;
}

} // namespace Vistel::PictureAids
